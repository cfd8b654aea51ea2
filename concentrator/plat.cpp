// Platform layer: command runner, GPIO access, clock and sleep.
//
// Command runner: every shell command line of the box is appended to the command
// log and run by /bin/sh. In the dev build the log is BOX_ROOT/commands.log, the
// sandbox's bin directory comes first on PATH (so tests can place scripts such as
// testNetwork.sh there), and date, hwclock and reboot are only logged. On the box
// the commands run as they stand, with the environment the program was started in.
//
// GPIO: on the box, ioctl requests on /dev/gpio. In the dev build each request is
// appended as one line ("0x420B 80") to BOX_ROOT/dev/gpio when that plain file
// exists; when it does not, the open fails as the real device would.
//
// Tests may put hooks in place of the command runner, the pause and the clock, so that
// they run no shell and wait for nothing.
//
// File operations of the result road: plain POSIX calls, each announced to fs_hook
// first when a test has set one (the crash-point tests stop the box there).
#include "plat.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

void (*now_hook)(struct timeval *tv) = nullptr;
int (*cmd_hook)(const char *cmd) = nullptr;
void (*pause_hook)(unsigned us) = nullptr;
void (*fs_hook)(int op, const char *path, int fd) = nullptr;

void now_tv(struct timeval *tv) {
    if (now_hook) {
        now_hook(tv);
        return;
    }
    gettimeofday(tv, nullptr);
}

time_t now_s(void) {
    struct timeval tv;
    now_tv(&tv);
    return tv.tv_sec;
}

struct tm *now_local(void) {
    static struct tm tmv;
    time_t t = now_s();
    localtime_r(&t, &tmv);
    return &tmv;
}

uint32_t mono_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000);
}

void pause_us(unsigned us) {
    if (pause_hook) {
        pause_hook(us);
        return;
    }
    usleep(us);
}

#if BOX_DEV
static int is_sep(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '&' || c == '|' || c == '(' ||
           c == ')' || c == '`' || c == '"' || c == '\'';
}

// True when one of the words of the line is a command that changes the machine
// (a word such as /bin/date counts as date).
static int machine_changing(const char *cmd) {
    static const char *const words[] = {"date", "hwclock", "reboot"};
    const char *p = cmd;
    while (*p) {
        while (*p && is_sep(*p))
            p++;
        const char *base = p;
        while (*p && !is_sep(*p)) {
            if (*p == '/') base = p + 1;
            p++;
        }
        size_t n = (size_t)(p - base);
        for (const char *word : words)
            if (n == strlen(word) && strncmp(base, word, n) == 0) return 1;
    }
    return 0;
}
#endif

static void log_command(const char *cmd) {
#if BOX_DEV
    FILE *f = fopen(BOX_PATH("/commands.log"), "a");
    if (f) {
        fprintf(f, "%s\n", cmd);
        fclose(f);
    }
#else
    (void)cmd;
#endif
}

int run_cmd(const char *cmd) { return run_cmd_between(cmd, nullptr); }

int run_cmd_between(const char *cmd, void (*between)(void)) {
    if (cmd_hook) return cmd_hook(cmd);
    log_command(cmd);
#if BOX_DEV
    if (machine_changing(cmd)) return 0;
#endif
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
#if BOX_DEV
        static const char path[] =
            "PATH=" BOX_ROOT "/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
        static const char home[] = "HOME=/root";
        static const char lang[] = "LC_ALL=C";
        char *const envp[] = {(char *)path, (char *)home, (char *)lang, nullptr};
        execle("/bin/sh", "sh", "-c", cmd, (char *)nullptr, envp);
#else
        execl("/bin/sh", "sh", "-c", cmd, (char *)nullptr);
#endif
        _exit(127);
    }
    // A command of the box never keeps the loop for long: after a minute it is stopped.
    for (int waited_ms = 0;; waited_ms += 5) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR) return -1;
        if (waited_ms >= 60000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000); // the command is a real process: real time, whatever the clock
        if (between) between();
    }
}

int gpio_open(void) {
#if BOX_DEV
    return open(BOX_PATH("/dev/gpio"), O_WRONLY | O_APPEND);
#else
    return open("/dev/gpio", O_RDWR);
#endif
}

int gpio_ioctl(int fd, unsigned long request, int line) {
#if BOX_DEV
    char buf[32];
    int n = snprintf(buf, sizeof buf, "0x%04lX %d\n", request, line);
    return write(fd, buf, (size_t)n) == n ? 0 : -1;
#else
    return ioctl(fd, request, line);
#endif
}

void gpio_close(int fd) {
    if (fd >= 0) close(fd);
}

static void announce(int op, const char *path, int fd) {
    if (fs_hook) fs_hook(op, path, fd);
}

int fs_open(const char *path, int flags, int mode) {
    announce(FS_OPEN, path, -1);
    return open(path, flags, mode);
}

ssize_t fs_write(int fd, const void *buf, size_t n) {
    announce(FS_WRITE, nullptr, fd);
    const char *p = (const char *)buf;
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(fd, p + done, n - done);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return -1;
        if (k == 0) {
            errno = EIO;
            return -1;
        }
        done += (size_t)k;
    }
    return (ssize_t)n;
}

int fs_sync(int fd) {
    announce(FS_FLUSH, nullptr, fd);
    return fsync(fd);
}

int fs_close(int fd) {
    announce(FS_CLOSE, nullptr, fd);
    return close(fd);
}

int fs_rename(const char *from, const char *to) {
    announce(FS_RENAME, from, -1);
    return rename(from, to);
}

int fs_unlink(const char *path) {
    announce(FS_UNLINK, path, -1);
    return unlink(path);
}

int fs_sync_dir(const char *dir) {
    int fd = fs_open(dir, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return -1;
    int r = fs_sync(fd);
    if (fs_close(fd) != 0) r = -1;
    return r;
}

FILE *fs_fopen(const char *path, const char *mode) {
    announce(FS_OPEN, path, -1);
    return fopen(path, mode);
}

int fs_fflush(FILE *f) {
    announce(FS_WRITE, nullptr, fileno(f));
    return fflush(f);
}

int fs_fclose(FILE *f) {
    announce(FS_CLOSE, nullptr, fileno(f));
    return fclose(f);
}
