// Outbox of the result files: what waits while the share cannot take it, what reaches the
// share once it can (whole, once, oldest first), the faults on the way (a directory
// missing or a plain file in its place, a copy cut half-way, a leftover ".tmp", a restart
// with a half-written entry, the box's own disk refusing the result), the OTCLAN rules
// applied when a file leaves, and the clean-up of the local copies.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "boxtest.h"
#include "dat.h"
#include "file_param.h"
#include "fsm.h"
#include "journal.h"
#include "linktest.h"
#include "nod.h"
#include "outbox.h"
#include "share.h"
#include "tim.h"

using boxtest::exists;
using boxtest::list_dir;
using boxtest::read_file;
using boxtest::root;
using boxtest::write_file;
using Strings = std::vector<std::string>;

namespace {

const std::string OUTBOX = "/home/KELDRAN/DATA/outbox";
const std::string RES = "/mnt/GIEGLAN/RES";
const std::string ID = "/mnt/GIEGLAN/ID";
const std::string LOCAL = "/home/KELDRAN/DATA/log/RES";
const std::string LOG = "/home/KELDRAN/DATA/log/log.txt";

class Outbox : public ::testing::Test {
  protected:
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        boxtest::set_network(0);
        snprintf(path_create_log, sizeof path_create_log, "%s", root(LOG).c_str());
        mkdir(root(RES).c_str(), 0755);
        mkdir(root(ID).c_str(), 0755);
        mkdir(root(LOCAL).c_str(), 0755);
        outbox_init();
    }
    // A file stored as a writer stores it (not yet committed).
    void stage(const std::string &dest, const std::string &bytes, char rule = OUTBOX_RESULT,
               const std::string &order = "", const std::string &local = "") {
        FILE *f = outbox_begin(dest.c_str(), order.c_str(), local.c_str());
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        outbox_end(f, rule);
    }
    void store(const std::string &dest, const std::string &bytes, char rule = OUTBOX_RESULT) {
        stage(dest, bytes, rule);
        EXPECT_EQ(outbox_commit(), 1);
    }
    Strings entries() { return list_dir(root(OUTBOX)); }
    // The path of the outbox entry numbered seq.
    static std::string entry_name(unsigned seq, const char *ext = ".out") {
        char name[32];
        snprintf(name, sizeof name, "/%010u%s", seq, ext);
        return root(OUTBOX + name);
    }
    std::string log() { return read_file(root(LOG)); }
    // The path of the newest entry waiting.
    std::string newest() {
        const Strings e = entries();
        for (auto it = e.rbegin(); it != e.rend(); ++it)
            if (it->size() > 4 && it->compare(it->size() - 4, 4, ".out") == 0)
                return root(OUTBOX + "/" + *it);
        return "";
    }
    // A GIEGLAN station's vehicle KEY3 (plate AB123CD) in slot 3 with its result in
    // buffer 5, ordered as SI[0].
    vehicule &finished_vehicle() {
        snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
        snprintf(SI[0].cle, sizeof SI[0].cle, "KEY3");
        snprintf(SI[0].plaqueinfo, sizeof SI[0].plaqueinfo, "AB123CD");
        Cpt_plaque = 1;
        vehicule &v = voiture[3];
        snprintf(v.cle, sizeof v.cle, "KEY3      ");
        snprintf(v.plaque, sizeof v.plaque, "AB123CD");
        v.idx = 5;
        snprintf(data[5], SIZEDATA,
                 "\x17"
                 "0200AB123CD\x17"
                 "050200.1");
        termine[3] = 1;
        return v;
    }
    // Bytes that tell results apart, with control bytes and a NUL as a result may hold.
    static std::string bytes(int n) {
        std::string b = "[MESURES]\r\n0320=KELDRAN.G\r\n0501=" + std::to_string(n) + "\r\n";
        b += std::string("\x01\x00\xFF", 3) + std::string(200, 'x') + "\r\n";
        return b;
    }
};

// Lines of the log that name path, in order, without their time stamp.
Strings logged(const std::string &log, const std::string &path) {
    Strings out;
    for (const std::string &l : boxtest::lines_of(log))
        if (l.find(path) != std::string::npos) out.push_back(l.substr(l.find(":  ") + 3));
    return out;
}

} // namespace

TEST_F(Outbox, ResultsWaitWhileTheShareIsUnusableThenArriveWholeOnceOldestFirst) {
    boxtest::set_network(1);
    for (int i = 0; i < 10; i++)
        store(root(RES + "/V" + std::to_string(i) + ".G"), bytes(i));
    EXPECT_TRUE(list_dir(root(RES)).empty());
    ASSERT_EQ(entries().size(), 10u);
    // the oldest has waited two minutes
    struct timeval old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    utimes(root(OUTBOX + "/" + entries()[0]).c_str(), old);
    outbox_deliver();
    std::string status = read_file(root("/home/KELDRAN/DATA/log/outbox.txt"));
    ASSERT_EQ(status.rfind("en_attente=10\nage_plus_ancien=", 0), 0u) << status;
    long age = std::stol(status.substr(status.find("ancien=") + 7));
    EXPECT_GE(age, 120);
    EXPECT_LT(age, 180);

    // the network answers, but the box is marked offline
    boxtest::set_network(0);
    write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    outbox_deliver();
    EXPECT_TRUE(list_dir(root(RES)).empty());
    EXPECT_FALSE(exists(root(LOG)));

    // back: a pass delivers the eight oldest, the next one the rest
    boxtest::remove_file(root("/home/KELDRAN/DATA/offline.state"));
    outbox_deliver();
    EXPECT_EQ(list_dir(root(RES)).size(), (size_t)OUTBOX_PASS_FILES);
    status = read_file(root("/home/KELDRAN/DATA/log/outbox.txt"));
    // stored a moment ago: a second may have begun since
    EXPECT_TRUE(status == "en_attente=2\nage_plus_ancien=0\n" ||
                status == "en_attente=2\nage_plus_ancien=1\n")
        << status;
    outbox_deliver();
    Strings names;
    for (int i = 0; i < 10; i++) {
        names.push_back("V" + std::to_string(i) + ".G");
        EXPECT_EQ(read_file(root(RES + "/" + names.back())), bytes(i)) << i;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_dir(root(RES)), names) << "nothing else on the share, no .tmp";
    EXPECT_TRUE(entries().empty());
    Strings expected;
    for (int i = 0; i < 10; i++)
        expected.push_back("Ecriture du fichier " + root(RES + "/V" + std::to_string(i) + ".G"));
    EXPECT_EQ(logged(log(), root(RES)), expected) << "each once, oldest first";
    EXPECT_EQ(read_file(root("/home/KELDRAN/DATA/log/outbox.txt")),
              "en_attente=0\nage_plus_ancien=0\n");
}

TEST_F(Outbox, MissingOrBlockedDirectoryKeepsTheResultUntilItIsMended) {
    const std::string a = root(RES + "/A.G");
    rmdir(root(RES).c_str());
    testing::internal::CaptureStderr();
    store(a, bytes(1));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(a + " introuvable."), std::string::npos) << err;
    EXPECT_EQ(entries().size(), 1u);

    // a plain file where the directory should be; an identification file for another
    // directory is not held back by it
    write_file(root(RES), "not a directory");
    store(root(ID + "/X.G"), "ident");
    EXPECT_EQ(read_file(root(ID + "/X.G")), "ident");
    EXPECT_EQ(entries().size(), 1u);

    boxtest::remove_file(root(RES));
    mkdir(root(RES).c_str(), 0755);
    outbox_deliver();
    EXPECT_EQ(read_file(a), bytes(1));
    EXPECT_EQ(list_dir(root(RES)), Strings{"A.G"});
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(logged(log(), a),
              (Strings{"ERREUR ecriture du fichier " + a, "Nouvel essai du fichier " + a,
                       "ERREUR ecriture du fichier " + a, "Nouvel essai du fichier " + a,
                       "Ecriture du fichier " + a}));
}

TEST_F(Outbox, CopyCutHalfWayOrLeftByAKillNeverShowsUnderTheRealName) {
    const std::string a = root(RES + "/A.G");
    boxtest::set_network(1);
    store(a, bytes(7));
    boxtest::set_network(0);
    // files may grow to 64 bytes only: the copy stops half-way
    struct rlimit was;
    getrlimit(RLIMIT_FSIZE, &was);
    struct rlimit small = was;
    small.rlim_cur = 64;
    sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    outbox_deliver();
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, old);
    EXPECT_FALSE(exists(a));
    EXPECT_FALSE(exists(a + ".tmp")) << "the cut copy is removed";
    EXPECT_EQ(entries().size(), 1u);

    // a concentrator killed while it copied left half a file under the temporary name
    write_file(a + ".tmp", bytes(7).substr(0, 30));
    outbox_deliver();
    EXPECT_EQ(read_file(a), bytes(7));
    EXPECT_EQ(list_dir(root(RES)), Strings{"A.G"});
    EXPECT_TRUE(entries().empty());
}

TEST_F(Outbox, RestartDropsWhatWasHalfWrittenAndDeliversEverythingWhole) {
    boxtest::set_network(1);
    store(root(RES + "/A.G"), bytes(1));
    store(root(RES + "/B.G"), bytes(2));
    // kept from a run before: a whole entry numbered well above, and one the power cut
    // while it was written
    const std::string old = entry_name(outbox_seq);
    store(root(RES + "/OLD.G"), bytes(4));
    rename(old.c_str(), entry_name(outbox_seq + 100).c_str());
    write_file(entry_name(outbox_seq + 200, ".tmp"),
               read_file(entry_name(outbox_seq + 100)).substr(0, 60));
    outbox_init();
    EXPECT_EQ(entries().size(), 3u) << "the half-written entry is gone";
    EXPECT_EQ(read_file(root("/home/KELDRAN/DATA/log/outbox.txt")).rfind("en_attente=3\n", 0), 0u);
    store(root(RES + "/C.G"), bytes(3));
    boxtest::set_network(0);
    outbox_deliver();
    EXPECT_EQ(list_dir(root(RES)), (Strings{"A.G", "B.G", "C.G", "OLD.G"}));
    EXPECT_EQ(read_file(root(RES + "/OLD.G")), bytes(4));
    EXPECT_EQ(read_file(root(RES + "/C.G")), bytes(3));
    EXPECT_EQ(logged(log(), root(RES)), (Strings{"Ecriture du fichier " + root(RES + "/A.G"),
                                                 "Ecriture du fichier " + root(RES + "/B.G"),
                                                 "Ecriture du fichier " + root(RES + "/OLD.G"),
                                                 "Ecriture du fichier " + root(RES + "/C.G")}))
        << "a new entry comes after every one kept";
}

TEST_F(Outbox, TornDamagedOrStrayEntryIsSetAsideNeitherDeliveredNorDeleted) {
    boxtest::set_network(1);
    // a disk that kept the rename but not every byte, a byte changed since, an entry
    // that is no entry at all, and sound ones between them
    store(root(RES + "/TORN.G"), bytes(1));
    const std::string torn = newest();
    store(root(RES + "/FLIP.G"), bytes(2));
    const std::string flipped = newest();
    store(root(RES + "/KEPT.G"), bytes(3));
    const std::string whole = read_file(torn);
    write_file(torn, whole.substr(0, whole.size() - 5));
    std::string b = read_file(flipped);
    b[b.size() - 40] ^= 0x20;
    write_file(flipped, b);
    write_file(entry_name(outbox_seq + 5), std::string("OB2R\0", 5) + root(RES + "/ANY.G"));
    outbox_init();
    EXPECT_EQ(outbox_pending, 1) << "only the sound entry waits";
    // stray places, from entries whose check holds: another directory of the box, a
    // name that climbs out of the share, a directory below the result directory, the log
    // directory for a result, a name with no room for ".tmp"
    mkdir(root(RES + "/sub").c_str(), 0755);
    for (const std::string &dest :
         {root("/etc/board_id"), root(RES + "/../../../etc/x"), root(RES + "/.."),
          root(RES + "/sub/X.G"), root("/home/KELDRAN/DATA/log/X.G"), root(RES + "/"),
          root(RES + "/" + std::string(252, 'L'))})
        store(dest, bytes(9));
    store(root(OUTBOX + "/0000000000.out"), bytes(9), OUTBOX_IDENT);
    // an OTCLAN entry whose local copy lies elsewhere, its order gone: kept as it is
    stage(root(RES + "/V.G"), bytes(9), OUTBOX_OTCLAN, root(RES + "/V.CI"), root("/etc/board_id"));
    outbox_commit();
    boxtest::remove_file(root("/etc/board_id"));
    store(root(RES + "/LAST.G"), bytes(4));
    boxtest::set_network(0);
    outbox_deliver();
    outbox_deliver();
    EXPECT_EQ(list_dir(root(RES)), (Strings{"KEPT.G", "LAST.G", "sub"}));
    EXPECT_EQ(read_file(root(RES + "/KEPT.G")), bytes(3));
    EXPECT_TRUE(list_dir(root(RES + "/sub")).empty());
    EXPECT_EQ(list_dir(root("/etc")), Strings{});
    EXPECT_FALSE(exists(root(OUTBOX + "/0000000000.out")));
    EXPECT_FALSE(exists(root("/home/KELDRAN/DATA/log/X.G")));
    const Strings left = entries();
    EXPECT_EQ(left.size(), 12u);
    for (const std::string &e : left)
        EXPECT_EQ(e.substr(e.size() - 4), ".bad") << "set aside, never deleted: " << e;
    EXPECT_EQ(read_file(root("/home/KELDRAN/DATA/log/outbox.txt")),
              "en_attente=0\nage_plus_ancien=0\n");
    EXPECT_EQ(logged(log(), ".bad").size(), 12u) << "each one told once, in the link log";
}

TEST_F(Outbox, NamesThatAreNoEntriesAreLeftAloneAndHoldNothingBack) {
    // numbered otherwise than the outbox names its entries: "7.out" would open
    // "0000000007.out"
    for (int n = 1; n <= 9; n++) {
        write_file(root(OUTBOX + "/" + std::to_string(n) + ".out"), "not an entry");
        write_file(root(OUTBOX + "/" + std::to_string(n) + ".tmp"), "not an entry");
    }
    outbox_init();
    EXPECT_EQ(outbox_pending, 0);
    store(root(RES + "/A.G"), bytes(1));
    EXPECT_EQ(read_file(root(RES + "/A.G")), bytes(1)) << "delivered in the first pass";
    EXPECT_EQ(entries().size(), 18u) << "the other files are left alone";
    EXPECT_EQ(read_file(root("/home/KELDRAN/DATA/log/outbox.txt")),
              "en_attente=0\nage_plus_ancien=0\n");
}

TEST_F(Outbox, NewerIdentificationFileReplacesTheOneWaitingButResultsAllGo) {
    boxtest::set_network(1);
    store(root(ID + "/X.G"), "old", OUTBOX_IDENT);
    store(root(RES + "/K.G"), "first");
    store(root(ID + "/X.G"), "new", OUTBOX_IDENT);
    store(root(RES + "/K.G"), "second");
    EXPECT_EQ(entries().size(), 3u);
    boxtest::set_network(0);
    outbox_deliver();
    EXPECT_EQ(read_file(root(ID + "/X.G")), "new");
    EXPECT_EQ(read_file(root(RES + "/K.G")), "first");
    boxtest::remove_file(root(RES + "/K.G")); // the PC takes it
    outbox_deliver();
    EXPECT_EQ(read_file(root(RES + "/K.G")), "second") << "a result is never dropped";
    EXPECT_EQ(logged(log(), "Ecriture du fichier " + root(RES + "/K.G")).size(), 2u);
    EXPECT_EQ(logged(log(), root(ID + "/X.G")).size(), 1u);
}

// Two (or three) tests of one vehicle under one name, waiting through an outage: each
// stays on the share until the PC has taken it, or a minute at most; another name is
// not held back meanwhile.
TEST_F(Outbox, ResultOfANameStillOnTheShareWaitsForThePcAMinuteAtMost) {
    boxtest::FakeClock clock;
    const std::string k = root(RES + "/K.G");
    boxtest::set_network(1);
    store(k, "first");
    store(k, "second");
    store(root(RES + "/L.G"), "other");
    store(k, "third");
    boxtest::set_network(0);
    outbox_deliver();
    EXPECT_EQ(read_file(k), "first");
    EXPECT_EQ(read_file(root(RES + "/L.G")), "other");
    EXPECT_EQ(entries().size(), 2u);
    clock.advance_us(40 * 1000000LL);
    outbox_deliver();
    EXPECT_EQ(read_file(k), "first") << "the PC has not taken it yet";

    // a minute and the PC has still not taken it: the next one goes over it, as designed,
    // and the third waits behind it
    clock.advance_us(21 * 1000000LL);
    outbox_deliver();
    EXPECT_EQ(read_file(k), "second");
    EXPECT_EQ(entries().size(), 1u);
    clock.advance_us(5 * 1000000LL);
    boxtest::remove_file(k); // the PC takes it
    outbox_deliver();
    EXPECT_EQ(read_file(k), "third");
    EXPECT_TRUE(entries().empty());
    const std::string wait = "Attente de la reprise par le PC du fichier " + k;
    EXPECT_EQ(logged(log(), k),
              (Strings{"Ecriture du fichier " + k, wait, wait,
                       "ERREUR fichier precedent non repris par le PC, remplace: " + k,
                       "Ecriture du fichier " + k, "Ecriture du fichier " + k}));
}

// The settings changed while results waited (another station sub-directory, another
// protocol): each goes to the place it was written for, none is set aside.
TEST_F(Outbox, ResultGoesWhereItWasWrittenForWhateverTheSettingsSayNow) {
    const std::string st = "/mnt/GIEGLAN/ST01", import = "/bnet/DataExchange/ImportResults";
    for (const std::string &d : {st, st + "/RES", st + "/CI", std::string("/bnet"),
                                 std::string("/bnet/DataExchange"), import})
        mkdir(root(d).c_str(), 0755);
    write_file(root(st + "/CI/C.CI"), "order");
    boxtest::set_network(1);
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "ST01");
    snprintf(save_path, sizeof save_path, "%s", root("/bnet").c_str());
    store(root(st + "/RES/A.G"), "gieglan");
    store(root(import + "/B.txt"), "bnet");
    stage(root(st + "/RES/C.G"), "otclan", OUTBOX_OTCLAN, root(st + "/CI/C.CI"),
          root(LOCAL + "/C.G"));
    ASSERT_EQ(outbox_commit(), 1);
    // started again with other settings
    save_path_gieglan[0] = 0;
    save_path[0] = 0;
    outbox_init();
    EXPECT_EQ(outbox_pending, 3);
    boxtest::set_network(0);
    outbox_deliver();
    EXPECT_EQ(read_file(root(st + "/RES/A.G")), "gieglan");
    EXPECT_EQ(read_file(root(import + "/B.txt")), "bnet");
    EXPECT_EQ(read_file(root(st + "/RES/C.G")), "otclan");
    EXPECT_TRUE(entries().empty()) << "none set aside";
}

// A delivery pass runs in a worker while the loop goes on storing: it leaves a block whose
// commit it sees half way (an entry still under its temporary name) or whose journal
// entry is still there (the hand-over may yet write its files again), and takes it whole
// once it is handed over.
TEST_F(Outbox, BlockSeenHalfCommittedOrNotYetHandedOverIsLeftForALaterPass) {
    boxtest::set_network(1);
    stage(root(RES + "/A.G"), "gas");
    stage(root(RES + "/A.O"), "opacity");
    ASSERT_EQ(outbox_commit(), 1);
    const Strings both = entries();
    ASSERT_EQ(both.size(), 2u);
    const std::string first = root(OUTBOX + "/" + both[0]);
    const unsigned block = (unsigned)std::stoul(both[0].substr(0, 10)) / OUTBOX_BLOCK;
    boxtest::set_network(0);
    ASSERT_EQ(rename(first.c_str(), (first.substr(0, first.size() - 4) + ".tmp").c_str()), 0);
    outbox_deliver();
    EXPECT_TRUE(list_dir(root(RES)).empty()) << "the commit renames the first entry last";
    ASSERT_EQ(rename((first.substr(0, first.size() - 4) + ".tmp").c_str(), first.c_str()), 0);

    char jnl[32];
    snprintf(jnl, sizeof jnl, "/%010u.jnl", block);
    const std::string journal = "/home/KELDRAN/DATA/journal";
    mkdir(root(journal).c_str(), 0755);
    write_file(root(journal + jnl), "");
    outbox_deliver();
    EXPECT_TRUE(list_dir(root(RES)).empty()) << "not yet handed over";
    boxtest::remove_file(root(journal + jnl));
    outbox_deliver();
    EXPECT_EQ(list_dir(root(RES)), (Strings{"A.G", "A.O"}));
    EXPECT_TRUE(entries().empty());
}

// The delivery in a worker process, as the box runs it, held by the share right after
// its rename and killed there (as a share that never answers gets it killed). The PC then
// takes the file and ends the vehicle (its order removed): the next pass neither
// delivers it again nor keeps it as an orphan.
pid_t loop_pid;
int hold_worker;
void held_after_the_rename(int op, const char *path, int) {
    if (hold_worker && getpid() != loop_pid && op == FS_UNLINK && strstr(path, "/outbox/"))
        pause(); // until killed
}

TEST_F(Outbox, DeliveryKilledBetweenItsRenameAndTheEntryRemovalDeliversNothingTwice) {
    const std::string ci = root("/mnt/GIEGLAN/CI"), v = root(RES + "/V.G");
    mkdir(ci.c_str(), 0755);
    write_file(ci + "/V.CI", "order");
    boxtest::set_network(1);
    stage(v, "sealed V\r\n", OUTBOX_OTCLAN, ci + "/V.CI", root(LOCAL + "/V.G"));
    ASSERT_EQ(outbox_commit(), 1);
    const std::string entry = newest();
    boxtest::set_network(0);
    struct Worker { // the share's work in a worker, as the programs run it, then inline again
        Worker() {
            share_init();
            share_step_ms = 200;
            share_kill_ms = 200;
            loop_pid = getpid();
            hold_worker = 1;
            fs_hook = held_after_the_rename;
        }
        ~Worker() {
            fs_hook = nullptr;
            share_inline = 1;
            share_step_ms = SHARE_STEP_MS;
            share_kill_ms = SHARE_KILL_MS;
        }
        static bool pass() {
            outbox_deliver();
            return boxtest::wait_until(
                [] {
                    share_poll();
                    return !share_busy();
                },
                10000, 5);
        }
    } worker;
    ASSERT_EQ(share_inline, 0);
    ASSERT_TRUE(worker.pass());
    EXPECT_EQ(read_file(v), "sealed V\r\n");
    ASSERT_TRUE(exists(entry)) << "the worker was killed before it removed the entry";

    boxtest::remove_file(v); // the PC takes the file and ends the vehicle
    boxtest::remove_file(ci + "/V.CI");
    hold_worker = 0;
    ASSERT_TRUE(worker.pass());
    EXPECT_FALSE(exists(v)) << "not delivered again";
    EXPECT_EQ(list_dir(root(LOCAL)), Strings{"V.G"}) << "not kept as an orphan";
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(logged(log(), v), Strings{"Ecriture du fichier " + v});
}

// A stop left the OTCLAN local copy of a waiting result missing or cut short: start-up
// makes it again from the entry, flushed.
TEST_F(Outbox, OtclanLocalCopyLostInAStopIsMadeAgainAtStartUp) {
    const std::string ci = root("/mnt/GIEGLAN/CI");
    mkdir(ci.c_str(), 0755);
    write_file(ci + "/V.CI", "order");
    write_file(ci + "/W.CI", "order");
    write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    stage(root(RES + "/V.G"), "sealed V\r\n", OUTBOX_OTCLAN, ci + "/V.CI", root(LOCAL + "/V.G"));
    ASSERT_EQ(outbox_commit(), 1);
    stage(root(RES + "/W.G"), "sealed W\r\nerr=49\r\n", OUTBOX_OTCLAN_ERR, ci + "/W.CI",
          root(LOCAL + "/W.G"));
    ASSERT_EQ(outbox_commit(), 1);
    boxtest::remove_file(root(LOCAL + "/V.G"));
    write_file(root(LOCAL + "/W.G"), "");
    write_file(root(LOCAL + "/V.G.tmp"), "sealed"); // a copy the stop cut off
    outbox_init();
    EXPECT_EQ(read_file(root(LOCAL + "/V.G")), "sealed V\r\n");
    EXPECT_EQ(read_file(root(LOCAL + "/W.G")), "sealed W\r\nerr=49\r\n");
    boxtest::remove_file(root("/home/KELDRAN/DATA/offline.state"));
    outbox_deliver();
    EXPECT_EQ(read_file(root(RES + "/V.G")), "sealed V\r\n");
    EXPECT_EQ(read_file(root(LOCAL + "/V.G")), "sealed V\r\n") << "the copy stays";
    EXPECT_EQ(read_file(root(LOCAL + "/W.G.err")), "sealed W\r\nerr=49\r\n");
    EXPECT_FALSE(exists(root(LOCAL + "/W.G")));
}

TEST_F(Outbox, OtclanErrorFileSealedOfflineBecomesTheErrCopyOnceBack) {
    const std::string order = root("/mnt/GIEGLAN/CI/V.CI"), local = root(LOCAL + "/V.G");
    mkdir(root("/mnt/GIEGLAN/CI").c_str(), 0755);
    write_file(order, "order");
    write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    stage(root(RES + "/V.G"), "sealed\r\nerr=49\r\n", OUTBOX_OTCLAN_ERR, order, local);
    ASSERT_EQ(outbox_commit(), 1);
    EXPECT_EQ(list_dir(root(LOCAL)), Strings{"V.G"}) << "offline: the local copy only";
    boxtest::remove_file(root("/home/KELDRAN/DATA/offline.state"));
    outbox_deliver();
    EXPECT_EQ(list_dir(root(LOCAL)), Strings{"V.G.err"});
    EXPECT_EQ(read_file(local + ".err"), "sealed\r\nerr=49\r\n");
    EXPECT_TRUE(list_dir(root(RES)).empty());
    EXPECT_EQ(logged(log(), local), Strings{"ERREUR sur fichier " + local + ".err"});
}

// Only the share's "no such file" from the order's directory sets a sealed result aside
// as an orphan: a directory missing (a share that is not mounted) or an order file that
// cannot be looked at leaves it waiting, with the other files for its place.
TEST_F(Outbox, OtclanResultWaitsWhileTheShareCannotSayWhetherItsOrderIsThere) {
    const std::string ci = root("/mnt/GIEGLAN/CI"), order = ci + "/V.CI";
    const std::string local = root(LOCAL + "/V.G");
    stage(root(RES + "/V.G"), "sealed V\r\n", OUTBOX_OTCLAN, order, local);
    stage(root(RES + "/W.G"), "sealed W\r\n", OUTBOX_OTCLAN, ci + "/W.CI", root(LOCAL + "/W.G"));
    ASSERT_EQ(outbox_commit(), 1);
    EXPECT_EQ(entries().size(), 2u) << "no CI directory: both wait";
    mkdir(ci.c_str(), 0755);
    write_file(ci + "/W.CI", "order");
    ASSERT_EQ(symlink("V.CI", order.c_str()), 0); // cannot be looked at
    outbox_deliver();
    EXPECT_EQ(entries().size(), 2u) << "W waits behind V for the same place";
    EXPECT_EQ(list_dir(root(LOCAL)), Strings({"V.G", "W.G"})) << "no orphan";
    EXPECT_EQ(logged(log(), order), Strings(2, "ERREUR lecture du fichier " + order));
    boxtest::remove_file(order);
    write_file(order, "order");
    outbox_deliver();
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(read_file(root(RES + "/V.G")), "sealed V\r\n");
    EXPECT_EQ(read_file(root(RES + "/W.G")), "sealed W\r\n");
}

TEST_F(Outbox, CleanUpRemovesOnlyDeliveredCopiesOlderThanAWeek) {
    auto copy = [&](const std::string &name, int days) {
        write_file(root(LOCAL + "/" + name), name);
        struct timeval t[2] = {{time(nullptr) - days * 86400 - 60, 0},
                               {time(nullptr) - days * 86400 - 60, 0}};
        utimes(root(LOCAL + "/" + name).c_str(), t);
    };
    copy("OLD.G", 9);
    copy("WEEK.G", 7); // seven whole days: kept, as "find -mtime +7" keeps it
    copy("OLD.O.err", 30);
    copy("OLD.P" OUTBOX_ORPHAN, 30);
    mkdir(root("/mnt/GIEGLAN/CI").c_str(), 0755);
    write_file(root("/mnt/GIEGLAN/CI/WAIT.CI"), "order");
    boxtest::set_network(1);
    stage(root(RES + "/WAIT.G"), "WAIT.G", OUTBOX_OTCLAN, root("/mnt/GIEGLAN/CI/WAIT.CI"),
          root(LOCAL + "/WAIT.G"));
    ASSERT_EQ(outbox_commit(), 1);
    copy("WAIT.G", 9); // the local copy of a result still waiting
    outbox_clean_copies();
    EXPECT_EQ(list_dir(root(LOCAL)),
              (Strings{"OLD.O.err", "OLD.P" OUTBOX_ORPHAN, "WAIT.G", "WEEK.G"}));
}

// ---- The box's own disk refuses the result ----------------------------------------------

TEST_F(Outbox, FullBoxKeepsTheResultInItsSlotAndTriesAgainAtTheNextPass) {
    boxtest::FakeClock clock;
    giegtype = 1; // a single instrument: the result is handed over by its slot's key
    vehicule &v = finished_vehicle();
    auto pass = [&] {
        tim_program_ms(&TIME_1S, 60000); // no order reading in these passes
        PCaction(0);
    };
    // the outbox cannot be written: a plain file where its directory should be
    boxtest::reset_root();
    boxtest::set_network(0);
    mkdir(root(RES).c_str(), 0755);
    write_file(root(OUTBOX), "");
    testing::internal::CaptureStderr();
    pass();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("le resultat reste au vehicule"), std::string::npos) << err;
    EXPECT_EQ(outbox_refused, 1u);
    EXPECT_STREQ(v.cle, "KEY3      ");
    EXPECT_EQ(termine[3], 1);
    EXPECT_STREQ(data[5], "\x17"
                          "0200AB123CD\x17"
                          "050200.1")
        << "the result stays";

    pass();
    EXPECT_EQ(outbox_refused, 1u) << "not before the retry is due";
    clock.advance_us((OUTBOX_RETRY_MS + 100) * 1000LL);
    pass();
    EXPECT_EQ(outbox_refused, 2u) << "tried again, refused again";
    EXPECT_EQ(termine[3], 1);

    boxtest::remove_file(root(OUTBOX));
    clock.advance_us((OUTBOX_RETRY_MS + 100) * 1000LL);
    pass();
    EXPECT_EQ(outbox_refused, 2u);
    std::string g = read_file(root(RES + "/KEY3.G"));
    EXPECT_NE(g.find("\r\n0502=00.1\r\n"), std::string::npos) << g;
    EXPECT_STREQ(v.cle, "") << "emptied once stored";
    EXPECT_EQ(data[5][0], 0);
    EXPECT_EQ(termine[3], 0);
    const std::string k3 = root("/" + RES + "/KEY3.G"); // the writer's path
    EXPECT_EQ(
        logged(log(), k3),
        (Strings{"ERREUR stockage du fichier " + k3, "Nouvel essai de stockage du fichier " + k3,
                 "ERREUR stockage du fichier " + k3, "Nouvel essai de stockage du fichier " + k3,
                 "Ecriture du fichier " + k3}));
}

// A real small file system over the outbox, filled up then freed; the hub's result frames
// of another vehicle come meanwhile.
class SmallDisk : public Outbox {
  protected:
    bool mounted = false;
    void TearDown() override {
        if (mounted) umount2(root(OUTBOX).c_str(), MNT_DETACH);
    }
};

TEST_F(SmallDisk, RefusedResultIsStoredAgainForItsOwnSlotWhateverFrameCameSince) {
    boxtest::FakeClock clock;
    ASSERT_EQ(mount("tmpfs", root(OUTBOX).c_str(), "tmpfs", 0, "size=256k"), 0)
        << "the test runs as root";
    mounted = true;
    giegtype = 2;
    vehicule &v = finished_vehicle();
    snprintf(cle_get_data, sizeof cle_get_data, "KEY3      ");
    journal_of[3] = journal_write(3, data[5]); // as the reception kept it
    ASSERT_NE(journal_of[3], 0u);
    // the outbox's disk is full to the last byte
    const std::string filler = root(OUTBOX + "/filler");
    FILE *f = fopen(filler.c_str(), "w");
    ASSERT_NE(f, nullptr);
    static char block[4096];
    while (fwrite(block, 1, sizeof block, f) == sizeof block && fflush(f) == 0) {
    }
    fclose(f);
    auto pass = [&] {
        tim_program_ms(&TIME_1S, 60000); // no order reading in these passes
        PCaction(0);
    };
    pass();
    EXPECT_EQ(outbox_refused, 1u);
    EXPECT_EQ(termine[3], 1) << "the slot keeps its result";

    // meanwhile another vehicle's result frame came in
    snprintf(enveloppe, sizeof enveloppe, "%s",
             linktest::frame("0122KEY9      \x17"
                             "0200ZZ999ZZ")
                 .c_str());
    boxtest::remove_file(filler);
    clock.advance_us((OUTBOX_RETRY_MS + 100) * 1000LL);
    pass();
    EXPECT_EQ(outbox_refused, 1u);
    const std::string k3 = root("/" + RES + "/KEY3.G"); // the writer's path
    EXPECT_NE(read_file(k3).find("\r\n0502=00.1\r\n"), std::string::npos);
    EXPECT_STREQ(v.cle, "") << "emptied once stored";
    EXPECT_EQ(journal_next(0), 0u) << "and its journal entry removed";
    EXPECT_EQ(logged(log(), k3),
              (Strings{"ERREUR stockage du fichier " + k3,
                       "Nouvel essai de stockage du fichier " + k3, "Ecriture du fichier " + k3}));
}
