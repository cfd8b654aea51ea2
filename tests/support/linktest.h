// Helpers of the link tests: the concentrator's link settings and state put in order
// for a test, and whole frames written as text.
#pragma once

#include <string>

namespace linktest {

// A whole frame around the given records ("0900", or "0122KEY" "\x17" "0200..."):
// STX, records, ETX, checksum, EOT; good = false spoils the checksum.
std::string frame(const std::string &records, bool good = true);

// Link settings and state of the concentrator back to nothing: no socket, no serial
// descriptor, markers unknown, the link log path of the sandbox.
void reset_link();
// A fresh sandbox and tables, and a GIEGLAN station of an ordinary maker on a LAN link to
// 127.0.0.1 (the port is the test's to set).
void gieglan_station();
// The concentrator on TCP to 127.0.0.1:port (its backend chosen as start-up does).
void use_tcp(int port);
// The concentrator on a serial link kind ("RS232", "USB") at device `dev`, opened as
// start-up opens it (raw, at save_speed). false when the device does not open.
bool use_serial(const char *kind, const std::string &dev, const char *speed = "9600");

} // namespace linktest
