// A single instrument (its list's entry 0 is no hub) polled with "0110": its results
// come back as "0111" frames without a key and must still reach the PC as a result file
// of the vehicle waiting in the table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "boxtest.h"
#include "equipsim.h"

using boxtest::root;
using equipsim::pad;

namespace {

TEST(SingleInstrument, ResultOfTheInstrumentReachesThePcForTheWaitingVehicle) {
    equipsim::Options o;
    o.hub = false;
    o.periphs = equipsim::default_periphs("G", 1);
    equipsim::Sim sim(o);
    boxtest::reset_root();
    boxtest::set_network(0);
    for (const char *d : {"/mnt/GIEGLAN/ID", "/mnt/GIEGLAN/CG", "/mnt/GIEGLAN/RES"})
        mkdir(root(d).c_str(), 0755);
    boxtest::write_param({{"#001#", "GIEGLAN"},
                          {"#005#", "KELDRAN"},
                          {"#020#", "1234"},
                          {"#100#", "LAN"},
                          {"#101#", "127.0.0.1"},
                          {"#102#", std::to_string(sim.listen_tcp(0))}});
    boxtest::write_file(root("/mnt/GIEGLAN/CG/K1.txt"), "[V]\r\n0200=AB123CD\r\n[CRC]\r\n");
    boxtest::Proc box = boxtest::spawn(boxtest::concentrator_bin(), {},
                                       std::string(BINARY_DIR) + "/e2e_single.out");
    ASSERT_TRUE(sim.wait_code("0110", 30000)) << box.output();
    EXPECT_EQ(sim.count_code("0140"), 0) << "a single instrument is not identified";
    sim.add_single_result({{"0200", "AB123CD"}, {"0502", "0145"}});
    const std::string res = root("/mnt/GIEGLAN/RES/K1.G");
    ASSERT_TRUE(boxtest::wait_until([&] { return boxtest::exists(res); }, 30000)) << box.output();
    boxtest::wait_until([&] { return boxtest::read_file(res).find("[CRC]") != std::string::npos; },
                        2000);
    std::string text = boxtest::read_file(res);
    EXPECT_NE(text.find("0502=0145\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("0200=AB123CD\r\n"), std::string::npos) << text;
}

} // namespace
