// GIEGLAN and OTCLAN order reader: keys, plates, kept lines, bounds, the OTCLAN checks
// and conversions, and the green LED following the order directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "boxtest.h"
#include "dat.h"
#include "fgivfgl.h"
#include "file_param.h"
#include "heartbeat.h"

using namespace boxtest;
namespace fs = std::filesystem;

namespace {

struct OrderReader : ::testing::Test {
    std::string dir = root("/mnt/GIEGLAN/CG");
    void SetUp() override {
        reset_root();
        reset_state();
        fs::create_directories(dir);
        snprintf(save_client, sizeof save_client, "%s", "CAPELEC");
        snprintf(Info.plaque, sizeof Info.plaque, "%s", "0200=");
        snprintf(Info.carburant, sizeof Info.carburant, "%s", "0204=");
    }
    void put(const std::string &name, const std::string &text) {
        write_file(dir + "/" + name, text);
    }
    void read(const char *protocol = "GIEGLAN") {
        fct_get_info_vehicule_file_gieglan_OTCLAN(dir.c_str(), ptinfo, protocol);
    }
    std::string read_err(const char *protocol) {
        testing::internal::CaptureStderr();
        read(protocol);
        return testing::internal::GetCapturedStderr();
    }
    std::set<std::string> plates() const {
        std::set<std::string> s;
        for (int i = 0; i < Cpt_plaque; i++)
            s.insert(SI[i].plaqueinfo);
        return s;
    }
};

TEST_F(OrderReader, GieglanKeyIsTheNameCutToTenAndThePlateIsPaddedToTen) {
    put("ABCDEFGHIJKLM.txt",
        "[DATA]\r\n0200=AB123CD45\r\n0201=RENAULT\r\n0204=ES\r\n0300=X\r\n[CRC]\r\n0203=1\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].cle, "ABCDEFGHIJ");
    EXPECT_STREQ(SI[0].plaqueinfo, "AB123CD45 ");
    EXPECT_STREQ(SI[0].fichier, "ABCDEFGHIJKLM");
    EXPECT_STREQ(SI[0].carburantinfo, "");
    EXPECT_STREQ(SI[0].autreinfo[0], "0200=AB123CD45\r\n");
    EXPECT_STREQ(SI[0].autreinfo[1], "0204=ES\r\n");
    EXPECT_STREQ(SI[0].autreinfo[2], "")
        << "0201 and 0300 are not for this maker; 0203 follows [CRC]";
}

TEST_F(OrderReader, SpxMakerGetsEveryDataLineBeforeCrc) {
    snprintf(save_client, sizeof save_client, "%s", "SPX");
    put("V1", "[DATA]\r\n0200=AA11\r\n0201=RENAULT\r\n0300=X\r\n[CRC]\r\n0204=ES\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].autreinfo[0], "0200=AA11\r\n");
    EXPECT_STREQ(SI[0].autreinfo[1], "0201=RENAULT\r\n");
    EXPECT_STREQ(SI[0].autreinfo[2], "0300=X\r\n");
    EXPECT_STREQ(SI[0].autreinfo[3], "");
}

TEST_F(OrderReader, DotFilesAndFilesWithoutPlateGiveNoOrder) {
    put(".hidden", "0200=HID\r\n");
    put("noplate", "0204=ES\r\n0203=01012026\r\n");
    put("good.CG", "0200=GOOD\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "GOOD      ");
    EXPECT_STREQ(SI[1].plaqueinfo, "");
    EXPECT_STREQ(SI[1].autreinfo[0], "") << "the dropped file's lines must not stay behind";
    EXPECT_EQ(nfsrc_gieglan, 2);
    remove_file(dir + "/good.CG"); // the table is rebuilt from nothing
    read();
    EXPECT_EQ(Cpt_plaque, 0);
    EXPECT_STREQ(SI[0].plaqueinfo, "");
}

TEST_F(OrderReader, OnlyRegularFilesAreOrdersWhateverElseTheDirectoryHolds) {
    put("good.CG", "0200=GOOD\r\n");
    fs::create_directories(dir + "/sub.CG");
    put("sub.CG/inner.CG", "0200=INNER\r\n");
    std::string err;
    ASSERT_TRUE(runs_past_fifo(dir + "/pipe.CG", [&] { err = read_err("GIEGLAN"); }, 3000))
        << "a FIFO in the order directory holds the reader";
    EXPECT_EQ(plates(), std::set<std::string>{"GOOD      "});
    EXPECT_EQ(err.find("introuvable"), std::string::npos) << "passed over silently: " << err;
    // a device that never ends, under a name that looks like an order
    ASSERT_EQ(symlink("/dev/zero", (dir + "/zero.CG").c_str()), 0);
    read();
    EXPECT_EQ(plates(), std::set<std::string>{"GOOD      "});
    // the OTCLAN reader examines the same entries
    ASSERT_TRUE(runs_past_fifo(dir + "/PIPE.CI", [&] { err = read_err("OTCLAN"); }, 3000));
    EXPECT_EQ(Cpt_plaque, 0);
    EXPECT_EQ(err.find("PIPE.CI"), std::string::npos) << err;
}

TEST_F(OrderReader, ControlBytesOfKeysPlatesAndValuesBecomeBlanks) {
    snprintf(save_client, sizeof save_client, "%s", "SPX");
    put("K\x02" "1.CG", "0200=AB\x03" "12\r\n0204=E\x04S\r\n0301=A\x17" "B\tC\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].cle, "K 1");
    EXPECT_STREQ(SI[0].plaqueinfo, "AB 12     ");
    EXPECT_STREQ(SI[0].autreinfo[0], "0200=AB 12\r\n");
    EXPECT_STREQ(SI[0].autreinfo[1], "0204=E S\r\n");
    EXPECT_STREQ(SI[0].autreinfo[2], "0301=A B C\r\n") << "each value keeps its length";
    EXPECT_STREQ(SI[0].fichier, "K\x02" "1") << "the file is still named as it is";
}

TEST_F(OrderReader, BeyondTwentyOrdersOnlyThoseOfVehiclesInFlightAreStored) {
    for (int i = 0; i < 33; i++)
        put("F" + std::to_string(i), "0200=P" + std::to_string(i) + "\r\n");
    std::string err = read_err("GIEGLAN");
    EXPECT_EQ(Cpt_plaque, NBPLAQUEMAX);
    std::set<std::string> seen = plates();
    EXPECT_EQ(seen.size(), 20u);
    for (int i = 0; i < Cpt_plaque; i++) // each order still matches its own file
        EXPECT_EQ(std::string("P") + (SI[i].fichier + 1),
                  std::string(SI[i].plaqueinfo).substr(0, strlen(SI[i].fichier)));
    EXPECT_NE(err.find("Table des ordres pleine"), std::string::npos);

    // twenty vehicles in flight, whatever files the directory gives first: every one of
    // them finds its order in the table, and the orders still waiting are left out
    std::set<std::string> flying;
    for (int s = 0; s < NBPLAQUEMAX; s++) {
        char plate[12];
        snprintf(plate, sizeof plate, "%-10s", ("P" + std::to_string(32 - s)).c_str());
        snprintf(voiture[s].plaque, sizeof voiture[s].plaque, "%s", plate);
        flying.insert(plate);
    }
    read();
    EXPECT_EQ(plates(), flying);
    for (int i = 0; i < Cpt_plaque; i++)
        EXPECT_EQ(std::string("P") + (SI[i].fichier + 1),
                  std::string(SI[i].plaqueinfo).substr(0, strlen(SI[i].fichier)));
}

TEST_F(OrderReader, LongNamesPlatesAndLinesAreCutNeverOverflowing) {
    put("AB-123-CD_20261206_0930.CG",
        "0200=ABCDEFGHIJKLMNOP\r\n0203=" + std::string(80, '7') + "\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1) << "a name over 19 characters is still read";
    EXPECT_STREQ(SI[0].fichier, "AB-123-CD_20261206_0930");
    EXPECT_STREQ(SI[0].cle, "AB-123-CD_");
    EXPECT_STREQ(tabsrc_gieglan[0], "AB-123-CD_20261206_");
    EXPECT_STREQ(SI[0].plaqueinfo, "ABCDEFGHIJK");
    std::string l = SI[0].autreinfo[1];
    EXPECT_EQ(l.size(), 59u);
    EXPECT_EQ(l.substr(0, 5), "0203=");
    EXPECT_EQ(l.substr(57), "\r\n") << "a cut line still ends CR LF";
}

TEST_F(OrderReader, RestOfAnOverlongLineIsNotReadAsALine) {
    // The tail of the 0201 line, past the line buffer, looks like a plate line.
    put("v", "0201=" + std::string(249, 'x') + "0200=FAKE\r\n0200=REAL\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "REAL      ");
}

TEST_F(OrderReader, NulByteInALineHidesNeitherTheLineNorTheNextOne) {
    // NUL bytes left by a torn write on the share end a line's text, not the line.
    const char text[] = "0201=RE\0NAULT\r\n0200=AB12\r\n\0\r\n0204=ES\r\n";
    put("v", std::string(text, sizeof text - 1));
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "AB12      ");
    EXPECT_STREQ(SI[0].autreinfo[0], "0200=AB12\r\n");
    EXPECT_STREQ(SI[0].autreinfo[1], "0204=ES\r\n");
}

TEST_F(OrderReader, LineFeedOnlyFilesGiveTheSameOrder) {
    put("v", "0200=AB12\n0204=GO");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "AB12      ");
    EXPECT_STREQ(SI[0].autreinfo[0], "0200=AB12\r\n");
    EXPECT_STREQ(SI[0].autreinfo[1], "0204=GO\r\n")
        << "the last line without its end keeps its value";
}

TEST_F(OrderReader, AtMostThirtyDataLinesPerOrder) {
    snprintf(save_client, sizeof save_client, "%s", "SPX");
    std::string text;
    for (int i = 0; i < 40; i++)
        text += "03" + std::to_string(10 + i) + "=v\r\n";
    put("v", text + "0200=LAST\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1) << "the plate is found after the data lines are full";
    EXPECT_STREQ(SI[0].autreinfo[29], "0339=v\r\n");
    EXPECT_STREQ(SI[0].plaqueinfo, "LAST      ");
}

// An order file the share does not let be read (an open that fails with anything but
// "no such file", a read cut by an I/O error) keeps its order of the last reading; a
// listing that fails keeps the whole table; only a directory that is not there is read
// as holding no order. Root reads whatever its modes say, so the failures are made with
// a symbolic link that loops (the open fails) and one to a file whose read fails (EIO).
TEST_F(OrderReader, AFailedReadingKeepsTheLastGoodOrdersOnlyAnAbsentFileIsGone) {
    auto unreadable = [&](const std::string &name, bool at_open) {
        remove_file(dir + "/" + name);
        ASSERT_EQ(symlink(at_open ? name.c_str() : "/proc/self/mem", (dir + "/" + name).c_str()), 0);
    };
    put("K1.CG", "0200=P1\r\n0204=ES\r\n");
    put("K2.CG", "0200=P2\r\n");
    EXPECT_EQ(fct_get_info_vehicule_file_gieglan_OTCLAN(dir.c_str(), ptinfo, "GIEGLAN"),
              READING_DONE);
    EXPECT_EQ(order_dir_open, 1);
    ASSERT_EQ(plates(), (std::set<std::string>{"P1        ", "P2        "}));

    unreadable("K1.CG", true);
    unreadable("K2.CG", false);
    put("K3.CG", "0200=P3\r\n");
    unreadable("K4.CG", true); // new, never read: no order of its own yet
    std::string err = read_err("GIEGLAN");
    EXPECT_EQ(plates(), (std::set<std::string>{"P1        ", "P2        ", "P3        "})) << err;
    EXPECT_NE(err.find("K1.CG introuvable1.Too many levels of symbolic links"), std::string::npos)
        << err;
    EXPECT_NE(err.find("K2.CG illisible.Input/output error"), std::string::npos) << err;
    for (int i = 0; i < Cpt_plaque; i++)
        if (strcmp(SI[i].plaqueinfo, "P1        ") == 0) {
            EXPECT_STREQ(SI[i].autreinfo[1], "0204=ES\r\n") << "kept whole";
            EXPECT_STREQ(SI[i].nomfichier, "K1.CG");
        }

    // read again at the next reading once the PC lets it go; a file removed is gone
    remove_file(dir + "/K1.CG");
    put("K1.CG", "0200=P1B\r\n");
    remove_file(dir + "/K2.CG");
    remove_file(dir + "/K4.CG");
    read();
    EXPECT_EQ(plates(), (std::set<std::string>{"P1B       ", "P3        "}));

    // a directory that does not open for another reason: nothing changes
    fs::rename(dir, dir + ".away");
    ASSERT_EQ(symlink(dir.c_str(), dir.c_str()), 0);
    err = read_err("GIEGLAN");
    EXPECT_NE(err.find("Le dossier " + dir + " est introuvable"), std::string::npos);
    EXPECT_EQ(fct_get_info_vehicule_file_gieglan_OTCLAN(dir.c_str(), ptinfo, "GIEGLAN"),
              READING_FAILED);
    EXPECT_EQ(order_dir_open, 0);
    EXPECT_EQ(plates(), (std::set<std::string>{"P1B       ", "P3        "}));
    // a directory that is not there holds no order
    remove_file(dir);
    EXPECT_EQ(fct_get_info_vehicule_file_gieglan_OTCLAN(dir.c_str(), ptinfo, "GIEGLAN"),
              READING_DONE);
    EXPECT_EQ(Cpt_plaque, 0);
}

TEST_F(OrderReader, GreenLedAndMarkerFollowTheOrderDirectory) {
    const std::string marker = root("/home/KELDRAN/DATA/GREEN_LED_ON");
    green_led_follow(1);
    EXPECT_EQ(led_green_status, 1);
    EXPECT_TRUE(exists(marker));
    EXPECT_EQ(lines_of(read_file(root("/dev/gpio"))), std::vector<std::string>{"0x420C 80"});
    green_led_follow(1); // still there: no new request
    EXPECT_EQ(lines_of(read_file(root("/dev/gpio"))).size(), 1u);
    green_led_follow(0);
    EXPECT_EQ(led_green_status, 0);
    EXPECT_FALSE(exists(marker));
    EXPECT_EQ(lines_of(read_file(root("/dev/gpio"))),
              (std::vector<std::string>{"0x420C 80", "0x420B 80"}));
}

TEST(CheckCodeUtile, KeepsOnlyTheFiveCodes) {
    for (const char *l : {"0200=A\r\n", "0203=A", "0204=", "0205=x", "0206=y"})
        EXPECT_EQ(CheckCodeUtile(l), 0) << l;
    for (const char *l : {"0201=A", "0300=B", "7200=C", "020", ""})
        EXPECT_EQ(CheckCodeUtile(l), 1) << l;
}

struct Conversion : ::testing::Test {
    char out[SIZELIGNEFICHIERID];
    void SetUp() override {
        TestOpaPourCI = 1;
        snprintf(save_client, sizeof save_client, "%s", "CAPELEC");
    }
    std::string conv(const char *line) {
        out[0] = 0;
        return convDataCItoCG(line, out) == 0 ? out : "not kept";
    }
};

TEST_F(Conversion, OtherMakersGetGieglanCodesAndOpacityLinesOnlyWithTheCheck) {
    EXPECT_EQ(conv("C001=AB123CD\r\n"), "0200=AB123CD\r\n");
    EXPECT_EQ(conv("C002=06122026\r\n"), "0203=06122026\r\n");
    EXPECT_EQ(conv("C003=GO\r\n"), "0204=GO\r\n");
    EXPECT_EQ(conv("C004=A\r\n"), "0205=A\r\n");
    EXPECT_EQ(conv("C005=O\r\n"), "0206=O\r\n");
    EXPECT_EQ(conv("C006=RENAULT\r\n"), "not kept");
    EXPECT_EQ(conv("C008=X\r\n"), "not kept");
    EXPECT_EQ(conv("C013=1.50\r\n"), "7905=1.50\r\n");
    EXPECT_EQ(conv("C017=ABC\r\n"), "7909=ABC\r\n");
    EXPECT_EQ(conv("C019=N\r\n"), "7911=N\r\n");
    TestOpaPourCI = 0;
    EXPECT_EQ(conv("C013=1.50\r\n"), "not kept");
    EXPECT_EQ(conv("C017=ABC\r\n"), "not kept");
    EXPECT_EQ(conv("C019=N\r\n"), "not kept");
    EXPECT_EQ(conv("C001=AB\r\n"), "0200=AB\r\n");
}

TEST_F(Conversion, SpxMakersGetTheirOwnCodesWhateverTheOpacityCheck) {
    snprintf(save_client, sizeof save_client, "%s", "SPX");
    TestOpaPourCI = 0;
    EXPECT_EQ(conv("C001=AB123CD\r\n"), "7200=AB123CD\r\n");
    EXPECT_EQ(conv("C002=06122026\r\n"), "0203=06122026\r\n");
    EXPECT_EQ(conv("C006=RENAULT\r\n"), "7213=RENAULT\r\n");
    EXPECT_EQ(conv("C011=ABCD\r\n"), "0212=ABCD\r\n");
    EXPECT_EQ(conv("C013=1.50\r\n"), "7274=1.50\r\n");
    EXPECT_EQ(conv("C019=O\r\n"), "7280=O\r\n");
    EXPECT_EQ(conv("C008=X\r\n"), "not kept");
    EXPECT_EQ(conv("EMPREINTE=AB\r\n"), "not kept");
}

TEST_F(Conversion, ValuesAreCutToTheirLengthAndMayBeEmpty) {
    EXPECT_EQ(conv("C003=GOX\r\n"), "0204=GO\r\n");
    EXPECT_EQ(conv("C001=\r\n"), "0200=\r\n");
    EXPECT_EQ(conv("C001="), "0200=\r\n");
    snprintf(save_client, sizeof save_client, "%s", "SPX");
    EXPECT_EQ(conv(("C006=" + std::string(70, 'Z') + "\r\n").c_str()),
              "7213=" + std::string(50, 'Z') + "\r\n");
}

// OTCLAN files: every fault is reported with the file and the field, and such a file is
// never an order.
struct OtclanReader : OrderReader {
    void SetUp() override {
        OrderReader::SetUp();
        dir = root("/mnt/GIEGLAN/CI");
        fs::create_directories(dir);
        snprintf(Info.plaque, sizeof Info.plaque, "%s", "C001=");
        snprintf(Info.carburant, sizeof Info.carburant, "%s", "C003=");
    }
};

TEST_F(OtclanReader, TwelveCharacterPlateIsRefusedWithItsMessage) {
    put("V1.CI", "[VEHICULE]\r\nC001=ABCDEFGHIJKL\r\nEMPREINTE=" + std::string(40, '0') + "\r\n");
    std::string err = read_err("OTCLAN");
    EXPECT_NE(err.find("V1.CI: Taille C001 KO!!\n"), std::string::npos) << err;
    EXPECT_EQ(Cpt_plaque, 0);
}

TEST_F(OtclanReader, PlateAndFingerprintLinesMustEachStandExactlyOnce) {
    put("V2.CI", "[VEHICULE]\r\nC001=AB123CD\r\nC003=GO\r\n");
    put("V7.CI", "[VEHICULE]\r\nC001=AB123CD\r\nC001=AB123CD\r\n"); // no fingerprint at all
    std::string err = read_err("OTCLAN");
    EXPECT_NE(err.find("V2.CI: Balise obligatoire KO!! 1\n"), std::string::npos) << err;
    EXPECT_NE(err.find("V7.CI: Balise obligatoire KO!! 2\n"), std::string::npos) << err;
    EXPECT_EQ(Cpt_plaque, 0);
}

TEST_F(OtclanReader, OnlyCiFilesAreExamined) {
    put("V3.CG", "C001=AB123CD\r\n");
    put(".V4.CI", "C001=AB123CD\r\n");
    std::string err = read_err("OTCLAN");
    EXPECT_EQ(err, "") << "neither file is validated";
    EXPECT_EQ(Cpt_plaque, 0);
}

TEST_F(OtclanReader, LengthFaultsNameEachField) {
    put("V5.CI", "C001=AB\r\nC002=0612202\r\nC004=AT\r\nC012=061220261530\r\nC019=\r\n");
    std::string err = read_err("OTCLAN");
    for (const char *f : {"C002", "C004", "C012"})
        EXPECT_NE(err.find(std::string("V5.CI: Taille ") + f + " KO!!\n"), std::string::npos) << f;
    EXPECT_EQ(err.find("Taille C001"), std::string::npos);
    EXPECT_EQ(err.find("Taille C019"), std::string::npos);
    EXPECT_NE(err.find("V5.CI: Format C019 KO!!\n"), std::string::npos) << "empty is not O or N";
    EXPECT_NE(err.find("V5.CI: Format C004 KO!!\n"), std::string::npos);
}

TEST_F(OtclanReader, ImageTooLargeForItsBufferIsRefused) {
    std::string text = "C001=AB123CD\r\n";
    for (int i = 0; i < 40; i++)
        text += "[S" + std::to_string(i) + std::string(80, 'x') + "]\r\n";
    put("V6.CI", text + "EMPREINTE=" + std::string(40, '0') + "\r\n");
    std::string err = read_err("OTCLAN");
    EXPECT_NE(err.find("V6.CI: Taille fichier KO!!\n"), std::string::npos) << err;
    EXPECT_EQ(Cpt_plaque, 0);
}


// A sealed order: the fingerprint covers every line before it and the text "EMPREINTE=".
std::string sealed(const std::string &body) {
    return body + "EMPREINTE=" + boxtest::sha1sum_upper(body + "EMPREINTE=") + "\r\n[FIN]\r\n";
}

const std::string order_body = "[VEHICULE]\r\nC001=AB123CD\r\nC002=06122026\r\nC003=GO\r\n"
                               "C004=A\r\nC005=O\r\nC006=RENAULT\r\nC012=06122026153000\r\n"
                               "C013=1.50\r\nC008=NOTE\r\n";

std::vector<std::string> lines_of_order(int i) {
    std::vector<std::string> v;
    for (int r = 0; r < NBCODEFICHIERID && SI[i].autreinfo[r][0]; r++)
        v.push_back(SI[i].autreinfo[r]);
    return v;
}

TEST_F(OtclanReader, SealedOrderIsReadWithCodesConvertedForEachMaker) {
    put("AB123CD.CI", sealed(order_body));
    TestOpaPourCI = 1;
    EXPECT_EQ(read_err("OTCLAN"), "");
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "AB123CD    ");
    EXPECT_STREQ(SI[0].cle, "AB123CD   ");
    EXPECT_STREQ(SI[0].fichier, "AB123CD");
    EXPECT_EQ(lines_of_order(0),
              (std::vector<std::string>{"0200=AB123CD\r\n", "0203=06122026\r\n", "0204=GO\r\n",
                                        "0205=A\r\n", "0206=O\r\n", "7905=1.50\r\n"}));
    TestOpaPourCI = 0;
    read("OTCLAN");
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_EQ(lines_of_order(0).size(), 5u) << "no opacity line without the check";

    snprintf(save_client, sizeof save_client, "%s", "SPX");
    read("OTCLAN");
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_EQ(lines_of_order(0),
              (std::vector<std::string>{"7200=AB123CD\r\n", "0203=06122026\r\n", "7204=GO\r\n",
                                        "7205=A\r\n", "7206=O\r\n", "7213=RENAULT\r\n",
                                        "7273=06122026153000\r\n", "7274=1.50\r\n"}));
}

TEST_F(OtclanReader, LinesAfterTheFingerprintAreNeitherConvertedNorSent) {
    TestOpaPourCI = 1;
    put("AB123CD.CI", sealed(order_body) + "C019=O\r\n0205=T\r\n");
    std::string err = read_err("OTCLAN");
    EXPECT_EQ(err, "AB123CD.CI: lignes apres EMPREINTE ignorees\n");
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_EQ(lines_of_order(0),
              (std::vector<std::string>{"0200=AB123CD\r\n", "0203=06122026\r\n", "0204=GO\r\n",
                                        "0205=A\r\n", "0206=O\r\n", "7905=1.50\r\n"}));
}

TEST_F(OtclanReader, SealedOrderTheShareCannotReadKeepsItsLastReading) {
    put("AB123CD.CI", sealed(order_body));
    read("OTCLAN");
    ASSERT_EQ(Cpt_plaque, 1);
    remove_file(dir + "/AB123CD.CI");
    ASSERT_EQ(symlink("/proc/self/mem", (dir + "/AB123CD.CI").c_str()), 0);
    std::string err = read_err("OTCLAN");
    ASSERT_EQ(Cpt_plaque, 1) << "not refused as a bad seal: " << err;
    EXPECT_STREQ(SI[0].plaqueinfo, "AB123CD    ");
    EXPECT_EQ(err.find("EMPREINTE KO"), std::string::npos) << err;
}

TEST_F(OtclanReader, AnyFaultLeavesTheOrderOut) {
    std::string good = sealed(order_body);
    std::string tampered = good;
    tampered.replace(tampered.find("AB123CD"), 7, "AB123CE");
    put("T1.CI", tampered);
    put("t2.CI", good);                                     // lower case in the name
    put("T3.CI", sealed(order_body + "C013=1.5\r\n"));      // two decimals required
    put("T4.CI", sealed(order_body + "C002=31042026\r\n")); // no 31 April
    std::string err = read_err("OTCLAN");
    EXPECT_EQ(Cpt_plaque, 0);
    EXPECT_NE(err.find("T1.CI: EMPREINTE KO!!\n"), std::string::npos) << err;
    EXPECT_NE(err.find("t2.CI: Nom du fichier KO!!\n"), std::string::npos) << err;
    EXPECT_NE(err.find("T3.CI: Format C013 KO!!\n"), std::string::npos) << err;
    EXPECT_NE(err.find("T4.CI: Format C002 KO!!\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("T3.CI: EMPREINTE"), std::string::npos) << "its seal is right";
}

} // namespace
