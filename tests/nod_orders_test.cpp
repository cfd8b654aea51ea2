// The vehicle table kept in step with the PC's orders: slots for new plates, keys cut
// and padded to 10, order lines copied, vanished orders marked for withdrawal, a plate
// ordered again under a new key, orders whose key a vehicle holds, and the cursors of
// the plate list with its full pass. The order table SI is filled by hand and the
// reading of the share is held off by keeping its timer running; the plate list and
// the scan's withdrawals talk to the simulated hub over TCP on 127.0.0.1.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "boxtest.h"
#include "heartbeat.h"
#include "equipsim.h"
#include "linktest.h"
#include "file_param.h"
#include "ipc.h"
#include "nod.h"
#include "synchro.h"
#include "tim.h"

namespace {

class Orders : public ::testing::Test {
  protected:
    equipsim::Sim sim{equipsim::Options{}};
    void SetUp() override {
        linktest::gieglan_station();
        equipPort = sim.listen_tcp(0);
        ASSERT_GT(equipPort, 0);
        memset(enveloppe, 0, sizeof enveloppe);
    }
    void TearDown() override { linktest::reset_link(); }
    // One pass of PCaction without reading the share.
    void pass() {
        tim_program_ms(&TIME_1S, 3600 * 1000);
        PCaction(0);
    }
    void order(int i, const char *key, const char *plate, const char *const *lines = nullptr) {
        snprintf(SI[i].cle, sizeof SI[i].cle, "%s", key);
        snprintf(SI[i].plaqueinfo, sizeof SI[i].plaqueinfo, "%s", plate);
        snprintf(SI[i].carburantinfo, sizeof SI[i].carburantinfo, "ES1");
        for (int k = 0; lines && lines[k]; k++)
            snprintf(SI[i].autreinfo[k], sizeof SI[i].autreinfo[k], "%s", lines[k]);
        if (Cpt_plaque < i + 1) Cpt_plaque = i + 1;
    }
    int slot_of(const char *plate) {
        for (int s = 0; s < NBPLAQUEMAX; s++)
            if (strcmp(voiture[s].plaque, plate) == 0) return s;
        return -1;
    }
    // The scan's request phase, the clock being set: a pending withdrawal goes first.
    void scan_request() {
        sync_hour_ok = 1;
        memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
        scanequip();
        COM_STAT = 0; // a poll's reply is not awaited here
    }
    // What the hub was told, in order: "0120 <key>" per frame of a vehicle, "0150 <key>".
    std::vector<std::string> told() {
        std::vector<std::string> out;
        for (const auto &f : sim.box_frames())
            if (f.code() == "0120" || f.code() == "0150")
                out.push_back(f.code() + " " + f.records()[0].text);
        return out;
    }
};

TEST_F(Orders, NewOrderFillsAFreeSlotMarkedToBeSent) {
    const char *lines[] = {"0200=AB-123-CD\r\n", "0204=ES\r\n", nullptr};
    order(0, "K0001", "AB-123-CD", lines);
    pass();
    int s = slot_of("AB-123-CD");
    ASSERT_EQ(s, 0);
    EXPECT_STREQ(voiture[s].cle, "K0001     ");
    EXPECT_STREQ(voiture[s].cartype, "ES1");
    EXPECT_STREQ(voiture[s].autreinfo[0], "0200=AB-123-CD\r\n");
    EXPECT_STREQ(voiture[s].autreinfo[1], "0204=ES\r\n");
    EXPECT_STREQ(voiture[s].autreinfo[2], "");
    EXPECT_EQ(voiture[s].idx, ALL);
    EXPECT_EQ(newplaque[s], 1);
    EXPECT_EQ(NEWCLE[s], 0);
    EXPECT_EQ(voiture[s].order, 1);

    pass(); // the same order again changes nothing
    EXPECT_EQ(voiture[s].order, 1);
    EXPECT_EQ(slot_of("AB-123-CD"), 0);
    EXPECT_EQ(voiture[1].cle[0], 0);
}

TEST_F(Orders, TwoOrdersWithOnePlateFillOneSlot) {
    order(0, "K1", "SAME");
    order(1, "K2", "SAME");
    order(2, "K3", "OTHER");
    pass();
    EXPECT_STREQ(voiture[0].cle, "K1        ");
    EXPECT_STREQ(voiture[1].plaque, "OTHER");
    EXPECT_EQ(voiture[2].cle[0], 0);
    EXPECT_EQ(voiture[1].order, 2);
}

TEST_F(Orders, KeyIsCutOrPaddedToTenCharacters) {
    order(0, "ABCDEFGHIJK", "P1");
    order(1, "", "P2");
    pass();
    EXPECT_STREQ(voiture[slot_of("P1")].cle, "ABCDEFGHIJ");
    EXPECT_STREQ(voiture[slot_of("P2")].cle, "          ");
}

TEST_F(Orders, VanishedOrderIsMarkedForWithdrawalAndLeftOutOfTheFullPass) {
    order(0, "K1", "P1");
    order(1, "K2", "P2");
    pass();
    // the order of P1 disappears: P2 moves to the first row of SI
    SI[0] = SI[1];
    Cpt_plaque = 1;
    pass();
    int s1 = slot_of("P1"), s2 = slot_of("P2");
    EXPECT_EQ(NEWCLE[s1], 1);
    EXPECT_EQ(NEWCLE[s2], 0);

    // a dialogue (re)starts: the full pass sends every vehicle without results but P1
    start_full_pass();
    for (int k = 0; k < NBPLAQUEMAX; k++)
        processplaqueliste();
    EXPECT_EQ(stageall, ALL);
    EXPECT_EQ(newplaque[s1], 1) << "a withdrawn vehicle is not sent";
    EXPECT_EQ(newplaque[s2], 0);
    EXPECT_FALSE(sim.vehicles().count("K1        "));
    EXPECT_TRUE(sim.vehicles().count("K2        "));
}

TEST_F(Orders, FullPassGoesFromVehicleToVehicleAndEndsWithTheLast) {
    // an empty table: the pass ends in its first step, which goes on to the new plates
    start_full_pass();
    processplaqueliste();
    EXPECT_EQ(stageall, ALL);

    order(0, "K0", "P0");
    order(1, "K1", "P1");
    order(2, "K2", "P2");
    order(3, "K3", "P3");
    pass();
    for (int s = 0; s < 4; s++)
        newplaque[s] = 0; // all of them with the equipment already
    voiture[0].idx = 3;   // results here: not sent again
    NEWCLE[2] = 1;        // to be withdrawn: not sent again

    start_full_pass(); // the dialogue starts again
    processplaqueliste();
    EXPECT_EQ(told(), std::vector<std::string>{"0120 K1        "}) << "the first step sends";
    // meanwhile slot 1 is done with and two vehicles come: behind the pass and ahead of it
    empty_slot(1);
    order(0, "K0", "P0");
    order(1, "N1", "N1");
    order(2, "N4", "N4");
    order(3, "K3", "P3");
    Cpt_plaque = 4;
    pass();
    ASSERT_EQ(slot_of("N1"), 1);
    ASSERT_EQ(slot_of("N4"), 4);
    // the two new vehicles come first, one a step, ahead of the one sent again
    processplaqueliste();
    processplaqueliste();
    EXPECT_NE(stageall, ALL) << "K3 still to be sent again";
    processplaqueliste();
    EXPECT_EQ(stageall, ALL) << "over with its last vehicle";
    processplaqueliste();
    std::vector<std::string> expected{"0120 K1        ", "0120 N1        ", "0120 N4        ",
                                      "0120 K3        "};
    EXPECT_EQ(told(), expected) << "one vehicle a step, each once; new ones first";
    EXPECT_EQ(newplaque[1] + newplaque[4], 0);
}

TEST_F(Orders, PlateOrderedAgainUnderANewKeyIsWithdrawnUnderTheOldOneFirst) {
    order(0, "OLD1", "AB-123-CD");
    pass();
    processplaqueliste();
    const int s = slot_of("AB-123-CD");

    // within one reading of the share: the old order gone, the new one there
    order(0, "NEW1", "AB-123-CD");
    pass();
    EXPECT_EQ(NEWCLE[s], 1);
    EXPECT_STREQ(voiture[s].cle, "OLD1      ");
    start_full_pass(); // not even a full pass sends it again
    processplaqueliste();
    processplaqueliste();
    scan_request();
    EXPECT_EQ(voiture[s].cle[0], 0) << "withdrawn and emptied";
    pass();
    processplaqueliste();
    std::vector<std::string> expected{"0120 OLD1      ", "0150 OLD1      ", "0120 NEW1      "};
    EXPECT_EQ(told(), expected);
    EXPECT_STREQ(voiture[slot_of("AB-123-CD")].cle, "NEW1      ");

    // across readings: the next re-test is on the share beside its old order first
    order(1, "NEW2", "AB-123-CD");
    pass();
    EXPECT_EQ(NEWCLE[slot_of("AB-123-CD")], 0) << "its order is still there";
    SI[0] = SI[1];
    Cpt_plaque = 1;
    pass();
    pass();
    EXPECT_EQ(NEWCLE[slot_of("AB-123-CD")], 1);
    scan_request();
    pass();
    processplaqueliste();
    expected.insert(expected.end(), {"0150 NEW1      ", "0120 NEW2      "});
    EXPECT_EQ(told(), expected);
}

// The share as the reading finds it: a vehicle is withdrawn only after a whole reading
// that no longer lists its order, never because the share was unusable, the order
// directory did not open, or the order file could not be read.
TEST_F(Orders, VehicleIsWithdrawnOnlyAfterAWholeReadingNoLongerListsItsOrder) {
    const std::string cg = boxtest::root("/mnt/GIEGLAN/CG");
    mkdir(cg.c_str(), 0755);
    boxtest::write_file(cg + "/K1.CG", "0200=P1\r\n");
    boxtest::write_file(cg + "/K2.CG", "0200=P2\r\n");
    boxtest::set_network(0);
    auto reading = [] {
        memset(&TIME_1S, 0, sizeof TIME_1S); // due
        PCaction(0);
    };
    auto withdrawn = [&](const char *plate) { return NEWCLE[slot_of(plate)] == 1; };
    reading();
    ASSERT_GE(slot_of("P1        "), 0);
    ASSERT_GE(slot_of("P2        "), 0);
    EXPECT_EQ(led_green_status, 1);

    boxtest::remove_file(cg + "/K1.CG");
    boxtest::set_network(1); // the share unusable: not read
    reading();
    boxtest::set_network(0);
    boxtest::write_file(boxtest::root("/home/KELDRAN/DATA/offline.state"), "");
    reading();
    boxtest::remove_file(boxtest::root("/home/KELDRAN/DATA/offline.state"));
    rename(cg.c_str(), (cg + ".away").c_str()); // a directory that does not open
    ASSERT_EQ(symlink(cg.c_str(), cg.c_str()), 0);
    reading();
    EXPECT_EQ(orders_read_ok, 0);
    EXPECT_FALSE(withdrawn("P1        "));
    EXPECT_FALSE(withdrawn("P2        "));
    EXPECT_EQ(led_green_status, 0) << "the directory did not open";

    // whole again, the order of P2 held open by the PC (its file does not open)
    boxtest::remove_file(cg);
    rename((cg + ".away").c_str(), cg.c_str());
    boxtest::remove_file(cg + "/K2.CG");
    ASSERT_EQ(symlink("K2.CG", (cg + "/K2.CG").c_str()), 0);
    reading();
    EXPECT_EQ(orders_read_ok, 1);
    EXPECT_TRUE(withdrawn("P1        "));
    EXPECT_FALSE(withdrawn("P2        "));
    EXPECT_EQ(led_green_status, 1);
}

TEST_F(Orders, VehicleNotAcknowledgedWholeIsSentAgainAfterTheOtherNewOnes) {
    // K1 takes two frames: the equipment refuses the first and acknowledges the second
    const char *long_lines[] = {"0200=AB-123-CD\r\n", "0204=ES\r\n",
                                "7213=A LONG REMARK ON THE VEHICLE\r\n", nullptr};
    order(0, "K1", "P1", long_lines);
    order(1, "K2", "P2");
    pass();
    sim.reply_next_with("0902");
    processplaqueliste();
    EXPECT_EQ(newplaque[0], 1) << "not forgotten";
    processplaqueliste();
    EXPECT_EQ(newplaque[1], 0) << "the next new vehicle goes meanwhile";
    EXPECT_EQ(sim.count_code("0120"), 3);
    processplaqueliste();
    EXPECT_EQ(newplaque[0], 0) << "then the first one again";
    EXPECT_EQ(sim.count_code("0120"), 5) << "its whole message, both frames";
}

TEST_F(Orders, OrderWaitsWhileAVehicleHoldsItsKey) {
    // OTCLAN plates of 11 characters: the keys are their first 10
    order(0, "ABCDEFGHIJK", "ABCDEFGHIJK");
    order(1, "ABCDEFGHIJL", "ABCDEFGHIJL");
    testing::internal::CaptureStderr();
    pass();
    voiture[0].idx = 3; // the first vehicle's result is arriving
    snprintf(data[3], SIZEDATA, "\x17" "0200ABCDEFGHIJK");
    pass();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(voiture[0].plaque, "ABCDEFGHIJK") << "the vehicle keeps its slot";
    EXPECT_EQ(voiture[0].idx, 3);
    EXPECT_STREQ(data[3], "\x17" "0200ABCDEFGHIJK") << "and its result buffer";
    EXPECT_EQ(slot_of("ABCDEFGHIJL"), -1);
    int told = 0;
    for (size_t p = err.find("en attente: cle ABCDEFGHIJ"); p != std::string::npos;
         p = err.find("en attente: cle ABCDEFGHIJ", p + 1))
        told++;
    EXPECT_EQ(told, 1) << err;

    // the first order goes: the second waits until the vehicle's slot is empty
    SI[0] = SI[1];
    Cpt_plaque = 1;
    pass();
    EXPECT_EQ(NEWCLE[0], 1);
    EXPECT_EQ(slot_of("ABCDEFGHIJL"), -1);
    effacecar("ABCDEFGHIJ", 1);
    voiture[0].idx = 5; // a result buffer left to an empty slot
    snprintf(data[5], SIZEDATA, "\x17" "0200STALE");
    pass();
    EXPECT_EQ(slot_of("ABCDEFGHIJL"), 0);
    EXPECT_STREQ(voiture[0].cle, "ABCDEFGHIJ");
    EXPECT_EQ(voiture[0].idx, ALL);
    EXPECT_EQ(data[5][0], 0) << "filling the slot frees the buffer it still had";
}

TEST_F(Orders, FullTableMakesNewOrdersWaitForAFreeSlot) {
    for (int i = 0; i < NBPLAQUEMAX; i++) {
        std::string p = "P" + std::to_string(i);
        order(i, ("K" + std::to_string(i)).c_str(), p.c_str());
    }
    pass();
    for (int s = 0; s < NBPLAQUEMAX; s++)
        ASSERT_NE(voiture[s].cle[0], 0);
    // P7's order goes, a new plate takes its place in SI
    order(7, "KNEW", "PNEW");
    pass();
    EXPECT_EQ(slot_of("PNEW"), -1) << "no free slot yet";
    EXPECT_EQ(NEWCLE[7], 1);
    memset(&voiture[7], 0, sizeof voiture[7]); // the withdrawal empties the slot
    voiture[7].idx = ALL;
    pass();
    EXPECT_EQ(slot_of("PNEW"), 7);
    EXPECT_STREQ(voiture[7].cle, "KNEW      ");
    EXPECT_EQ(newplaque[7], 1);
}

TEST(Addcle, TakesTheSlotOfAnEqualKeyElseTheFirstEmptyOne) {
    boxtest::reset_state();
    snprintf(voiture[2].cle, sizeof voiture[2].cle, "ABCDEFGHIJ");
    snprintf(voiture[0].cle, sizeof voiture[0].cle, "XYZ");
    EXPECT_EQ(addcle("ABCDEFGHIJKLM"), 1);
    EXPECT_EQ(CURCLE, 2) << "first 10 characters equal";
    EXPECT_EQ(addcle("NEW"), 1);
    EXPECT_EQ(CURCLE, 1);
    EXPECT_STREQ(voiture[1].cle, "NEW");
    EXPECT_EQ(addcle("LONGERTHANTEN"), 1);
    EXPECT_STREQ(voiture[3].cle, "LONGERTHAN");
    for (int s = 0; s < NBPLAQUEMAX; s++)
        if (!voiture[s].cle[0]) snprintf(voiture[s].cle, sizeof voiture[s].cle, "F%d", s);
    EXPECT_EQ(addcle("NONE"), 0);
}

TEST_F(Orders, NewPlateCursorStaysOnASlotThatHoldsResults) {
    order(0, "K1", "P1");
    order(1, "K2", "P2");
    pass();
    voiture[0].idx = 3; // results arrived before the plate went out
    scanplaque = 0;
    processplaqueliste();
    EXPECT_EQ(scanplaque, 0);
    EXPECT_EQ(newplaque[0], 1) << "a slot with results is not sent";
    processplaqueliste();
    EXPECT_EQ(scanplaque, 0) << "the cursor waits on it";
    EXPECT_EQ(newplaque[1], 1);

    voiture[0].idx = ALL; // the slot is done with: the next step sends it
    processplaqueliste();
    EXPECT_EQ(newplaque[0], 0);
    processplaqueliste();
    EXPECT_EQ(scanplaque, 1);
    EXPECT_EQ(newplaque[1], 0);
}

} // namespace
