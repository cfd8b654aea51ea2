// Result reception against the simulated hub over TCP on 127.0.0.1, the link and the
// scan of this process: the raw result buffer of the slot after results of one and of
// several frames, the "0612" normalisation, the cut of a long result, results that
// have no place; and, with the equipment's bytes played from memory through a link
// backend of the test under a fake clock, a reception that stops half-way and waits on
// a link that is gone.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "boxtest.h"
#include "linktest.h"
#include "link.h"
#include "equipsim.h"
#include "plat.h"
#include "file_param.h"
#include "ipc.h"
#include "synchro.h"
#include "journal.h"
#include "nod.h"
#include "tim.h"

using equipsim::Record;


namespace {

const std::string ETB_S(1, 0x17);

std::string segments(const std::vector<Record> &recs) {
    std::string s;
    for (const Record &r : recs)
        s += ETB_S + r.code + r.text;
    return s;
}

class Reception : public ::testing::Test {
  protected:
    equipsim::Sim sim{equipsim::Options{}};
    void SetUp() override {
        linktest::gieglan_station();
        equipPort = sim.listen_tcp(0);
        ASSERT_GT(equipPort, 0);
        demandeParCle = 0;
        giegtype = 2;
        sync_hour_ok = 1;
        COMOINPROG[0] = 1;
        socketON = 0;
    }
    void TearDown() override {
        if (socketON) closeSocketC();
        socketON = 0;
    }
    void vehicle(int slot, const char *key) {
        snprintf(voiture[slot].cle, sizeof voiture[slot].cle, "%-10s", key);
        snprintf(voiture[slot].plaque, sizeof voiture[slot].plaque, "P%s", key);
    }
    // Runs scan steps (each asking "0121" for any key) until one has received a result.
    bool receive_result(int timeout_ms = 20000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            sync_hour_ok = 1; // a hub result asks for the clock again: not here
            if (COM_STAT == 0) memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
            if (scanequip() == 122) return true;
        }
        return false;
    }
};

TEST_F(Reception, OneFrameResultLandsInTheSlotBufferWithoutHeaderOrEndMarker) {
    vehicle(3, "K3");
    std::vector<Record> recs{{"0200", "AB123CD   "}, {"0500", " 12.5"}};
    sim.add_result("K3        ", recs);
    ASSERT_TRUE(receive_result());
    ASSERT_NE(voiture[3].idx, ALL);
    EXPECT_LT(voiture[3].idx, 10);
    EXPECT_EQ(std::string(data[voiture[3].idx]), segments(recs));
    EXPECT_EQ(termine[3], 1);
    EXPECT_EQ(SERIAL2, 1);
    EXPECT_EQ(voiture[3].serial, 1);
    EXPECT_STREQ(cle_get_data, "K3        ");
    EXPECT_EQ(sync_hour_ok, 0) << "the clock is set again after a hub result";
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 3000))
        << "every frame was acknowledged";
}

TEST_F(Reception, SegmentsOfEveryFrameAreJoinedAndCode0612IsNormalised) {
    vehicle(0, "K0");
    vehicle(1, "K1");
    data[0][0] = 'x'; // buffer 0 is in use: the next free one is taken
    std::vector<Record> recs{{"0200", "AB123CD   "}, {"0501", "0.15  "}, {"0502", "14.8  "},
                             {"0503", "0.9   "},     {"0504", "120   "}, {"0612", "1.2-3"},
                             {"0531", "1.25  "},     {"0532", "0.50  "}, {"0533", "33    "},
                             {"0534", "2.02  "},     {"0513", "07122026101010"}};
    sim.add_result("K1        ", recs);
    ASSERT_TRUE(receive_result());
    int n0122 = 0;
    for (const auto &f : sim.frames())
        if (!f.from_box && f.code() == "0122") n0122++;
    EXPECT_GE(n0122, 3) << "the result spans several frames";
    std::vector<Record> expected = recs;
    expected[5].text = std::string("1 2 3") + std::string(12, ' '); // 22 bytes with ETB and code
    EXPECT_EQ(voiture[1].idx, 1);
    EXPECT_EQ(std::string(data[1]), segments(expected));
    EXPECT_EQ(termine[1], 1);
    EXPECT_EQ(voiture[0].idx, ALL);
}

TEST_F(Reception, LongResultIsCutAtAWholeSegmentWithinTheBuffer) {
    vehicle(5, "K5");
    std::vector<Record> recs;
    for (int i = 0; i < 30; i++) // 30 segments of 20 bytes: 600 bytes
        recs.push_back({std::to_string(5000 + i), "value-" + std::to_string(1000000 + i) + "..."});
    sim.add_result("K5        ", recs);
    ASSERT_TRUE(receive_result(40000));
    std::string got = data[voiture[5].idx];
    EXPECT_LE(got.size(), 399u);
    EXPECT_EQ(got, segments(std::vector<Record>(recs.begin(), recs.begin() + 19)));
    EXPECT_EQ(termine[5], 1);
    EXPECT_EQ(data[voiture[5].idx][399], 0);
    EXPECT_EQ(data[voiture[5].idx + 1][0], 0) << "nothing spilt into the next buffer";
}

TEST_F(Reception, ResultWithoutPlaceIsAcknowledgedKeptApartAndWrittenUnderItsKey) {
    boxtest::set_network(0);
    mkdir(boxtest::root("/mnt/GIEGLAN/RES").c_str(), 0755);
    vehicle(0, "K0");
    vehicle(2, "K2");
    // no slot holds this key (its order is gone from the share, or never was)
    sim.add_result("NOBODY    ", {{"0200", "ZZ999ZZ   "}, {"0500", " 99.9"}});
    ASSERT_TRUE(receive_result());
    for (int b = 0; b < NBDATA; b++)
        EXPECT_EQ(data[b][0], 0) << b;
    EXPECT_EQ(voiture[0].idx, ALL);
    EXPECT_EQ(voiture[2].idx, ALL);
    EXPECT_EQ(termine[0] + termine[2], 0);
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 3000));

    // every hub buffer in use: slot 2's result must not overwrite another vehicle's
    for (int b = 0; b < 10; b++)
        snprintf(data[b], SIZEDATA, "other%d", b);
    voiture[0].idx = 4;
    sim.add_result("K2        ", {{"0200", "AB123CD   "}, {"0500", " 22.2"}});
    ASSERT_TRUE(receive_result());
    for (int b = 0; b < 10; b++)
        EXPECT_EQ(std::string(data[b]), "other" + std::to_string(b));
    EXPECT_EQ(voiture[2].idx, ALL);
    EXPECT_EQ(voiture[0].idx, 4);
    EXPECT_EQ(termine[2] + termine[0], 0);

    // both were kept, and the next pass of the loop writes them, each under its key
    EXPECT_EQ(journal_waiting, 1);
    tim_program_ms(&TIME_1S, 60000);
    PCaction(0);
    EXPECT_NE(boxtest::read_file(boxtest::root("/mnt/GIEGLAN/RES/NOBODY.G")).find("\r\n0200=ZZ999ZZ   \r\n"),
              std::string::npos);
    EXPECT_NE(boxtest::read_file(boxtest::root("/mnt/GIEGLAN/RES/K2.G")).find("\r\n0200=AB123CD   \r\n"),
              std::string::npos);
    EXPECT_EQ(journal_next(0), 0u) << "nothing left in the journal";
}

TEST_F(Reception, SecondResultOfAVehicleReusesItsBuffer) {
    vehicle(1, "K1");
    sim.add_result("K1        ", {{"0500", " 11.1"}});
    ASSERT_TRUE(receive_result());
    int b = voiture[1].idx;
    sim.add_result("K1        ", {{"0500", " 22.2"}});
    ASSERT_TRUE(receive_result());
    EXPECT_EQ(voiture[1].idx, b);
    EXPECT_EQ(std::string(data[b]), ETB_S + "0500 22.2");
    for (int k = 0; k < 10; k++) {
        if (k == b) continue;
        EXPECT_EQ(data[k][0], 0) << "no buffer left behind";
    }
}

// ---- Receptions played from memory ------------------------------------------------
//
// The equipment's bytes come from memory through a link backend of the test's own, and
// time is a fake clock that the product's waits move on: a reception that falls silent
// costs no real time.

using linktest::MemoryLink;

class FromMemory : public ::testing::Test {
  protected:
    boxtest::FakeClock clock;
    void SetUp() override {
        linktest::gieglan_station();
        giegtype = 2;
        COMOINPROG[0] = 1;
        MemoryLink::use();
        snprintf(voiture[4].cle, sizeof voiture[4].cle, "%-10s", "K4");
        snprintf(voiture[4].plaque, sizeof voiture[4].plaque, "PK4");
        // a result whose third frame never comes, read by the scan awaiting a reply
        MemoryLink::in = linktest::frame("0122K4        \x17" "0200AB123CD   \x17" "05010.15  ") +
                         linktest::frame("0122K4        \x17" "050214.8  ");
        COM_STAT = 1;
        tim_program_ms(&ASKEQUIPONESEC, 60000);
    }
    void TearDown() override { link_backend = nullptr; }
    int acks() const {
        int n = 0;
        for (const auto &f : MemoryLink::sent)
            n += f == linktest::frame("0900");
        return n;
    }
};

TEST_F(FromMemory, ReceptionThatStopsIsLoggedAndLeavesTheSlotWithoutResults) {
    const long long t0 = clock.now_us();
    ASSERT_EQ(scanequip(), 122);
    double waited = (clock.now_us() - t0) / 1e6;
    EXPECT_GE(waited, 4.0) << "the box waited for the rest";
    EXPECT_LT(waited, 8.0) << "about five seconds of silence, whatever a receive waits";
    EXPECT_EQ(termine[4], 0);
    ASSERT_NE(voiture[4].idx, ALL);
    EXPECT_EQ(data[voiture[4].idx][0], 0) << "the partial result is dropped";
    std::string log = boxtest::read_file(boxtest::root("/home/KELDRAN/DATA/log/debug_122.txt"));
    std::vector<std::string> lines = boxtest::lines_of(log);
    ASSERT_EQ(lines.size(), 2u) << log;
    const std::string partial = segments({{"0200", "AB123CD   "}, {"0501", "0.15  "}, {"0502", "14.8  "}});
    EXPECT_EQ(lines[0].rfind("BAD RESCUE MODE 900 SEND:", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("SEND:", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(":  0 " + partial), std::string::npos) << lines[1];
    EXPECT_EQ(acks(), 3) << "two frames and the rescue";
}

TEST_F(FromMemory, ResultOfferedBeforeTheOrdersAreReadIsNeitherAcknowledgedNorKept) {
    orders_known = 0; // the box has just started and not yet read the share
    MemoryLink::in = linktest::frame("0122K4        \x17" "0200AB123CD   \x17" "0905");
    EXPECT_EQ(scanequip(), 122);
    EXPECT_EQ(acks(), 0) << "the equipment keeps it";
    EXPECT_EQ(voiture[4].idx, ALL);
    EXPECT_EQ(termine[4], 0);
    EXPECT_EQ(journal_next(0), 0u);
}

TEST_F(FromMemory, SingleInstrumentResultKeepsNoKeyOfAnEarlierHubResult) {
    snprintf(cle_get_data, sizeof cle_get_data, "K4        ");
    giegtype = 1;
    MemoryLink::in = linktest::frame("0111\x17" "0200AB123CD   \x17" "0905");
    ASSERT_EQ(scanequip(), 111);
    EXPECT_EQ(termine[0], 1);
    EXPECT_STREQ(cle_get_data, "") << "its result names no order by a key it does not carry";
}

TEST_F(FromMemory, SilenceOfALinkThatIsGoneIsSleptOutNotPolled) {
    MemoryLink::gone_at_end = true;
    clock.auto_step(1000); // a wait that polls instead of sleeping still ends
    const long long t0 = clock.now_us();
    ASSERT_EQ(scanequip(), 122);
    double waited = (clock.now_us() - t0) / 1e6;
    EXPECT_GE(waited, 4.0);
    EXPECT_LT(waited, 8.0);
    EXPECT_LE(MemoryLink::receives, 10) << "one receive a second, not a busy loop";
    EXPECT_EQ(data[voiture[4].idx][0], 0);
    EXPECT_EQ(acks(), 3);
}

TEST_F(FromMemory, IdentificationOnALinkThatIsGoneSleepsItsWaitOut) {
    MemoryLink::in.clear();
    MemoryLink::gone_at_end = true;
    clock.auto_step(1000);
    sync_hour_ok = 0;
    const long long t0 = clock.now_us();
    EXPECT_EQ(askforequipinfo(2, 'G', 1), 1) << "no identification came";
    EXPECT_GE((clock.now_us() - t0) / 1e6, 5.0) << "the identification's wait";
    EXPECT_LE(MemoryLink::receives, 5) << "no busy loop";
}

} // namespace
