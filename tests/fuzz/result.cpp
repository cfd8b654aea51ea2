// Fuzz target: a raw result buffer, as the reception leaves it in data, cut into the
// measure table and written by the result writer of one station protocol (GIEGLAN,
// OTCLAN or BNET, chosen at build time by FUZZ_PROTOCOL), with the peripheral list and
// the identification frames that the writer takes its instruments from, then followed
// through the outbox to the share. The share and the box's directories lie in the fuzz
// root.
//
// Input: parts cut at lines "====":
//   0  settings, one character each: the maker (K KELDRAN, S SPX, T TECNO, M MAHA,
//      A AVL, F FOG), the station sub-directory ('1': ST01), the share while the result
//      is written ('1': offline, '2': its result directories missing, else usable), the
//      PC's order ('1': an order for the result's plate, '2': an order for another
//      plate, else none); the rest of the line is the key received with the result;
//   1  the raw result: ETB, code and text records (without the part's last LF);
//   2  the peripheral list frame "0101";
//   3… the identification of list positions 1, 2, ...: the frames the instrument sent,
//      one after the other.
//
// The result is first written with the share unusable: nothing may reach the share,
// every file waits whole in the outbox for a place in the result directories, and each
// file stored holds: a GIEGLAN file is lines ended CR LF, a measure section and a
// checksum section of the same codes whose checksums are those of the values; a BNET
// file is sections and known keys; an OTCLAN file to be delivered carries no error and
// its fingerprint is the SHA-1 of its text up to the fingerprint. Then the share comes
// back: once delivered, each place holds exactly the bytes stored for it (for OTCLAN,
// by the order rules: delivered, ".err" or ".orphelin" copy), nothing else is on the
// share, and the outbox is empty. With the share usable from the start, the same input
// written again delivers the same files at once.
#include <openssl/sha.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "boxtest.h"
#include "cryOTC.h"
#include "dat.h"
#include "fcfgl.h"
#include "fcfotclan.h"
#include "file_param.h"
#include "fsm.h"
#include "fuzzsupport.h"
#include "nod.h"
#include "outbox.h"

static const struct {
    char letter;
    const char *client;
} makers[] = {{'K', "KELDRAN"}, {'S', "SPX"}, {'T', "TECNO"},
              {'M', "MAHA"},    {'A', "AVL"}, {'F', "FOG"}};

// The share's result directories, then the box's local result directory.
static const char *const result_dirs[] = {"mnt/GIEGLAN/RES/", "mnt/GIEGLAN/ST01/RES/",
                                          "bnet/DataExchange/ImportResults/",
                                          "home/KELDRAN/DATA/log/RES/"};
static const char *const other_files[] = {
    "mnt/GIEGLAN/CI/K0001.CI", "mnt/GIEGLAN/ST01/CI/K0001.CI", "home/KELDRAN/DATA/log/log.txt",
    "home/KELDRAN/DATA/log/outbox.txt", "home/KELDRAN/DATA/offline.state"};
static const std::string outbox_dir = "home/KELDRAN/DATA/outbox";
static const bool otclan = strcmp(FUZZ_PROTOCOL, "OTCLAN") == 0;

static std::string share_dir(void) {
    return fuzz::root(lenght_path > 2 ? "/mnt/GIEGLAN/ST01" : "/mnt/GIEGLAN");
}

static void settings(const std::string &line) {
    const char m = line.size() > 0 ? line[0] : 'K';
    const char *client = "KELDRAN";
    for (const auto &mk : makers)
        if (mk.letter == m) client = mk.client;
    snprintf(save_protocol, sizeof save_protocol, "%s", FUZZ_PROTOCOL);
    snprintf(save_client2, sizeof save_client2, "%s", client);
    snprintf(save_client, sizeof save_client, "%s", strcmp(client, "TECNO") == 0 ? "SPX" : client);
    demandeParCle = strncmp(save_client, "SPX", 3) == 0;
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "%s",
             line.size() > 1 && line[1] == '1' ? "ST01" : "");
    lenght_path = (int)strlen(save_path_gieglan);
    snprintf(save_path, sizeof save_path, "%s", fuzz::root("/bnet").c_str());
}

// The text of the first plate record (0200 or 7200) of a raw result.
static std::string plate_of(const std::string &raw) {
    for (const char *code : {"0200", "7200"}) {
        size_t at = raw.find(std::string(1, ETB) + code);
        if (at == std::string::npos) continue;
        std::string v = raw.substr(at + 5);
        return v.substr(0, v.find_first_of(std::string{ETB, ETX}));
    }
    return "";
}

// The result directories there and empty; the box's files as at start-up.
static void reset_files(void) {
    for (const char *d : result_dirs) {
        const std::string dir = fuzz::root("/") + d;
        fuzz::empty_dir(dir);
        fuzz::mkdirs(dir);
    }
    fuzz::empty_dir(fuzz::root("/" + outbox_dir));
    for (const char *f : other_files)
        unlink((fuzz::root("/") + f).c_str());
}

static std::vector<std::string> crlf_lines(const std::string &file, const std::string &name) {
    FUZZ_CHECK(file.size() >= 2 && file.compare(file.size() - 2, 2, "\r\n") == 0,
               name + ": the last line ends CR LF");
    std::vector<std::string> lines;
    for (size_t at = 0; at < file.size();) {
        size_t end = file.find("\r\n", at);
        std::string l = file.substr(at, end - at);
        FUZZ_CHECK(l.find_first_of("\r\n") == std::string::npos,
                   name + ": a line holds no CR nor LF of its own: " + l);
        lines.push_back(l);
        at = end + 2;
    }
    return lines;
}

static unsigned weighted(const std::string &v) {
    unsigned sum = 0;
    for (size_t i = 0; i < v.size(); i++)
        sum += (unsigned char)v[i] * (unsigned)(i % 5 + 1);
    return sum;
}

static void check_gieglan(const std::string &name, const std::string &file) {
    const auto lines = crlf_lines(file, name);
    FUZZ_CHECK(lines.size() >= 4 && lines[0] == "[MESURES]", name + ": opens with [MESURES]");
    size_t crc = 1;
    while (crc < lines.size() && lines[crc] != "[CRC]")
        crc++;
    FUZZ_CHECK(crc < lines.size(), name + ": has a [CRC] section");
    FUZZ_CHECK(lines.size() - crc - 1 == crc - 1, name + ": a checksum for each line");
    for (size_t i = 1; i < crc; i++) {
        const std::string &sum = lines[crc + i];
        size_t eq = sum.rfind('=');
        FUZZ_CHECK(eq != std::string::npos, name + ": checksum line " + sum);
        const std::string code = sum.substr(0, eq);
        FUZZ_CHECK(lines[i].compare(0, code.size() + 1, code + "=") == 0,
                   name + ": the checksum names its line's code: " + lines[i]);
        FUZZ_CHECK(sum.substr(eq + 1) == std::to_string(weighted(lines[i].substr(code.size() + 1))),
                   name + ": the checksum of " + lines[i]);
    }
}

static void check_bnet(const std::string &name, const std::string &file) {
    static const std::set<std::string> keys = {
        "Plate", "Did", "Status", "RealEnd", "Manufacturer", "Type", "SerialNumber",
        "SoftwareVersion", "VerticalPositionRight_State", "VerticalPositionLeft_State",
        "VerticalCutoffRight", "VerticalCutoffLeft"};
    FUZZ_CHECK(!file.empty() && file.back() == '\n', name + ": ends LF");
    for (size_t at = 0; at < file.size();) {
        size_t end = file.find('\n', at);
        std::string l = file.substr(at, end - at);
        at = end + 1;
        if (l.empty() || (l.front() == '[' && l.back() == ']')) continue;
        FUZZ_CHECK(keys.count(l.substr(0, l.find('='))) == 1, name + ": a line of a known key: " + l);
    }
}

static void check_otclan(const std::string &name, const std::string &file) {
    const auto lines = crlf_lines(file, name);
    FUZZ_CHECK(lines.back().compare(0, 4, "err=") != 0, name + ": a delivered file has no error");
    const std::string tag = "\r\n[CRC]\r\nEMPREINTE=";
    size_t at = file.find(tag);
    FUZZ_CHECK(at != std::string::npos, name + ": a delivered file has its fingerprint");
    at += tag.size();
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(file.data()), at, md);
    FUZZ_CHECK(file.compare(at, 40, fuzz::hex(md, sizeof md)) == 0,
               name + ": the fingerprint covers the text before it");
}

// 1 when rel (relative to the root) is a file right inside one of dirs.
static bool right_in(const std::string &rel, const char *const *dirs, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const size_t len = strlen(dirs[i]);
        if (rel.compare(0, len, dirs[i]) == 0 && rel.size() > len && rel.find('/', len) == rel.npos)
            return true;
    }
    return false;
}

// Every file under the root is one of the result files expected (with their bytes), one
// of the entries waiting in the outbox, or one of the other files; and every result file
// expected and every entry waiting is there.
static void check_tree(const std::map<std::string, std::string> &expected, size_t waiting) {
    std::set<std::string> seen;
    size_t entries = 0;
    for (const std::string &top : {std::string("mnt"), std::string("bnet"), std::string("home")})
        for (const std::string &f : fuzz::files_under(fuzz::root("/" + top))) {
            const std::string rel = top + "/" + f;
            auto it = expected.find(rel);
            if (it != expected.end()) {
                FUZZ_CHECK(fuzz::get(fuzz::root("/" + rel)) == it->second,
                           rel + ": holds exactly the bytes stored for it");
                seen.insert(rel);
                continue;
            }
            if (rel.compare(0, outbox_dir.size() + 1, outbox_dir + "/") == 0 &&
                rel.size() == outbox_dir.size() + 15 &&
                rel.compare(rel.size() - 4, 4, ".out") == 0) {
                entries++;
                continue;
            }
            bool ok = false;
            for (const char *o : other_files)
                ok = ok || rel == o;
            FUZZ_CHECK(ok,
                       "a file that is no result, no waiting entry and no file of the box: " + rel);
        }
    for (const auto &e : expected)
        FUZZ_CHECK(seen.count(e.first), e.first + ": is there");
    FUZZ_CHECK(entries == waiting, "the outbox holds " + std::to_string(entries) +
                                       " entries, not the " + std::to_string(waiting) +
                                       " still to deliver");
}

static std::vector<fuzz::OutboxEntry> entries_waiting(void) {
    std::vector<fuzz::OutboxEntry> out;
    for (const auto &f : fuzz::dir_files(fuzz::root("/" + outbox_dir))) {
        out.push_back(fuzz::parse_entry(f.first, f.second, SIZE_OUTBOX_PATH));
        FUZZ_CHECK(out.back().whole, f.first + ": an entry the writer stored is whole");
    }
    return out;
}

// How far a delivery can go.
enum Reach { REACH_NONE, REACH_LOCAL, REACH_ALL };

// What the files stored have become, place -> bytes, the newest entry for a place last:
// with the share offline nothing is delivered (the writer left the local OTCLAN copies);
// with the share's directories missing only the OTCLAN files kept on the box reach their
// place; else every file. *waiting counts the entries left in the outbox.
static std::map<std::string, std::string> outcome(const std::vector<fuzz::OutboxEntry> &stored,
                                                  Reach reach, size_t *waiting) {
    std::map<std::string, std::string> out;
    *waiting = 0;
    for (const fuzz::OutboxEntry &e : stored) {
        const std::string dest = fuzz::norm(e.dest), local = fuzz::norm(e.local);
        const bool kept =
            (e.rule == 'O' || e.rule == 'E') && (e.rule == 'E' || !fuzz::exists(e.order));
        if (e.rule == 'O' || e.rule == 'E') out[local] = e.payload;
        if (reach == REACH_NONE || (reach == REACH_LOCAL && !kept)) {
            ++*waiting;
        } else if (kept) {
            out.erase(local);
            out[local + (fuzz::exists(e.order) ? ".err" : OUTBOX_ORPHAN)] = e.payload;
        } else {
            out[dest] = e.payload;
        }
    }
    return out;
}

// Each file stored: its place is in the share's result directories (an OTCLAN copy in
// the local one) and its bytes hold the protocol's rules.
static void check_stored(const std::vector<fuzz::OutboxEntry> &stored) {
    for (const fuzz::OutboxEntry &e : stored) {
        const std::string dest = fuzz::norm(e.dest);
        FUZZ_CHECK(right_in(dest, result_dirs, 3),
                   "stored for a place outside the result directories: " + dest);
        FUZZ_CHECK(e.rule == (otclan ? (e.rule == 'E' ? 'E' : 'O') : 'R'),
                   dest + ": the rule of its protocol");
        if (otclan)
            FUZZ_CHECK(right_in(fuzz::norm(e.local), result_dirs + 3, 1),
                       dest + ": its copy in the local result directory");
        if (strcmp(FUZZ_PROTOCOL, "GIEGLAN") == 0) check_gieglan(dest, e.payload);
        if (strcmp(FUZZ_PROTOCOL, "BNET") == 0) check_bnet(dest, e.payload);
        if (e.rule == 'O') check_otclan(dest, e.payload);
    }
}

// Delivery passes while entries wait, as many as a pass's bound asks, and not one more.
static void deliver_all(size_t n) {
    for (size_t pass = 0; pass < n / OUTBOX_PASS_FILES + 2; pass++)
        outbox_deliver();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    for (const char *d : {"/home/KELDRAN/DATA/log/RES", "/mnt/GIEGLAN/RES", "/mnt/GIEGLAN/CI",
                          "/mnt/GIEGLAN/ID", "/mnt/GIEGLAN/ST01/RES", "/mnt/GIEGLAN/ST01/CI",
                          "/bnet/DataExchange/ImportResults"})
        fuzz::mkdirs(fuzz::root(d));
    return 0;
}

// The box from start-up, the result of the input written; the share offline ('1') or
// usable.
static void write_result(const std::vector<std::string> &p, char share) {
    boxtest::reset_state();
    fuzz::restart_clock();
    reset_files();
    if (share == '1') fuzz::put(fuzz::root("/home/KELDRAN/DATA/offline.state"), "");
    outbox_init();
    snprintf(keyOTC, sizeof keyOTC, "%s", "          ");
    const std::string &set = p[0].substr(0, p[0].find('\n'));
    settings(set);
    snprintf(cle_get_data, sizeof cle_get_data, "%s", set.size() > 4 ? set.c_str() + 4 : "");

    const std::string raw = fuzz::bytes_of(p[1]);
    snprintf(data[0], SIZEDATA, "%s", raw.c_str());
    const char order = set.size() > 3 ? set[3] : '0';
    if (order == '1' || order == '2') {
        const std::string plate = order == '1' ? plate_of(data[0]) : "ZZ999ZZ";
        snprintf(SI[0].cle, sizeof SI[0].cle, "K0001");
        snprintf(SI[0].plaqueinfo, sizeof SI[0].plaqueinfo, otclan ? "%-11s" : "%-10s",
                 plate.c_str());
        snprintf(SI[0].fichier, sizeof SI[0].fichier, "K0001");
        Cpt_plaque = 1;
        fuzz::put(share_dir() + "/CI/K0001.CI", "");
    }
    vehicule &v = voiture[0];
    snprintf(v.cle, sizeof v.cle, "%-10s", "K0001");
    snprintf(v.plaque, sizeof v.plaque, "%s", Cpt_plaque ? SI[0].plaqueinfo : cle_get_data);
    v.idx = 0;
    termine[0] = 1;

    char frame[SIZE_ENVELOPPE];
    snprintf(frame, sizeof frame, "%s", fuzz::bytes_of(p[2]).c_str());
    read_periph_list(frame);
    for (int k = 1; k < 7; k++) {
        const std::string bytes = fuzz::bytes_of(p[2 + k]);
        memset(frame, 0, sizeof frame);
        int n = 0;
        for (char c : bytes) {
            int st = frame_feed(frame, &n, c);
            if (st == FRAME_DONE) fill_identification(sihc_row_of_position(k), frame);
            if (st != FRAME_MORE) n = 0;
        }
    }

    sendbuffer(data[0], 0);
    if (otclan) {
        fct_separate_measures();
        fct_create_file_otclan(0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size) {
    const auto p = fuzz::parts(in, size, 9);
    const std::string &set = p[0].substr(0, p[0].find('\n'));
    const char share = set.size() > 2 && (set[2] == '1' || set[2] == '2') ? set[2] : '0';

    // the share offline: everything waits whole in the outbox
    write_result(p, '1');
    const std::vector<fuzz::OutboxEntry> stored = entries_waiting();
    check_stored(stored);
    size_t waiting;
    check_tree(outcome(stored, REACH_NONE, &waiting), waiting);
    unlink(fuzz::root("/home/KELDRAN/DATA/offline.state").c_str());

    // online, the share's result directories missing: only what stays on the box goes
    if (share == '2') {
        for (const char *d : result_dirs)
            if (strncmp(d, "mnt/", 4) == 0 || strncmp(d, "bnet/", 5) == 0)
                rmdir((fuzz::root("/") + d).c_str());
        deliver_all(stored.size());
        check_tree(outcome(stored, REACH_LOCAL, &waiting), waiting);
        for (const char *d : result_dirs)
            fuzz::mkdirs(fuzz::root("/") + d);
    }

    // the share back: each file reaches its place whole, and the outbox empties
    deliver_all(stored.size());
    const std::map<std::string, std::string> expected = outcome(stored, REACH_ALL, &waiting);
    check_tree(expected, 0);

    // usable from the start: the same files, delivered at once
    if (share == '0') {
        write_result(p, '0');
        if (stored.size() > OUTBOX_PASS_FILES) deliver_all(stored.size());
        check_tree(expected, 0);
    }
    return 0;
}
