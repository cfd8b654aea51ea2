// Fuzz target: the outbox as start-up finds it after a power cut: entries whole, torn,
// damaged, half written, stray, or any bytes at all under any name; then start-up and
// delivery passes with the share offline, without its result directories, or usable.
//
// Input: parts cut at lines "====":
//   0  settings, one character each: the station sub-directory ('1': ST01), the share
//      at delivery ('1': offline, '2': its result directories missing, else usable);
//   1… one outbox file each, its first line saying how it is made, the rest of the part
//      its bytes (without the part's last LF):
//      "W<rule><place><damage><order><offset>[ <name>]": the bytes stored by the outbox
//        itself for a file of that rule (R, I, O or E; other: R) and place (a digit: 0
//        RES, 1 ST01/RES, 2 ID, 3 the log directory, 4 the BNET import directory, 5 etc,
//        6 RES/.., 7 the outbox, 8 RES/sub, 9 RES through "//"; an OTCLAN copy in
//        log/RES, in etc from place 5 on), named <name> (else F<k>.G); with <order> '1'
//        its OTCLAN order file is there; then damaged: 't' <offset> + 1 bytes cut off
//        its end, 'f' the byte <offset> bytes before its last changed, 'a' the part's
//        first byte appended, 'h' left as a half-written ".tmp", else whole;
//      "C": the bytes as given, as the next entry, with the length and CRC-32 filled in
//        (at bytes 5 to 20) when they begin "OB2";
//      "N<name>": the bytes as given under that name ('/' becomes '_');
//      "M<torn>": a delivery marker for the block of the entry made last, naming it
//        with its check as a delivery that a stop cut short leaves it (its copy renamed
//        on the share already, or never copied there: the copy is not kept); with <torn>
//        '1' it lacks its last byte; the part's bytes are not used;
//      anything else: the bytes as given, as the next entry.
//
// Checks, from the outbox and the tree as they were before start-up, read independently
// of the product: a half-written entry is removed and never delivered; an entry that is
// not whole or names a place outside the result directories is never delivered and
// never deleted (it stays, or is set aside as "<n>.bad" with the same bytes, which it
// must be once the share is usable); a sound entry is never deleted undelivered; the
// entries of a block (sixteen numbers) go together: with the share usable all reach
// their places (by the OTCLAN rules for their order files) and leave the outbox, unless
// one of their results has a name that an older result took on the share (the PC takes
// no file here, so it waits, and so do younger ones of that name); each place holds the
// bytes of the entry that reached it last; an entry that a whole delivery marker names
// with its check was renamed on the share before a stop: it leaves the outbox without a
// copy; a marker goes once its block has gone; each OTCLAN local copy holds the newest
// sound entry's bytes for it (start-up makes it again), unless a file kept on the box
// took its place; no other file is made, changed or removed; the status file counts
// the entries left.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "boxtest.h"
#include "file_param.h"
#include "fuzzsupport.h"
#include "outbox.h"
#include <zlib.h>

#define MAX_FILES 24

static const std::string OUTBOX = "home/KELDRAN/DATA/outbox";
static const std::string LOG = "home/KELDRAN/DATA/log";
static const char *const places[] = {"mnt/GIEGLAN/RES/",
                                     "mnt/GIEGLAN/ST01/RES/",
                                     "mnt/GIEGLAN/ID/",
                                     "/home/KELDRAN/DATA/log/",
                                     "bnet/DataExchange/ImportResults/",
                                     "etc/",
                                     "mnt/GIEGLAN/RES/../",
                                     "home/KELDRAN/DATA/outbox/",
                                     "mnt/GIEGLAN/RES/sub/",
                                     "mnt//GIEGLAN/RES/"};
static const char *const dirs[] = {"mnt/GIEGLAN/RES",
                                   "mnt/GIEGLAN/ST01/RES",
                                   "mnt/GIEGLAN/ID",
                                   "mnt/GIEGLAN/ST01/ID",
                                   "mnt/GIEGLAN/CI",
                                   "mnt/GIEGLAN/RES/sub",
                                   "home/KELDRAN/DATA/log/RES",
                                   "bnet/DataExchange/ImportResults",
                                   "etc"};
// The files the box itself keeps up to date: not results.
static const std::set<std::string> box_files = {LOG + "/log.txt", LOG + "/outbox.txt",
                                                "home/KELDRAN/DATA/offline.state"};

static bool station;

// The number of an entry's name "<ten digits><ext>", -1 when it is not one.
static long long number_of(const std::string &name, const std::string &ext) {
    if (name.size() != 10 + ext.size() || name.compare(10, ext.size(), ext) != 0) return -1;
    for (int i = 0; i < 10; i++)
        if (name[i] < '0' || name[i] > '9') return -1;
    const long long n = std::stoll(name.substr(0, 10));
    return n <= 0xFFFFFFFFLL ? n : -1;
}

// 1 when path (normalised) is a file right inside one of the directories, its name one
// that leaves room for the endings the delivery adds.
static bool file_in(const std::string &path, const std::vector<std::string> &in, size_t room) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string name = path.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || name.size() + room > NAME_MAX) return false;
    for (const std::string &d : in)
        if (path.compare(0, slash, d) == 0 && d.size() == slash) return true;
    return false;
}

// The names of a normalised path's directory part, split at '/'.
static std::vector<std::string> dir_names(const std::string &path) {
    std::vector<std::string> out;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    for (size_t at = 0; at < dir.size();) {
        size_t end = dir.find('/', at);
        if (end == std::string::npos) end = dir.size();
        out.push_back(dir.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// 1 when path (normalised) is a file under the sandbox root in a directory whose names
// are, from the root, `lead` then names other than "." and "..", the last ones `tail`.
static bool file_under(const std::string &path, const std::vector<std::string> &lead,
                       const std::vector<std::string> &tail, size_t room) {
    if (!file_in(path, {path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'))},
                 room) ||
        path[0] == '?')
        return false;
    const std::vector<std::string> d = dir_names(path);
    if (d.size() < lead.size() + tail.size()) return false;
    for (size_t i = 0; i < d.size(); i++)
        if (d[i] == "." || d[i] == "..") return false;
    for (size_t i = 0; i < lead.size(); i++)
        if (d[i] != lead[i]) return false;
    for (size_t i = 0; i < tail.size(); i++)
        if (d[d.size() - tail.size() + i] != tail[i]) return false;
    return true;
}

// 1 when the places of a whole entry are places of results, whatever the settings: the
// share's RES (OTCLAN) or RES and ID directories, under its root or a station
// sub-directory, a BNET import directory anywhere under the root; the log directory for
// an identification copy; the local directory for an OTCLAN copy.
static bool places_ok(const fuzz::OutboxEntry &e) {
    const std::string dest = fuzz::norm(e.dest);
    const std::vector<std::string> share = {"mnt", "GIEGLAN"};
    const bool res = file_under(dest, share, {"RES"}, 4);
    if (e.rule == 'O' || e.rule == 'E')
        return res && file_in(fuzz::norm(e.local), {LOG + "/RES"}, strlen(OUTBOX_ORPHAN) + 4);
    return res || file_under(dest, share, {"ID"}, 4) ||
           file_under(dest, {}, {"DataExchange", "ImportResults"}, 4) ||
           (e.rule == 'I' && file_in(dest, {LOG}, 4));
}

// Every regular file under the root but the outbox's, path -> bytes.
static std::map<std::string, std::string> tree(void) {
    std::map<std::string, std::string> out;
    for (const std::string &f : fuzz::files_under(fuzz::root()))
        if (f.compare(0, OUTBOX.size() + 1, OUTBOX + "/") != 0)
            out[f] = fuzz::get(fuzz::root("/" + f));
    return out;
}

static std::string entry_name(unsigned long long seq, const char *ext) {
    char name[32];
    snprintf(name, sizeof name, "%010llu%s", seq, ext);
    return name;
}

static long long last_entry = -1; // the number of the entry made last

// An entry stored by the outbox itself, damaged as its descriptor says.
static void stored_entry(const std::string &desc, const std::string &bytes, size_t k) {
    last_entry = -1;
    const char rule = desc.size() > 1 && strchr("RIOE", desc[1]) ? desc[1] : 'R';
    const int place = desc.size() > 2 && desc[2] >= '0' && desc[2] <= '9' ? desc[2] - '0' : 0;
    const char damage = desc.size() > 3 ? desc[3] : '0';
    const bool order = desc.size() > 4 && desc[4] == '1';
    size_t at = 5, offset = 0;
    while (at < desc.size() && isdigit((unsigned char)desc[at]) && offset < 100000)
        offset = offset * 10 + (size_t)(desc[at++] - '0');
    std::string name = "F" + std::to_string(k) + ".G";
    if (at < desc.size() && desc[at] == ' ') name = desc.substr(at + 1);
    const std::string dest = fuzz::root("/") + places[place] + name;
    std::string ord, local;
    if (rule == 'O' || rule == 'E') {
        ord = fuzz::root("/mnt/GIEGLAN/CI/") + name + ".CI";
        local = fuzz::root(place < 5 ? "/" + LOG + "/RES/" : "/etc/") + name;
        if (order) fuzz::put(ord, "");
    }
    FILE *f = outbox_begin(dest.c_str(), ord.c_str(), local.c_str());
    if (!f) {
        outbox_commit(); // refused: no entry
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), f);
    outbox_end(f, rule);
    const unsigned seq = outbox_seq - OUTBOX_BLOCK; // the first of the block just taken
    outbox_commit();
    last_entry = damage == 'h' ? -1 : seq;
    const std::string path = fuzz::root("/" + OUTBOX + "/") + entry_name(seq, ".out");
    std::string b = fuzz::get(path);
    if (damage == 't') b.resize(b.size() - std::min(b.size(), offset + 1));
    if (damage == 'f' && offset < b.size()) {
        char &c = b[b.size() - 1 - offset];
        c = (char)(c ^ (bytes.empty() ? 1 : bytes[0] | 1));
    }
    if (damage == 'a') b += bytes.empty() ? '\n' : bytes[0];
    fuzz::put(path, b);
    if (damage == 'h')
        rename(path.c_str(), (fuzz::root("/" + OUTBOX + "/") + entry_name(seq, ".tmp")).c_str());
}

// A delivery marker for the block of the entry made last, naming it (see the head).
static void marker_for_last(bool torn) {
    if (last_entry < 0) return;
    const std::string entry = fuzz::get(fuzz::root("/" + OUTBOX + "/") +
                                        entry_name((unsigned long long)last_entry, ".out"));
    if (entry.size() < 21) return;
    std::string b =
        "LV1\n" + entry_name((unsigned long long)last_entry, "") + " " + entry.substr(5, 16) + "\n";
    char tail[14];
    snprintf(
        tail, sizeof tail, "FIN %08lX\n",
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(b.data()), (uInt)b.size()));
    b += tail;
    if (torn) b.pop_back();
    fuzz::put(
        fuzz::root("/" + OUTBOX + "/") +
            entry_name((unsigned long long)(last_entry / OUTBOX_BLOCK * OUTBOX_BLOCK), ".liv"),
        b);
}

// Bytes as given, as the next entry; with their check filled in when asked.
static void raw_entry(std::string bytes, bool check) {
    if (check && bytes.size() >= 22 && bytes.compare(0, 3, "OB2") == 0) {
        const size_t head = std::min(
            bytes.size(), bytes.find('\0', bytes.find('\0', bytes.find('\0', 22) + 1) + 1) + 1);
        uLong sum = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(&bytes[3]), 1);
        sum = crc32(sum, reinterpret_cast<const Bytef *>(bytes.data()) + 22,
                    (uInt)(bytes.size() - 22));
        char field[17];
        snprintf(field, sizeof field, "%08lX%08lX", (unsigned long)(bytes.size() - head),
                 (unsigned long)sum);
        bytes.replace(5, 16, field);
    }
    last_entry = outbox_seq;
    fuzz::put(fuzz::root("/" + OUTBOX + "/") + entry_name(outbox_seq++, ".out"), bytes);
}

// A delivery marker as read independently: "LV1\n", lines "<ten digits> <sixteen hex>\n",
// "FIN <CRC-32 of all before, eight upper-case hex>\n". The lines, empty when not whole.
static std::set<std::string> marker_lines(const std::string &b) {
    std::set<std::string> lines;
    if (b.size() < 17 || b.size() > 17 + 16 * 28 || b.compare(0, 4, "LV1\n") != 0 ||
        (b.size() - 17) % 28 != 0)
        return {};
    const size_t fin = b.size() - 13;
    char tail[14];
    snprintf(tail, sizeof tail, "FIN %08lX\n",
             crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(b.data()), (uInt)fin));
    if (b.compare(fin, 13, tail) != 0) return {};
    for (size_t at = 4; at < fin; at += 28)
        lines.insert(b.substr(at, 28));
    return lines;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size) {
    size_t found;
    const auto p = fuzz::parts(in, size, MAX_FILES + 1, &found);
    const std::string set = p[0].substr(0, p[0].find('\n'));
    station = set.size() > 0 && set[0] == '1';
    const char share = set.size() > 1 && (set[1] == '1' || set[1] == '2') ? set[1] : '0';

    // the box before the power cut: its outbox laid out with the share offline
    fuzz::empty_dir(fuzz::root());
    for (const char *d : dirs)
        fuzz::mkdirs(fuzz::root("/") + d);
    fuzz::mkdirs(fuzz::root("/" + OUTBOX));
    fuzz::put(fuzz::root("/home/KELDRAN/DATA/offline.state"), "");
    boxtest::reset_state();
    fuzz::restart_clock();
    outbox_init();
    last_entry = -1;
    for (size_t k = 1; k < found; k++) {
        const size_t lf = p[k].find('\n');
        const std::string desc = p[k].substr(0, lf);
        const std::string bytes =
            fuzz::bytes_of(lf == std::string::npos ? "" : p[k].substr(lf + 1));
        if (!desc.empty() && desc[0] == 'W') {
            stored_entry(desc, bytes, k);
        } else if (!desc.empty() && desc[0] == 'M') {
            marker_for_last(desc.size() > 1 && desc[1] == '1');
        } else if (!desc.empty() && desc[0] == 'N' && desc.size() > 1) {
            std::string name = desc.substr(1);
            for (char &c : name)
                if (c == '/' || c == '\0') c = '_';
            if (name != "." && name != ".." && name.size() <= NAME_MAX)
                fuzz::put(fuzz::root("/" + OUTBOX + "/") + name, bytes);
        } else {
            raw_entry(bytes, desc == "C");
        }
    }
    unlink(fuzz::root("/home/KELDRAN/DATA/offline.state").c_str());
    unlink(fuzz::root("/" + LOG + "/log.txt").c_str());
    const auto before = fuzz::dir_files(fuzz::root("/" + OUTBOX));
    const auto files = tree();

    // start-up, then delivery passes
    boxtest::reset_state();
    fuzz::restart_clock();
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "%s", station ? "ST01" : "");
    lenght_path = (int)strlen(save_path_gieglan);
    snprintf(save_path, sizeof save_path, "%s", fuzz::root("/bnet").c_str());
    if (share == '1') fuzz::put(fuzz::root("/home/KELDRAN/DATA/offline.state"), "");
    if (share == '2')
        for (const char *d : {"mnt/GIEGLAN/RES/sub", "mnt/GIEGLAN/RES", "mnt/GIEGLAN/ST01/RES",
                              "mnt/GIEGLAN/ID", "bnet/DataExchange/ImportResults"})
            rmdir((fuzz::root("/") + d).c_str());
    outbox_init();
    for (size_t pass = 0; pass < before.size() + 2; pass++)
        outbox_deliver();

    // what each file of the outbox must have become
    const auto after_box = fuzz::dir_files(fuzz::root("/" + OUTBOX));
    const std::map<std::string, std::string> was(before.begin(), before.end());
    const std::map<std::string, std::string> left(after_box.begin(), after_box.end());
    std::set<std::string> accounted; // files of the outbox after, each one explained
    std::map<std::string, std::string> placed;
    std::set<std::string> removed; // local OTCLAN copies a kept file replaces
    auto holds = [&](const std::string &name, const std::string &bytes) {
        auto it = left.find(name);
        return it != left.end() && it->second == bytes && accounted.insert(name).second;
    };
    // the sound entries, by block
    struct Sound {
        std::string name, bytes;
        fuzz::OutboxEntry e;
        bool marked;
    };
    std::map<long long, std::vector<Sound>> blocks;
    for (const auto &f : before) {
        const std::string &name = f.first, &bytes = f.second;
        if (number_of(name, ".tmp") >= 0) {
            FUZZ_CHECK(!left.count(name), name + ": a half-written entry is removed");
            continue;
        }
        if (number_of(name, ".liv") >= 0) continue; // a marker: see below
        const long long seq = number_of(name, ".out");
        if (seq < 0) {
            FUZZ_CHECK(holds(name, bytes), name + ": a file that is no entry is left alone");
            continue;
        }
        const std::string bad = entry_name((unsigned long long)seq, ".bad");
        const bool bad_taken = was.count(bad) != 0; // never replaced
        const fuzz::OutboxEntry e = fuzz::parse_entry(name, bytes, SIZE_OUTBOX_PATH);
        if (!e.whole || !places_ok(e)) {
            const bool stays = left.count(name) != 0;
            FUZZ_CHECK(stays ? holds(name, bytes) : !bad_taken && holds(bad, bytes),
                       name + ": an entry that cannot be delivered keeps its bytes");
            FUZZ_CHECK(!stays || bad_taken || (e.whole && share != '0'),
                       name + ": set aside at start-up when torn, at its turn when stray");
            continue;
        }
        const long long block = seq / OUTBOX_BLOCK;
        auto m = was.find(entry_name((unsigned long long)block * OUTBOX_BLOCK, ".liv"));
        const bool marked =
            m != was.end() &&
            marker_lines(m->second).count(name.substr(0, 10) + " " + bytes.substr(5, 16) + "\n");
        blocks[block].push_back(Sound{name, bytes, e, marked});
    }
    // start-up: each OTCLAN local copy holds the newest sound entry's bytes
    for (const auto &b : blocks)
        for (const Sound &m : b.second)
            if (m.e.rule == 'O' || m.e.rule == 'E') placed[fuzz::norm(m.e.local)] = m.e.payload;
    // then a delivery pass over the blocks, oldest first, as the later passes repeat it
    auto there = [&](const std::string &p) -> const std::string * {
        auto it = placed.find(p);
        if (it != placed.end()) return &it->second;
        auto was_there = files.find(p);
        return was_there != files.end() && !removed.count(p) ? &was_there->second : nullptr;
    };
    auto dir_of = [](const std::string &p) { return p.substr(0, p.rfind('/')); };
    auto reached = [&](const std::string &place) {
        return share != '1' && fuzz::exists(fuzz::root("/") + dir_of(place));
    };
    std::set<std::string> failing, ahead;
    for (const auto &b : blocks) {
        const std::vector<Sound> &ms = b.second;
        auto hold_all = [&](const std::string &why) {
            for (const Sound &m : ms)
                FUZZ_CHECK(holds(m.name, m.bytes), m.name + ": waits whole: " + why);
        };
        if (share == '1') {
            hold_all("the share is away");
            continue;
        }
        bool held = false, any_marked = false;
        for (const Sound &m : ms) {
            held |= failing.count(dir_of(fuzz::norm(m.e.dest))) != 0 ||
                    (!m.e.local.empty() && failing.count(dir_of(fuzz::norm(m.e.local))) != 0);
            any_marked |= m.marked;
        }
        if (held) {
            hold_all("a directory of its block refused a file before it");
            continue;
        }
        const std::string marker = entry_name((unsigned long long)b.first * OUTBOX_BLOCK, ".liv");
        if (any_marked) {
            // renamed before the stop: the marked ones leave, the copy is not made again;
            // the others wait for a later pass
            bool all = true;
            for (const Sound &m : ms)
                if (m.marked && all && !reached(fuzz::norm(m.e.dest))) {
                    failing.insert(dir_of(fuzz::norm(m.e.dest)));
                    all = false;
                }
            for (const Sound &m : ms) {
                if (m.marked && all) {
                    FUZZ_CHECK(!left.count(m.name),
                               m.name + ": renamed before the stop, it leaves");
                } else if (m.marked) {
                    FUZZ_CHECK(holds(m.name, m.bytes), m.name + ": marked, waits for its place");
                } else {
                    accounted.insert(m.name); // goes at a later pass, or waits
                }
            }
            if (!all)
                FUZZ_CHECK(holds(marker, was.at(marker)), marker + ": stays while its block waits");
            continue;
        }
        // the fates: the share, or kept on the box (".err", orphan)
        struct Fate {
            const Sound *m;
            std::string place;
            bool kept, result;
        };
        std::vector<Fate> fates;
        bool taken = false, behind = false;
        for (const Sound &m : ms) {
            const std::string local = fuzz::norm(m.e.local);
            const std::string err = local + ".err", orphan = local + OUTBOX_ORPHAN;
            auto holds_payload = [&](const std::string &p) {
                const std::string *b = there(p);
                return b && *b == m.e.payload;
            };
            std::string place = fuzz::norm(m.e.dest);
            bool kept = false;
            if (m.e.rule == 'E' && holds_payload(err)) {
                kept = true, place = err;
            } else if ((m.e.rule == 'O' || m.e.rule == 'E') && holds_payload(orphan)) {
                kept = true, place = orphan;
            } else if (m.e.rule == 'O' || m.e.rule == 'E') {
                const bool order = access(m.e.order.c_str(), F_OK) == 0;
                kept = m.e.rule == 'E' || !order;
                if (kept) place = order ? err : orphan;
            }
            const bool result = !kept && m.e.rule != 'I';
            if (result) {
                taken |= there(place) != nullptr;
                behind |= ahead.count(place) != 0;
            }
            fates.push_back(Fate{&m, place, kept, result});
        }
        for (const Fate &f : fates)
            if (f.result) ahead.insert(f.place);
        if (taken || behind) {
            hold_all("the name of a result of its block is taken on the share");
            continue;
        }
        std::string refused;
        for (const Fate &f : fates)
            if (!f.kept && refused.empty() && !reached(f.place)) refused = dir_of(f.place);
        if (!refused.empty()) {
            failing.insert(refused);
            hold_all("a place of its block is away");
            continue;
        }
        for (const Fate &f : fates) {
            const std::string bad =
                entry_name((unsigned long long)number_of(f.m->name, ".out"), ".bad");
            FUZZ_CHECK(!left.count(f.m->name) && !(left.count(bad) && !was.count(bad)),
                       f.m->name + ": leaves the outbox once delivered");
            placed[f.place] = f.m->e.payload;
            if (f.kept) {
                const std::string local = fuzz::norm(f.m->e.local);
                placed.erase(local);
                removed.insert(local);
            }
        }
    }
    // a marker goes with the last entry of its block, or at start-up when none is left
    for (const auto &f : left)
        if (number_of(f.first, ".liv") >= 0) {
            const long long block = number_of(f.first, ".liv") / OUTBOX_BLOCK;
            bool waiting = false;
            for (const auto &g : left)
                waiting |= number_of(g.first, ".out") >= 0 &&
                           number_of(g.first, ".out") / OUTBOX_BLOCK == block;
            FUZZ_CHECK(waiting, f.first + ": a marker without a waiting entry of its block goes");
            accounted.insert(f.first);
        }
    for (const auto &f : left)
        FUZZ_CHECK(accounted.count(f.first),
                   f.first + ": a file of the outbox explained by none before");

    // the tree: results at their places, everything else as it was
    const auto after = tree();
    for (const auto &f : after) {
        if (box_files.count(f.first)) continue;
        auto it = placed.find(f.first);
        if (it != placed.end()) {
            FUZZ_CHECK(f.second == it->second,
                       f.first + ": holds exactly the newest sound entry for it");
            continue;
        }
        auto was = files.find(f.first);
        FUZZ_CHECK(was != files.end() && was->second == f.second,
                   f.first + ": made or changed by no sound entry");
    }
    for (const auto &f : placed)
        FUZZ_CHECK(after.count(f.first), f.first + ": delivered");
    for (const auto &f : files)
        FUZZ_CHECK(after.count(f.first) || removed.count(f.first),
                   f.first + ": removed by no sound entry");

    size_t waiting = 0;
    for (const auto &f : after_box)
        waiting += number_of(f.first, ".out") >= 0;
    const std::string status = fuzz::get(fuzz::root("/" + LOG + "/outbox.txt"));
    FUZZ_CHECK(status.compare(0, 11 + std::to_string(waiting).size() + 1,
                              "en_attente=" + std::to_string(waiting) + "\n") == 0,
               "the status file counts " + std::to_string(waiting) + " entries: " + status);
    return 0;
}
