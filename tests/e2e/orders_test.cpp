// The real dev-build concentrator with order files on the share under the sandbox and
// the simulated hub over TCP on 127.0.0.1: GIEGLAN "CG" orders reach the hub as "0120"
// messages fitted to the code sizes, one slot per plate, a vanished order is withdrawn
// with "0150" and its slot freed, a vehicle ordered again under a new key is withdrawn
// under the old one before it goes out under the new; the green LED follows the order
// directory; OTCLAN
// ".CI" orders are sent converted for either maker column, or refused with their
// message; a hub asked by key walks the vehicles without results.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "boxtest.h"
#include "cryOTC.h"
#include "equipsim.h"
#include "roadtest.h"

using boxtest::root;
using equipsim::Frame;
using equipsim::Record;
using equipsim::pad;
using roadtest::has_vehicle;
using roadtest::prepare;
using roadtest::record_texts;

namespace {

const std::string DATA = "/home/KELDRAN/DATA";

bool withdrawn(const equipsim::Sim &sim, const std::string &key) {
    for (const auto &k : sim.withdrawn())
        if (k == key) return true;
    return false;
}

std::string gpio() { return boxtest::read_file(root("/dev/gpio")); }

// A hub with a gas analyser, an opacimeter and a headlamp tester of the given brand.
equipsim::Options hub_of(const std::string &brand) {
    equipsim::Options o;
    o.periphs = equipsim::default_periphs("GOP", 2);
    for (auto &p : o.periphs)
        p.ident[0].text = pad(brand, 20);
    return o;
}

TEST(Orders, GieglanOrdersReachTheHubAndVanishedOnesAreWithdrawn) {
    equipsim::Sim sim(equipsim::Options{});
    prepare("GIEGLAN", "KELDRAN", sim.listen_tcp(0));
    // a plain file where the order directory should be: no reading of the orders succeeds
    const std::string cg = root("/mnt/GIEGLAN/CG");
    boxtest::write_file(cg, "");
    boxtest::Proc box = roadtest::start_box("orders_gieglan");
    // the hub identified (a section per instrument in the information file), then for
    // longer than a poll's period no result asked for: the box has read no orders yet
    ASSERT_TRUE(boxtest::wait_until(
        [&] {
            return boxtest::read_file(root(DATA + "/log/periph1info.txt")).find("Periph3:") !=
                   std::string::npos;
        },
        30000))
        << box.output();
    EXPECT_FALSE(boxtest::wait_until([&] { return sim.count_code("0121") > 0; }, 6000))
        << "no result asked for before the orders are read";
    EXPECT_FALSE(boxtest::exists(root(DATA + "/GREEN_LED_ON")));

    // the order directory appears: green LED lit and its marker made, and results asked for
    unlink(cg.c_str());
    mkdir(cg.c_str(), 0755);
    ASSERT_TRUE(boxtest::wait_until([&] { return boxtest::exists(root(DATA + "/GREEN_LED_ON")); },
                                    12000));
    EXPECT_NE(gpio().find("0x420C 80"), std::string::npos) << gpio();
    ASSERT_TRUE(sim.wait_code("0121", 12000)) << box.output();

    // an order: the kept lines go out padded or cut to their sizes, over two frames
    boxtest::write_file(cg + "/K0001.CG", "[VEHICULE]\r\n0200=AB123CD\r\n0201=NOTKEPT\r\n"
                                          "0203=0101202099\r\n0204=ES\r\n0205=1\r\n0206=2\r\n"
                                          "[CRC]\r\n0200=4711\r\n");
    // the simulator files a vehicle from its first frame on: wait for the whole message
    ASSERT_TRUE(boxtest::wait_until(
        [&] { return has_vehicle(sim, "K0001     ") && sim.count_code("0120") >= 2; }, 15000))
        << box.output();
    std::vector<std::string> expected{"0200=AB123CD   ", "0203=01012020", "0204=" + pad("ES", 15),
                                      "0205=1", "0206=2"};
    EXPECT_EQ(record_texts(sim.vehicles()["K0001     "]), expected);
    std::vector<std::string> raws;
    for (const Frame &f : sim.box_frames())
        if (f.code() == "0120") raws.push_back(f.raw);
    ASSERT_EQ(raws.size(), 2u) << "two frames, each acknowledged at its first sending";
    EXPECT_NE(raws[0], raws[1]);
    for (const auto &r : raws)
        EXPECT_LE(r.size(), 80u);

    // a second order with the same plate takes no slot; a plate line without value is
    // not sent
    boxtest::write_file(cg + "/K0002.CG", "0200=AB123CD\r\n0204=GO\r\n");
    boxtest::write_file(cg + "/K0003.CG", "0200=\r\n0204=GO\r\n");
    ASSERT_TRUE(boxtest::wait_until([&] { return has_vehicle(sim, "K0003     "); }, 15000));
    EXPECT_EQ(record_texts(sim.vehicles()["K0003     "]),
              std::vector<std::string>{"0204=" + pad("GO", 15)});

    EXPECT_FALSE(has_vehicle(sim, "K0002     "));

    // re-tests: the vehicle's order goes while another key holds its plate (across two
    // readings), then it is ordered again under a new key in one go (within one reading);
    // each time the hub is told to drop the old key before it gets the new one
    unlink((cg + "/K0001.CG").c_str());
    ASSERT_TRUE(boxtest::wait_until([&] { return has_vehicle(sim, "K0002     "); }, 20000))
        << box.output();
    ASSERT_EQ(rename((cg + "/K0002.CG").c_str(), (cg + "/K0004.CG").c_str()), 0);
    ASSERT_TRUE(boxtest::wait_until([&] { return has_vehicle(sim, "K0004     "); }, 20000))
        << box.output();
    std::vector<std::string> told;
    for (const Frame &f : sim.box_frames()) {
        std::string t = f.code() + " " + f.records()[0].text;
        if ((f.code() == "0150" || f.code() == "0120") && f.records()[0].text != "K0003     " &&
            (told.empty() || told.back() != t)) // the frames of one message once
            told.push_back(t);
    }
    EXPECT_EQ(told, (std::vector<std::string>{"0120 K0001     ", "0150 K0001     ",
                                              "0120 K0002     ", "0150 K0002     ",
                                              "0120 K0004     "}));

    // the directory vanishes: LED dark, marker gone, every vehicle withdrawn
    boxtest::write_file(root("/dev/gpio"), "");
    int rc = system(("rm -rf '" + cg + "'").c_str());
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(boxtest::wait_until([&] { return !boxtest::exists(root(DATA + "/GREEN_LED_ON")); },
                                    12000));
    EXPECT_NE(gpio().find("0x420B 80"), std::string::npos) << gpio();
    EXPECT_TRUE(boxtest::wait_until(
        [&] { return withdrawn(sim, "K0004     ") && withdrawn(sim, "K0003     "); }, 20000));
    box.stop();
}

// An OTCLAN order file: the fields, then the fingerprint over them and "EMPREINTE=".
std::string ci_file(const std::string &c001, bool good_print = true, bool with_print = true) {
    std::string image = "[VEHICULE]\r\nC001=" + c001 +
                        "\r\nC002=01012020\r\nC003=ES\r\nC004=A\r\nC005=O\r\n";
    if (!with_print) return image;
    char hash[41];
    CalSha1((image + "EMPREINTE=").c_str(), hash);
    std::string print = hash;
    if (!good_print) print[0] = print[0] == '0' ? '1' : '0';
    return image + "EMPREINTE=" + print + "\r\n";
}

TEST(Orders, OtclanOrdersAreConvertedForTheMakerOrRefused) {
    struct Run {
        const char *maker;
        std::vector<std::string> expected;
    } runs[] = {
        {"KELDRAN",
         {"0200=" + pad("AB123CD", 11), "0203=01012020", "0204=" + pad("ES", 15), "0205=A",
          "0206=O"}},
        {"SPX", {"7200=" + pad("AB123CD", 11), "0203=01012020", "7204=ES", "7205=A", "7206=O"}},
    };
    for (const Run &run : runs) {
        SCOPED_TRACE(run.maker);
        equipsim::Sim sim(hub_of(std::string(run.maker) == "SPX" ? "SPX" : "KELDRAN"));
        prepare("OTCLAN", run.maker, sim.listen_tcp(0));
        const std::string ci = root("/mnt/GIEGLAN/CI");
        mkdir(ci.c_str(), 0755);
        boxtest::write_file(ci + "/AB123CD.CI", ci_file("AB123CD"));
        boxtest::write_file(ci + "/BADPRINT.CI", ci_file("BP111AA", false));
        boxtest::write_file(ci + "/LONGPLATE.CI", ci_file("ABCDEFGHIJKL"));
        boxtest::write_file(ci + "/NOPRINT.CI", ci_file("NP222BB", true, false));
        boxtest::Proc box = roadtest::start_box(std::string("orders_otclan_") + run.maker);
        const std::string key = "AB123CD   ";
        ASSERT_TRUE(boxtest::wait_until([&] { return has_vehicle(sim, key); }, 30000))
            << box.output();
        EXPECT_EQ(record_texts(sim.vehicles()[key]), run.expected);
        EXPECT_EQ(sim.vehicles().size(), 1u) << "refused orders are never sent";
        std::string out = box.output();
        EXPECT_NE(out.find("BADPRINT.CI: EMPREINTE KO!!"), std::string::npos) << out;
        EXPECT_NE(out.find("LONGPLATE.CI: Taille C001 KO!!"), std::string::npos) << out;
        EXPECT_NE(out.find("NOPRINT.CI: Balise obligatoire KO!! 1"), std::string::npos) << out;
        box.stop();
    }
}


} // namespace
