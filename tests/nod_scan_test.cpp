// The equipment scan. The peripheral list "0101": entries five bytes apart from byte 6,
// the end at "0905" or at the end of the records, the cut at six entries, and numbers
// that have no identification row. Then scan steps against the simulated equipment
// over TCP on 127.0.0.1: polls by key, peripherals without a row, withdrawals.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "boxtest.h"
#include "linktest.h"
#include "roadtest.h"
#include "link.h"
#include "equipsim.h"
#include "file_param.h"
#include "ipc.h"
#include "synchro.h"
#include "nod.h"
#include "tim.h"


namespace {

const char S = 0x02, B = 0x17, X = 0x03, T = 0x04;

std::string list_frame(const std::vector<std::string> &entries, bool end_marker = true) {
    std::string f(1, S);
    f += "0101";
    for (const auto &e : entries)
        f += std::string(1, B) + e;
    if (end_marker) f += std::string(1, B) + "0905";
    return f + X + "4F" + T;
}

int number(int n) { return (unsigned char)type_hardware_connect2[n][0]; }
char letter(int n) { return type_hardware_connect2[n][1]; }

TEST(PeripheralList, EntriesAreReadFiveBytesApartUpToTheEndMarker) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "002G", "003O", "004P"});
    EXPECT_EQ(read_periph_list(f.c_str()), 1);
    ASSERT_EQ(nb_periph_present, 4);
    const char letters[] = "CGOP";
    for (int n = 0; n < 4; n++) {
        EXPECT_EQ(number(n), n + 1);
        EXPECT_EQ(letter(n), letters[n]);
    }
    f = list_frame({"001C", "002G"});
    EXPECT_EQ(read_periph_list(f.c_str()), 0) << "no opacimeter";
    EXPECT_EQ(nb_periph_present, 2);
    EXPECT_EQ(number(2), 0) << "rows of an earlier, longer list are cleared";
}

TEST(PeripheralList, WithoutEndMarkerOnlyTheRecordsAreRead) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "012G"}, false);
    read_periph_list(f.c_str());
    ASSERT_EQ(nb_periph_present, 2) << "ETX, the checksum and EOT are no entry";
    EXPECT_EQ(number(1), 12);
    // a single instrument's list: one entry, no hub
    f = list_frame({"003G"}, false);
    read_periph_list(f.c_str());
    EXPECT_EQ(nb_periph_present, 1);
    EXPECT_EQ(letter(0), 'G');
    // an empty list
    f = list_frame({});
    read_periph_list(f.c_str());
    EXPECT_EQ(nb_periph_present, 0);
    EXPECT_EQ(letter(0), 0);
}

TEST(PeripheralList, MoreThanSixEntriesAreCutAtSix) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "002G", "003O", "004P", "005G", "006G", "007O", "008O"});
    EXPECT_EQ(read_periph_list(f.c_str()), 1);
    EXPECT_EQ(nb_periph_present, 6);
    EXPECT_EQ(number(5), 6);
    // the opacimeters beyond the sixth entry are not seen
    f = list_frame({"001C", "002G", "003G", "004G", "005G", "006G", "007O"});
    EXPECT_EQ(read_periph_list(f.c_str()), 0);
}

TEST(PeripheralList, NumbersTooLargeForAByteAreKeptAsZero) {
    boxtest::reset_state();
    std::string f = list_frame({"001C", "255G", "257O", "999P", "0x1G"});
    read_periph_list(f.c_str());
    ASSERT_EQ(nb_periph_present, 5);
    EXPECT_EQ(number(1), 255);
    EXPECT_EQ(number(2), 0) << "257 would wrap to peripheral 1 and be identified as it";
    EXPECT_EQ(number(3), 0);
    EXPECT_EQ(number(4), 0) << "digits up to the first other character";
}

} // namespace

// ---- The scan step against the simulated equipment over TCP on 127.0.0.1 ----------------

namespace {

class Scan : public ::testing::Test {
  protected:
    equipsim::Sim sim{equipsim::Options{}};
    void SetUp() override {
        linktest::gieglan_station();
        equipPort = sim.listen_tcp(0);
        ASSERT_GT(equipPort, 0);
        demandeParCle = 0;
        sync_hour_ok = 1;
        COMOINPROG[0] = 1;
        socketON = 0;
        write_one_time = 0;
    }
    void TearDown() override {
        if (socketON) closeSocketC();
        socketON = 0;
    }
    void vehicle(int slot, const char *key) {
        snprintf(voiture[slot].cle, sizeof voiture[slot].cle, "%-10s", key);
        snprintf(voiture[slot].plaque, sizeof voiture[slot].plaque, "P%s", key);
    }
    // One request and its reply: the code read.
    int exchange() {
        memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        int code = 0;
        do {
            code = scanequip();
        } while (code == 0 && COM_STAT == 1 && std::chrono::steady_clock::now() < end);
        return code;
    }
    std::vector<std::string> texts_of(const std::string &code) {
        std::vector<std::string> out;
        for (const auto &f : sim.box_frames())
            if (f.code() == code) out.push_back(f.records()[0].text);
        return out;
    }
};

TEST_F(Scan, HubAskedByKeyWalksTheSlotsWithoutResults) {
    giegtype = 2;
    demandeParCle = 1;
    vehicle(0, "K0");
    vehicle(3, "K3");
    vehicle(5, "K5");
    voiture[5].idx = 2; // results already here: not asked again
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(exchange(), 188);
    std::vector<std::string> expected{"K0        ", "K3        ", "??????????", "K0        "};
    EXPECT_EQ(texts_of("0121"), expected);
    EXPECT_TRUE(boxtest::wait_until([&] { return sim.count_code("0900") == 4; }, 2000))
        << "every 0188 is acknowledged";
}


TEST_F(Scan, ResultsStayWithTheEquipmentUntilTheBoxHasReadItsOrders) {
    giegtype = 2;
    orders_known = 0; // a box just started
    boxtest::set_network(1);
    sim.add_result("K0        ", {{"0200", "AB123CD   "}, {"0500", " 12.5"}});
    auto reading = [] {
        memset(&TIME_1S, 0, sizeof TIME_1S);
        PCaction(0);
    };
    reading(); // the share is down: nothing is known
    EXPECT_EQ(orders_known, 0);
    boxtest::set_network(0);
    for (int k = 0; k < 3; k++) {
        memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
        scanequip();
    }
    EXPECT_TRUE(texts_of("0121").empty()) << "no result asked for";
    EXPECT_EQ(sim.results_pending(), 1);

    // the orders read: the vehicle is entered and its result taken
    roadtest::put_order("K0", "AB123CD");
    reading();
    EXPECT_EQ(orders_known, 1);
    EXPECT_STREQ(voiture[0].cle, "K0        ");
    EXPECT_EQ(exchange(), 122);
    EXPECT_EQ(termine[0], 1);
}

TEST_F(Scan, PeripheralsWithoutAnIdentificationRowAreNotAsked) {
    equipsim::Sim hub([] {
        equipsim::Options o;
        o.periphs = {{0, 'G', {}}, {3, 'O', {}}, {6, 'P', {}}};
        return o;
    }());
    equipPort = hub.listen_tcp(0);
    EXPECT_EQ(exchange(), 101);
    EXPECT_EQ(giegtype, 2);
    std::vector<std::string> asked;
    for (const auto &f : hub.box_frames())
        if (f.code() == "0140") asked.push_back(f.records()[0].text);
    EXPECT_EQ(asked, std::vector<std::string>{"003"});
    EXPECT_GT(Cpt_SIHC[2], 0) << "peripheral 3 is filed under row 2";
    // the information file names it by its list position
    std::string info = boxtest::read_file(boxtest::root("/home/KELDRAN/DATA/log/periph1info.txt"));
    EXPECT_NE(info.find("\nPeriph2:\n"), std::string::npos) << info;
    EXPECT_EQ(info.find("\nPeriph1:\n"), std::string::npos) << info;
}

TEST_F(Scan, WithdrawalAcknowledgedByTheEquipmentEmptiesItsOwnSlot) {
    giegtype = 2;
    vehicle(1, "K2"); // another vehicle under the same key (as a table could once hold)
    snprintf(voiture[1].plaque, sizeof voiture[1].plaque, "OTHER");
    vehicle(2, "K2");
    ASSERT_EQ(exchange(), 188); // the connection is up
    NEWCLE[2] = 1;
    newplaque[2] = 1;
    memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
    scanequip();
    EXPECT_EQ(sim.withdrawn(), std::vector<std::string>{"K2        "});
    EXPECT_EQ(voiture[2].cle[0], 0);
    EXPECT_EQ(NEWCLE[2], 0);
    EXPECT_EQ(newplaque[2], 0);
    EXPECT_EQ(COMOINPROG[0], 1);
    EXPECT_STREQ(voiture[1].plaque, "OTHER") << "the slot decided for is emptied, not the key's first";
}

TEST_F(Scan, SpxWithdrawalIsSentOnlyWhileTheDialogueRunsAndSettledByTheAnswer) {
    snprintf(save_client, sizeof save_client, "SPX");
    giegtype = 2;
    vehicle(4, "K4");
    ASSERT_EQ(exchange(), 188); // the connection is up
    NEWCLE[4] = 1;
    COMOINPROG[0] = 0;
    memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
    scanequip();
    EXPECT_TRUE(sim.withdrawn().empty()) << "no dialogue: nothing is sent";
    COMOINPROG[0] = 1;
    memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
    scanequip();
    EXPECT_EQ(sim.withdrawn(), std::vector<std::string>{"K4        "});
    EXPECT_EQ(voiture[4].cle[0], 0) << "the acknowledgement settles the slot at once";
    EXPECT_EQ(NEWCLE[4], 0);
    EXPECT_EQ(effacement, 0);
}

TEST_F(Scan, WithdrawalOnALostLinkFreesTheSlotLocally) {
    giegtype = 2;
    vehicle(1, "K1");
    NEWCLE[1] = 1;
    boxtest::write_file(boxtest::root("/home/KELDRAN/DATA/connect1"), "");
    memset(&ASKEQUIPONESEC, 0, sizeof ASKEQUIPONESEC);
    scanequip(); // no TCP connection: the link is not usable
    EXPECT_FALSE(boxtest::exists(boxtest::root("/home/KELDRAN/DATA/connect1")));
    EXPECT_EQ(write_one_time, 1);
    EXPECT_EQ(COMOINPROG[0], 0);
    EXPECT_EQ(voiture[1].cle[0], 0);
    EXPECT_EQ(NEWCLE[1], 0);
    EXPECT_TRUE(sim.box_frames().empty());
}


} // namespace
