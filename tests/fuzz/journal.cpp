// Fuzz target: the journal of received results as start-up finds it after a stop. The
// reception keeps a result (the input's vehicle, order, instruments and raw result) in the
// journal; the entry is then left whole, torn, given a flipped byte or a byte too many,
// beside files of any name and bytes. Started again with empty tables, the box must write
// a whole entry's result exactly as the hand-over writes it from the tables the entry was
// taken from (the files stored in the outbox are compared, an OTCLAN condensate's random
// marker apart), keep that entry aside as the last one, set aside a damaged entry as
// "<n>.bad" with its bytes and write nothing of it, remove what was half written and leave
// every other name alone.
//
// Input: parts cut at lines "====":
//   0  settings: the protocol (G GIEGLAN, O OTCLAN, B BNET), the maker (S SPX, else
//      KELDRAN), the damage (n none, t torn, f a byte flipped, a a byte appended), then
//      the offset of the damage in digits, from the end of the entry;
//   1  the key (first line) and the plate (second line) of the vehicle;
//   2  the raw result (ETB, code and text records);
//   3  identification items, one "code=value" line each, of every instrument;
//   4… stray files of the journal: the name on the first line, then the bytes.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>

#include "boxtest.h"
#include "dat.h"
#include "fcfotclan.h"
#include "file_param.h"
#include "fsm.h"
#include "fuzzsupport.h"
#include "journal.h"
#include "nod.h"
#include "outbox.h"

namespace {

const std::string JOURNAL = "/home/KELDRAN/DATA/journal", OUTBOX = "/home/KELDRAN/DATA/outbox";
const char *const dirs[] = {"/home/KELDRAN/DATA/log/RES", "/mnt/GIEGLAN/RES", "/mnt/GIEGLAN/CI",
                            "/bnet/DataExchange/ImportResults"};

std::string line(const std::string &text, size_t k) {
    size_t at = 0;
    for (; k > 0 && at != std::string::npos; k--)
        at = text.find('\n', at) == std::string::npos ? std::string::npos : text.find('\n', at) + 1;
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
}

void settings(char protocol, char maker) {
    const char *p = protocol == 'O' ? "OTCLAN" : protocol == 'B' ? "BNET" : "GIEGLAN";
    snprintf(save_protocol, sizeof save_protocol, "%s", p);
    snprintf(save_client, sizeof save_client, "%s", maker == 'S' ? "SPX" : "KELDRAN");
    save_path_gieglan[0] = 0;
    lenght_path = 0;
    snprintf(save_path, sizeof save_path, "%s", fuzz::root("/bnet").c_str());
}

// The tables as the reception leaves them: the order, the vehicle in slot 0 with its key,
// a hub with a gas analyser, an opacimeter and a headlamp tester all identified alike.
void tables(const std::string &key, const std::string &plate, const std::string &items) {
    SaveInfo &o = SI[0];
    snprintf(o.cle, sizeof o.cle, "%s", key.c_str());
    snprintf(o.plaqueinfo, sizeof o.plaqueinfo, "%s", plate.c_str());
    snprintf(o.fichier, sizeof o.fichier, "%s", plate.c_str());
    snprintf(o.nomfichier, sizeof o.nomfichier, "%s.CI", plate.c_str());
    Cpt_plaque = 1;
    vehicule &v = voiture[0];
    snprintf(v.cle, sizeof v.cle, "%-10.10s", key.c_str());
    snprintf(v.plaque, sizeof v.plaque, "%s", plate.c_str());
    snprintf(cle_get_data, sizeof cle_get_data, "%-10.10s", key.c_str());
    const char letters[] = "CGOP";
    nb_periph_present = 4;
    for (int n = 0; n < 4; n++) {
        type_hardware_connect2[n][0] = (char)(n + 1);
        type_hardware_connect2[n][1] = letters[n];
    }
    for (size_t at = 0; at < items.size();) {
        size_t end = items.find('\n', at);
        if (end == std::string::npos) end = items.size();
        const std::string l = items.substr(at, end - at);
        at = end + 1;
        const size_t eq = l.find('=');
        if (eq == std::string::npos) continue;
        for (int row = 1; row < 4; row++) {
            if (Cpt_SIHC[row] >= NBCODEGIEGDATAMAX) continue;
            SaveInfoHardwareConnect &it = SIHC[row][Cpt_SIHC[row]++];
            snprintf(it.CodeGiegData, sizeof it.CodeGiegData, "%s", l.substr(0, eq).c_str());
            strncpy(it.InfoHardwareConnect, l.substr(eq + 1).c_str(),
                    sizeof it.InfoHardwareConnect);
        }
    }
}

// The outbox's files by place: rule and bytes, an OTCLAN condensate's digits masked.
std::map<std::string, std::string> stored() {
    std::map<std::string, std::string> out;
    for (const auto &f : fuzz::dir_files(fuzz::root(OUTBOX))) {
        const fuzz::OutboxEntry e = fuzz::parse_entry(f.first, f.second, SIZE_OUTBOX_PATH);
        FUZZ_CHECK(e.whole, f.first + ": a whole outbox entry");
        std::string bytes = std::string(1, e.rule) + e.payload;
        size_t at = bytes.find("\r\nCONDENSAT=");
        if (at != std::string::npos)
            for (at += 12; at < bytes.size() && bytes[at] != '\r'; at++)
                bytes[at] = 'x';
        out[fuzz::norm(e.dest)] = bytes;
    }
    return out;
}

// An entry's name: its number in ten digits (1 up to what a block of outbox numbers
// allows), then ext.
bool entry_name(const std::string &name, const char *ext) {
    if (name.size() != 10 + strlen(ext) || name.find_first_not_of("0123456789") != 10 ||
        name.compare(10, std::string::npos, ext) != 0)
        return false;
    const unsigned long long n = strtoull(name.c_str(), nullptr, 10);
    return n > 0 && n <= 0xFFFFFFFFull / OUTBOX_BLOCK;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size) {
    size_t found;
    const auto p = fuzz::parts(in, size, 12, &found);
    const std::string set = p[0].substr(0, p[0].find('\n'));
    const char protocol = set.size() > 0 ? set[0] : 'G';
    const char maker = set.size() > 1 ? set[1] : 'K';
    char damage = set.size() > 2 ? set[2] : 'n';
    const size_t offset = set.size() > 3 ? strtoul(set.c_str() + 3, nullptr, 10) % 100000 : 0;
    const std::string key = line(p[1], 0), plate = line(p[1], 1);
    std::string raw = fuzz::bytes_of(p[2]).substr(0, SIZEDATA - 1);
    raw = raw.substr(0, strnlen(raw.c_str(), raw.size()));

    fuzz::empty_dir(fuzz::root());
    for (const char *d : dirs)
        fuzz::mkdirs(fuzz::root(d));
    fuzz::mkdirs(fuzz::root(JOURNAL));
    fuzz::mkdirs(fuzz::root(OUTBOX));
    fuzz::put(fuzz::root("/home/KELDRAN/DATA/offline.state"), ""); // the files wait
    fuzz::put(fuzz::root("/mnt/GIEGLAN/CI/" + plate + ".CI"), "");

    // what the hand-over writes from the tables
    boxtest::reset_state();
    fuzz::restart_clock();
    settings(protocol, maker);
    outbox_init();
    tables(key, plate, p[3]);
    static char buf[SIZEDATA];
    snprintf(buf, sizeof buf, "%s", raw.c_str());
    sendbuffer(buf, 0);
    if (protocol == 'O') {
        fct_separate_measures();
        fct_create_file_otclan(0);
    }
    const auto want = stored();
    fuzz::empty_dir(fuzz::root(OUTBOX));

    // the reception keeps it, then the stop leaves the entry as the input says
    boxtest::reset_state();
    fuzz::restart_clock();
    settings(protocol, maker);
    outbox_init();
    tables(key, plate, p[3]);
    const unsigned n = journal_write(0, raw.c_str());
    FUZZ_CHECK(n != 0, "the journal takes the result");
    char name[32];
    snprintf(name, sizeof name, "%010u", n);
    const std::string path = fuzz::root(JOURNAL + "/" + name + ".jnl");
    std::string entry = fuzz::get(path);
    if (offset >= entry.size()) damage = 'n';
    if (damage == 't') entry.resize(entry.size() - 1 - offset);
    if (damage == 'f') entry[entry.size() - 1 - offset] ^= (char)(raw.empty() ? 1 : raw[0] | 1);
    if (damage == 'a') entry += '\n';
    if (damage != 't' && damage != 'f' && damage != 'a') damage = 'n';
    fuzz::put(path, entry);
    std::map<std::string, std::string> strays;
    for (size_t k = 4; k < found; k++) {
        std::string nm = p[k].substr(0, p[k].find('\n'));
        for (char &c : nm)
            if (c == '/' || c == '\0') c = '_';
        if (nm.empty() || nm == "." || nm == ".." || nm.size() > 200 || entry_name(nm, ".jnl") ||
            nm.compare(0, 10, name) == 0)
            continue;
        const size_t lf = p[k].find('\n');
        strays[nm] = fuzz::bytes_of(lf == std::string::npos ? "" : p[k].substr(lf + 1));
        fuzz::put(fuzz::root(JOURNAL + "/" + nm), strays[nm]);
    }

    // started again: nothing in the tables
    boxtest::reset_state();
    fuzz::restart_clock();
    settings(protocol, maker);
    outbox_init();
    results_recover();

    const auto got = stored();
    const auto left = fuzz::dir_files(fuzz::root(JOURNAL));
    std::map<std::string, std::string> after(left.begin(), left.end());
    if (damage == 'n') {
        FUZZ_CHECK(got == want, "the result is written as the hand-over writes it");
        FUZZ_CHECK(after.count(std::string(name) + ".old") &&
                       !after.count(std::string(name) + ".jnl"),
                   "the last entry is kept aside once written");
    } else {
        FUZZ_CHECK(got.empty(), "nothing of a damaged entry is written");
        FUZZ_CHECK(after.count(std::string(name) + ".bad") &&
                       after[std::string(name) + ".bad"] == entry,
                   "a damaged entry is set aside with its bytes");
    }
    for (const auto &s : strays) {
        if (entry_name(s.first, ".tmp")) {
            FUZZ_CHECK(!after.count(s.first), s.first + ": half written, removed");
        } else if (!entry_name(s.first, ".old")) {
            FUZZ_CHECK(after.count(s.first) && after[s.first] == s.second,
                       s.first + ": left alone");
        }
    }
    return 0;
}
