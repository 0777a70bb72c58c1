// The clock seam: all reading of time and all sleeping in the library goes
// through the installed Clock. Production code uses the system clock; tests
// install a FakeClock whose time moves only when code sleeps or the test
// advances it, so a 20-second timeout runs in microseconds on the same path.
#ifndef NVT_SUPPORT_CLOCK_H
#define NVT_SUPPORT_CLOCK_H

#include <cstdint>

namespace nvtclock {

class Clock {
public:
    virtual ~Clock() = default;
    // High-resolution counter; false when there is none.
    virtual bool PerformanceFrequency(uint64_t& aCountsPerSecond) = 0;
    virtual uint64_t PerformanceCounter() = 0;
    // Wall clock: seconds since the epoch and milliseconds.
    virtual void WallClock(int64_t& aSeconds, uint32_t& aMilliseconds) = 0;
    virtual void SleepMs(uint32_t aMilliseconds) = 0;
};

// The clock in use.
Clock& Current();
// Installs a clock (not owned); null goes back to the system clock. The
// stopwatch time source is set up anew from the new clock.
void Install(Clock* aClock);
// Sleeps through the installed clock.
inline void SleepMs(uint32_t aMilliseconds) { Current().SleepMs(aMilliseconds); }

// Manual clock for tests. Starts at a wall-clock time of aStartSeconds and
// advances by exactly the time slept.
class FakeClock : public Clock {
public:
    explicit FakeClock(int64_t aStartSeconds = 1000000, bool aHasCounter = true)
        : mStartSeconds(aStartSeconds), mHasCounter(aHasCounter) {}
    bool PerformanceFrequency(uint64_t& aCountsPerSecond) override;
    uint64_t PerformanceCounter() override;
    void WallClock(int64_t& aSeconds, uint32_t& aMilliseconds) override;
    void SleepMs(uint32_t aMilliseconds) override;

    void AdvanceMs(uint64_t aMilliseconds) { mNowUs += aMilliseconds * 1000; }
    void AdvanceUs(uint64_t aMicroseconds) { mNowUs += aMicroseconds; }
    uint64_t NowMs() const { return mNowUs / 1000; }
    uint64_t Sleeps() const { return mSleeps; }
    uint64_t SleptMs() const { return mSleptMs; }

private:
    int64_t mStartSeconds;
    bool mHasCounter;
    uint64_t mNowUs = 0;   // time since the start, microseconds
    uint64_t mSleeps = 0;
    uint64_t mSleptMs = 0;
};

// Installs a FakeClock for the lifetime of the object.
class ScopedFakeClock {
public:
    explicit ScopedFakeClock(int64_t aStartSeconds = 1000000, bool aHasCounter = true)
        : mClock(aStartSeconds, aHasCounter) { Install(&mClock); }
    ~ScopedFakeClock() { Install(nullptr); }
    ScopedFakeClock(const ScopedFakeClock&) = delete;
    ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
    FakeClock& operator*() { return mClock; }
    FakeClock* operator->() { return &mClock; }

private:
    FakeClock mClock;
};

}  // namespace nvtclock

#endif
