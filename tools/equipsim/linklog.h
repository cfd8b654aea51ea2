// The concentrator's link log (log/log.txt) read back, for the bench: one entry per line the
// box wrote (a frame sent, received, broken off or purged, or a delivery "INFO:" line) with
// its time stamp, and every other line of the file as an entry of its own.
//
// The box writes "<PREFIX><dd/mm/yy - hh:mm:ss>:  <bytes>" and CR LF, the bytes exactly as
// they passed on the link, so a frame may itself hold a CR or an LF. A line therefore ends at
// the first CR LF behind which the entry is whole: a sent or received frame is whole once its
// text ends with EOT. An LF with no CR before it, or a CR LF inside a frame that has not yet
// reached its EOT, belongs to the text when the next line does not begin as a line of the box.
// Logs from the field may be cut (the last line without its end), rotated (the file started
// afresh) or copied from the middle of a line: whatever the bytes, each one of them belongs to
// exactly one entry, in order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace equipsim {

enum class LogKind {
    Send,       // "SEND:" a frame the box sent
    Receive,    // "RECEIVE: " a whole frame from the equipment (its checksum may be bad)
    BadReceive, // "BAD RECEIVE: " a frame from the equipment that never ended
    Purge,      // "PURGE:" bytes of the equipment dropped unread before a send
    Info,       // "INFO: " a delivery line of the outbox
    Other,      // anything else: not a line of the box
};

struct LogEntry {
    LogKind kind = LogKind::Other;
    std::string stamp;   // "dd/mm/yy - hh:mm:ss" as written; "" for Other
    long long t = 0;     // the stamp in seconds since 01/01/2000 00:00:00; 0 for Other
    std::string text;    // the bytes after the stamp (Other: the whole line), without CR LF
    size_t line = 0;     // number of the line of the file where the entry begins, from 1
    size_t begin = 0;    // the bytes of the input it was read from: [begin, end)
    size_t end = 0;
};

// Reads a log as it comes (a file being followed): feed() the bytes in any pieces, and each
// entry that is known to be whole is appended to out; finish() at the end of the input hands
// over what is still held (a last line cut short, an entry waiting for its next line).
class LogReader {
public:
    void feed(const char *p, size_t n, std::vector<LogEntry> &out);
    void finish(std::vector<LogEntry> &out);

private:
    void piece(bool has_lf, std::vector<LogEntry> &out);
    void flush_held(std::vector<LogEntry> &out);
    std::string cur_;       // the line being read, up to its LF
    size_t cur_begin_ = 0;  // its first byte in the input
    size_t offset_ = 0;     // bytes fed so far
    size_t lines_ = 0;      // lines begun so far
    bool holding_ = false;  // held_ may still take the next line as part of its text
    bool held_cr_ = false;  // held_'s last line ended with a CR, taken off its text
    LogEntry held_;
};

std::vector<LogEntry> read_log(const std::string &bytes);

// The prefix the box writes for a kind of line ("SEND:" ...; "" for Other).
const char *log_prefix(LogKind k);
// Reads "dd/mm/yy - hh:mm:ss" at the start of s into seconds since 01/01/2000; false when it
// is not a date and time of the calendar (the year is 2000 + yy).
bool parse_stamp(const std::string &s, long long *t);
// The stamp of t as the box writes it: "dd/mm/yy - hh:mm:ss".
std::string format_stamp(long long t);

} // namespace equipsim
