// The PC's share as a station has it, for the end-to-end tests: a Samba server on
// 127.0.0.1 (a free port, a private configuration and directory under the build tree)
// mounted through a FUSE SMB client on the sandbox's share, /mnt/GIEGLAN. The test can
// switch the PC off and on, freeze it, have it hold a file open as the PC's program does,
// and unmount the share under the box.
//
// Everything is undone when the object goes, and also when the test process dies: a
// guardian process started first unmounts and stops what the test left.
#pragma once

#include <sys/types.h>

#include <string>

namespace smbshare {

// Empty when the machine can mount the share, else why not (a test then skips with it).
std::string unavailable();

struct Share {
    Share();
    ~Share();
    // The PC's own directory behind the share (what the PC's program reads and writes).
    std::string pc_dir(const std::string &rel = "") const;
    // Whether the share is mounted and answers.
    bool up() const { return mounted_; }
    std::string error() const { return error_; }

    void switch_off(); // the server stops (connections refused)
    void switch_on();  // started again on the same port
    void freeze();     // the server hangs (SIGSTOP)
    void thaw();
    void unmount();    // the share taken away under the box
    void mount();      // and back

    // The PC's program holds the file (a path under the share) open, denying every other
    // access, until release(); false when it could not.
    bool hold(const std::string &rel);
    void release();

    // Places bin/testNetwork.sh as the box has it: the packaged check of the share.
    void use_packaged_check() const;

  private:
    void start_server();
    void stop_server();
    void tell_guardian(const std::string &line);
    std::string dir_, mnt_, share_, error_;
    int port_ = 0;
    pid_t server_ = -1, client_ = -1, holder_ = -1, guardian_ = -1;
    int guardian_fd_ = -1, holder_fd_ = -1;
    bool mounted_ = false, bound_ = false;
};

} // namespace smbshare
