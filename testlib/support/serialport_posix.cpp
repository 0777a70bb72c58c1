// POSIX implementation of the serial-port seam over the terminal interface.
//
// Time-outs are kept by polling: the terminal's own read timer counts in
// tenths of a second, too coarse for the 50 ms interval.
#include "support/serialport.h"

#include "support/serialport_baud.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

// Keeps errno across clean-up calls so the caller still sees the failure.
class ErrnoKeeper {
public:
    ErrnoKeeper() : mSaved(errno) {}
    ~ErrnoKeeper() { errno = mSaved; }

private:
    int mSaved;
};

uint64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The speed constant of a rate, or B0 when the interface has none.
speed_t SpeedConstant(uint32_t aRate)
{
    switch (aRate) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
    default: return B0;
    }
}

uint32_t TotalTimeoutMs(uint32_t aCount)
{
    uint64_t total = static_cast<uint64_t>(aCount) * kSerialPerByteMs + kSerialTotalConstantMs;
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

// Whether a transfer may start; sets errno when not.
bool CanTransfer(bool aOpen, const void* aData, uint32_t aCount)
{
    if (!aOpen) {
        errno = EBADF;
        return false;
    }
    if (aData == nullptr && aCount != 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// Waits for the descriptor; returns 1 when ready, 0 on time-out, -1 on error.
// A signal only interrupts the wait: it goes on for the time that is left,
// so signals (a timer every few milliseconds) never stretch the time-out.
int WaitFor(int aFd, short aEvents, uint32_t aTimeoutMs)
{
    pollfd p{};
    p.fd = aFd;
    p.events = aEvents;
    const uint64_t deadline = NowMs() + aTimeoutMs;
    uint32_t left = aTimeoutMs;
    for (;;) {
        int n = poll(&p, 1, left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left));
        if (n < 0 && errno == EINTR) {
            const uint64_t now = NowMs();
            if (now >= deadline) return 0;
            left = static_cast<uint32_t>(deadline - now);
            continue;
        }
        if (n <= 0) return n;
        // A hang-up or error still lets the next read or write report it.
        return 1;
    }
}

// Moves aCount bytes, aStep (one read or write of what is left) each time
// the descriptor is ready for aEvents, until all are moved, the total
// time-out passes or a step fails; false only on a failure (errno set).
// Reads (POLLIN) end early: once data flows, a pause longer than the read
// interval ends the read, and so does the end of file (a step that moves
// nothing), so that a read does not spin until the deadline.
template <class Step>
bool Transfer(int aFd, short aEvents, uint32_t aCount, uint32_t& aDone, Step aStep)
{
    const bool reading = aEvents == POLLIN;
    const uint64_t deadline = NowMs() + TotalTimeoutMs(aCount);
    while (aDone < aCount) {
        uint64_t now = NowMs();
        if (now >= deadline) break;
        uint32_t wait = static_cast<uint32_t>(deadline - now);
        if (reading && aDone > 0 && wait > kSerialReadIntervalMs) wait = kSerialReadIntervalMs;
        int ready = WaitFor(aFd, aEvents, wait);
        if (ready < 0) return false;
        if (ready == 0) break;
        ssize_t n = aStep();
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        if (n == 0 && reading) break;
        aDone += static_cast<uint32_t>(n);
    }
    return true;
}

// What stands at a port name that is no character device.
const char* NotAPortText(mode_t aMode)
{
    if (S_ISREG(aMode)) return "a regular file";
    if (S_ISDIR(aMode)) return "a folder";
    if (S_ISFIFO(aMode)) return "a FIFO";
    if (S_ISBLK(aMode)) return "a block device";
    if (S_ISSOCK(aMode)) return "a socket";
    return "not a device";
}

}  // namespace

struct SerialPort::SavedSettings {
    termios settings;
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort()
{
    Close();
}

std::string SerialPort::DevicePath(const char* aName)
{
    std::string name = aName != nullptr ? aName : "";
    if (name.find('/') != std::string::npos) return name;
    return "/dev/" + name;
}

bool SerialPort::Open(const char* aName)
{
    Close();
    if (aName == nullptr) {
        errno = EINVAL;
        return false;
    }
    mRefusal.clear();
    // Only a character device is a port: anything else is refused before it
    // is opened for writing (a path such as /etc/shadow is never opened,
    // let alone locked), and the opened file must be the device checked.
    const std::string path = DevicePath(aName);
    struct stat checked{};
    if (::stat(path.c_str(), &checked) != 0) return false;
    if (!S_ISCHR(checked.st_mode)) {
        mRefusal = "\"" + path + "\" is " + NotAPortText(checked.st_mode) + ", not a serial port";
        errno = ENODEV;
        return false;
    }
    // Non-blocking, so the open does not wait for a carrier and a transfer
    // never outlasts its time-out.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat opened{};
    if (fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || opened.st_rdev != checked.st_rdev) {
        ::close(fd);
        mRefusal = "\"" + path + "\" changed while it was opened, not a serial port";
        errno = ENODEV;
        return false;
    }
#ifdef TIOCGEXCL
    // A terminal that another program holds in exclusive mode is in use,
    // even if the open got through (a privileged user's open does).
    int held = 0;
    if (ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0) {
        ::close(fd);
        errno = EBUSY;
        return false;
    }
#endif
    // No sharing: a lock that another open of the same device holds makes
    // this open fail, also for a privileged user.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        errno = error;
        return false;
    }
    mHandle = fd;
    // The settings to give back at Close. A device that is no terminal has
    // none (and fails later, when it is configured).
    auto saved = std::make_unique<SavedSettings>();
    if (tcgetattr(fd, &saved->settings) == 0) mSaved = std::move(saved);
    // The terminal's exclusive mode also keeps out programs that do not lock.
    // Only a mode this open set is cleared again at Close. A device that is
    // no terminal fails later, when it is configured.
    mExclusive = ioctl(fd, TIOCEXCL) == 0;
    // DTR and RTS go low, as the Windows settings have them: fixtures wire
    // them to the reset and boot pins of the device. A line the device does
    // not have is no error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    return true;
}

bool SerialPort::Configure(uint32_t aBaudRate)
{
    if (!IsOpen()) {
        errno = EBADF;
        return false;
    }
    int fd = static_cast<int>(mHandle);
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    // Raw 8N1: no input or output processing, no echo, no signals, receiver
    // on, modem lines ignored, no hardware or software flow control.
    tio.c_iflag = INPCK;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    for (cc_t& c : tio.c_cc) c = 0;
    // Reads return what is there; the time-outs are kept by polling.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed = SpeedConstant(aBaudRate);
    bool custom = speed == B0;
    if (custom) speed = B38400;  // replaced below
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    if (custom) return serialbaud::SetCustomRate(fd, aBaudRate);
    return true;
}

bool SerialPort::SetTimeouts()
{
    // The time-outs are constants applied by every transfer.
    if (!IsOpen()) {
        errno = EBADF;
        return false;
    }
    return true;
}

bool SerialPort::Purge()
{
    if (!IsOpen()) {
        errno = EBADF;
        return false;
    }
    return tcflush(static_cast<int>(mHandle), TCIOFLUSH) == 0;
}

bool SerialPort::Write(const uint8_t* aData, uint32_t aCount, uint32_t& aDone)
{
    aDone = 0;
    if (!CanTransfer(IsOpen(), aData, aCount)) return false;
    const int fd = static_cast<int>(mHandle);
    return Transfer(fd, POLLOUT, aCount, aDone, [&] { return ::write(fd, aData + aDone, aCount - aDone); });
}

bool SerialPort::Read(uint8_t* aData, uint32_t aCount, uint32_t& aDone)
{
    aDone = 0;
    if (!CanTransfer(IsOpen(), aData, aCount)) return false;
    const int fd = static_cast<int>(mHandle);
    return Transfer(fd, POLLIN, aCount, aDone, [&] { return ::read(fd, aData + aDone, aCount - aDone); });
}

void SerialPort::Close()
{
    if (!IsOpen()) return;
    ErrnoKeeper keep;
    int fd = static_cast<int>(mHandle);
    // The line settings belong to the terminal and outlive this descriptor:
    // the next user of the port finds them as they were before.
    if (mSaved) tcsetattr(fd, TCSANOW, &mSaved->settings);
    mSaved.reset();
    // The exclusive mode belongs to the terminal, not to this descriptor:
    // leave it set and the next open of the port would fail.
    if (mExclusive) ioctl(fd, TIOCNXCL);
    ::close(fd);
    mHandle = kClosed;
    mExclusive = false;
}

}  // namespace platform
