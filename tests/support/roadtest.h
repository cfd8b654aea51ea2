// Helpers of the end-to-end tests that run the real concentrator against the simulated
// equipment (over TCP on 127.0.0.1, or a serial line on a pseudo-terminal): a fresh
// sandbox with its parameter file, the program itself, GIEGLAN orders dropped on the share
// and the result files that come back, and questions put to the simulator.
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

// The box's outbox: waits until its status file says n results wait; waits until a box
// just started says it found n results waiting from before.
bool outbox_waiting(int n, int timeout_ms);
bool outbox_counted(const boxtest::Proc &box, int n, int timeout_ms);

// Link lines of the parameter file for a serial line of the given kind ("RS232", "USB",
// "BLUETOOTH") with its port word (USB "COM1"...) at 9600 bit/s: the extra tags of prepare.
std::map<std::string, std::string> serial_link(const std::string &kind,
                                               const std::string &port_word = "");

// A hub of the given peripheral letters (numbered from 2), default identifications.
equipsim::Options hub(const std::string &letters);

// GIEGLAN order files on the share (its CG and RES directories made when missing): written
// whole under a hidden name, then renamed, so that a reading never sees half a file.
void put_order(const std::string &key, const std::string &plate);
void remove_order(const std::string &key);

// The key as it travels on the link: padded with blanks to 10 characters.
std::string key10(const std::string &key);
bool sent(const equipsim::Sim &sim, const std::string &key);      // its "0120" arrived whole
bool withdrawn(const equipsim::Sim &sim, const std::string &key); // its "0150" arrived

// A gas result for a vehicle: its plate and four measures, the first one marked n so
// that a result file can be told apart from another.
std::vector<equipsim::Record> gas_result(const std::string &plate, int n);
// The result files of a key in the share's RES directory ("<key>.<letter>").
std::vector<std::string> result_files(const std::string &key);
std::string gas_file(const std::string &key); // the text of "<key>.G", "" when absent

} // namespace roadtest
