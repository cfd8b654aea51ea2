// Millisecond timers against a fake clock: the boundaries of "strictly more than".
#include <gtest/gtest.h>

#include "boxtest.h"
#include "tim.h"

using boxtest::FakeClock;

TEST(Timer, RunsOutOnlyStrictlyAfterItsDuration) {
    FakeClock clock(1000, 0);
    TIMEMS t{};
    tim_program_ms(&t, 1000);
    clock.set(1000, 999000);
    EXPECT_EQ(tim_verif_program_ms(t), 0) << "999 ms";
    clock.set(1001, 0);
    EXPECT_EQ(tim_verif_program_ms(t), 0) << "exactly 1000 ms";
    clock.set(1001, 1);
    EXPECT_EQ(tim_verif_program_ms(t), 1) << "1000.001 ms";
    EXPECT_EQ(tim_verif_program_ms(t), 1) << "stays run out until re-armed";
    tim_program_ms(&t, 1000);
    EXPECT_EQ(tim_verif_program_ms(t), 0) << "re-arming restarts it";
}

TEST(Timer, ZeroDurationRunsOutAfterOneMicrosecond) {
    FakeClock clock(50, 10);
    TIMEMS t{};
    tim_program_ms(&t, 0);
    EXPECT_EQ(tim_verif_program_ms(t), 0);
    clock.advance_us(1);
    EXPECT_EQ(tim_verif_program_ms(t), 1);
}

TEST(Timer, MicrosecondsBelowTheArmedOnesBorrowFromTheSeconds) {
    FakeClock clock(12, 900000);
    TIMEMS t{};
    tim_program_ms(&t, 200);
    clock.set(13, 50000);
    EXPECT_EQ(tim_verif_program_ms(t), 0);
    clock.set(13, 100000);
    EXPECT_EQ(tim_verif_program_ms(t), 0) << "exactly 200 ms";
    clock.set(13, 100001);
    EXPECT_EQ(tim_verif_program_ms(t), 1);
}

TEST(Timer, NeverArmedTimerCountsAsRunOut) {
    FakeClock clock(1765000000, 0);
    TIMEMS t{};
    EXPECT_EQ(tim_verif_program_ms(t), 1);
}

TEST(Timer, TimerLeftUnpolledForHoursReadsAsRunOut) {
    FakeClock clock(1765000000, 0);
    TIMEMS t{};
    tim_program_ms(&t, 4000000); // a little over an hour
    clock.advance_us(3600LL * 1000000);
    EXPECT_EQ(tim_verif_program_ms(t), 0);
    clock.advance_us(30LL * 24 * 3600 * 1000000); // a month: the microseconds overflow 32 bits
    EXPECT_EQ(tim_verif_program_ms(t), 1);
}

TEST(Timer, NearestDeadlineIsWhenTheFirstOfTheTimersRunsOut) {
    FakeClock clock(2000, 500000);
    TIMEMS slow{}, fast{}, never{};
    tim_program_ms(&slow, 1000);
    tim_program_ms(&fast, 300);
    const TIMEMS *both[] = {&slow, &fast};
    EXPECT_EQ(tim_nearest_us(both, 2), 300001) << "one microsecond past the duration";
    clock.advance_us(300000);
    EXPECT_EQ(tim_nearest_us(both, 2), 1) << "exactly at its duration it has not run out";
    clock.advance_us(1);
    EXPECT_EQ(tim_nearest_us(both, 2), 0) << "one has run out: no wait at all";
    tim_program_ms(&fast, 1000);
    EXPECT_EQ(tim_nearest_us(both, 2), 700000) << "the other is now the nearest";
    const TIMEMS *with_unarmed[] = {&slow, &never};
    EXPECT_EQ(tim_nearest_us(with_unarmed, 2), 0) << "an unarmed timer counts as run out";
}
