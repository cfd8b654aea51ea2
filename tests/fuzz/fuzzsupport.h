// Helpers shared by the fuzz targets: the sandbox root, an input cut into parts, files,
// checks that abort with a reason, and the platform steered so that a target runs no
// shell command, waits for nothing and reads a clock that starts at the same time for
// every input.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzz {

// A path under the sandbox root of this build.
std::string root(const std::string &rel = "");

// The parts of an input: its bytes cut at every line "====" (the bytes "====\n" at the
// start of the input or right after a LF). A part keeps its own line ends; at most
// `most` parts are cut, the rest of the input stays in the last one. Missing parts are
// empty, so parts(...)[k] is always there for k < most; *found (when given) is the
// number of parts the input really has.
std::vector<std::string> parts(const uint8_t *data, size_t size, size_t most,
                               size_t *found = nullptr);
// A part that stands for bytes rather than a text file, without the LF that ends the
// part before its "====" line.
std::string bytes_of(const std::string &part);

// The lines of a text file as the box reads them: cut at LF (kept), each at most `most`
// bytes (the rest of a longer line is no line of its own), its text ending at a NUL.
std::vector<std::string> lines_read(const std::string &file, size_t most);

void mkdirs(const std::string &path);
void put(const std::string &path, const std::string &bytes);
std::string get(const std::string &path);
bool exists(const std::string &path);
// Removes everything inside a directory (the directory itself stays).
void empty_dir(const std::string &path);
// The files under dir, as paths relative to it, in no particular order.
std::vector<std::string> files_under(const std::string &dir);

// A finding of the target's own checks: says why on standard error and aborts, so that
// libFuzzer keeps the input.
[[noreturn]] void fail(const std::string &what);
#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond)) fuzz::fail(std::string(what) + " (" #cond ")");                               \
    } while (0)

// Called first, from LLVMFuzzerInitialize: empties the sandbox root (the targets share
// it and run one at a time) and puts the platform hooks in place: every command line
// goes to `cmd` (nullptr: each one answers 0, "done"), every pause returns at once and
// moves the clock on by its length, and the clock is the one set by restart_clock.
void start(int (*cmd)(const char *cmd) = nullptr);
// The clock starts again at the same second; each reading moves it on by a millisecond,
// so that any wait of the product code ends.
void restart_clock(void);

// An entry of the box's outbox as read independently of the product: "OB2", its rule
// letter and a NUL, its check (length and CRC-32 in eight upper-case hexadecimal digits
// each) and a NUL, then its place, order file and local copy each ended by a NUL, then
// the file's bytes.
struct OutboxEntry {
    std::string name; // its file name in the outbox
    char rule = 0;
    std::string dest, order, local, payload;
    bool whole = false; // laid out as above, its check holding and its fields under `most`
};
// Parses the bytes of an outbox file; each field must be shorter than most.
OutboxEntry parse_entry(const std::string &name, const std::string &bytes, size_t most);
// The regular files of a directory (not below it), name -> bytes, in name order.
std::vector<std::pair<std::string, std::string>> dir_files(const std::string &dir);
// A path as the file system resolves it: runs of '/' as one; relative to the sandbox
// root when it lies under it, else marked with a leading '?' so that it never names a
// place under the root.
std::string norm(const std::string &path);

// Upper-case hexadecimal of bytes.
std::string hex(const unsigned char *bytes, size_t n);

} // namespace fuzz
