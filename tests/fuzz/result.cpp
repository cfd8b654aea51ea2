// Fuzz target: a raw result buffer, as the reception leaves it in data, cut into the
// measure table and written by the result writer of one station protocol (GIEGLAN,
// OTCLAN or BNET, chosen at build time by FUZZ_PROTOCOL), with the peripheral list and
// the identification frames that the writer takes its instruments from. The share and
// the box's directories lie in the fuzz root.
//
// Input: parts cut at lines "====":
//   0  settings, one character each: the maker (K KELDRAN, S SPX, T TECNO, M MAHA,
//      A AVL, F FOG), the station sub-directory ('1': ST01), the share ('1': offline),
//      the PC's order ('1': an order for the result's plate, '2': an order for another
//      plate, else none); the rest of the line is the key received with the result;
//   1  the raw result: ETB, code and text records (without the part's last LF);
//   2  the peripheral list frame "0101";
//   3… the identification of list positions 1, 2, ...: the frames the instrument sent,
//      one after the other.
//
// Checks on what is written: nothing lands outside the result directories; a GIEGLAN
// file is lines ended CR LF, a measure section and a checksum section of the same codes
// whose checksums are those of the values; a BNET file is sections and known keys; an
// OTCLAN file delivered to the share carries no error and its fingerprint is the SHA-1
// of its text up to the fingerprint.
#include <openssl/sha.h>
#include <string.h>
#include <unistd.h>

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

static const struct {
    char letter;
    const char *client;
} makers[] = {{'K', "KELDRAN"}, {'S', "SPX"}, {'T', "TECNO"},
              {'M', "MAHA"},    {'A', "AVL"}, {'F', "FOG"}};

static const char *const written_dirs[] = {"mnt/GIEGLAN/RES/", "mnt/GIEGLAN/ST01/RES/",
                                           "home/KELDRAN/DATA/log/RES/",
                                           "bnet/DataExchange/ImportResults/"};
static const char *const other_files[] = {"mnt/GIEGLAN/CI/K0001.CI", "mnt/GIEGLAN/ST01/CI/K0001.CI",
                                          "home/KELDRAN/DATA/log/log.txt",
                                          "home/KELDRAN/DATA/offline.state"};

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

static void reset_files(void) {
    for (const char *d : written_dirs)
        fuzz::empty_dir(fuzz::root("/") + d);
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

static void check_written(void) {
    for (const std::string &top : {std::string("mnt"), std::string("bnet"), std::string("home")})
        for (const std::string &f : fuzz::files_under(fuzz::root("/" + top))) {
            const std::string rel = top + "/" + f;
            bool ok = false;
            for (const char *d : written_dirs)
                ok = ok || (rel.compare(0, strlen(d), d) == 0 && rel.find('/', strlen(d)) == rel.npos);
            for (const char *o : other_files)
                ok = ok || rel == o;
            FUZZ_CHECK(ok, "written outside the result directories: " + rel);
        }
    const std::string share = share_dir() + "/RES/";
    const std::string bnet = fuzz::root("/bnet/DataExchange/ImportResults/");
    for (const std::string &f : fuzz::files_under(share)) {
        const std::string file = fuzz::get(share + f);
        if (strcmp(FUZZ_PROTOCOL, "GIEGLAN") == 0) check_gieglan(f, file);
        if (strcmp(FUZZ_PROTOCOL, "OTCLAN") == 0) check_otclan(f, file);
    }
    for (const std::string &f : fuzz::files_under(bnet))
        check_bnet(f, fuzz::get(bnet + f));
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    for (const char *d : {"/home/KELDRAN/DATA/log/RES", "/mnt/GIEGLAN/RES", "/mnt/GIEGLAN/CI",
                          "/mnt/GIEGLAN/ID", "/mnt/GIEGLAN/ST01/RES", "/mnt/GIEGLAN/ST01/CI",
                          "/bnet/DataExchange/ImportResults"})
        fuzz::mkdirs(fuzz::root(d));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size) {
    const auto p = fuzz::parts(in, size, 9);
    boxtest::reset_state();
    fuzz::restart_clock();
    reset_files();
    snprintf(keyOTC, sizeof keyOTC, "%s", "          ");
    const std::string &set = p[0].substr(0, p[0].find('\n'));
    settings(set);
    const bool offline = set.size() > 2 && set[2] == '1';
    if (offline) fuzz::put(fuzz::root("/home/KELDRAN/DATA/offline.state"), "");
    snprintf(cle_get_data, sizeof cle_get_data, "%s", set.size() > 4 ? set.c_str() + 4 : "");

    const std::string raw = fuzz::bytes_of(p[1]);
    snprintf(data[0], SIZEDATA, "%s", raw.c_str());
    const char order = set.size() > 3 ? set[3] : '0';
    const bool otclan = strcmp(FUZZ_PROTOCOL, "OTCLAN") == 0;
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
    check_written();
    return 0;
}
