#include "support/clock.h"

#include "support/platform.h"
#include "support/stopwatch.h"

namespace nvtclock {

namespace {

class SystemClock : public Clock {
public:
    bool PerformanceFrequency(uint64_t& aCountsPerSecond) override
    {
        return platform::PerformanceFrequency(aCountsPerSecond);
    }
    uint64_t PerformanceCounter() override { return platform::PerformanceCounter(); }
    void WallClock(int64_t& aSeconds, uint32_t& aMilliseconds) override
    {
        platform::WallClock(aSeconds, aMilliseconds);
    }
    void SleepMs(uint32_t aMilliseconds) override { platform::SleepMs(aMilliseconds); }
};

SystemClock& System()
{
    static SystemClock clock;
    return clock;
}

Clock* gInstalled = nullptr;

}  // namespace

Clock& Current()
{
    return gInstalled != nullptr ? *gInstalled : System();
}

void Install(Clock* aClock)
{
    gInstalled = aClock;
    StopWatch::ResetTimeSource();
}

bool FakeClock::PerformanceFrequency(uint64_t& aCountsPerSecond)
{
    // A microsecond counter, like a typical performance counter frequency.
    aCountsPerSecond = 1000000;
    return mHasCounter;
}

uint64_t FakeClock::PerformanceCounter()
{
    // Starts at an arbitrary value, as real counters do.
    return 123456789ull + mNowUs;
}

void FakeClock::WallClock(int64_t& aSeconds, uint32_t& aMilliseconds)
{
    uint64_t ms = mNowUs / 1000;
    aSeconds = mStartSeconds + static_cast<int64_t>(ms / 1000);
    aMilliseconds = static_cast<uint32_t>(ms % 1000);
}

void FakeClock::SleepMs(uint32_t aMilliseconds)
{
    ++mSleeps;
    mSleptMs += aMilliseconds;
    mNowUs += static_cast<uint64_t>(aMilliseconds) * 1000;
}

}  // namespace nvtclock
