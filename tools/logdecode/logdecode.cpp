// logdecode: reads the concentrator's link log (log.txt) and prints each frame
// readably: time, direction, the raw bytes with control bytes named (<STX>, <ETB>...),
// the records split by code, and whether the checksum holds. Delivery lines ("INFO:")
// are printed as they are.
//
// With --vehicles it tells instead the road of each vehicle found in the log, one line
// each: its key and plate, when it was sent to the equipment ("0120") and acknowledged,
// when its result frames came ("0122"), and when its file was delivered to the PC or why
// not (the "INFO:" lines); then the counts. --csv gives the same as a table.
//
//   logdecode [--follow] [LOGFILE]             (standard input when no file is given)
//   logdecode --vehicles [--csv] [LOGFILE]
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "equipsim.h"
#include "linklog.h"

using equipsim::LogEntry;
using equipsim::LogKind;
using equipsim::Record;
using equipsim::readable;

namespace {

const char STX = 0x02, ETX = 0x03, EOT = 0x04;

// "ok", "BAD (computed XX)" or "incomplete"
std::string checksum_state(const std::string &f) {
    size_t etx = f.find(ETX);
    if (f.empty() || f[0] != STX || etx == std::string::npos || etx + 3 >= f.size() + 0 ||
        f.size() < 9)
        return "incomplete frame";
    unsigned x = 0;
    for (size_t i = 0; i <= etx; i++)
        x ^= (unsigned char)f[i];
    char want[3];
    snprintf(want, sizeof want, "%02X", x & 0xFF);
    if (f.size() < etx + 4 || f[etx + 3] != EOT) return "incomplete frame";
    if (f.compare(etx + 1, 2, want) == 0) return "checksum ok";
    return std::string("CHECKSUM BAD (should be ") + want + ")";
}

std::vector<Record> records(const std::string &f) { return equipsim::Frame{f, true, 0, false}.records(); }

const struct {
    LogKind kind;
    const char *label;
} kinds[] = {
    {LogKind::Send, "box -> equipment   SEND"},
    {LogKind::Receive, "equipment -> box   RECEIVE"},
    {LogKind::BadReceive, "equipment -> box   BAD RECEIVE"},
    {LogKind::Purge, "equipment -> box   PURGE (unasked bytes dropped before a send)"},
};

void decode(const LogEntry &e) {
    if (e.kind == LogKind::Info) {
        printf("INFO: %s:  %s\n\n", e.stamp.c_str(), e.text.c_str());
        return;
    }
    for (const auto &k : kinds) {
        if (k.kind != e.kind) continue;
        const bool is_frame = e.kind != LogKind::Purge;
        printf("[%s] %s", e.stamp.c_str(), k.label);
        if (is_frame) printf("   %s", checksum_state(e.text).c_str());
        printf("\n    %s\n", readable(e.text).c_str());
        if (is_frame)
            for (const Record &r : records(e.text))
                printf("    %-4s \"%s\"\n", r.code.c_str(), readable(r.text).c_str());
        printf("\n");
        return;
    }
    if (!e.text.empty()) printf("%s\n", readable(e.text).c_str());
}

// ---- the road of each vehicle ----

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

struct Stamp {
    std::string text; // "dd/mm/yy - hh:mm:ss", "" when it did not happen
    long long t = 0;
    bool set() const { return !text.empty(); }
    std::string shown() const { return text.substr(0, 8) + " " + text.substr(11); }
};

struct File {
    std::string name;
    Stamp delivered;
    std::string why_not; // the last failure, when not delivered
};

struct Road {
    std::string key, plate; // the key as on the link (10 characters; "" for a single instrument)
    Stamp sent, acked, result_first, result_last, withdrawn;
    int sendings = 0;       // whole "0120" messages sent
    int result_frames = 0;
    bool taken = false;     // the result's last frame ("0905") came
    std::vector<File> files;
    bool delivered() const {
        if (files.empty()) return false;
        for (const File &f : files)
            if (!f.delivered.set()) return false;
        return true;
    }
};

// What the delivery lines say of a result file, by their text.
const struct {
    const char *what;
    bool delivered;
    const char *why_not; // nullptr: the line is about neither a delivery nor a failure
} INFOS[] = {
    {"Ecriture du fichier", true, nullptr},
    {"ERREUR ecriture du fichier", false, "the copy to the share failed"},
    {"ERREUR stockage du fichier", false, "the box could not store it"},
    {"ERREUR fichier inexistant", false, "its order had gone: kept on the box (.orphelin)"},
    {"ERREUR sur fichier", false, "the file had an error: kept on the box (.err)"},
    {"Nouvel essai du fichier", false, nullptr},
    {"Nouvel essai de stockage du fichier", false, nullptr},
};

bool ends_with(const std::string &s, const char *tail) {
    const size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool has_end(const std::vector<Record> &r) {
    for (const Record &x : r)
        if (x.code == "0905") return true;
    return false;
}

struct Roads {
    std::vector<Road> all;
    static constexpr size_t NONE = ~size_t(0);
    size_t acking = NONE; // the road whose whole message was the box's last frame

    Road *last_open(const std::string &key, bool for_result) {
        for (size_t i = all.size(); i-- > 0;) {
            Road &r = all[i];
            if (r.key == key && !r.taken && (for_result || !r.withdrawn.set())) return &r;
        }
        return nullptr;
    }
    Road *road(const std::string &key, bool for_result) {
        if (Road *r = last_open(key, for_result)) return r;
        all.emplace_back();
        all.back().key = key;
        return &all.back();
    }

    void sent(const LogEntry &e) {
        const std::vector<Record> r = records(e.text);
        acking = NONE;
        if (r.empty()) return;
        const std::string key = r[0].text.substr(0, 10);
        if (r[0].code == "0150") {
            if (Road *w = last_open(key, false)) w->withdrawn = {e.stamp, e.t};
            return;
        }
        if (r[0].code != "0120") return;
        Road *v = road(key, false);
        if (!v->sent.set()) v->sent = {e.stamp, e.t};
        for (const Record &x : r)
            if ((x.code == "0200" || x.code == "7200") && v->plate.empty()) v->plate = trimmed(x.text);
        if (has_end(r)) {
            v->sendings++;
            acking = static_cast<size_t>(v - all.data());
        }
    }

    void received(const LogEntry &e) {
        const size_t was = acking;
        acking = NONE;
        if (!equipsim::checksum_holds(e.text)) return; // refused by the box
        const std::vector<Record> r = records(e.text);
        if (r.empty()) return;
        if (r[0].code == "0900") {
            if (was != NONE && !all[was].acked.set()) all[was].acked = {e.stamp, e.t};
            return;
        }
        if (r[0].code != "0122" && r[0].code != "0111") return;
        Road *v = road(r[0].code == "0122" ? r[0].text.substr(0, 10) : "", true);
        if (!v->result_first.set()) v->result_first = {e.stamp, e.t};
        v->result_last = {e.stamp, e.t};
        v->result_frames++;
        for (const Record &x : r)
            if (x.code == "0200" && v->plate.empty()) v->plate = trimmed(x.text);
        if (has_end(r)) v->taken = true;
    }

    // A delivery line: to the oldest result waiting whose key or plate names the file.
    void info(const LogEntry &e) {
        for (const auto &k : INFOS) {
            const size_t n = strlen(k.what);
            if (e.text.compare(0, n, k.what) != 0 || e.text.size() <= n || e.text[n] != ' ') continue;
            if (!k.delivered && !k.why_not) return;
            const std::string path = e.text.substr(n + 1);
            const size_t slash = path.find_last_of('/');
            const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
            if (ends_with(dir, "/ID") || ends_with(dir, "/log")) return; // an identification file
            const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
            const std::string stem = name.substr(0, name.find('.'));
            Road *v = nullptr;
            for (Road &r : all) {
                if (!r.taken || r.delivered()) continue;
                const std::string key = trimmed(r.key);
                if ((!key.empty() && key == stem) || (!r.plate.empty() && r.plate == stem)) {
                    v = &r;
                    break;
                }
                if (!v && key.empty()) v = &r; // a single instrument's result has no key
            }
            if (!v) return;
            File *f = nullptr;
            for (File &x : v->files)
                if (x.name == name) f = &x;
            if (!f) {
                v->files.push_back({name, {}, ""});
                f = &v->files.back();
            }
            if (k.delivered) {
                f->delivered = {e.stamp, e.t};
                f->why_not.clear();
            } else {
                f->why_not = std::string(k.why_not) + " (" + Stamp{e.stamp, e.t}.shown() + ")";
            }
            return;
        }
    }
};

std::string seconds_between(const Stamp &a, const Stamp &b) {
    if (!a.set() || !b.set()) return "";
    return std::to_string(b.t - a.t);
}

// "dd/mm/yy - hh:mm:ss" as "20yy-mm-dd hh:mm:ss", which a spreadsheet takes for a date.
std::string iso(const Stamp &s) {
    if (!s.set()) return "";
    const std::string &t = s.text;
    return "20" + t.substr(6, 2) + "-" + t.substr(3, 2) + "-" + t.substr(0, 2) + " " + t.substr(11);
}

std::string csv_field(const std::string &v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string state_of(const Road &r) {
    if (r.delivered()) return "delivered";
    if (r.taken) return "waiting";
    if (r.withdrawn.set()) return "withdrawn";
    return "no result";
}

std::string why_not(const Road &r) {
    for (const File &f : r.files)
        if (!f.delivered.set()) return f.name + ": " + f.why_not;
    if (r.taken && r.files.empty()) return "no delivery line yet";
    return "";
}

void print_roads(const Roads &roads, bool csv) {
    int sent = 0, taken = 0, delivered = 0, waiting = 0, withdrawn = 0;
    if (csv)
        printf("key,plate,sent,sendings,acknowledged,result first frame,result last frame,"
               "result frames,state,delivered,files,why not,seconds to acknowledge,"
               "seconds to result,seconds to delivery\n");
    for (const Road &r : roads.all) {
        sent += r.sendings > 0;
        taken += r.taken;
        delivered += r.delivered();
        waiting += r.taken && !r.delivered();
        withdrawn += !r.taken && r.withdrawn.set();
        Stamp last_delivery;
        std::string files;
        for (const File &f : r.files) {
            files += (files.empty() ? "" : " ") + f.name;
            if (f.delivered.set() && f.delivered.t >= last_delivery.t) last_delivery = f.delivered;
        }
        if (!r.delivered()) last_delivery = Stamp();
        const Stamp &before_result = r.acked.set() ? r.acked : r.sent;
        const std::string key = r.key.empty() ? "(single)" : trimmed(r.key);
        if (csv) {
            const std::string cols[] = {key,
                                        r.plate,
                                        iso(r.sent),
                                        std::to_string(r.sendings),
                                        iso(r.acked),
                                        iso(r.result_first),
                                        iso(r.result_last),
                                        std::to_string(r.result_frames),
                                        state_of(r),
                                        iso(last_delivery),
                                        files,
                                        why_not(r),
                                        seconds_between(r.sent, r.acked),
                                        seconds_between(before_result, r.result_first),
                                        seconds_between(r.result_last, last_delivery)};
            std::string line;
            for (const std::string &c : cols) line += (line.empty() ? "" : ",") + csv_field(c);
            printf("%s\n", line.c_str());
            continue;
        }
        std::string out;
        char b[160];
        snprintf(b, sizeof b, "%-10s %-12s", readable(key).c_str(), readable(r.plate).c_str());
        out = b;
        if (r.sent.set()) {
            out += "  sent " + r.sent.shown();
            if (r.sendings > 1) out += " (" + std::to_string(r.sendings) + " times)";
            out += r.acked.set() ? "  acknowledged +" + seconds_between(r.sent, r.acked) + " s"
                                 : "  not acknowledged";
        }
        if (r.result_first.set()) {
            out += "  result " + r.result_first.shown();
            if (before_result.set()) out += " +" + seconds_between(before_result, r.result_first) + " s";
            out += " (" + std::to_string(r.result_frames) + " frame" + (r.result_frames > 1 ? "s" : "") + ")";
        }
        if (r.delivered())
            out += "  delivered " + last_delivery.shown() + " +" +
                   seconds_between(r.result_last, last_delivery) + " s: " + files;
        else if (r.taken)
            out += "  waiting: " + why_not(r);
        else if (r.withdrawn.set())
            out += "  withdrawn " + r.withdrawn.shown();
        else
            out += "  no result";
        printf("%s\n", out.c_str());
    }
    if (csv) {
        printf("\nsent,results taken,delivered,waiting,withdrawn\n%d,%d,%d,%d,%d\n", sent, taken,
               delivered, waiting, withdrawn);
        return;
    }
    printf("vehicles: %d sent, %d results taken, %d delivered, %d waiting", sent, taken, delivered,
           waiting);
    if (withdrawn) printf(", %d withdrawn without a result", withdrawn);
    printf("\n");
}

const char USAGE[] =
    "usage: logdecode [--follow] [LOGFILE]\n"
    "       logdecode --vehicles [--csv] [LOGFILE]\n"
    "Prints each frame of the concentrator's link log readably: time, direction,\n"
    "control bytes as <STX> <ETB> <ETX> <EOT>, the records split by code and\n"
    "whether the checksum holds. Reads standard input when no file is given;\n"
    "--follow keeps reading as the log grows.\n"
    "--vehicles prints one line per vehicle instead: its key and plate, when it was\n"
    "sent to the equipment and acknowledged, when its result came (and how many\n"
    "seconds each step took), when its file was delivered to the PC or why not; then\n"
    "the counts: sent, results taken, delivered, waiting. --csv prints the same as a\n"
    "table for a spreadsheet (comma-separated, a header line, the counts at the end).\n";

} // namespace

int main(int argc, char **argv) {
    bool follow = false, vehicles = false, csv = false;
    const char *path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--follow") || !strcmp(argv[i], "-f"))
            follow = true;
        else if (!strcmp(argv[i], "--vehicles"))
            vehicles = true;
        else if (!strcmp(argv[i], "--csv"))
            csv = true;
        else if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(USAGE, stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1]) {
            fprintf(stderr, "logdecode: unknown option %s\n%s", argv[i], USAGE);
            return 2;
        } else
            path = argv[i];
    }
    if (csv) vehicles = true;
    if (vehicles && follow) {
        fprintf(stderr, "logdecode: --vehicles reads the whole log, not with --follow\n");
        return 2;
    }
    FILE *f = path ? fopen(path, "rb") : stdin;
    if (!f) {
        perror(path);
        return 1;
    }
    equipsim::LogReader reader;
    std::vector<LogEntry> entries;
    Roads roads;
    auto take = [&]() {
        for (const LogEntry &e : entries) {
            if (!vehicles) decode(e);
            else if (e.kind == LogKind::Send) roads.sent(e);
            else if (e.kind == LogKind::Receive) roads.received(e);
            else if (e.kind == LogKind::Info) roads.info(e);
        }
        entries.clear();
    };
    char buf[4096];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, f);
        if (n > 0) {
            reader.feed(buf, n, entries);
            take();
            continue;
        }
        if (!follow) break;
        clearerr(f);
        fflush(stdout);
        usleep(200000);
    }
    reader.finish(entries);
    take();
    if (vehicles) print_roads(roads, csv);
    return 0;
}
