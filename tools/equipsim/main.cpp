// equipsim: the equipment simulator for the bench. Plays a hub (or a single instrument), or
// the equipment of a recorded link log, over TCP on 127.0.0.1 or over a pseudo-terminal
// linked where the concentrator opens its serial device; prints every frame readably as it
// goes; misbehaves on request at the times given; runs until SIGINT or SIGTERM (or --for).
// A replay prints its difference report at the end.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "equipsim.h"

static const char HELP[] =
    "equipsim: plays the test equipment at the other end of the concentrator's link.\n"
    "\n"
    "usage: equipsim --tcp PORT | --pty LINKPATH  [--hub | --single] [--periph G,O,P]\n"
    "                [--auto-results] [--result-delay MS] [--brand TEXT] [--quiet]\n"
    "                [misbehaviour ...] [--for SECONDS]\n"
    "       equipsim --replay LOG [--timing] --tcp PORT | --pty LINKPATH  [--quiet]\n"
    "                [misbehaviour ...] [--for SECONDS]\n"
    "\n"
    "  --tcp PORT        listen on 127.0.0.1:PORT (0: any free port, printed at start) and\n"
    "                    take the concentrator's connection; a new connection replaces the\n"
    "                    old one (as equipment that restarts)\n"
    "  --pty LINKPATH    create a pseudo-terminal and link LINKPATH to it, e.g. the dev\n"
    "                    sandbox's build/dev/root/dev/ttyUSB0 (an existing link is replaced;\n"
    "                    anything else at that path is left alone and the start fails)\n"
    "  --hub             a hub: entry 0 of the peripheral list is the hub, 001C (default)\n"
    "  --single          a single instrument: the list holds that instrument only\n"
    "  --periph LETTERS  the instruments, by letter: G gas analyser, O opacimeter,\n"
    "                    P headlamp tester (default G,O,P); a hub numbers them 2, 3, 4 ...,\n"
    "                    a single instrument is number 1\n"
    "  --auto-results    (hub) make a result for every vehicle the concentrator sends:\n"
    "                    its plate and the date and time of the test (7009), then\n"
    "                    plausible measures of each instrument with its end-of-test stamp\n"
    "  --result-delay MS such a result is ready MS milliseconds after the vehicle (default 0)\n"
    "  --brand TEXT      the brand (item 0300) of every instrument (default KELDRAN)\n"
    "  --quiet           print nothing but the start and the end (and a replay's report)\n"
    "  --for SECONDS     stop by itself after that long\n"
    "\n"
    "How the equipment answers:\n"
    "  0100               the peripheral list 0101 (entries %03d + letter, then 0905)\n"
    "  0140 00N           the identification of instrument N (brand, model, serial 0300-0302,\n"
    "                     versions, dates, approval 7003, the sealing key 7012), several frames,\n"
    "                     the last ending with 0905; each frame waits for the box's 0900 (1 s)\n"
    "  0121 key / 0110    the ready result as 0122+key (hub) or 0111 (single) frames, each\n"
    "                     waiting for 0900; nothing ready: 0188, a status frame that the\n"
    "                     concentrator acknowledges and that keeps the dialogue going\n"
    "  0120 0130 0150     acknowledged with 0900 (0150 also drops the vehicle and its result)\n"
    "  0174 0900 0902     recorded only; 0904 makes a frame of a result or identification go\n"
    "                     out again\n"
    "  bad checksum       answered 0904\n"
    "An unknown instrument number is identified by 0905 alone.\n"
    "\n"
    "Replaying a station's link log (log/log.txt copied from the box):\n"
    "  --replay LOG      answer as the equipment of that recording did: each frame of the box\n"
    "                    gets what the equipment sent after the same frame in the recording.\n"
    "                    A frame is found by its code and key (the vehicle's key for 0120,\n"
    "                    0121 and 0150, the peripheral for 0140, none for 0100, 0110 and\n"
    "                    0130, whatever its date), in recorded order: the n-th box frame\n"
    "                    0121?????????? gets the answers of the n-th recorded one, however\n"
    "                    often the box polls.\n"
    "                    The box's own 0900, 0902, 0904 and 0174 belong to the exchange under\n"
    "                    way. A frame the recording never answered gets no answer. Recorded\n"
    "                    bytes are played as they were, bad checksums and cut frames included.\n"
    "                    At the end (Ctrl-C, SIGTERM or --for) it prints where the box's frames\n"
    "                    differ from the recorded box's: missing, extra, different, and the\n"
    "                    requests the recording never answered, with their times.\n"
    "  --timing          keep the recorded delay of each answer (whole seconds, as the log\n"
    "                    has them, at most 10 s); without it answers go at once\n"
    "  e.g. equipsim --replay station/log.txt --tcp 5000\n"
    "\n"
    "Misbehaviour on request (T: seconds after the start, default 0; fractions allowed):\n"
    "  --bad-checksum N[@T]   from T on, the next N frames sent carry a bad checksum\n"
    "                         e.g. --bad-checksum 3@20: the three frames after 20 s are refused\n"
    "  --silence S[@T]        from T on, answer nothing for S seconds (frames are still shown)\n"
    "                         e.g. --silence 30@60: the equipment falls silent at 1 min for 30 s\n"
    "  --drop-every S         (--tcp) close the connection every S seconds, as equipment that\n"
    "                         restarts; e.g. --drop-every 45\n"
    "  --vanish-every S[:G]   (--pty) remove the device every S seconds, as an unplugged\n"
    "                         adapter, and bring it back G seconds later (default 1) under the\n"
    "                         same link; e.g. --vanish-every 60:5\n"
    "  --garbage N[@T]        at T, a burst of N bytes of line noise (no frame in it)\n"
    "                         e.g. --garbage 200@15\n"
    "  --cut-result N[@T]     from T on, the last frame of each of the next N results is cut in\n"
    "                         the middle and nothing more of it comes; the result is offered\n"
    "                         again whole at the next request; e.g. --cut-result 1\n"
    "  --delay MS             every answer comes MS milliseconds late; e.g. --delay 4500\n"
    "\n"
    "Each frame is printed as it passes, control bytes shown as <STX> <ETB> <ETX> <EOT>:\n"
    "  04:31:07.123  box --> sim  <STX>0100<ETX>31<EOT>\n"
    "\n"
    "Playing a hub over TCP (parameter file: link kind LAN, equipment 127.0.0.1 port 5000):\n"
    "  equipsim --tcp 5000 --hub --periph G,O,P --auto-results --result-delay 3000\n"
    "Playing a hub over a pty for the dev build (parameter file: link kind USB, port\n"
    "/dev/ttyUSB0):\n"
    "  equipsim --pty build/dev/root/dev/ttyUSB0 --hub --auto-results\n"
    "A single opacimeter on the RS232 line:\n"
    "  equipsim --pty build/dev/root/dev/ttyS2 --single --periph O\n"
    "\n"
    "Stop with Ctrl-C (SIGINT) or SIGTERM: the link is removed and the program ends.\n";

static void usage_error(const std::string &msg) {
    fprintf(stderr, "equipsim: %s (see --help)\n", msg.c_str());
    exit(2);
}

// A number of seconds, fractions allowed, not negative.
static double seconds_of(const std::string &v, const std::string &opt) {
    char *end = nullptr;
    double s = strtod(v.c_str(), &end);
    if (v.empty() || *end || !(s >= 0) || s > 1e7) usage_error("bad number of seconds for " + opt);
    return s;
}

static long count_of(const std::string &v, const std::string &opt) {
    char *end = nullptr;
    long n = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || n < 0 || n > 1000000) usage_error("bad number for " + opt);
    return n;
}

// "X[<sep>Y]": X, and Y (or dflt when absent).
static std::pair<std::string, std::string> split_at(const std::string &v, char sep,
                                                   const std::string &dflt) {
    size_t at = v.find(sep);
    if (at == std::string::npos) return {v, dflt};
    return {v.substr(0, at), v.substr(at + 1)};
}

// A misbehaviour at a time of the run, repeated every `every` seconds when that is not 0.
struct Event {
    double at, every;
    std::function<void()> act;
};

static void say(const std::string &what) {
    printf("%s  # %s\n", equipsim::wall_clock().c_str(), what.c_str());
    fflush(stdout);
}

int main(int argc, char **argv) {
    equipsim::Options o;
    o.verbose = true;
    int tcp_port = -1;
    std::string pty_path, letters = "GOP", brand, replay_path;
    bool timing = false, model_options = false;
    double run_for = -1;
    std::vector<std::function<void(equipsim::Sim &, std::vector<Event> &)>> misbehave;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error("missing value after " + a);
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(HELP, stdout);
            return 0;
        } else if (a == "--tcp") {
            std::string v = value();
            char *end = nullptr;
            long p = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || p < 0 || p > 65535) usage_error("bad port");
            tcp_port = static_cast<int>(p);
        } else if (a == "--pty") {
            pty_path = value();
        } else if (a == "--hub") {
            o.hub = true;
            model_options = true;
        } else if (a == "--single") {
            o.hub = false;
            model_options = true;
        } else if (a == "--periph") {
            letters.clear();
            for (char c : value())
                if (c != ',' && c != ' ') letters += c;
            if (letters.empty()) usage_error("no instrument letter");
            model_options = true;
        } else if (a == "--auto-results") {
            o.auto_results = true;
            model_options = true;
        } else if (a == "--result-delay") {
            o.result_delay_ms = static_cast<int>(count_of(value(), a));
            model_options = true;
        } else if (a == "--brand") {
            brand = value();
            model_options = true;
        } else if (a == "--quiet") {
            o.verbose = false;
        } else if (a == "--replay") {
            replay_path = value();
        } else if (a == "--timing") {
            timing = true;
        } else if (a == "--for") {
            run_for = seconds_of(value(), a);
        } else if (a == "--bad-checksum" || a == "--cut-result" || a == "--garbage") {
            auto v = split_at(value(), '@', "0");
            long n = count_of(v.first, a);
            double at = seconds_of(v.second, a);
            misbehave.push_back([a, n, at](equipsim::Sim &sim, std::vector<Event> &ev) {
                ev.push_back({at, 0, [a, n, &sim] {
                                  if (a == "--garbage") {
                                      sim.send_raw(equipsim::noise(static_cast<size_t>(n)));
                                      return;
                                  }
                                  if (a == "--bad-checksum") sim.corrupt_next(static_cast<int>(n));
                                  else sim.cut_next_results(static_cast<int>(n));
                                  say(a.substr(2) + " " + std::to_string(n) + " on request");
                              }});
            });
        } else if (a == "--silence") {
            auto v = split_at(value(), '@', "0");
            double len = seconds_of(v.first, a), at = seconds_of(v.second, a);
            misbehave.push_back([len, at](equipsim::Sim &sim, std::vector<Event> &ev) {
                ev.push_back({at, 0, [len, &sim] {
                                  sim.set_silent(true);
                                  char b[64];
                                  snprintf(b, sizeof b, "silent for %g s, on request", len);
                                  say(b);
                              }});
                ev.push_back({at + len, 0, [&sim] {
                                  sim.set_silent(false);
                                  say("speaking again");
                              }});
            });
        } else if (a == "--drop-every") {
            double every = seconds_of(value(), a);
            if (every <= 0) usage_error("--drop-every needs a period above 0");
            misbehave.push_back([every](equipsim::Sim &sim, std::vector<Event> &ev) {
                ev.push_back({every, every, [&sim] { sim.drop_connection(); }});
            });
        } else if (a == "--vanish-every") {
            auto v = split_at(value(), ':', "1");
            double every = seconds_of(v.first, a), gone = seconds_of(v.second, a);
            if (every <= 0 || gone >= every) usage_error("--vanish-every S:G needs 0 <= G < S");
            misbehave.push_back([every, gone, &pty_path](equipsim::Sim &sim, std::vector<Event> &ev) {
                ev.push_back({every, every, [&sim] { sim.vanish(); }});
                ev.push_back({every + gone, every, [&sim, &pty_path] {
                                  if (!sim.reappear(pty_path)) say("cannot link the pty again at " + pty_path);
                              }});
            });
        } else if (a == "--delay") {
            const int d = static_cast<int>(count_of(value(), a));
            misbehave.push_back([d](equipsim::Sim &sim, std::vector<Event> &) { sim.set_delay_ms(d); });
        } else {
            usage_error("unknown option " + a);
        }
    }
    if (tcp_port < 0 && pty_path.empty()) usage_error("give --tcp PORT or --pty LINKPATH");
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--drop-every" && tcp_port < 0) usage_error("--drop-every needs --tcp");
        if (a == "--vanish-every" && pty_path.empty()) usage_error("--vanish-every needs --pty");
    }
    if (!replay_path.empty() && model_options)
        usage_error("--replay plays the recording: --hub, --single, --periph, --auto-results, "
                    "--result-delay and --brand do not apply");
    if (timing && replay_path.empty()) usage_error("--timing goes with --replay");

    std::string what;
    if (!replay_path.empty()) {
        std::ifstream in(replay_path, std::ios::binary);
        if (!in) {
            fprintf(stderr, "equipsim: cannot read %s: %s\n", replay_path.c_str(), strerror(errno));
            return 1;
        }
        std::stringstream bytes;
        bytes << in.rdbuf();
        o.replay = std::make_shared<equipsim::Replay>(equipsim::read_log(bytes.str()), timing);
        printf("equipsim: replay of %s: %s", replay_path.c_str(), o.replay->loaded().c_str());
        what = std::string("the equipment of ") + replay_path + (timing ? " (timing kept)" : "");
    } else {
        o.periphs = equipsim::default_periphs(o.hub ? letters : letters.substr(0, 1),
                                              o.hub ? o.hub_number + 1 : 1);
        if (!brand.empty())
            for (auto &p : o.periphs)
                for (auto &r : p.ident)
                    if (r.code == "0300") r.text = equipsim::pad(brand, 20);
        std::string list;
        for (char c : letters) list += (list.empty() ? "" : ",") + std::string(1, c);
        what = o.hub ? "hub with " + list : std::string("single instrument ") + letters[0];
    }

    // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
    // sigwait: take the default disposition back first. The simulator's thread inherits the
    // mask, so the signals reach the wait below only.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    equipsim::Sim sim(o);
    // The times of misbehaviour count from here, and what is due at 0 (a silence from the
    // start) is in force before the port or pty is shown: a box that connects at once must
    // not be answered first.
    std::vector<Event> events;
    for (auto &m : misbehave) m(sim, events);
    const char *ended = nullptr;
    if (run_for >= 0) events.push_back({run_for, 0, [&ended] { ended = "--for"; }});
    const auto start = std::chrono::steady_clock::now();
    auto seconds_since_start = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto run_due = [&events](double now) { // runs what is due, returns the time of the next
        double next = -1;
        for (Event &e : events) {
            if (e.at < 0) continue;
            if (e.at <= now) {
                e.act();
                e.at = e.every > 0 ? e.at + e.every : -1;
            }
            if (e.at >= 0 && (next < 0 || e.at < next)) next = e.at;
        }
        return next;
    };
    run_due(0);
    if (tcp_port >= 0) {
        int p = sim.listen_tcp(tcp_port);
        if (p < 0) {
            fprintf(stderr, "equipsim: cannot listen on 127.0.0.1:%d: %s\n", tcp_port, strerror(errno));
            return 1;
        }
        printf("equipsim: %s on 127.0.0.1:%d\n", what.c_str(), p);
    }
    if (!pty_path.empty()) {
        if (!sim.open_pty(pty_path)) {
            fprintf(stderr, "equipsim: cannot link a pty at %s (an existing non-link is never replaced)\n",
                    pty_path.c_str());
            return 1;
        }
        printf("equipsim: %s on %s -> %s\n", what.c_str(), pty_path.c_str(), sim.pty_name().c_str());
    }
    fflush(stdout);

    while (!ended) {
        const double now = seconds_since_start();
        const double next = run_due(now);
        if (ended) break;
        int sig;
        if (next < 0) {
            sigwait(&set, &sig);
        } else {
            const double wait = std::max(0.0, next - now);
            struct timespec ts;
            ts.tv_sec = static_cast<time_t>(wait);
            ts.tv_nsec = static_cast<long>((wait - std::floor(wait)) * 1e9);
            sig = sigtimedwait(&set, nullptr, &ts);
            if (sig < 0) continue; // the time of the next event
        }
        ended = sig == SIGINT ? "SIGINT" : "SIGTERM";
    }
    sim.stop();
    if (o.replay) fputs(o.replay->report().c_str(), stdout);
    printf("equipsim: stopped by %s\n", ended);
    return 0;
}
