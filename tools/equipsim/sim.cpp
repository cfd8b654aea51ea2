// The simulated equipment: one I/O thread polls the listening socket, the current TCP
// connection and the pty master, gathers frames, answers them as the equipment would, and
// sends what is due (answers may be delayed on request). The state (records, pending results,
// misbehaviour switches) sits behind one mutex; callers read it through copies and wait on a
// condition variable for frames.
//
// Multi-frame answers (identification, results) are a "sequence": one frame at a time, the
// next one after the box's "0900" or after 1 s without it. A replay hands every frame of the
// box to the recording instead, and queues the recorded answers with their delays.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "internal.h"

namespace equipsim {

using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

enum Link { L_TCP = 0, L_PTY = 1, L_ANY = 2 };

static const int ACK_WAIT_MS = 1000; // how long a frame of a sequence waits for "0900"
static const int MAX_SENDINGS = 3;   // sendings of one frame of a sequence refused by "0904"

namespace {

struct Out {
    Clock::time_point due;
    int link;
    std::string bytes;
    bool frame; // a frame (recorded, may be corrupted on request), not raw bytes
    bool seq;   // the current frame of the sequence
};

struct Pending {
    std::string key; // as given (hub) or empty (single instrument)
    std::vector<Record> records;
    Clock::time_point ready;
    bool single;
};

struct Seq {
    bool active = false;
    bool result = false; // a result (else an identification)
    int link = L_ANY;
    std::vector<std::string> frames;
    size_t cur = 0;
    bool awaiting = false; // the current frame is out and waits for "0900"
    Clock::time_point deadline;
    int sendings = 0;
    bool all_acked = true;
    Pending res;
};

struct Vehicle {
    std::vector<Record> records;
    bool complete = false;
    std::string last_raw;
};

} // namespace

struct Sim::Impl {
    Options opt;
    mutable std::mutex m;
    std::condition_variable cv;
    Clock::time_point t0 = Clock::now();
    std::thread th;
    bool stopping = false;
    int wake[2] = {-1, -1};
    unsigned gen = 0; // bumped whenever a descriptor is closed or replaced
    unsigned polls = 0; // returns of the I/O thread from its poll

    int lfd = -1, cfd = -1; // listening socket, current connection
    int port = 0;
    int mfd = -1, sfd = -1; // pty master and the simulator's own hold on the slave
    std::string link_path, slave_name;
    Assembler asm_tcp, asm_pty;

    std::vector<Frame> frames;
    std::map<std::string, Vehicle> veh;
    std::set<std::string> auto_made;
    std::vector<std::string> withdrawn;
    std::deque<Pending> results;

    bool silent = false, ack = true;
    int corrupt = 0, delay = 0, cut_results = 0;
    bool played_out_told = false; // the replay said that the recording is played out
    std::string reply_next;
    std::deque<Out> outbox;
    Seq seq;

    double now_t() const { return std::chrono::duration<double>(Clock::now() - t0).count(); }

    void note(const std::string &what) {
        if (!opt.verbose) return;
        printf("%s  # %s\n", wall_clock().c_str(), what.c_str());
        fflush(stdout);
    }
    void record(const std::string &raw, bool from_box) {
        Frame f{raw, from_box, now_t(), checksum_holds(raw)};
        frames.push_back(f);
        if (opt.verbose) {
            printf("%s  %s  %s%s\n", wall_clock().c_str(), from_box ? "box --> sim" : "sim --> box",
                   readable(raw).c_str(), f.csum_ok ? "" : "   (bad checksum)");
            fflush(stdout);
        }
        cv.notify_all();
    }

    void kick() {
        char c = 1;
        if (wake[1] >= 0) {
            ssize_t r = write(wake[1], &c, 1);
            (void)r;
        }
    }

    // ---- links ----

    bool write_all(int fd, const std::string &b, bool sock) {
        size_t off = 0;
        auto until = Clock::now() + ms(500);
        while (off < b.size()) {
            ssize_t n = sock ? send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL)
                             : write(fd, b.data() + off, b.size() - off);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN && Clock::now() < until) {
                struct pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 50);
                continue;
            }
            return false;
        }
        return true;
    }

    // Writes to the given link, or to every open link for L_ANY. False when nothing took it.
    bool put(int link, const std::string &b) {
        bool ok = false;
        if ((link == L_TCP || link == L_ANY) && cfd >= 0) {
            if (write_all(cfd, b, true)) ok = true;
            else close_conn("the connection failed on a send");
        }
        if ((link == L_PTY || link == L_ANY) && mfd >= 0) {
            if (write_all(mfd, b, false)) ok = true;
        }
        return ok;
    }

    void close_conn(const char *why) {
        if (cfd < 0) return;
        close(cfd);
        cfd = -1;
        gen++;
        asm_tcp.reset();
        if (seq.active && seq.link == L_TCP) abort_seq();
        note(why);
    }

    void close_pty(bool unlink_it) {
        if (mfd >= 0) close(mfd);
        if (sfd >= 0) close(sfd);
        mfd = sfd = -1;
        gen++;
        asm_pty.reset();
        if (seq.active && seq.link == L_PTY) abort_seq();
        if (unlink_it && !link_path.empty()) {
            // Only the link this simulator made: never a device node or someone else's link.
            char target[256];
            ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = 0;
                if (slave_name == target) unlink(link_path.c_str());
            }
        }
        slave_name.clear();
        link_path.clear();
    }

    bool make_pty(const std::string &path) {
        close_pty(true);
        int master, slave;
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
        struct termios t;
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t); // no echo, no line editing, no CR/LF translation
            tcsetattr(slave, TCSANOW, &t);
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        // Parent directories of the link, then the link itself (replacing an older link only).
        for (size_t p = path.find('/', 1); p != std::string::npos; p = path.find('/', p + 1))
            mkdir(path.substr(0, p).c_str(), 0755);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode) || unlink(path.c_str()) != 0) {
                close(master);
                close(slave);
                return false;
            }
        }
        if (symlink(name, path.c_str()) != 0) {
            close(master);
            close(slave);
            return false;
        }
        mfd = master;
        sfd = slave;
        slave_name = name;
        link_path = path;
        gen++;
        note("pty " + slave_name + " linked at " + path);
        return true;
    }

    // ---- sending ----

    // after_ms: a delay of this answer's own, on top of the delay asked for every answer.
    void queue(int link, const std::string &bytes, bool frame, bool is_seq, int after_ms = 0) {
        Out o{Clock::now() + ms(delay + after_ms), link, bytes, frame, is_seq};
        outbox.push_back(o);
    }

    void answer(int link, const std::vector<Record> &recs) { queue(link, build_frame(recs), true, false); }

    // Puts a frame on the link now, cut or with a bad checksum when that was asked for; true
    // when it was cut. Bytes that are no whole frame (a replay plays those too) go as they are.
    bool send_now(int link, const std::string &frame) {
        std::string b = frame;
        const bool whole = b.size() >= MINFRAME && b[0] == STX && b.back() == EOT;
        bool cut = false;
        if (whole && cut_results > 0 && ends_result(b)) {
            cut_results--;
            b.resize(b.size() / 2);
            cut = true;
        } else if (whole && corrupt > 0) {
            corrupt--;
            b[b.size() - 2] = b[b.size() - 2] == '0' ? '1' : '0'; // low checksum digit
        }
        if (put(link, b)) record(b, false);
        if (cut) note("result frame cut in the middle, on request");
        return cut;
    }

    static bool ends_result(const std::string &frame) {
        const std::string code = Frame{frame, false, 0, false}.code();
        return (code == "0111" || code == "0122") &&
               frame.find(std::string(1, ETB) + "0905") != std::string::npos;
    }

    void flush_due() {
        auto now = Clock::now();
        while (!outbox.empty() && outbox.front().due <= now) {
            Out o = outbox.front();
            outbox.pop_front();
            if (silent) continue;
            bool cut = false;
            if (o.frame) cut = send_now(o.link, o.bytes);
            else put(o.link, o.bytes);
            if (o.seq && seq.active && cut) {
                abort_seq(); // the rest of that sending never comes; the result is kept
            } else if (o.seq && seq.active) {
                seq.awaiting = true;
                seq.sendings++;
                seq.deadline = Clock::now() + ms(ACK_WAIT_MS);
            }
        }
    }

    // ---- sequences ----

    void start_seq(int link, const std::vector<std::string> &fr, bool result, const Pending *res) {
        seq = Seq();
        seq.active = true;
        seq.result = result;
        seq.link = link;
        seq.frames = fr;
        if (res) seq.res = *res;
        queue(link, fr[0], true, true);
    }

    void next_frame() {
        seq.cur++;
        seq.awaiting = false;
        seq.sendings = 0;
        if (seq.cur >= seq.frames.size()) {
            seq.active = false;
            if (seq.result) {
                if (seq.all_acked) note("result delivered (" + rtrim(seq.res.key) + ")");
                else {
                    results.push_front(seq.res); // not all of it reached the box: offer it again
                    note("result not acknowledged whole, kept");
                }
                cv.notify_all();
            }
            return;
        }
        queue(seq.link, seq.frames[seq.cur], true, true);
    }

    void abort_seq() {
        if (!seq.active) return;
        seq.active = false;
        outbox.erase(std::remove_if(outbox.begin(), outbox.end(), [](const Out &o) { return o.seq; }),
                     outbox.end());
        if (seq.result) results.push_front(seq.res);
        cv.notify_all();
    }

    void check_seq_timeout() {
        if (seq.active && seq.awaiting && Clock::now() >= seq.deadline) {
            seq.all_acked = false;
            next_frame();
        }
    }

    // ---- the equipment ----

    std::string letters() const {
        std::string l;
        for (const Peripheral &p : opt.periphs)
            if (p.letter != 'C') l += p.letter;
        return opt.hub ? l : l.substr(0, 1);
    }

    bool take_result(const std::string &key, bool single, Pending *out) {
        auto now = Clock::now();
        bool any = key == "??????????";
        for (auto it = results.begin(); it != results.end(); ++it) {
            if (it->single != single || it->ready > now) continue;
            if (!single && !any && rtrim(it->key) != rtrim(key)) continue;
            *out = *it;
            results.erase(it);
            return true;
        }
        return false;
    }

    void on_vehicle(const Frame &f) {
        std::vector<Record> recs = f.records();
        const std::string key = recs[0].text;
        Vehicle &v = veh[key];
        if (f.raw == v.last_raw) return; // the same frame again: our acknowledgement was missed
        if (v.complete) v = Vehicle();    // a new message for that key
        v.last_raw = f.raw;
        for (size_t i = 1; i < recs.size(); i++) {
            if (recs[i].code == "0905") v.complete = true;
            else v.records.push_back(recs[i]);
        }
        if (v.complete && opt.auto_results && opt.hub && !auto_made.count(key)) {
            std::string plate;
            for (const Record &r : v.records)
                if (r.code == "0200" || r.code == "7200") plate = r.text;
            if (plate.empty()) plate = rtrim(key);
            auto_made.insert(key);
            results.push_back(
                {key, demo_result(plate, letters()), Clock::now() + ms(opt.result_delay_ms), false});
            note("result of " + rtrim(key) + " ready in " + std::to_string(opt.result_delay_ms) + " ms");
        }
        cv.notify_all();
    }

    void on_withdrawal(const std::string &key) {
        withdrawn.push_back(key);
        const std::string k = rtrim(key);
        for (auto it = veh.begin(); it != veh.end();) {
            if (rtrim(it->first) == k) it = veh.erase(it);
            else ++it;
        }
        for (auto it = auto_made.begin(); it != auto_made.end();) {
            if (rtrim(*it) == k) it = auto_made.erase(it);
            else ++it;
        }
        results.erase(std::remove_if(results.begin(), results.end(),
                                     [&](const Pending &p) { return !p.single && rtrim(p.key) == k; }),
                      results.end());
        cv.notify_all();
    }

    const Peripheral *periph(int number) const {
        for (const Peripheral &p : opt.periphs)
            if (p.number == number) return &p;
        return nullptr;
    }

    // A replay: the recorded answers to this frame of the box, each after its delay.
    void play(int link, const std::string &raw) {
        for (const Answer &a : opt.replay->answer(raw, wall_clock(), silent))
            queue(link, a.bytes, true, false, a.delay_ms);
        if (!played_out_told && opt.replay->played_out()) {
            played_out_told = true;
            note("every recorded answer has been played");
        }
    }

    void on_frame(int link, const std::string &raw) {
        record(raw, true);
        if (opt.replay) {
            play(link, raw);
            return;
        }
        const Frame &f = frames.back();
        if (silent) return;
        if (!f.csum_ok || raw.size() > MAXFRAME) {
            answer(link, {{"0904", ""}});
            return;
        }
        std::vector<Record> recs = f.records();
        const std::string code = recs[0].code;
        const std::string text = recs[0].text;
        if (code == "0900") {
            if (seq.active && seq.awaiting) next_frame();
            return;
        }
        if (code == "0904") {
            if (seq.active && seq.awaiting) {
                seq.awaiting = false;
                if (seq.sendings < MAX_SENDINGS) queue(seq.link, seq.frames[seq.cur], true, true);
                else {
                    seq.all_acked = false;
                    next_frame();
                }
            }
            return;
        }
        if (code == "0902" || code == "0174") return;

        // A request: whatever was being sent is over.
        abort_seq();
        if (!reply_next.empty()) {
            answer(link, {{reply_next, ""}});
            reply_next.clear();
            return;
        }
        if (code == "0100") {
            queue(link, list_frame(opt), true, false);
        } else if (code == "0140") {
            const Peripheral *p = periph(atoi(text.c_str()));
            std::vector<Record> items;
            if (p) items = p->ident.empty() ? default_ident(p->letter, p->number) : p->ident;
            start_seq(link, split_ident(items), false, nullptr);
        } else if (code == "0121" || code == "0110") {
            bool single = code == "0110";
            Pending r;
            if (take_result(text.substr(0, 10), single, &r)) {
                Record head = single ? Record{"0111", ""} : Record{"0122", pad(r.key, 10)};
                start_seq(link, split_message(head, r.records), true, &r);
            } else {
                answer(link, {{"0188", ""}});
            }
        } else if (code == "0120") {
            on_vehicle(f);
            if (ack) answer(link, {{"0900", ""}});
        } else if (code == "0130") {
            if (ack) answer(link, {{"0900", ""}});
        } else if (code == "0150") {
            on_withdrawal(text);
            if (ack) answer(link, {{"0900", ""}});
        }
        // Any other code is only recorded.
    }

    // ---- the I/O thread ----

    void loop() {
        std::unique_lock<std::mutex> lk(m);
        std::vector<char> buf(4096);
        while (!stopping) {
            check_seq_timeout();
            flush_due();
            int timeout = 200;
            auto now = Clock::now();
            auto until = [&](Clock::time_point t) {
                long long d = std::chrono::duration_cast<ms>(t - now).count() + 1;
                timeout = std::max(0, std::min<int>(timeout, static_cast<int>(std::max(0LL, d))));
            };
            if (!outbox.empty()) until(outbox.front().due);
            if (seq.active && seq.awaiting) until(seq.deadline);

            struct pollfd p[4];
            int kind[4];
            int n = 0;
            auto watch = [&](int fd, int k) {
                p[n].fd = fd;
                p[n].events = POLLIN;
                p[n].revents = 0;
                kind[n++] = k;
            };
            watch(wake[0], -1);
            if (lfd >= 0) watch(lfd, 0);
            if (cfd >= 0) watch(cfd, 1);
            if (mfd >= 0) watch(mfd, 2);
            unsigned g = gen;
            lk.unlock();
            int r = poll(p, n, timeout);
            lk.lock();
            polls++; // a descriptor closed meanwhile is now really closed
            cv.notify_all();
            if (stopping) break;
            if (r <= 0) continue;
            if (p[0].revents) {
                char junk[64];
                while (read(wake[0], junk, sizeof junk) > 0) {
                }
            }
            if (g != gen) continue; // a descriptor changed under the poll: look again
            for (int i = 1; i < n; i++) {
                if (!p[i].revents) continue;
                if (kind[i] == 0) {
                    int c = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0) continue;
                    if (cfd >= 0) close_conn("older connection replaced");
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    cfd = c;
                    gen++;
                    note("connection accepted");
                    cv.notify_all();
                } else {
                    bool tcp = kind[i] == 1;
                    int fd = tcp ? cfd : mfd;
                    ssize_t got = read(fd, buf.data(), buf.size());
                    if (got > 0) {
                        std::vector<std::string> done;
                        (tcp ? asm_tcp : asm_pty).feed(buf.data(), static_cast<size_t>(got), done);
                        for (const std::string &fr : done) on_frame(tcp ? L_TCP : L_PTY, fr);
                    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                        if (tcp) close_conn("connection closed by the box");
                        else {
                            close_pty(false);
                            note("pty failed");
                        }
                    }
                }
                if (g != gen) break;
            }
        }
    }
};

Sim::Sim(Options o) : d(new Impl) {
    if (o.periphs.empty()) o.periphs = o.hub ? default_periphs("GOP", 2) : default_periphs("G", 1);
    for (Peripheral &p : o.periphs)
        if (p.ident.empty()) p.ident = default_ident(p.letter, p.number);
    d->opt = o;
    if (pipe2(d->wake, O_NONBLOCK | O_CLOEXEC) != 0) d->wake[0] = d->wake[1] = -1;
    d->th = std::thread([this] { d->loop(); });
}

Sim::~Sim() { stop(); }

int Sim::listen_tcp(int port) {
    std::lock_guard<std::mutex> lk(d->m);
    if (d->lfd >= 0) return d->port;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    d->lfd = s;
    d->port = ntohs(a.sin_port);
    d->gen++;
    d->note("listening on 127.0.0.1:" + std::to_string(d->port));
    d->kick();
    return d->port;
}

bool Sim::open_pty(const std::string &link_path) {
    std::lock_guard<std::mutex> lk(d->m);
    bool ok = d->make_pty(link_path);
    d->kick();
    return ok;
}

void Sim::stop() {
    {
        std::lock_guard<std::mutex> lk(d->m);
        if (d->stopping) return;
        d->stopping = true;
        d->kick();
    }
    if (d->th.joinable()) d->th.join();
    std::lock_guard<std::mutex> lk(d->m);
    d->close_conn("stopped");
    d->close_pty(true);
    if (d->lfd >= 0) close(d->lfd);
    d->lfd = -1;
    for (int &w : d->wake) {
        if (w >= 0) close(w);
        w = -1;
    }
    d->cv.notify_all();
}

std::vector<Frame> Sim::frames() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->frames;
}

std::vector<Frame> Sim::box_frames() const {
    std::lock_guard<std::mutex> lk(d->m);
    std::vector<Frame> out;
    for (const Frame &f : d->frames)
        if (f.from_box) out.push_back(f);
    return out;
}

bool Sim::wait_frame(const std::function<bool(const Frame &)> &pred, int timeout_ms, Frame *out) {
    std::unique_lock<std::mutex> lk(d->m);
    auto until = Clock::now() + ms(timeout_ms);
    size_t seen = 0; // each frame goes through pred once
    auto found = [&]() {
        if (seen > d->frames.size()) seen = 0; // cleared meanwhile
        for (; seen < d->frames.size(); seen++) {
            const Frame &f = d->frames[seen];
            if (f.from_box && pred(f)) {
                if (out) *out = f;
                return true;
            }
        }
        return false;
    };
    while (!found()) {
        if (d->stopping || d->cv.wait_until(lk, until) == std::cv_status::timeout) return found();
    }
    return true;
}

bool Sim::wait_code(const std::string &code, int timeout_ms, Frame *out) {
    return wait_frame([&](const Frame &f) { return f.code() == code; }, timeout_ms, out);
}

int Sim::count_code(const std::string &code) const {
    std::lock_guard<std::mutex> lk(d->m);
    int n = 0;
    for (const Frame &f : d->frames)
        if (f.from_box && f.code() == code) n++;
    return n;
}

void Sim::clear_frames() {
    std::lock_guard<std::mutex> lk(d->m);
    d->frames.clear();
}

std::map<std::string, std::vector<Record>> Sim::vehicles() const {
    std::lock_guard<std::mutex> lk(d->m);
    std::map<std::string, std::vector<Record>> out;
    for (const auto &v : d->veh) out[v.first] = v.second.records;
    return out;
}

std::vector<std::string> Sim::withdrawn() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->withdrawn;
}

void Sim::add_result(const std::string &key, const std::vector<Record> &records) {
    std::lock_guard<std::mutex> lk(d->m);
    d->results.push_back({key, records, Clock::now(), false});
}

void Sim::add_single_result(const std::vector<Record> &records) {
    std::lock_guard<std::mutex> lk(d->m);
    d->results.push_back({"", records, Clock::now(), true});
}

int Sim::results_pending() const {
    std::lock_guard<std::mutex> lk(d->m);
    return static_cast<int>(d->results.size()) + (d->seq.active && d->seq.result ? 1 : 0);
}

void Sim::set_silent(bool on) {
    std::lock_guard<std::mutex> lk(d->m);
    d->silent = on;
    if (on) d->abort_seq();
}

void Sim::set_ack(bool on) {
    std::lock_guard<std::mutex> lk(d->m);
    d->ack = on;
}

void Sim::corrupt_next(int n) {
    std::lock_guard<std::mutex> lk(d->m);
    d->corrupt = n;
}

void Sim::cut_next_results(int n) {
    std::lock_guard<std::mutex> lk(d->m);
    d->cut_results = n;
}

std::string Sim::replay_report() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->opt.replay ? d->opt.replay->report() : std::string();
}

ReplaySummary Sim::replay_summary() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->opt.replay ? d->opt.replay->summary() : ReplaySummary();
}

void Sim::reply_next_with(const std::string &code) {
    std::lock_guard<std::mutex> lk(d->m);
    d->reply_next = code;
}

void Sim::set_delay_ms(int ms_) {
    std::lock_guard<std::mutex> lk(d->m);
    d->delay = ms_ < 0 ? 0 : ms_;
}

void Sim::send_raw(const std::string &bytes) {
    std::lock_guard<std::mutex> lk(d->m);
    d->put(L_ANY, bytes);
    d->note("raw bytes sent: " + readable(bytes));
}

void Sim::send_frame(const std::vector<Record> &records) {
    std::lock_guard<std::mutex> lk(d->m);
    d->send_now(L_ANY, build_frame(records));
}

void Sim::drop_connection() {
    std::lock_guard<std::mutex> lk(d->m);
    if (d->cfd >= 0) shutdown(d->cfd, SHUT_RDWR);
    d->close_conn("connection dropped on request");
    d->kick();
}

void Sim::vanish() {
    std::unique_lock<std::mutex> lk(d->m);
    std::string path = d->link_path;
    d->close_pty(true);
    d->note("device vanished (" + path + ")");
    // The I/O thread may be polling the old master, which keeps it open until the poll
    // returns: wait for that, so that the box's next operation on it fails.
    unsigned before = d->polls;
    d->kick();
    d->cv.wait_for(lk, std::chrono::seconds(1), [&] { return d->polls != before || d->stopping; });
}

bool Sim::reappear(const std::string &new_link_path) { return open_pty(new_link_path); }

int Sim::port() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->lfd >= 0 ? d->port : 0;
}

std::string Sim::pty_name() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->slave_name;
}

bool Sim::connected() const {
    std::lock_guard<std::mutex> lk(d->m);
    return d->cfd >= 0;
}

} // namespace equipsim
