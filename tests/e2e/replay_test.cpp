// The bench's replay against the real dev-build concentrator. The link log of a GIEGLAN road
// recorded here is played back to a fresh box, which writes the same result file, byte for
// byte, and the decoder tells the vehicle's road from that log; the same log with the
// equipment's acknowledgement of the vehicle taken out makes the box send the vehicle again
// and the replay tell that the recording left it unanswered. The README's example runs as
// written and gives the result file of the capture kept in the repository.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "roadtest.h"

using boxtest::root;

namespace {

const std::string RES = "/mnt/GIEGLAN/RES/K0001.G";
const std::string LOG = "/home/KELDRAN/DATA/log/log.txt";

struct Recording {
    std::string log, result, order;
};

// A GIEGLAN road: a hub with a gas analyser whose result is ready at once, one order. The
// recording goes on until the box has sent the vehicle again for its next test (the order
// stays on the share) and taken the acknowledgement.
Recording record() {
    equipsim::Options o = roadtest::hub("G");
    o.auto_results = true;
    equipsim::Sim sim(o);
    roadtest::prepare("GIEGLAN", "KELDRAN", sim.listen_tcp(0));
    roadtest::put_order("K0001", "AB123CD");
    boxtest::Proc box = roadtest::start_box("replay_record");
    Recording r;
    EXPECT_TRUE(roadtest::wait_files({root(RES)}, 30000)) << box.output();
    EXPECT_TRUE(boxtest::wait_until(
        [&] {
            r.log = boxtest::read_file(root(LOG));
            size_t again = r.log.find("\x02" "0120");
            if (again != std::string::npos) again = r.log.find("\x02" "0120", again + 1);
            return again != std::string::npos && r.log.find("RECEIVE: ", again) != std::string::npos;
        },
        15000))
        << r.log;
    box.stop();
    r.log = boxtest::read_file(root(LOG));
    r.result = boxtest::read_file(root(RES));
    r.order = boxtest::read_file(root("/mnt/GIEGLAN/CG/K0001.CG"));
    // kept for the README's capture (tools/captures/gieglan-road)
    const std::string keep = std::string(BINARY_DIR) + "/replay-capture";
    mkdir(keep.c_str(), 0755);
    boxtest::write_file(keep + "/log.txt", r.log);
    boxtest::write_file(keep + "/K0001.G", r.result);
    boxtest::write_file(keep + "/K0001.CG", r.order);
    return r;
}

// Plays log to a fresh box with the recording's order; the result file it writes ("" when
// none within the wait) and the replay's report.
std::string replay(const Recording &r, const std::string &log, const std::string &name,
                   std::string *report) {
    equipsim::Options o;
    o.replay = std::make_shared<equipsim::Replay>(equipsim::read_log(log));
    equipsim::Sim sim(o);
    roadtest::prepare("GIEGLAN", "KELDRAN", sim.listen_tcp(0));
    roadtest::put_order("K0001", "AB123CD");
    EXPECT_EQ(boxtest::read_file(root("/mnt/GIEGLAN/CG/K0001.CG")), r.order);
    boxtest::Proc box = roadtest::start_box(name);
    const bool written = roadtest::wait_files({root(RES)}, 40000);
    EXPECT_TRUE(written) << box.output();
    box.stop();
    sim.stop();
    *report = sim.replay_report();
    return written ? boxtest::read_file(root(RES)) : "";
}

std::string run(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

TEST(Replay, RecordedRoadGivesTheSameResultFileAndAMissingAnswerIsTold) {
    const Recording r = record();
    ASSERT_FALSE(r.result.empty());

    std::string report;
    EXPECT_EQ(replay(r, r.log, "replay_same", &report), r.result);
    EXPECT_NE(report.find("(0 different, 0 unanswered"), std::string::npos) << report;
    EXPECT_EQ(report.find("  different "), std::string::npos) << report;

    // The decoder's road of the vehicle, from the recorded log.
    const std::string log = std::string(BINARY_DIR) + "/replay-capture/log.txt";
    const std::string roads = run(std::string(LOGDECODE_BIN) + " --vehicles '" + log + "'");
    EXPECT_NE(roads.find("K0001      AB123CD       sent "), std::string::npos) << roads;
    EXPECT_NE(roads.find("acknowledged +0 s  result "), std::string::npos) << roads;
    EXPECT_NE(roads.find(" s: K0001.G\n"), std::string::npos) << roads;
    EXPECT_NE(roads.find("vehicles: 2 sent, 1 results taken, 1 delivered, 0 waiting\n"), std::string::npos)
        << roads;

    // Without the acknowledgement of the vehicle's first sending, the box waits for it and
    // sends the vehicle again, which the recorded second sending answers.
    const size_t at = r.log.find("\x02" "0120");
    ASSERT_NE(at, std::string::npos);
    const size_t sent_at = r.log.rfind("SEND:", at);
    const size_t ack = r.log.find("\r\n", at) + 2, ack_end = r.log.find("\r\n", ack) + 2;
    ASSERT_EQ(r.log.compare(ack, 9, "RECEIVE: "), 0);
    const std::string cut = r.log.substr(0, ack) + r.log.substr(ack_end);
    EXPECT_EQ(replay(r, cut, "replay_missing", &report), r.result);
    const std::string stamp = r.log.substr(sent_at + 5, 19);
    EXPECT_NE(report.find("  unanswered  " + stamp.substr(0, 8) + " " + stamp.substr(11) +
                          "  bench "),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("<STX>0120K0001     <ETB>0200AB123CD   "), std::string::npos) << report;
}

// The first "```sh" block of the README's section on the bench.
std::string readme_example() {
    const std::string readme = boxtest::read_file(std::string(SOURCE_DIR) + "/README.md");
    size_t at = readme.find("\n## Reproducing a station's problem on the bench\n");
    if (at == std::string::npos) return "";
    at = readme.find("\n```sh\n", at);
    if (at == std::string::npos) return "";
    at += 7;
    return readme.substr(at, readme.find("\n```\n", at) + 1 - at);
}

TEST(Replay, ReadmeExampleGivesTheResultFileOfTheCapture) {
    // the example lays out and uses the dev build's sandbox
    if (root() != std::string(SOURCE_DIR) + "/build/dev/root")
        GTEST_SKIP() << "the example runs the dev build; this build's sandbox is " << root();
    const std::string example = readme_example();
    ASSERT_NE(example.find("--replay"), std::string::npos) << example;
    boxtest::Proc p = boxtest::spawn("/bin/bash", {"-c", "cd '" SOURCE_DIR "' && " + example},
                                     std::string(BINARY_DIR) + "/e2e_replay_readme.out");
    ASSERT_EQ(p.wait_exit(90000), 0) << p.output();
    const std::string capture = boxtest::read_file(std::string(SOURCE_DIR) + "/tools/captures/gieglan-road/K0001.G");
    ASSERT_FALSE(capture.empty());
    EXPECT_EQ(boxtest::read_file(root(RES)), capture) << p.output();
    EXPECT_NE(p.output().find("the same result file as the recording"), std::string::npos) << p.output();
}

} // namespace
