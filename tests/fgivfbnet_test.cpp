// BNET and ASA order readers: one order per file with a plate, keyed by the plate;
// nothing carried over from another file; bounded tables and fields.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "boxtest.h"
#include "dat.h"
#include "fgivfa.h"
#include "fgivfbnet.h"

using namespace boxtest;
namespace fs = std::filesystem;

namespace {

struct Readers : ::testing::Test {
    std::string dir;
    void SetUp() override {
        reset_root();
        reset_state();
    }
    void put(const std::string &name, const std::string &text) {
        write_file(dir + "/" + name, text);
    }
    // Plate -> index of its order.
    std::map<std::string, int> orders() const {
        std::map<std::string, int> m;
        for (int i = 0; i < Cpt_plaque; i++)
            m[SI[i].plaqueinfo] = i;
        return m;
    }
    virtual void read() = 0;
    // An order file beside a sub-directory, a FIFO and a device that never ends, each
    // holding or giving the text of an order: only the file is an order.
    void only_the_regular_file_is_read(const std::string &text, const char *plate) {
        put("veh", text);
        fs::create_directories(dir + "/sub");
        put("sub/inner", text);
        ASSERT_TRUE(runs_past_fifo(dir + "/pipe", [&] { read(); }, 3000))
            << "a FIFO in the order directory holds the reader";
        ASSERT_EQ(symlink("/dev/zero", (dir + "/zero").c_str()), 0);
        read();
        ASSERT_EQ(Cpt_plaque, 1);
        EXPECT_STREQ(SI[0].plaqueinfo, plate);
        EXPECT_STREQ(SI[0].fichier, "veh");
    }
    // Two order files the share then does not let be read, one failing at its open (a
    // symbolic link that loops: root opens whatever its modes say), one at its read (EIO),
    // keep their orders; so does the whole table when the directory does not open. Gone
    // from the directory, they are gone from the table.
    void a_file_the_share_cannot_read_keeps_its_order(const std::string &a, const char *pa,
                                                       const std::string &b, const char *pb) {
        put("a", a);
        put("b", b);
        read();
        ASSERT_EQ(orders().size(), 2u);
        remove_file(dir + "/a");
        remove_file(dir + "/b");
        ASSERT_EQ(symlink("a", (dir + "/a").c_str()), 0);
        ASSERT_EQ(symlink("/proc/self/mem", (dir + "/b").c_str()), 0);
        read();
        auto m = orders();
        ASSERT_EQ(m.size(), 2u);
        EXPECT_EQ(m.count(pa), 1u);
        EXPECT_EQ(m.count(pb), 1u);
        fs::rename(dir, dir + ".away");
        ASSERT_EQ(symlink(dir.c_str(), dir.c_str()), 0);
        read();
        EXPECT_EQ(orders().size(), 2u) << "a directory that does not open changes nothing";
        remove_file(dir);
        fs::rename(dir + ".away", dir);
        remove_file(dir + "/a");
        remove_file(dir + "/b");
        read();
        EXPECT_EQ(Cpt_plaque, 0);
    }
};

struct Bnet : Readers {
    void SetUp() override {
        Readers::SetUp();
        dir = root("/exchange/DataExchange/Orderlisting");
        fs::create_directories(dir);
        snprintf(Info.plaque, sizeof Info.plaque, "%s", "Plate=");
        Info.carburant[0] = 0;
    }
    void read() override { fct_get_info_vehicule_file_bnet((dir + "/").c_str(), ptinfo); }
};

TEST_F(Bnet, FileWithoutPlateIsNoOrderAndTakesNothingFromItsNeighbour) {
    put("o1.txt", "[Vehicle]\nPlate=AB12CD\nMake=X\n");
    put("o2.txt", "[Vehicle]\nMake=Y\n");
    put("o3.txt", "Plate=ZZ999\n");
    read();
    EXPECT_EQ(nfsrc_bnet, 3);
    ASSERT_EQ(Cpt_plaque, 2);
    auto m = orders();
    ASSERT_EQ(m.count("AB12CD    "), 1u);
    ASSERT_EQ(m.count("ZZ999     "), 1u);
    EXPECT_STREQ(SI[m["AB12CD    "]].fichier, "o1");
    EXPECT_STREQ(SI[m["ZZ999     "]].fichier, "o3");
    EXPECT_STREQ(SI[2].plaqueinfo, "");
}

TEST_F(Bnet, OrdersAreKeyedByTheirPlatePaddedToTenOrCutToEleven) {
    put("veh", "Plate=AB12CD\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "AB12CD    ") << "padded to 10, no carriage return";
    EXPECT_STREQ(SI[0].cle, "AB12CD    ");
    put("veh", "Plate=ABCDEFGHIJKLMNO\n");
    read();
    EXPECT_STREQ(SI[0].plaqueinfo, "ABCDEFGHIJK");
    EXPECT_STREQ(SI[0].cle, "ABCDEFGHIJ");
    put("veh", "Plate=AB\x02\x03" "CD\x17\n");
    read();
    EXPECT_STREQ(SI[0].plaqueinfo, "AB  CD    ") << "control bytes become blanks";
    EXPECT_STREQ(SI[0].cle, "AB  CD    ");
}

TEST_F(Bnet, OnlyRegularFilesAreOrders) {
    only_the_regular_file_is_read("Plate=AB12CD\n", "AB12CD    ");
}

TEST_F(Bnet, AFileTheShareCannotReadKeepsItsOrder) {
    a_file_the_share_cannot_read_keeps_its_order("Plate=AA11\n", "AA11      ", "Plate=BB22\n",
                                                 "BB22      ");
}

TEST_F(Bnet, DotNamesUnreadableFilesAndBlankPlatesAreNotCounted) {
    put(".hidden", "Plate=HIDDEN\n");
    put("blank", "Plate=   \r\n");
    ASSERT_EQ(symlink("/nonexistent/file", (dir + "/dangling").c_str()), 0);
    testing::internal::CaptureStderr();
    read();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\nFichier introuvable.\n"), std::string::npos);
    EXPECT_EQ(nfsrc_bnet, 2);
    EXPECT_EQ(Cpt_plaque, 0);
}

TEST_F(Bnet, ARereadingNeverKeepsAVanishedPlate) {
    put("veh", "Plate=OLD1\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    put("veh", "Make=X\n");
    read();
    EXPECT_EQ(Cpt_plaque, 0);
    EXPECT_STREQ(SI[0].plaqueinfo, "");
    EXPECT_STREQ(SI[0].cle, "");
}

TEST_F(Bnet, BeyondTwentyOrdersFilesAreNotStored) {
    for (int i = 0; i < 35; i++)
        put("order" + std::to_string(i), "Plate=P" + std::to_string(i) + "\n");
    testing::internal::CaptureStderr();
    read();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Cpt_plaque, NBPLAQUEMAX);
    EXPECT_EQ(orders().size(), 20u);
    for (int i = 0; i < Cpt_plaque; i++)
        EXPECT_EQ(std::string(SI[i].fichier).substr(5),
                  std::string(SI[i].plaqueinfo + 1, strcspn(SI[i].plaqueinfo + 1, " ")));
    EXPECT_NE(err.find("Table des ordres pleine"), std::string::npos);
}

struct Asa : Readers {
    void SetUp() override {
        Readers::SetUp();
        dir = root("/mnt/GIEGLAN/ASA");
        fs::create_directories(dir);
        snprintf(Info.plaque, sizeof Info.plaque, "%s", "<REGISTRATION>");
        snprintf(Info.carburant, sizeof Info.carburant, "%s", "<FUEL1>");
    }
    void read() override { fct_get_info_vehicule_file_asa(dir.c_str(), ptinfo); }
};

TEST_F(Asa, PlateAndFuelOnOneLineAreBothFound) {
    put("v1.xml", "<?xml "
                  "version=\"1.0\"?>\r\n<ORDER><REGISTRATION>AB123CD</REGISTRATION><FUEL1>D</"
                  "FUEL1></ORDER>\r\n");
    read();
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "AB123CD");
    EXPECT_STREQ(SI[0].carburantinfo, "D");
    EXPECT_STREQ(SI[0].cle, "AB123CD   ");
    EXPECT_STREQ(SI[0].fichier, "v1");
}

TEST_F(Asa, LaterTagLinesWinFieldsAreCutAndLineEndsAreNotValue) {
    put("v", "  <REGISTRATION>FIRST</REGISTRATION>\n<FUEL1>ESSENCE</FUEL1>\n"
             "junk <REGISTRATION>ABCDEFGHIJKLMN</REGISTRATION>\r\n");
    put("w", "<REGISTRATION>XY12\r\n<FUEL1>GO\r\n");
    put("x", "<REGISTRATION>CT\x03\x04" "99</REGISTRATION><FUEL1>\x17" "D</FUEL1>\n");
    read();
    auto m = orders();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_STREQ(SI[m["ABCDEFGHIJK"]].cle, "ABCDEFGHIJ");
    EXPECT_STREQ(SI[m["ABCDEFGHIJK"]].carburantinfo, "ESS");
    EXPECT_STREQ(SI[m["XY12"]].carburantinfo, "GO");
    ASSERT_EQ(m.count("CT  99"), 1u) << "control bytes become blanks";
    EXPECT_STREQ(SI[m["CT  99"]].carburantinfo, " D");
}

TEST_F(Asa, AFileTheShareCannotReadKeepsItsOrder) {
    a_file_the_share_cannot_read_keeps_its_order("<REGISTRATION>AA11</REGISTRATION>\n", "AA11",
                                                 "<REGISTRATION>BB22</REGISTRATION>\n", "BB22");
}

TEST_F(Asa, OnlyRegularFilesAreOrders) {
    only_the_regular_file_is_read("<REGISTRATION>AB1</REGISTRATION>\n", "AB1");
}

TEST_F(Asa, FileWithoutPlateCarriesNothingOver) {
    put("a", "<REGISTRATION>AA11</REGISTRATION><FUEL1>D</FUEL1>\n");
    put("b", "<FUEL1>E</FUEL1>\n");
    put(".c", "<REGISTRATION>DOT</REGISTRATION>\n");
    read();
    EXPECT_EQ(nfsrc_asa, 2);
    ASSERT_EQ(Cpt_plaque, 1);
    EXPECT_STREQ(SI[0].plaqueinfo, "AA11");
    EXPECT_STREQ(SI[0].carburantinfo, "D");
    EXPECT_STREQ(SI[1].carburantinfo, "");
    put("b", "<REGISTRATION>BB22</REGISTRATION>\n"); // a plate but no fuel of its own
    read();
    auto m = orders();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_STREQ(SI[m["BB22"]].carburantinfo, "");
}

TEST_F(Asa, ValuesFoundArePrinted) {
    put("v1", "<REGISTRATION>AB1</REGISTRATION><FUEL1>D</FUEL1>\n");
    testing::internal::CaptureStdout();
    read();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nDossier source : v1"), std::string::npos);
    EXPECT_NE(out.find("\nDonnee a l'interieur du tag <REGISTRATION> : AB1"), std::string::npos);
    EXPECT_NE(out.find("\nDonnee a l'interieur du tag <FUEL1> : D"), std::string::npos);
    EXPECT_NE(out.find("\nDonnee dans structure : AB1\nDonnee dans structure : D"),
              std::string::npos);
}

} // namespace
