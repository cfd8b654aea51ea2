// OTCLAN result writer: measure lists per kind, identification lines and their error
// codes, the two seals checked against independent tools, and the delivery to the share.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "boxtest.h"
#include "cryOTC.h"
#include "dat.h"
#include "fcfotclan.h"
#include "file_param.h"
#include "nod.h"

using boxtest::exists;
using boxtest::read_file;
using boxtest::root;
using boxtest::write_file;

namespace {

const long long T0 = 1765000000;

std::string sha1sum_of(const std::string &bytes) {
    char path[] = "/tmp/fcfotclan_sha1_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
    FILE *p = popen((std::string("sha1sum ") + path).c_str(), "r");
    char out[64] = {0};
    EXPECT_NE(fgets(out, sizeof out, p), nullptr);
    pclose(p);
    unlink(path);
    std::string hex(out, 40);
    for (char &c : hex)
        c = (char)toupper((unsigned char)c);
    return hex;
}

// The condensate key of a ten-character key value under the maker's permutation, worked
// out here on its own: each digit lowered by one (0 to F), moved to its table position.
std::string derived_key(const std::string &value, const unsigned char *table) {
    std::string key(10, ' ');
    const char *hex = "0123456789ABCDEF";
    for (int i = 0; i < 10; i++) {
        int v = (int)std::string(hex).find(value[i]);
        key[table[i] - 1] = hex[(v + 15) % 16];
    }
    return key;
}

// Deciphers the hexadecimal condensate with the key text.
std::string open_condensate(const std::string &hexText, const std::string &key) {
    std::vector<unsigned char> kb;
    for (size_t i = 0; i + 1 < key.size(); i += 2)
        kb.push_back((unsigned char)std::stoul(key.substr(i, 2), nullptr, 16));
    rc4_init(kb.data(), (unsigned)kb.size());
    std::string out;
    for (size_t i = 0; i + 1 < hexText.size(); i += 2)
        out += (char)(std::stoul(hexText.substr(i, 2), nullptr, 16) ^ rc4_output());
    return out;
}

class OtclanWriter : public ::testing::Test {
  protected:
    boxtest::FakeClock clock{T0};

    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        mkdir(root("/mnt/GIEGLAN/RES").c_str(), 0755);
        mkdir(root("/mnt/GIEGLAN/CI").c_str(), 0755);
        snprintf(save_client, sizeof save_client, "KELDRAN");
        snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
        save_path_gieglan[0] = 0;
        lenght_path = 0;
        snprintf(path_create_log, sizeof path_create_log, "%s",
                 root("/home/KELDRAN/DATA/log/log.txt").c_str());
    }

    // A vehicle order: its plate, the base name of its order file, the file on the share.
    void order(const std::string &plate, const std::string &name, bool fileOnShare = true) {
        int s = 0;
        while (SI[s].plaqueinfo[0])
            s++;
        snprintf(SI[s].plaqueinfo, sizeof SI[s].plaqueinfo, "%s", plate.c_str());
        snprintf(SI[s].fichier, sizeof SI[s].fichier, "%s", name.c_str());
        Cpt_plaque = s + 1;
        if (fileOnShare) write_file(root("/mnt/GIEGLAN/CI/" + name + ".CI"), "order\r\n");
    }

    // A received measure and, when it has one, its row in the OTCLAN table.
    void measure(const std::string &code, const std::string &value, const std::string &name) {
        snprintf(SM[Cpt_SM].CodeGiegData, sizeof SM[0].CodeGiegData, "%s", code.c_str());
        snprintf(SM[Cpt_SM].DataMeasures, sizeof SM[0].DataMeasures, "%s", value.c_str());
        if (code == "0200" || code == "7200") CODE_200 = Cpt_SM;
        Cpt_SM++;
        if (name.empty()) return;
        snprintf(SM_OTCLAN[CSM_OTCLAN].CodeGiegData, sizeof SM[0].CodeGiegData, "%s",
                 name.c_str());
        snprintf(SM_OTCLAN[CSM_OTCLAN].DataMeasures, sizeof SM[0].DataMeasures, "%s",
                 value.c_str());
        CSM_OTCLAN++;
    }
    void plate(const std::string &p) { measure("0200", p, ""); }

    void periph(int pos, int number, char letter) {
        type_hardware_connect2[pos][0] = (char)number;
        type_hardware_connect2[pos][1] = letter;
        if (nb_periph_present < pos + 1) nb_periph_present = (char)(pos + 1);
    }
    void item(int row, const std::string &code, const std::string &value) {
        auto &it = SIHC[row][Cpt_SIHC[row]++];
        snprintf(it.CodeGiegData, sizeof it.CodeGiegData, "%s", code.c_str());
        snprintf(it.InfoHardwareConnect, sizeof it.InfoHardwareConnect, "%s", value.c_str());
    }
    // Every item a non-SPX instrument needs, but those named in skip.
    void full_ident(int row, const std::string &brand = "BRAND", const std::string &version = "GAS01",
                    const std::vector<std::string> &skip = {}) {
        std::vector<std::pair<std::string, std::string>> items = {
            {"0300", brand},          {"0301", "MODEL 2"},        {"7003", "HOMOL1"},
            {"0302", "SN0042"},       {"0303", "V1.0"},           {"0312", "01012024"},
            {"7007", version},        {"0200", "AB123CD"},        {"7009", "01012024120000"},
            {"7010", "02012024130000"}, {"7011", "CERT7"},         {"7012", "0123456789"}};
        for (auto &kv : items) {
            bool skipped = false;
            for (auto &s : skip)
                skipped |= s == kv.first;
            if (!skipped) item(row, kv.first, kv.second);
        }
    }
    // One gas analyser at list position 1 (number 2, so SIHC row 1) behind a hub.
    void gas_vehicle() {
        periph(0, 1, 'C');
        periph(1, 2, 'G');
        full_ident(1);
        order("AB123CD", "VEH1");
        plate("AB123CD");
        measure("0502", "00.1", "PEM03");
        measure("0503", "12", "PEM04");
    }

    std::string res(const std::string &name) { return read_file(root("/mnt/GIEGLAN/RES/" + name)); }
    std::string local(const std::string &name) {
        return read_file(root("/home/KELDRAN/DATA/log/RES/" + name));
    }
    std::string link_log() { return read_file(root("/home/KELDRAN/DATA/log/log.txt")); }
    std::string stamp() {
        time_t t = (time_t)T0;
        struct tm tmv;
        localtime_r(&t, &tmv);
        char buf[40];
        snprintf(buf, sizeof buf, "INFO: %02d/%02d/%02d - %02d:%02d:%02d:  ", tmv.tm_mday,
                 tmv.tm_mon + 1, tmv.tm_year % 100, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
        return buf;
    }
};

// Value of the "err=" line, or 0 when there is none.
int err_of(const std::string &text) {
    size_t p = text.find("\r\nerr=");
    return p == std::string::npos ? 0 : std::stoi(text.substr(p + 6));
}

bool has_line(const std::string &text, const std::string &line) {
    return text.find("\r\n" + line + "\r\n") != std::string::npos;
}

} // namespace

TEST(OtclanText, CodetoiReadsFiveCharactersNonDigitsAsZero) {
    EXPECT_EQ(codetoi("PEM07"), 7);
    EXPECT_EQ(codetoi("DM002"), 2);
    EXPECT_EQ(codetoi("0503"), 503);
    EXPECT_EQ(codetoi("A1B2C"), 1020);
    EXPECT_EQ(codetoi("1234567"), 12345);
    EXPECT_EQ(codetoi(""), 0);
}

TEST(OtclanText, SortMesureOrdersByNumberAndMovesValuesWithNames) {
    SaveMeasures t[5] = {{"PEM07", "7a"}, {"PEM03", "3"}, {"PEM07", "7b"}, {"PEM15", "15"},
                         {"PEM01", "C"}};
    sortMesure(t, 5);
    const char *names[] = {"PEM01", "PEM03", "PEM07", "PEM07", "PEM15"};
    for (int i = 0; i < 5; i++)
        EXPECT_STREQ(t[i].CodeGiegData, names[i]) << i;
    EXPECT_STREQ(t[0].DataMeasures, "C");
    EXPECT_STREQ(t[1].DataMeasures, "3");
    EXPECT_STREQ(t[4].DataMeasures, "15");
    // Only the first taille records are touched.
    SaveMeasures u[3] = {{"PEM09", "9"}, {"PEM08", "8"}, {"PEM01", "1"}};
    sortMesure(u, 2);
    EXPECT_STREQ(u[0].CodeGiegData, "PEM08");
    EXPECT_STREQ(u[2].CodeGiegData, "PEM01");
    sortMesure(u, 0);
}

TEST(OtclanText, LeadingBlanksGoUnlessTheTextIsOnlyBlanks) {
    char a[] = "   AB C";
    supprime_espace_debut(a);
    EXPECT_STREQ(a, "AB C");
    char b[] = "AB ";
    supprime_espace_debut(b);
    EXPECT_STREQ(b, "AB ");
    char c[] = "   ";
    supprime_espace_debut(c);
    EXPECT_STREQ(c, "   ");
    char d[] = "";
    supprime_espace_debut(d);
    EXPECT_STREQ(d, "");
}

TEST(OtclanText, ParseurIdOtcCleansAndRefusesEmptyOrNonOtclanText) {
    char a[] = "  a";
    EXPECT_EQ(parseurIdOTC(a), 0);
    EXPECT_STREQ(a, "A");
    char b[] = " brand x";
    EXPECT_EQ(parseurIdOTC(b), 0);
    EXPECT_STREQ(b, "BRAND X");
    char c[] = "";
    EXPECT_EQ(parseurIdOTC(c), 1);
    char d[] = "SN\xE9";
    EXPECT_EQ(parseurIdOTC(d), 1);
    EXPECT_STREQ(d, "SN\xE9") << "a byte above 0x7E is kept as it is";
    char e[] = "A\x7F";
    EXPECT_EQ(parseurIdOTC(e), 1);
    char m[] = " 12.5";
    EXPECT_EQ(parseurMesureOTC(m, 0), 0);
    EXPECT_STREQ(m, "12.5");
    char n[] = "";
    EXPECT_EQ(parseurMesureOTC(n, 0), 0) << "an empty measure is acceptable";
    char o[] = "ok\x80";
    EXPECT_EQ(parseurMesureOTC(o, 1), 1);
}

TEST_F(OtclanWriter, KindListsPairTheOtclanRowsPastPlateAnd0204Records) {
    plate("AB123CD");
    measure("0502", "00.1", "PEM03");
    measure("0204", "COPY", "");
    measure("0530", "1", "POM01");
    measure("0531", "12", "POM02");
    Get_Measure_Type();
    ASSERT_EQ(nb_measure, 2);
    EXPECT_EQ(type_measure[0], 'G');
    EXPECT_EQ(type_measure[1], 'O');
    EXPECT_EQ(type_measure[2], 0x1E);
    ASSERT_EQ(CSM1, 1);
    EXPECT_STREQ(SM1[0][0].CodeGiegData, "PEM03");
    ASSERT_EQ(CSM2, 2);
    EXPECT_STREQ(SM1[1][0].CodeGiegData, "POM01");
    EXPECT_STREQ(SM1[1][1].CodeGiegData, "POM02");
    EXPECT_STREQ(SM1[1][1].DataMeasures, "12");
}

TEST_F(OtclanWriter, ThirdAndFourthKindLettersGetTheirOwnLists) {
    measure("0502", "1", "PEM03");
    measure("0530", "2", "POM01");
    measure("0490", "3", "RFM02");
    measure("0601", "4", "PLM01");
    measure("0491", "5", "RFM03");
    Get_Measure_Type();
    ASSERT_EQ(nb_measure, 4);
    EXPECT_EQ(std::string(type_measure, 4), "GOPE");
    EXPECT_EQ(CSM1, 1);
    EXPECT_EQ(CSM2, 1);
    ASSERT_EQ(CSM3, 2);
    EXPECT_STREQ(SM1[2][0].CodeGiegData, "RFM02");
    EXPECT_STREQ(SM1[2][1].CodeGiegData, "RFM03");
    ASSERT_EQ(CSM4, 1);
    EXPECT_STREQ(SM1[3][0].CodeGiegData, "PLM01");
}

TEST_F(OtclanWriter, KindLettersFollowTheMakerVariant) {
    measure("7524", "C", "PEM01");
    Get_Measure_Type();
    EXPECT_EQ(nb_measure, 0) << "7524 has no kind for other makers";
    snprintf(save_client, sizeof save_client, "SPX");
    Get_Measure_Type();
    ASSERT_EQ(nb_measure, 1);
    EXPECT_EQ(type_measure[0], 'G');
    boxtest::reset_state();
    measure("7540", "1", "POM31");
    measure("7560", "1", "POM36");
    Get_Measure_Type();
    ASSERT_EQ(nb_measure, 1);
    EXPECT_EQ(type_measure[0], 'O');
    EXPECT_EQ(CSM1, 2) << "7540 has no kind under SPX; before the first letter it joins the first list";
}

TEST_F(OtclanWriter, SealsMatchTheTextAndTheFileReachesTheShare) {
    gas_vehicle();
    fct_create_file_otclan(0);
    std::string text = res("VEH1.G");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, local("VEH1.G")) << "the local copy stays";
    EXPECT_EQ(text.rfind("[IDENTIFICATION]\r\nPE01=BRAND\r\nPE02=MODEL 2\r\nPE03=HOMOL1\r\n", 0), 0u);
    EXPECT_TRUE(has_line(text, "PE06=01012024"));
    EXPECT_TRUE(has_line(text, "PE08=AB123CD"));
    EXPECT_TRUE(has_line(text, "PE11=CERT7"));
    EXPECT_EQ(text.find("PE12="), std::string::npos);
    EXPECT_EQ(text.find("0123456789"), std::string::npos) << "the key value is never written";
    EXPECT_NE(text.find("\r\n[MESURES]\r\nPEM03=00.1\r\nPEM04=12\r\n[CRC]\r\n"), std::string::npos);
    EXPECT_EQ(err_of(text), 0);

    size_t e = text.find("EMPREINTE=");
    ASSERT_NE(e, std::string::npos);
    e += 10;
    EXPECT_EQ(text.substr(e, 40), sha1sum_of(text.substr(0, e)));
    EXPECT_EQ(text.substr(e + 40, 2), "\r\n");

    size_t c = text.find("CONDENSAT=");
    ASSERT_NE(c, std::string::npos);
    c += 10;
    size_t end = text.find("\r\n", c);
    std::string hex = text.substr(c, end - c);
    ASSERT_EQ(hex.size(), 2 * (c + OTC_MARKER));
    EXPECT_EQ(end + 2, text.size()) << "nothing after the condensate without an error";
    std::string plain = open_condensate(hex, derived_key("0123456789", tableKeldran));
    size_t m = plain.find("##");
    ASSERT_NE(m, std::string::npos);
    ASSERT_LT(m, c);
    EXPECT_EQ(plain.substr(m, OTC_MARKER).find_first_not_of("#0123456789"), std::string::npos);
    EXPECT_EQ(plain.substr(m + 12, 2), "##");
    EXPECT_EQ(plain.substr(0, m) + plain.substr(m + OTC_MARKER), text.substr(0, c));

    EXPECT_EQ(link_log(), stamp() + "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/VEH1.G") + "\r\n");
    EXPECT_FALSE(exists(root("/commands.log"))) << "no shell command";
}

TEST_F(OtclanWriter, StationDirectoryIsUsedForOrderAndResultPaths) {
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "ST01");
    lenght_path = 4;
    mkdir(root("/mnt/GIEGLAN/ST01").c_str(), 0755);
    mkdir(root("/mnt/GIEGLAN/ST01/RES").c_str(), 0755);
    mkdir(root("/mnt/GIEGLAN/ST01/CI").c_str(), 0755);
    gas_vehicle();
    write_file(root("/mnt/GIEGLAN/ST01/CI/VEH1.CI"), "order\r\n");
    boxtest::remove_file(root("/mnt/GIEGLAN/CI/VEH1.CI"));
    fct_create_file_otclan(0);
    EXPECT_TRUE(exists(root("/mnt/GIEGLAN/ST01/RES/VEH1.G")));
    EXPECT_FALSE(exists(root("/mnt/GIEGLAN/RES/VEH1.G")));
}

TEST_F(OtclanWriter, IdentificationIsReadFromTheRowOfThePeripheralNumber) {
    periph(0, 1, 'C');
    periph(1, 2, 'G');
    periph(2, 3, 'O');
    full_ident(1, " gasbrand");
    full_ident(2, "OPABRAND");
    order("AB123CD", "VEH1");
    plate("AB123CD");
    measure("0502", "1", "PEM03");
    measure("0530", "2", "POM01");
    fct_create_file_otclan(0);
    EXPECT_TRUE(has_line("\r\n" + res("VEH1.G"), "[IDENTIFICATION]\r\nPE01=GASBRAND"));
    EXPECT_TRUE(has_line("\r\n" + res("VEH1.O"), "[IDENTIFICATION]\r\nPO01=OPABRAND"));
    EXPECT_STREQ(SIHC[1][0].InfoHardwareConnect, "GASBRAND") << "cleaned value stays";
}

TEST_F(OtclanWriter, PeripheralNumberOutsideOneToFiveHasNoIdentification) {
    periph(0, 1, 'C');
    periph(1, 9, 'G');
    for (int r = 0; r < 5; r++)
        full_ident(r);
    order("AB123CD", "VEH1");
    plate("AB123CD");
    measure("0502", "1", "PEM03");
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    fct_create_file_otclan(0);
    std::string text = local("VEH1.G");
    EXPECT_EQ(text.find("PE0"), std::string::npos);
    EXPECT_EQ(err_of(text), 50) << "the key is the last item looked for";
}

TEST_F(OtclanWriter, ErrorCodesOfTheIdentificationLines) {
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    struct Case {
        const char *what;
        std::vector<std::string> skip;
        std::pair<std::string, std::string> extra;
        int err;
        const char *line; // a line that must be there, or ""
    } cases[] = {
        {"serial of two characters", {"0302"}, {"0302", "  ab"}, 10, "PE04=AB"},
        {"no 0312 in a G file", {"0312"}, {"", ""}, 16, ""},
        {"bad 0312 date", {"0312"}, {"0312", "31042024"}, 15, "PE06=31042024"},
        {"7009 not a date", {"7009"}, {"7009", "2024"}, 24, "PE09=2024"},
        {"brand with a byte above 0x7E", {"0300"}, {"0300", "BR\xC9"}, 3, "PE01=BR\xC9"},
        {"no key", {"7012"}, {"", ""}, 50, ""},
        {"key too short", {"7012"}, {"7012", "12345"}, 50, ""},
    };
    for (const Case &k : cases) {
        SetUp();
        boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
        periph(0, 1, 'G');
        full_ident(0, "BRAND", "GAS01", k.skip);
        if (!k.extra.first.empty()) item(0, k.extra.first, k.extra.second);
        order("AB123CD", "VEH1");
        plate("AB123CD");
        measure("0502", "1", "PEM03");
        fct_create_file_otclan(0);
        std::string text = local("VEH1.G");
        EXPECT_EQ(err_of(text), k.err) << k.what;
        if (*k.line) {
            EXPECT_TRUE(has_line(text, k.line)) << k.what;
        }
        EXPECT_TRUE(has_line(text, "[MESURES]")) << k.what << ": the file is complete";
    }
}

TEST_F(OtclanWriter, FamilyEHasNoLine06AndNoError16) {
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    periph(0, 1, 'E');
    full_ident(0, "BRAND", "GAS01", {"0312"});
    order("AB123CD", "VEH1");
    plate("AB123CD");
    measure("0601", "1", "PLM01");
    measure("0604", "", "PLM04");
    measure("0605", "", "PLM05");
    measure("0614", "AB  ", "PLM14");
    fct_create_file_otclan(0);
    std::string text = local("VEH1.E");
    EXPECT_EQ(err_of(text), 0);
    EXPECT_EQ(text.find("PL06="), std::string::npos);
    EXPECT_TRUE(has_line(text, "PLM04=")) << "PLM04 is written even empty";
    EXPECT_EQ(text.find("PLM05"), std::string::npos) << "other empty measures are left out";
    EXPECT_TRUE(has_line(text, "PLM14=AB  ")) << "PLM14 keeps its trailing blanks";
}

TEST_F(OtclanWriter, OpacimeterVersionOpa02RequiresLine12) {
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    struct Case {
        const char *version;
        bool with7529;
        int err;
        bool line12;
    } cases[] = {{"OPA02-X", false, 54, false},
                 {"OPA02", true, 0, true},
                 {"OPA01", true, 0, false}};
    for (const Case &k : cases) {
        SetUp();
        boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
        periph(0, 1, 'O');
        full_ident(0, "BRAND", k.version);
        if (k.with7529) item(0, "7529", "CAL1");
        order("AB123CD", "VEH1");
        plate("AB123CD");
        measure("0530", "1", "POM01");
        fct_create_file_otclan(0);
        std::string text = local("VEH1.O");
        EXPECT_EQ(err_of(text), k.err) << k.version;
        EXPECT_EQ(has_line(text, "PO12=CAL1"), k.line12) << k.version;
    }
}

TEST_F(OtclanWriter, MeasureLinesAreSortedOnceEachAndBadValuesMarked) {
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    periph(0, 1, 'G');
    full_ident(0);
    order("AB123CD", "VEH1");
    plate("AB123CD");
    measure("0509", "7", "PEM07");
    measure("0502", "3", "PEM03");
    measure("7509", "8", "PEM07");
    fct_create_file_otclan(0);
    std::string text = local("VEH1.G");
    EXPECT_NE(text.find("[MESURES]\r\nPEM03=3\r\nPEM07="), std::string::npos);
    EXPECT_EQ(text.find("PEM07=", text.find("PEM07=") + 1), std::string::npos);
    EXPECT_EQ(err_of(text), 0);

    SetUp();
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    periph(0, 1, 'G');
    full_ident(0);
    order("AB123CD", "VEH1");
    plate("AB123CD");
    measure("0502", "1\xB0", "PEM03");
    measure("0503", "low", "PEM04");
    fct_create_file_otclan(0);
    text = local("VEH1.G");
    EXPECT_EQ(err_of(text), 51);
    EXPECT_TRUE(has_line(text, "PEM04=LOW"));
}

TEST_F(OtclanWriter, NoOrderForThePlateGivesError1AndAnErrCopy) {
    periph(0, 1, 'G');
    full_ident(0);
    order("OTHER", "VEH9");
    plate("AB123CD");
    measure("0502", "1", "PEM03");
    write_file(root("/mnt/GIEGLAN/CI/.CI"), "order\r\n"); // the order path of an empty name
    fct_create_file_otclan(0);
    EXPECT_EQ(err_of(local(".G.err")), 1);
    EXPECT_FALSE(exists(root("/home/KELDRAN/DATA/log/RES/.G")));
    EXPECT_TRUE(boxtest::list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_EQ(link_log(),
              stamp() + "ERREUR sur fichier " + root("/home/KELDRAN/DATA/log/RES/.G") + ".err\r\n");
}

TEST_F(OtclanWriter, AnErrorOfTheFirstFileIsCarriedIntoTheNext) {
    periph(0, 1, 'G');
    periph(1, 2, 'O');
    full_ident(0, "BRAND", "GAS01", {"0312"});
    full_ident(1);
    order("AB123CD", "VEH1");
    plate("AB123CD");
    measure("0502", "1", "PEM03");
    measure("0530", "1", "POM01");
    fct_create_file_otclan(0);
    EXPECT_EQ(err_of(local("VEH1.G.err")), 16);
    EXPECT_EQ(err_of(local("VEH1.O.err")), 16);
    EXPECT_TRUE(boxtest::list_dir(root("/mnt/GIEGLAN/RES")).empty());
}

TEST_F(OtclanWriter, OfflineMarkerKeepsTheFileLocal) {
    gas_vehicle();
    write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    fct_create_file_otclan(0);
    EXPECT_FALSE(local("VEH1.G").empty());
    EXPECT_EQ(boxtest::list_dir(root("/home/KELDRAN/DATA/log/RES")),
              std::vector<std::string>{"VEH1.G"});
    EXPECT_TRUE(boxtest::list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_FALSE(exists(root("/home/KELDRAN/DATA/log/log.txt")));
}

TEST_F(OtclanWriter, OrderFileGoneRemovesTheResultAndLogsIt) {
    gas_vehicle();
    boxtest::remove_file(root("/mnt/GIEGLAN/CI/VEH1.CI"));
    fct_create_file_otclan(0);
    EXPECT_TRUE(boxtest::list_dir(root("/home/KELDRAN/DATA/log/RES")).empty());
    EXPECT_TRUE(boxtest::list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_EQ(link_log(), stamp() + "ERREUR fichier inexistant " +
                              root("//mnt/GIEGLAN/CI/VEH1.CI") + "\r\n");
}

TEST_F(OtclanWriter, ShellAndFormatCharactersInOrderNamesAreJustNames) {
    periph(0, 1, 'G');
    full_ident(0);
    order("AB123CD", "a;touch x;");
    plate("AB123CD");
    measure("0502", "1", "PEM03");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    fct_create_file_otclan(0);
    EXPECT_TRUE(exists(root("/mnt/GIEGLAN/RES/a;touch x;.G")));
    EXPECT_FALSE(exists(std::string(cwd) + "/x"));
    EXPECT_FALSE(exists(root("/x")));
    EXPECT_FALSE(exists(root("/commands.log")));

    // Second vehicle: a name with a command substitution and format directives.
    boxtest::reset_state();
    periph(0, 1, 'G');
    full_ident(0);
    order("EF456GH", "b$(touch y)'%s%n%d");
    plate("EF456GH");
    measure("0502", "1", "PEM03");
    fct_create_file_otclan(0);
    EXPECT_TRUE(exists(root("/mnt/GIEGLAN/RES/b$(touch y)'%s%n%d.G")));
    EXPECT_FALSE(exists(std::string(cwd) + "/y"));
    std::string log = link_log();
    EXPECT_NE(log.find("Ecriture du fichier " + root("//mnt/GIEGLAN/RES/b$(touch y)'%s%n%d.G")),
              std::string::npos)
        << log;
}

TEST_F(OtclanWriter, OverlongNamesAreRefusedNotCut) {
    periph(0, 1, 'G');
    full_ident(0);
    order("XY999ZZ", std::string(250, 'N'), false); // longer than a path of the box allows
    plate("XY999ZZ");
    measure("0502", "1", "PEM03");
    fct_create_file_otclan(0);
    EXPECT_TRUE(boxtest::list_dir(root("/home/KELDRAN/DATA/log/RES")).empty());
    EXPECT_TRUE(boxtest::list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_FALSE(exists(root("/home/KELDRAN/DATA/log/log.txt")));
}
