// The real dev-build concentrator started in an empty sandbox: banner, start-up
// commands, markers, information file, LEDs and the liveness file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "boxtest.h"

using namespace boxtest;

namespace {

const std::string DATA = "/home/KELDRAN/DATA";

std::string out_file(const char *name) { return std::string(BINARY_DIR) + "/" + name + ".out"; }

std::vector<std::string> tree() {
    std::vector<std::string> all;
    std::string r = root();
    FILE *p = popen(("cd '" + r + "' && find . | sort").c_str(), "r");
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        all.push_back(buf);
    pclose(p);
    return all;
}

TEST(Startup, OneArgumentPrintsTheBannerAndTouchesNothing) {
    reset_root();
    write_param({{"#001#", "GIEGLAN"}, {"#100#", "LAN"}});
    auto before = tree();
    Proc p = spawn(concentrator_bin(), {"--version"}, out_file("startup_banner"));
    EXPECT_EQ(p.wait_exit(5000), 0);
    EXPECT_EQ(p.output(), "\nVARN V1.18 Jan 26 2018 15:34:18\n");
    EXPECT_EQ(tree(), before);
}

TEST(Startup, LanBoxStartsWritesItsFilesAndBeatsItsHeart) {
    reset_root();
    set_network(0);
    system(("mkdir -p '" + root("/mnt/GIEGLAN/ID") + "'").c_str());
    // Port 9 on loopback: nothing answers there.
    write_param({{"#001#", "GIEGLAN"},
                 {"#002#", "/exchange"},
                 {"#005#", "KELDRAN"},
                 {"#020#", "1234"},
                 {"#100#", "LAN"},
                 {"#101#", "127.0.0.1"},
                 {"#102#", "9"}});
    for (const char *m : {"BTP1", "GREEN_LED_ON", "PROD", "BE2", "BE5", "BTP3", "CHECK_NO_OPA"})
        write_file(root(DATA + "/" + m), "");
    write_file(root(DATA + "/log/old.G"), "x");

    Proc p = spawn(concentrator_bin(), {}, out_file("startup_lan"));
    std::string wd = root(DATA + "/watch_dog");
    ASSERT_TRUE(wait_until([&] { return exists(wd); }, 6000)) << p.output();
    int first = std::stoi(read_file(wd));
    std::string earlier = read_file(wd);
    ASSERT_TRUE(wait_until([&] { return read_file(wd) != earlier; }, 4000));
    int second = std::stoi(read_file(wd));
    EXPECT_GE(second - first, 1);
    EXPECT_LE(second - first, 3) << "about two seconds later";
    p.stop();

    std::string out = p.output();
    EXPECT_EQ(out.rfind("\nVARN V1.18 Jan 26 2018 15:34:18\n", 0), 0u);
    EXPECT_NE(out.find(">> Détection NO OPA "), std::string::npos);

    // markers: stale ones deleted, CHECK_NO_OPA left alone by start-up
    for (const char *m : {"BTP1", "GREEN_LED_ON", "PROD", "BE2", "BE5", "BTP3"})
        EXPECT_FALSE(exists(root(DATA + "/" + m))) << m;
    EXPECT_TRUE(exists(root(DATA + "/CHECK_NO_OPA")));

    // information file
    EXPECT_EQ(read_file(root(DATA + "/log/periph1info.txt")),
              "\nConcentrateur:\n\tJan 26 2018 15:34:18\n\tKELDRAN\n\tGIEGLAN\n\tLAN\n\t127.0.0.1\n"
              "\t9\n\t/exchange\n");

    // start-up commands, in order
    auto cmds = lines_of(read_file(root("/commands.log")));
    std::vector<std::string> expected = {"mkdir " + root("/home/KELDRAN/DATA/log/RES")};
    for (const char *e : {"G", "O", "F", "S", "R", "P", "A", "E"})
        expected.push_back("rm " + root("/home/KELDRAN/DATA/log/*.") + e);
    expected.push_back("testNetwork.sh");
    ASSERT_GE(cmds.size(), expected.size() + 2);
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(cmds[i], expected[i]);
    EXPECT_EQ(cmds[10].rfind("date \"", 0), 0u) << cmds[10];
    EXPECT_EQ(cmds[11], "hwclock -u -w");
    EXPECT_FALSE(exists(root(DATA + "/log/old.G")));
    struct stat st;
    EXPECT_EQ(stat(root(DATA + "/log/RES").c_str(), &st), 0);
    // the outbox, and the status file saying that nothing waits
    EXPECT_EQ(stat(root(DATA + "/outbox").c_str(), &st), 0);
    EXPECT_EQ(read_file(root(DATA + "/log/outbox.txt")), "en_attente=0\nage_plus_ancien=0\n");

    // LEDs: start-up requests, then the heartbeat alternating on line 81
    auto gpio = lines_of(read_file(root("/dev/gpio")));
    ASSERT_GE(gpio.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(gpio.begin(), gpio.begin() + 4),
              (std::vector<std::string>{"0x4210 81", "0x420E 80", "0x420E 81", "0x420B 80"}));
    std::vector<std::string> beat;
    for (size_t i = 4; i < gpio.size(); i++)
        if (gpio[i].size() > 7 && gpio[i].substr(7) == "81") beat.push_back(gpio[i]);
    ASSERT_GE(beat.size(), 2u);
    for (size_t i = 0; i < beat.size(); i++)
        EXPECT_EQ(beat[i], i % 2 == 0 ? "0x420B 81" : "0x420C 81");
}

TEST(Startup, SpxMakerKeepsTheOtherSoftwaresMarkersAndMissingGpioIsReported) {
    reset_root(false);
    set_network(1);
    write_param({{"#001#", "GIEGLAN"}, {"#005#", "SPX"}, {"#100#", "RS232"}, {"#102#", "9600"}});
    write_file(root(DATA + "/BE2"), "");
    write_file(root(DATA + "/BTP4"), "");
    Proc p = spawn(concentrator_bin(), {}, out_file("startup_spx"));
    ASSERT_TRUE(wait_until([&] { return exists(root(DATA + "/log/periph1info.txt")); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    p.stop();
    std::string out = p.output();
    EXPECT_TRUE(exists(root(DATA + "/BE2")));
    EXPECT_TRUE(exists(root(DATA + "/BTP4")));
    EXPECT_NE(out.find("Error whilst opening /dev/gpio"), std::string::npos);
    EXPECT_NE(out.find("PERIPH DE COM PAS PRET"), std::string::npos) << "no ttyS2 in the sandbox";
    EXPECT_NE(out.find(">> Détection OPA "), std::string::npos);
    EXPECT_EQ(lines_of(read_file(root(DATA + "/log/periph1info.txt")))[6], "\t" + root("/dev/ttyS2"));
}

} // namespace
