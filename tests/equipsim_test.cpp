// The equipment simulator, driven as the concentrator drives equipment: requests written on a
// real loopback TCP connection or a real pseudo-terminal, answers read back byte by byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "boxtest.h"
#include "equipsim.h"
#include "internal.h"

using equipsim::build_frame;
using equipsim::Frame;
using equipsim::Record;
using equipsim::Sim;

namespace {

const std::string STX = "\x02", ETX = "\x03", EOT = "\x04", ETB = "\x17";

Frame as_frame(const std::string &raw) { return Frame{raw, false, 0, false}; }

// The concentrator's end of the link, played by the test.
struct BoxEnd {
    int fd = -1;
    std::string in;
    ~BoxEnd() {
        if (fd >= 0) close(fd);
    }
    bool connect_tcp(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool open_tty(const std::string &path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        return true;
    }
    bool put(const std::string &b) { return write(fd, b.data(), b.size()) == (ssize_t)b.size(); }
    bool request(const std::string &code, const std::string &text = "") {
        return put(build_frame({{code, text}}));
    }
    // Reads until timeout; returns the number of bytes, -1 on a read error, -2 at end of stream.
    int pull(int timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return 0;
        char b[512];
        ssize_t n = read(fd, b, sizeof b);
        if (n > 0) in.append(b, static_cast<size_t>(n));
        return n > 0 ? static_cast<int>(n) : n == 0 ? -2 : -1;
    }
    // The next whole frame STX..EOT, "" when none came within timeout_ms.
    std::string frame(int timeout_ms = 2000) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t s = in.find('\x02');
            size_t e = s == std::string::npos ? s : in.find('\x04', s);
            if (e != std::string::npos) {
                std::string f = in.substr(s, e - s + 1);
                in.erase(0, e + 1);
                return f;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now()).count();
            if (left <= 0 || pull(static_cast<int>(left)) < 0) return "";
        }
    }
    // Every frame of a multi-frame answer, each acknowledged, up to the one holding "0905".
    std::vector<std::string> sequence(int max = 20) {
        std::vector<std::string> out;
        while (max-- > 0) {
            std::string f = frame();
            if (f.empty()) break;
            out.push_back(f);
            put(build_frame({{"0900", ""}}));
            if (f.find(ETB + "0905") != std::string::npos || f.find(STX + "0905") == 0) break;
        }
        return out;
    }
};

std::vector<Record> body_of(const std::vector<std::string> &frames) {
    std::vector<Record> out;
    for (const std::string &f : frames) {
        auto r = as_frame(f).records();
        for (size_t i = 1; i < r.size(); i++)
            if (r[i].code != "0905") out.push_back(r[i]);
    }
    return out;
}

bool same(const std::vector<Record> &a, const std::vector<Record> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].code != b[i].code || a[i].text != b[i].text) return false;
    return true;
}

// The port a simulator program says it listens on (0 when it does not say so within 5 s).
int port_of(const boxtest::Proc &p) {
    int port = 0;
    boxtest::wait_until([&] {
        const std::string o = p.output(); // read once: the file grows between readings
        size_t at = o.find("127.0.0.1:");
        if (at != std::string::npos) port = atoi(o.c_str() + at + 10);
        return port > 0;
    }, 5000);
    return port;
}

std::vector<Record> many_records(int n) {
    std::vector<Record> r;
    for (int i = 0; i < n; i++) r.push_back({std::to_string(5000 + i), "V" + std::to_string(i * 7) + "-OK"});
    return r;
}

} // namespace

TEST(EquipsimFrame, BytesChecksumAndRecordsAreThoseOfTheLink) {
    EXPECT_EQ(build_frame({{"0900", ""}}), STX + "0900" + ETX + "08" + EOT);
    const std::string refusal = STX + "0904" + ETX + "0C" + EOT; // worked out by hand
    EXPECT_EQ(build_frame({{"0904", ""}}), refusal);
    EXPECT_TRUE(equipsim::checksum_holds(refusal));
    EXPECT_FALSE(equipsim::checksum_holds(STX + "0904" + ETX + "0c" + EOT)) << "lower case";
    EXPECT_FALSE(equipsim::checksum_holds(STX + "0904" + ETX + "0C" + ETX)) << "no EOT";
    EXPECT_FALSE(equipsim::checksum_holds(STX + "09" + ETX + "0C" + EOT)) << "under 9 bytes";
    EXPECT_FALSE(equipsim::checksum_holds(build_frame({{"0101", "x"}}, false)));

    Frame f = as_frame(build_frame({{"0122", "KEY1      "}, {"0500", "C"}, {"0905", ""}}));
    ASSERT_EQ(f.records().size(), 3u);
    EXPECT_EQ(f.code(), "0122");
    EXPECT_EQ(f.records()[0].text, "KEY1      ");
    EXPECT_EQ(f.records()[1].code, "0500");
    EXPECT_EQ(f.records()[1].text, "C");
    EXPECT_EQ(f.records()[2].code, "0905");
    EXPECT_EQ(equipsim::readable(f.raw.substr(0, 6) + "\r"), "<STX>0122K<0D>");
    EXPECT_EQ(equipsim::readable(build_frame({{"0900", ""}})), "<STX>0900<ETX>08<EOT>");
}

TEST(EquipsimFrame, AssemblyDropsGarbageRestartsOnStxAndRefusesShortPieces) {
    equipsim::Assembler a;
    std::vector<std::string> out;
    std::string ack = build_frame({{"0900", ""}});
    std::string s = "noise" + STX + "01" + ack + STX + "0" + EOT + ack.substr(0, 4);
    a.feed(s.data(), s.size(), out);
    ASSERT_EQ(out.size(), 1u) << "the 3-byte piece is no frame";
    EXPECT_EQ(out[0], ack);
    std::string rest = ack.substr(4);
    a.feed(rest.data(), rest.size(), out);
    ASSERT_EQ(out.size(), 2u) << "a frame split over two reads";
    EXPECT_EQ(out[1], ack);
    std::string big = STX + std::string(100, '7') + ETX + "00" + EOT;
    a.feed(big.data(), big.size(), out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].size(), 105u) << "an oversized frame is kept whole so that it can be refused";
}

TEST(EquipsimSplit, LongMessagesRepeatTheHeaderStayWithin80BytesAndEndWith0905) {
    const Record head{"0122", "AB-123-CD "};
    for (int n : {0, 1, 9, 10, 11, 30}) {
        auto body = many_records(n);
        auto frames = equipsim::split_message(head, body);
        for (size_t i = 0; i < frames.size(); i++) {
            SCOPED_TRACE("records " + std::to_string(n) + " frame " + std::to_string(i));
            EXPECT_LE(frames[i].size(), 80u);
            EXPECT_TRUE(equipsim::checksum_holds(frames[i]));
            EXPECT_EQ(frames[i].substr(0, 15), STX + "0122AB-123-CD ");
            bool has_end = frames[i].find(ETB + "0905" + ETX) != std::string::npos;
            EXPECT_EQ(has_end, i + 1 == frames.size());
        }
        EXPECT_TRUE(same(body_of(frames), body));
    }
    // A record that cannot fit behind the header is cut, never sent over 80 bytes.
    auto frames = equipsim::split_message(head, {{"0604", std::string(200, 'Z')}});
    for (const auto &f : frames) EXPECT_LE(f.size(), 80u);
    EXPECT_EQ(body_of(frames)[0].text, std::string(200, 'Z').substr(0, body_of(frames)[0].text.size()));

    // Identification: every frame opens with an item, even when the end marker needs a frame.
    std::vector<Record> items;
    for (int i = 0; i < 15; i++) items.push_back({"03" + std::string(i < 10 ? "0" : "") + std::to_string(i), std::string(20, 'A' + i)});
    for (size_t n = 1; n <= items.size(); n++) {
        std::vector<Record> some(items.begin(), items.begin() + n);
        auto fr = equipsim::split_ident(some);
        std::vector<Record> got;
        for (size_t i = 0; i < fr.size(); i++) {
            EXPECT_LE(fr[i].size(), 80u);
            EXPECT_NE(as_frame(fr[i]).code(), "0905") << n << " items, frame " << i;
            for (auto &r : as_frame(fr[i]).records())
                if (r.code != "0905") got.push_back(r);
        }
        EXPECT_NE(fr.back().find(ETB + "0905" + ETX), std::string::npos);
        EXPECT_TRUE(same(got, some)) << n << " items";
    }
    EXPECT_EQ(equipsim::split_ident({}), std::vector<std::string>{build_frame({{"0905", ""}})});
}

TEST(EquipsimLink, PeripheralListPutsItsEntriesAtBytes6_11_16) {
    Sim hub({});
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(hub.listen_tcp()));
    box.request("0100");
    std::string l = box.frame();
    ASSERT_TRUE(equipsim::checksum_holds(l)) << equipsim::readable(l);
    EXPECT_EQ(l.substr(0, 5), STX + "0101");
    EXPECT_EQ(l.substr(6, 4), "001C");
    EXPECT_EQ(l.substr(11, 4), "002G");
    EXPECT_EQ(l.substr(16, 4), "003O");
    EXPECT_EQ(l.substr(21, 4), "004P");
    EXPECT_EQ(l.substr(25, 6), ETB + "0905" + ETX);
    EXPECT_TRUE(hub.wait_code("0100", 1000));

    equipsim::Options o;
    o.hub = false;
    o.periphs = {{7, 'O', {}}};
    Sim single(o);
    BoxEnd box2;
    ASSERT_TRUE(box2.connect_tcp(single.listen_tcp()));
    box2.request("0100");
    l = box2.frame();
    EXPECT_EQ(l.substr(6, 4), "007O");
    EXPECT_EQ(l.substr(10, 6), ETB + "0905" + ETX);
}

TEST(EquipsimLink, IdentificationGoesFrameByFrameEachAwaitingTheAcknowledgement) {
    boxtest::reset_root();
    const std::string link = boxtest::root("/dev/ttyUSB0");
    equipsim::Options o;
    std::vector<Record> ident;
    const char *codes[] = {"0300", "0301", "0302", "0303", "0304", "0305", "0306", "0307", "0308",
                           "0309", "0310", "0311", "0312", "0313", "0314", "7003", "7007", "7011",
                           "7350", "7351", "7352", "7012", "7353", "7354", "7529"};
    const int sizes[] = {20, 20, 20, 20, 8, 8, 5, 5, 5, 5, 8, 8, 8, 20, 20, 15, 5, 15, 15, 5, 15, 10, 10, 15, 15};
    for (int i = 0; i < 25; i++) ident.push_back({codes[i], std::string(sizes[i], 'a' + i % 26)});
    o.periphs = {{2, 'G', ident}, {3, 'O', {}}};
    Sim sim(o);
    ASSERT_TRUE(sim.open_pty(link));
    BoxEnd box;
    ASSERT_TRUE(box.open_tty(link));

    box.request("0140", "002");
    std::string first = box.frame();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(box.frame(300), "") << "the next frame waits for the acknowledgement";
    box.put(build_frame({{"0900", ""}}));
    std::vector<std::string> all{first};
    for (auto &f : box.sequence()) all.push_back(f);
    ASSERT_GE(all.size(), 5u);
    std::vector<Record> got;
    for (const auto &f : all) {
        EXPECT_LE(f.size(), 80u);
        EXPECT_TRUE(equipsim::checksum_holds(f));
        auto r = as_frame(f).records();
        EXPECT_TRUE(std::set<std::string>(codes, codes + 25).count(r[0].code)) << r[0].code;
        for (auto &x : r)
            if (x.code != "0905") got.push_back(x);
    }
    EXPECT_TRUE(same(got, ident));
    EXPECT_NE(all.back().find(ETB + "0905" + ETX), std::string::npos);

    // Default items of an opacimeter; without acknowledgements the frames still come, ~1 s apart.
    box.request("0140", "003");
    std::vector<std::string> def;
    for (std::string f = box.frame(); !f.empty(); f = box.frame(2500)) {
        def.push_back(f);
        if (f.find(ETB + "0905") != std::string::npos) break;
    }
    std::vector<Record> items;
    for (const auto &f : def)
        for (auto &r : as_frame(f).records())
            if (r.code != "0905") items.push_back(r);
    EXPECT_TRUE(same(items, equipsim::default_ident('O', 3)));
    bool key_ok = false;
    for (auto &r : items) {
        if (r.code == "0300") {
            EXPECT_EQ(r.text.size(), 20u);
        }
        if (r.code == "7012")
            key_ok = r.text.size() == 10 && r.text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    }
    EXPECT_TRUE(key_ok) << "a sealing key of 10 hexadecimal digits";

    box.request("0140", "009");
    EXPECT_EQ(box.frame(), build_frame({{"0905", ""}})) << "an unknown number ends the wait at once";
}

TEST(EquipsimLink, ResultsGoOutAsFramesEachOpeningWith0122AndTheKey) {
    Sim sim({});
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    auto recs = many_records(14);
    sim.add_result("AB123", recs);
    sim.add_result("ZZ999", {{"0500", "C"}});
    EXPECT_EQ(sim.results_pending(), 2);

    box.request("0121", "AB123     ");
    auto frames = box.sequence();
    ASSERT_GE(frames.size(), 3u);
    for (const auto &f : frames) {
        EXPECT_EQ(f.substr(0, 15), STX + "0122AB123     ");
        EXPECT_LE(f.size(), 80u);
    }
    EXPECT_TRUE(same(body_of(frames), recs));
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 1; }, 1000));
    box.request("0900"); // a stray acknowledgement brings nothing back
    EXPECT_EQ(box.frame(200), "");
    EXPECT_EQ(sim.results_pending(), 1);

    box.request("0121", "AB123     ");
    EXPECT_EQ(box.frame(), build_frame({{"0188", ""}})) << "nothing ready for that key";

    // A result interrupted by another request stays pending and comes again whole.
    box.request("0121", "??????????");
    std::string f1 = box.frame();
    EXPECT_EQ(f1.substr(0, 15), STX + "0122ZZ999     ");
    box.request("0100");
    EXPECT_EQ(as_frame(box.frame()).code(), "0101");
    EXPECT_EQ(sim.results_pending(), 1);
    box.request("0121", "??????????");
    auto again = box.sequence();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], f1);
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 1000));

    // A single instrument answers "0110" with "0111" frames.
    equipsim::Options o;
    o.hub = false;
    Sim one(o);
    BoxEnd box2;
    ASSERT_TRUE(box2.connect_tcp(one.listen_tcp()));
    box2.request("0110");
    EXPECT_EQ(box2.frame(), build_frame({{"0188", ""}}));
    one.add_single_result(recs);
    box2.request("0110");
    auto sf = box2.sequence();
    for (const auto &f : sf) EXPECT_EQ(as_frame(f).code(), "0111");
    EXPECT_TRUE(same(body_of(sf), recs));
}

TEST(EquipsimLink, VehicleClockAndWithdrawalFramesAreAcknowledgedAndRecorded) {
    Sim sim({});
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    const std::string ack = build_frame({{"0900", ""}});
    const std::string key = "KEY42     ";
    std::string f1 = build_frame({{"0120", key}, {"0200", "AB-123-CD "}, {"0204", "ES             "}});
    std::string f2 = build_frame({{"0120", key}, {"0201", "RENAUL"}, {"0905", ""}});
    box.put(f1);
    EXPECT_EQ(box.frame(), ack);
    box.put(f1); // sent again, as after a lost acknowledgement
    EXPECT_EQ(box.frame(), ack);
    box.put(f2);
    EXPECT_EQ(box.frame(), ack);
    auto v = sim.vehicles();
    ASSERT_EQ(v.count(key), 1u);
    EXPECT_TRUE(same(v[key], {{"0200", "AB-123-CD "}, {"0204", "ES             "}, {"0201", "RENAUL"}}));

    box.request("0130", "07122026041500");
    EXPECT_EQ(box.frame(), ack);

    sim.add_result(key, {{"0500", "C"}});
    box.request("0150", key);
    EXPECT_EQ(box.frame(), ack);
    EXPECT_EQ(sim.withdrawn(), std::vector<std::string>{key});
    EXPECT_EQ(sim.vehicles().count(key), 0u);
    EXPECT_EQ(sim.results_pending(), 0);

    // Acknowledgements and refusals from the box are never answered; "0174" is only recorded.
    for (const char *c : {"0900", "0902", "0904", "0174"}) box.request(c);
    EXPECT_EQ(box.frame(300), "");
    EXPECT_EQ(sim.count_code("0174"), 1);
    EXPECT_EQ(sim.count_code("0120"), 3);

    sim.set_ack(false);
    box.request("0130", "07122026041500");
    EXPECT_EQ(box.frame(300), "");
}

TEST(EquipsimLink, BadChecksumIsRefusedAndARefusedResultFrameGoesOutAgain) {
    Sim sim({});
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    box.put(build_frame({{"0100", ""}}, false));
    EXPECT_EQ(box.frame(), build_frame({{"0904", ""}}));
    Frame rec;
    ASSERT_TRUE(sim.wait_code("0100", 1000, &rec));
    EXPECT_FALSE(rec.csum_ok);
    EXPECT_TRUE(rec.from_box);
    box.put(build_frame({{"0100", std::string(80, 'x')}})); // its checksum holds
    EXPECT_EQ(box.frame(), build_frame({{"0904", ""}})) << "a frame over 80 bytes is refused";

    sim.add_result("K1", many_records(8));
    sim.corrupt_next(1);
    box.request("0121", "K1        ");
    std::string bad = box.frame();
    EXPECT_FALSE(equipsim::checksum_holds(bad));
    box.request("0904");
    std::string good = box.frame();
    EXPECT_TRUE(equipsim::checksum_holds(good));
    EXPECT_EQ(good.substr(0, bad.size() - 3), bad.substr(0, bad.size() - 3)) << "the same frame again";
    box.request("0900");
    auto rest = box.sequence();
    rest.insert(rest.begin(), good);
    EXPECT_TRUE(same(body_of(rest), many_records(8)));
}

TEST(EquipsimLink, AutoResultCarriesThePlateAndEachInstrumentsMeasures) {
    equipsim::Options o;
    o.auto_results = true;
    o.result_delay_ms = 300;
    Sim sim(o);
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    box.put(build_frame({{"0120", "ORD7      "}, {"0200", "GH-456-JK "}, {"0905", ""}}));
    EXPECT_EQ(as_frame(box.frame()).code(), "0900");
    box.request("0121", "??????????");
    EXPECT_EQ(box.frame(), build_frame({{"0188", ""}})) << "not ready before the delay";
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    box.request("0121", "??????????");
    auto frames = box.sequence();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].substr(0, 15), STX + "0122ORD7      ");
    auto recs = body_of(frames);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0].code, "0200");
    EXPECT_EQ(recs[0].text, "GH-456-JK ");
    std::set<std::string> codes;
    size_t stored = 0;
    for (auto &r : recs) {
        codes.insert(r.code);
        stored += 5 + r.text.size();
        if (r.code == "0513" || r.code == "0543" || r.code == "0494") {
            EXPECT_EQ(r.text.size(), 14u) << r.code;
        }
    }
    for (const char *c : {"0501", "0504", "0513", "0531", "0536", "0543", "0490", "0493", "0494"})
        EXPECT_TRUE(codes.count(c)) << c;
    EXPECT_LT(stored, 399u);
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 1000));
}

TEST(EquipsimMisbehaviour, SilenceSubstitutesDelaysAndInjectionsDoWhatTheySay) {
    Sim sim({});
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    sim.set_silent(true);
    box.request("0100");
    EXPECT_EQ(box.frame(300), "");
    EXPECT_EQ(sim.count_code("0100"), 1) << "recorded even when silent";
    sim.set_silent(false);

    sim.reply_next_with("0902");
    box.put(build_frame({{"0120", "K2        "}, {"0905", ""}}));
    EXPECT_EQ(box.frame(), build_frame({{"0902", ""}}));
    EXPECT_EQ(sim.vehicles().count("K2        "), 0u) << "a refused frame is not acted upon";
    box.request("0130", "x");
    EXPECT_EQ(as_frame(box.frame()).code(), "0900") << "only the next request";

    sim.set_delay_ms(500);
    box.request("0100");
    EXPECT_EQ(box.frame(250), "");
    EXPECT_EQ(as_frame(box.frame(2000)).code(), "0101");
    sim.set_delay_ms(0);

    sim.send_raw("garbage" + STX);
    box.pull(1000);
    EXPECT_NE(box.in.find("garbage" + STX), std::string::npos);
    box.in.clear();
    sim.send_frame({{"0099", ""}});
    EXPECT_EQ(box.frame(), build_frame({{"0099", ""}}));
    auto all = sim.frames();
    ASSERT_FALSE(all.empty());
    EXPECT_FALSE(all.back().from_box);
    EXPECT_EQ(all.back().code(), "0099");
    sim.clear_frames();
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_FALSE(sim.wait_code("0100", 50));
}

TEST(EquipsimLink, ADroppedConnectionIsFollowedByANewOne) {
    Sim sim({});
    int port = sim.listen_tcp();
    BoxEnd a;
    ASSERT_TRUE(a.connect_tcp(port));
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.connected(); }, 1000));
    sim.drop_connection();
    EXPECT_FALSE(sim.connected());
    EXPECT_EQ(a.pull(1000), -2) << "the box sees the end of the stream";
    BoxEnd b;
    ASSERT_TRUE(b.connect_tcp(port));
    b.request("0100");
    EXPECT_EQ(as_frame(b.frame()).code(), "0101");
}

TEST(EquipsimLink, AVanishedPtyFailsTheNextReadAndComesBackUnderAnotherName) {
    boxtest::reset_root();
    const std::string usb0 = boxtest::root("/dev/ttyUSB0"), usb1 = boxtest::root("/dev/ttyUSB1");
    boxtest::write_file(usb1, "not a link");
    Sim sim({});
    EXPECT_FALSE(sim.open_pty(usb1)) << "only a link is ever replaced";
    boxtest::remove_file(usb1);
    ASSERT_TRUE(sim.open_pty(usb0));
    ASSERT_TRUE(sim.open_pty(usb0)) << "its own older link is replaced";
    BoxEnd box;
    ASSERT_TRUE(box.open_tty(usb0));
    box.request("0100");
    EXPECT_EQ(as_frame(box.frame()).code(), "0101");

    sim.vanish();
    struct stat st;
    EXPECT_NE(lstat(usb0.c_str(), &st), 0) << "the link is gone";
    EXPECT_LT(box.pull(500), 0) << "reading the old device fails";
    EXPECT_FALSE(box.request("0100")) << "writing to it fails";

    ASSERT_TRUE(sim.reappear(usb1));
    BoxEnd again;
    ASSERT_TRUE(again.open_tty(usb1));
    again.request("0100");
    EXPECT_EQ(as_frame(again.frame()).code(), "0101");
    sim.stop();
    EXPECT_NE(lstat(usb1.c_str(), &st), 0) << "stopping removes the link";
}

TEST(EquipsimCli, ExplainsItselfAndPlaysAHubOverTcpUntilSigterm) {
    const std::string out = boxtest::root("/equipsim.out");
    boxtest::reset_root();
    {
        boxtest::Proc help = boxtest::spawn(EQUIPSIM_BIN, {"--help"}, out);
        EXPECT_EQ(help.wait_exit(5000), 0);
        std::string h = help.output();
        for (const char *w : {"--tcp", "--pty", "--hub", "--single", "--periph", "--auto-results",
                              "--result-delay", "0188", "ttyUSB0", "--replay LOG", "--timing",
                              "e.g. --bad-checksum", "e.g. --silence", "e.g. --drop-every",
                              "e.g. --vanish-every", "e.g. --garbage", "e.g. --cut-result",
                              "e.g. --delay", "--for"})
            EXPECT_NE(h.find(w), std::string::npos) << w;
    }
    boxtest::Proc p = boxtest::spawn(EQUIPSIM_BIN, {"--tcp", "0", "--periph", "G,P"}, out);
    const int port = port_of(p);
    ASSERT_GT(port, 0) << p.output();
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(port));
    box.request("0100");
    std::string l = box.frame();
    EXPECT_EQ(l.substr(11, 4), "002G");
    EXPECT_EQ(l.substr(16, 4), "003P");
    EXPECT_TRUE(boxtest::wait_until([&] { return p.output().find("<STX>0101<ETB>001C") != std::string::npos; }, 2000))
        << p.output();
    EXPECT_NE(p.output().find("box --> sim  <STX>0100<ETX>"), std::string::npos);
    EXPECT_EQ(p.stop(), 0);
    EXPECT_NE(p.output().find("stopped by SIGTERM"), std::string::npos);
}

// ---- the link log read back, and its replay ----

namespace {

// A line of the link log as the box writes it.
std::string logged(const char *prefix, const std::string &stamp, const std::string &text) {
    return prefix + stamp + ":  " + text + "\r\n";
}
std::string sent_at(const std::string &hms, const std::string &frame) {
    return logged("SEND:", "06/12/26 - " + hms, frame);
}
std::string got_at(const std::string &hms, const std::string &frame) {
    return logged("RECEIVE: ", "06/12/26 - " + hms, frame);
}

const std::string ACK = build_frame({{"0900", ""}});
const std::string POLL = build_frame({{"0121", "??????????"}});
const std::string POLL_K1 = build_frame({{"0121", "K1        "}});
const std::string LIST = build_frame({{"0101", ""}, {"001C", ""}, {"002G", ""}, {"0905", ""}});
const std::string NOTHING = build_frame({{"0188", ""}});
const std::string RES1 = build_frame({{"0122", "K1        "}, {"0200", "AB123     "}});
const std::string RES2 = build_frame({{"0122", "K1        "}, {"0501", "012"}, {"0905", ""}});
const std::string CALL = build_frame({{"0099", ""}});

std::string vehicle(const std::string &plate) {
    return build_frame({{"0120", "K1        "}, {"0200", equipsim::pad(plate, 10)}, {"0905", ""}});
}
std::string clock_frame(const std::string &date) { return build_frame({{"0130", date}}); }

// A hub's dialogue: the list, the clock (answered, then called), a poll with nothing, the
// vehicle, a poll whose result comes 2 s later in two frames, and a poll by key that the
// equipment never answered.
const std::string DIALOGUE =
    sent_at("10:00:00", build_frame({{"0100", ""}})) + got_at("10:00:00", LIST) +
    sent_at("10:00:00", ACK) +
    sent_at("10:00:01", clock_frame("06122026100001")) + got_at("10:00:01", ACK) +
    got_at("10:00:01", CALL) +
    sent_at("10:00:05", POLL) + got_at("10:00:05", NOTHING) +
    sent_at("10:00:05", ACK) +
    sent_at("10:00:07", vehicle("AB123")) + got_at("10:00:07", ACK) +
    sent_at("10:00:10", POLL) + got_at("10:00:12", RES1) +
    sent_at("10:00:12", ACK) + got_at("10:00:12", RES2) +
    sent_at("10:00:12", ACK) +
    sent_at("10:00:15", POLL_K1);

std::vector<std::string> bytes_of(const std::vector<equipsim::Answer> &a) {
    std::vector<std::string> out;
    for (const auto &x : a) out.push_back(x.bytes);
    return out;
}
std::vector<int> delays_of(const std::vector<equipsim::Answer> &a) {
    std::vector<int> out;
    for (const auto &x : a) out.push_back(x.delay_ms);
    return out;
}

} // namespace

TEST(EquipsimLinkLog, EveryByteBelongsToOneEntryWhateverTheFramesHold) {
    // a received frame holding CR LF of its own, purged bytes holding an LF alone
    const std::string odd = build_frame({{"0122", "K1        "}, {"0501", "1\r\n2"}, {"0905", ""}});
    const std::string log = "0:00:  the end of a line cut by the copy\r\n" +
                            logged("SEND:", "06/12/26 - 10:30:00", POLL) +
                            logged("RECEIVE: ", "06/12/26 - 10:30:01", odd) +
                            logged("PURGE:", "06/12/26 - 10:30:02", "zz\nyy") +
                            logged("INFO: ", "06/12/26 - 10:30:03", "Ecriture du fichier /mnt/x.G") +
                            logged("SEND:", "31/02/26 - 10:30:04", ACK) + // no such day
                            "SEND:29/02/28 - 23:59:59:  " + ACK + "\n" +  // LF alone; a leap day
                            "RECEIVE: 01/03/28 - 00:00:00:  " + STX + "0122K1"; // cut short
    const auto e = equipsim::read_log(log);
    ASSERT_EQ(e.size(), 8u);
    using K = equipsim::LogKind;
    const K kinds[] = {K::Other, K::Send, K::Receive, K::Purge, K::Info, K::Other, K::Send, K::Receive};
    const std::string texts[] = {"0:00:  the end of a line cut by the copy", POLL, odd, "zz\nyy",
                                 "Ecriture du fichier /mnt/x.G", "SEND:31/02/26 - 10:30:04:  " + ACK,
                                 ACK, STX + "0122K1"};
    const size_t lines[] = {1, 2, 3, 5, 7, 8, 9, 10};
    size_t at = 0;
    for (size_t i = 0; i < e.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(e[i].kind, kinds[i]);
        EXPECT_EQ(e[i].text, texts[i]);
        EXPECT_EQ(e[i].line, lines[i]);
        EXPECT_EQ(e[i].begin, at) << "no byte left out";
        at = e[i].end;
    }
    EXPECT_EQ(at, log.size());
    EXPECT_EQ(e[1].stamp, "06/12/26 - 10:30:00");
    EXPECT_EQ(e[7].t - e[6].t, 1) << "29 February 2028 is followed by 1 March";
    EXPECT_EQ(e[2].t - e[1].t, 1);
    EXPECT_EQ(equipsim::format_stamp(e[6].t), "29/02/28 - 23:59:59");
    long long t;
    EXPECT_FALSE(equipsim::parse_stamp("29/02/27 - 10:00:00", &t));
    EXPECT_FALSE(equipsim::parse_stamp("06/12/26 - 24:00:00", &t));

    // a log being followed: byte by byte, the same entries
    equipsim::LogReader r;
    std::vector<equipsim::LogEntry> one;
    for (char c : log) r.feed(&c, 1, one);
    EXPECT_EQ(one.size(), 6u) << "held back: the line ended by an LF alone (the next line might "
                                 "have been its text) and the cut one";
    r.finish(one);
    ASSERT_EQ(one.size(), e.size());
    for (size_t i = 0; i < e.size(); i++) EXPECT_EQ(one[i].text, e[i].text) << i;
}

TEST(EquipsimReplay, AnswersByCodeAndKeyInRecordedOrderAndTellsWhatDiffers) {
    const auto log = equipsim::read_log(DIALOGUE);
    equipsim::Replay r(log);
    EXPECT_NE(r.loaded().find("10 frames of the box, 7 of the equipment"), std::string::npos)
        << r.loaded();
    using V = std::vector<std::string>;
    auto play = [&](const std::string &f, bool silenced = false) {
        return bytes_of(r.answer(f, "11:00:00.000", silenced));
    };
    EXPECT_EQ(play(build_frame({{"0100", ""}})), V{LIST});
    EXPECT_EQ(play(ACK), V{});
    EXPECT_EQ(play(clock_frame("07122026113000")), (V{ACK, CALL})) << "whatever the date";
    EXPECT_EQ(play(POLL), V{NOTHING});
    EXPECT_EQ(play(ACK), V{});
    // this box polls again before sending the vehicle: the second poll's answer comes
    EXPECT_EQ(play(POLL), V{RES1});
    EXPECT_EQ(play(ACK), V{RES2}) << "an acknowledgement belongs to the exchange under way";
    EXPECT_EQ(play(ACK), V{});
    EXPECT_FALSE(r.played_out());
    EXPECT_EQ(play(vehicle("ZZ999")), V{ACK}) << "matched by its key, its plate differs";
    EXPECT_TRUE(r.played_out());
    EXPECT_EQ(play(POLL_K1), V{}) << "never answered in the recording";
    EXPECT_EQ(play(build_frame({{"0150", "K2        "}})), V{});
    EXPECT_EQ(play(POLL_K1), V{}) << "no second one recorded";
    EXPECT_EQ(play(build_frame({{"0100", ""}}), true), V{});
    const auto s = r.summary();
    EXPECT_EQ(s.recorded, 10);
    EXPECT_EQ(s.matched, 10);
    EXPECT_EQ(s.different, 1);
    EXPECT_EQ(s.unanswered, 1);
    EXPECT_EQ(s.missing, 0);
    EXPECT_EQ(s.extra, 3);
    const std::string rep = r.report();
    const size_t diff = rep.find("  different   06/12/26 10:00:07  bench 11:00:00.000  <STX>0120K1");
    const size_t why = rep.find("record 2: 0200 \"AB123     \" in the recording, 0200 \"ZZ999     \" "
                                "on the bench\n");
    const size_t unanswered = rep.find("  unanswered  06/12/26 10:00:15  bench 11:00:00.000  "
                                       "<STX>0121K1        <ETX>");
    const size_t extra = rep.find("  extra       bench 11:00:00.000  <STX>0150K2");
    const size_t silent = rep.find("<STX>0100<ETX>00<EOT>  (while silent on request)");
    ASSERT_NE(diff, std::string::npos) << rep;
    EXPECT_NE(rep.find("(no answer in the recording)", unanswered), std::string::npos) << rep;
    EXPECT_LT(diff, why);
    EXPECT_LT(why, unanswered) << "in recorded order";
    EXPECT_LT(unanswered, extra) << rep;
    EXPECT_LT(extra, silent) << rep;
    EXPECT_EQ(rep.find("  missing "), std::string::npos) << rep;

    // A box that stops early: what it did not send is missing, alike lines told once.
    equipsim::Replay early(log);
    early.answer(build_frame({{"0100", ""}}), "11:00:00.000");
    early.answer(ACK, "11:00:00.100");
    early.answer(clock_frame("0712202611300"), "11:00:00.200"); // a digit short
    EXPECT_EQ(early.summary().missing, 7);
    EXPECT_EQ(early.summary().different, 1);
    const std::string er = early.report();
    EXPECT_NE(er.find("record 1: 0130 \"06122026100001\" in the recording, 0130 \"0712202611300\" "
                      "on the bench"),
              std::string::npos)
        << er;
    EXPECT_NE(er.find("  missing     06/12/26 10:00:12  <STX>0900<ETX>08<EOT>  (x2, the last "
                      "06/12/26 10:00:12)\n"),
              std::string::npos)
        << er;
    EXPECT_NE(er.find("  missing     06/12/26 10:00:15  <STX>0121K1"), std::string::npos) << er;
}

TEST(EquipsimReplay, TimingKeepsTheRecordedDelaysWithinBoundsAndAnswersNeverBunch) {
    const std::string log = DIALOGUE + sent_at("10:00:20", build_frame({{"0150", "K1        "}})) +
                            got_at("09:00:00", ACK) + // the box's clock was set back meanwhile
                            sent_at("10:00:30", build_frame({{"0150", "K1        "}})) +
                            logged("RECEIVE: ", "06/12/26 - 11:00:00", ACK);
    for (bool timing : {false, true}) {
        SCOPED_TRACE(timing);
        equipsim::Replay r(equipsim::read_log(log), timing);
        EXPECT_EQ(delays_of(r.answer(clock_frame("07122026113000"), "")), (std::vector<int>{0, 400}))
            << "two answers of the same second go apart";
        r.answer(POLL, "");
        EXPECT_EQ(delays_of(r.answer(POLL, "")), std::vector<int>{timing ? 2000 : 0});
        EXPECT_EQ(delays_of(r.answer(build_frame({{"0150", "K1        "}}), "")), std::vector<int>{0});
        EXPECT_EQ(delays_of(r.answer(build_frame({{"0150", "K1        "}}), "")),
                  std::vector<int>{timing ? equipsim::Replay::MAX_DELAY_MS : 0});
    }
}

TEST(EquipsimReplay, RecordedBytesGoOutAsTheyWereAndAMissingAnswerIsReported) {
    const std::string bad_list = build_frame({{"0101", ""}, {"001C", ""}, {"002G", ""}, {"0905", ""}}, false);
    const std::string cut = STX + "0122K1  ";
    const std::string log =
        sent_at("10:00:00", build_frame({{"0100", ""}})) + got_at("10:00:00", bad_list) +
        sent_at("10:00:00", build_frame({{"0904", ""}})) + got_at("10:00:00", LIST) +
        sent_at("10:00:00", ACK) +
        sent_at("10:00:05", POLL) + logged("BAD RECEIVE: ", "06/12/26 - 10:00:05", cut) +
        sent_at("10:00:07", vehicle("AB123")) + // no answer: the box sends it again
        sent_at("10:00:11", vehicle("AB123")) + got_at("10:00:11", ACK);
    equipsim::Options o;
    o.replay = std::make_shared<equipsim::Replay>(equipsim::read_log(log));
    Sim sim(o);
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    box.request("0100");
    EXPECT_EQ(box.frame(), bad_list) << "a bad checksum as recorded";
    box.request("0904");
    EXPECT_EQ(box.frame(), LIST);
    box.put(ACK);
    box.put(POLL);
    ASSERT_TRUE(boxtest::wait_until([&] { box.pull(50); return box.in.size() >= cut.size(); }, 2000));
    EXPECT_EQ(box.in, cut) << "a frame that never ended, as recorded";
    box.in.clear();
    box.put(vehicle("AB123"));
    EXPECT_EQ(box.frame(500), "") << "the recording has no answer";
    box.put(vehicle("AB123"));
    EXPECT_EQ(box.frame(), ACK);
    sim.set_silent(true);
    box.request("0100");
    EXPECT_EQ(box.frame(300), "");
    const auto s = sim.replay_summary();
    EXPECT_EQ(s.matched, 6);
    EXPECT_EQ(s.unanswered, 1);
    EXPECT_EQ(s.extra, 1);
    const std::string rep = sim.replay_report();
    EXPECT_NE(rep.find("  unanswered  06/12/26 10:00:07  bench "), std::string::npos) << rep;
    EXPECT_NE(rep.find("(while silent on request)"), std::string::npos) << rep;
}

TEST(EquipsimMisbehaviour, ACutResultEndsHalfWayAndComesAgainWholeAndNoiseHasNoFrameBytes) {
    Sim sim({});
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(sim.listen_tcp()));
    sim.add_result("K1", many_records(8));
    sim.cut_next_results(1);
    box.request("0121", "K1        ");
    std::vector<std::string> whole;
    for (std::string f = box.frame(); !f.empty(); f = box.frame(700)) {
        whole.push_back(f);
        box.put(ACK);
    }
    ASSERT_GE(whole.size(), 1u) << "the frames before the last come whole";
    EXPECT_EQ(whole[0].substr(0, 15), STX + "0122K1        ");
    EXPECT_EQ(box.in.substr(0, 15), STX + "0122K1        ") << "then half of the last one";
    EXPECT_EQ(box.in.find(EOT), std::string::npos);
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 1; }, 1000)) << "kept";
    box.in.clear();
    box.request("0121", "K1        ");
    auto again = box.sequence();
    EXPECT_TRUE(same(body_of(again), many_records(8))) << "offered again whole";
    EXPECT_EQ(again.size(), whole.size() + 1);

    const std::string n = equipsim::noise(500, 7);
    EXPECT_EQ(n.size(), 500u);
    EXPECT_EQ(n, equipsim::noise(500, 7));
    EXPECT_NE(n, equipsim::noise(500, 8));
    EXPECT_EQ(n.find_first_of(STX + ETX + EOT + ETB), std::string::npos);
    EXPECT_NE(n.find_first_of("\r\n"), std::string::npos) << "line ends among the noise";
}

TEST(EquipsimCli, MisbehavesOnRequestAtTheTimesGiven) {
    const std::string out = boxtest::root("/equipsim.out");
    boxtest::reset_root();
    boxtest::Proc p = boxtest::spawn(EQUIPSIM_BIN,
                                     {"--tcp", "0", "--bad-checksum", "1@6", "--silence", "6",
                                      "--garbage", "40@6.3", "--drop-every", "7.5"},
                                     out);
    const int port = port_of(p);
    ASSERT_GT(port, 0) << p.output();
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(port));
    box.request("0100");
    EXPECT_EQ(box.frame(200), "") << "silent at first";
    ASSERT_TRUE(boxtest::wait_until([&] { return p.output().find("speaking again") != std::string::npos; }, 10000));
    ASSERT_TRUE(boxtest::wait_until([&] { box.pull(50); return box.in.size() >= 40; }, 5000));
    EXPECT_EQ(box.in, equipsim::noise(40)) << "the burst of garbage, and nothing else";
    box.in.clear();
    box.request("0100");
    std::string bad = box.frame();
    EXPECT_EQ(as_frame(bad).code(), "0101");
    EXPECT_FALSE(equipsim::checksum_holds(bad)) << "the next frame after the silence";
    box.request("0100");
    EXPECT_TRUE(equipsim::checksum_holds(box.frame()));
    int end = 0;
    ASSERT_TRUE(boxtest::wait_until([&] { return (end = box.pull(50)) == -2; }, 5000))
        << "the connection dropped";
    EXPECT_EQ(p.stop(), 0);
    const std::string o = p.output();
    EXPECT_NE(o.find("silent for 6 s, on request"), std::string::npos) << o;
    EXPECT_NE(o.find("bad-checksum 1 on request"), std::string::npos) << o;
    EXPECT_NE(o.find("connection dropped on request"), std::string::npos) << o;
}

TEST(EquipsimCli, ReplaysALogAndTellsTheDifferenceWhenStopped) {
    const std::string out = boxtest::root("/equipsim.out");
    boxtest::reset_root();
    const std::string log = boxtest::root("/log.txt");
    boxtest::write_file(log, DIALOGUE);
    {
        boxtest::Proc bad = boxtest::spawn(EQUIPSIM_BIN, {"--replay", log, "--tcp", "0", "--periph", "G"}, out);
        EXPECT_EQ(bad.wait_exit(5000), 2) << "a replay has no peripherals of its own";
    }
    boxtest::Proc p = boxtest::spawn(EQUIPSIM_BIN, {"--replay", log, "--tcp", "0", "--timing"}, out);
    const int port = port_of(p);
    ASSERT_GT(port, 0) << p.output();
    BoxEnd box;
    ASSERT_TRUE(box.connect_tcp(port));
    box.request("0100");
    EXPECT_EQ(box.frame(), LIST);
    box.request("0110");
    EXPECT_EQ(box.frame(300), "");
    EXPECT_EQ(p.stop(), 0);
    const std::string o = p.output();
    EXPECT_NE(o.find("replay of " + log + ": 10 frames of the box, 7 of the equipment"), std::string::npos) << o;
    EXPECT_NE(o.find("Difference from the recording: 10 frames of the box recorded, 1 matched"), std::string::npos) << o;
    const size_t played = o.find("  played      06/12/26 10:00:00  bench ");
    ASSERT_NE(played, std::string::npos) << "where the bench box was when the extra came\n" << o;
    EXPECT_NE(o.find("  extra       bench ", played), std::string::npos) << o;
    EXPECT_NE(o.find("<STX>0110<ETX>"), std::string::npos) << o;
    EXPECT_NE(o.find("stopped by SIGTERM"), std::string::npos) << o;
}
