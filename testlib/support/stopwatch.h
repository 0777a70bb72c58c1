// Elapsed wall-clock time in whole milliseconds.
//
// Time comes from the high-resolution counter, lined up once per process
// with the wall clock, or from the wall clock alone when there is no
// counter. Copies of a StopWatch share one start time; restarting is done
// by assigning a new StopWatch.
#ifndef NVT_SUPPORT_STOPWATCH_H
#define NVT_SUPPORT_STOPWATCH_H

#include <cstdint>

// Reference-counted base of shared implementation objects.
class Counter {
public:
    Counter() = default;
    virtual ~Counter() = default;
    void AddRef() { ++mRefs; }
    // Returns true when the last reference went away.
    bool Release() { return --mRefs == 0; }

private:
    int32_t mRefs = 1;
};

class StopWatch {
public:
    StopWatch();
    StopWatch(const StopWatch& aOther);
    StopWatch& operator=(const StopWatch& aOther);
    ~StopWatch();

    uint32_t ElapsedMs() const;

    // Forgets the process-wide time source so the next StopWatch sets it up
    // again from the installed clock (used when a clock is installed).
    static void ResetTimeSource();

    struct Time {
        int64_t seconds;
        uint32_t nanoseconds;
    };
    // The current time of the process-wide time source.
    static Time Now();

private:
    class Impl;
    Impl* mImpl;
};

#endif
