// Clock synchronisation and network check: the PC's time taken from the status-change
// time of a file on the share (faked here), the 2015-2099 window, the commands given
// to the command runner (logged, never run for date and hwclock), the 2012 fallback
// and the offline marker with the green LED.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>

#include "boxtest.h"
#include "file_param.h"
#include "heartbeat.h"
#include "network.h"
#include "synchro.h"

using boxtest::root;

namespace {

time_t fake_ctime;
std::string stat_path;    // path asked of the file server
std::string stat_content; // content of the clock file when it was asked

int fake_share_stat(const char *path, struct stat *st) {
    stat_path = path;
    stat_content = boxtest::read_file(path);
    int r = stat(path, st);
    if (r == 0) st->st_ctime = fake_ctime;
    return r;
}

time_t local(int y, int mo, int d, int h, int mi, int s) {
    struct tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string commands() { return boxtest::read_file(root("/commands.log")); }

class SyncHour : public ::testing::Test {
  protected:
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        boxtest::set_network(0);
        snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
        snprintf(save_serie, sizeof save_serie, "1234");
        save_path_gieglan[0] = 0;
        lenght_path = 0;
        mkdir(root("/mnt/GIEGLAN/ID").c_str(), 0755);
        mkdir(root("/mnt/GIEGLAN/SYNC").c_str(), 0755);
        share_stat = fake_share_stat;
        stat_path.clear();
        stat_content.clear();
    }
    void TearDown() override { share_stat = stat; }
};

TEST_F(SyncHour, AcceptsOnlyPcClocksFrom2015To2099) {
    struct Case {
        time_t pc;
        int accepted;
        const char *date_cmd;
    } cases[] = {
        {local(2014, 12, 31, 23, 59, 59), 0, nullptr},
        {local(2015, 1, 1, 0, 0, 0), 1, "date \"2015-01-01 00:00:00\""},
        {local(2099, 12, 31, 23, 59, 59), 1, "date \"2099-12-31 23:59:59\""},
        {local(2100, 1, 1, 0, 0, 0), 0, nullptr},
    };
    // a delivered local copy of nine days: the clean-up that follows a synchronisation
    const std::string old_copy = root("/home/KELDRAN/DATA/log/RES/OLD.G");
    mkdir(root("/home/KELDRAN/DATA/log/RES").c_str(), 0755);
    for (const Case &c : cases) {
        boxtest::remove_file(root("/commands.log"));
        boxtest::write_file(old_copy, "old");
        struct timeval old[2] = {{time(nullptr) - 9 * 86400, 0}, {time(nullptr) - 9 * 86400, 0}};
        utimes(old_copy.c_str(), old);
        fake_ctime = c.pc;
        EXPECT_EQ(sync_hour(), c.accepted) << c.pc;
        std::string log = commands();
        if (c.accepted) {
            EXPECT_NE(log.find(std::string(c.date_cmd) + "\n"), std::string::npos) << log;
            EXPECT_NE(log.find("hwclock -u -w\n"), std::string::npos) << log;
            EXPECT_FALSE(boxtest::exists(old_copy));
        } else {
            EXPECT_EQ(log.find("date"), std::string::npos) << log;
            EXPECT_EQ(log.find("hwclock"), std::string::npos) << log;
            EXPECT_TRUE(boxtest::exists(old_copy));
        }
    }
}


TEST_F(SyncHour, ClockFilePathFollowsProtocolAndSubDirectory) {
    fake_ctime = local(2020, 6, 15, 10, 20, 30);
    EXPECT_EQ(sync_hour(), 1);
    EXPECT_EQ(stat_path, root("//mnt/GIEGLAN/ID/hour1234"));
    EXPECT_EQ(stat_content, "cool\n");
    EXPECT_FALSE(boxtest::exists(stat_path)) << "the clock file lives only for the synchronisation";

    snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
    EXPECT_EQ(sync_hour(), 1);
    EXPECT_EQ(stat_path, root("//mnt/GIEGLAN/SYNC/hour1234"));

    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "ST01");
    lenght_path = 4;
    mkdir(root("/mnt/GIEGLAN/ST01").c_str(), 0755);
    mkdir(root("/mnt/GIEGLAN/ST01/ID").c_str(), 0755);
    EXPECT_EQ(sync_hour(), 1);
    EXPECT_EQ(stat_path, root("//mnt/GIEGLAN/ST01/ID/hour1234"));

    // a sub-directory of two characters does not count
    snprintf(save_path_gieglan, sizeof save_path_gieglan, "ST");
    lenght_path = 2;
    EXPECT_EQ(sync_hour(), 1);
    EXPECT_EQ(stat_path, root("//mnt/GIEGLAN/ID/hour1234"));
}

TEST_F(SyncHour, FirstSyncCountsOneThenTwo) {
    fake_ctime = local(2020, 6, 15, 10, 20, 30);
    ASSERT_EQ(first_Sync, 0);
    sync_hour();
    EXPECT_EQ(first_Sync, 1);
    sync_hour();
    EXPECT_EQ(first_Sync, 2);
    sync_hour();
    EXPECT_EQ(first_Sync, 2);
    fake_ctime = local(2014, 1, 1, 0, 0, 0);
    sync_hour(); // refused: the count stays
    EXPECT_EQ(first_Sync, 2);
}

TEST_F(SyncHour, ShareThatCannotBeWrittenGivesNoSync) {
    rmdir(root("/mnt/GIEGLAN/ID").c_str());
    fake_ctime = local(2020, 6, 15, 10, 20, 30);
    EXPECT_EQ(sync_hour(), 0);
    EXPECT_EQ(commands().find("date"), std::string::npos);
}

TEST_F(SyncHour, UnreachableNetworkTouchesNothingAndOldBoxClockFallsBackTo2012) {
    boxtest::set_network(1);
    fake_ctime = local(2020, 6, 15, 10, 20, 30);
    {
        boxtest::FakeClock clock(local(2011, 7, 1, 12, 0, 0));
        EXPECT_EQ(sync_hour(), 0);
    }
    EXPECT_TRUE(stat_path.empty()) << "the share was asked although the network is down";
    std::string log = commands();
    EXPECT_NE(log.find("testNetwork.sh\n"), std::string::npos);
    EXPECT_NE(log.find("date \"2012-01-01 01:01:01\"\nhwclock -u -w\n"), std::string::npos) << log;

    boxtest::remove_file(root("/commands.log"));
    {
        boxtest::FakeClock clock(local(2013, 7, 1, 12, 0, 0));
        EXPECT_EQ(sync_hour(), 0);
    }
    EXPECT_EQ(commands().find("date"), std::string::npos) << "a 2013 box clock is kept";
}

TEST(TestNetwork, OfflineMarkerDarkensLitLedAndSkipsTheScript) {
    boxtest::reset_root();
    boxtest::reset_state();
    boxtest::set_network(0);
    boxtest::write_file(root("/home/KELDRAN/DATA/offline.state"), "");
    boxtest::write_file(root("/home/KELDRAN/DATA/GREEN_LED_ON"), "");
    led_green_status = 1;
    EXPECT_EQ(testNetwork(), -1);
    EXPECT_EQ(led_green_status, 0);
    EXPECT_FALSE(boxtest::exists(root("/home/KELDRAN/DATA/GREEN_LED_ON")));
    EXPECT_EQ(boxtest::read_file(root("/dev/gpio")), "0x420B 80\n");
    EXPECT_EQ(commands().find("testNetwork.sh"), std::string::npos);

    // LED already dark: no LED request, the marker is left alone
    boxtest::write_file(root("/home/KELDRAN/DATA/GREEN_LED_ON"), "");
    boxtest::write_file(root("/dev/gpio"), "");
    EXPECT_EQ(testNetwork(), -1);
    EXPECT_EQ(boxtest::read_file(root("/dev/gpio")), "");
    EXPECT_TRUE(boxtest::exists(root("/home/KELDRAN/DATA/GREEN_LED_ON")));
}

TEST(TestNetwork, WithoutOfflineMarkerAnswersTheScriptStatus) {
    boxtest::reset_root();
    boxtest::reset_state();
    boxtest::set_network(0);
    EXPECT_EQ(testNetwork(), 0);
    boxtest::set_network(3);
    EXPECT_EQ(testNetwork(), 3);
    EXPECT_NE(commands().find("testNetwork.sh\n"), std::string::npos);
    boxtest::remove_file(root("/bin/testNetwork.sh"));
    EXPECT_NE(testNetwork(), 0) << "a missing script means no network";
}

} // namespace
