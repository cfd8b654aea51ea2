// The whole road of a vehicle under BNET, the real dev-build concentrator against the
// simulated hub over TCP on 127.0.0.1: order files in DataExchange/Orderlisting reach
// the hub as "0120" keyed by their plate, and each vehicle's headlamp result comes back
// as ImportResults/<plate>.dat with its status, end date, test device and beam sections,
// several vehicles pending at once; one of them taken while the share is down, kept on the
// box across a restart and delivered whole once the share is back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "roadtest.h"

using boxtest::root;
using equipsim::Record;
using equipsim::pad;

namespace {

const std::vector<Record> LAMP_IDENT{
    {"0300", pad("KELDRAN", 20)}, {"0301", pad("HEADLAMP TESTER HT-1", 20)},
    {"0302", pad("SNP 4711", 20)}, {"0304", "01032025"}, {"0313", pad("LIGHT 3.2", 20)},
};

std::string lf(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines)
        out += l + "\n";
    return out;
}

// The file of the headlamp test for a plate: the sections before the beams.
std::string head_of(const std::string &plate, const std::string &status,
                    const std::string &real_end) {
    std::vector<std::string> l{"", "[Vehicle1]", "Plate=" + plate, "",
                               "[Vehicle1/OrderPos/Light]", "Did=Light_2_000", "Status=" + status};
    if (!real_end.empty()) l.push_back("RealEnd=" + real_end);
    for (const std::string &s : {std::string(""), std::string("[Vehicle1/Result1/Light/TestDevice]"),
                                 std::string("Manufacturer=KELDRAN"),
                                 std::string("Type=HEADLAMP TESTER HT-1"),
                                 std::string("SerialNumber=SNP 4711"),
                                 std::string("SoftwareVersion=LIGHT 3.2"), std::string(""),
                                 std::string("[Vehicle1/Result1/Light/LowBeam]")})
        l.push_back(s);
    return lf(l);
}

TEST(RoadBnet, OrdersReachTheHubByPlateAndEachVehicleGetsItsOwnResultFile) {
    equipsim::Options o;
    o.periphs = {{2, 'G', equipsim::default_ident('G', 2)}, {3, 'P', LAMP_IDENT}};
    equipsim::Sim sim(o);
    const std::string base = root("/station");
    roadtest::prepare("BNET", "KELDRAN", sim.listen_tcp(0), {{"#002#", base}});
    const std::string orders = base + "/DataExchange/Orderlisting";
    const std::string results = base + "/DataExchange/ImportResults";
    ASSERT_EQ(system(("mkdir -p '" + orders + "' '" + results + "'").c_str()), 0);

    const std::vector<std::string> plates{"AB123CD", "EF456GH", "IJ789KL"};
    for (size_t i = 0; i < plates.size(); i++)
        boxtest::write_file(orders + "/order" + std::to_string(i) + ".txt",
                            "[Vehicle1]\r\nPlate=" + plates[i] + "\r\nFuel=D\r\n");
    boxtest::Proc box = roadtest::start_box("road_bnet");
    for (const auto &p : plates)
        ASSERT_TRUE(boxtest::wait_until([&] { return roadtest::has_vehicle(sim, pad(p, 10)); },
                                        40000))
            << p << "\n" << box.output();
    // the plate is the key; a BNET order has no further line to send
    std::map<std::string, std::vector<Record>> sent = sim.vehicles();
    EXPECT_EQ(sent.size(), plates.size());
    for (const auto &v : sent)
        EXPECT_TRUE(v.second.empty()) << v.first;

    // all three pending at once, their results ready in the reverse order of the orders
    sim.add_result(pad("IJ789KL", 10), {{"0200", "IJ789KL"}, {"0492", "1"}, {"0490", "2"},
                                        {"0499", "9"}, {"0485", "0"}, {"0493", "1.5"},
                                        {"0497", "0.5"}, {"0496", "0.6"}});
    sim.add_result(pad("EF456GH", 10),
                   {{"0200", "EF456GH"}, {"0492", "9"}, {"0490", "9"}, {"0491", "0.9"}});
    sim.add_result(pad("AB123CD", 10),
                   {{"0200", "AB123CD"}, {"0492", "1"}, {"0490", "1"}, {"0493", "1.2"},
                    {"0491", "1.1"}, {"0494", "06122026153000"}});
    std::vector<std::string> files;
    for (const auto &p : plates)
        files.push_back(results + "/" + p + ".dat");

    // The share goes down after the first file, once the clock has been taken again: the
    // second result is taken meanwhile and waits in the box's outbox, and no other result
    // is asked for while the clock cannot be taken. The box is killed and started again
    // with the share still down, a delivery cut by the kill having left half a file; once
    // the share is back the new box delivers the waiting file whole and takes the last.
    ASSERT_TRUE(roadtest::wait_files({files[2]}, 30000)) << box.output();
    sim.clear_frames();
    ASSERT_TRUE(sim.wait_code("0130", 15000));
    boxtest::set_network(1);
    ASSERT_TRUE(roadtest::outbox_waiting(1, 20000)) << box.output();
    EXPECT_EQ(boxtest::list_dir(results), std::vector<std::string>{"IJ789KL.dat"});
    box.stop();
    boxtest::write_file(files[1] + ".tmp", "\n[Vehicle1]\nPla");
    boxtest::Proc again = roadtest::start_box("road_bnet_again");
    ASSERT_TRUE(roadtest::outbox_counted(again, 1, 10000)) << again.output();
    boxtest::set_network(0);
    ASSERT_TRUE(roadtest::wait_files(files, 60000)) << again.output();

    // both low beams passed, no fog lamps, an end date: the whole file, byte for byte
    EXPECT_EQ(boxtest::read_file(files[0]),
              head_of("AB123CD", "3", "06.12.2026 15:30:00") +
                  lf({"VerticalPositionRight_State=1", "VerticalPositionLeft_State=1",
                      "VerticalCutoffRight=1.20", "VerticalCutoffLeft=1.10"}));
    // both low beams refused, no fog lamps: status 2
    EXPECT_EQ(boxtest::read_file(files[1]),
              head_of("EF456GH", "2", "") +
                  lf({"VerticalPositionRight_State=0", "VerticalPositionLeft_State=0",
                      "VerticalCutoffLeft=0.90"}));
    // both fog-lamp states: status 5 and the fog section
    EXPECT_EQ(boxtest::read_file(files[2]),
              head_of("IJ789KL", "5", "") +
                  lf({"VerticalPositionRight_State=1", "VerticalPositionLeft_State=-1",
                      "VerticalCutoffRight=1.50", "", "[Vehicle1/Result1/Light/FogBeam]",
                      "VerticalPositionRight_State=0", "VerticalPositionLeft_State=-1",
                      "VerticalCutoffRight=0.50", "VerticalCutoffLeft=0.60"}));
    EXPECT_EQ(boxtest::list_dir(results),
              (std::vector<std::string>{"AB123CD.dat", "EF456GH.dat", "IJ789KL.dat"}));
    again.stop();
}

} // namespace
