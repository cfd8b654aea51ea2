#include "roadtest.h"

#ifdef HAVE_EQUIPSIM

#include <stdio.h>
#include <sys/stat.h>

namespace roadtest {

using boxtest::root;

const std::string SHARE = "/mnt/GIEGLAN";

Tags lan_link(int port) {
    return {{"#100#", "LAN"}, {"#101#", "127.0.0.1"}, {"#102#", std::to_string(port)}};
}

Tags serial_link(const std::string &kind, const std::string &port_word) {
    return {{"#100#", kind}, {"#101#", port_word}, {"#102#", "9600"}};
}

void prepare(const Tags &link, const std::string &protocol, const std::string &maker) {
    boxtest::reset_root();
    boxtest::set_network(0);
    for (const char *d : {"/ID", "/SYNC", "/CG", "/RES"})
        mkdir(root(SHARE + d).c_str(), 0755);
    Tags tags{{"#001#", protocol}, {"#003#", ""}, {"#005#", maker}, {"#020#", "1234"}};
    for (const auto &kv : link)
        tags[kv.first] = kv.second;
    boxtest::write_param(tags);
}

boxtest::Proc start_box(const std::string &name) {
    return boxtest::spawn(boxtest::concentrator_bin(), {},
                          std::string(BINARY_DIR) + "/e2e_" + name + ".out");
}

equipsim::Options hub(const std::string &letters) {
    equipsim::Options o;
    o.periphs = equipsim::default_periphs(letters, 2);
    return o;
}

void put_order(const std::string &key, const std::string &plate) {
    const std::string dir = root(SHARE + "/CG/");
    boxtest::write_file(dir + "." + key + ".tmp", "[VEHICULE]\r\n0200=" + plate +
                                                       "\r\n0203=06122026\r\n0204=ES\r\n"
                                                       "[CRC]\r\n0200=0\r\n");
    rename((dir + "." + key + ".tmp").c_str(), (dir + key + ".CG").c_str());
}

void remove_order(const std::string &key) { boxtest::remove_file(root(SHARE + "/CG/" + key + ".CG")); }

std::string key10(const std::string &key) { return equipsim::pad(key, 10); }

bool sent(const equipsim::Sim &sim, const std::string &key) {
    return sim.vehicles().count(key10(key)) != 0;
}

bool withdrawn(const equipsim::Sim &sim, const std::string &key) {
    for (const auto &k : sim.withdrawn())
        if (k == key10(key)) return true;
    return false;
}

std::vector<equipsim::Record> gas_result(const std::string &plate, int n) {
    char first[8];
    snprintf(first, sizeof first, "%03d", n % 1000);
    return {{"0200", key10(plate)}, {"0501", first}, {"0502", "0145"}, {"0503", "00.35"},
            {"0504", "14.20"}};
}

std::vector<std::string> result_files(const std::string &key) {
    std::vector<std::string> out;
    for (const auto &n : boxtest::list_dir(root(SHARE + "/RES")))
        if (n.size() == key.size() + 2 && n.compare(0, key.size() + 1, key + ".") == 0)
            out.push_back(n);
    return out;
}

std::string gas_file(const std::string &key) {
    return boxtest::read_file(root(SHARE + "/RES/" + key + ".G"));
}

} // namespace roadtest

#endif
