// The factory provisioning program, run for real in the dev sandbox over a few passes
// (it polls once a second): requests served one per pass, date first; exact command
// lines; acknowledgement and board identity lines rewritten without tearing the
// lines around them; nothing acted on without a readable production file or with a
// date that cannot be built.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxtest.h"

using boxtest::exists;
using boxtest::read_file;
using boxtest::root;
using boxtest::set_immutable;
using boxtest::wait_until;

namespace {

const char *const kProd = "/home/KELDRAN/DATA/PRODUCTION.txt";
const char *const kBoard = "/etc/board_id";
const char *const kMarker = "/home/KELDRAN/DATA/PROD";

// A tagged line written at a field width, as the program writes them.
std::string padded(const std::string &head, const std::string &value, int width) {
    std::string v = value;
    v.resize(std::max<size_t>(v.size(), (size_t)width), ' ');
    return head + v + "\n";
}

// Replaces a sandbox file whole (temporary file, then rename), so that the polling
// program never reads it half written.
void put(const std::string &rel, const std::string &content) {
    std::string tmp = root(rel) + ".put";
    boxtest::write_file(tmp, content);
    ASSERT_EQ(rename(tmp.c_str(), root(rel).c_str()), 0);
}

std::string prod() {
    return read_file(root(kProd));
}
std::string board() {
    return read_file(root(kBoard));
}
std::vector<std::string> commands() {
    return boxtest::lines_of(read_file(root("/commands.log")));
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

int commands_named(const std::string &prefix) {
    int n = 0;
    for (const auto &c : commands())
        if (c.compare(0, prefix.size(), prefix) == 0) n++;
    return n;
}

double mtime_of(const std::string &rel) {
    struct stat st {};
    stat(root(rel).c_str(), &st);
    return (double)st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
}

// Counts the openings of the production file by anyone, so that a test can wait for the
// program's passes to go by (each opens it five times: the check, then four lookups).
// Closings are watched too: they keep successive openings from being merged into one.
struct ProdOpenings {
    int fd = inotify_init1(IN_NONBLOCK);
    int seen = 0;
    ProdOpenings() {
        inotify_add_watch(fd, root("/home/KELDRAN/DATA").c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
    }
    ~ProdOpenings() { close(fd); }
    int count() {
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            for (char *p = buf; p < buf + n;) {
                const inotify_event *e = (const inotify_event *)p;
                if ((e->mask & IN_OPEN) && e->len && strcmp(e->name, "PRODUCTION.txt") == 0) seen++;
                p += sizeof(inotify_event) + e->len;
            }
        return seen;
    }
};

const std::string kChmod1 = "chmod 777 " + root("/mnt/usbflash/PARAM_VARN.txt");
const std::string kChmod2 = "chmod 777 " + root("/mnt/usbflash2/PARAM_VARN.txt");

// The program of the dev build, its console output in the sandbox.
boxtest::Proc start() {
    return boxtest::spawn(boxtest::provisioning_bin(), {}, root("/prov.out"));
}

class Provisioning : public ::testing::Test {
  protected:
    void SetUp() override {
        set_immutable(root(kProd), false); // left over by an interrupted run
        set_immutable(root("/etc"), false);
        boxtest::reset_root();
    }
    void TearDown() override { set_immutable(root("/etc"), false); }
};

TEST_F(Provisioning, ServesDateThenSerialThenRebootOnePassEach) {
    const std::string others = "#028# 06 / 12 / 2026 \r\n#029#10:30:00\r\n";
    put(kProd, padded("#002#", "1", 40) + others + padded("#030#", "199999", 40) +
                   padded("#031#", "0", 40) + padded("#032#", "1", 10) + "#099#last\n");
    const std::string before = "export BOARD_NAME=\"b7\"\n";
    const std::string after = "export REV=3\n";
    put(kBoard, before + padded("export SERIAL_NUMBER=", "\"1234\"", 19) + after);
    boxtest::Proc proc = start();

    ASSERT_TRUE(wait_until([] { return commands_named("reboot") == 1; }, 20000)) << proc.output();
    EXPECT_EQ(commands(),
              (std::vector<std::string>{kChmod1, kChmod2, "date -u \"2026-12-06 10:30:00\"",
                                        "hwclock -u -w", "reboot"}));
    EXPECT_TRUE(exists(root(kMarker)));
    EXPECT_EQ(prod(), padded("#002#", "4", 40) + others + padded("#030#", "199999", 40) +
                          padded("#031#", "1", 40) + padded("#032#", "2", 10) + "#099#last\n");
    // The serial line had the new line's width: replaced in place, size unchanged.
    EXPECT_EQ(board(), before + padded("export SERIAL_NUMBER=", "\"199999\"", 19) + after);
    EXPECT_EQ(padded("export SERIAL_NUMBER=", "\"199999\"", 19).size(), 41u);

    // One request a pass, passes a second apart: the marker (date pass), the board
    // identity file (serial pass) and the last rewrite (reboot pass) are that far apart.
    EXPECT_GE(mtime_of(kBoard) - mtime_of(kMarker), 0.9);
    EXPECT_GE(mtime_of(kProd) - mtime_of(kBoard), 0.9);
}

TEST_F(Provisioning, SerialIsWrittenOnlyFrom2To199999AndOnlyOnRequest) {
    // The reboot request ranks below the serial one: a pass that serves the reboot
    // shows that the serial request of the same file was not one.
    const std::string board_start = "export BOARD_NAME=\"b7\"\nexport REV=3"; // no final LF
    put(kBoard, board_start);
    boxtest::Proc proc = start();
    struct Case {
        std::string serial_lines;
        const char *why;
    };
    const Case refused[] = {
        {padded("#030#", "1", 40) + padded("#031#", "0", 40), "serial 1"},
        {padded("#030#", "200000", 40) + padded("#031#", "0", 40), "serial 200000"},
        {padded("#030#", "199999", 40) + padded("#031#", "1", 40), "already written"},
        {padded("#030#", "5", 40), "no serial state line"},
        {padded("#030#", "5", 40) + padded("#031#", "256", 40), "state beyond a char"},
    };
    int reboots = 0;
    for (const auto &c : refused) {
        // A hand-written short "#032#1" line, followed by another line.
        put(kProd, c.serial_lines + "#032#1\n#040#next line\n");
        ASSERT_TRUE(wait_until([&] { return commands_named("reboot") == reboots + 1; }, 10000))
            << c.why << "\n"
            << proc.output();
        reboots++;
        EXPECT_EQ(prod(), c.serial_lines + padded("#032#", "2", 10) + "#040#next line\n") << c.why;
        EXPECT_EQ(board(), board_start) << c.why;
    }

    // Serial 2: the board identity file has no serial line, so it gets one at its end.
    put(kProd, padded("#030#", "2", 40) + padded("#031#", "0", 40));
    ASSERT_TRUE(wait_until([] { return prod().find("#031#1") != std::string::npos; }, 5000));
    EXPECT_EQ(board(), board_start + "\n" + padded("export SERIAL_NUMBER=", "\"2\"", 19));

    // 199999 over a short unpadded serial line, with a short "#031#0" line: both lines
    // are replaced whole and the lines behind them stay intact.
    put(kBoard, "export SERIAL_NUMBER=\"12\"\nexport REV=3\n");
    put(kProd, "#030#199999\n#031#0\n#033#keep\n");
    ASSERT_TRUE(wait_until([] { return prod().find("#031#1") != std::string::npos; }, 5000));
    EXPECT_EQ(prod(), "#030#199999\n" + padded("#031#", "1", 40) + "#033#keep\n");
    EXPECT_EQ(board(), padded("export SERIAL_NUMBER=", "\"199999\"", 19) + "export REV=3\n");
    EXPECT_EQ(commands_named("date"), 0);
}

TEST_F(Provisioning, SerialIsAcknowledgedOnlyOnceWritten) {
    // The board identity file stays writable but its directory takes no new file: a
    // serial line of the old one's length is written in place.
    const std::string rev = "export REV=3\n";
    put(kBoard, padded("export SERIAL_NUMBER=", "\"1234\"", 19) + rev);
    if (!set_immutable(root("/etc"), true)) GTEST_SKIP() << "no immutable directories here";
    put(kProd, padded("#030#", "4321", 40) + padded("#031#", "0", 40));
    ProdOpenings openings;
    boxtest::Proc proc = start();
    ASSERT_TRUE(wait_until([] { return prod().find("#031#1") != std::string::npos; }, 5000))
        << proc.output();
    EXPECT_EQ(board(), padded("export SERIAL_NUMBER=", "\"4321\"", 19) + rev);

    // A line of another length needs a new file: the request waits, reported once,
    // however many passes go by, and is served once the directory takes files again.
    set_immutable(root("/etc"), false);
    const std::string short_line = "export SERIAL_NUMBER=\"12\"\n" + rev;
    put(kBoard, short_line);
    set_immutable(root("/etc"), true);
    put(kProd, padded("#030#", "77", 40) + padded("#031#", "0", 40));
    const std::string pending = "numero de serie 77 non ecrit";
    ASSERT_TRUE(wait_until([&] { return count_of(proc.output(), pending) == 1; }, 5000))
        << proc.output();
    const int seen = openings.count();
    ASSERT_TRUE(wait_until([&] { return openings.count() >= seen + 11; }, 5000));
    EXPECT_EQ(count_of(proc.output(), pending), 1) << proc.output();
    EXPECT_NE(prod().find("#031#0"), std::string::npos);
    EXPECT_EQ(board(), short_line);

    set_immutable(root("/etc"), false);
    ASSERT_TRUE(wait_until([] { return prod().find("#031#1") != std::string::npos; }, 5000))
        << proc.output();
    EXPECT_EQ(board(), padded("export SERIAL_NUMBER=", "\"77\"", 19) + rev);
}

TEST_F(Provisioning, NothingIsActedOnWithoutTheProductionFile) {
    put(kBoard, "export REV=3\n");
    boxtest::Proc proc = start();
    const std::string missing = "Fichier introuvable.";
    ASSERT_TRUE(wait_until([&] { return count_of(proc.output(), missing) >= 2; }, 5000))
        << proc.output();
    EXPECT_FALSE(exists(root("/commands.log")));
    EXPECT_FALSE(exists(root(kMarker)));

    // A request served, then the file gone: later passes act on nothing they read before.
    put(kProd, padded("#002#", "1", 40) + "#028#06/12/2026\n#029#10:30:00\n");
    ASSERT_TRUE(wait_until([] { return commands_named("hwclock") == 1; }, 5000)) << proc.output();
    ASSERT_TRUE(wait_until([] { return prod().find("#002#4") != std::string::npos; }, 3000));
    boxtest::remove_file(root(kProd));
    int seen = count_of(proc.output(), missing);
    ASSERT_TRUE(wait_until([&] { return count_of(proc.output(), missing) >= seen + 3; }, 6000));
    EXPECT_EQ(commands().size(), 4u) << proc.output();
    EXPECT_EQ(board(), "export REV=3\n");
    EXPECT_FALSE(exists(root(kProd)));
}

TEST_F(Provisioning, DateOrTimeThatCannotBeBuiltIsNeverSentToDate) {
    put(kBoard, "export REV=3\n");
    boxtest::Proc proc = start();
    const std::string refusal = "Date ou heure invalide";
    const std::string rest = padded("#030#", "77", 40) + padded("#031#", "0", 40);
    const struct {
        std::string date, time;
    } bad[] = {
        {"06/12", "10:30:00"},                  // too short
        {"06 / 1X / 2026", "10:30:00"},         // letter where a digit is read
        {"2026-12-06", "10:30:00"},             // year first
        {"06/13/2026", "10:30:00"},             // no month 13
        {"06/12/2026", ""},                     // no time
        {"06/12/2026", "10:30:00\";reboot;\""}, // more than a time
        {"06/12/2026", "10:60"},                // no minute 60
        {"06/12/2026", std::string(300, '1')},  // longer than any working text
        {"00/12/2026", "10:30:00"},             // no day 0
        {"31/02/2026", "10:30:00"},             // no 31 February
        {"31/04/2026", "10:30:00"},             // April has 30 days
        {"29/02/2100", "10:30:00"},             // 2100 is no leap year
    };
    // The refusal names the texts it refused, without blanks and cut to 59 characters.
    auto shown = [](std::string t) {
        t.erase(std::remove(t.begin(), t.end(), ' '), t.end());
        return "[" + t.substr(0, 59) + "]";
    };
    for (const auto &b : bad) {
        put(kProd, padded("#002#", "1", 40) + "#028#" + b.date + "\n#029#" + b.time + "\n" + rest);
        const std::string message =
            refusal + ", demande non servie : " + shown(b.date) + " " + shown(b.time);
        ASSERT_TRUE(wait_until([&] { return count_of(proc.output(), message) > 0; }, 5000))
            << message << "\n"
            << proc.output();
        EXPECT_FALSE(exists(root("/commands.log"))) << b.date << " " << b.time;
        EXPECT_FALSE(exists(root(kMarker)));
        // The date request stays pending and, coming first, holds the others back.
        EXPECT_EQ(prod().substr(0, 6), "#002#1");
        EXPECT_EQ(board(), "export REV=3\n");
    }

    // Blanks anywhere are dropped; a one-digit hour without seconds is a time; 2028 is a
    // leap year.
    put(kProd, padded("#002#", "1", 40) + "#028# 2 9/0 2/ 2 0 2 8\n#029# 9 : 05 \n" + rest);
    ASSERT_TRUE(wait_until([] { return commands_named("hwclock") == 1; }, 5000)) << proc.output();
    EXPECT_EQ(commands()[2], "date -u \"2028-02-29 9:05\"");
    EXPECT_TRUE(exists(root(kMarker)));
}

TEST_F(Provisioning, RebootWaitsUntilItsAcknowledgementIsStored) {
    put(kProd, padded("#032#", "1", 10));
    if (!set_immutable(root(kProd), true)) GTEST_SKIP() << "no immutable files here";
    boxtest::Proc proc = start();
    const std::string cancelled = "redemarrage annule";
    bool refused = wait_until([&] { return count_of(proc.output(), cancelled) >= 2; }, 5000);
    set_immutable(root(kProd), false);
    ASSERT_TRUE(refused) << proc.output();
    EXPECT_EQ(commands_named("reboot"), 0);

    ASSERT_TRUE(wait_until([] { return commands_named("reboot") == 1; }, 8000)) << proc.output();
    EXPECT_EQ(prod(), padded("#032#", "2", 10));
}

} // namespace
