// The POSIX serial port under signals and beside other programs: a timer
// signal does not stretch a time-out, a terminal another program holds in
// exclusive mode is refused (also for a privileged user), and the mode of
// the other program stays set.
#include "core/lasterror.h"
#include "ptypair.h"
#include "support/serialport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gTicks = 0;
constexpr int kMostTicks = 75;  // 1.5 s of ticks, then the timer stops itself

void OnTick(int)
{
    if (++gTicks >= kMostTicks) {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
}

// A timer signal every 20 ms while the object lives.
class Ticker {
public:
    Ticker()
    {
        struct sigaction action {};
        action.sa_handler = OnTick;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no restart: every blocking call sees EINTR
        sigaction(SIGALRM, &action, &mOld);
        gTicks = 0;
        itimerval every{};
        every.it_interval.tv_usec = 20000;
        every.it_value.tv_usec = 20000;
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Ticker()
    {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &mOld, nullptr);
    }

private:
    struct sigaction mOld {};
};

TEST(SerialPortPosixTest, TimerSignalsDoNotStretchTheTimeout)
{
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminals here";
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    ASSERT_TRUE(port.Configure(115200));
    Ticker ticker;
    uint8_t buffer[4] = {};
    uint32_t done = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(port.Read(buffer, 4, done));  // nobody answers: 4 * 10 + 50 ms
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(0u, done);
    EXPECT_GE(gTicks, 3);
    EXPECT_LT(elapsed, 500) << "the signals stretched the time-out";
}

TEST(SerialPortPosixTest, ATerminalHeldExclusivelyElsewhereIsRefusedAndStaysHeld)
{
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminals here";
    // Another program's open, in exclusive mode and without a lock.
    const int other = open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(0, ioctl(other, TIOCEXCL));
    {
        platform::SerialPort port;
        EXPECT_FALSE(port.Open(pty.slaveName().c_str()));
        EXPECT_EQ("Device or resource busy", SystemErrorText());
    }
#ifdef TIOCGEXCL
    int held = 0;
    ASSERT_EQ(0, ioctl(other, TIOCGEXCL, &held));
    EXPECT_NE(0, held) << "the other program's exclusive mode was cleared";
#endif
    ioctl(other, TIOCNXCL);
    close(other);
    // Free again: the port opens, and its own mode goes with it.
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    port.Close();
    const int after = open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(after, 0);
    if (after >= 0) close(after);
}

}  // namespace
