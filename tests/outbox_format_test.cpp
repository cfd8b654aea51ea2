// Outbox entries across releases: an outbox that a box kept in a format of an earlier
// release is taken at start-up and delivered whole by this program, so that a change of
// format in an upgrade never strands the results waiting on boxes in the field.
//
// tests/fixtures/outbox-ob2 holds an outbox as the box writes it in the format "OB2"
// (written by the outbox's own code, its places then given as on the box, without the
// sandbox root): a GIEGLAN result, an identification file and its copy in log/, a sealed
// OTCLAN result and one with an error, a BNET result. Its committed bytes never change:
// a new format gets a fixture of its own beside it.
#include <gtest/gtest.h>

#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "boxtest.h"
#include "file_param.h"
#include "nod.h"
#include "outbox.h"

using boxtest::list_dir;
using boxtest::read_file;
using boxtest::root;
using boxtest::write_file;

namespace {

const std::string OUTBOX = "/home/KELDRAN/DATA/outbox";

// CRC-32 as zip computes it, bit by bit: independent of the outbox's own.
uint32_t crc32(const std::string &bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

std::string hex8(uint32_t v) {
    char s[9];
    snprintf(s, sizeof s, "%08X", (unsigned)v);
    return s;
}

// An "OB2" entry: "OB2", the rule letter, NUL; the payload's length and the CRC-32 of the
// rule letter and of everything after the check, eight hexadecimal digits each, NUL;
// the place, the order file and the local copy, each ended by NUL; the payload.
struct Ob2 {
    char rule = 0;
    std::string places[3]; // place, order file, local copy
    std::string payload;

    // Reads a fixture entry, checking that it is whole as the box wrote it.
    static Ob2 parse(const std::string &bytes, const std::string &name) {
        Ob2 e;
        EXPECT_GT(bytes.size(), 22u) << name;
        EXPECT_EQ(bytes.substr(0, 3), "OB2") << name;
        EXPECT_EQ(bytes[4], '\0') << name;
        EXPECT_EQ(bytes[21], '\0') << name;
        e.rule = bytes[3];
        size_t at = 22;
        for (std::string &p : e.places) {
            size_t end = bytes.find('\0', at);
            EXPECT_NE(end, std::string::npos) << name;
            p = bytes.substr(at, end - at);
            at = end + 1;
        }
        e.payload = bytes.substr(at);
        EXPECT_EQ(bytes.substr(5, 8), hex8((uint32_t)e.payload.size())) << name;
        EXPECT_EQ(bytes.substr(13, 8), hex8(crc32(bytes.substr(3, 1) + bytes.substr(22)))) << name;
        return e;
    }
    // The entry with its places under prefix, its check made again.
    std::string bytes(const std::string &prefix) const {
        std::string body;
        for (const std::string &p : places)
            body += (p.empty() ? p : prefix + p) + '\0';
        body += payload;
        return "OB2" + std::string(1, rule) + '\0' + hex8((uint32_t)payload.size()) +
               hex8(crc32(std::string(1, rule) + body)) + '\0' + body;
    }
};

} // namespace

TEST(OutboxFormats, OutboxKeptInTheOb2FormatIsDeliveredWholeByThisProgram) {
    boxtest::reset_root();
    boxtest::reset_state();
    boxtest::set_network(0);
    snprintf(path_create_log, sizeof path_create_log, "%s",
             root("/home/KELDRAN/DATA/log/log.txt").c_str());
    snprintf(save_path, sizeof save_path, "%s", root("/mnt/bnet").c_str());
    save_path_gieglan[0] = 0;
    for (const char *dir : {"/mnt/GIEGLAN/RES", "/mnt/GIEGLAN/ID", "/mnt/GIEGLAN/CI", "/mnt/bnet",
                            "/mnt/bnet/DataExchange", "/mnt/bnet/DataExchange/ImportResults",
                            "/home/KELDRAN/DATA/log/RES", "/home/KELDRAN/DATA/outbox"})
        mkdir(root(dir).c_str(), 0755);
    write_file(root("/mnt/GIEGLAN/CI/AB123CD.CI"), "the order, still on the share");

    // the fixture laid out in this build's sandbox
    const std::string fixture = SOURCE_DIR "/tests/fixtures/outbox-ob2/";
    const std::vector<std::string> names = list_dir(fixture);
    ASSERT_EQ(names.size(), 6u);
    std::vector<Ob2> entries;
    for (const std::string &name : names) {
        entries.push_back(Ob2::parse(read_file(fixture + name), name));
        write_file(root(OUTBOX + "/" + name), entries.back().bytes(root()));
    }

    outbox_init(); // nothing set aside at start-up
    outbox_deliver();

    EXPECT_EQ(list_dir(root(OUTBOX)), std::vector<std::string>{})
        << "all delivered, none set aside";
    const std::string log = read_file(root("/home/KELDRAN/DATA/log/log.txt"));
    std::string rules;
    for (const Ob2 &e : entries) {
        rules += e.rule;
        const std::string place = root(e.places[0]);
        if (e.rule == OUTBOX_OTCLAN_ERR) {
            // an OTCLAN file with an error stays on the box as its ".err" copy
            EXPECT_EQ(read_file(root(e.places[2]) + ".err"), e.payload);
            EXPECT_FALSE(boxtest::exists(place)) << place;
            continue;
        }
        EXPECT_EQ(read_file(place), e.payload) << place;
        EXPECT_NE(log.find("Ecriture du fichier " + place + "\r\n"), std::string::npos) << place;
    }
    EXPECT_EQ(rules, "RIIOER") << "every delivery rule of the format is in the fixture";
    EXPECT_EQ(read_file(root("/home/KELDRAN/DATA/log/outbox.txt")),
              "en_attente=0\nage_plus_ancien=0\n");
}
