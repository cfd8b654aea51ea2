// Helpers shared by the tests: the sandbox root, files, a fake clock, the parameter
// file, and real processes of the dev build.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace boxtest {

// The sandbox root of this build, and a path under it ("/home/KELDRAN/DATA" ...).
std::string root(const std::string &rel = "");
// Empties the sandbox root and lays out the box's tree: home/KELDRAN/DATA/log,
// mnt/GIEGLAN, dev, etc, bin, mnt/usbflash, mnt/usbflash2. With gpio, an empty
// dev/gpio file so that LED requests are recorded.
void reset_root(bool gpio = true);

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
void remove_file(const std::string &path);
std::vector<std::string> lines_of(const std::string &text);
// Sorted names of a directory ("" entries skipped, no "." or "..").
std::vector<std::string> list_dir(const std::string &path);

// SHA-1 of the bytes as the system's sha1sum gives it, in upper case.
std::string sha1sum_upper(const std::string &bytes);

// Writes DATA/PARAM_VARN.txt from tag -> value pairs, in tag order, lines ended CR LF.
void write_param(const std::map<std::string, std::string> &tags);
// Places bin/testNetwork.sh answering with the given exit status.
void set_network(int status);

// Replaces the clock of the product code for the life of the object; the product's
// sleeps then move the fake clock on instead of sleeping.
struct FakeClock {
    explicit FakeClock(long long sec = 1765000000, long usec = 0);
    ~FakeClock();
    void set(long long sec, long usec);
    void advance_us(long long us);
    // Each reading of the clock moves it on by step microseconds (0: frozen), so that
    // busy waits of the product code end.
    void auto_step(long long step_us);
    long long now_us() const;
};

// Sets or clears the immutable attribute of a file or directory (an immutable directory
// takes no new entry and no rename, while its files stay writable); false when the file
// system does not allow it.
bool set_immutable(const std::string &path, bool on);

// Waits until pred() holds, at most timeout_ms; returns pred()'s last value.
bool wait_until(const std::function<bool()> &pred, int timeout_ms, int poll_ms = 20);
// Makes a FIFO at path and runs work in a thread: true when work ends within timeout_ms.
// Otherwise false, once work has been freed: the FIFO's writing end is opened and closed
// until it ends (a reader held opening the FIFO then reads an empty file).
bool runs_past_fifo(const std::string &path, const std::function<void()> &work, int timeout_ms);

// A real program of the dev build, its standard output and error in one file.
struct Proc {
    pid_t pid = -1;
    std::string out_path;
    std::string output() const;
    // SIGTERM then SIGKILL; returns the exit status (or -signal).
    int stop();
    // Waits for the program to end by itself; -1000 on time-out.
    int wait_exit(int timeout_ms);
    ~Proc();
};
// bin is the program's path, or a command that runs it (an emulator and its options
// before the path, blank-separated), as concentrator_bin() gives it for a build for the
// board.
Proc spawn(const std::string &bin, const std::vector<std::string> &args,
           const std::string &out_path);
std::string concentrator_bin();
std::string provisioning_bin();

// Clears every table and flag of the concentrator that unit tests touch.
void reset_state();

} // namespace boxtest
