// Helpers of the end-to-end tests that run the real concentrator against the simulated
// equipment over TCP on 127.0.0.1: a fresh sandbox with its parameter file, the program
// itself, and questions put to the simulator.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "boxtest.h"
#include "equipsim.h"

namespace roadtest {

// Empties the sandbox, makes the share reachable (testNetwork answers 0) with its ID and
// SYNC directories, and writes a parameter file for protocol and maker, the link being
// LAN to 127.0.0.1:port. extra tags are added to (or replace) those.
void prepare(const std::string &protocol, const std::string &maker, int port,
             const std::map<std::string, std::string> &extra = {});

// The dev-build concentrator, its console in BINARY_DIR/e2e_<name>.out.
boxtest::Proc start_box(const std::string &name);

bool has_vehicle(const equipsim::Sim &sim, const std::string &key);
// "code=text" of each record, in order.
std::vector<std::string> record_texts(const std::vector<equipsim::Record> &recs);
// Waits until every named file exists and its size has stayed the same for a moment.
bool wait_files(const std::vector<std::string> &paths, int timeout_ms);

} // namespace roadtest
