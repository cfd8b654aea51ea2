// Finding a record in a received frame, and the brand authorisation of an instrument:
// which list applies to which maker and protocol, and how a brand is compared.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "boxtest.h"
#include "file_param.h"
#include "nod.h"

namespace {

const char S = 0x02, B = 0x17, X = 0x03, T = 0x04;

std::string frame(const std::string &records) { return std::string(1, S) + records + X + "00" + T; }

TEST(Getinfo, FindsRecordsOnlyAtSegmentStarts) {
    std::string f = frame("0122ABC0905XYZ" + std::string(1, B) + "0500 12.5" + B + "0905");
    char out[32];
    EXPECT_EQ(getinfo("0122", f.c_str(), 10, out), 1);
    EXPECT_STREQ(out, "ABC0905XYZ");
    EXPECT_EQ(getinfo("0500", f.c_str(), 5, out), 1);
    EXPECT_STREQ(out, " 12.5");
    EXPECT_EQ(getinfo("0905", f.c_str(), 0, nullptr), 1);
    EXPECT_EQ(getinfo("0501", f.c_str(), 5, out), 0);
    // "0905" inside the first record's text is not a record
    std::string g = frame("0122ABC0905XYZ");
    EXPECT_EQ(getinfo("0905", g.c_str(), 0, nullptr), 0);
}

TEST(Getinfo, StopsAtEndOfRecordsAndCopiesAtMostTheCodesLength) {
    std::string f = frame("0140001" + std::string(1, B) + "0306AB" + B + "0307CDEFG");
    // after ETX nothing is searched, even a segment start in the checksum area
    std::string tail = f + B + "0999";
    EXPECT_EQ(getinfo("0999", tail.c_str(), 0, nullptr), 0);
    char out[32];
    EXPECT_EQ(getinfo("0306", f.c_str(), 5, out), 1);
    EXPECT_STREQ(out, "AB") << "a short value never takes the next record into itself";
    EXPECT_EQ(getinfo("0307", f.c_str(), 3, out), 1);
    EXPECT_STREQ(out, "CDE") << "a long value is cut to the code's length";
    // the copy ends early at the end of the text
    std::string cut = std::string(1, S) + "0300KEL";
    EXPECT_EQ(getinfo("0300", cut.c_str(), 20, out), 1);
    EXPECT_STREQ(out, "KEL");
}

TEST(Getinfo, SearchesNoFurtherThanAFrame) {
    std::string long_text(1, S);
    long_text += "0101";
    long_text += std::string(90, 'x');
    long_text += std::string(1, B) + "0905";
    EXPECT_EQ(getinfo("0905", long_text.c_str(), 0, nullptr), 0);
}

void set_row(int row, const std::vector<std::pair<std::string, std::string>> &items) {
    Cpt_SIHC[row] = 0;
    for (const auto &it : items) {
        int n = Cpt_SIHC[row]++;
        snprintf(SIHC[row][n].CodeGiegData, sizeof SIHC[row][n].CodeGiegData, "%s",
                 it.first.c_str());
        snprintf(SIHC[row][n].InfoHardwareConnect, sizeof SIHC[row][n].InfoHardwareConnect,
                 "%s", it.second.c_str());
    }
}

TEST(CheckEquip, ComparesTheWholePaddedBrandCaseSensitively) {
    boxtest::reset_state();
    struct Case {
        const char *brand;
        char accepted;
    } cases[] = {
        {"Bosch               ", 1},
        {"BOSCH               ", 1},
        {"BOSCH AUTOMOTIVE S2 ", 1},
        {"BOSCH AUTOMOTIVE    ", 0},
        {"bosch               ", 0},
        {"Bosch", 0},
        {"", 0},
    };
    for (const Case &c : cases) {
        set_row(2, {{"0301", "X"}, {"0300", c.brand}});
        EXPECT_EQ(check_equip(2, "0300", listeMarqueSPX), c.accepted) << '"' << c.brand << '"';
    }
    set_row(0, {{"0301", "SPX                 "}});
    EXPECT_EQ(check_equip(0, "0300", listeMarqueSPX), 0) << "no brand item";
    set_row(0, {{"0300", "MAHA                "}, {"0300", "SPX                 "}});
    EXPECT_EQ(check_equip(0, "0300", listeMarqueSPX), 1) << "the last item of the code counts";
}

TEST(CheckEquip, ListFollowsMakerThenProtocol) {
    struct Case {
        const char *client, *client2, *protocol;
        const char (*liste)[30];
    } cases[] = {
        {"SPX", "TECNO", "GIEGLAN", listeMarqueTECHNO},
        {"SPX", "SPX", "OTCLAN", listeMarqueSPX},
        {"SPX2", "SPX2", "OTCLAN", listeMarqueSPX},
        {"FOG", "FOG", "GIEGLAN", listeMarqueFOG},
        {"AVL", "AVL", "BNET", listeMarqueAVL},
        {"MAHA", "MAHA", "GIEGLAN", listeMarqueMAHA},
        {"KELDRAN", "KELDRAN", "GIEGLAN", nullptr},
        {"ACME", "ACME", "GIEGLAN", nullptr},
        {"ACME", "ACME", "GIEGLAN2", listeMarqueKELDRAN},
        {"ACME", "ACME", "OTCLAN", listeMarqueKELDRAN},
    };
    for (const Case &c : cases) {
        snprintf(save_client, sizeof save_client, "%s", c.client);
        snprintf(save_client2, sizeof save_client2, "%s", c.client2);
        snprintf(save_protocol, sizeof save_protocol, "%s", c.protocol);
        EXPECT_EQ(choose_brand_list(), c.liste) << c.client << " " << c.protocol;
    }
}


} // namespace
