#include "crashtest.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "plat.h"

namespace crashtest {

namespace {

constexpr int kStopped = 86; // exit status of a child stopped at its crash point

struct Shared {
    int ops;
    int stopped;
    int user[kUser];
};
Shared *area() {
    static Shared *s = static_cast<Shared *>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return s;
}

// ---- The child's view of the disk (the power-cut model) ---------------------------------

using Listing = std::map<std::string, ino_t>; // regular files of a directory: name -> inode

int stop_at;
Stop stop_how;
const Watch *watcher;
std::vector<std::string> dirs;           // the watched directories, resolved
std::map<std::string, Listing> durable;  // per directory: its entries at its last fsync
std::map<ino_t, std::string> kept_bytes; // per file: its bytes at its last fsync

std::string read_all(const std::string &path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, (size_t)n);
    close(fd);
    return out;
}

Listing list(const std::string &dir) {
    Listing l;
    DIR *d = opendir(dir.c_str());
    if (!d) return l;
    while (dirent *e = readdir(d)) {
        struct stat st;
        std::string p = dir + "/" + e->d_name;
        if (lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) l[e->d_name] = st.st_ino;
    }
    closedir(d);
    return l;
}

std::string fd_path(int fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return "";
    return std::string(target, (size_t)n);
}

bool watched(const std::string &dir) {
    for (const auto &d : dirs)
        if (d == dir) return true;
    return false;
}

// An fsync that is about to run: what it makes durable.
void flushed(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return;
    const std::string path = fd_path(fd);
    if (S_ISDIR(st.st_mode)) {
        if (watched(path)) durable[path] = list(path);
    } else if (S_ISREG(st.st_mode)) {
        kept_bytes[st.st_ino] = read_all(path);
    }
}

// The power goes: each watched directory goes back to its durable entries and bytes.
void power_cut() {
    for (const auto &dir : dirs) {
        const Listing now = list(dir);
        const Listing &then = durable[dir];
        for (const auto &e : now)
            if (!then.count(e.first)) unlink((dir + "/" + e.first).c_str());
        for (const auto &e : then) {
            const std::string path = dir + "/" + e.first;
            auto b = kept_bytes.find(e.second);
            const std::string bytes = b == kept_bytes.end() ? "" : b->second;
            auto cur = now.find(e.first);
            if (cur != now.end() && cur->second == e.second && read_all(path) == bytes) continue;
            unlink(path.c_str());
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) continue;
            if (write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) _exit(99);
            close(fd);
        }
    }
}

void hook(int op, const char *path, int fd) {
    Shared *s = area();
    s->ops++;
    if (s->ops == stop_at) {
        s->stopped = 1;
        fs_hook = nullptr;
        if (stop_how == Stop::PowerCut) power_cut();
        kill(0, SIGKILL); // the whole group at once, as the power or a kill takes it
        _exit(kStopped);
    }
    if (op == FS_FLUSH) flushed(fd);
    if (watcher && *watcher) (*watcher)(op, path);
}

void start_model(const std::vector<std::string> &watched_dirs) {
    dirs.clear();
    durable.clear();
    kept_bytes.clear();
    for (const auto &d : watched_dirs) {
        char real[PATH_MAX];
        if (!realpath(d.c_str(), real)) _exit(98); // the test makes them first
        dirs.push_back(real);
        durable[real] = list(real);
        for (const auto &e : durable[real])
            kept_bytes[e.second] = read_all(std::string(real) + "/" + e.first);
    }
}

} // namespace

int *shared() {
    return area()->user;
}

Outcome run(const std::function<void()> &work, int k, Stop how,
            const std::vector<std::string> &watched_dirs, const Watch &watch) {
    Shared *s = area();
    memset(s, 0, sizeof *s);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // the product's console goes nowhere: the child's is noise
        int nul = open("/dev/null", O_WRONLY);
        dup2(nul, 1);
        dup2(nul, 2);
        stop_at = k;
        stop_how = how;
        watcher = &watch;
        start_model(watched_dirs);
        fs_hook = hook;
        work();
        fs_hook = nullptr;
        _exit(0);
    }
    setpgid(pid, pid); // whichever of the two runs first
    int status = 0;
    waitpid(pid, &status, 0);
    kill(-pid, SIGKILL); // nothing of the group outlives the run
    Outcome o;
    o.ops = s->ops;
    o.stopped = s->stopped && (WIFSIGNALED(status) || WEXITSTATUS(status) == kStopped);
    o.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !s->stopped;
    return o;
}

} // namespace crashtest
