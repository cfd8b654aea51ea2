// OTCLAN result writer: measure lists per kind, identification lines and their error
// codes, the two seals checked against independent tools, and the delivery to the share.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "boxtest.h"
#include "cryOTC.h"
#include "dat.h"
#include "fcfotclan.h"
#include "fgivfgl.h"
#include "file_param.h"
#include "fsm.h"
#include "nod.h"
#include "outbox.h"

using boxtest::exists;
using boxtest::list_dir;
using boxtest::root;
using boxtest::write_file;
using Strings = std::vector<std::string>;

namespace {

const long long T0 = 1765000000;
const std::string LOCAL = "/home/KELDRAN/DATA/log/RES/";
const std::string OFFLINE = "/home/KELDRAN/DATA/offline.state";


// The condensate key of a key value worked out here on its own: each digit lowered by
// one (0 to F) and moved to its table position; then the hexadecimal condensate deciphered.
std::string open_condensate(const std::string &hexText, const std::string &value,
                            const unsigned char *table) {
    const std::string hex = "0123456789ABCDEF";
    std::string key(10, ' ');
    for (int i = 0; i < 10; i++)
        key[table[i] - 1] = hex[(hex.find(value[i]) + 15) % 16];
    std::vector<unsigned char> kb;
    for (size_t i = 0; i < 10; i += 2)
        kb.push_back((unsigned char)std::stoul(key.substr(i, 2), nullptr, 16));
    rc4_init(kb.data(), (unsigned)kb.size());
    std::string out;
    for (size_t i = 0; i + 1 < hexText.size(); i += 2)
        out += (char)(std::stoul(hexText.substr(i, 2), nullptr, 16) ^ rc4_output());
    return out;
}

int err_of(const std::string &text) {
    size_t p = text.find("\r\nerr=");
    return p == std::string::npos ? 0 : std::stoi(text.substr(p + 6));
}
bool has_line(const std::string &text, const std::string &line) {
    return ("\r\n" + text).find("\r\n" + line + "\r\n") != std::string::npos;
}
std::string read(const std::string &rel) {
    return boxtest::read_file(root(rel));
}

class OtclanWriter : public ::testing::Test {
  protected:
    boxtest::FakeClock clock{T0};

    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        boxtest::set_network(0);
        mkdir(root("/mnt/GIEGLAN/RES").c_str(), 0755);
        mkdir(root("/mnt/GIEGLAN/CI").c_str(), 0755);
        snprintf(save_client, sizeof save_client, "KELDRAN");
        save_path_gieglan[0] = 0;
        lenght_path = 0;
        snprintf(path_create_log, sizeof path_create_log, "%s",
                 root("/home/KELDRAN/DATA/log/log.txt").c_str());
    }

    // A vehicle order: its plate, the base name of its order file, the file on the share.
    void order(const std::string &plate, const std::string &name, bool onShare = true) {
        snprintf(SI[Cpt_plaque].plaqueinfo, sizeof SI[0].plaqueinfo, "%s", plate.c_str());
        snprintf(SI[Cpt_plaque].fichier, sizeof SI[0].fichier, "%s", name.c_str());
        Cpt_plaque++;
        if (onShare) write_file(root("/mnt/GIEGLAN/CI/" + name + ".CI"), "order\r\n");
    }
    // A received measure and, when it has a name, its row in the OTCLAN table.
    void measure(const std::string &code, const std::string &value, const std::string &name) {
        SaveMeasures &m = SM[Cpt_SM];
        snprintf(m.CodeGiegData, sizeof m.CodeGiegData, "%s", code.c_str());
        snprintf(m.DataMeasures, sizeof m.DataMeasures, "%s", value.c_str());
        if (code == "0200") CODE_200 = Cpt_SM;
        Cpt_SM++;
        if (name.empty()) return;
        SaveMeasures &o = SM_OTCLAN[CSM_OTCLAN++];
        snprintf(o.CodeGiegData, sizeof o.CodeGiegData, "%s", name.c_str());
        snprintf(o.DataMeasures, sizeof o.DataMeasures, "%s", value.c_str());
    }
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
    // Every item an instrument of another maker than SPX needs, except those in skip.
    void full_ident(int row, const std::string &brand = "BRAND", const Strings &skip = {}) {
        std::pair<std::string, std::string> items[] = {{"0300", brand},
                                                       {"0301", "MODEL 2"},
                                                       {"7003", "HOMOL1"},
                                                       {"0302", "SN0042"},
                                                       {"0303", "V1.0"},
                                                       {"0312", "01012024"},
                                                       {"7007", "GAS01"},
                                                       {"0200", "AB123CD"},
                                                       {"7009", "01012024120000"},
                                                       {"7010", "02012024130000"},
                                                       {"7011", "CERT7"},
                                                       {"7012", "0123456789"}};
        for (auto &kv : items)
            if (std::find(skip.begin(), skip.end(), kv.first) == skip.end())
                item(row, kv.first, kv.second);
    }
    // One instrument of the letter at list position 0 (number 1, SIHC row 0) and one
    // vehicle AB123CD ordered as VEH1.
    void vehicle(char letter, const Strings &skip = {}) {
        periph(0, 1, letter);
        full_ident(0, "BRAND", skip);
        order("AB123CD", "VEH1");
        measure("0200", "AB123CD", "");
    }
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

} // namespace

TEST(OtclanText, CodetoiSortAndCleaning) {
    EXPECT_EQ(codetoi("PEM07"), 7);
    EXPECT_EQ(codetoi("DM002"), 2);
    EXPECT_EQ(codetoi("A1B2C"), 1020);
    EXPECT_EQ(codetoi("1234567"), 12345);
    EXPECT_EQ(codetoi(""), 0);

    SaveMeasures t[5] = {
        {"PEM07", "7a"}, {"PEM03", "3"}, {"PEM07", "7b"}, {"PEM15", "15"}, {"PEM01", "C"}};
    sortMesure(t, 4); // the fifth record stays out of it
    std::string got;
    for (auto &m : t)
        got += std::string(m.CodeGiegData) + "=" + m.DataMeasures + " ";
    EXPECT_TRUE(got == "PEM03=3 PEM07=7a PEM07=7b PEM15=15 PEM01=C " ||
                got == "PEM03=3 PEM07=7b PEM07=7a PEM15=15 PEM01=C ")
        << got;

    char a[] = "   AB C", b[] = "   ", c[] = "";
    supprime_espace_debut(a);
    supprime_espace_debut(b);
    supprime_espace_debut(c);
    EXPECT_STREQ(a, "AB C");
    EXPECT_STREQ(b, "   ") << "blanks only stay";
    EXPECT_STREQ(c, "");

    char id1[] = "  a ", id2[] = "   ", id3[] = "SN\xE9", id4[] = "A\x7F";
    EXPECT_EQ(parseurIdOTC(id1), 0);
    EXPECT_STREQ(id1, "A");
    EXPECT_EQ(parseurIdOTC(id2), 1);
    EXPECT_EQ(parseurIdOTC(id3), 1);
    EXPECT_STREQ(id3, "SN\xE9");
    EXPECT_EQ(parseurIdOTC(id4), 1);
    char m1[] = " low ", m2[] = "", m3[] = "ok\x80", m4[] = " 12  ";
    EXPECT_EQ(parseurMesureOTC(m4, 1), 0);
    EXPECT_STREQ(m4, "12  ") << "type 1 keeps trailing blanks";
    EXPECT_EQ(parseurMesureOTC(m1, 0), 0);
    EXPECT_STREQ(m1, "LOW");
    EXPECT_EQ(parseurMesureOTC(m2, 0), 0) << "an empty measure is acceptable";
    EXPECT_EQ(parseurMesureOTC(m3, 1), 1);
}

TEST_F(OtclanWriter, EveryKindGetsItsOwnListPairedPastPlateAnd0204Records) {
    measure("0200", "AB123CD", "");
    measure("0502", "00.1", "PEM03");
    measure("0204", "COPY", ""); // stays in SM without an OTCLAN row
    measure("0530", "1", "POM01");
    measure("0490", "3", "RFM02");
    measure("0601", "4", "PLM01");
    measure("0491", "5", "RFM03");
    Get_Measure_Type();
    ASSERT_EQ(nb_measure, 4);
    EXPECT_EQ(std::string(type_measure, 4), "GOPE");
    char counts[] = {CSM1, CSM2, CSM3, CSM4};
    const char *names[4][2] = {{"PEM03"}, {"POM01"}, {"RFM02", "RFM03"}, {"PLM01"}};
    for (int k = 0; k < 4; k++) {
        ASSERT_EQ(counts[k], names[k][1] ? 2 : 1) << k;
        for (int i = 0; i < counts[k]; i++)
            EXPECT_STREQ(SM1[k][i].CodeGiegData, names[k][i]) << k;
    }
    EXPECT_STREQ(SM1[1][0].DataMeasures, "1");

    boxtest::reset_state();
    measure("7524", "C", "PEM01");
    Get_Measure_Type();
    EXPECT_EQ(nb_measure, 0) << "7524 has no kind for other makers";
    snprintf(save_client, sizeof save_client, "SPX");
    measure("7545", "1", "POM21"); // the SPX opacity entries begin at 7545
    Get_Measure_Type();
    ASSERT_EQ(nb_measure, 2);
    EXPECT_EQ(type_measure[0], 'G');
    EXPECT_EQ(type_measure[1], 'O');
    EXPECT_STREQ(SM1[1][0].CodeGiegData, "POM21");
}

TEST_F(OtclanWriter, SixKindsGiveSixFilesEachWithItsOwnMeasures) {
    write_file(root(OFFLINE), "");
    vehicle('G');
    const Strings codes[] = {{"0502", "PEM03", ".G"}, {"0490", "RFM02", ".P"},
                             {"0601", "PLM01", ".E"}, {"0700", "DM001", ".D"},
                             {"7600", "VM001", ".V"}, {"0530", "POM01", ".O"}};
    for (const Strings &c : codes)
        measure(c[0], "1", c[1]);
    fct_create_file_otclan(0);
    Strings files;
    for (const Strings &c : codes) {
        files.push_back("VEH1" + c[2]);
        std::string text = read(LOCAL + "VEH1" + c[2]);
        for (const Strings &other : codes)
            EXPECT_EQ(has_line(text, other[1] + "=1"), other[1] == c[1]) << c[2] << " " << other[1];
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(root(LOCAL)), files);
}

TEST_F(OtclanWriter, KindWithoutInstrumentHasNoIdentificationAndStaysLocal) {
    // The hub's row 0 holds a full identification; the gas analyser is at position 1.
    // O comes first, P after G: neither may take another row's lines and key.
    periph(0, 1, 'C');
    periph(1, 2, 'G');
    full_ident(0, "HUB");
    full_ident(1);
    order("AB123CD", "VEH1");
    measure("0200", "AB123CD", "");
    measure("0530", "1", "POM01");
    measure("0502", "1", "PEM03");
    measure("0490", "1", "RFM02");
    fct_create_file_otclan(0);
    EXPECT_EQ(list_dir(root("/mnt/GIEGLAN/RES")), Strings({"VEH1.G"}));
    EXPECT_TRUE(has_line(read("/mnt/GIEGLAN/RES/VEH1.G"), "PE01=BRAND"));
    for (const char *f : {"VEH1.O.err", "VEH1.P.err"}) {
        std::string text = read(LOCAL + f);
        EXPECT_EQ(text.find("[IDENTIFICATION]\r\n[MESURES]\r\n"), 0u) << f << "\n" << text;
        EXPECT_EQ(err_of(text), 50) << f;
    }
}

TEST_F(OtclanWriter, SealsMatchTheTextAndTheFileReachesTheShare) {
    vehicle('G');
    measure("0502", "00.1", "PEM03");
    measure("0503", "12", "PEM04");
    fct_create_file_otclan(0);
    std::string text = read("/mnt/GIEGLAN/RES/VEH1.G");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, read(LOCAL + "VEH1.G")) << "the local copy stays";
    EXPECT_EQ(
        text.rfind("[IDENTIFICATION]\r\nPE01=BRAND\r\nPE02=MODEL 2\r\nPE03=HOMOL1\r\nPE04=SN0042"
                   "\r\nPE05=V1.0\r\nPE06=01012024\r\nPE07=GAS01\r\nPE08=AB123CD\r\nPE09=01012024"
                   "120000\r\nPE10=02012024130000\r\nPE11=CERT7\r\n[MESURES]\r\nPEM03=00.1\r\n"
                   "PEM04=12\r\n[CRC]\r\nEMPREINTE=",
                   0),
        0u);
    EXPECT_EQ(err_of(text), 0);

    size_t e = text.find("EMPREINTE=") + 10;
    EXPECT_EQ(text.substr(e, 40), boxtest::sha1sum_upper(text.substr(0, e)));
    size_t c = text.find("\r\nCONDENSAT=");
    ASSERT_EQ(c, e + 40);
    c += 12;
    size_t end = text.find("\r\n", c);
    ASSERT_EQ(end - c, 2 * (c + OTC_MARKER));
    EXPECT_EQ(end + 2, text.size()) << "nothing after the condensate without an error";
    std::string plain = open_condensate(text.substr(c, end - c), "0123456789", tableKeldran);
    size_t m = plain.find("##");
    ASSERT_LT(m, c);
    EXPECT_EQ(plain.substr(m + 12, 2), "##");
    EXPECT_EQ(plain.substr(0, m) + plain.substr(m + OTC_MARKER), text.substr(0, c));

    EXPECT_EQ(read("/home/KELDRAN/DATA/log/log.txt"),
              stamp() + "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/VEH1.G") + "\r\n");
    EXPECT_EQ(read("/commands.log"), "testNetwork.sh\n")
        << "no shell command but the network check";
}

TEST_F(OtclanWriter, SeparatedResultsKeepTheirKindsPastA0204Record) {
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
    periph(0, 1, 'G');
    periph(1, 2, 'O');
    full_ident(0);
    full_ident(1);
    order("AB123CD", "VEH1");
    for (auto &m : std::vector<Strings>{
             {"0200", "AB123CD"}, {"0502", "0.1"}, {"0204", "COPY"}, {"0530", "1"}, {"0531", "12"}})
        measure(m[0], m[1], "");
    fct_separate_measures();
    fct_create_file_otclan(0);
    std::string g = read("/mnt/GIEGLAN/RES/VEH1.G"), o = read("/mnt/GIEGLAN/RES/VEH1.O");
    EXPECT_NE(g.find("[MESURES]\r\nPEM03=0.1\r\n[CRC]"), std::string::npos) << g;
    EXPECT_NE(o.find("[MESURES]\r\nPOM01=1\r\nPOM02=12\r\n[CRC]"), std::string::npos) << o;
}

TEST_F(OtclanWriter, IdentificationComesFromTheRowOfThePeripheralNumber) {
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "ST01");
    lenght_path = 4;
    for (const char *d : {"/mnt/GIEGLAN/ST01", "/mnt/GIEGLAN/ST01/RES", "/mnt/GIEGLAN/ST01/CI"})
        mkdir(root(d).c_str(), 0755);
    periph(0, 1, 'C');
    periph(1, 3, 'G'); // numbers out of list order: the number decides the row
    periph(2, 2, 'O');
    periph(3, 9, 'P'); // a number beyond the five rows: no identification at all
    for (int r = 0; r < 5; r++)
        full_ident(r, r == 2 ? " gasbrand" : "ROW" + std::to_string(r));
    order("AB123CD", "VEH1", false);
    write_file(root("/mnt/GIEGLAN/ST01/CI/VEH1.CI"), "order\r\n");
    measure("0200", "AB123CD", "");
    measure("0502", "1", "PEM03");
    measure("0530", "2", "POM01");
    measure("0490", "3", "RFM02");
    fct_create_file_otclan(0);
    EXPECT_TRUE(has_line(read("/mnt/GIEGLAN/ST01/RES/VEH1.G"), "PE01=GASBRAND"));
    EXPECT_STREQ(SIHC[2][0].InfoHardwareConnect, "GASBRAND") << "the cleaned value stays";
    EXPECT_TRUE(has_line(read("/mnt/GIEGLAN/ST01/RES/VEH1.O"), "PO01=ROW1"));
    std::string p = read(LOCAL + "VEH1.P.err");
    EXPECT_EQ(p.find("RF0"), std::string::npos);
    EXPECT_EQ(err_of(p), 50) << "the key is the last item looked for";
    EXPECT_TRUE(list_dir(root("/mnt/GIEGLAN/RES")).empty());
}

TEST_F(OtclanWriter, ChecksAndMissingItemsGiveTheirErrorCodes) {
    struct Case {
        const char *what;
        char letter;
        Strings skip;
        std::vector<std::pair<std::string, std::string>> items;
        std::vector<Strings> measures; // code, value, name
        int err;
        Strings lines;  // lines the file holds
        Strings absent; // texts the file must not hold
    } cases[] = {
        {"serial of two characters", 'G', {"0302"}, {{"0302", " ab  "}}, {}, 10, {"PE04=AB"}, {}},
        {"no 0312 in a G file", 'G', {"0312"}, {}, {}, 16, {}, {"PE06"}},
        {"bad 0312 date", 'G', {"0312"}, {{"0312", "31042024"}}, {}, 15, {"PE06=31042024"}, {}},
        {"7009 not a date", 'G', {"7009"}, {{"7009", "2024"}}, {}, 24, {"PE09=2024"}, {}},
        {"brand above 0x7E", 'G', {"0300"}, {{"0300", "BR\xC9"}}, {}, 3, {"PE01=BR\xC9"}, {}},
        {"no key", 'G', {"7012"}, {}, {}, 50, {}, {}},
        {"key too short", 'G', {"7012"}, {{"7012", "12345"}}, {}, 50, {}, {}},
        {"family E",
         'E',
         {"0312"},
         {},
         {{"0601", "1", "PLM01"},
          {"0604", "", "PLM04"},
          {"0605", "", "PLM05"},
          {"0614", "AB  ", "PLM14"}},
         0,
         {"PLM04=", "PLM14=AB  "},
         {"PL06", "PLM05"}},
        {"OPA02 without 7529", 'O', {"7007"}, {{"7007", "OPA02-X"}}, {}, 54, {}, {"PO12"}},
        {"OPA02 with 7529",
         'O',
         {"7007"},
         {{"7007", "OPA02"}, {"7529", "CAL1"}},
         {},
         0,
         {"PO12=CAL1"},
         {}},
        {"OPA01", 'O', {"7007"}, {{"7007", "OPA01"}, {"7529", "CAL1"}}, {}, 0, {}, {"PO12"}},
        {"one line per name",
         'G',
         {},
         {},
         {{"0509", "7", "PEM07"}, {"0502", "3", "PEM03"}, {"7509", "8", "PEM07"}},
         0,
         {"[MESURES]\r\nPEM03=3\r\nPEM07=7\r\n[CRC]"},
         {"PEM07=8"}},
        {"bad measure",
         'G',
         {},
         {},
         {{"0502", "1\xB0", "PEM03"}, {"0503", "low", "PEM04"}},
         51,
         {"PEM04=LOW"},
         {}},
    };
    const char *firstMeasure[] = {"0502", "1", "PEM03", "0530", "1", "POM01"};
    for (const Case &k : cases) {
        SetUp();
        write_file(root(OFFLINE), "");
        vehicle(k.letter, k.skip);
        for (auto &kv : k.items)
            item(0, kv.first, kv.second);
        if (k.measures.empty()) {
            const char **fm = firstMeasure + (k.letter == 'O' ? 3 : 0);
            measure(fm[0], fm[1], fm[2]);
        }
        for (auto &m : k.measures)
            measure(m[0], m[1], m[2]);
        fct_create_file_otclan(0);
        std::string text = read(LOCAL + "VEH1." + k.letter);
        EXPECT_EQ(err_of(text), k.err) << k.what;
        EXPECT_TRUE(has_line(text, "[MESURES]")) << k.what << ": the file is complete";
        for (auto &l : k.lines)
            EXPECT_TRUE(has_line(text, l)) << k.what << ": " << l;
        for (auto &a : k.absent)
            EXPECT_EQ(text.find(a), std::string::npos) << k.what << ": " << a;
    }
}

TEST_F(OtclanWriter, EachFileOfACallStartsWithItsOwnErrorVersionAndLastName) {
    // The opacimeter has no line 07 (error 19) but a line-12 item; the gas analyser's
    // line 07 reads OPA02. 0520 has no kind letter and follows the record before it:
    // PEM11 closes the O list and, after an empty RFM02, is the first P measure written.
    periph(0, 1, 'G');
    periph(1, 2, 'O');
    periph(2, 3, 'P');
    full_ident(0, "BRAND", {"7007"});
    item(0, "7007", "OPA02");
    full_ident(1, "BRAND", {"7007"});
    item(1, "7529", "CAL1");
    full_ident(2);
    order("AB123CD", "VEH1");
    measure("0200", "AB123CD", "");
    measure("0502", "1", "PEM03");
    measure("0530", "1", "POM01");
    measure("0520", "5", "PEM11");
    measure("0490", "", "RFM02");
    measure("0520", "6", "PEM11");
    fct_create_file_otclan(0);
    EXPECT_EQ(list_dir(root(LOCAL)), Strings({"VEH1.G", "VEH1.O.err", "VEH1.P"}));
    EXPECT_EQ(list_dir(root("/mnt/GIEGLAN/RES")), Strings({"VEH1.G", "VEH1.P"}));
    std::string o = read(LOCAL + "VEH1.O.err");
    EXPECT_EQ(err_of(o), 19);
    EXPECT_EQ(o.find("PO12"), std::string::npos) << "line 12 follows the file's own line 07";
    std::string p = read("/mnt/GIEGLAN/RES/VEH1.P");
    EXPECT_EQ(err_of(p), 0) << "the error of .O is not that of .P";
    EXPECT_TRUE(has_line(p, "PEM11=6")) << p;
    // the vehicle's files for the share go together, then those kept on the box
    EXPECT_EQ(read("/home/KELDRAN/DATA/log/log.txt"),
              stamp() + "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/VEH1.G") + "\r\n" +
                  stamp() + "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/VEH1.P") + "\r\n" +
                  stamp() + "ERREUR sur fichier " + root(LOCAL + "VEH1.O") + ".err\r\n");

    // No order for the plate: error 1, and the names are empty.
    SetUp();
    periph(0, 1, 'G');
    full_ident(0);
    order("OTHER", "VEH9");
    measure("0200", "AB123CD", "");
    measure("0502", "1", "PEM03");
    write_file(root("/mnt/GIEGLAN/CI/.CI"), "order\r\n");
    fct_create_file_otclan(0);
    EXPECT_EQ(list_dir(root(LOCAL)), Strings({".G.err"}));
    EXPECT_EQ(err_of(read(LOCAL + ".G.err")), 1);
}

TEST_F(OtclanWriter, OrderNamedWithASecondDotIsFoundUnderItsOwnName) {
    const std::string image = "[VEHICULE]\r\nC001=AB123CD\r\nEMPREINTE=";
    write_file(root("/mnt/GIEGLAN/CI/A.B.CI"), image + boxtest::sha1sum_upper(image) + "\r\n");
    snprintf(Info.plaque, sizeof Info.plaque, "C001=");
    fct_get_info_vehicule_file_gieglan_OTCLAN(root("/mnt/GIEGLAN/CI").c_str(), ptinfo, "OTCLAN");
    ASSERT_EQ(Cpt_plaque, 1);
    periph(0, 1, 'G');
    full_ident(0);
    measure("0200", "AB123CD", "");
    measure("0502", "1", "PEM03");
    fct_create_file_otclan(0);
    EXPECT_EQ(list_dir(root("/mnt/GIEGLAN/RES")), Strings({"A.G"})) << "named after the base name";
}

TEST_F(OtclanWriter, OfflineResultIsDeliveredOnceBackAndAVanishedOrderKeepsItLocally) {
    vehicle('G');
    measure("0502", "1", "PEM03");
    write_file(root(OFFLINE), "");
    fct_create_file_otclan(0);
    EXPECT_EQ(list_dir(root(LOCAL)), Strings({"VEH1.G"}));
    EXPECT_TRUE(list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_FALSE(exists(root("/home/KELDRAN/DATA/log/log.txt")));
    outbox_deliver();
    EXPECT_TRUE(list_dir(root("/mnt/GIEGLAN/RES")).empty()) << "the marker holds it back";

    // online again with the order still there: delivered as it was sealed
    const std::string sealed = read(LOCAL + "VEH1.G");
    boxtest::remove_file(root(OFFLINE));
    outbox_deliver();
    EXPECT_EQ(read("/mnt/GIEGLAN/RES/VEH1.G"), sealed);
    EXPECT_EQ(read("/home/KELDRAN/DATA/log/log.txt"),
              stamp() + "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/VEH1.G") + "\r\n");
    EXPECT_EQ(list_dir(root(LOCAL)), Strings({"VEH1.G"})) << "the local copy stays";

    // sealed offline, the order gone when the box is back: logged, and kept for good
    boxtest::remove_file(root("/mnt/GIEGLAN/RES/VEH1.G"));
    boxtest::remove_file(root("/home/KELDRAN/DATA/log/log.txt"));
    write_file(root(OFFLINE), "");
    fct_create_file_otclan(0);
    const std::string orphan = read(LOCAL + "VEH1.G");
    boxtest::remove_file(root(OFFLINE));
    boxtest::remove_file(root("/mnt/GIEGLAN/CI/VEH1.CI"));
    outbox_deliver();
    EXPECT_EQ(list_dir(root(LOCAL)), Strings({"VEH1.G.orphelin"}));
    EXPECT_EQ(read(LOCAL + "VEH1.G.orphelin"), orphan);
    EXPECT_TRUE(list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_TRUE(list_dir(root("/home/KELDRAN/DATA/outbox")).empty());
    EXPECT_EQ(read("/home/KELDRAN/DATA/log/log.txt"),
              stamp() + "ERREUR fichier inexistant " + root("//mnt/GIEGLAN/CI/VEH1.CI") + "\r\n");
}

TEST_F(OtclanWriter, ShellAndFormatCharactersInOrderNamesAreJustNames) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (std::string name : {"a;touch x;", "b$(touch y)'%s%n%d"}) {
        SetUp();
        periph(0, 1, 'G');
        full_ident(0);
        order("AB123CD", name);
        measure("0200", "AB123CD", "");
        measure("0502", "1", "PEM03");
        fct_create_file_otclan(0);
        std::string share = root("//mnt/GIEGLAN/RES/" + name + ".G");
        EXPECT_TRUE(exists(share)) << name;
        EXPECT_EQ(read("/home/KELDRAN/DATA/log/log.txt"),
                  stamp() + "Ecriture du fichier " + share + "\r\n");
        EXPECT_EQ(read("/commands.log"), "testNetwork.sh\n");
    }
    EXPECT_FALSE(exists(std::string(cwd) + "/x"));
    EXPECT_FALSE(exists(std::string(cwd) + "/y"));
}

TEST_F(OtclanWriter, OverlongNamesAreRefusedNotCut) {
    periph(0, 1, 'G');
    full_ident(0);
    order("XY999ZZ", std::string(250, 'N'), false); // longer than a path of the box allows
    measure("0200", "XY999ZZ", "");
    measure("0502", "1", "PEM03");
    fct_create_file_otclan(0);
    EXPECT_TRUE(list_dir(root(LOCAL)).empty());
    EXPECT_TRUE(list_dir(root("/mnt/GIEGLAN/RES")).empty());
    EXPECT_FALSE(exists(root("/home/KELDRAN/DATA/log/log.txt")));
}
