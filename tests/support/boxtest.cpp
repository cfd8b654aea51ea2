#include "boxtest.h"

#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "dat.h"
#include "file_param.h"
#include "heartbeat.h"
#include "journal.h"
#include "link.h"
#include "nod.h"
#include "outbox.h"
#include "plat.h"
#include "synchro.h"
#include "tim.h"

namespace boxtest {

std::string root(const std::string &rel) { return std::string(BOX_ROOT) + rel; }

static void sh(const std::string &cmd) {
    int r = system(cmd.c_str());
    (void)r;
}

void reset_root(bool gpio) {
    std::string r = root();
    // never outside a sandbox: its root is a directory named root or unitroot
    if (r.size() < 10 || r.compare(r.size() - 4, 4, "root") != 0) abort();
    sh("rm -rf '" + r + "'");
    for (const char *d : {"/home/KELDRAN/DATA/log", "/mnt/GIEGLAN", "/dev", "/etc", "/bin",
                          "/mnt/usbflash", "/mnt/usbflash2"})
        sh("mkdir -p '" + r + d + "'");
    if (gpio) write_file(root("/dev/gpio"), "");
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void remove_file(const std::string &path) { unlink(path.c_str()); }

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            if (!cur.empty() && cur.back() == '\r') cur.pop_back();
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> out;
    DIR *d = opendir(path.c_str());
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string sha1sum_upper(const std::string &bytes) {
    char path[] = "/tmp/boxtest_sha1_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "";
    ssize_t w = write(fd, bytes.data(), bytes.size());
    close(fd);
    std::string hex;
    if (w == (ssize_t)bytes.size())
        if (FILE *p = popen((std::string("sha1sum ") + path).c_str(), "r")) {
            char out[128] = {0};
            if (fgets(out, sizeof out, p)) hex.assign(out, 40);
            pclose(p);
        }
    unlink(path);
    for (char &ch : hex)
        ch = (char)toupper((unsigned char)ch);
    return hex;
}

void write_param(const std::map<std::string, std::string> &tags) {
    std::string text;
    for (const auto &kv : tags)
        text += kv.first + kv.second + "\r\n";
    write_file(root("/home/KELDRAN/DATA/PARAM_VARN.txt"), text);
}

void set_network(int status) {
    // a running box may start the script at any moment: it never sees half of it
    std::string p = root("/bin/testNetwork.sh");
    write_file(p + ".new", "#!/bin/sh\nexit " + std::to_string(status) + "\n");
    chmod((p + ".new").c_str(), 0755);
    rename((p + ".new").c_str(), p.c_str());
}

static long long fake_us;
static long long fake_step;
static void fake_now(struct timeval *tv) {
    tv->tv_sec = fake_us / 1000000;
    tv->tv_usec = fake_us % 1000000;
    fake_us += fake_step;
}

static void fake_pause(unsigned us) { fake_us += us; }

FakeClock::FakeClock(long long sec, long usec) {
    set(sec, usec);
    fake_step = 0;
    now_hook = fake_now;
    pause_hook = fake_pause;
}
FakeClock::~FakeClock() {
    now_hook = nullptr;
    pause_hook = nullptr;
}
void FakeClock::set(long long sec, long usec) { fake_us = sec * 1000000 + usec; }
void FakeClock::advance_us(long long us) { fake_us += us; }
void FakeClock::auto_step(long long step_us) { fake_step = step_us; }
long long FakeClock::now_us() const { return fake_us; }

bool set_immutable(const std::string &path, bool on) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms, int poll_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
    return pred();
}

bool runs_past_fifo(const std::string &path, const std::function<void()> &work, int timeout_ms) {
    if (mkfifo(path.c_str(), 0644) != 0) return false;
    std::atomic<bool> done{false};
    std::thread t([&] {
        work();
        done = true;
    });
    bool in_time = wait_until([&] { return done.load(); }, timeout_ms);
    while (!done) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    t.join();
    return in_time;
}

std::string Proc::output() const { return read_file(out_path); }

int Proc::stop() {
    if (pid <= 0) return 0;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
    return -SIGKILL;
}

int Proc::wait_exit(int timeout_ms) {
    int status = 0;
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        usleep(10000);
    }
    return -1000;
}

Proc::~Proc() { stop(); }

Proc spawn(const std::string &bin, const std::vector<std::string> &args,
           const std::string &out_path) {
    Proc p;
    p.out_path = out_path;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        // bin may be an emulator's command before the program: its blank-separated words
        std::istringstream words(bin);
        std::vector<std::string> cmd;
        for (std::string w; words >> w;)
            cmd.push_back(w);
        cmd.insert(cmd.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : cmd)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    p.pid = pid;
    return p;
}

std::string concentrator_bin() { return CONCENTRATOR_BIN; }
std::string provisioning_bin() { return PROVISIONING_BIN; }

void reset_state() {
    memset(voiture, 0, sizeof voiture);
    for (auto &v : voiture)
        v.idx = ALL;
    memset(data, 0, sizeof data);
    memset(termine, 0, sizeof termine);
    memset(newplaque, 0, sizeof newplaque);
    memset(NEWCLE, 0, sizeof NEWCLE);
    memset(SI, 0, sizeof SI);
    Cpt_plaque = 0;
    memset(SM, 0, sizeof SM);
    memset(SM_OTCLAN, 0, sizeof SM_OTCLAN);
    memset(SM1, 0, sizeof SM1);
    Cpt_SM = CSM = CSM_OTCLAN = CODE_200 = 0;
    memset(SIHC, 0, sizeof SIHC);
    memset(Cpt_SIHC, 0, sizeof Cpt_SIHC);
    COM_STAT = giegtype = ERREUR = cou = cou2 = effacement = 0;
    nb_periph_present = ask_only_good_periph = scanplaque = 0;
    stageall = ALL;
    memset(type_hardware_connect2, 0, sizeof type_hardware_connect2);
    SERIAL2 = CURCLEQ = RECEP = CURCLE = ORDER2 = 0;
    memset(cle_get_data, 0, sizeof cle_get_data);
    memset(type_measure, 0x1E, sizeof type_measure);
    nb_measure = CSM1 = CSM2 = CSM3 = CSM4 = CSM5 = CSM6 = 0;
    COMOINPROG[0] = COMOINPROG[1] = 0;
    sync_hour_ok = first_Sync = 0;
    led_green_status = 0;
    TestOpaPourCI = 1;
    watch_dog = light_on_off = 0;
    memset(&TIME_1S, 0, sizeof(TIMEMS));
    memset(&ASKEQUIPONESEC, 0, sizeof(TIMEMS));
    memset(&ASKPLAQUE, 0, sizeof(TIMEMS));
    memset(&START_MIN, 0, sizeof(TIMEMS));
    memset(&START_MIN2, 0, sizeof(TIMEMS));
    link_backend = nullptr; // chosen again from the link kind the test sets
    outbox_holding = 0;
    outbox_refused = 0;
    outbox_journal = 0;
    outbox_seq = 0; // numbers start again; outbox_init keeps them above those in use
    memset(journal_of, 0, sizeof journal_of);
    journal_waiting = 0;
    orders_known = 1; // a box that has read its orders; tests of the start clear it
    orders_read_ok = 1;
}

} // namespace boxtest
