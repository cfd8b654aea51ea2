#include "roadtest.h"

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

} // namespace roadtest
