// GIEGLAN result and identification files: the line checksum, the identity, the
// exact result file of one vehicle, one file per kind letter, and the cases where
// the share is offline or no order matches the result.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "boxtest.h"
#include "dat.h"
#include "fcfgl.h"
#include "fgpinv.h"
#include "file_param.h"

namespace {

const std::string RES = "/mnt/GIEGLAN/RES/";

void item(int row, const char *code, const char *value) {
    SaveInfoHardwareConnect &it = SIHC[row][Cpt_SIHC[row]++];
    snprintf(it.CodeGiegData, sizeof it.CodeGiegData, "%s", code);
    snprintf(it.InfoHardwareConnect, sizeof it.InfoHardwareConnect, "%s", value);
}

void measures(const std::vector<std::pair<std::string, std::string>> &records) {
    memset(SM, 0, sizeof SM);
    Cpt_SM = 0;
    for (const auto &r : records) {
        if (r.first == "0200") CODE_200 = Cpt_SM;
        snprintf(SM[Cpt_SM].CodeGiegData, sizeof SM[0].CodeGiegData, "%s", r.first.c_str());
        snprintf(SM[Cpt_SM].DataMeasures, sizeof SM[0].DataMeasures, "%s", r.second.c_str());
        Cpt_SM++;
    }
}

// A peripheral at list position pos, numbered number, with the three identity items.
void peripheral(int pos, int number, char letter, const char *brand, const char *model,
                const char *serial) {
    type_hardware_connect2[pos][0] = (char)number;
    type_hardware_connect2[pos][1] = letter;
    item(number - 1, "0300", brand);
    item(number - 1, "0301", model);
    item(number - 1, "0302", serial);
}

struct Gieglan : ::testing::Test {
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        boxtest::set_network(0);
        mkdir(boxtest::root("/mnt/GIEGLAN/RES").c_str(), 0755);
        save_path_gieglan[0] = 0;
        lenght_path = 0;
        snprintf(SI[0].cle, sizeof SI[0].cle, "KEY0001");
        snprintf(SI[0].plaqueinfo, sizeof SI[0].plaqueinfo, "AB123CD");
        Cpt_plaque = 1;
    }
    std::string res(const std::string &name) {
        return boxtest::read_file(boxtest::root(RES + name));
    }
};

} // namespace

TEST(GieglanText, ChecksumWeighsBytesOneToFiveUnsigned) {
    EXPECT_EQ(fct_calculate_crc_gieglan("abc"), 590u);
    EXPECT_EQ(fct_calculate_crc_gieglan("123456"), 829u);
    EXPECT_EQ(fct_calculate_crc_gieglan(""), 0u);
    EXPECT_EQ(fct_calculate_crc_gieglan("\xff"), 255u) << "bytes count unsigned";
    EXPECT_EQ(fct_calculate_crc_gieglan("BRANDMODEL2SN0042.G"), 3628u);
}

TEST(GieglanText, CleaningDropsBlanksAndFileNameCharacters) {
    char out[64];
    fct_copie_sans_espace(out, "a b\\/:*?\"<>|c.-_");
    EXPECT_STREQ(out, "abc.-_");
    fct_copie_sans_espace(out, "");
    EXPECT_STREQ(out, "");
}

TEST(GieglanText, SihcRowIsTheEntryNumberLessOneWhenValid) {
    boxtest::reset_state();
    const int numbers[6] = {1, 5, 0, 6, 200, 3};
    for (int r = 0; r < 6; r++)
        type_hardware_connect2[r][0] = (char)numbers[r];
    EXPECT_EQ(sihc_row_of_position(0), 0);
    EXPECT_EQ(sihc_row_of_position(1), 4);
    EXPECT_EQ(sihc_row_of_position(2), -1);
    EXPECT_EQ(sihc_row_of_position(3), -1);
    EXPECT_EQ(sihc_row_of_position(4), -1) << "a number above 127 is not negative";
    EXPECT_EQ(sihc_row_of_position(5), 2);
    EXPECT_EQ(sihc_row_of_position(6), -1);
    EXPECT_EQ(sihc_row_of_position(-1), -1);
}

TEST_F(Gieglan, GasResultIsTheExactEightLineFileAndIdentificationFilesMatchIt) {
    peripheral(0, 1, 'G', "BRAND", "MODEL 2", "SN/0042");
    measures({{"0200", "AB123CD"}, {"0502", "00.1"}});
    fct_create_file_gieglan(0);
    EXPECT_EQ(res("KEY0001.G"), "[MESURES]\r\n"
                                "0320=BRANDMODEL2SN0042.G\r\n"
                                "0200=AB123CD\r\n"
                                "0502=00.1\r\n"
                                "[CRC]\r\n"
                                "0320=3628\r\n"
                                "0200=1002\r\n"
                                "0502=478\r\n");
    EXPECT_STREQ(info_code_320, "BRANDMODEL2SN0042.G");

    std::string id_dir = boxtest::root("/mnt/GIEGLAN/ID/");
    mkdir(id_dir.c_str(), 0755);
    fct_create_idfile_gieglan(0, 'G', id_dir.c_str());
    fct_create_idfile_gieglan(0, 'G', boxtest::root("/home/KELDRAN/DATA/log/").c_str());
    const std::string expected = "[IDENTIFICATION]\r\n"
                                 "0300=BRAND\r\n"
                                 "0301=MODEL 2\r\n"
                                 "0302=SN/0042\r\n"
                                 "[CRC]\r\n"
                                 "0300=" +
                                 std::to_string(fct_calculate_crc_gieglan("BRAND")) +
                                 "\r\n"
                                 "0301=" +
                                 std::to_string(fct_calculate_crc_gieglan("MODEL 2")) +
                                 "\r\n"
                                 "0302=" +
                                 std::to_string(fct_calculate_crc_gieglan("SN/0042")) + "\r\n";
    EXPECT_EQ(boxtest::read_file(id_dir + "BRANDMODEL2SN0042.G"), expected);
    EXPECT_EQ(boxtest::read_file(boxtest::root("/home/KELDRAN/DATA/log/BRANDMODEL2SN0042.G")),
              expected);

    peripheral(1, 2, 'O', "\xC9TA", "M<1>", "S");
    fct_create_idfile_gieglan(1, 'O', id_dir.c_str());
    EXPECT_NE(boxtest::read_file(id_dir + "_TAM1S.O").find("0300=\xC9TA\r\n"), std::string::npos)
        << testing::PrintToString(boxtest::list_dir(id_dir));
}

TEST_F(Gieglan, LineEndsFromTheLinkNeverBreakALineOfTheFiles) {
    // A CR or LF inside a value from the equipment would end its line early and add a
    // line of its own: written as blanks, each value keeps its length and its line.
    peripheral(0, 1, 'G', "BR\nAND", "MODEL", "SN1");
    measures({{"0200", "AB123CD"}, {"0502", "00\r\n1"}});
    fct_create_file_gieglan(0);
    EXPECT_EQ(res("KEY0001.G"), "[MESURES]\r\n"
                                "0320=BR ANDMODELSN1.G\r\n"
                                "0200=AB123CD\r\n"
                                "0502=00  1\r\n"
                                "[CRC]\r\n"
                                "0320=" + std::to_string(fct_calculate_crc_gieglan("BR ANDMODELSN1.G")) + "\r\n"
                                "0200=1002\r\n"
                                "0502=" + std::to_string(fct_calculate_crc_gieglan("00  1")) + "\r\n");
    snprintf(SIHC[0][0].InfoHardwareConnect, sizeof SIHC[0][0].InfoHardwareConnect, "BRAND");
    item(0, "0303", "V2\r1");
    const std::string dir = boxtest::root("/home/KELDRAN/DATA/log/");
    fct_create_idfile_gieglan(0, 'G', dir.c_str());
    const std::string id = boxtest::read_file(dir + "BRANDMODELSN1.G");
    EXPECT_NE(id.find("\r\n0303=V2 1\r\n"), std::string::npos) << id;
    EXPECT_NE(id.find("\r\n0303=" + std::to_string(fct_calculate_crc_gieglan("V2 1")) + "\r\n"),
              std::string::npos) << id;
}

TEST_F(Gieglan, EachKindLetterGetsItsOwnFileInOrderOfFirstArrival) {
    peripheral(0, 2, 'O', "OPA", "M1", "S1");
    peripheral(1, 1, 'G', "GAS", "M2", "S2");
    peripheral(2, 3, 'P', "LAMP", "M3", "S3");
    peripheral(3, 4, 'E', "EEE", "M4", "S4");
    measures({{"0200", "AB123CD"},
              {"0502", "00.1"},
              {"0532", "1.25"},
              {"0502", "99.9"},
              {"0491", "12"},
              {"0204", "note"},
              {"0601", "1"},
              {"0503", "2"},
              {"0700", "5"}});
    testing::internal::CaptureStdout();
    fct_create_file_gieglan(0);
    std::string out = testing::internal::GetCapturedStdout();
    size_t g = out.find("RES/KEY0001.G"), o = out.find("RES/KEY0001.O");
    ASSERT_NE(g, std::string::npos) << out;
    ASSERT_NE(o, std::string::npos) << out;
    EXPECT_LT(g, o) << "the gas code came first";

    auto lines = boxtest::lines_of(res("KEY0001.G"));
    std::vector<std::string> g_measures(lines.begin() + 2, lines.begin() + 5);
    EXPECT_EQ(g_measures, (std::vector<std::string>{"0200=AB123CD", "0502=00.1", "0503=2"}))
        << "a repeated code keeps its first value";
    EXPECT_EQ(lines[1], "0320=GASM2S2.G") << "row of the peripheral by its number";

    lines = boxtest::lines_of(res("KEY0001.O"));
    EXPECT_EQ(lines[1], "0320=OPAM1S1.O");
    EXPECT_EQ(lines[2], "0200=AB123CD");
    EXPECT_EQ(lines[3], "0532=1.25");
    EXPECT_EQ(lines[4], "[CRC]");

    lines = boxtest::lines_of(res("KEY0001.P"));
    ASSERT_EQ(lines.size(), 10u) << res("KEY0001.P");
    EXPECT_EQ(lines[1], "0320=LAMPM3S3.P");
    EXPECT_EQ(lines[2], "0200=AB123CD");
    EXPECT_EQ(lines[3], "0491=12");
    EXPECT_EQ(lines[4], "0204=note") << "a code without letter follows the kind before it";

    lines = boxtest::lines_of(res("KEY0001.E"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], "0601=1") << "the fourth kind has its list too";

    lines = boxtest::lines_of(res("KEY0001.D"));
    ASSERT_GE(lines.size(), 4u) << "a fifth kind is neither dropped nor merged";
    EXPECT_EQ(lines[1], "0320=.D");
    EXPECT_EQ(lines[3], "0700=5");
}

TEST_F(Gieglan, OfflineShareGetsNoFile) {
    boxtest::set_network(1);
    peripheral(0, 1, 'G', "BRAND", "MODEL 2", "SN/0042");
    measures({{"0200", "AB123CD"}, {"0502", "00.1"}});
    fct_create_file_gieglan(0);
    fct_create_idfile_gieglan(0, 'G', boxtest::root("/home/KELDRAN/DATA/log/").c_str());
    EXPECT_TRUE(boxtest::list_dir(boxtest::root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_FALSE(boxtest::exists(boxtest::root("/home/KELDRAN/DATA/log/BRANDMODEL2SN0042.G")));
}

TEST_F(Gieglan, ResultWithoutOrderIsNamedAfterItsKeyThenItsPlate) {
    peripheral(0, 1, 'G', "BRAND", "MODEL 2", "SN/0042");
    memset(SI, 0, sizeof SI); // no order left, and empty slots never match
    measures({{"0200", "ZZ/999"}, {"0502", "00.1"}});
    snprintf(cle_get_data, sizeof cle_get_data, "K42       "); // padded as on the link
    testing::internal::CaptureStderr();
    fct_create_file_gieglan(0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("aucun ordre"), std::string::npos) << err;
    EXPECT_NE(res("K42.G").find("0502=00.1\r\n"), std::string::npos) << "no blanks in the name";

    // What the PC's share cannot take in a name becomes '_', in the name only.
    snprintf(cle_get_data, sizeof cle_get_data, "  K 4:2?\x01\xE9  ");
    fct_create_file_gieglan(0);
    EXPECT_TRUE(boxtest::exists(boxtest::root(RES + "__K 4_2___.G")))
        << testing::PrintToString(boxtest::list_dir(boxtest::root(RES)));

    cle_get_data[0] = 0;
    measures({{"0200", "ZZ/9*9"}, {"0502", "00.1"}});
    fct_create_file_gieglan(0);
    EXPECT_NE(res("ZZ9_9.G").find("0200=ZZ/9*9\r\n"), std::string::npos)
        << "named after the plate, without its slash";
}

TEST_F(Gieglan, OrderIsFoundByKeyWhenThePlateDiffers) {
    snprintf(SI[3].cle, sizeof SI[3].cle, "OTHERKEY");
    snprintf(SI[3].plaqueinfo, sizeof SI[3].plaqueinfo, "ZZ999ZZ");
    Cpt_plaque = 4;
    snprintf(cle_get_data, sizeof cle_get_data, "OTHERKEY");
    measures({{"0200", "NOPLATE"}, {"0532", "1"}});
    fct_create_file_gieglan(0);
    EXPECT_TRUE(boxtest::exists(boxtest::root(RES + "OTHERKEY.O")));
    EXPECT_EQ(boxtest::lines_of(res("OTHERKEY.O"))[1], "0320=.O") << "no peripheral of kind O";
}

TEST_F(Gieglan, ResultIsNamedAfterTheOrderOfItsKeyBeforeAnOrderOfItsPlate) {
    // a re-test: the plate is ordered again under a new key, the old order still there
    snprintf(SI[0].cle, sizeof SI[0].cle, "NEWKEY");
    snprintf(SI[1].cle, sizeof SI[1].cle, "OLDKEY");
    snprintf(SI[1].plaqueinfo, sizeof SI[1].plaqueinfo, "AB123CD");
    Cpt_plaque = 2;
    measures({{"0200", "AB123CD"}, {"0532", "1"}});
    snprintf(cle_get_data, sizeof cle_get_data, "OLDKEY    ");
    fct_create_file_gieglan(0);
    EXPECT_EQ(boxtest::list_dir(boxtest::root(RES)), std::vector<std::string>{"OLDKEY.O"})
        << "the old vehicle's opacity is not the new order's";

    // the old order gone (its row left beyond the orders read): no order has the key, so
    // the order of the plate names it
    Cpt_plaque = 1;
    measures({{"0200", "AB123CD"}, {"0502", "1"}});
    fct_create_file_gieglan(0);
    EXPECT_TRUE(boxtest::exists(boxtest::root(RES + "NEWKEY.G")));
    EXPECT_FALSE(boxtest::exists(boxtest::root(RES + "OLDKEY.G")));
}

TEST_F(Gieglan, PaddedOrderPlateMatchesTheBarePlateOfTheResult) {
    memset(SI, 0, sizeof SI);
    snprintf(SI[5].cle, sizeof SI[5].cle, "K5");
    snprintf(SI[5].plaqueinfo, sizeof SI[5].plaqueinfo, "AB123CD   ");
    Cpt_plaque = 6;
    cle_get_data[0] = 0;
    measures({{"0200", "AB123CD"}, {"0502", "00.1"}});
    fct_create_file_gieglan(0);
    EXPECT_TRUE(boxtest::exists(boxtest::root(RES + "K5.G")));
}

TEST_F(Gieglan, SubDirectoryIsUsedOnlyFromThreeCharacters) {
    mkdir(boxtest::root("/mnt/GIEGLAN/ST1").c_str(), 0755);
    mkdir(boxtest::root("/mnt/GIEGLAN/ST1/RES").c_str(), 0755);
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "ST1");
    lenght_path = 2;
    measures({{"0200", "AB123CD"}, {"0502", "1"}});
    fct_create_file_gieglan(0);
    EXPECT_TRUE(boxtest::exists(boxtest::root(RES + "KEY0001.G")));
    lenght_path = 3;
    measures({{"0200", "AB123CD"}, {"0532", "1"}});
    fct_create_file_gieglan(0);
    EXPECT_TRUE(boxtest::exists(boxtest::root("/mnt/GIEGLAN/ST1/RES/KEY0001.O")));
}

TEST_F(Gieglan, OverlongIdentityIsCutAndOverlongPathRefused) {
    std::string v(53, 'X');
    peripheral(0, 1, 'G', v.c_str(), v.c_str(), v.c_str());
    measures({{"0200", "AB123CD"}, {"0502", "1"}});
    fct_create_file_gieglan(0);
    std::string line = boxtest::lines_of(res("KEY0001.G"))[1];
    EXPECT_EQ(line, "0320=" + std::string(97, 'X') + ".G");

    std::string deep = boxtest::root("/mnt/GIEGLAN/") + std::string(190, 'd') + "/";
    fct_create_idfile_gieglan(0, 'G', deep.c_str());
    EXPECT_LT(strlen(path_create_gieglan), sizeof path_create_gieglan);
    fct_create_idfile_gieglan(7, 'G', boxtest::root("/home/KELDRAN/DATA/log/").c_str());
    EXPECT_TRUE(boxtest::list_dir(boxtest::root("/home/KELDRAN/DATA/outbox")).empty());
    EXPECT_EQ(boxtest::list_dir(boxtest::root("/home/KELDRAN/DATA/log")),
              std::vector<std::string>{"log.txt"})
        << "only the delivery of the result file is logged";
}
