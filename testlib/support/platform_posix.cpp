// POSIX implementation of the operating-system seam.
#include "support/platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
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

namespace {

FileKind KindOfMode(mode_t aMode)
{
    if (S_ISREG(aMode)) return FileKind::Regular;
    if (S_ISDIR(aMode)) return FileKind::Directory;
    if (S_ISLNK(aMode)) return FileKind::Link;
    if (S_ISFIFO(aMode)) return FileKind::Fifo;
    if (S_ISCHR(aMode) || S_ISBLK(aMode)) return FileKind::Device;
    return FileKind::Other;
}

FileKind KindOfDescriptor(int aFd)
{
    struct stat st{};
    return fstat(aFd, &st) == 0 ? KindOfMode(st.st_mode) : FileKind::Other;
}

// A stream over a descriptor; the descriptor is closed when that fails.
std::FILE* StreamOf(int aFd, const char* aMode)
{
    std::FILE* f = fdopen(aFd, aMode);
    if (f == nullptr) {
        const int error = errno;
        ::close(aFd);
        errno = error;
    }
    return f;
}

// Clears O_NONBLOCK again once an open that must not wait has succeeded.
bool MakeBlocking(int aFd)
{
    const int flags = fcntl(aFd, F_GETFL);
    return flags >= 0 && fcntl(aFd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Letters for a temporary name, from the system's random source.
std::string RandomLetters(size_t aCount)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::uniform_int_distribution<size_t> pick(0, sizeof(kLetters) - 2);
    std::string text;
    for (size_t i = 0; i < aCount; ++i) text += kLetters[pick(source)];
    return text;
}

}  // namespace

FileKind KindOfPath(const std::string& aPath, bool aFollowLink)
{
    struct stat st{};
    const int rc = aFollowLink ? ::stat(aPath.c_str(), &st) : ::lstat(aPath.c_str(), &st);
    return rc == 0 ? KindOfMode(st.st_mode) : FileKind::Missing;
}

std::FILE* OpenRegularFileForReading(const std::string& aPath, FileKind& aKind)
{
    aKind = FileKind::Missing;
    // Non-blocking, so that a FIFO without a writer does not hold the open;
    // the kind is checked on the opened file, so nothing can be swapped in
    // between the check and the read.
    const int fd = ::open(aPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // A regular file that cannot be opened counts as missing.
        const FileKind there = KindOfPath(aPath, true);
        if (there != FileKind::Regular) aKind = there;
        errno = error;
        return nullptr;
    }
    aKind = KindOfDescriptor(fd);
    if (aKind != FileKind::Regular || !MakeBlocking(fd)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    return StreamOf(fd, "rb");
}

std::FILE* OpenForWritingNoFollow(const std::string& aPath, bool aAppend, FileKind& aKind)
{
    aKind = FileKind::Missing;
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
    // O_TRUNC only after the kind is known: a device or FIFO is never
    // truncated, a regular file is truncated by ftruncate below.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (aAppend ? O_APPEND : 0);
    const int fd = ::open(aPath.c_str(), flags, 0666);
    if (fd < 0) {
        const int error = errno;
        aKind = KindOfPath(aPath, false);
        errno = error;
        return nullptr;
    }
    aKind = KindOfDescriptor(fd);
    if (!MakeBlocking(fd) || (aKind == FileKind::Regular && !aAppend && ftruncate(fd, 0) != 0)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return StreamOf(fd, aAppend ? "ab" : "wb");
}

std::FILE* CreateTemporaryFileBeside(const std::string& aTarget, bool /*aText*/, std::string& aName)
{
    // O_EXCL with O_CREAT never opens what is there already, a link
    // included; a name taken by chance is simply drawn again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = aTarget + "." + RandomLetters(12) + ".tmp";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // The file that replaces another keeps that file's permissions,
            // so a file its owner made private stays private.
            struct stat old{};
            if (::lstat(aTarget.c_str(), &old) == 0 && S_ISREG(old.st_mode)) fchmod(fd, old.st_mode & 0777);
            std::FILE* f = StreamOf(fd, "wb");
            if (f == nullptr) {
                const int error = errno;
                ::unlink(name.c_str());
                errno = error;
                return nullptr;
            }
            aName = name;
            return f;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

bool RenameReplacing(const std::string& aFrom, const std::string& aTo)
{
    // rename() replaces an existing target atomically within one file system.
    return std::rename(aFrom.c_str(), aTo.c_str()) == 0;
}

}  // namespace platform
