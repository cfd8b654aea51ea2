// Helpers of the end-to-end tests that follow vehicles on their road: a sandbox laid out
// for a station, the real concentrator started in it, GIEGLAN order files dropped on the
// share and the result files that come back, and what the simulated equipment saw.
#pragma once

#ifdef HAVE_EQUIPSIM

#include <map>
#include <string>
#include <vector>

#include "boxtest.h"
#include "equipsim.h"

namespace roadtest {

using Tags = std::map<std::string, std::string>;

// Link lines of the parameter file: TCP to 127.0.0.1:port, or a serial line of the given
// kind ("RS232", "USB", "BLUETOOTH") with its port word (USB "COM1"...) at 9600 bit/s.
Tags lan_link(int port);
Tags serial_link(const std::string &kind, const std::string &port_word = "");

// A fresh sandbox whose share is reachable, with the share's ID, SYNC, CG and RES
// directories, and a parameter file for the protocol, the maker and the link.
void prepare(const Tags &link, const std::string &protocol = "GIEGLAN",
             const std::string &maker = "KELDRAN");

// The concentrator of the dev build; its console in BINARY_DIR/e2e_<name>.out.
boxtest::Proc start_box(const std::string &name);

// A hub of the given peripheral letters (numbered from 2), default identifications.
equipsim::Options hub(const std::string &letters);

// GIEGLAN order files on the share: written whole under a hidden name, then renamed, so
// that a reading never sees half a file.
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

#endif
