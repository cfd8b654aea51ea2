// Validators of the OTCLAN fields: character sets, decimals and dates.
#include <gtest/gtest.h>

#include "fcfotclan.h"

TEST(CheckAscii, RefusesLowerCaseDelAndBytesAboveTheRange) {
    EXPECT_EQ(check_ascii("AB 12-/_@[]`{|}~"), 0);
    EXPECT_EQ(check_ascii(""), 0);
    EXPECT_EQ(check_ascii("ABc"), 1);
    EXPECT_EQ(check_ascii("a"), 1);
    EXPECT_EQ(check_ascii("z"), 1);
    EXPECT_EQ(check_ascii("AB\x7F"), 1);
    EXPECT_EQ(check_ascii("AB\xE9"), 1) << "a byte above 0x7E, negative as a plain char";
    EXPECT_EQ(check_ascii("AB\x1F"), 1);
    EXPECT_EQ(check_ascii("AB\t"), 1);
}

TEST(CheckAscii, VersionTwoAcceptsLowerCaseButNothingAboveTilde) {
    EXPECT_EQ(check_AsciiV2("Model 2 abc~"), 0);
    EXPECT_EQ(check_AsciiV2(""), 0);
    EXPECT_EQ(check_AsciiV2("abc\x7F"), 1);
    EXPECT_EQ(check_AsciiV2("\x80"), 1);
    EXPECT_EQ(check_AsciiV2("\xFF"), 1);
    EXPECT_EQ(check_AsciiV2("\r\n"), 1);
}

TEST(CheckLettre, UpperCaseLettersAndForVersionTwoDigits) {
    EXPECT_EQ(check_lettre("ABZ"), 0);
    EXPECT_EQ(check_lettre(""), 0);
    EXPECT_EQ(check_lettre("AB12"), 1);
    EXPECT_EQ(check_lettre("Ab"), 1);
    EXPECT_EQ(check_lettre("A B"), 1);
    EXPECT_EQ(check_lettre("A\xC1"), 1);
    EXPECT_EQ(check_lettreV2("AB12"), 0);
    EXPECT_EQ(check_lettreV2("09AZ"), 0);
    EXPECT_EQ(check_lettreV2(""), 0);
    EXPECT_EQ(check_lettreV2("AB-12"), 1);
    EXPECT_EQ(check_lettreV2("ab12"), 1);
    EXPECT_EQ(check_lettreV2("AB12 "), 1);
}

TEST(CheckNumber, DecimalsAreCountedAfterTheLastPoint) {
    EXPECT_EQ(check_Number("12.50", 2), 0);
    EXPECT_EQ(check_Number(".50", 2), 0);
    EXPECT_EQ(check_Number("12.5", 2), 1);
    EXPECT_EQ(check_Number("12.500", 2), 1);
    EXPECT_EQ(check_Number("12", 2), 1) << "no point while decimals are required";
    EXPECT_EQ(check_Number("12,50", 2), 1);
    EXPECT_EQ(check_Number("", 2), 1);
    EXPECT_EQ(check_Number("12", 0), 0);
    EXPECT_EQ(check_Number("12.", 0), 0);
    EXPECT_EQ(check_Number("", 0), 0);
    EXPECT_EQ(check_Number("12.5", 0), 1);
    EXPECT_EQ(check_Number("1.2.34", 2), 0) << "a second point starts the count again";
    EXPECT_EQ(check_Number("1.23.4", 2), 1);
    EXPECT_EQ(check_Number("-12.50", 2), 1);
    EXPECT_EQ(check_Number("+12", 0), 1);
    EXPECT_EQ(check_Number(" 12", 0), 1);
    EXPECT_EQ(check_Number("12.5 ", 1), 1);
    EXPECT_EQ(check_Number("1.5", -1), 1);
}

TEST(CheckDate, DayMonthYearAndLength) {
    EXPECT_EQ(check_date("01012024"), 0);
    EXPECT_EQ(check_date("29022019"), 0) << "February 29 whatever the year";
    EXPECT_EQ(check_date("30022024"), 1);
    EXPECT_EQ(check_date("31012024"), 0);
    EXPECT_EQ(check_date("31042019"), 1);
    EXPECT_EQ(check_date("30042019"), 0);
    EXPECT_EQ(check_date("31122024"), 0);
    EXPECT_EQ(check_date("31112024"), 1);
    EXPECT_EQ(check_date("31082024"), 0);
    EXPECT_EQ(check_date("31092024"), 1);
    EXPECT_EQ(check_date("00012024"), 1);
    EXPECT_EQ(check_date("32012024"), 1);
    EXPECT_EQ(check_date("01002024"), 1);
    EXPECT_EQ(check_date("01132024"), 1);
    EXPECT_EQ(check_date("01011800"), 0);
    EXPECT_EQ(check_date("01011799"), 1);
    EXPECT_EQ(check_date(""), 1);
    EXPECT_EQ(check_date("1012024"), 1);
    EXPECT_EQ(check_date("010120241"), 1);
    EXPECT_EQ(check_date("010120241260"), 1) << "12 characters";
    EXPECT_EQ(check_date("010120241200000"), 1);
    EXPECT_EQ(check_date("0101202A"), 1);
    EXPECT_EQ(check_date("01/01/24"), 1);
    EXPECT_EQ(check_date("-1012024"), 1);
}

TEST(CheckDate, TimeOfDayWithFourteenCharacters) {
    EXPECT_EQ(check_date("01012024000000"), 0);
    EXPECT_EQ(check_date("31122024235959"), 0);
    EXPECT_EQ(check_date("01012024240000"), 1);
    EXPECT_EQ(check_date("01012024126000"), 1) << "minute 60";
    EXPECT_EQ(check_date("01012024125960"), 1) << "second 60";
    EXPECT_EQ(check_date("31042024120000"), 1) << "the date rules hold with a time too";
    EXPECT_EQ(check_date("0101202412000 "), 1);
}
