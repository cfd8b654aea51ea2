// The road of a vehicle (GIEGLAN order file, "0120" to the hub, the hub's result, RES
// file) over every link the box knows, with the real concentrator and the simulated hub:
// a serial line on a pseudo-terminal under each device name, and TCP on 127.0.0.1. And
// the road again after the link was lost: a USB adapter unplugged and plugged back under
// another number, the Bluetooth device gone and back, the equipment on TCP restarting
// while a vehicle is in flight.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "boxtest.h"
#include "equipsim.h"
#include "roadtest.h"

using boxtest::root;
using boxtest::wait_until;
using namespace roadtest;

namespace {

const std::string CONNECT1 = "/home/KELDRAN/DATA/connect1";

// One vehicle from its order to its result file: the hub gets its plate, answers with
// a gas result marked n, and the result file holds that result under the vehicle's key.
void road(equipsim::Sim &sim, const boxtest::Proc &box, const std::string &key,
          const std::string &plate, int n) {
    SCOPED_TRACE("vehicle " + key);
    put_order(key, plate);
    ASSERT_TRUE(wait_until([&] { return sent(sim, key); }, 25000)) << box.output();
    auto recs = sim.vehicles()[key10(key)];
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0].code + "=" + recs[0].text, "0200=" + key10(plate));
    sim.add_result(key10(key), gas_result(plate, n));
    char mark[16];
    snprintf(mark, sizeof mark, "0501=%03d\r\n", n);
    ASSERT_TRUE(wait_until([&] { return gas_file(key).find(mark) != std::string::npos; }, 25000))
        << box.output();
    std::string g = gas_file(key);
    EXPECT_NE(g.find("0200=" + key10(plate) + "\r\n"), std::string::npos) << g;
    EXPECT_NE(g.find("0504=14.20\r\n"), std::string::npos) << g;
    EXPECT_EQ(result_files(key), std::vector<std::string>{key + ".G"});
    // the PC takes the result and clears the order
    remove_order(key);
}

TEST(Links, VehicleRoadOverRs232) {
    equipsim::Sim sim(hub("G"));
    prepare("GIEGLAN", "KELDRAN", 0, serial_link("RS232"));
    ASSERT_TRUE(sim.open_pty(root("/dev/ttyS2")));
    boxtest::Proc box = start_box("links_rs232");
    road(sim, box, "S1", "RS232AA", 1);
    EXPECT_TRUE(boxtest::exists(root(CONNECT1))) << "the serial link is recorded as up";
}

TEST(Links, UsbAdapterUnpluggedAndBackAsTtyUSB1) {
    equipsim::Sim sim(hub("G"));
    prepare("GIEGLAN", "KELDRAN", 0, serial_link("USB", "COM1"));
    ASSERT_TRUE(sim.open_pty(root("/dev/ttyUSB0")));
    boxtest::Proc box = start_box("links_usb");
    road(sim, box, "U1", "USB1AA", 11);
    if (HasFatalFailure()) return;

    // unplugged: the box searches for it under every number, in vain
    sim.vanish();
    ASSERT_TRUE(wait_until(
        [&] {
            return box.output().find("Reconnection sur " + root("/dev/ttyUSB9")) !=
                   std::string::npos;
        },
        25000))
        << box.output();
    // an order arrives meanwhile; the adapter comes back as the next number
    put_order("U2", "USB2BB");
    ASSERT_TRUE(sim.reappear(root("/dev/ttyUSB1")));
    ASSERT_TRUE(wait_until(
        [&] { return box.output().find("sve_port:" + root("/dev/ttyUSB1")) != std::string::npos; },
        25000))
        << box.output();
    road(sim, box, "U2", "USB2BB", 12);
}

TEST(Links, BluetoothDeviceGoneAndBack) {
    equipsim::Sim sim(hub("G"));
    prepare("GIEGLAN", "KELDRAN", 0, serial_link("BLUETOOTH"));
    ASSERT_TRUE(sim.open_pty(root("/dev/rfcomm0")));
    boxtest::Proc box = start_box("links_bt");
    road(sim, box, "B1", "BT1AA", 21);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(boxtest::exists(root(CONNECT1)));

    // the device goes: the loss is recorded by deleting connect1
    sim.vanish();
    ASSERT_TRUE(wait_until([&] { return !boxtest::exists(root(CONNECT1)); }, 25000))
        << box.output();
    EXPECT_NE(box.output().find("ATTENTE DE CONNEXION"), std::string::npos);
    sim.clear_frames();
    ASSERT_TRUE(sim.reappear(root("/dev/rfcomm0")));
    road(sim, box, "B2", "BT2BB", 22);
    EXPECT_TRUE(boxtest::exists(root(CONNECT1))) << "the link is recorded as up again";
}

TEST(Links, TcpEquipmentRestartingGetsTheVehiclesInFlightAgain) {
    auto sim = std::make_unique<equipsim::Sim>(hub("G"));
    const int port = sim->listen_tcp(0);
    ASSERT_GT(port, 0);
    prepare("GIEGLAN", "KELDRAN", port);
    boxtest::Proc box = start_box("links_tcp");
    put_order("T1", "TCP1AA");
    ASSERT_TRUE(wait_until([&] { return sent(*sim, "T1"); }, 25000)) << box.output();

    // the equipment restarts on the same port, knowing nothing of the box nor of the
    // vehicle it had: its connection is gone, the box connects again and sends it again
    sim->stop();
    sim.reset();
    sim = std::make_unique<equipsim::Sim>(hub("G"));
    ASSERT_EQ(sim->listen_tcp(port), port);
    ASSERT_TRUE(wait_until([&] { return sent(*sim, "T1"); }, 30000)) << box.output();
    sim->add_result(key10("T1"), gas_result("TCP1AA", 31));
    ASSERT_TRUE(
        wait_until([&] { return gas_file("T1").find("0501=031\r\n") != std::string::npos; }, 25000))
        << box.output();
    EXPECT_EQ(result_files("T1"), std::vector<std::string>{"T1.G"});
}

} // namespace
