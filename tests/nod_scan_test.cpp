// The peripheral list "0101": entries five bytes apart from byte 6, the end at "0905"
// or at the end of the records, the cut at six entries, and numbers that have no
// identification row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boxtest.h"
#include "nod.h"

namespace {

const char S = 0x02, B = 0x17, X = 0x03, T = 0x04;

std::string list_frame(const std::vector<std::string> &entries, bool end_marker = true) {
    std::string f(1, S);
    f += "0101";
    for (const auto &e : entries)
        f += std::string(1, B) + e;
    if (end_marker) f += std::string(1, B) + "0905";
    return f + X + "4F" + T;
}

int number(int n) { return (unsigned char)type_hardware_connect2[n][0]; }
char letter(int n) { return type_hardware_connect2[n][1]; }

TEST(PeripheralList, EntriesAreReadFiveBytesApartUpToTheEndMarker) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "002G", "003O", "004P"});
    EXPECT_EQ(read_periph_list(f.c_str()), 1);
    ASSERT_EQ(nb_periph_present, 4);
    const char letters[] = "CGOP";
    for (int n = 0; n < 4; n++) {
        EXPECT_EQ(number(n), n + 1);
        EXPECT_EQ(letter(n), letters[n]);
    }
    f = list_frame({"001C", "002G"});
    EXPECT_EQ(read_periph_list(f.c_str()), 0) << "no opacimeter";
    EXPECT_EQ(nb_periph_present, 2);
    EXPECT_EQ(number(2), 0) << "rows of an earlier, longer list are cleared";
}

TEST(PeripheralList, WithoutEndMarkerOnlyTheRecordsAreRead) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "012G"}, false);
    read_periph_list(f.c_str());
    ASSERT_EQ(nb_periph_present, 2) << "ETX, the checksum and EOT are no entry";
    EXPECT_EQ(number(1), 12);
    // a single instrument's list: one entry, no hub
    f = list_frame({"003G"}, false);
    read_periph_list(f.c_str());
    EXPECT_EQ(nb_periph_present, 1);
    EXPECT_EQ(letter(0), 'G');
    // an empty list
    f = list_frame({});
    read_periph_list(f.c_str());
    EXPECT_EQ(nb_periph_present, 0);
    EXPECT_EQ(letter(0), 0);
}

TEST(PeripheralList, MoreThanSixEntriesAreCutAtSix) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "002G", "003O", "004P", "005G", "006G", "007O", "008O"});
    EXPECT_EQ(read_periph_list(f.c_str()), 1);
    EXPECT_EQ(nb_periph_present, 6);
    EXPECT_EQ(number(5), 6);
    // the opacimeters beyond the sixth entry are not seen
    f = list_frame({"001C", "002G", "003G", "004G", "005G", "006G", "007O"});
    EXPECT_EQ(read_periph_list(f.c_str()), 0);
}

TEST(PeripheralList, NumbersTooLargeForAByteAreKeptAsZero) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "255G", "257O", "999P", "0x1G"});
    read_periph_list(f.c_str());
    ASSERT_EQ(nb_periph_present, 5);
    EXPECT_EQ(number(1), 255);
    EXPECT_EQ(number(2), 0) << "257 would wrap to peripheral 1 and be identified as it";
    EXPECT_EQ(number(3), 0);
    EXPECT_EQ(number(4), 0) << "digits up to the first other character";
}

} // namespace
