// The whole road of a vehicle under GIEGLAN, the real dev-build concentrator against the
// simulated hub over TCP on 127.0.0.1: an order file on the share reaches the hub as
// "0120", the hub's result comes back as the RES file of its kind with its checksum
// section, and each accepted instrument leaves its identification file on the share
// and in the log directory. A result taken while the share is down waits on the box,
// across a restart, and reaches the share whole once it is back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "roadtest.h"

using boxtest::root;
using equipsim::Record;
using equipsim::pad;

namespace {

const std::string SHARE = "/mnt/GIEGLAN";
const std::string LOG = "/home/KELDRAN/DATA/log";

// The line checksum of the station's files, written apart from the product's: each byte
// times its weight 1, 2, 3, 4, 5, 1, 2 ...
unsigned line_crc(const std::string &t) {
    unsigned sum = 0;
    for (size_t i = 0; i < t.size(); i++)
        sum += (unsigned char)t[i] * (unsigned)(i % 5 + 1);
    return sum;
}

std::string crlf(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines)
        out += l + "\r\n";
    return out;
}

const std::vector<Record> GAS_IDENT{
    {"0300", pad("BRAND", 20)},   {"0301", pad("MODEL 2", 20)}, {"0302", pad("SN/0042", 20)},
    {"0303", pad("V1.0", 20)},    {"0304", "01032025"},         {"7012", "0123456789"},
};

TEST(RoadGieglan, OrderToHubAndResultFilesByKindWithIdentificationFiles) {
    equipsim::Options o;
    o.periphs = {{2, 'G', GAS_IDENT}, {3, 'O', equipsim::default_ident('O', 3)}};
    equipsim::Sim sim(o);
    roadtest::prepare("GIEGLAN", "KELDRAN", sim.listen_tcp(0));
    const std::string cg = root(SHARE + "/CG"), res = root(SHARE + "/RES");
    mkdir(cg.c_str(), 0755);
    mkdir(res.c_str(), 0755);
    boxtest::write_file(cg + "/K0001.CG", "[VEHICULE]\r\n0200=AB123CD\r\n0204=ES\r\n"
                                          "[CRC]\r\n0200=1002\r\n");
    boxtest::write_file(cg + "/K0002.CG", "[VEHICULE]\r\n0200=EF456GH\r\n0204=GO\r\n");
    boxtest::Proc box = roadtest::start_box("road_gieglan");

    // the identification file of the gas analyser, on the share and in the log
    std::vector<std::string> idl{"[IDENTIFICATION]"}, crcl{"[CRC]"};
    for (const Record &r : GAS_IDENT) {
        idl.push_back(r.code + "=" + r.text);
        crcl.push_back(r.code + "=" + std::to_string(line_crc(r.text)));
    }
    idl.insert(idl.end(), crcl.begin(), crcl.end());
    const std::string idfile = crlf(idl);
    for (const std::string &dir : {SHARE + "/ID", LOG}) {
        std::string p = root(dir + "/BRANDMODEL2SN0042.G");
        ASSERT_TRUE(roadtest::wait_files({p}, 30000)) << dir << "\n" << box.output();
        EXPECT_EQ(boxtest::read_file(p), idfile) << dir;
    }

    // the three orders reach the hub
    for (const char *k : {"K0001", "K0002"})
        ASSERT_TRUE(boxtest::wait_until([&] { return roadtest::has_vehicle(sim, pad(k, 10)); },
                                        20000))
            << k << "\n" << box.output();
    EXPECT_EQ(roadtest::record_texts(sim.vehicles()[pad("K0001", 10)]),
              (std::vector<std::string>{"0200=AB123CD   ", "0204=" + pad("ES", 15)}));

    sim.add_result(pad("K0001", 10), {{"0200", "AB123CD"}, {"0502", "00.1"}});
    // gas, then opacity: each kind its file, the plate in both
    sim.add_result(pad("K0002", 10), {{"0200", "EF456GH"}, {"0502", "00.2"}, {"0532", "1.50"}});

    // The share goes down once the first result is on it and the clock has been taken from
    // it again (after a result the box asks for no other before that): the second result
    // is taken meanwhile and waits in the box's outbox. The box is killed and started again
    // while the share is still down, a delivery cut by the kill having left half a file
    // under the temporary name; once the share is back the new box delivers both files
    // whole.
    ASSERT_TRUE(roadtest::wait_files({res + "/K0001.G"}, 30000)) << box.output();
    sim.clear_frames();
    ASSERT_TRUE(sim.wait_code("0130", 15000));
    boxtest::set_network(1);
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 20000));
    ASSERT_TRUE(roadtest::outbox_waiting(2, 20000)) << box.output();
    EXPECT_EQ(boxtest::list_dir(res), std::vector<std::string>{"K0001.G"});
    box.stop();
    boxtest::write_file(res + "/K0002.G.tmp", "[MESURES]\r\n0320=BRAND");
    boxtest::Proc again = roadtest::start_box("road_gieglan_again");
    ASSERT_TRUE(roadtest::outbox_counted(again, 2, 10000)) << again.output();
    EXPECT_EQ(boxtest::list_dir(res), (std::vector<std::string>{"K0001.G", "K0002.G.tmp"}));
    boxtest::set_network(0);
    ASSERT_TRUE(
        roadtest::wait_files({res + "/K0001.G", res + "/K0002.G", res + "/K0002.O"}, 20000))
        << again.output();
    EXPECT_EQ(boxtest::read_file(res + "/K0001.G"),
              crlf({"[MESURES]", "0320=BRANDMODEL2SN0042.G", "0200=AB123CD", "0502=00.1", "[CRC]",
                    "0320=3628", "0200=1002", "0502=478"}));
    std::string g2 = boxtest::read_file(res + "/K0002.G"), o2 = boxtest::read_file(res + "/K0002.O");
    EXPECT_EQ(g2, crlf({"[MESURES]", "0320=BRANDMODEL2SN0042.G", "0200=EF456GH", "0502=00.2",
                        "[CRC]", "0320=3628", "0200=" + std::to_string(line_crc("EF456GH")),
                        "0502=" + std::to_string(line_crc("00.2"))}));
    EXPECT_EQ(g2.find("0532"), std::string::npos) << g2;
    EXPECT_NE(o2.find("\r\n0200=EF456GH\r\n0532=1.50\r\n[CRC]\r\n"), std::string::npos) << o2;
    EXPECT_EQ(o2.find("0502"), std::string::npos) << o2;

    // the files are written in the order their kinds first came
    std::string out;
    auto at = [&](const std::string &name) { return out.find("/RES/" + name + "\r\n"); };
    boxtest::wait_until(
        [&] {
            out = box.output();
            return at("K0002.G") != std::string::npos && at("K0002.O") != std::string::npos;
        },
        5000);
    ASSERT_NE(at("K0002.O"), std::string::npos) << out;
    EXPECT_LT(at("K0002.G"), at("K0002.O"));
    EXPECT_EQ(boxtest::list_dir(res),
              (std::vector<std::string>{"K0001.G", "K0002.G", "K0002.O"}));
    std::string log = boxtest::read_file(root(LOG + "/log.txt"));
    for (const char *f : {"K0001.G", "K0002.G", "K0002.O"}) {
        const std::string line = "Ecriture du fichier " + root("/" + SHARE + "/RES/") + f + "\r\n";
        EXPECT_NE(log.find(line), std::string::npos) << f;
        EXPECT_EQ(log.find(line), log.rfind(line)) << f << " delivered once";
    }
    again.stop();
}

} // namespace
