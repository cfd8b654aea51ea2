#include "roadtest.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace roadtest {

void prepare(const std::string &protocol, const std::string &maker, int port,
             const std::map<std::string, std::string> &extra) {
    boxtest::reset_root();
    boxtest::set_network(0);
    mkdir(boxtest::root("/mnt/GIEGLAN/ID").c_str(), 0755);   // clock file of GIEGLAN
    mkdir(boxtest::root("/mnt/GIEGLAN/SYNC").c_str(), 0755); // clock file of the others
    std::map<std::string, std::string> tags{{"#001#", protocol},
                                            {"#003#", ""},
                                            {"#005#", maker},
                                            {"#020#", "1234"},
                                            {"#100#", "LAN"},
                                            {"#101#", "127.0.0.1"},
                                            {"#102#", std::to_string(port)}};
    for (const auto &t : extra)
        tags[t.first] = t.second;
    boxtest::write_param(tags);
}

boxtest::Proc start_box(const std::string &name) {
    return boxtest::spawn(boxtest::concentrator_bin(), {},
                          std::string(BINARY_DIR) + "/e2e_" + name + ".out");
}

bool has_vehicle(const equipsim::Sim &sim, const std::string &key) {
    return sim.vehicles().count(key) != 0;
}

std::vector<std::string> record_texts(const std::vector<equipsim::Record> &recs) {
    std::vector<std::string> out;
    for (const equipsim::Record &r : recs)
        out.push_back(r.code + "=" + r.text);
    return out;
}

bool wait_files(const std::vector<std::string> &paths, int timeout_ms) {
    auto sizes = [&] {
        std::vector<long long> s;
        for (const auto &p : paths) {
            struct stat st;
            s.push_back(stat(p.c_str(), &st) == 0 ? (long long)st.st_size : -1);
        }
        return s;
    };
    auto all_there = [&] {
        for (long long s : sizes())
            if (s < 0) return false;
        return true;
    };
    if (!boxtest::wait_until(all_there, timeout_ms)) return false;
    std::vector<long long> before = sizes();
    usleep(200 * 1000); // a file being written grows; a finished one keeps its size
    return sizes() == before;
}

bool outbox_waiting(int n, int timeout_ms) {
    const std::string status = boxtest::root("/home/KELDRAN/DATA/log/outbox.txt");
    const std::string says = "en_attente=" + std::to_string(n) + "\n";
    return boxtest::wait_until(
        [&] { return boxtest::read_file(status).rfind(says, 0) == 0; }, timeout_ms);
}

bool outbox_counted(const boxtest::Proc &box, int n, int timeout_ms) {
    const std::string says = "boite d'envoi: " + std::to_string(n) + " resultat(s) en attente";
    return boxtest::wait_until([&] { return box.output().find(says) != std::string::npos; },
                               timeout_ms);
}

const std::string SHARE = "/mnt/GIEGLAN";

std::map<std::string, std::string> serial_link(const std::string &kind,
                                               const std::string &port_word) {
    return {{"#100#", kind}, {"#101#", port_word}, {"#102#", "9600"}};
}

equipsim::Options hub(const std::string &letters) {
    equipsim::Options o;
    o.periphs = equipsim::default_periphs(letters, 2);
    return o;
}

void put_order(const std::string &key, const std::string &plate) {
    mkdir(boxtest::root(SHARE + "/CG").c_str(), 0755);
    mkdir(boxtest::root(SHARE + "/RES").c_str(), 0755);
    const std::string dir = boxtest::root(SHARE + "/CG/");
    boxtest::write_file(dir + "." + key + ".tmp", "[VEHICULE]\r\n0200=" + plate +
                                                       "\r\n0203=06122026\r\n0204=ES\r\n"
                                                       "[CRC]\r\n0200=0\r\n");
    rename((dir + "." + key + ".tmp").c_str(), (dir + key + ".CG").c_str());
}

void remove_order(const std::string &key) {
    boxtest::remove_file(boxtest::root(SHARE + "/CG/" + key + ".CG"));
}

std::string key10(const std::string &key) { return equipsim::pad(key, 10); }

bool sent(const equipsim::Sim &sim, const std::string &key) { return has_vehicle(sim, key10(key)); }

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
    for (const auto &n : boxtest::list_dir(boxtest::root(SHARE + "/RES")))
        if (n.size() == key.size() + 2 && n.compare(0, key.size() + 1, key + ".") == 0)
            out.push_back(n);
    return out;
}

std::string gas_file(const std::string &key) {
    return boxtest::read_file(boxtest::root(SHARE + "/RES/" + key + ".G"));
}

} // namespace roadtest
