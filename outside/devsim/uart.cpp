// The simulated chip's UART as a pseudo-terminal (see uart.h).
#include "uart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#if defined(__linux__)
// The kernel's terminal record carries the line rate as a number; it must
// not meet <termios.h>, whose record has the same name.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#define DEVSIM_HAVE_PTY 1
#endif

namespace devsim {

namespace {

constexpr size_t kShortEchoBytes = 3;
constexpr uint8_t kGarbleMask = 0x20;

}  // namespace

#if defined(DEVSIM_HAVE_PTY)

namespace {

std::string ErrnoText(const char* aWhat)
{
    return std::string(aWhat) + ": " + std::strerror(errno);
}

// The rate the PC side set on the line; 0 when it cannot be read.
uint32_t LineRate(int aFd)
{
    struct termios2 tio {};
    if (ioctl(aFd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

// Raw 8-bit line without echo, so nothing the chip sends comes back to it.
bool MakeRaw(int aFd)
{
    struct termios2 tio {};
    if (ioctl(aFd, TCGETS2, &tio) != 0) return false;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = (tio.c_cflag & (CBAUD | (CBAUD << IBSHIFT))) | CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ioctl(aFd, TCSETS2, &tio) == 0;
}

}  // namespace

Uart::Uart(UartMode aMode, const std::string&) : mMode(aMode)
{
    mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mMaster < 0) {
        mError = ErrnoText("posix_openpt");
        return;
    }
    char name[128];
    if (grantpt(mMaster) != 0 || unlockpt(mMaster) != 0 || ptsname_r(mMaster, name, sizeof(name)) != 0) {
        mError = ErrnoText("pseudo-terminal set-up");
        return;
    }
    mSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mSlave < 0 || !MakeRaw(mSlave)) {
        mError = ErrnoText("pseudo-terminal slave");
        return;
    }
    int flags = fcntl(mMaster, F_GETFL);
    if (flags < 0 || fcntl(mMaster, F_SETFL, flags | O_NONBLOCK) != 0 || pipe2(mWake, O_CLOEXEC) != 0) {
        mError = ErrnoText("pseudo-terminal master");
        return;
    }
    mDeviceName = name;
    mThread = std::thread([this] { Serve(); });
}

Uart::~Uart()
{
    if (mThread.joinable()) {
        const char stop = 'x';
        ssize_t ignored = write(mWake[1], &stop, 1);
        (void)ignored;
        mThread.join();
    }
    for (int fd : {mWake[0], mWake[1], mSlave, mMaster}) {
        if (fd >= 0) close(fd);
    }
}

void Uart::Serve()
{
    for (;;) {
        pollfd fds[2] = {};
        fds[0].fd = mMaster;
        fds[0].events = POLLIN;
        fds[1].fd = mWake[0];
        fds[1].events = POLLIN;
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) {
            // No slave at all would hang the line up; the held slave keeps
            // that from happening, so anything else is the end of the line.
            if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return;
            continue;
        }
        uint8_t buffer[256];
        ssize_t got = read(mMaster, buffer, sizeof(buffer));
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO) continue;
            return;
        }
        if (got > 0) Answer(buffer, static_cast<size_t>(got));
    }
}

void Uart::Answer(const uint8_t* aData, size_t aCount)
{
    uint8_t reply[kMaxReply];
    const uint32_t lineRate = LineRate(mSlave);
    size_t replyCount = Respond(aData, aCount, &lineRate, reply);
    size_t sent = 0;
    while (sent < replyCount) {
        ssize_t n = write(mMaster, reply + sent, replyCount - sent);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nobody reads the line: the bytes are lost, as on a wire
        }
        sent += static_cast<size_t>(n);
    }
}

#elif defined(_WIN32)

namespace {

constexpr DWORD kPollMs = 50;

std::string SystemText(const char* aWhat)
{
    return std::string(aWhat) + ": system error " + std::to_string(GetLastError());
}

HANDLE PortHandle(intptr_t aPort)
{
    return reinterpret_cast<HANDLE>(aPort);
}

}  // namespace

Uart::Uart(UartMode aMode, const std::string& aLine) : mMode(aMode)
{
    const char* ports = aLine.empty() ? std::getenv("DEVSIM_UART_PORTS") : aLine.c_str();
    const char* comma = ports != nullptr ? std::strchr(ports, ',') : nullptr;
    if (comma == nullptr || comma == ports || comma[1] == '\0') {
        mError = "no serial line for the simulated UART (set DEVSIM_UART_PORTS=PC_PORT,CHIP_PORT)";
        return;
    }
    const std::string chipPort = std::string("\\\\.\\") + (comma + 1);
    HANDLE h = CreateFileA(chipPort.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        mError = SystemText(("cannot open " + chipPort).c_str());
        return;
    }
    mPort = reinterpret_cast<intptr_t>(h);
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    // A read returns as soon as a byte is there, or empty after kPollMs so
    // that the thread sees the stop request.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, kPollMs, 0, 0};
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts) ||
        !PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        mError = SystemText(("cannot set up " + chipPort).c_str());
        return;
    }
    mDeviceName.assign(ports, comma);
    mThread = std::thread([this] { Serve(); });
}

Uart::~Uart()
{
    mStop = true;
    if (mThread.joinable()) mThread.join();
    if (mPort != -1) CloseHandle(PortHandle(mPort));
}

void Uart::Serve()
{
    while (!mStop) {
        uint8_t buffer[256];
        DWORD got = 0;
        if (!ReadFile(PortHandle(mPort), buffer, sizeof(buffer), &got, nullptr)) {
            Sleep(kPollMs);
            continue;
        }
        if (got > 0) Answer(buffer, got);
    }
}

void Uart::Answer(const uint8_t* aData, size_t aCount)
{
    uint8_t reply[kMaxReply];
    size_t replyCount = Respond(aData, aCount, nullptr, reply);
    if (replyCount == 0) return;
    DWORD sent = 0;
    WriteFile(PortHandle(mPort), reply, static_cast<DWORD>(replyCount), &sent, nullptr);
}

#else

// Systems without the pseudo-terminal interface have no simulated UART.
Uart::Uart(UartMode aMode, const std::string&) : mMode(aMode), mError("no pseudo-terminals on this system") {}
Uart::~Uart() = default;
void Uart::Serve() {}
void Uart::Answer(const uint8_t*, size_t) {}

#endif

size_t Uart::Respond(const uint8_t* aData, size_t aCount, const uint32_t* aLineRate, uint8_t* aReply)
{
    size_t replyCount = 0;
    std::lock_guard<std::mutex> guard(mLock);
    // An unconfigured UART takes the bytes in and says nothing.
    if (mStarts == 0) return 0;
    mReceived.append(reinterpret_cast<const char*>(aData), aCount);
    bool rateMatches = aLineRate == nullptr || *aLineRate == mRate;
    for (size_t i = 0; i < aCount && replyCount < kMaxReply; ++i) {
        uint8_t byte = aData[i];
        if (!rateMatches || mMode == UartMode::Garble) {
            aReply[replyCount++] = static_cast<uint8_t>(byte ^ kGarbleMask);
        } else if (mMode == UartMode::Echo) {
            aReply[replyCount++] = byte;
        } else if (mMode == UartMode::Short) {
            if (mAnswered + replyCount < kShortEchoBytes) aReply[replyCount++] = byte;
        }
    }
    mAnswered += replyCount;
    return replyCount;
}

void Uart::Start(uint32_t aBaud)
{
    std::lock_guard<std::mutex> guard(mLock);
    mRate = aBaud;
    ++mStarts;
    mReceived.clear();
    mAnswered = 0;
}

uint32_t Uart::rate() const
{
    std::lock_guard<std::mutex> guard(mLock);
    return mRate;
}

std::string Uart::received() const
{
    std::lock_guard<std::mutex> guard(mLock);
    return mReceived;
}

uint32_t Uart::starts() const
{
    std::lock_guard<std::mutex> guard(mLock);
    return mStarts;
}

Uart& UartOf(Chip& aChip)
{
    std::shared_ptr<Uart>& uart = aChip.uart();
    if (!uart) uart = std::make_shared<Uart>(aChip.options().uart.mode, aChip.options().uart.line);
    return *uart;
}

std::string UartDeviceName(Chip& aChip)
{
    return UartOf(aChip).deviceName();
}

void StartUartLoopback(Chip& aChip, uint32_t aBaud)
{
    UartOf(aChip).Start(aBaud);
}

}  // namespace devsim
