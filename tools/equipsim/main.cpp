// equipsim: the equipment simulator for the bench. Plays a hub (or a single instrument) over
// TCP on 127.0.0.1 or over a pseudo-terminal linked where the concentrator opens its serial
// device, prints every frame readably as it goes, and runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "equipsim.h"

static const char HELP[] =
    "equipsim: plays the test equipment at the other end of the concentrator's link.\n"
    "\n"
    "usage: equipsim --tcp PORT | --pty LINKPATH  [--hub | --single] [--periph G,O,P]\n"
    "                [--auto-results] [--result-delay MS] [--brand TEXT] [--quiet]\n"
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
    "                    its plate, then plausible measures of each instrument with its\n"
    "                    end-of-test stamp\n"
    "  --result-delay MS such a result is ready MS milliseconds after the vehicle (default 0)\n"
    "  --brand TEXT      the brand (item 0300) of every instrument (default KELDRAN)\n"
    "  --quiet           print nothing but the start and the end\n"
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

static void usage_error(const char *msg) {
    fprintf(stderr, "equipsim: %s (see --help)\n", msg);
    exit(2);
}

int main(int argc, char **argv) {
    equipsim::Options o;
    o.verbose = true;
    int tcp_port = -1;
    std::string pty_path, letters = "GOP", brand;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(HELP, stdout);
            return 0;
        } else if (a == "--tcp") {
            std::string v = value();
            char *end = nullptr;
            long p = strtol(v.c_str(), &end, 10);
            if (*end || p < 0 || p > 65535) usage_error("bad port");
            tcp_port = static_cast<int>(p);
        } else if (a == "--pty") {
            pty_path = value();
        } else if (a == "--hub") {
            o.hub = true;
        } else if (a == "--single") {
            o.hub = false;
        } else if (a == "--periph") {
            letters.clear();
            for (char c : value())
                if (c != ',' && c != ' ') letters += c;
            if (letters.empty()) usage_error("no instrument letter");
        } else if (a == "--auto-results") {
            o.auto_results = true;
        } else if (a == "--result-delay") {
            o.result_delay_ms = atoi(value().c_str());
        } else if (a == "--brand") {
            brand = value();
        } else if (a == "--quiet") {
            o.verbose = false;
        } else {
            usage_error(("unknown option " + a).c_str());
        }
    }
    if (tcp_port < 0 && pty_path.empty()) usage_error("give --tcp PORT or --pty LINKPATH");

    o.periphs = equipsim::default_periphs(o.hub ? letters : letters.substr(0, 1), o.hub ? o.hub_number + 1 : 1);
    if (!brand.empty())
        for (auto &p : o.periphs)
            for (auto &r : p.ident)
                if (r.code == "0300") r.text = equipsim::pad(brand, 20);

    // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
    // sigwait: take the default disposition back first. The simulator's thread inherits the
    // mask, so the signals reach sigwait below only.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    equipsim::Sim sim(o);
    std::string list;
    for (char c : letters) list += (list.empty() ? "" : ",") + std::string(1, c);
    std::string what = o.hub ? "hub with " + list : std::string("single instrument ") + letters[0];
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

    int sig = 0;
    sigwait(&set, &sig);
    sim.stop();
    printf("equipsim: stopped by %s\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}
