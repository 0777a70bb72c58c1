// POSIX implementation of the operating-system seam.
#include "support/platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

bool PerformanceFrequency(uint64_t& aCountsPerSecond)
{
    aCountsPerSecond = 1000000000ull;
    return true;
}

uint64_t PerformanceCounter()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void WallClock(int64_t& aSeconds, uint32_t& aMilliseconds)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    aSeconds = static_cast<int64_t>(ts.tv_sec);
    aMilliseconds = static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

void SleepMs(uint32_t aMilliseconds)
{
    timespec ts{};
    ts.tv_sec = aMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(aMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t LastErrorCode()
{
    return static_cast<uint32_t>(errno);
}

std::string ErrorMessage(uint32_t aCode)
{
    char buffer[1024];
    buffer[0] = '\0';
    // The GNU variant may return a static string instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(static_cast<int>(aCode), buffer, sizeof(buffer));
    return text != nullptr ? std::string(text) : std::string();
#else
    if (strerror_r(static_cast<int>(aCode), buffer, sizeof(buffer)) != 0) return std::string();
    return std::string(buffer);
#endif
}

std::string ExecutablePath()
{
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) return std::string();
    buffer[n] = '\0';
    return std::string(buffer);
}

std::string CurrentDirectory()
{
    char buffer[PATH_MAX + 1];
    if (getcwd(buffer, sizeof(buffer)) == nullptr) return std::string();
    return std::string(buffer);
}

bool OsVersion(uint32_t& aMajor, uint32_t& aMinor)
{
    utsname u{};
    if (uname(&u) != 0) return false;
    unsigned major = 0, minor = 0;
    const char* p = u.release;
    while (*p >= '0' && *p <= '9') major = major * 10 + static_cast<unsigned>(*p++ - '0');
    if (*p == '.') ++p;
    while (*p >= '0' && *p <= '9') minor = minor * 10 + static_cast<unsigned>(*p++ - '0');
    aMajor = major;
    aMinor = minor;
    return true;
}

bool HasWriteRedirection()
{
    return false;
}

bool SyncFile(std::FILE* aFile)
{
    if (aFile == nullptr || std::fflush(aFile) != 0) return false;
    return fsync(fileno(aFile)) == 0;
}

bool RenameReplacing(const std::string& aFrom, const std::string& aTo)
{
    // rename() replaces an existing target atomically within one file system.
    return std::rename(aFrom.c_str(), aTo.c_str()) == 0;
}

}  // namespace platform
