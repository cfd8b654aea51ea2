// The real dev-build concentrator against the simulated equipment over TCP on
// 127.0.0.1: finding and identifying a hub, the information file and CHECK_NO_OPA,
// the poll pacing, error replies, the end of a silent dialogue and its restart, a
// single instrument, and the brand authorisation of two makers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boxtest.h"
#include "equipsim.h"
#include "roadtest.h"

using boxtest::root;
using equipsim::Frame;
using equipsim::Peripheral;
using equipsim::Record;
using equipsim::pad;

namespace {

const std::string DATA = "/home/KELDRAN/DATA";

std::vector<Frame> box_frames_with(const equipsim::Sim &sim, const std::vector<std::string> &codes) {
    std::vector<Frame> out;
    for (const Frame &f : sim.box_frames())
        for (const auto &c : codes)
            if (f.code() == c) out.push_back(f);
    return out;
}

std::string text_of(const Frame &f) { return f.records().empty() ? "" : f.records()[0].text; }

// Seconds between a DDMMYYYYhhmmss text and now.
long long age_of_stamp(const std::string &t) {
    if (t.size() != 14) return 1000000;
    struct tm tm {};
    tm.tm_mday = std::stoi(t.substr(0, 2));
    tm.tm_mon = std::stoi(t.substr(2, 2)) - 1;
    tm.tm_year = std::stoi(t.substr(4, 4)) - 1900;
    tm.tm_hour = std::stoi(t.substr(8, 2));
    tm.tm_min = std::stoi(t.substr(10, 2));
    tm.tm_sec = std::stoi(t.substr(12, 2));
    tm.tm_isdst = -1;
    return (long long)(time(nullptr) - mktime(&tm));
}

// The lines of one "PeriphN:" section of the information file.
std::vector<std::string> section(const std::string &info, int n) {
    std::vector<std::string> lines = boxtest::lines_of(info), out;
    const std::string head = "Periph" + std::to_string(n) + ":";
    bool in = false;
    for (const auto &l : lines) {
        if (l == head) {
            in = true;
            continue;
        }
        if (in && (l.empty() || l.rfind("Periph", 0) == 0)) break;
        if (in) out.push_back(l);
    }
    return out;
}

const std::vector<Record> GAS_IDENT{
    {"0300", pad("KELDRAN", 20)},       {"0301", pad("GAS ANALYSER GA-9", 20)},
    {"0302", pad("SN-000123", 20)},     {"0304", "01032025"},
    {"7003", pad("ACC-G-2019-0412", 15)}, {"7012", "0123456789"},
    {"7353", "ABCDEFABCD"},             {"7354", pad("V7354-01", 15)},
};

TEST(Scan, HubIsFoundIdentifiedPolledAndRestartedAfterSilence) {
    equipsim::Options o;
    o.periphs = {{2, 'G', GAS_IDENT}, {3, 'O', equipsim::default_ident('O', 3)}};
    equipsim::Sim sim(o);
    int port = sim.listen_tcp(0);
    roadtest::prepare("GIEGLAN", "KELDRAN", port);
    mkdir(root("/mnt/GIEGLAN/CG").c_str(), 0755); // no order, but known: results asked for
    boxtest::write_file(root(DATA + "/CHECK_NO_OPA"), "");
    boxtest::Proc box = roadtest::start_box("scan_hub");

    // the list is asked first, acknowledged, then each peripheral gets the clock and "0140"
    ASSERT_TRUE(sim.wait_code("0121", 30000)) << box.output();
    std::vector<Frame> all = sim.box_frames();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].code(), "0100");
    EXPECT_EQ(all[1].code(), "0900");
    std::vector<Frame> ident = box_frames_with(sim, {"0130", "0140"});
    ASSERT_EQ(ident.size(), 4u);
    EXPECT_EQ(ident[0].code(), "0130");
    EXPECT_LT(std::llabs(age_of_stamp(text_of(ident[0]))), 120) << text_of(ident[0]);
    EXPECT_EQ(ident[1].code(), "0140");
    EXPECT_EQ(text_of(ident[1]), "002");
    EXPECT_EQ(ident[2].code(), "0130");
    EXPECT_EQ(ident[3].code(), "0140");
    EXPECT_EQ(text_of(ident[3]), "003");

    // the information file: list position 1 is peripheral 2, without 7012 and 7353
    std::string info = boxtest::read_file(root(DATA + "/log/periph1info.txt"));
    std::vector<std::string> expected;
    for (const Record &r : GAS_IDENT)
        if (r.code != "7012" && r.code != "7353") expected.push_back("\t" + r.text);
    EXPECT_EQ(section(info, 1), expected) << info;
    std::vector<std::string> opa = section(info, 2);
    EXPECT_FALSE(opa.empty()) << info;
    for (const Record &r : equipsim::default_ident('O', 3)) {
        if (r.code != "7012") continue;
        for (const auto &l : opa)
            EXPECT_NE(l, "\t" + r.text) << "the sealing key is not written";
    }

    // a GIEGLAN station writes each identification file on the share and in the log
    for (const std::string dir : {"/mnt/GIEGLAN/ID", "/home/KELDRAN/DATA/log"}) {
        std::vector<std::string> names = boxtest::list_dir(root(dir));
        EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                [](const std::string &n) {
                                    return n.size() > 2 && (n.substr(n.size() - 2) == ".G" ||
                                                            n.substr(n.size() - 2) == ".O");
                                }),
                  2)
            << dir;
    }

    // an opacimeter in the list: CHECK_NO_OPA goes
    EXPECT_FALSE(boxtest::exists(root(DATA + "/CHECK_NO_OPA")));
    EXPECT_NE(boxtest::read_file(root("/commands.log")).find("rm " + root(DATA + "/CHECK_NO_OPA")),
              std::string::npos);

    // polls for any key, every 5 s
    Frame p1, p2;
    sim.clear_frames();
    ASSERT_TRUE(sim.wait_code("0121", 8000, &p1));
    EXPECT_EQ(text_of(p1), "??????????");
    sim.clear_frames();
    ASSERT_TRUE(sim.wait_code("0121", 8000, &p2));
    EXPECT_GT(p2.t - p1.t, 4.5);
    EXPECT_LT(p2.t - p1.t, 7.0);

    // "0904" counts one error and the dialogue goes on; "0099" is answered "0902"
    sim.reply_next_with("0904");
    sim.clear_frames();
    // the poll answered "0904", then the next one
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.count_code("0121") >= 2; }, 15000));
    ASSERT_TRUE(boxtest::wait_until(
        [&] { return box.output().find("RECUP904 --> 3 erreur 1:") != std::string::npos; }, 2000));
    sim.clear_frames();
    sim.reply_next_with("0099");
    ASSERT_TRUE(sim.wait_code("0902", 8000));
    EXPECT_EQ(sim.count_code("0100"), 0) << "the dialogue was never restarted";

    // four silent polls end the dialogue; the loop's reset brings the list request back.
    // Meanwhile the liveness value keeps growing, every 3 s at least.
    sim.clear_frames();
    sim.set_silent(true);
    Frame again;
    std::atomic<bool> silent{true};
    double longest = 0;
    int grew = 0;
    std::thread liveness([&] {
        const std::string wd = root(DATA + "/watch_dog");
        auto last = std::chrono::steady_clock::now();
        std::string value = boxtest::read_file(wd);
        while (silent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::string now = boxtest::read_file(wd);
            auto t = std::chrono::steady_clock::now();
            longest = std::max(longest, std::chrono::duration<double>(t - last).count());
            if (now.empty() || now == value) continue;
            if (!value.empty() && std::stoul(now) > std::stoul(value)) grew++;
            value = now;
            last = t;
        }
    });
    bool back = sim.wait_code("0100", 40000, &again);
    silent = false;
    liveness.join();
    ASSERT_TRUE(back) << box.output();
    EXPECT_LE(longest, 3.0) << "the liveness file stalled while the equipment was silent";
    EXPECT_GE(grew, 5);
    std::vector<Frame> polls = box_frames_with(sim, {"0121"});
    EXPECT_EQ(polls.size(), 4u);
    if (!polls.empty()) {
        EXPECT_GT(again.t - polls.back().t, 5.0);
        EXPECT_LT(again.t - polls.back().t, 17.0);
    }
    EXPECT_NE(box.output().find("TIMEOUT ERREUR:3!!!!!!!!!!!!!!!"), std::string::npos);
    sim.set_silent(false);
    sim.clear_frames();
    EXPECT_TRUE(sim.wait_code("0140", 20000)) << "identified again";
    box.stop();
}

TEST(Scan, SingleInstrumentIsPolledWithoutAcknowledgementOrIdentification) {
    equipsim::Options o;
    o.hub = false;
    o.periphs = {{1, 'G', {}}};
    equipsim::Sim sim(o);
    int port = sim.listen_tcp(0);
    roadtest::prepare("GIEGLAN", "KELDRAN", port);
    // the vehicle waiting for the instrument
    for (const char *d : {"/mnt/GIEGLAN/CG", "/mnt/GIEGLAN/RES"})
        mkdir(root(d).c_str(), 0755);
    boxtest::write_file(root("/mnt/GIEGLAN/CG/K1.txt"), "[V]\r\n0200=AB123CD\r\n[CRC]\r\n");
    boxtest::Proc box = roadtest::start_box("scan_single");
    ASSERT_TRUE(sim.wait_code("0110", 20000)) << box.output();
    std::vector<Frame> all = sim.box_frames();
    EXPECT_EQ(all[0].code(), "0100");
    // (the "0188" that answers the poll is acknowledged, maybe already)
    for (size_t k = 0; k < all.size() && all[k].code() != "0110"; k++)
        EXPECT_NE(all[k].code(), "0900") << "the list of an instrument is not acknowledged";
    EXPECT_EQ(sim.count_code("0140"), 0);
    EXPECT_EQ(sim.count_code("0121"), 0);
    // no opacimeter: CHECK_NO_OPA is made
    EXPECT_TRUE(boxtest::exists(root(DATA + "/CHECK_NO_OPA")));
    EXPECT_NE(boxtest::read_file(root("/commands.log")).find("touch " + root(DATA + "/CHECK_NO_OPA")),
              std::string::npos);
    // its result, over several frames, is taken frame by frame
    std::vector<Record> res{{"0200", "AB123CD   "}};
    for (int i = 0; i < 8; i++)
        res.push_back({"050" + std::to_string(i + 1), "000" + std::to_string(i) + ".25"});
    sim.add_single_result(res);
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 15000));
    int sent = 0;
    for (const Frame &f : sim.frames())
        if (!f.from_box && f.code() == "0111") sent++;
    EXPECT_GE(sent, 2);
    EXPECT_GE(sim.count_code("0900"), sent);
    // the result frames carry no key: the result is still that of the waiting vehicle
    const std::string file = root("/mnt/GIEGLAN/RES/K1.G");
    ASSERT_TRUE(boxtest::wait_until(
        [&] { return boxtest::read_file(file).find("[CRC]") != std::string::npos; }, 15000))
        << box.output();
    EXPECT_NE(boxtest::read_file(file).find("0505=0004.25\r\n0506=0005.25\r\n"), std::string::npos);
    box.stop();
}

TEST(Scan, BrandsAreAuthorisedByTheMakersList) {
    for (const char *maker : {"MAHA", "TECNO"}) {
        SCOPED_TRACE(maker);
        equipsim::Options o;
        std::vector<Record> refused = equipsim::default_ident('G', 2);
        refused[0].text = pad("BOSCH", 20);
        std::vector<Record> accepted = equipsim::default_ident('O', 3);
        accepted[0].text = pad(std::string(maker) == "TECNO" ? "TECNOTEST" : "MAHA", 20);
        if (std::string(maker) == "TECNO") refused[0].text = pad("SPX", 20); // SPX's, not TECNO's
        o.periphs = {{2, 'G', refused}, {3, 'O', accepted}};
        equipsim::Sim sim(o);
        int port = sim.listen_tcp(0);
        roadtest::prepare("GIEGLAN", maker, port);
        mkdir(root("/mnt/GIEGLAN/CG").c_str(), 0755); // orders known: only a refusal stops polls
        boxtest::Proc box = roadtest::start_box(std::string("scan_") + maker);
        ASSERT_TRUE(sim.wait_code("0140", 20000)) << box.output();
        sim.clear_frames();
        // after the refusal the scan starts again with the list request
        ASSERT_TRUE(sim.wait_code("0100", 30000)) << box.output();
        std::string out = box.output();
        EXPECT_NE(out.find("Erreur: equipement 0300=" + refused[0].text + " non autorisé!"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("Equipement " + accepted[0].text + " \n"), std::string::npos) << out;
        EXPECT_EQ(sim.count_code("0121"), 0) << "no poll for results with a refused peripheral";
        std::vector<std::string> ids = boxtest::list_dir(root("/mnt/GIEGLAN/ID"));
        ASSERT_EQ(ids.size(), 1u) << "only the accepted instrument's identification file";
        EXPECT_EQ(ids[0].substr(ids[0].size() - 2), ".O");
        box.stop();
    }
}

} // namespace
