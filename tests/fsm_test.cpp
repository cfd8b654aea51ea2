// Measure dictionary and separation: the text routines, the shared codes by maker
// variant, and the separation of one vehicle's results under both protocols.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "boxtest.h"
#include "fgpinv.h"
#include "fsm.h"

namespace {

std::string blanks_cut(const char *s) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s", s);
    supprime_espace_fin(buf);
    return buf;
}

std::string zeros_cut(const char *s) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s", s);
    supprime_zero_debut(buf);
    return buf;
}

} // namespace

TEST(TextRoutines, TrailingBlanksGoInnerAndLeadingBlanksStay) {
    EXPECT_EQ(blanks_cut("AB  "), "AB");
    EXPECT_EQ(blanks_cut("A B"), "A B");
    EXPECT_EQ(blanks_cut("   "), "");
    EXPECT_EQ(blanks_cut(""), "");
    EXPECT_EQ(blanks_cut(" A\t"), " A\t") << "only the space character is a blank";
}

TEST(TextRoutines, LeadingZerosGoButOneStaysBeforeThePointOrAlone) {
    EXPECT_EQ(zeros_cut("000123"), "123");
    EXPECT_EQ(zeros_cut("000.5"), "0.5");
    EXPECT_EQ(zeros_cut("0.5"), "0.5");
    EXPECT_EQ(zeros_cut(".5"), ".5");
    EXPECT_EQ(zeros_cut("0000"), "0");
    EXPECT_EQ(zeros_cut("00"), "0");
    EXPECT_EQ(zeros_cut("0012.50"), "12.50");
    EXPECT_EQ(zeros_cut("000.75"), "0.75");
    EXPECT_EQ(zeros_cut("120"), "120");
    EXPECT_EQ(zeros_cut("-05"), "-05");
    EXPECT_EQ(zeros_cut(" 05"), " 05");
    EXPECT_EQ(zeros_cut(""), "");
}

TEST(TextRoutines, OtclanAppendTakesTheCurrentRecordAndCountsOneRow) {
    boxtest::reset_state();
    snprintf(SM[0].DataMeasures, sizeof SM[0].DataMeasures, "first");
    snprintf(SM[1].DataMeasures, sizeof SM[1].DataMeasures, "second");
    CSM_OTCLAN = 0;
    CSM = 1;
    cpy_OTCLAN_DATA("PEM03");
    CSM = 0;
    cpy_OTCLAN_DATA("POM01");
    EXPECT_EQ(CSM_OTCLAN, 2);
    EXPECT_STREQ(SM_OTCLAN[0].CodeGiegData, "PEM03");
    EXPECT_STREQ(SM_OTCLAN[0].DataMeasures, "second");
    EXPECT_STREQ(SM_OTCLAN[1].CodeGiegData, "POM01");
    EXPECT_STREQ(SM_OTCLAN[1].DataMeasures, "first");
}
