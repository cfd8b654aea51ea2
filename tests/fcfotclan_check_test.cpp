// Validators of the OTCLAN fields: character sets, decimals and dates.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "fcfotclan.h"

namespace {
using Texts = std::vector<const char *>;
void expect(const char *name, const std::function<int(const char *)> &f, const Texts &accepted,
            const Texts &refused) {
    for (const char *t : accepted)
        EXPECT_EQ(f(t), 0) << name << " refuses \"" << t << "\"";
    for (const char *t : refused)
        EXPECT_EQ(f(t), 1) << name << " accepts \"" << t << "\"";
}
} // namespace

TEST(Validators, CharacterSetsRefuseLowerCaseDelAndHighBytesWhereTheyMust) {
    expect("check_ascii", check_ascii, {"AB 12-/_@[]`{|}~", ""},
           {"ABc", "a", "z", "AB\x7F", "AB\xE9", "AB\x1F", "AB\t"});
    expect("check_AsciiV2", check_AsciiV2, {"Model 2 abc~", ""},
           {"abc\x7F", "\x80", "\xFF", "\r\n"});
    expect("check_lettre", check_lettre, {"ABZ", ""}, {"AB12", "Ab", "A B", "A\xC1"});
    expect("check_lettreV2", check_lettreV2, {"AB12", "09AZ", ""}, {"AB-12", "ab12", "AB12 "});
}

TEST(Validators, NumberCountsDecimalsAfterTheLastPoint) {
    expect("2 decimals", [](const char *s) { return check_Number(s, 2); },
           {"12.50", ".50", "1.2.34"},
           {"12.5", "12.500", "12", "12,50", "", "1.23.4", "-12.50", "12.50 "});
    expect("0 decimals", [](const char *s) { return check_Number(s, 0); }, {"12", "12.", ""},
           {"12.5", "+12", " 12"});
    EXPECT_EQ(check_Number("1.5", -1), 1);
}

TEST(Validators, DateKeepsToLengthDayMonthYearAndTime) {
    expect(
        "check_date", check_date,
        {"01012024", "29022019", "31012024", "30042019", "31082024", "31122024", "01011800",
         "01012024000000", "31122024235959"},
        {"30022024",       "31042019",      "31092024",       "31112024",        "00012024",
         "32012024",       "01002024",      "01132024",       "01011799",        "",
         "1012024",        "010120241",     "010120241260",   "010120241200000", "0101202A",
         "01/01/24",       "-1012024",      "01012024240000", "01012024126000",  "01012024125960",
         "31042024120000", "0101202412000 "});
}
