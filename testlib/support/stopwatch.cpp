#include "support/stopwatch.h"

#include "support/clock.h"

namespace {

struct TimeSource {
    bool ready = false;
    bool useCounter = false;
    uint64_t frequency = 0;  // low 32 bits of the counter frequency
    uint64_t offset = 0;     // counter value + offset = wall time in counter units
};

TimeSource gSource;

// m * h / 500 rounded to the nearest integer, as the Windows MulDiv does.
int64_t MulDivRounded(int64_t aValue, int64_t aNumerator, int64_t aDenominator)
{
    int64_t product = aValue * aNumerator;
    return (product + aDenominator / 2) / aDenominator;
}

void SetUp()
{
    nvtclock::Clock& clock = nvtclock::Current();
    gSource = TimeSource();
    gSource.ready = true;
    uint64_t f = 0;
    if (!clock.PerformanceFrequency(f) || (f & 0xFFFFFFFFull) == 0) return;
    gSource.useCounter = true;
    gSource.frequency = f & 0xFFFFFFFFull;
    uint64_t c = clock.PerformanceCounter();
    int64_t s = 0;
    uint32_t m = 0;
    clock.WallClock(s, m);
    int64_t h = static_cast<int64_t>(gSource.frequency / 2);
    gSource.offset = static_cast<uint64_t>(s * 2 * h + MulDivRounded(m, h, 500)) - c;
}

}  // namespace

class StopWatch::Impl : public Counter {
public:
    Time start;
};

void StopWatch::ResetTimeSource()
{
    gSource = TimeSource();
}

StopWatch::Time StopWatch::Now()
{
    if (!gSource.ready) SetUp();
    nvtclock::Clock& clock = nvtclock::Current();
    Time t{};
    if (gSource.useCounter) {
        uint64_t v = clock.PerformanceCounter() + gSource.offset;
        uint64_t f = gSource.frequency;
        t.seconds = static_cast<int64_t>(v / f);
        t.nanoseconds = static_cast<uint32_t>(((v % f) / 2) * 2000000000ull / f);
    } else {
        uint32_t ms = 0;
        clock.WallClock(t.seconds, ms);
        t.nanoseconds = ms * 1000000u;
    }
    return t;
}

StopWatch::StopWatch() : mImpl(new Impl)
{
    mImpl->start = Now();
}

StopWatch::StopWatch(const StopWatch& aOther) : mImpl(aOther.mImpl)
{
    mImpl->AddRef();
}

StopWatch& StopWatch::operator=(const StopWatch& aOther)
{
    if (mImpl != aOther.mImpl) {
        aOther.mImpl->AddRef();
        if (mImpl->Release()) delete mImpl;
        mImpl = aOther.mImpl;
    }
    return *this;
}

StopWatch::~StopWatch()
{
    if (mImpl->Release()) delete mImpl;
}

uint32_t StopWatch::ElapsedMs() const
{
    Time now = Now();
    // 32-bit arithmetic; the nanosecond part truncates toward zero.
    uint32_t seconds = static_cast<uint32_t>(now.seconds - mImpl->start.seconds);
    int32_t nanos = static_cast<int32_t>(now.nanoseconds) - static_cast<int32_t>(mImpl->start.nanoseconds);
    return seconds * 1000u + static_cast<uint32_t>(nanos / 1000000);
}
