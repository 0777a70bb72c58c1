#include "support/clock.h"
#include "support/stopwatch.h"

#include <gtest/gtest.h>

namespace {

TEST(StopWatch, CountsAcrossASecondBoundary)
{
    // Started at x.900 s and read at (x+1).100 s.
    for (bool counter : {true, false}) {
        nvtclock::ScopedFakeClock clock(5000, counter);
        clock->AdvanceMs(900);
        StopWatch watch;
        clock->AdvanceMs(200);
        EXPECT_EQ(200u, watch.ElapsedMs()) << "counter " << counter;
    }
}

TEST(StopWatch, FollowsSleepsThroughTheClockSeam)
{
    nvtclock::ScopedFakeClock clock;
    StopWatch watch;
    EXPECT_EQ(0u, watch.ElapsedMs());
    for (int i = 0; i < 2000; ++i) nvtclock::SleepMs(10);
    EXPECT_EQ(20000u, watch.ElapsedMs());
    EXPECT_EQ(2000u, clock->Sleeps());
}

TEST(StopWatch, WallClockAloneGivesWholeMilliseconds)
{
    nvtclock::ScopedFakeClock clock(100, false);
    StopWatch watch;
    clock->AdvanceUs(1999);  // 1.999 ms: the wall clock shows 1 ms
    EXPECT_EQ(1u, watch.ElapsedMs());
}

TEST(StopWatch, CopiesShareTheStartAndAssignmentRestarts)
{
    nvtclock::ScopedFakeClock clock;
    StopWatch first;
    clock->AdvanceMs(50);
    StopWatch copy(first);
    EXPECT_EQ(50u, copy.ElapsedMs());
    copy = StopWatch();
    clock->AdvanceMs(7);
    EXPECT_EQ(7u, copy.ElapsedMs());
    EXPECT_EQ(57u, first.ElapsedMs());
    copy = copy;  // self-assignment keeps the start
    EXPECT_EQ(7u, copy.ElapsedMs());
}

TEST(StopWatch, SubMillisecondCounterTicksTruncate)
{
    nvtclock::ScopedFakeClock clock;
    StopWatch watch;
    clock->AdvanceUs(999);
    EXPECT_EQ(0u, watch.ElapsedMs());
    clock->AdvanceUs(1);
    EXPECT_EQ(1u, watch.ElapsedMs());
}

}  // namespace
