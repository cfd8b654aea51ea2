// Pieces of the simulator shared between its source files: frame assembly from a byte stream,
// the splitting of a message over frames of at most 80 bytes, and the content the equipment
// sends (peripheral list, default identification, demo results).
#pragma once

#include <string>
#include <vector>

#include "equipsim.h"

namespace equipsim {

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ETB = 0x17;
constexpr size_t MAXFRAME = 80; // bytes of a whole frame, STX through EOT
constexpr size_t MINFRAME = 9;  // STX, a code, ETX, checksum, EOT

// Gathers frames out of a byte stream: bytes before STX are dropped, a further STX starts the
// frame again, EOT ends it when at least 9 bytes are stored (shorter pieces are dropped).
// A frame over 80 bytes is kept whole (up to a sanity cap) so that its size can be seen; it
// fails the check of whoever reads it.
struct Assembler {
    std::string buf;
    bool in_frame = false;
    void reset() { buf.clear(); in_frame = false; }
    // Feeds bytes; appends every completed frame to out.
    void feed(const char *p, size_t n, std::vector<std::string> &out);
};

// The frames of one message: every frame begins with head, then as many body records as fit,
// and the last frame ends with ETB "0905". A body record too long for a frame is cut.
std::vector<std::string> split_message(const Record &head, const std::vector<Record> &body);
// The frames of an identification: every frame begins with an item, the last ends with
// ETB "0905"; no items gives the one frame "0905".
std::vector<std::string> split_ident(const std::vector<Record> &items);
// The peripheral list "0101" (entries that do not fit one frame are left out).
std::string list_frame(const Options &o);
// A plausible result of a vehicle: the plate record, then the records of each instrument
// letter in turn; under 399 characters once stored as ETB+code+text segments.
std::vector<Record> demo_result(const std::string &plate, const std::string &letters);
// Local time as DDMMYYYYhhmmss.
std::string stamp_now();
// Text without trailing blanks.
std::string rtrim(const std::string &s);

} // namespace equipsim
