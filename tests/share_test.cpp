// Work on the share in a worker process, as the programs run it (not inline): the result
// comes back whole; a worker never keeps the link's descriptors, never services the
// heartbeat and never writes the loop's console output twice; a job held by the share
// past its deadline is given up without being waited for, holds off every other job
// until it ends, and is killed when held too long; a worker never outlives the loop's
// process.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "boxtest.h"
#include "heartbeat.h"
#include "share.h"
#include "tim.h"

using boxtest::root;

namespace {

std::vector<int> ends; // how each job ended, in order

struct Result {
    int value;
    int link_open; // the descriptor the loop's process had open was open in the worker
    int heartbeat; // watch_dog as the worker left it
};
Result result;
int link_fd = -1;
std::string fifo;

void quick_run() {
    printf("worker;");
    result.value = 42;
    result.link_open = fcntl(link_fd, F_GETFD) != -1;
    memset(&CLIMBING_LED, 0, sizeof CLIMBING_LED); // due
    memset(&OFFFREQ, 0, sizeof OFFFREQ);
    heartbeat(); // a worker leaves the heartbeat alone
    result.heartbeat = (int)watch_dog;
}

// Held until the test opens the FIFO's other end.
void held_run() {
    share_step();
    boxtest::write_file(root("/worker.pid"), std::to_string(getpid()));
    int fd = open(fifo.c_str(), O_RDONLY);
    if (fd >= 0) close(fd);
    result.value = 7;
}

void note_end(int how) { ends.push_back(how); }

ShareJob job(void (*run)(void), int late_result = 0) {
    return ShareJob{"essai", run, note_end, {{&result, sizeof result}}, late_result};
}

struct ShareWorker : ::testing::Test {
    void SetUp() override {
        boxtest::reset_root();
        boxtest::reset_state();
        ends.clear();
        result = Result{};
        fifo = root("/fifo");
        mkfifo(fifo.c_str(), 0600);
        share_init();
        ASSERT_EQ(share_inline, 0);
        share_step_ms = 300;
        share_kill_ms = 60000;
    }
    void TearDown() override {
        release();
        poll_until([] { return !share_busy(); }, 5000);
        share_inline = 1;
        share_step_ms = SHARE_STEP_MS;
        share_kill_ms = SHARE_KILL_MS;
    }
    static void release() {
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    // The loop's part: share_poll until pred holds; false after timeout_ms.
    template <class Pred> static bool poll_until(Pred pred, int timeout_ms) {
        return boxtest::wait_until(
            [&] {
                share_poll();
                return pred();
            },
            timeout_ms, 5);
    }
};

TEST_F(ShareWorker, ResultComesBackAndTheWorkerKeepsNothingOfTheLoop) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    link_fd = p[0]; // as the equipment's socket would be
    watch_dog = 5;
    testing::internal::CaptureStdout();
    printf("loop;"); // not yet flushed when the worker starts
    const ShareJob j = job(quick_run);
    ASSERT_EQ(share_start(&j), 1);
    EXPECT_TRUE(share_busy());
    ASSERT_TRUE(poll_until([] { return !ends.empty(); }, 3000));
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "loop;worker;") << "each written once";
    EXPECT_EQ(ends, std::vector<int>{SHARE_DONE});
    EXPECT_FALSE(share_busy());
    EXPECT_EQ(result.value, 42);
    EXPECT_EQ(result.link_open, 0) << "the worker closes what it inherits";
    EXPECT_EQ(result.heartbeat, 5);
    EXPECT_FALSE(boxtest::exists(root("/home/KELDRAN/DATA/watch_dog")));
    EXPECT_EQ(fcntl(p[0], F_GETFD), 0) << "the loop's own descriptor stays open";
    close(p[0]);
    close(p[1]);
}

TEST_F(ShareWorker, JobHeldPastItsDeadlineIsGivenUpAndHoldsOffTheNextUntilItEnds) {
    const ShareJob held = job(held_run), quick = job(quick_run);
    ASSERT_EQ(share_start(&held), 1);
    ASSERT_TRUE(poll_until([] { return !ends.empty(); }, 3000));
    EXPECT_EQ(ends, std::vector<int>{SHARE_LATE});
    EXPECT_TRUE(share_stuck());
    // the loop goes on: a look at the held job never waits for it
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++)
        share_poll();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(share_start(&quick), 0) << "no second job while one is held";

    release();
    ASSERT_TRUE(poll_until([] { return ends.size() == 2; }, 3000));
    EXPECT_EQ(ends[1], SHARE_LATE_DONE);
    EXPECT_EQ(result.value, 0) << "a late result is not the share as it is now";
    EXPECT_FALSE(share_busy());

    // a job that wants its late result gets it; one held too long is killed
    const ShareJob wanted = job(held_run, 1);
    ASSERT_EQ(share_start(&wanted), 1);
    ASSERT_TRUE(poll_until([] { return ends.size() == 3; }, 3000));
    release();
    ASSERT_TRUE(poll_until([] { return ends.size() == 4; }, 3000));
    EXPECT_EQ(ends[3], SHARE_LATE_DONE);
    EXPECT_EQ(result.value, 7);
    share_kill_ms = 200;
    ASSERT_EQ(share_start(&held), 1);
    ASSERT_TRUE(poll_until([] { return ends.size() == 6; }, 3000));
    EXPECT_EQ(ends[4], SHARE_LATE);
    EXPECT_EQ(ends[5], SHARE_LOST);
    EXPECT_EQ(share_start(&quick), 1) << "free again";
    ASSERT_TRUE(poll_until([] { return ends.size() == 7; }, 3000));
}

// Whether process pid has ended: gone, or a zombie left for whoever adopted it.
bool ended(pid_t pid) {
    const std::string stat = boxtest::read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

TEST_F(ShareWorker, WorkerHeldByTheShareEndsWithTheLoopsProcess) {
    const pid_t box = fork();
    ASSERT_GE(box, 0);
    if (box == 0) {
        const ShareJob held = job(held_run);
        share_start(&held);
        pause(); // killed while its worker is held
        _exit(0);
    }
    std::string pid;
    ASSERT_TRUE(boxtest::wait_until(
        [&] {
            pid = boxtest::read_file(root("/worker.pid"));
            return !pid.empty();
        },
        3000, 5));
    const pid_t worker = std::stoi(pid);
    EXPECT_FALSE(ended(worker));
    kill(box, SIGKILL);
    waitpid(box, nullptr, 0);
    const bool gone = boxtest::wait_until([&] { return ended(worker); }, 3000, 5);
    if (!gone) kill(worker, SIGKILL);
    EXPECT_TRUE(gone) << "the worker outlived the box";
}

} // namespace
