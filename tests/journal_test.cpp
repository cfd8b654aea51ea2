// The journal of received results and the result road stopped at each of its file
// operations.
//
// An entry keeps the result with its vehicle, its order and its instruments; one the disk
// kept torn is set aside, never written. Then the sweep: for each road (a GIEGLAN result,
// an OTCLAN result, a BNET result, an OTCLAN vehicle with a gas and an opacity file) the
// box receives the result from the equipment (bytes played from memory), hands it over
// and delivers it; in a child process it is stopped before its k-th file operation, for
// every k, as a kill and as a power cut (crashtest.h says what is lost), then started
// again from the disk as the child left it: start-up writes what the journal kept, the
// equipment offers the result again when the box had not acknowledged it whole, and the
// outbox delivers. Every stop must leave the share with the files of a run that never
// stopped, byte for byte, each delivered once, the local copies as they should be, and
// nothing waiting in the journal or the outbox.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "boxtest.h"
#include "crashtest.h"
#include "dat.h"
#include "file_param.h"
#include "journal.h"
#include "linktest.h"
#include "nod.h"
#include "outbox.h"
#include "plat.h"
#include "synchro.h"
#include "tim.h"

using boxtest::read_file;
using boxtest::root;
using Files = std::map<std::string, std::string>;

namespace {

const std::string DATA = "/home/KELDRAN/DATA";
const std::string JOURNAL = DATA + "/journal", OUTBOX = DATA + "/outbox";
const std::string LOCAL = DATA + "/log/RES", LOG = DATA + "/log/log.txt";
const std::string RES = "/mnt/GIEGLAN/RES", CI = "/mnt/GIEGLAN/CI";
const std::string BNET = "/bnet", IMPORT = BNET + "/DataExchange/ImportResults";
const std::string E = "\x17"; // ETB

using Item = std::pair<const char *, const char *>;

// The identification of an instrument of another maker than SPX, all its items.
const std::vector<Item> full_ident = {
    {"0300", "KELDRAN"},        {"0301", "ANALYSER GA-4"}, {"7003", "HOMOL1"},
    {"0302", "SNG100274"},      {"0303", "V2.14"},         {"0312", "01012024"},
    {"7007", "GAS01"},          {"0200", "AB123CD"},       {"7009", "01012024120000"},
    {"7010", "02012024130000"}, {"7011", "CERT7"},         {"7012", "0123456789"}};

// One road: the station, the vehicle, what the equipment sends, where the files land.
struct Road {
    const char *name;
    const char *protocol;
    const char *key;                        // the order's key (BNET: the plate)
    std::vector<std::pair<int, char>> list; // the peripheral list: number and type letter
    std::vector<std::string> frames;        // the result's frames (records of each)
    std::string share;                      // the directory of its files on the share
    const char *without = nullptr;          // an identification item the instruments lack
};

void PrintTo(const Road &r, std::ostream *os) {
    *os << r.name;
}

const Road roads[] = {
    {"Gieglan",
     "GIEGLAN",
     "K0001",
     {{1, 'C'}, {2, 'G'}},
     {"0122K0001     " + E + "0200AB123CD   " + E + "700907122026052047" + E + "0501012" + E +
          "05020145" + E + "050300.35",
      "0122K0001     " + E + "050414.20" + E + "051307122026052047" + E + "0905"},
     RES},
    {"Otclan",
     "OTCLAN",
     "K0002",
     {{1, 'C'}, {2, 'G'}},
     {"0122K0002     " + E + "0200AB123CD" + E + "050200.1" + E + "050312" + E + "0905"},
     RES},
    {"Bnet",
     "BNET",
     "AB123CD",
     {{1, 'C'}, {2, 'P'}},
     {"0122AB123CD   " + E + "04901" + E + "04921" + E + "0491-0.5" + E + "0493-0.6",
      "0122AB123CD   " + E + "049407122026052047" + E + "0905"},
     IMPORT},
    {"OtclanGasAndOpacity",
     "OTCLAN",
     "K0003",
     {{1, 'C'}, {2, 'G'}, {3, 'O'}},
     {"0122K0003     " + E + "0200AB123CD" + E + "050200.1" + E + "050312",
      "0122K0003     " + E + "05301" + E + "053112" + E + "0905"},
     RES},
    // no serial number: the sealed file has an error and becomes the local ".err" copy
    {"OtclanWithAnError",
     "OTCLAN",
     "K0004",
     {{1, 'C'}, {2, 'G'}},
     {"0122K0004     " + E + "0200AB123CD" + E + "050200.1" + E + "050312" + E + "0905"},
     RES,
     "0302"},
};

int answer_zero(const char *) {
    return 0;
} // every shell command (the network check) says yes

// The box's settings for the road's station, on a LAN link played from memory.
void station(const Road &r) {
    boxtest::reset_state();
    snprintf(save_protocol, sizeof save_protocol, "%s", r.protocol);
    snprintf(save_client, sizeof save_client, "KELDRAN");
    save_path_gieglan[0] = 0;
    lenght_path = 0;
    snprintf(save_path, sizeof save_path, "%s", root(BNET).c_str());
    snprintf(save_serie, sizeof save_serie, "1234");
    snprintf(path_create_log, sizeof path_create_log, "%s", root(LOG).c_str());
    cmd_hook = answer_zero;
    linktest::MemoryLink::use();
}

// As the box stands once it has read the road's order and identified the instruments,
// the vehicle sent to the hub and the result asked for: the equipment's frames wait on
// the link.
void ready(const Road &r) {
    station(r);
    SaveInfo &o = SI[0];
    snprintf(o.cle, sizeof o.cle, "%s", r.key);
    snprintf(o.plaqueinfo, sizeof o.plaqueinfo, "AB123CD");
    snprintf(o.carburantinfo, sizeof o.carburantinfo, "ES");
    snprintf(o.fichier, sizeof o.fichier, "VEH1");
    snprintf(o.nomfichier, sizeof o.nomfichier, "VEH1.CI");
    Cpt_plaque = 1;
    vehicule &v = voiture[0];
    snprintf(v.cle, sizeof v.cle, "%-10.10s", r.key);
    snprintf(v.plaque, sizeof v.plaque, "AB123CD");
    snprintf(v.cartype, sizeof v.cartype, "ES");
    nb_periph_present = (char)r.list.size();
    for (size_t n = 0; n < r.list.size(); n++) {
        type_hardware_connect2[n][0] = (char)r.list[n].first;
        type_hardware_connect2[n][1] = r.list[n].second;
        if (r.list[n].second == 'C') continue;
        const int row = r.list[n].first - 1;
        for (const Item &it : full_ident) {
            if (r.without && strcmp(it.first, r.without) == 0) continue;
            SaveInfoHardwareConnect &s = SIHC[row][Cpt_SIHC[row]++];
            snprintf(s.CodeGiegData, sizeof s.CodeGiegData, "%s", it.first);
            snprintf(s.InfoHardwareConnect, sizeof s.InfoHardwareConnect, "%s", it.second);
        }
    }
    giegtype = 2;
    orders_known = 1;
    sync_hour_ok = 1;
    COMOINPROG[0] = 1;
    COM_STAT = 1; // the poll went out
    tim_program_ms(&ASKEQUIPONESEC, 60000);
    tim_program_ms(&TIME_1S, 3600000); // no order reading in the road
    for (const std::string &f : r.frames)
        linktest::MemoryLink::in += linktest::frame(f);
    linktest::MemoryLink::acks = &crashtest::shared()[0];
}

// The road: the result received (every frame acknowledged), handed over, delivered.
void road(const Road &r) {
    ready(r);
    scanequip();
    PCaction(0);
}

// The box started again from its disk: start-up writes what the journal kept; the
// equipment offers the result again when it did not get its last acknowledgement; the
// outbox delivers.
void restart(const Road &r, bool offered_again) {
    station(r);
    outbox_init();
    results_recover();
    if (offered_again) road(r);
    outbox_deliver();
}

// The regular files of a directory of the sandbox, with their bytes.
Files files_of(const std::string &dir) {
    Files f;
    for (const std::string &name : boxtest::list_dir(root(dir))) {
        struct stat st;
        const std::string p = root(dir + "/" + name);
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) f[name] = read_file(p);
    }
    return f;
}

// An OTCLAN condensate hides a marker drawn at random when the file is sealed (a file
// written again after a stop has another): its digits are masked, its length kept.
Files sealed(Files files) {
    for (auto &f : files) {
        size_t at = f.second.find("\r\nCONDENSAT=");
        if (at == std::string::npos) continue;
        for (at += 12; at < f.second.size() && f.second[at] != '\r'; at++)
            f.second[at] = 'x';
    }
    return files;
}

void empty_dir(const std::string &dir) {
    for (const auto &f : files_of(dir))
        unlink(root(dir + "/" + f.first).c_str());
}

// What one run of a road leaves: the share's files, the local copies, the deliveries
// logged, and what still waits.
struct Disk {
    Files share, local;
    std::map<std::string, int> deliveries;
    std::vector<std::string> waiting; // journal entries and outbox entries
};

Disk disk_of(const Road &r) {
    Disk d;
    d.share = sealed(files_of(r.share));
    d.local = sealed(files_of(LOCAL));
    for (const std::string &l : boxtest::lines_of(read_file(root(LOG)))) {
        const size_t at = l.find("Ecriture du fichier ");
        if (at != std::string::npos) d.deliveries[l.substr(l.rfind('/') + 1)]++;
    }
    for (const auto &f : files_of(JOURNAL))
        if (f.first.find(".old") == std::string::npos) d.waiting.push_back("journal/" + f.first);
    for (const auto &f : files_of(OUTBOX))
        d.waiting.push_back("outbox/" + f.first);
    return d;
}

class Sweep : public ::testing::TestWithParam<Road> {
  protected:
    // the same instant in every run, close to the files' own times
    boxtest::FakeClock clock{(long long)time(nullptr)};
    std::string memory; // the sandbox's disk and share, in memory: the runs flush a lot
    void SetUp() override {
        boxtest::reset_root();
        char dir[] = "/dev/shm/sweep-XXXXXX";
        if (mkdtemp(dir)) {
            memory = dir;
            for (const std::string top : {"/home", "/mnt"}) {
                EXPECT_EQ(system(("mv '" + root(top) + "' " + memory).c_str()), 0);
                EXPECT_EQ(symlink((memory + top).c_str(), root(top).c_str()), 0);
            }
            EXPECT_EQ(mkdir((memory + BNET).c_str(), 0755), 0);
            EXPECT_EQ(symlink((memory + BNET).c_str(), root(BNET).c_str()), 0);
        }
        for (const std::string &d : {JOURNAL, OUTBOX, LOCAL, RES, CI, IMPORT})
            EXPECT_EQ(system(("mkdir -p '" + root(d) + "'").c_str()), 0);
        boxtest::write_file(root(CI + "/VEH1.CI"), "C001=AB123CD\r\n");
    }
    void TearDown() override {
        cmd_hook = nullptr;
        link_backend = nullptr;
        if (!memory.empty()) {
            EXPECT_EQ(system(("rm -rf " + memory).c_str()), 0);
        }
        boxtest::reset_root();
    }
    void fresh_disk(const Road &r) {
        for (const std::string &d : {JOURNAL, OUTBOX, LOCAL, r.share})
            empty_dir(d);
        unlink(root(LOG).c_str());
        boxtest::write_file(root(CI + "/VEH1.CI"), "C001=AB123CD\r\n");
        share_dir = root(r.share);
    }
    const std::vector<std::string> watched = {root(JOURNAL), root(OUTBOX), root(LOCAL)};
    // The files of the road on the share, and the renames onto each in a run (the shared
    // ints from 1 on: the first counts acknowledgements).
    std::vector<std::string> names;
    std::string share_dir;
    const crashtest::Watch count_renames = [this](int op, const char *path) {
        if (op != FS_RENAME || !path) return;
        std::string p; // runs of '/' as one, as the writers' paths may have them
        for (const char *c = path; *c; c++)
            if (*c != '/' || p.empty() || p.back() != '/') p += *c;
        for (size_t i = 0; i < names.size(); i++)
            if (p == share_dir + "/" + names[i] + ".tmp") crashtest::shared()[1 + i]++;
    };
    std::vector<int> renames() {
        std::vector<int> n;
        for (size_t i = 0; i < names.size(); i++)
            n.push_back(crashtest::shared()[1 + i]);
        return n;
    }
};

TEST_P(Sweep, EveryResultReachesTheShareOnceWhateverFileOperationTheBoxStopsAt) {
    const Road &r = GetParam();
    const bool otclan = std::string(r.protocol) == "OTCLAN";
    fresh_disk(r);
    crashtest::Outcome whole =
        crashtest::run([&] { road(r); }, 0, crashtest::Stop::Kill, watched, count_renames);
    ASSERT_TRUE(whole.finished);
    ASSERT_EQ(crashtest::shared()[0], (int)r.frames.size()) << "every frame acknowledged";
    const Disk expected = disk_of(r);
    // the road's result files, by name, and what a run that never stopped made of them:
    // each on the share, or kept on the box as its ".err" copy
    names.clear();
    Files bytes;
    for (const auto &f : expected.share) {
        EXPECT_EQ(expected.deliveries.at(f.first), 1) << f.first;
        names.push_back(f.first);
        bytes[f.first] = f.second;
    }
    for (const auto &f : expected.local)
        if (f.first.size() > 4 && f.first.compare(f.first.size() - 4, 4, ".err") == 0) {
            names.push_back(f.first.substr(0, f.first.size() - 4));
            bytes[names.back()] = f.second;
        }
    ASSERT_EQ(names.size(), std::string(r.name).find("Opacity") != std::string::npos ? 2u : 1u);
    EXPECT_TRUE(expected.waiting.empty());
    if (otclan && !r.without) {
        EXPECT_EQ(expected.local, expected.share);
    }
    printf("%s: %d file operations on the road\n", r.name, whole.ops);

    // Each stop, then the box started again from the disk left. Once the PC leaves the
    // share alone; under OTCLAN once more with a PC that takes every file it sees
    // meanwhile and ends the vehicle (its order file removed): a file the box renamed
    // before the stop must not come again, nor be kept as an orphan. (Elsewhere the
    // renames counted already show a file never comes twice.)
    for (crashtest::Stop how : {crashtest::Stop::Kill, crashtest::Stop::PowerCut}) {
        for (bool pc_takes : {false, true}) {
            if (pc_takes && !otclan) continue;
            const std::string what =
                std::string(how == crashtest::Stop::Kill ? "kill" : "power cut") +
                (pc_takes ? " (the PC takes what it sees)" : "");
            for (int k = 1; k <= whole.ops; k++) {
                fresh_disk(r);
                crashtest::Outcome o =
                    crashtest::run([&] { road(r); }, k, how, watched, count_renames);
                ASSERT_TRUE(o.stopped) << what << " at " << k;
                const bool offered_again = crashtest::shared()[0] < (int)r.frames.size();
                const std::vector<int> before = renames();
                Files taken;
                if (pc_takes) {
                    for (const std::string &n : names)
                        if (boxtest::exists(root(r.share + "/" + n))) {
                            taken[n] = read_file(root(r.share + "/" + n));
                            unlink(root(r.share + "/" + n).c_str());
                        }
                    unlink(root(CI + "/VEH1.CI").c_str());
                }
                crashtest::Outcome again = crashtest::run([&] { restart(r, offered_again); }, 0,
                                                          how, watched, count_renames);
                ASSERT_TRUE(again.finished) << what << " at " << k;
                const std::vector<int> after = renames();
                const Disk got = disk_of(r);
                EXPECT_EQ(got.waiting, std::vector<std::string>{}) << what << " at " << k;
                if (!pc_takes) {
                    EXPECT_EQ(got.share, expected.share) << what << " at " << k;
                    EXPECT_EQ(got.deliveries, expected.deliveries) << what << " at " << k;
                    EXPECT_EQ(got.local, expected.local) << what << " at " << k;
                }
                // each file reached the PC once (before the stop, or after it, then
                // byte-exact), or was kept on the box once: as its ".err" copy, or as an
                // orphan when its order went first
                Files share, local;
                for (size_t i = 0; i < names.size(); i++) {
                    const std::string &n = names[i];
                    const bool err = got.local.count(n + ".err") != 0;
                    const bool orphan = got.local.count(n + OUTBOX_ORPHAN) != 0;
                    EXPECT_EQ(before[i] + after[i] + err + orphan, 1)
                        << n << ", " << what << " at " << k;
                    if (before[i] && pc_takes) {
                        EXPECT_EQ(sealed(Files{{n, taken[n]}}), (Files{{n, bytes[n]}}))
                            << n << ", " << what << " at " << k;
                    }
                    if (after[i] || (before[i] && !pc_takes)) share[n] = bytes[n];
                    if (otclan) local[n + (orphan ? OUTBOX_ORPHAN : err ? ".err" : "")] = bytes[n];
                }
                EXPECT_EQ(got.share, share) << what << " at " << k;
                EXPECT_EQ(got.local, local) << what << " at " << k;
                if (HasFailure()) return;
            }
        }
    }
}

// Entries as a disk that kept the rename but not every byte leaves them, or damaged since:
// set aside for a technician and told, never written; the whole one beside them is.
TEST(Journal, TornOrDamagedEntryIsSetAsideNeverWritten) {
    boxtest::reset_root();
    const Road &r = roads[0];
    ready(r);
    boxtest::set_network(1); // the files wait in the outbox
    cmd_hook = nullptr;
    const std::string raw = "\x17"
                            "0200AB123CD   \x17"
                            "0502"
                            "0145";
    unsigned n[3];
    for (unsigned &k : n) {
        snprintf(cle_get_data, sizeof cle_get_data, "K0001     ");
        k = journal_write(0, raw.c_str());
        ASSERT_NE(k, 0u);
    }
    auto entry = [](unsigned k, const char *ext) {
        char name[32];
        snprintf(name, sizeof name, "/%010u%s", k, ext);
        return root(JOURNAL + name);
    };
    std::string b = read_file(entry(n[0], ".jnl"));
    boxtest::write_file(entry(n[0], ".jnl"), b.substr(0, b.size() - 3));
    b[b.size() - 10] ^= 0x20;
    boxtest::write_file(entry(n[1], ".jnl"), b);

    station(r); // started again: empty tables
    cmd_hook = nullptr;
    outbox_init();
    results_recover();
    EXPECT_EQ(files_of(OUTBOX).size(), 1u) << "the whole entry's file";
    EXPECT_TRUE(boxtest::exists(entry(n[0], ".bad")));
    EXPECT_TRUE(boxtest::exists(entry(n[1], ".bad")));
    EXPECT_EQ(journal_next(0), 0u);
    std::string log = read_file(root(LOG));
    for (unsigned k : {n[0], n[1]}) {
        const std::string bad = entry(k, ".bad");
        EXPECT_NE(log.find("ERREUR journal illisible, mis de cote: "), std::string::npos) << log;
        EXPECT_NE(log.find(bad.substr(bad.rfind('/'))), std::string::npos) << log;
    }
    link_backend = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Roads, Sweep, ::testing::ValuesIn(roads),
                         [](const ::testing::TestParamInfo<Road> &i) { return i.param.name; });

} // namespace
