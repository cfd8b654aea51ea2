// BNET result file: the exact text, the status digit, the fog-beam section, the state
// mapping, the vehicle found by its slot's plate, and a file name that stays in
// ImportResults whatever the plate holds.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "boxtest.h"
#include "dat.h"
#include "fcfbnet.h"
#include "file_param.h"
#include "outbox.h"

using namespace boxtest;
namespace fs = std::filesystem;

namespace {

struct BnetFile : ::testing::Test {
    std::string base = root("/exchange");
    std::string import = base + "/DataExchange/ImportResults";
    void SetUp() override {
        reset_root();
        reset_state();
        set_network(0);
        fs::create_directories(import);
        snprintf(save_path, sizeof save_path, "%s", base.c_str());
        vehicle(0, "AB123CD   ");
    }
    // Puts a vehicle in slot `slot` and its order in SI.
    void vehicle(int slot, const char *plate) {
        snprintf(voiture[slot].plaque, sizeof voiture[slot].plaque, "%s", plate);
        snprintf(SI[Cpt_plaque].plaqueinfo, sizeof SI[0].plaqueinfo, "%s", plate);
        Cpt_plaque++;
    }
    void measures(const std::vector<std::pair<const char *, const char *>> &m) {
        Cpt_SM = 0;
        for (auto &[code, value] : m) {
            snprintf(SM[Cpt_SM].CodeGiegData, sizeof SM[0].CodeGiegData, "%s", code);
            snprintf(SM[Cpt_SM].DataMeasures, sizeof SM[0].DataMeasures, "%s", value);
            Cpt_SM++;
        }
    }
    void ident(int row, const std::vector<std::pair<const char *, const char *>> &items) {
        for (auto &[code, value] : items) {
            auto &it = SIHC[row][Cpt_SIHC[row]++];
            snprintf(it.CodeGiegData, sizeof it.CodeGiegData, "%s", code);
            snprintf(it.InfoHardwareConnect, sizeof it.InfoHardwareConnect, "%s", value);
        }
    }
    // The file for the PC, which the PC takes (the next one of its name waits for that).
    std::string result(const std::string &name = "AB123CD") {
        const std::string f = read_file(import + "/" + name + ".dat");
        unlink((import + "/" + name + ".dat").c_str());
        return f;
    }
    std::string line_of(const std::string &text, const std::string &key) {
        for (auto &l : lines_of(text))
            if (l.rfind(key + "=", 0) == 0) return l.substr(key.size() + 1);
        return "(none)";
    }
};

TEST_F(BnetFile, HeadlampResultGivesTheFullFileInItsOrder) {
    // hub 1, gas analyser 2, headlamp tester 3: the test device is the headlamp tester
    nb_periph_present = 3;
    const char list[3][2] = {{1, 'C'}, {2, 'G'}, {3, 'P'}};
    memcpy(type_hardware_connect2, list, sizeof list);
    ident(2, {{"0300", "BRAND   "}, {"0301", "HL900"}, {"0302", "SN0042  "}, {"0313", "V2.1"}});
    ident(1, {{"0300", "OTHER"}});
    measures({{"0492", "1"},
              {"0490", "1"},
              {"0494", "06122026153000"},
              {"0493", "1.2"},
              {"0491", "1.1"}});
    fct_create_file_bnet(0);
    EXPECT_EQ(result(), "\n[Vehicle1]\n"
                        "Plate=AB123CD\n"
                        "\n[Vehicle1/OrderPos/Light]\n"
                        "Did=Light_2_000\n"
                        "Status=3\n"
                        "RealEnd=06.12.2026 15:30:00\n"
                        "\n[Vehicle1/Result1/Light/TestDevice]\n"
                        "Manufacturer=BRAND\n"
                        "Type=HL900\n"
                        "SerialNumber=SN0042\n"
                        "SoftwareVersion=V2.1\n"
                        "\n[Vehicle1/Result1/Light/LowBeam]\n"
                        "VerticalPositionRight_State=1\n"
                        "VerticalPositionLeft_State=1\n"
                        "VerticalCutoffRight=1.20\n"
                        "VerticalCutoffLeft=1.10\n");
}

TEST_F(BnetFile, LineEndsFromTheLinkNeverBreakALine) {
    nb_periph_present = 2;
    const char list[2][2] = {{1, 'C'}, {2, 'P'}};
    memcpy(type_hardware_connect2, list, sizeof list);
    ident(1, {{"0301", "HL\n900"}});
    measures({{"0493", "1.2\r"}, {"0494", "0612\n026153000"}});
    fct_create_file_bnet(0);
    const std::string text = result();
    EXPECT_EQ(line_of(text, "Type"), "HL 900");
    EXPECT_EQ(line_of(text, "VerticalCutoffRight"), "1.2 0");
    EXPECT_EQ(line_of(text, "RealEnd"), "06.12. 026 15:30:00");
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(BnetFile, StatusFollowsTheLowBeamAndBothFogStates) {
    struct Case {
        std::vector<std::pair<const char *, const char *>> m;
        const char *status;
        bool fog;
    } cases[] = {
        {{}, "5", false},
        {{{"0492", "9"}, {"0490", "9"}}, "2", false},
        {{{"0492", "1"}, {"0490", "9"}}, "5", false},
        {{{"0492", "1"}, {"0490", "1"}, {"0499", "1"}, {"0485", "1"}}, "3", true},
        {{{"0492", "9"}, {"0490", "9"}, {"0499", "9"}, {"0485", "9"}}, "2", true},
        {{{"0492", "1"}, {"0490", "1"}, {"0499", "1"}}, "5", false},
        {{{"0492", "1"}, {"0490", "1"}, {"0485", "9"}, {"0499", "1"}}, "5", true},
        {{{"0492", "9"}, {"0492", "1"}, {"0490", "1"}}, "3", false}, // the last record wins
    };
    for (auto &c : cases) {
        measures(c.m);
        fct_create_file_bnet(0);
        std::string f = result();
        EXPECT_EQ(line_of(f, "Status"), c.status) << f;
        EXPECT_EQ(f.find("[Vehicle1/Result1/Light/FogBeam]") != std::string::npos, c.fog) << f;
        EXPECT_NE(f.find("[Vehicle1/Result1/Light/LowBeam]"), std::string::npos);
    }
}

TEST_F(BnetFile, FogSectionListsEachKindOfLineInItsOwnPass) {
    measures({{"0497", "2.5"},
              {"0485", "1"},
              {"0499", "1"},
              {"0496", "2.4 "},
              {"0492", "1"},
              {"0490", "1"},
              {"0491", "1.1"},
              {"0491", "1.3"}});
    fct_create_file_bnet(0);
    std::string f = result();
    std::string low = f.substr(f.find("[Vehicle1/Result1/Light/LowBeam]"));
    EXPECT_EQ(low, "[Vehicle1/Result1/Light/LowBeam]\n"
                   "VerticalPositionRight_State=1\n"
                   "VerticalPositionLeft_State=1\n"
                   "VerticalCutoffLeft=1.10\n"
                   "VerticalCutoffLeft=1.30\n"
                   "\n[Vehicle1/Result1/Light/FogBeam]\n"
                   "VerticalPositionRight_State=1\n"
                   "VerticalPositionLeft_State=1\n"
                   "VerticalCutoffRight=2.50\n"
                   "VerticalCutoffLeft=2.4 0\n");
}

TEST_F(BnetFile, StatesAreMappedAndAnUnknownStateNeverReadsAsPassed) {
    const std::pair<const char *, const char *> map[] = {{"0", "-1"},  {"1", "1"},  {"2", "-1"},
                                                         {"9", "0"},   {"5", "-1"}, {"", "-1"},
                                                         {"1 ", "-1"}, {"11", "-1"}};
    for (auto &[in, out] : map) {
        measures({{"0492", in}});
        fct_create_file_bnet(0);
        EXPECT_EQ(line_of(result(), "VerticalPositionRight_State"), out) << "'" << in << "'";
    }
}

TEST_F(BnetFile, EveryEndDateGivesOneRealEndLine) {
    measures({{"0494", "06122026153000"}, {"0494", "0712202608"}, {"0494", "01022027101112extra"}});
    fct_create_file_bnet(0);
    auto lines = lines_of(result());
    std::vector<std::string> ends;
    for (auto &l : lines)
        if (l.rfind("RealEnd=", 0) == 0) ends.push_back(l);
    EXPECT_EQ(ends,
              (std::vector<std::string>{"RealEnd=06.12.2026 15:30:00", "RealEnd=07.12.2026 08",
                                        "RealEnd=01.02.2027 10:11:12"}));
}

TEST_F(BnetFile, OrderIsFoundByTheSlotsPlate) {
    // SI holds the orders in another order than the slots.
    reset_state();
    vehicle(1, "ZZ999     ");
    vehicle(0, "AB123CD   ");
    measures({{"0492", "1"}});
    fct_create_file_bnet(0);
    EXPECT_TRUE(exists(import + "/AB123CD.dat"));
    EXPECT_FALSE(exists(import + "/ZZ999.dat"));
    EXPECT_EQ(line_of(result(), "Plate"), "AB123CD");
    // The order vanished meanwhile: the slot's own plate still names the result.
    Cpt_plaque = 0;
    memset(SI, 0, sizeof SI);
    snprintf(voiture[3].plaque, sizeof voiture[3].plaque, "%s", "CC333 DD  ");
    fct_create_file_bnet(3);
    EXPECT_EQ(line_of(result("CC333 DD"), "Plate"), "CC333 DD") << "inner blanks stay";
}

TEST_F(BnetFile, PlateWithPathCharactersStaysInImportResults) {
    reset_state();
    vehicle(0, "../x");
    vehicle(1, "/tmp/y");
    vehicle(2, " A:B?\x01\xE9"); // nothing the PC's share cannot take in a name
    const auto before = list_dir(base + "/DataExchange");
    fct_create_file_bnet(0);
    fct_create_file_bnet(1);
    fct_create_file_bnet(2);
    EXPECT_EQ(list_dir(base + "/DataExchange"), before);
    EXPECT_FALSE(exists(base + "/DataExchange/x.dat"));
    EXPECT_FALSE(exists("/tmp/y.dat"));
    EXPECT_EQ(list_dir(import),
              (std::vector<std::string>{".._x.dat", "_A_B___.dat", "_tmp_y.dat"}));
    EXPECT_EQ(line_of(result(".._x"), "Plate"), "../x");
    EXPECT_EQ(line_of(result("_A_B___"), "Plate"), " A:B?\x01\xE9");
}

TEST_F(BnetFile, ResultWaitsWhileImportResultsIsMissingThenArrivesWhole) {
    measures({{"0492", "1"}, {"0490", "1"}});
    fct_create_file_bnet(0);
    const std::string whole = result();
    ASSERT_FALSE(whole.empty());
    fs::remove_all(import);
    testing::internal::CaptureStderr();
    fct_create_file_bnet(0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(import + "/AB123CD.dat introuvable."), std::string::npos) << err;
    EXPECT_FALSE(exists(import));
    EXPECT_EQ(list_dir(root("/home/KELDRAN/DATA/outbox")).size(), 1u) << "kept on the box";
    fs::create_directories(import);
    outbox_deliver();
    EXPECT_EQ(list_dir(import), std::vector<std::string>{"AB123CD.dat"});
    EXPECT_EQ(result(), whole);
    EXPECT_TRUE(list_dir(root("/home/KELDRAN/DATA/outbox")).empty());
}

} // namespace
