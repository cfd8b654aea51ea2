// Measure dictionary and separation: the text routines, the shared codes by maker
// variant, and the separation of one vehicle's results under both protocols.
#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "boxtest.h"
#include "fgpinv.h"
#include "dat.h"
#include "file_param.h"
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
    EXPECT_EQ(zeros_cut(".5"), ".5");
    EXPECT_EQ(zeros_cut("0000"), "0");
    EXPECT_EQ(zeros_cut("0012.50"), "12.50");
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

// ---- Dictionary -------------------------------------------------------------------

namespace {

void set_client(const char *client, const char *protocol) {
    snprintf(save_client, sizeof save_client, "%s", client);
    snprintf(save_protocol, sizeof save_protocol, "%s", protocol);
}

} // namespace

TEST(Dictionary, SharedCodesResolveByMakerVariant) {
    const FsmEntry *e = fsm_lookup("7544", 1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, FSM_STAMP);
    EXPECT_EQ(e->size, 14);
    e = fsm_lookup("7544", 0);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->otclan, "POM35");
    EXPECT_STREQ(e->name, "7544_KDR");
    e = fsm_lookup("7545", 1);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->otclan, "POM21");
    EXPECT_STREQ(e->name, "7545_SPX");
    e = fsm_lookup("7545", 0);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->otclan, "POM36");
    EXPECT_EQ(fsm_lookup("0503", 1), nullptr) << "a non-SPX gas code under SPX";
    EXPECT_EQ(fsm_lookup("7503", 0), nullptr);
    EXPECT_EQ(fsm_lookup("0613", 0), nullptr);
    EXPECT_EQ(fsm_lookup("050", 0), nullptr) << "whole-string match only";
    EXPECT_NE(fsm_lookup("0502", 1), nullptr) << "an any-maker code under both variants";
}

TEST(Dictionary, EveryCodeHasOneEntryPerVariantAndBuffersFitTheirSize) {
    std::set<std::string> seen[2];
    for (const FsmEntry &e : fsm_dictionary) {
        EXPECT_EQ(strlen(e.code), 4u) << e.name;
        for (int spx = 0; spx < 2; spx++) {
            bool holds = e.variant == FSM_ANY || (e.variant == FSM_SPX) == (spx == 1);
            if (!holds) continue;
            EXPECT_TRUE(seen[spx].insert(e.code).second) << e.code << " twice, spx " << spx;
            EXPECT_EQ(fsm_lookup(e.code, spx), &e) << e.name;
        }
        EXPECT_EQ(e.kind == FSM_MEASURE, strlen(e.otclan) == 5) << e.name;
    }
    EXPECT_EQ(sizeof cmd_0604, 54u);
    EXPECT_EQ(TAILLE_0503, 5);
    EXPECT_EQ(TAILLE_7503, 6);
    EXPECT_STREQ(cmg_7545_SPX, "7545");
    EXPECT_EQ(sizeof cmd_7544_KDR, 5u);
}

// ---- Separation -------------------------------------------------------------------

namespace {

void load(const std::vector<std::pair<std::string, std::string>> &records) {
    memset(SM, 0, sizeof SM);
    Cpt_SM = 0;
    for (const auto &r : records) {
        snprintf(SM[Cpt_SM].CodeGiegData, sizeof SM[0].CodeGiegData, "%s", r.first.c_str());
        snprintf(SM[Cpt_SM].DataMeasures, sizeof SM[0].DataMeasures, "%s", r.second.c_str());
        Cpt_SM++;
    }
}

std::string sihc_value(int p, const char *code) {
    for (int r = 0; r < Cpt_SIHC[p]; r++)
        if (strcmp(SIHC[p][r].CodeGiegData, code) == 0) return SIHC[p][r].InfoHardwareConnect;
    return "<none>";
}

struct Separation : ::testing::Test {
    void SetUp() override { boxtest::reset_state(); }
};

} // namespace

TEST_F(Separation, GieglanCutsValuesButNeitherNormalisesNorEmpties) {
    set_client("KDR", "GIEGLAN");
    load({{"0502", "00.123"},
          {"0530", "1x"},
          {"9999", "kept"},
          {"0494", "01022026101112"},
          {"0500", "0"}});
    fct_separate_measures();
    EXPECT_STREQ(SM[0].DataMeasures, "00.1");
    EXPECT_STREQ(SM[1].DataMeasures, "1");
    EXPECT_STREQ(SM[2].CodeGiegData, "9999");
    EXPECT_STREQ(SM[2].DataMeasures, "kept");
    EXPECT_STREQ(SM[3].DataMeasures, "01022026101112") << "stamps stay in SM under GIEGLAN";
    EXPECT_STREQ(SM[4].DataMeasures, "0") << "no letter rule under GIEGLAN";
    ASSERT_EQ(CSM_OTCLAN, 3);
    EXPECT_STREQ(SM_OTCLAN[0].CodeGiegData, "PEM03");
    EXPECT_STREQ(SM_OTCLAN[0].DataMeasures, "00.1");
    EXPECT_STREQ(SM_OTCLAN[1].CodeGiegData, "POM01");
    EXPECT_STREQ(SM_OTCLAN[2].CodeGiegData, "PEM01");
    EXPECT_EQ(Cpt_SIHC[0], 0) << "no identification merge under GIEGLAN";
    EXPECT_EQ(CSM, Cpt_SM);
}

TEST_F(Separation, OtclanNormalisesAfterTheBufferCopy) {
    set_client("KDR", "OTCLAN");
    load({{"0501", "00012"}, {"0514", "012  "}, {"0500", "0"}, {"0500", "1"}, {"0530", "0"}});
    fct_separate_measures();
    EXPECT_STREQ(cmd_0501, "000") << "the buffer keeps the value before normalisation";
    ASSERT_EQ(CSM_OTCLAN, 5);
    EXPECT_STREQ(SM_OTCLAN[0].CodeGiegData, "PEM02");
    EXPECT_STREQ(SM_OTCLAN[0].DataMeasures, "0");
    EXPECT_STREQ(SM_OTCLAN[1].CodeGiegData, "PEM10");
    EXPECT_STREQ(SM_OTCLAN[1].DataMeasures, "12") << "blanks first, then zeros";
    EXPECT_STREQ(SM_OTCLAN[2].DataMeasures, "C");
    EXPECT_STREQ(SM_OTCLAN[3].DataMeasures, "D");
    EXPECT_STREQ(cmd_0500, "D");
    EXPECT_STREQ(SM_OTCLAN[4].DataMeasures, "0") << "POM01 is not normalised";
}

TEST_F(Separation, SpxVariantEmptiesOtherMakerCodesAndKeepsItsOwnRules) {
    set_client("SPX", "OTCLAN");
    load({{"0503", "12"}, {"7503", "001.5  "}, {"7544", "01022026101112"}, {"7545", "007"}});
    fct_separate_measures();
    EXPECT_STREQ(SM[0].CodeGiegData, "") << "0503 is not an SPX code";
    EXPECT_STREQ(SM[0].DataMeasures, "");
    ASSERT_EQ(CSM_OTCLAN, 2);
    EXPECT_STREQ(SM_OTCLAN[0].CodeGiegData, "PEM04");
    EXPECT_STREQ(SM_OTCLAN[0].DataMeasures, "1.5 ") << "cut to 6, zeros only";
    EXPECT_STREQ(SM_OTCLAN[1].CodeGiegData, "POM21");
    EXPECT_STREQ(SM_OTCLAN[1].DataMeasures, "7");
    EXPECT_STREQ(SM[2].CodeGiegData, "") << "7544 is a stamp for SPX";
    EXPECT_EQ(sihc_value(0, "7544"), "01022026101112");
}

TEST_F(Separation, OtclanStampsMergeIntoAllFiveIdentificationTables) {
    set_client("KDR", "OTCLAN");
    // Slot 0 already holds the stamp code twice, slot 1 something else, slots 2 to 4 nothing.
    snprintf(SIHC[0][0].CodeGiegData, 5, "0494");
    snprintf(SIHC[0][1].CodeGiegData, 5, "0300");
    snprintf(SIHC[0][1].InfoHardwareConnect, 54, "BRAND");
    snprintf(SIHC[0][2].CodeGiegData, 5, "0494");
    Cpt_SIHC[0] = 3;
    snprintf(SIHC[1][0].CodeGiegData, 5, "0300");
    Cpt_SIHC[1] = 1;
    load({{"0494", "0102202610111299"}, {"0502", "1"}});
    fct_separate_measures();
    EXPECT_EQ(Cpt_SIHC[0], 3) << "rows with the code are updated, not appended";
    EXPECT_STREQ(SIHC[0][0].InfoHardwareConnect, "01022026101112");
    EXPECT_STREQ(SIHC[0][2].InfoHardwareConnect, "01022026101112");
    EXPECT_STREQ(SIHC[0][1].InfoHardwareConnect, "BRAND");
    EXPECT_EQ(Cpt_SIHC[1], 2);
    EXPECT_STREQ(SIHC[1][1].CodeGiegData, "0494");
    for (int p = 2; p < 5; p++) {
        EXPECT_EQ(Cpt_SIHC[p], 1) << "slot " << p;
        EXPECT_EQ(sihc_value(p, "0494"), "01022026101112");
    }
    EXPECT_STREQ(SM[0].CodeGiegData, "");
    ASSERT_EQ(CSM_OTCLAN, 1) << "a stamp makes no measure row";
    EXPECT_STREQ(SM_OTCLAN[0].CodeGiegData, "PEM03");
}

TEST_F(Separation, PlatesSetTheIndexAndTheSecondWins) {
    set_client("KDR", "OTCLAN");
    CODE_200 = 7;
    load({{"0502", "1"}});
    fct_separate_measures();
    EXPECT_EQ(CODE_200, 7) << "no plate record: the index keeps its earlier value";

    load({{"0200", "AB123CD"},
          {"0502", "1"},
          {"0200", "XY987ZZ-TOO-LONG"},
          {"0204", "0123456789ABCDEFG"}});
    fct_separate_measures();
    EXPECT_EQ(CODE_200, 2);
    EXPECT_STREQ(SM[2].DataMeasures, "XY987ZZ-TOO") << "cut to 11";
    EXPECT_STREQ(SM[0].CodeGiegData, "0200") << "the plate record stays in SM";
    EXPECT_STREQ(SM[3].DataMeasures, "0123456789ABCDE") << "0204 cut to 15, kept";
    for (int p = 0; p < 5; p++) {
        EXPECT_EQ(Cpt_SIHC[p], 1);
        EXPECT_EQ(sihc_value(p, "0200"), "XY987ZZ-TOO");
    }
    EXPECT_EQ(CSM_OTCLAN, 1) << "neither plate nor 0204 makes a measure row";
}

TEST_F(Separation, FullIdentificationTableIsNotOverrun) {
    set_client("KDR", "OTCLAN");
    for (int r = 0; r < NBCODEGIEGDATAMAX; r++)
        snprintf(SIHC[0][r].CodeGiegData, 5, "%04d", 1000 + r);
    Cpt_SIHC[0] = NBCODEGIEGDATAMAX;
    snprintf(SIHC[1][0].CodeGiegData, 5, "4242");
    snprintf(SIHC[1][0].InfoHardwareConnect, 54, "next row intact");
    Cpt_SIHC[1] = 1;
    load({{"0513", "01022026101112"}});
    fct_separate_measures();
    EXPECT_EQ(Cpt_SIHC[0], NBCODEGIEGDATAMAX);
    EXPECT_EQ(sihc_value(0, "0513"), "<none>");
    EXPECT_STREQ(SIHC[1][0].InfoHardwareConnect, "next row intact");
    EXPECT_EQ(sihc_value(1, "0513"), "01022026101112") << "the other tables still get it";
}

TEST_F(Separation, NoRecordsLeavesAnEmptyOtclanTable) {
    set_client("KDR", "OTCLAN");
    CSM_OTCLAN = 9;
    Cpt_SM = 0;
    fct_separate_measures();
    EXPECT_EQ(CSM_OTCLAN, 0);
    EXPECT_EQ(CSM, 0);
}

TEST_F(Separation, SummaryPrintsTheGroupOfTheFirstKindLetter) {
    set_client("KDR", "GIEGLAN");
    type_measure[0] = 'O';
    load({{"0200", "AB123CD"}, {"0533", "12345"}});
    testing::internal::CaptureStdout();
    fct_separate_measures();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Mesure de cmg_0200 : AB123CD\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Mesure de cmg_0533 : 12345\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Mesure de cmg_0536 : "), std::string::npos);
    EXPECT_EQ(out.find("cmg_0502"), std::string::npos) << "gas codes belong to the G group";
}
