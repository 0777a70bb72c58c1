// A pseudo-terminal made by a test: the serial-port code opens the slave
// path, the test plays the far end on the master side.
#ifndef TESTS_RADIO_PTYPAIR_H
#define TESTS_RADIO_PTYPAIR_H

#include <string>

#if defined(_WIN32)

#include <windows.h>

#include <cstdlib>
#include <cstring>

// Windows has no pseudo-terminals: the serial line comes from outside (see
// devsim's uart.h). The PC's side is the first port DEVSIM_UART_PORTS names;
// the test does not play the far end there.
class PtyPair {
public:
    PtyPair()
    {
        const char* ports = std::getenv("DEVSIM_UART_PORTS");
        const char* comma = ports != nullptr ? std::strchr(ports, ',') : nullptr;
        if (comma != nullptr) mSlaveName.assign(ports, comma);
    }
    bool ok() const { return !mSlaveName.empty(); }
    const std::string& slaveName() const { return mSlaveName; }

private:
    std::string mSlaveName;
};

// Number of open handles of this process.
inline int OpenDescriptors()
{
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
    return static_cast<int>(count);
}

// Wine lets a port be opened twice and words some system texts its own way.
inline bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#else

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class PtyPair {
public:
    PtyPair()
    {
        mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (mMaster < 0) return;
        char name[128];
        if (grantpt(mMaster) != 0 || unlockpt(mMaster) != 0 || ptsname_r(mMaster, name, sizeof(name)) != 0)
            return;
        mSlaveName = name;
    }
    ~PtyPair()
    {
        if (mMaster >= 0) close(mMaster);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return !mSlaveName.empty(); }
    const std::string& slaveName() const { return mSlaveName; }

    void Send(const std::string& aBytes)
    {
        ssize_t n = write(mMaster, aBytes.data(), aBytes.size());
        (void)n;
    }

    // What arrived on the master side within aTimeoutMs.
    std::string Receive(int aTimeoutMs = 500, size_t aWant = 4)
    {
        std::string got;
        while (got.size() < aWant) {
            pollfd p{mMaster, POLLIN, 0};
            if (poll(&p, 1, aTimeoutMs) <= 0 || (p.revents & POLLIN) == 0) break;
            char buffer[64];
            ssize_t n = read(mMaster, buffer, sizeof(buffer));
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int mMaster = -1;
    std::string mSlaveName;
};

// Number of open descriptors of this process.
inline int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream itself
}

// Only a Windows program can run under Wine.
inline bool RunningUnderWine()
{
    return false;
}

#endif

#endif
