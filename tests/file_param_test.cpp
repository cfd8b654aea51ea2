// Parameter files: the directory lookup, the lookup by path, the line rewrite and the
// settings derived at start-up.
#include <gtest/gtest.h>

#include <dirent.h>
#include <string.h>

#include "boxtest.h"
#include "file_param.h"

using namespace boxtest;

namespace {

std::string data_dir() { return root("/home/KELDRAN/DATA"); }

void param_file(const std::string &text, const std::string &name = "PARAM_VARN.txt") {
    write_file(data_dir() + "/" + name, text);
}

class ParamFile : public ::testing::Test {
  protected:
    void SetUp() override { reset_root(); }
};

TEST_F(ParamFile, ValueEndsAtCrLfOrLf) {
    param_file("#001#GIEGLAN\r\n#002#/exchange\n#003#STATION");
    EXPECT_STREQ(read_code_param_file("#001#"), "GIEGLAN");
    EXPECT_STREQ(read_code_param_file("#002#"), "/exchange");
    EXPECT_STREQ(read_code_param_file("#003#"), "STATION") << "last line without end of line";
}

TEST_F(ParamFile, TrailingAndInnerBlanksArePartOfTheValue) {
    param_file("#101#127.0.0.1   \r\n#005#MY MAKER\r\n");
    EXPECT_STREQ(read_code_param_file("#101#"), "127.0.0.1   ");
    EXPECT_STREQ(read_code_param_file("#005#"), "MY MAKER");
}

TEST_F(ParamFile, FirstLineOfATagWinsAndATagBehindABlankIsNotOne) {
    param_file(" #001#OTCLAN\r\n#005#SPX\r\n#005#MAHA\r\n#001#BNET\r\n");
    EXPECT_STREQ(read_code_param_file("#005#"), "SPX");
    EXPECT_STREQ(read_code_param_file("#001#"), "BNET");
}

TEST_F(ParamFile, AbsentTagYieldsAnEmptyTextNotTheLastValue) {
    param_file("#001#GIEGLAN\r\n");
    EXPECT_STREQ(read_code_param_file("#001#"), "GIEGLAN");
    EXPECT_STREQ(read_code_param_file("#002#"), "");
}

TEST_F(ParamFile, NoDirectoryOrNoParamFileYieldsOk) {
    write_file(data_dir() + "/OTHER.txt", "#001#GIEGLAN\n");
    EXPECT_STREQ(read_code_param_file("#001#"), "ok");
    system(("rm -rf '" + data_dir() + "'").c_str());
    EXPECT_STREQ(read_code_param_file("#001#"), "ok");
}

TEST_F(ParamFile, OnlyTheFirstParamFileInDirectoryOrderIsRead) {
    param_file("#001#FROM_A\n", "PARAM_A.txt");
    param_file("#001#FROM_B\n", "PARAM_B.txt");
    param_file("#001#FROM_C\n", "PARAM_C.txt");
    std::string first;
    DIR *d = opendir(data_dir().c_str());
    while (dirent *e = readdir(d))
        if (strncmp(e->d_name, "PARAM", 5) == 0) {
            first = e->d_name;
            break;
        }
    closedir(d);
    ASSERT_FALSE(first.empty());
    std::string expected = "FROM_" + first.substr(6, 1);
    EXPECT_EQ(std::string(read_code_param_file("#001#")), expected);
}

TEST_F(ParamFile, LongLinesAreReadWithoutOverflowAndTheirTailIsNoLine) {
    // A 300-character line whose tail looks like a tag must not be taken for a line.
    std::string longline = "#009#" + std::string(249, 'x') + "#001#WRONG" + std::string(36, 'y');
    param_file(longline + "\n#001#RIGHT\n");
    EXPECT_STREQ(read_code_param_file("#001#"), "RIGHT");
    std::string value(read_code_param_file("#009#"));
    EXPECT_EQ(value.size(), 249u) << "a line is read up to 254 characters";
}

TEST_F(ParamFile, NulByteInALineHidesNeitherTheLineNorTheNextOne) {
    // A torn write can leave NUL bytes in a line: its text ends there, the line does not.
    const char text[] = "#009#AB\0CD\r\n#001#GIEGLAN\r\n\0#005#SPX\n#020#12\n";
    param_file(std::string(text, sizeof text - 1));
    EXPECT_STREQ(read_code_param_file("#001#"), "GIEGLAN");
    EXPECT_STREQ(read_code_param_file("#009#"), "AB");
    EXPECT_STREQ(read_code_param_file("#005#"), "") << "a line that begins with NUL has no tag";
    EXPECT_STREQ(read_code_param_file("#020#"), "12");
}

TEST_F(ParamFile, LookupByPathYieldsEmptyWhenTheFileOrTheTagIsMissing) {
    std::string p = data_dir() + "/PRODUCTION.txt";
    write_file(p, "#002#1\n");
    EXPECT_STREQ(read_code_param_file("#002#", p.c_str()), "1");
    EXPECT_STREQ(read_code_param_file("#031#", p.c_str()), "") << "no earlier value leaks";
    EXPECT_STREQ(read_code_param_file("#002#", (p + ".none").c_str()), "");
}

TEST_F(ParamFile, RewriteOfAPaddedLineKeepsTheSizeAndEveryOtherLine) {
    std::string p = data_dir() + "/PRODUCTION.txt";
    std::string before = "#002#1" + std::string(39, ' ') + "\n" + "#031#0" + std::string(39, ' ') +
                         "\n" + "#032#0         \n";
    write_file(p, before);
    EXPECT_STREQ(write_code_param_file("#031#", "1", p.c_str(), 40), "ok");
    std::string after = read_file(p);
    EXPECT_EQ(after.size(), before.size());
    std::string expected = before;
    expected[46 + 5] = '1';
    EXPECT_EQ(after, expected);
    write_code_param_file("#032#", "2", p.c_str(), 10);
    EXPECT_EQ(read_file(p).substr(92), "#032#2         \n");
}

TEST_F(ParamFile, RewriteOfAShortLineNeverEatsTheNextOne) {
    std::string p = data_dir() + "/PRODUCTION.txt";
    write_file(p, "#032#1\r\n#030#1234\n#002#0\n");
    write_code_param_file("#032#", "2", p.c_str(), 10);
    EXPECT_EQ(read_file(p), "#032#2         \n#030#1234\n#002#0\n");
}

TEST_F(ParamFile, RewriteAppendsAnAbsentTagAndRefusesAMissingFile) {
    std::string p = data_dir() + "/PRODUCTION.txt";
    write_file(p, "#002#4\n#030#12");
    write_code_param_file("#031#", "1", p.c_str(), 40);
    EXPECT_EQ(read_file(p), "#002#4\n#030#12\n#031#1" + std::string(39, ' ') + "\n");
    EXPECT_STREQ(write_code_param_file("#031#", "1", (p + ".none").c_str(), 40), "");
    EXPECT_FALSE(exists(p + ".none"));
    EXPECT_EQ(list_dir(data_dir()).size(), 2u) << "no temporary file is left behind";
}

class Settings : public ParamFile {
  protected:
    void SetUp() override {
        ParamFile::SetUp();
        demandeParCle = 0;
        equipPort = 0;
        equipIp[0] = 0;
    }
};

TEST_F(Settings, TecnoMakerIsHandledAsSpxAndAsksByKey) {
    write_param({{"#001#", "GIEGLAN"}, {"#005#", "TECNO"}, {"#100#", "RS232"}, {"#101#", "x"}});
    read_settings();
    EXPECT_STREQ(save_client, "SPX");
    EXPECT_STREQ(save_client2, "TECNO");
    EXPECT_EQ(demandeParCle, 1);
    EXPECT_EQ(std::string(save_port), root("/dev/ttyS2"));
}

TEST_F(Settings, UsbPortWordNamesTheAdapterAndOtherWordsStay) {
    write_param({{"#100#", "USB"}, {"#101#", "COM3"}, {"#005#", "MAHA"}});
    read_settings();
    EXPECT_EQ(std::string(save_port), root("/dev/ttyUSB2"));
    EXPECT_EQ(demandeParCle, 0);
    write_param({{"#100#", "USB"}, {"#101#", "COM9"}});
    read_settings();
    EXPECT_STREQ(save_port, "COM9");
}

TEST_F(Settings, LanTakesAddressAndPortAndKeepsThePortWord) {
    write_param({{"#100#", "LAN"}, {"#101#", "127.0.0.1"}, {"#102#", "5025"}, {"#003#", "ST"}});
    read_settings();
    EXPECT_STREQ(equipIp, "127.0.0.1");
    EXPECT_EQ(equipPort, 5025);
    EXPECT_STREQ(save_port, "127.0.0.1");
    EXPECT_EQ(lenght_path, 2);
}

TEST_F(Settings, BluetoothCreatesItsMarker) {
    write_param({{"#100#", "BLUETOOTH"}});
    read_settings();
    EXPECT_EQ(std::string(save_port), root("/dev/rfcomm0"));
    EXPECT_TRUE(exists(data_dir() + "/BTP1"));
}

TEST_F(Settings, ValuesLongerThanTheirSettingAreCut) {
    write_param({{"#001#", std::string(200, 'P')}, {"#020#", std::string(100, '7')}});
    read_settings();
    EXPECT_EQ(strlen(save_protocol), sizeof save_protocol - 1);
    EXPECT_EQ(strlen(save_serie), sizeof save_serie - 1);
}

TEST_F(Settings, MissingParameterFileGivesOkEverywhere) {
    read_settings();
    EXPECT_STREQ(save_protocol, "ok");
    EXPECT_STREQ(save_type_com, "ok");
    EXPECT_STREQ(save_port, "ok");
}

} // namespace
