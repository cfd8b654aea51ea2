// Transport over a real loopback TCP connection and a real pseudo-terminal: the purge
// before a send, received frames good and bad, the link log and its rotation, the
// search for a re-plugged USB adapter, Bluetooth without a device, TCP failures; the
// equipment is played by the simulator.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "boxtest.h"
#include "file_param.h"
#include "link.h"
#include "ipc.h"
#include "equipsim.h"
#include "linktest.h"
#include "nod.h"

using linktest::frame;

namespace {

using Lines = std::vector<std::string>;

// The link log as "kind|text" entries; a line out of format shows as "?line".
Lines log() {
    static const std::regex line("^(PURGE:|SEND:|RECEIVE: |BAD RECEIVE: )"
                                 "[0-9]{2}/[0-9]{2}/[0-9]{2} - [0-9]{2}:[0-9]{2}:[0-9]{2}:  (.*)$");
    Lines out;
    for (auto &l : boxtest::lines_of(boxtest::read_file(path_create_log))) {
        std::smatch m;
        out.push_back(std::regex_match(l, m, line) ? m[1].str() + "|" + m[2].str() : "?" + l);
    }
    return out;
}

// The link kinds every receive and send rule is checked on.
class Link : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        linktest::reset_link();
        sim = std::make_unique<equipsim::Sim>(equipsim::Options{});
        if (tcp()) {
            int port = sim->listen_tcp();
            ASSERT_GT(port, 0);
            linktest::use_tcp(port);
            // the connection is made by the first send
            singlecode(EQUIP, "0900", "", 1);
            ASSERT_TRUE(sim->wait_code("0900", 3000));
        } else {
            ASSERT_TRUE(sim->open_pty(boxtest::root("/dev/ttyS2")));
            ASSERT_TRUE(linktest::use_serial("RS232", boxtest::root("/dev/ttyS2")));
        }
        boxtest::remove_file(path_create_log);
    }
    void TearDown() override {
        sim.reset();
        linktest::reset_link();
    }
    bool tcp() const { return strcmp(GetParam(), "LAN") == 0; }
    // Bytes from the equipment, once they wait on the concentrator's side.
    void from_equipment(const std::string &bytes) {
        sim->send_raw(bytes);
        pollfd p = {tcp() ? SocketDescriptor : fd_tty, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 3000), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the rest of a long write
    }
    std::unique_ptr<equipsim::Sim> sim;
};

// Tests that set the link up themselves.
class Bare : public ::testing::Test {
  protected:
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        linktest::reset_link();
    }
    void TearDown() override { linktest::reset_link(); }
};

int count(const std::string &s, const std::string &what) {
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
        n++;
    return n;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Kinds, Link, ::testing::Values("LAN", "RS232"));

TEST_P(Link, LateBytesArePurgedAndLoggedBeforeTheSendLine) {
    from_equipment("late0188");
    singlecode(EQUIP, "0110", "", 1);
    EXPECT_EQ(log(), (Lines{"PURGE:|late0188", "SEND:|" + frame("0110")}));
    EXPECT_TRUE(sim->wait_code("0110", 3000));
}

TEST_P(Link, SoundFrameYieldsItsCodeAndIsLogged) {
    std::string f = frame("0101\x17" "001C\x17" "002G\x17" "0905");
    from_equipment(f);
    EXPECT_EQ(EQUIP_get(), 101);
    EXPECT_EQ(std::string(enveloppe), f);
    EXPECT_EQ(log(), (Lines{"RECEIVE: |" + f}));
    EXPECT_EQ(link_gone, 0);
}

TEST_P(Link, BadChecksumFrameIsAnsweredWith0904AndYieldsZero) {
    std::string f = frame("0188", false);
    from_equipment(f);
    EXPECT_EQ(EQUIP_get(), 0);
    equipsim::Frame refusal;
    ASSERT_TRUE(sim->wait_code("0904", 3000, &refusal));
    EXPECT_EQ(refusal.raw, frame("0904"));
    EXPECT_EQ(log(), (Lines{"RECEIVE: |" + f, "SEND:|" + frame("0904")}));
}

TEST_P(Link, GarbageYieldsZeroAndNoLogLine) {
    from_equipment("garbage without a frame\x17\x03\x04");
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(log(), Lines{});
    from_equipment(frame("0188"));
    EXPECT_EQ(EQUIP_get(), 188) << "the line is still good for the next frame";
}

TEST_P(Link, BrokenOffShortAndOverlongFramesYieldZero) {
    from_equipment("\x02" "01"); // then silence
    EXPECT_EQ(EQUIP_get(), 0);
    from_equipment("\x02" "090\x03" "08\x04");
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(log(), (Lines{"BAD RECEIVE: |\x02" "01", "BAD RECEIVE: |\x02" "090\x03" "08\x04"}));
    std::string body = "0122KEY0000001";
    while (body.size() < 150)
        body += "\x17" "0500123456";
    from_equipment(frame(body));
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(strlen(enveloppe), 80u);
}

TEST_P(Link, ReceiveEndsAfterThreeSecondsOrThreeHundredTwentyBytes) {
    // equipment that opens a frame and goes on talking, a byte every 100 ms
    std::atomic<bool> stop{false}, talking{true};
    std::thread talker([&] {
        sim->send_raw("\x02" "0122");
        for (int k = 0; k < 60 && !stop; k++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sim->send_raw("7");
        }
        talking = false;
    });
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_TRUE(talking) << "the receive waited for the equipment to stop talking";
    stop = true;
    talker.join();
    Lines l = log();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].rfind("BAD RECEIVE: |\x02" "0122777", 0), 0u) << l[0];

    // what the talker sent after the receive is drained away
    pollfd p = {tcp() ? SocketDescriptor : fd_tty, POLLIN, 0};
    char rest[64];
    while (poll(&p, 1, 200) == 1 && read(p.fd, rest, sizeof rest) > 0) {
    }
    // a flood without the frame's end: taken up to 320 bytes, the rest left on the line
    from_equipment("\x02" + std::string(1000, 'x'));
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(poll(&p, 1, 0), 1) << "the receive stopped within the flood";
}

TEST_F(Bare, TcpAddressIsTakenWithoutTheBlanksAroundIt) {
    equipsim::Sim sim(equipsim::Options{});
    linktest::use_tcp(sim.listen_tcp());
    snprintf(equipIp, sizeof equipIp, " 127.0.0.1   ");
    singlecode(EQUIP, "0100", "", 1);
    EXPECT_TRUE(sim.wait_code("0100", 3000));
    EXPECT_EQ(socketON, 1);

    // an address that is none: told once, naming it, however often the box sends
    linktest::reset_link();
    linktest::use_tcp(sim.port());
    snprintf(equipIp, sizeof equipIp, "127.0.0.1.5 ");
    testing::internal::CaptureStdout();
    singlecode(EQUIP, "0100", "", 1);
    singlecode(EQUIP, "0100", "", 1);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count(out, "\"127.0.0.1.5 \""), 1) << out;
    EXPECT_EQ(count(out, "Impossible"), 0) << out;
    EXPECT_EQ(socketON, 0);
}

TEST_F(Bare, LogRotationStartsTheLogAfreshWithTheSendLine) {
    equipsim::Sim sim(equipsim::Options{});
    ASSERT_TRUE(sim.open_pty(boxtest::root("/dev/ttyS2")));
    ASSERT_TRUE(linktest::use_serial("RS232", boxtest::root("/dev/ttyS2")));
    std::string path = boxtest::root("/home/KELDRAN/DATA/log/log.txt");
    boxtest::write_file(path, std::string(1500001, 'x'));
    boxtest::write_file(boxtest::root("/home/KELDRAN/DATA/log/old.log"), "old");
    boxtest::write_file(boxtest::root("/home/KELDRAN/DATA/log/periph1info.txt"), "keep");
    singlecode(EQUIP, "0900", "", 1);
    EXPECT_EQ(log(), (Lines{"SEND:|" + frame("0900")}));
    size_t line_size = boxtest::read_file(path).size();
    EXPECT_FALSE(boxtest::exists(boxtest::root("/home/KELDRAN/DATA/log/old.log")));
    EXPECT_TRUE(boxtest::exists(boxtest::root("/home/KELDRAN/DATA/log/periph1info.txt")));
    EXPECT_NE(boxtest::read_file(boxtest::root("/commands.log"))
                  .find("rm " + boxtest::root("/home/KELDRAN/DATA/log") + "/*.log"),
              std::string::npos);

    // just at the limit nothing is rotated
    boxtest::write_file(path, std::string(1500000, 'x'));
    singlecode(EQUIP, "0900", "", 1);
    EXPECT_EQ(boxtest::read_file(path).size(), 1500000u + line_size);
}

TEST_F(Bare, TcpRefusedConnectionIsReportedAndNothingLogged) {
    // a loopback port that nobody listens on
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, (sockaddr *)&a, sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(s, (sockaddr *)&a, &len);
    int port = ntohs(a.sin_port);
    close(s);
    linktest::use_tcp(port);

    testing::internal::CaptureStdout();
    singlecode(EQUIP, "0100", "", 1);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Impossible de se connecter à 127.0.0.1:" + std::to_string(port) + " \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Erreur 111 "), std::string::npos) << out;
    EXPECT_EQ(socketON, 0);
    EXPECT_FALSE(boxtest::exists(boxtest::root("/home/KELDRAN/DATA/log/log.txt")));
    EXPECT_EQ(EQUIP_get(), 0) << "no connection, nothing received";
}

TEST_F(Bare, TcpInputBeyondTheBufferIsCutAndTheRestReadLater) {
    equipsim::Sim sim(equipsim::Options{});
    linktest::use_tcp(sim.listen_tcp());
    singlecode(EQUIP, "0900", "", 1);
    ASSERT_TRUE(sim.wait_code("0900", 3000));
    // 300 bytes of noise: the frame behind them is beyond the first receive
    sim.send_raw(std::string(300, 'n') + frame("0188"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(EQUIP_get(), 188) << "the rest waited in the connection";
}

TEST_F(Bare, TcpConnectionClosedByTheEquipmentIsMadeAgainByTheNextSend) {
    equipsim::Sim sim(equipsim::Options{});
    linktest::use_tcp(sim.listen_tcp());
    singlecode(EQUIP, "0900", "", 1);
    ASSERT_TRUE(sim.wait_code("0900", 3000));
    sim.drop_connection();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(link_gone, 1);
    EXPECT_EQ(socketON, 0);
    singlecode(EQUIP, "0900", "", 1);
    ASSERT_TRUE(sim.wait_code("0900", 3000));
    EXPECT_EQ(socketON, 1);

    // closed while nobody was reading: the send itself notices and connects again
    sim.clear_frames();
    sim.drop_connection();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    singlecode(EQUIP, "0100", "", 1);
    EXPECT_TRUE(sim.wait_code("0100", 3000));
    EXPECT_EQ(EQUIP_get(), 101) << "and the equipment answers on the new connection";
}

TEST_F(Bare, SerialVanishedDeviceEndsTheAcknowledgementWaitWithoutRepeats) {
    equipsim::Sim sim(equipsim::Options{});
    ASSERT_TRUE(sim.open_pty(boxtest::root("/dev/ttyS2")));
    ASSERT_TRUE(linktest::use_serial("RS232", boxtest::root("/dev/ttyS2")));
    sim.vanish();
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(link_gone, 1) << "the receive saw the device go, it did not wait it out";
    testing::internal::CaptureStdout();
    EXPECT_EQ(singlecode(EQUIP, "0130", "07122026041800", 0), 0);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("waitfor900 PBrecep"), std::string::npos) << out;
    EXPECT_EQ(link_usable(), 0);
}

TEST_F(Bare, UsbAdapterBackAsTtyUSB1IsFoundByTheNextFailingSend) {
    equipsim::Sim sim(equipsim::Options{});
    ASSERT_TRUE(sim.open_pty(boxtest::root("/dev/ttyUSB0")));
    ASSERT_TRUE(linktest::use_serial("USB", boxtest::root("/dev/ttyUSB0"), "19200"));
    singlecode(EQUIP, "0900", "", 1);
    ASSERT_TRUE(sim.wait_code("0900", 3000));

    sim.vanish();
    ASSERT_TRUE(sim.reappear(boxtest::root("/dev/ttyUSB1")));
    testing::internal::CaptureStdout();
    singlecode(EQUIP, "0100", "", 1); // fails on the old adapter and finds the new one
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Erreur "), std::string::npos) << out;
    EXPECT_NE(out.find("Reconnection sur " + boxtest::root("/dev/ttyUSB1")), std::string::npos);
    EXPECT_EQ(ttyUSB_open, 1);
    ASSERT_GE(fd_tty, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd_tty, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B19200);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw";

    sim.clear_frames();
    singlecode(EQUIP, "0100", "", 1);
    ASSERT_TRUE(sim.wait_code("0100", 3000));
    EXPECT_EQ(EQUIP_get(), 101) << "the equipment answers on the adapter found";
    EXPECT_EQ(link_usable(), 1) << "the adapter in use, not the configured name";
}

TEST_F(Bare, BluetoothMissingDeviceIsWaitedForAndItsLossRecordedOnce) {
    snprintf(save_type_com, sizeof save_type_com, "BLUETOOTH");
    snprintf(save_port, sizeof save_port, "%s", boxtest::root("/dev/rfcomm0").c_str());
    std::string connect1 = boxtest::root("/home/KELDRAN/DATA/connect1");
    boxtest::write_file(connect1, "");
    COM_STAT = 1;
    COMOINPROG[0] = 1;
    effacement = 1;

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    singlecode(EQUIP, "0100", "", 1);
    COM_STAT = 1; // the loss is recorded once only
    singlecode(EQUIP, "0100", "", 1);
    EXPECT_EQ(EQUIP_get(), 0);
    EXPECT_EQ(EQUIP_get(), 0);
    fflush(stdout);
    fflush(stderr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(err, "\nATTENTE DE CONNEXION periph 1 "), 2) << err;
    EXPECT_EQ(count(err, "\nATTENTE DE CONNEXION PERIPH 1 "), 1) << "the receive says it once";
    EXPECT_EQ(count(out, "DECONNEXION!!!!!!!!!!!!!!!"), 1) << out;
    EXPECT_FALSE(boxtest::exists(connect1));
    EXPECT_EQ(write_one_time, 1);
    EXPECT_EQ(wait_connection, 1);
    EXPECT_EQ(COM_STAT, 1);
    EXPECT_EQ(COMOINPROG[0], 0);
    EXPECT_EQ(effacement, 0);
    EXPECT_FALSE(boxtest::exists(path_create_log)) << "nothing was sent";
}

TEST_F(Bare, BluetoothPresentDeviceIsOpenedAroundEachOperation) {
    equipsim::Sim sim(equipsim::Options{});
    ASSERT_TRUE(sim.open_pty(boxtest::root("/dev/rfcomm0")));
    snprintf(save_type_com, sizeof save_type_com, "BLUETOOTH");
    snprintf(save_port, sizeof save_port, "%s", boxtest::root("/dev/rfcomm0").c_str());
    singlecode(EQUIP, "0100", "", 1);
    equipsim::Frame sent;
    ASSERT_TRUE(sim.wait_code("0100", 3000, &sent));
    EXPECT_EQ(sent.raw, frame("0100"));
    EXPECT_TRUE(boxtest::exists(boxtest::root("/home/KELDRAN/DATA/connect1")));
    EXPECT_EQ(write_one_time, 2);
    EXPECT_EQ(EQUIP_get(), 101);
    EXPECT_EQ(fd_tty, -1) << "no descriptor stays open";
}
