// The vehicle table under load, with the real concentrator and the simulated hub over
// TCP on 127.0.0.1: twenty vehicles in flight fill it, a twenty-first order waits without
// disturbing them and goes through once a result frees a slot; a vehicle whose order is
// removed is withdrawn, and a result the hub offers for it later is written under its key.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "boxtest.h"
#include "equipsim.h"
#include "roadtest.h"

using boxtest::wait_until;
using namespace roadtest;

namespace {

std::string key_of(int i) {
    char k[8];
    snprintf(k, sizeof k, "V%02d", i);
    return k;
}
std::string plate_of(int i) {
    char p[12];
    snprintf(p, sizeof p, "CAP%02dXY", i);
    return p;
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST(Capacity, FullTableHoldsTheTwentyFirstOrderUntilASlotFrees) {
    equipsim::Sim sim(hub("G"));
    prepare("GIEGLAN", "KELDRAN", sim.listen_tcp(0));
    mkdir(boxtest::root("/mnt/GIEGLAN/CG").c_str(), 0755); // orders known: results asked for
    boxtest::Proc box = start_box("capacity");
    ASSERT_TRUE(sim.wait_code("0121", 30000)) << box.output();

    for (int i = 1; i <= 20; i++)
        put_order(key_of(i), plate_of(i));
    ASSERT_TRUE(wait_until([&] { return sim.vehicles().size() == 20; }, 70000))
        << sim.vehicles().size() << " vehicles\n"
        << box.output();

    // the table is full: the 21st order is read but not sent, and no vehicle in flight
    // is withdrawn because of it
    put_order(key_of(21), plate_of(21));
    const std::string full = "Table des ordres pleine";
    int before = count_of(box.output(), full);
    ASSERT_TRUE(wait_until([&] { return count_of(box.output(), full) > before; }, 8000))
        << "a reading with 21 orders\n" << box.output();
    // long enough for a plate step and a request to the hub
    EXPECT_FALSE(wait_until([&] { return sent(sim, key_of(21)) || !sim.withdrawn().empty(); },
                            6000));
    EXPECT_FALSE(sent(sim, key_of(21))) << "table full";
    EXPECT_TRUE(sim.withdrawn().empty()) << sim.withdrawn()[0];

    // a result frees a slot: its file is written, the PC takes it and clears the order,
    // and the 21st vehicle goes to the hub
    sim.add_result(key10(key_of(1)), gas_result(plate_of(1), 1));
    ASSERT_TRUE(wait_until([&] { return gas_file(key_of(1)).find("0501=001\r\n") != std::string::npos; },
                           20000))
        << box.output();
    remove_order(key_of(1));
    ASSERT_TRUE(wait_until([&] { return sent(sim, key_of(21)); }, 25000)) << box.output();
    EXPECT_EQ(sim.vehicles()[key10(key_of(21))][0].text, key10(plate_of(21)));

    // an order removed: its vehicle is withdrawn, and a result the hub offers for it
    // afterwards is taken from the hub and written under its key, never thrown away
    remove_order(key_of(2));
    ASSERT_TRUE(wait_until([&] { return withdrawn(sim, key_of(2)); }, 20000)) << box.output();
    sim.add_result(key10(key_of(2)), gas_result(plate_of(2), 2));
    // another vehicle's result right after it: its own file, with its own measures
    sim.add_result(key10(key_of(3)), gas_result(plate_of(3), 3));
    ASSERT_TRUE(wait_until([&] { return sim.results_pending() == 0; }, 25000)) << box.output();
    ASSERT_TRUE(wait_until([&] { return gas_file(key_of(3)).find("0501=003\r\n") != std::string::npos; },
                           10000))
        << box.output();
    EXPECT_EQ(gas_file(key_of(3)).find("0501=002"), std::string::npos);
    ASSERT_TRUE(wait_until([&] { return gas_file(key_of(2)).find("0501=002\r\n") != std::string::npos; },
                           10000))
        << box.output();
    std::vector<std::string> files = boxtest::list_dir(boxtest::root("/mnt/GIEGLAN/RES"));
    EXPECT_EQ(files, (std::vector<std::string>{"V01.G", "V02.G", "V03.G"}));

    // over the whole run only the two vehicles whose orders went were withdrawn (the
    // first one possibly entered again for the moment its finished order stayed)
    for (const auto &k : sim.withdrawn())
        EXPECT_TRUE(k == key10(key_of(1)) || k == key10(key_of(2))) << k;
}

} // namespace
