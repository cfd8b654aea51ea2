// The vehicle table kept in step with the PC's orders: slots for new plates, keys cut
// and padded to 10, order lines copied, vanished orders marked for withdrawal, and the
// cursors of the plate list. The order table SI is filled by hand and the reading of
// the share is held off by keeping its timer running.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "boxtest.h"
#include "linktest.h"
#include "file_param.h"
#include "main.h"
#include "nod.h"
#include "tim.h"

namespace {

// A TCP port of 127.0.0.1 that refuses connections, so that any frame the plate list
// sends fails at once instead of waiting for an equipment.
int refused_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, (sockaddr *)&a, &len);
    close(s);
    return ntohs(a.sin_port);
}

class Orders : public ::testing::Test {
  protected:
    boxtest::FakeClock clock{1765000000};
    void SetUp() override {
        linktest::gieglan_station();
        equipPort = refused_port();
        clock.auto_step(1000); // waits of the link end quickly
        memset(enveloppe, 0, sizeof enveloppe);
    }
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
    stageall = 0;
    for (int k = 0; k < NBPLAQUEMAX; k++)
        processplaqueliste();
    EXPECT_EQ(stageall, ALL);
    EXPECT_EQ(newplaque[s1], 1) << "a withdrawn vehicle is not sent";
    EXPECT_EQ(newplaque[s2], 0);
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
