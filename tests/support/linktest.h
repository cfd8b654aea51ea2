// Helpers of the link tests: the concentrator's link settings and state put in order
// for a test, and whole frames written as text.
#pragma once

#include <string>
#include <vector>

#include "link.h"

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

// A link backend of the test's own: the equipment's bytes come from memory, handed out in
// order; once they are used up each wait for a byte passes (with a fake clock of the
// product, the clock moves on) with nothing, or the link reads as gone. What the box sends
// is kept, one string per send; each acknowledgement "0900" also counts in *acks when set.
struct MemoryLink {
    static std::string in;
    static size_t pos;
    static bool gone_at_end;
    static int receives;
    static std::vector<std::string> sent;
    static int *acks;
    static const LinkBackend backend;
    // Nothing to hand out, nothing sent, nothing counted; link_backend points here.
    static void use();
};

} // namespace linktest
