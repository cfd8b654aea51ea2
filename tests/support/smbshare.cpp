#include "smbshare.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "boxtest.h"

namespace smbshare {

namespace {

bool on_path(const std::string &prog) {
    std::string cmd = "command -v " + prog + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = 0;
    if (bind(s, (sockaddr *)&a, sizeof a) == 0 && getsockname(s, (sockaddr *)&a, &n) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool accepts(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, (sockaddr *)&a, sizeof a) == 0;
    close(s);
    return ok;
}

bool mounted_at(const std::string &path) {
    std::istringstream in(boxtest::read_file("/proc/mounts"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string dev, at;
        words >> dev >> at;
        if (at == path) return true;
    }
    return false;
}

// Starts argv with its output in log, in a process group of its own; env lines are
// added to its environment.
pid_t spawn(const std::vector<std::string> &argv, const std::string &log,
            const std::vector<std::string> &env = {}, int in_fd = -1, int out_fd = -1) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out_fd >= 0 ? out_fd : fd, 1);
    dup2(fd, 2);
    int nul = open("/dev/null", O_RDONLY);
    dup2(in_fd >= 0 ? in_fd : nul, 0);
    for (int k = 3; k < 1024; k++)
        close(k);
    for (const auto &e : env)
        putenv(strdup(e.c_str()));
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void end(pid_t &pid, bool group) {
    if (pid <= 0) return;
    if (group) {
        kill(-pid, SIGCONT);
        kill(-pid, SIGKILL);
    } else {
        kill(pid, SIGCONT);
        kill(pid, SIGKILL);
    }
    waitpid(pid, nullptr, 0);
    pid = -1;
}

// The guardian: reads what to undo ("pg <pgid>", "pid <pid>", "umount <path>") and, at
// the end of its input (the test ended, or died), undoes it, mounts last first; "done"
// means the test undid everything itself.
void guardian(int fd) {
    setsid();
    for (int k = 3; k < 1024; k++)
        if (k != fd) close(k);
    std::vector<std::string> todo;
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line == "done") _exit(0);
        todo.push_back(line);
        line.clear();
    }
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
        const std::string what = it->substr(0, it->find(' ')), arg = it->substr(it->find(' ') + 1);
        if (what == "pg") {
            kill(-atoi(arg.c_str()), SIGCONT);
            kill(-atoi(arg.c_str()), SIGKILL);
        } else if (what == "pid") {
            kill(atoi(arg.c_str()), SIGKILL);
        } else if (what == "umount") {
            umount2(arg.c_str(), MNT_DETACH);
        }
    }
    _exit(0);
}

void write_text(const std::string &path, const std::string &text) { boxtest::write_file(path, text); }

} // namespace

std::string unavailable() {
    if (geteuid() != 0) return "mounting the share needs root";
    int fd = open("/dev/fuse", O_RDWR);
    if (fd < 0) return "no usable /dev/fuse: this machine cannot mount a FUSE file system";
    close(fd);
    for (const char *p : {"smbd", "smbnetfs"})
        if (!on_path(p)) return std::string(p) + " is not installed (bash scripts/setup.sh)";
    if (std::string(SMBHOLD_BIN).empty()) return "smbhold was not built (libsmbclient-dev missing)";
    return "";
}

Share::Share() {
    dir_ = std::string(BINARY_DIR) + "/smbshare";
    // what a run killed before its end left: the guardian undid it, but be sure
    if (mounted_at(boxtest::root("/mnt/GIEGLAN")))
        umount2(boxtest::root("/mnt/GIEGLAN").c_str(), MNT_DETACH);
    if (mounted_at(dir_ + "/mnt")) umount2((dir_ + "/mnt").c_str(), MNT_DETACH);
    int r = system(("rm -rf '" + dir_ + "'").c_str());
    (void)r;
    for (const char *d : {"", "/pc", "/mnt", "/state", "/home", "/home/.smb", "/client",
                          "/client/.smb", "/state/private", "/state/lock", "/state/cache",
                          "/state/pid", "/state/state"})
        mkdir((dir_ + d).c_str(), 0755);
    chmod((dir_ + "/pc").c_str(), 0777);

    int p[2];
    if (pipe(p) != 0) {
        error_ = "no pipe";
        return;
    }
    guardian_ = fork();
    if (guardian_ == 0) {
        close(p[1]);
        guardian(p[0]);
    }
    close(p[0]);
    guardian_fd_ = p[1];
    fcntl(guardian_fd_, F_SETFD, FD_CLOEXEC);

    port_ = free_port();
    const std::string st = dir_ + "/state";
    write_text(dir_ + "/smb.conf",
               "[global]\n"
               "  interfaces = 127.0.0.1\n  bind interfaces only = yes\n"
               "  smb ports = " + std::to_string(port_) + "\n  disable netbios = yes\n"
               "  private dir = " + st + "/private\n  lock directory = " + st + "/lock\n"
               "  state directory = " + st + "/state\n  cache directory = " + st + "/cache\n"
               "  pid directory = " + st + "/pid\n  ncalrpc dir = " + st + "/ncalrpc\n"
               "  passdb backend = tdbsam:" + st + "/private/passdb.tdb\n"
               "  log file = " + dir_ + "/smbd.log\n"
               "  server role = standalone server\n  map to guest = Bad User\n"
               "  guest account = root\n  load printers = no\n  printing = bsd\n"
               "  printcap name = /dev/null\n  disable spoolss = yes\n"
               "[pc]\n  path = " + dir_ + "/pc\n  read only = no\n  guest ok = yes\n"
               "  force user = root\n");
    const std::string client = "[global]\n  disable netbios = yes\n  client min protocol = SMB2\n";
    write_text(dir_ + "/home/.smb/smb.conf", client);
    write_text(dir_ + "/client/.smb/smb.conf", client);
    write_text(dir_ + "/home/.smb/smbnetfs.conf",
               "smb_query_browsers false\nshow_hidden_hosts true\nauth \"guest\" \"\"\n");
    write_text(dir_ + "/home/.smb/smbnetfs.auth", "");
    chmod((dir_ + "/home/.smb/smbnetfs.conf").c_str(), 0600);
    chmod((dir_ + "/home/.smb/smbnetfs.auth").c_str(), 0600);

    start_server();
    if (!boxtest::wait_until([&] { return accepts(port_); }, 15000, 50)) {
        error_ = "smbd did not answer on 127.0.0.1:" + std::to_string(port_) + "\n" +
                 boxtest::read_file(dir_ + "/server.out");
        return;
    }
    const std::string mnt = dir_ + "/mnt";
    client_ = spawn({"smbnetfs", mnt, "-f", "-o", "smbnetfs_debug=0"}, dir_ + "/client.out",
                    {"HOME=" + dir_ + "/home"});
    tell_guardian("pid " + std::to_string(client_));
    tell_guardian("umount " + mnt);
    share_ = mnt + "/127.0.0.1:" + std::to_string(port_) + "/pc";
    struct stat sb;
    if (!boxtest::wait_until([&] { return mounted_at(mnt) && stat(share_.c_str(), &sb) == 0; },
                             15000, 50)) {
        error_ = "the FUSE SMB client did not mount the share\n" +
                 boxtest::read_file(dir_ + "/client.out");
        return;
    }
    tell_guardian("umount " + boxtest::root("/mnt/GIEGLAN"));
    mount();
    if (!mounted_) error_ = std::string("bind mount on the sandbox's share: ") + strerror(errno);
}

Share::~Share() {
    release();
    unmount();
    if (client_ > 0) {
        umount2((dir_ + "/mnt").c_str(), MNT_DETACH);
        end(client_, false);
    }
    stop_server();
    if (guardian_fd_ >= 0) {
        tell_guardian("done");
        close(guardian_fd_);
        waitpid(guardian_, nullptr, 0);
    }
}

std::string Share::pc_dir(const std::string &rel) const { return dir_ + "/pc" + rel; }

void Share::tell_guardian(const std::string &line) {
    std::string l = line + "\n";
    ssize_t w = write(guardian_fd_, l.data(), l.size());
    (void)w;
}

void Share::start_server() {
    server_ = spawn({"smbd", "-F", "--no-process-group", "--debug-stdout", "-d1", "-s",
                     dir_ + "/smb.conf"},
                    dir_ + "/server.out");
    tell_guardian("pg " + std::to_string(server_));
}

void Share::stop_server() { end(server_, true); }

void Share::switch_off() { stop_server(); }

void Share::switch_on() {
    start_server();
    boxtest::wait_until([&] { return accepts(port_); }, 15000, 50);
}

void Share::freeze() {
    if (server_ > 0) kill(-server_, SIGSTOP);
}

void Share::thaw() {
    if (server_ > 0) kill(-server_, SIGCONT);
}

void Share::unmount() {
    if (bound_) umount2(boxtest::root("/mnt/GIEGLAN").c_str(), MNT_DETACH);
    bound_ = false;
    mounted_ = false;
}

void Share::mount() {
    bound_ = ::mount(share_.c_str(), boxtest::root("/mnt/GIEGLAN").c_str(), nullptr, MS_BIND,
                     nullptr) == 0;
    mounted_ = bound_;
}

bool Share::hold(const std::string &rel) {
    release();
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    holder_ = spawn({SMBHOLD_BIN, "smb://127.0.0.1:" + std::to_string(port_) + "/pc/" + rel},
                    dir_ + "/holder.out", {"HOME=" + dir_ + "/client"}, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    holder_fd_ = in[1];
    tell_guardian("pid " + std::to_string(holder_));
    char buf[8] = {0};
    ssize_t n = 0;
    for (ssize_t r; n < 5 && (r = read(out[0], buf + n, sizeof buf - 1 - (size_t)n)) > 0;)
        n += r;
    close(out[0]);
    return std::string(buf, (size_t)n).rfind("held", 0) == 0;
}

void Share::release() {
    if (holder_fd_ >= 0) close(holder_fd_);
    holder_fd_ = -1;
    if (holder_ > 0) {
        int status;
        if (!boxtest::wait_until([&] { return waitpid(holder_, &status, WNOHANG) == holder_; },
                                 5000, 20))
            end(holder_, false);
        holder_ = -1;
    }
}

void Share::use_packaged_check() const {
    const std::string p = boxtest::root("/bin/testNetwork.sh");
    boxtest::write_file(p, "#!/bin/sh\nexec sh '" SOURCE_DIR "/packaging/testNetwork.sh' '" +
                               boxtest::root("/mnt/GIEGLAN") + "'\n");
    chmod(p.c_str(), 0755);
}

} // namespace smbshare
