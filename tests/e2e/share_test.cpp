// The PC's share as a station really has it: a Samba server on 127.0.0.1 mounted on the
// sandbox's /mnt/GIEGLAN through a FUSE SMB client, checked by the packaged network
// check, the real dev-build concentrator against the simulated hub. The GIEGLAN and
// OTCLAN roads over it; an order file the PC's program holds open, and the share
// unmounted under the box, withdraw nothing; the PC switched off, then hanging, while
// results arrive: every result reaches the PC once and whole, no vehicle is withdrawn,
// and the liveness file never stalls.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cryOTC.h"
#include "roadtest.h"
#include "smbshare.h"

using boxtest::root;
using equipsim::pad;
using std::chrono::steady_clock;

namespace {

const std::string DATA = "/home/KELDRAN/DATA";

#define SKIP_WITHOUT_SHARE()                                                                     \
    do {                                                                                         \
        const std::string why = smbshare::unavailable();                                         \
        if (!why.empty()) GTEST_SKIP() << "no real share on this machine: " << why;              \
    } while (0)

// Writes a file as the PC's program does: whole under a hidden name, then renamed.
void pc_writes(const smbshare::Share &pc, const std::string &rel, const std::string &text) {
    const std::string path = pc.pc_dir(rel), tmp = pc.pc_dir("/.pc.tmp");
    boxtest::write_file(tmp, text);
    rename(tmp.c_str(), path.c_str());
}

std::string gieglan_order(const std::string &plate) {
    return "[VEHICULE]\r\n0200=" + plate + "\r\n0204=ES\r\n[CRC]\r\n0200=0\r\n";
}

// Watches the liveness file: the longest time it kept one value.
struct Liveness {
    std::atomic<bool> stop{false};
    std::atomic<long long> longest_ms{0};
    std::thread t;
    Liveness() {
        t = std::thread([this] {
            const std::string path = root(DATA + "/watch_dog");
            std::string last = boxtest::read_file(path);
            auto since = steady_clock::now();
            while (!stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                std::string now = boxtest::read_file(path);
                auto at = steady_clock::now();
                long long held =
                    std::chrono::duration_cast<std::chrono::milliseconds>(at - since).count();
                if (held > longest_ms) longest_ms = held;
                if (!now.empty() && now != last) {
                    last = now;
                    since = at;
                }
            }
        });
    }
    ~Liveness() {
        stop = true;
        t.join();
    }
};

// How many times the link log says the file was delivered.
int deliveries(const std::string &share_path) {
    const std::string log = boxtest::read_file(root(DATA + "/log/log.txt"));
    const std::string line = "Ecriture du fichier " + share_path + "\r\n";
    int n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        n++;
    return n;
}

bool result_whole(const std::string &text, const std::string &plate) {
    return text.rfind("[MESURES]\r\n", 0) == 0 && text.find("\r\n0200=" + plate) != std::string::npos &&
           text.find("\r\n[CRC]\r\n") != std::string::npos &&
           text.size() > 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

// A station with a hub and its gas analyser, its share the PC's real one (checked by the
// packaged network check), with the directories of the protocol on the PC.
struct RealShare : ::testing::Test {
    equipsim::Sim sim{roadtest::hub("G")};
    std::unique_ptr<smbshare::Share> share;
    void station(const char *protocol, std::initializer_list<const char *> dirs) {
        roadtest::prepare(protocol, "KELDRAN", sim.listen_tcp(0));
        share = std::make_unique<smbshare::Share>();
        ASSERT_TRUE(share->up()) << share->error();
        share->use_packaged_check();
        for (const char *d : dirs)
            mkdir(share->pc_dir(d).c_str(), 0777);
    }
};

TEST_F(RealShare, GieglanRoadWithAnOrderHeldOpenByThePcAndTheShareUnmounted) {
    SKIP_WITHOUT_SHARE();
    ASSERT_NO_FATAL_FAILURE(station("GIEGLAN", {"/CG", "/RES", "/ID"}));
    smbshare::Share &pc = *share;
    pc_writes(pc, "/CG/K1.CG", gieglan_order("P1"));
    pc_writes(pc, "/CG/K2.CG", gieglan_order("P2"));
    boxtest::Proc box = roadtest::start_box("share_gieglan");
    ASSERT_TRUE(boxtest::wait_until(
        [&] { return roadtest::sent(sim, "K1") && roadtest::sent(sim, "K2"); }, 40000))
        << box.output();

    sim.add_result(roadtest::key10("K1"), roadtest::gas_result("P1", 1));
    ASSERT_TRUE(boxtest::wait_until([&] { return boxtest::exists(pc.pc_dir("/RES/K1.G")); }, 30000))
        << box.output();
    EXPECT_TRUE(result_whole(boxtest::read_file(pc.pc_dir("/RES/K1.G")), "P1"));
    EXPECT_FALSE(boxtest::list_dir(pc.pc_dir("/ID")).empty()) << "identification file";

    // the PC's program holds K2's order open: its open fails on the box (the share's
    // client answers EIO), the reading keeps the order; K1's order removed meanwhile is
    // withdrawn by that same reading
    ASSERT_TRUE(pc.hold("CG/K2.CG"));
    boxtest::remove_file(pc.pc_dir("/CG/K1.CG"));
    ASSERT_TRUE(boxtest::wait_until([&] { return roadtest::withdrawn(sim, "K1"); }, 20000))
        << box.output();
    const std::string held = "K2.CG introuvable1.";
    ASSERT_TRUE(boxtest::wait_until([&] { return box.output().find(held) != std::string::npos; },
                                    15000))
        << box.output();
    sleep(6); // one more reading while it is held
    pc.release();
    EXPECT_FALSE(roadtest::withdrawn(sim, "K2")) << box.output();

    // the share unmounted under the box (the clock taken again long since after the
    // result, the hub is polled): nothing is withdrawn, a result taken meanwhile waits and
    // arrives once the share is back
    pc.unmount();
    sim.add_result(roadtest::key10("K2"), roadtest::gas_result("P2", 2));
    ASSERT_TRUE(roadtest::outbox_waiting(1, 20000)) << box.output();
    sleep(6); // a reading with the share away
    EXPECT_FALSE(roadtest::withdrawn(sim, "K2"));
    EXPECT_FALSE(boxtest::exists(pc.pc_dir("/RES/K2.G")));
    pc.mount();
    ASSERT_TRUE(boxtest::wait_until([&] { return boxtest::exists(pc.pc_dir("/RES/K2.G")); }, 20000))
        << box.output();
    EXPECT_TRUE(result_whole(boxtest::read_file(pc.pc_dir("/RES/K2.G")), "P2"));
    ASSERT_TRUE(roadtest::outbox_waiting(0, 10000));
    EXPECT_EQ(deliveries(root("/" "/mnt/GIEGLAN/RES/K2.G")), 1);
    EXPECT_FALSE(roadtest::withdrawn(sim, "K2"));
    box.stop();
}

// An OTCLAN order file sealed by its fingerprint over the text and "EMPREINTE=".
std::string ci_file(const std::string &plate) {
    std::string image = "[VEHICULE]\r\nC001=" + plate +
                        "\r\nC002=01012020\r\nC003=ES\r\nC004=A\r\nC005=O\r\n[CRC]\r\nEMPREINTE=";
    char hash[41];
    CalSha1(image.c_str(), hash);
    return image + hash + "\r\n";
}

TEST_F(RealShare, OtclanRoadDeliversTheSealedFileAsTheBoxKeptIt) {
    SKIP_WITHOUT_SHARE();
    ASSERT_NO_FATAL_FAILURE(station("OTCLAN", {"/CI", "/RES", "/SYNC"}));
    smbshare::Share &pc = *share;
    pc_writes(pc, "/CI/AB123CD.CI", ci_file("AB123CD"));
    boxtest::Proc box = roadtest::start_box("share_otclan");
    const std::string key = pad("AB123CD", 10);
    ASSERT_TRUE(boxtest::wait_until([&] { return roadtest::has_vehicle(sim, key); }, 40000))
        << box.output();
    const std::string stamp = "06122026153000";
    sim.add_result(key, {{"0200", pad("AB123CD", 11)}, {"7009", stamp}, {"0502", "00.1"},
                         {"0504", "14.20"}, {"0513", stamp}});
    const std::string on_pc = pc.pc_dir("/RES/AB123CD.G");
    ASSERT_TRUE(roadtest::wait_files({on_pc}, 30000)) << box.output();
    const std::string local = boxtest::read_file(root(DATA + "/log/RES/AB123CD.G"));
    EXPECT_NE(local.find("EMPREINTE="), std::string::npos) << local;
    EXPECT_EQ(boxtest::read_file(on_pc), local) << "byte for byte the file the box sealed";
    EXPECT_TRUE(boxtest::exists(pc.pc_dir("/CI/AB123CD.CI")));
    box.stop();
}

TEST_F(RealShare, PcSwitchedOffThenHangingLosesNoResultWithdrawsNothingAndNeverHoldsTheLoop) {
    SKIP_WITHOUT_SHARE();
    ASSERT_NO_FATAL_FAILURE(station("GIEGLAN", {"/CG", "/RES", "/ID"}));
    smbshare::Share &pc = *share;
    for (const char *v : {"V1", "V2", "V3"})
        pc_writes(pc, std::string("/CG/") + v + ".CG", gieglan_order(std::string("P") + v));
    boxtest::Proc box = roadtest::start_box("share_outage");
    ASSERT_TRUE(boxtest::wait_until(
        [&] {
            return roadtest::sent(sim, "V1") && roadtest::sent(sim, "V2") && roadtest::sent(sim, "V3");
        },
        40000))
        << box.output();
    Liveness live;

    // switched off: the result taken meanwhile waits on the box
    pc.switch_off();
    sim.add_result(roadtest::key10("V1"), roadtest::gas_result("PV1", 1));
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 15000));
    ASSERT_TRUE(roadtest::outbox_waiting(1, 15000)) << box.output();
    sleep(6); // a reading with the PC off
    sim.clear_frames();
    pc.switch_on();
    const std::string v1 = pc.pc_dir("/RES/V1.G");
    ASSERT_TRUE(boxtest::wait_until([&] { return boxtest::exists(v1); }, 30000)) << box.output();
    EXPECT_TRUE(result_whole(boxtest::read_file(v1), "PV1"));

    // hanging (once the clock has been taken again after the result): the network check
    // answers within its bound whatever its probe does, the loop goes on, the result
    // taken meanwhile waits and goes once the PC answers again
    ASSERT_TRUE(sim.wait_code("0130", 30000)) << box.output();
    pc.freeze();
    sim.add_result(roadtest::key10("V2"), roadtest::gas_result("PV2", 2));
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 15000));
    auto t0 = steady_clock::now();
    int check = system(("sh '" SOURCE_DIR "/packaging/testNetwork.sh' '" +
                        root("/mnt/GIEGLAN") + "' >/dev/null 2>&1")
                           .c_str());
    EXPECT_NE(check, 0) << "a PC that hangs is no usable share";
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(6));
    ASSERT_TRUE(roadtest::outbox_waiting(1, 15000)) << box.output();
    // a check that does not see the hang (it answers 0 whatever the share does): the work
    // that follows it is held inside the share, given up at its deadline, and the loop
    // goes on without it
    boxtest::set_network(0);
    EXPECT_TRUE(boxtest::wait_until(
        [&] { return box.output().find("hors delai") != std::string::npos; }, 20000))
        << "a job held by the share is given up\n" << box.output();
    sleep(3);
    pc.use_packaged_check();
    pc.thaw();
    const std::string v2 = pc.pc_dir("/RES/V2.G");
    ASSERT_TRUE(boxtest::wait_until([&] { return boxtest::exists(v2); }, 60000)) << box.output();
    EXPECT_TRUE(result_whole(boxtest::read_file(v2), "PV2"));
    ASSERT_TRUE(roadtest::outbox_waiting(0, 10000));

    EXPECT_EQ(deliveries(root("/" "/mnt/GIEGLAN/RES/V1.G")), 1);
    EXPECT_EQ(deliveries(root("/" "/mnt/GIEGLAN/RES/V2.G")), 1);
    EXPECT_TRUE(sim.withdrawn().empty()) << "every order stayed on the share";
    EXPECT_LE(live.longest_ms.load(), 3000) << "the liveness file stalled";
    box.stop();
}

} // namespace
