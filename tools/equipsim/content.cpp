// What the simulated equipment says: its peripheral list, the identification items of each
// instrument, demo results, line noise, and the splitting of a long message over frames of
// 80 bytes.
#include <ctime>
#include <cstdio>

#include "internal.h"

namespace equipsim {

// Room for records in one frame: all but STX, ETX, the two checksum digits and EOT.
static const size_t ROOM = MAXFRAME - 5;
static const Record END{"0905", ""};

std::string pad(const std::string &t, size_t n) {
    std::string s = t.substr(0, n);
    s.resize(n, ' ');
    return s;
}

std::string rtrim(const std::string &s) {
    size_t e = s.find_last_not_of(' ');
    return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}

std::string wall_clock() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    char b[32];
    snprintf(b, sizeof b, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
             ts.tv_nsec / 1000000);
    return b;
}

std::string noise(size_t n, unsigned seed) {
    static const char ODD[] = {'\r', '\n', '\x7F', '\xFF', '\xA0'};
    std::string out;
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        const unsigned r = (x >> 16) & 0x7FFF;
        out += r % 8 == 0 ? ODD[r / 8 % sizeof ODD] : static_cast<char>(' ' + r % 95);
    }
    return out;
}

std::string stamp_now() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char b[32];
    snprintf(b, sizeof b, "%02d%02d%04d%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1,
             tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return b;
}

// Size of a record on the wire: its code and text, plus the ETB unless it opens the frame.
static size_t wire(const Record &r, bool first) { return (first ? 0 : 1) + r.code.size() + r.text.size(); }

static Record cut(const Record &r, size_t max_text) {
    Record c = r;
    if (c.text.size() > max_text) c.text.resize(max_text);
    return c;
}

std::vector<std::string> split_message(const Record &head, const std::vector<Record> &body) {
    Record h = cut(head, ROOM - 4 - 5 - 5); // leave room for one record and the end marker
    size_t avail = ROOM - wire(h, true);    // for the body records of each frame
    std::vector<std::vector<Record>> frames(1);
    size_t used = 0;
    for (const Record &r0 : body) {
        Record r = cut(r0, avail - 5);
        if (used + wire(r, false) > avail) {
            frames.emplace_back();
            used = 0;
        }
        frames.back().push_back(r);
        used += wire(r, false);
    }
    if (used + wire(END, false) > avail) frames.emplace_back();
    frames.back().push_back(END);
    std::vector<std::string> out;
    for (auto &f : frames) {
        f.insert(f.begin(), h);
        out.push_back(build_frame(f));
    }
    return out;
}

std::vector<std::string> split_ident(const std::vector<Record> &items) {
    if (items.empty()) return {build_frame({END})};
    std::vector<std::vector<Record>> frames;
    size_t used = 0;
    for (const Record &r0 : items) {
        // An item alone must leave room for the end marker behind it.
        Record r = cut(r0, ROOM - 4 - 5 - 4);
        bool fresh = frames.empty() || used + wire(r, false) > ROOM;
        if (fresh) {
            frames.emplace_back();
            used = 0;
        }
        frames.back().push_back(r);
        used += wire(r, fresh);
    }
    if (used + wire(END, false) > ROOM) {
        // Move the last item behind it so that every frame still opens with an item.
        Record last = frames.back().back();
        frames.back().pop_back();
        frames.push_back({last});
    }
    frames.back().push_back(END);
    std::vector<std::string> out;
    for (auto &f : frames) out.push_back(build_frame(f));
    return out;
}

std::string list_frame(const Options &o) {
    std::vector<Record> recs{{"0101", ""}};
    char e[16];
    auto add = [&](int number, char letter) {
        snprintf(e, sizeof e, "%03d%c", number % 1000, letter);
        recs.push_back({e, ""}); // "%03d%c" is four characters: it sits in the code's place
    };
    if (o.hub) {
        add(o.hub_number, 'C');
        for (const Peripheral &p : o.periphs) {
            // 9 bytes of frame, 5 for the end marker, 5 per entry
            if (1 + 4 + 5 * recs.size() + 5 + 4 > MAXFRAME) break;
            add(p.number, p.letter);
        }
    } else if (!o.periphs.empty()) {
        add(o.periphs[0].number, o.periphs[0].letter);
    }
    recs.push_back(END);
    return build_frame(recs);
}

// One row per instrument letter: its model name and kind, for the default identification.
struct Kind {
    char letter;
    const char *model;
    const char *approval;
};
static const Kind KINDS[] = {
    {'G', "GAS ANALYSER GA-4", "ACC-G-2019-0412"},
    {'O', "OPACIMETER OP-2", "ACC-O-2018-0077"},
    {'P', "HEADLAMP TESTER HT-1", "ACC-P-2020-0115"},
    {'C', "MEASUREMENT HUB", "ACC-C-2017-0009"},
};

static const Kind *kind_of(char letter) {
    for (const Kind &k : KINDS)
        if (k.letter == letter) return &k;
    return nullptr;
}

std::vector<Record> default_ident(char letter, int number) {
    const Kind *k = kind_of(letter);
    char serial[32], key[16];
    snprintf(serial, sizeof serial, "SN%c%06d", letter, 100000 + number * 137);
    // A sealing key of ten hexadecimal digits, different for each instrument.
    snprintf(key, sizeof key, "%010X", 0x3A5C7E91u + static_cast<unsigned>(number) * 0x1F3Du +
                                            static_cast<unsigned>(letter));
    std::string model = k ? k->model : std::string("INSTRUMENT ") + letter;
    std::vector<Record> items{
        {"0300", pad("KELDRAN", 20)},            // brand
        {"0301", pad(model, 20)},                // model
        {"0302", pad(serial, 20)},               // serial number
        {"0303", pad("SOFT V2.14", 20)},         // software version
        {"0304", "01032025"},                    // last calibration
        {"0312", "15092026"},                    // next inspection of the instrument
        {"7003", pad(k ? k->approval : "ACC-X-2020-0001", 15)}, // approval number
        {"7007", letter == 'O' ? "OPA02" : "V0201"}, // protocol version
        {"7011", pad("V2.14-2025", 15)},         // software version of the approval
        {"7012", key},                           // sealing key
    };
    if (letter == 'O') items.push_back({"7529", pad("SMOKE-CELL-430", 15)}); // measuring cell
    return items;
}

std::vector<Peripheral> default_periphs(const std::string &letters, int first_number) {
    std::vector<Peripheral> out;
    int n = first_number;
    for (char c : letters) {
        if (c == ',' || c == ' ') continue;
        out.push_back({n, c, default_ident(c, n)});
        n++;
    }
    return out;
}

// Plausible measures of each instrument kind, closed by its end-of-test stamp.
struct Measure {
    char letter;
    const char *code;
    const char *value; // nullptr: the stamp of the end of the test
};
static const Measure MEASURES[] = {
    {'G', "0501", "012"},   {'G', "0502", "0145"},  {'G', "0503", "00.35"}, {'G', "0504", "14.20"},
    {'G', "0513", nullptr}, {'O', "0531", "045"},   {'O', "0532", "0850"},  {'O', "0533", "00.85"},
    {'O', "0534", "01.10"}, {'O', "0535", "00.92"}, {'O', "0536", "01.05"}, {'O', "0543", nullptr},
    {'P', "0490", "1"},     {'P', "0491", "0150"},  {'P', "0492", "1"},     {'P', "0493", "0148"},
    {'P', "0494", nullptr},
};

std::vector<Record> demo_result(const std::string &plate, const std::string &letters) {
    std::string stamp = stamp_now();
    // the plate, then the date and time of the test (which sealed result files name)
    std::vector<Record> out{{"0200", plate}, {"7009", stamp}};
    size_t stored = 5 + plate.size() + 5 + stamp.size();
    const size_t limit = 399 - 5; // the end marker is stored too until the box removes it
    for (char l : letters) {
        for (const Measure &m : MEASURES) {
            if (m.letter != l) continue;
            Record r{m.code, m.value ? m.value : stamp};
            if (stored + 5 + r.text.size() > limit) return out;
            stored += 5 + r.text.size();
            out.push_back(r);
        }
    }
    return out;
}

} // namespace equipsim
