// Frame assembly and emission: the bytes on the wire, messages split into acknowledged
// frames, the acknowledgement wait, the cutting of result buffers and the hand-over of
// finished vehicles.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "boxtest.h"
#include "file_param.h"
#include "heartbeat.h"
#include "equipsim.h"
#include "linktest.h"
#include "nod.h"
#include "tim.h"

using linktest::frame;

namespace {

const std::string kAck = "\x02" "0900\x03" "08\x04";

class Emission : public ::testing::Test {
  protected:
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        linktest::reset_link();
        sim = std::make_unique<equipsim::Sim>(equipsim::Options{});
        int port = sim->listen_tcp();
        ASSERT_GT(port, 0);
        linktest::use_tcp(port);
    }
    void TearDown() override {
        sim.reset();
        linktest::reset_link();
    }
    std::unique_ptr<equipsim::Sim> sim;
};

} // namespace

TEST_F(Emission, AcknowledgementGoesOutAsExactlyNineBytesWithoutReading) {
    EXPECT_EQ(singlecode(EQUIP, "0900", "", 1), 0);
    equipsim::Frame sent;
    ASSERT_TRUE(sim->wait_code("0900", 3000, &sent));
    EXPECT_EQ(sent.raw, kAck);
    EXPECT_EQ(std::string(exped_send), kAck);
    // a request sent without waiting leaves its answer to the next receive
    EXPECT_EQ(singlecode(EQUIP, "0100", "", 1), 0);
    EXPECT_EQ(enveloppe[0], 0);
    EXPECT_EQ(EQUIP_get(), 101);
}

TEST_F(Emission, LongMessageGoesOutAsAcknowledgedFramesEachWithTheHeader) {
    const std::string header = "\x02" "0120KEY0000001";
    const std::vector<std::pair<std::string, std::string>> recs = {
        {"0200", "AB-123-CD "}, {"0201", "DIESEL"}, {"0202", "VF1ABCDEFGH123456"},
        {"0207", std::string(40, 'M')}, {"0208", std::string(40, 'N')},
        {"0211", std::string(35, 'O')}};
    starttrame(EQUIP, "0120", "KEY0000001");
    for (auto &r : recs)
        addtrame(r.first.c_str(), r.second.c_str());
    addtrame("0905", "");
    EXPECT_EQ(endtrame(), 1);

    auto got = sim->vehicles()["KEY0000001"];
    ASSERT_EQ(got.size(), recs.size()) << "every record, once, in order";
    for (size_t i = 0; i < recs.size(); i++) {
        EXPECT_EQ(got[i].code, recs[i].first);
        EXPECT_EQ(got[i].text, recs[i].second);
    }
    auto frames = sim->box_frames();
    ASSERT_GE(frames.size(), 3u);
    for (auto &f : frames) {
        EXPECT_LE(f.raw.size(), 80u) << f.raw;
        EXPECT_EQ(checkcsum(f.raw.c_str()), 0) << f.raw;
        EXPECT_EQ(f.raw.compare(0, header.size(), header), 0) << "every frame begins with the header";
    }
    // each frame was acknowledged before the next went out
    std::string kinds, expect;
    for (auto &l : boxtest::lines_of(boxtest::read_file(path_create_log)))
        kinds += l.rfind("SEND:", 0) == 0 ? 'S' : (l.rfind("RECEIVE:", 0) == 0 ? 'R' : '?');
    for (size_t i = 0; i < frames.size(); i++)
        expect += "SR";
    EXPECT_EQ(kinds, expect);
}

TEST_F(Emission, RecordTooLongForAFreshFrameIsCutToTheFrame) {
    starttrame(EQUIP, "0120", "KEY0000001");
    std::string big(100, 'Z');
    addtrame("7213", big.c_str());
    EXPECT_LE(strlen(exped_send), 76u) << "room is kept for the trailer";
    EXPECT_EQ(endtrame(), 1);
    auto frames = sim->box_frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].raw, frame("0120KEY0000001")) << "the frame so far goes out first";
    EXPECT_EQ(frames[1].raw,
              frame("0120KEY0000001\x17" "7213" + std::string(80 - 4 - 15 - 5, 'Z')));
    EXPECT_EQ(frames[1].raw.size(), 80u);

    // a text ends at an ETB within it
    starttrame(EQUIP, "0120", "KEY0000002");
    addtrame("0200", "AB\x17" "9999");
    EXPECT_EQ(endtrame(), 1);
    EXPECT_EQ(sim->box_frames().back().raw, frame("0120KEY0000002\x17" "0200AB"));
}

TEST_F(Emission, UnansweredFrameIsSentThreeTimesWhileTheHeartKeepsBeating) {
    sim->set_silent(true);
    tim_program_ms(&OFFFREQ, 1000);
    tim_program_ms(&CLIMBING_LED, 1000);
    const unsigned before = watch_dog;
    testing::internal::CaptureStdout();
    EXPECT_EQ(singlecode(EQUIP, "0130", "07122026041800", 0), 0);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    // about 12 s of waiting: a second counted each second, the LED and the liveness file
    EXPECT_GE(watch_dog - before, 11u);
    EXPECT_GE(std::stoul("0" + boxtest::read_file(boxtest::root("/home/KELDRAN/DATA/watch_dog"))),
              before + 10);
    int beats = 0;
    for (const auto &l : boxtest::lines_of(boxtest::read_file(boxtest::root("/dev/gpio"))))
        if (l == "0x420B 81" || l == "0x420C 81") beats++;
    EXPECT_GE(beats, 11);
    auto frames = sim->box_frames();
    ASSERT_EQ(frames.size(), 3u);
    for (auto &f : frames)
        EXPECT_EQ(f.raw, frame("013007122026041800"));
    auto count = [&](const std::string &what) {
        int n = 0;
        for (size_t p = out.find(what); p != std::string::npos; p = out.find(what, p + 1))
            n++;
        return n;
    };
    EXPECT_EQ(count("waitfor900 PBrecep2"), 2) << "two repeats after the first sending";
    EXPECT_EQ(count("waitfor900 PBrecep"), 4);
}

TEST_F(Emission, TcpEquipmentBackWithinTheWaitGetsTheFrame) {
    // the equipment restarts: its port refuses the first sending, then it listens again
    const int port = sim->port();
    sim.reset();
    std::unique_ptr<equipsim::Sim> back;
    std::thread restart([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        back = std::make_unique<equipsim::Sim>(equipsim::Options{});
        back->listen_tcp(port);
    });
    int result = singlecode(EQUIP, "0130", "07122026041800", 0);
    restart.join();
    EXPECT_EQ(result, 1) << "the next sending connects and is acknowledged";
    EXPECT_EQ(back->count_code("0130"), 1);
}

TEST_F(Emission, Answer0902EndsTheWaitAtOnce) {
    sim->reply_next_with("0902");
    EXPECT_EQ(singlecode(EQUIP, "0150", "KEY0000001", 0), 0);
    EXPECT_EQ(thelastcode, 902);
    EXPECT_EQ(sim->count_code("0150"), 1) << "no repeat";
}

TEST_F(Emission, NeitherARefusalNorABadFrameEndsTheWait) {
    // first sending: its acknowledgement arrives spoilt; second: answered "0904"
    sim->corrupt_next(1);
    int result = -1;
    std::thread box([&] { result = singlecode(EQUIP, "0130", "07122026041800", 0); });
    bool refused = sim->wait_code("0904", 6000);
    if (refused) sim->reply_next_with("0904");
    box.join();
    ASSERT_TRUE(refused) << "the spoilt frame is refused";
    EXPECT_EQ(result, 1);
    EXPECT_EQ(thelastcode, 900);
    std::vector<std::string> sent;
    for (auto &f : sim->box_frames())
        sent.push_back(f.raw);
    const std::string f = frame("013007122026041800");
    EXPECT_EQ(sent, (std::vector<std::string>{f, frame("0904"), f, f}))
        << "each repeat carries the frame, not the refusal";
}

// ---- Result buffers ---------------------------------------------------------------

namespace {

class Results : public ::testing::Test {
  protected:
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        linktest::reset_link();
    }
    // A finished vehicle in slot `slot` with buffer `idx`.
    void finished(int slot, const char *key, int idx, const std::string &buf, int serial = 0) {
        snprintf(voiture[slot].cle, sizeof voiture[slot].cle, "%s", key);
        snprintf(voiture[slot].plaque, sizeof voiture[slot].plaque, "PL%d", slot);
        voiture[slot].idx = (uint8_t)idx;
        voiture[slot].serial = (uint8_t)serial;
        snprintf(data[idx], SIZEDATA, "%s", buf.c_str());
        termine[slot] = 1;
    }
};

} // namespace

TEST_F(Results, DesignedExampleYieldsExactlyTheTwoRecords) {
    char buf[SIZEDATA] = "\x02" "0122KEY0000001\x17" "0200AB123C\x17" "0201DIESEL\x03";
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    sendbuffer(buf, 0);
    ASSERT_EQ(Cpt_SM, 2);
    EXPECT_STREQ(SM[0].CodeGiegData, "0200");
    EXPECT_STREQ(SM[0].DataMeasures, "AB123C");
    EXPECT_STREQ(SM[1].CodeGiegData, "0201");
    EXPECT_STREQ(SM[1].DataMeasures, "DIESEL");
    EXPECT_STREQ(SM[2].CodeGiegData, "");
}

TEST_F(Results, StoredBufferIsCutUpToItsEndWithinTheTableLimits) {
    // a previous vehicle's measures must not survive
    for (auto &m : SM)
        snprintf(m.CodeGiegData, sizeof m.CodeGiegData, "9999");
    std::string buf = "\x17" "0500" +
                      std::string(70, '7') + "\x17" + "0501";
    char b[SIZEDATA] = {};
    snprintf(b, sizeof b, "%s", buf.c_str());
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
    sendbuffer(b, 0);
    ASSERT_EQ(Cpt_SM, 2);
    EXPECT_EQ(std::string(SM[0].DataMeasures), std::string(53, '7')) << "texts kept to 53";
    EXPECT_STREQ(SM[1].CodeGiegData, "0501");
    EXPECT_STREQ(SM[1].DataMeasures, "");
    EXPECT_STREQ(SM[2].CodeGiegData, "") << "stale records cleared";

    std::string many;
    for (int i = 0; i < 70; i++)
        many += "\x17" "0500X";
    snprintf(b, sizeof b, "%s", many.c_str());
    sendbuffer(b, 0);
    EXPECT_EQ(Cpt_SM, NBCODEGIEGDATAMAX);
}

TEST_F(Results, UnknownProtocolWritesNothing) {
    char b[SIZEDATA] = "\x17" "0200AB";
    snprintf(save_protocol, sizeof save_protocol, "ASA");
    testing::internal::CaptureStdout();
    sendbuffer(b, 0);
    fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("protocole inconnu"), std::string::npos);
    snprintf(save_protocol, sizeof save_protocol, "BNET");
    testing::internal::CaptureStdout();
    sendbuffer(b, 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("protocole inconnu"), std::string::npos);
    EXPECT_EQ(Cpt_SM, 1);
}

TEST_F(Results, EffacecarFindsAndEmptiesOnlyWhenAsked) {
    finished(4, "KEY0000004", 7, "\x17" "0200AB");
    NEWCLE[4] = 1;
    EXPECT_EQ(effacecar("NOSUCHKEY0", 1), 0);
    EXPECT_STREQ(voiture[4].cle, "KEY0000004");
    EXPECT_EQ(effacecar("", 1), 0) << "an empty key names no vehicle";

    EXPECT_EQ(effacecar("KEY0000004", 0), 1);
    EXPECT_EQ(CURCLE, 4);
    EXPECT_STREQ(voiture[4].cle, "KEY0000004");
    EXPECT_EQ(termine[4], 1);

    EXPECT_EQ(effacecar("KEY0000004XX", 1), 1) << "keys compare on 10 characters";
    EXPECT_STREQ(voiture[4].cle, "");
    EXPECT_STREQ(voiture[4].plaque, "");
    EXPECT_EQ(voiture[4].idx, ALL);
    EXPECT_EQ(termine[4], 0);
    EXPECT_EQ(data[7][0], 0) << "its result buffer is freed";
}

TEST_F(Results, FinishedVehicleOfTheKeyIsHandedOverAndEmptied) {
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    finished(3, "KEY0000003", 2, "\x17" "0200AB-333\x17" "0501123");
    finished(5, "KEY0000005", 4, "\x17" "0200AB-555");
    NEWCLE[3] = newplaque[3] = 1;
    // same key, results not complete: left alone
    snprintf(voiture[7].cle, sizeof voiture[7].cle, "KEY0000007");
    voiture[7].idx = 5;
    snprintf(data[5], SIZEDATA, "\x17" "0200PARTIAL");
    char cle[] = "KEY0000003";
    senddatamulti(PC, cle, 5);
    ASSERT_EQ(Cpt_SM, 2);
    EXPECT_STREQ(SM[0].DataMeasures, "AB-333") << "slot 3's results, whatever Cur_plaque says";
    EXPECT_STREQ(voiture[3].cle, "");
    EXPECT_EQ(voiture[3].idx, ALL);
    EXPECT_EQ(data[2][0], 0);
    EXPECT_EQ(NEWCLE[3] | newplaque[3] | termine[3], 0);
    EXPECT_STREQ(voiture[5].cle, "KEY0000005");
    EXPECT_EQ(termine[5], 1);

    char cle7[] = "KEY0000007";
    senddatamulti(PC, cle7, 7);
    EXPECT_STREQ(voiture[7].cle, "KEY0000007") << "unfinished vehicle stays";
    EXPECT_STREQ(data[5], "\x17" "0200PARTIAL");
}

TEST_F(Results, AnyKeyTakesTheOldestCompletionAndKeepsTheSlot) {
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    SERIAL2 = 4;
    finished(2, "KEY0000002", 0, "\x17" "0200SLOT2", 3);
    finished(4, "KEY0000004", 1, "\x17" "0200SLOT4", 1);
    finished(6, "KEY0000006", 2, "\x17" "0200SLOT6", 1);
    finished(8, "KEY0000008", 3, "\x17" "0200SLOT8", 5); // beyond SERIAL2
    finished(9, "KEY0000009", 6, "\x17" "0200SLOT9", 0); // no completion number
    senddatamulti(PC, "??????????", 0);
    ASSERT_EQ(Cpt_SM, 1);
    EXPECT_STREQ(SM[0].DataMeasures, "SLOT6") << "smallest serial, later slot on a tie";
    EXPECT_EQ(termine[6], 0);
    EXPECT_STREQ(voiture[6].cle, "KEY0000006") << "the slot itself stays";
    EXPECT_EQ(voiture[6].idx, 2);
    EXPECT_EQ(termine[4], 1);
    senddatamulti(PC, "??????????", 0);
    EXPECT_STREQ(SM[0].DataMeasures, "SLOT4");
    senddatamulti(PC, "??????????", 0);
    EXPECT_STREQ(SM[0].DataMeasures, "SLOT2");
    Cpt_SM = 0;
    senddatamulti(PC, "??????????", 0);
    EXPECT_EQ(Cpt_SM, 0) << "serial 5 is above SERIAL2 and serial 0 is none";
}

TEST_F(Results, OtclanResultWaitsForTheEquipmentThenEmptiesTheSlot) {
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
    equipsim::Sim sim(equipsim::Options{});
    sim.set_silent(true); // every poll runs out
    linktest::use_tcp(sim.listen_tcp());
    boxtest::FakeClock clock;
    clock.auto_step(1000000); // the 5 s polls run out after a few clock readings (each
                              // scan step waits up to 2 s of real time for a frame)
    finished(2, "KEY0000002", 1, "\x17" "0200AB-222\x17" "0501123");
    senddatamulti(PC, "KEY0000002", 0);
    EXPECT_EQ(Cpt_SM, 2);
    for (auto &f : sim.box_frames())
        EXPECT_EQ(f.raw, frame("0100")) << "the re-identification request";
    EXPECT_EQ(sim.box_frames().size(), 3u) << "three polls, none answered";
    EXPECT_EQ(ask_only_good_periph, 0);
    EXPECT_STREQ(voiture[2].cle, "");
    EXPECT_EQ(data[1][0], 0);
    linktest::reset_link();
}
