// Fuzz target: the reader of one order format (GIEGLAN, OTCLAN, BNET or ASA, chosen at
// build time by FUZZ_PROTOCOL) over a directory of order files laid out from the input,
// as PCaction has it read every 5 s.
//
// Input: parts cut at lines "====": part 0 is the settings (its first character the
// maker, K KELDRAN, S SPX, M MAHA; its second '0' when orders get no opacimeter
// check); each further part is one order file, its first line the file's name ('/' and
// NUL become '_'), the rest its text. In an OTCLAN file, "EMPREINTE=!" gets the
// fingerprint of the text before it in place of the '!', so that sealed orders are
// reached. One vehicle of plate FLIGHT1 is with the equipment.
//
// Checks: every order is bounded and its plate is that of its file; for GIEGLAN, BNET
// and ASA, with at most 20 files the orders are exactly those of the files that name a
// plate, and beyond 20 the vehicle in flight keeps its order; an OTCLAN order is taken
// only from a file whose fingerprint covers its text.
#include <openssl/sha.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "boxtest.h"
#include "dat.h"
#include "fgivfa.h"
#include "fgivfbnet.h"
#include "fgivfgl.h"
#include "file_param.h"
#include "fuzzsupport.h"

#define MAX_FILES 34

static const std::string protocol = FUZZ_PROTOCOL;

// Per format: the directory, the plate and fuel tags (as PCaction gives them) and the
// width the reader pads a plate to.
struct Format {
    const char *name;
    const char *dir;
    const char *tag_plate;
    const char *tag_fuel;
    int width;
};
static const Format formats[] = {
    {"GIEGLAN", "/mnt/GIEGLAN/CG", "0200=", "0204=", 10},
    {"OTCLAN", "/mnt/GIEGLAN/CI", "C001=", "C003=", 11},
    {"BNET", "/bnet/DataExchange/Orderlisting/", "Plate=", "", 10},
    {"ASA", "/mnt/GIEGLAN/ASA", "<REGISTRATION>", "<FUEL1>", 0},
};
static const Format *fmt;

static std::string padded(const std::string &plate) {
    char buf[sizeof SI[0].plaqueinfo];
    snprintf(buf, sizeof buf, "%-*s", fmt->width, plate.c_str());
    return buf;
}

// The lines of an order file without their line ends.
static std::vector<std::string> lines_of(const std::string &file) {
    std::vector<std::string> out = fuzz::lines_read(file, MAXSIZELINE - 1);
    for (std::string &l : out)
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
    return out;
}

// A value as the readers keep it: its bytes below 0x20 become blanks, all but a line
// end at its very end.
static std::string blanked(std::string v) {
    size_t n = v.size();
    while (n > 0 && (v[n - 1] == '\n' || v[n - 1] == '\r'))
        n--;
    for (size_t k = 0; k < n; k++)
        if ((unsigned char)v[k] < 0x20) v[k] = ' ';
    return v;
}

// The plate a file names, padded as the reader pads it; false when it names none.
static bool plate_of(const std::string &file, std::string *plate) {
    const std::string tag = fmt->tag_plate;
    bool found = false;
    for (const std::string &l : lines_of(file)) {
        if (protocol == "ASA") {
            size_t at = l.find(tag);
            if (at == std::string::npos) continue;
            std::string v = l.substr(at + tag.size());
            *plate = blanked(v.substr(0, v.find('<')));
            found = true; // a later line replaces the value
            continue;
        }
        if (l.compare(0, tag.size(), tag) != 0) continue;
        *plate = protocol == "BNET" ? blanked(l.substr(tag.size())) : l.substr(tag.size());
        // a BNET line with a blank plate does not count; the search goes on
        if (protocol == "BNET" && plate->find_first_not_of(' ') == std::string::npos) continue;
        found = true;
        break;
    }
    if (!found) return false;
    if (protocol != "GIEGLAN" && plate->find_first_not_of(' ') == std::string::npos) return false;
    *plate = padded(*plate);
    if (protocol == "GIEGLAN") *plate = blanked(*plate);
    return true;
}

// "EMPREINTE=!" gets the fingerprint of the text before it.
static std::string sealed(const std::string &file) {
    const std::string tag = "EMPREINTE=!";
    for (size_t at = 0; at < file.size();) {
        if (file.compare(at, tag.size(), tag) == 0) {
            unsigned char md[SHA_DIGEST_LENGTH];
            SHA1(reinterpret_cast<const unsigned char *>(file.data()), at + tag.size() - 1, md);
            return file.substr(0, at + tag.size() - 1) + fuzz::hex(md, sizeof md) +
                   file.substr(at + tag.size());
        }
        size_t lf = file.find('\n', at);
        if (lf == std::string::npos) break;
        at = lf + 1;
    }
    return file;
}

// An OTCLAN file has a fingerprint line, and its first one holds the SHA-1 of the text
// before it.
static bool seal_holds(const std::string &file) {
    for (size_t at = 0; at < file.size();) {
        if (file.compare(at, 10, "EMPREINTE=") == 0) {
            unsigned char md[SHA_DIGEST_LENGTH];
            SHA1(reinterpret_cast<const unsigned char *>(file.data()), at + 10, md);
            return file.compare(at + 10, 40, fuzz::hex(md, sizeof md)) == 0;
        }
        size_t lf = file.find('\n', at);
        if (lf == std::string::npos) break;
        at = lf + 1;
    }
    return false;
}

static void check_order(const SaveInfo &o) {
    FUZZ_CHECK(memchr(o.cle, 0, sizeof o.cle) && strlen(o.cle) <= 10, "a key of 10 at most");
    FUZZ_CHECK(memchr(o.plaqueinfo, 0, sizeof o.plaqueinfo), "a plate terminated");
    FUZZ_CHECK(memchr(o.carburantinfo, 0, sizeof o.carburantinfo), "a fuel code terminated");
    FUZZ_CHECK(memchr(o.fichier, 0, sizeof o.fichier), "a file name terminated");
    FUZZ_CHECK(o.plaqueinfo[0] != 0, "an order has a plate");
    for (const auto &line : o.autreinfo) {
        size_t n = strnlen(line, sizeof line);
        FUZZ_CHECK(n < sizeof line, "a data line terminated");
        FUZZ_CHECK(n == 0 || (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n'),
                   "a data line ends CR LF");
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    for (const Format &f : formats)
        if (protocol == f.name) fmt = &f;
    fuzz::mkdirs(fuzz::root(fmt->dir));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto p = fuzz::parts(data, size, MAX_FILES + 1);
    boxtest::reset_state();
    const std::string dir = fuzz::root(fmt->dir);
    fuzz::empty_dir(dir);
    const char maker = p[0].empty() ? 'K' : p[0][0];
    snprintf(save_client, sizeof save_client, "%s",
             maker == 'S' ? "SPX" : maker == 'M' ? "MAHA" : "KELDRAN");
    TestOpaPourCI = p[0].size() > 1 && p[0][1] == '0' ? 0 : 1;
    snprintf(save_protocol, sizeof save_protocol, "%s", fmt->name);
    snprintf(Info.plaque, sizeof Info.plaque, "%s", fmt->tag_plate);
    snprintf(Info.carburant, sizeof Info.carburant, "%s", fmt->tag_fuel);
    snprintf(voiture[0].plaque, sizeof voiture[0].plaque, "%s", padded("FLIGHT1").c_str());
    snprintf(voiture[0].cle, sizeof voiture[0].cle, "%s", padded("FLIGHT1").c_str());

    // name -> text of every file laid out (a repeated name keeps its last text)
    std::map<std::string, std::string> files;
    for (size_t k = 1; k < p.size(); k++) {
        if (p[k].empty()) continue;
        size_t lf = p[k].find('\n');
        std::string name = p[k].substr(0, std::min(lf, (size_t)200));
        std::replace(name.begin(), name.end(), '/', '_');
        std::replace(name.begin(), name.end(), '\0', '_');
        if (name.empty() || name == "." || name == "..") name = "order" + std::to_string(k);
        std::string text = lf == std::string::npos ? "" : p[k].substr(lf + 1);
        if (protocol == "OTCLAN") text = sealed(text);
        files[name] = text;
        fuzz::put(dir + "/" + name, text);
    }

    if (protocol == "BNET")
        fct_get_info_vehicule_file_bnet(dir.c_str(), ptinfo);
    else if (protocol == "ASA")
        fct_get_info_vehicule_file_asa(dir.c_str(), ptinfo);
    else
        fct_get_info_vehicule_file_gieglan_OTCLAN(dir.c_str(), ptinfo, save_protocol);

    FUZZ_CHECK(Cpt_plaque >= 0 && Cpt_plaque <= NBPLAQUEMAX, "at most 20 orders");
    std::vector<std::string> plates, expected;
    bool flight_named = false;
    for (const auto &f : files) {
        if (f.first[0] == '.') continue;
        if (protocol == "OTCLAN" && (f.first.size() < 3 || f.first.compare(f.first.size() - 3, 3, ".CI") != 0))
            continue;
        std::string plate;
        if (!plate_of(f.second, &plate)) continue;
        expected.push_back(plate);
        if (plate == padded("FLIGHT1")) flight_named = true;
    }
    for (int i = 0; i < Cpt_plaque; i++) {
        const SaveInfo &o = SI[i];
        check_order(o);
        plates.push_back(o.plaqueinfo);
        if (protocol != "OTCLAN") continue;
        bool sealed_file = false;
        for (const auto &f : files)
            if (f.first.compare(0, f.first.find('.'), o.fichier) == 0 && seal_holds(f.second))
                sealed_file = true;
        FUZZ_CHECK(sealed_file, std::string("an OTCLAN order from a sealed file: ") + o.fichier);
    }
    for (int i = Cpt_plaque; i < NBPLAQUEMAX; i++)
        FUZZ_CHECK(SI[i].plaqueinfo[0] == 0 && SI[i].cle[0] == 0, "no order beyond the count");
    if (protocol == "OTCLAN") return 0;

    std::sort(plates.begin(), plates.end());
    std::sort(expected.begin(), expected.end());
    if (expected.size() <= NBPLAQUEMAX) {
        FUZZ_CHECK(plates == expected, "the orders are those of the files");
    } else {
        FUZZ_CHECK(Cpt_plaque == NBPLAQUEMAX, "a full table beyond 20 orders");
        if (flight_named)
            FUZZ_CHECK(std::find(plates.begin(), plates.end(), padded("FLIGHT1")) != plates.end(),
                       "the vehicle in flight keeps its order");
    }
    return 0;
}
