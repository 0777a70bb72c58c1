#ifdef _WIN32
// rand_s, the system's random source, is declared only on request.
#define _CRT_RAND_S
#endif
#include "safe_file.h"

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#else
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kilnor {

namespace {

constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kNameAttempts = 100;

#ifdef _WIN32

std::wstring wide(const std::string &aUtf8)
{
    if (aUtf8.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, aUtf8.data(), static_cast<int>(aUtf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, aUtf8.data(), static_cast<int>(aUtf8.size()), &text[0], n);
    return text;
}

std::string randomLetters(std::size_t aCount)
{
    std::string text;
    for (std::size_t i = 0; i < aCount; ++i) {
        unsigned int value = 0;
        if (rand_s(&value) != 0)
            value = static_cast<unsigned int>(GetTickCount()) * 2654435761u + static_cast<unsigned int>(i);
        text += kLetters[value % (sizeof kLetters - 1)];
    }
    return text;
}

// The kind of an open handle; a reparse point (a link) is Link.
PathKind kindOfHandle(HANDLE aHandle)
{
    if (GetFileType(aHandle) != FILE_TYPE_DISK)
        return PathKind::Other;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(aHandle, &info))
        return PathKind::Other;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return PathKind::Link;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return PathKind::Other;
    return PathKind::Regular;
}

std::FILE *streamOf(HANDLE aHandle, int aFlags, const char *aMode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(aHandle), aFlags);
    if (fd == -1) {
        CloseHandle(aHandle);
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, aMode);
    if (file == nullptr)
        _close(fd);
    return file;
}

// Opens with FILE_FLAG_OPEN_REPARSE_POINT unless aFollowLink: a link is
// then opened itself, recognised and closed, never its target.
HANDLE openHandle(const std::string &aPath, DWORD aAccess, DWORD aDisposition, bool aFollowLink)
{
    // Others may read and write meanwhile, as with fopen.
    return CreateFileW(wide(aPath).c_str(), aAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, aDisposition,
                       FILE_ATTRIBUTE_NORMAL | (aFollowLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

#else

std::string randomLetters(std::size_t aCount)
{
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string text;
    for (std::size_t i = 0; i < aCount; ++i)
        text += kLetters[pick(source)];
    return text;
}

PathKind kindOfMode(mode_t aMode)
{
    if (S_ISREG(aMode))
        return PathKind::Regular;
    if (S_ISLNK(aMode))
        return PathKind::Link;
    return PathKind::Other;
}

// Opens without waiting on a FIFO, checks the opened file is a regular one,
// then makes it blocking again; -1 (aKind telling what is there) otherwise.
int openRegular(const std::string &aPath, int aFlags, PathKind &aKind)
{
    aKind = PathKind::Missing;
    const int fd = ::open(aPath.c_str(), aFlags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        aKind = pathKind(aPath);
        errno = error;
        return -1;
    }
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        aKind = PathKind::Other;
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    aKind = PathKind::Regular;
    return fd;
}

std::FILE *streamOf(int aFd, const char *aMode)
{
    std::FILE *file = fdopen(aFd, aMode);
    if (file == nullptr)
        ::close(aFd);
    return file;
}

#endif

} // namespace

PathKind pathKind(const std::string &aPath)
{
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(wide(aPath).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathKind::Missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return PathKind::Link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return PathKind::Other;
    HANDLE h = CreateFileW(wide(aPath).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return PathKind::Regular;  // there, but not to be opened now
    const PathKind kind = kindOfHandle(h);
    CloseHandle(h);
    return kind;
#else
    struct stat st {};
    if (::lstat(aPath.c_str(), &st) != 0)
        return PathKind::Missing;
    return kindOfMode(st.st_mode);
#endif
}

std::FILE *openRegularForReading(const std::string &aPath, bool aFollowLink, PathKind &aKind)
{
#ifdef _WIN32
    aKind = pathKind(aPath);
    if (aKind == PathKind::Missing || (aKind == PathKind::Link && !aFollowLink) || aKind == PathKind::Other)
        return nullptr;
    HANDLE h = openHandle(aPath, GENERIC_READ, OPEN_EXISTING, aFollowLink);
    if (h == INVALID_HANDLE_VALUE) {
        aKind = PathKind::Missing;
        return nullptr;
    }
    aKind = kindOfHandle(h);
    if (aKind != PathKind::Regular) {
        CloseHandle(h);
        return nullptr;
    }
    return streamOf(h, _O_RDONLY | _O_BINARY, "rb");
#else
    const int fd = openRegular(aPath, O_RDONLY | (aFollowLink ? 0 : O_NOFOLLOW), aKind);
    return fd < 0 ? nullptr : streamOf(fd, "rb");
#endif
}

std::FILE *openForWritingNoFollow(const std::string &aPath, bool aAppend, PathKind &aKind)
{
#ifdef _WIN32
    HANDLE h = openHandle(aPath, GENERIC_READ | GENERIC_WRITE, aAppend ? OPEN_ALWAYS : OPEN_EXISTING, false);
    if (h == INVALID_HANDLE_VALUE) {
        aKind = pathKind(aPath);
        return nullptr;
    }
    aKind = kindOfHandle(h);
    if (aKind != PathKind::Regular) {
        CloseHandle(h);
        return nullptr;
    }
    return aAppend ? streamOf(h, _O_APPEND | _O_BINARY, "ab") : streamOf(h, _O_RDWR | _O_BINARY, "r+b");
#else
    const int flags = aAppend ? (O_WRONLY | O_APPEND | O_CREAT) : O_RDWR;
    const int fd = openRegular(aPath, flags | O_NOFOLLOW, aKind);
    return fd < 0 ? nullptr : streamOf(fd, aAppend ? "ab" : "r+b");
#endif
}

std::string createTemporaryBeside(const std::string &aTarget)
{
    // Exclusive creation never opens what is already there, a planted link
    // included; a name taken by chance is simply drawn again.
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = aTarget + "." + randomLetters(12) + ".tmp";
#ifdef _WIN32
        HANDLE h = CreateFileW(wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return name;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return std::string();
#else
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST)
            return std::string();
#endif
    }
    return std::string();
}

bool replaceWithTemporary(const std::string &aTemporary, const std::string &aTarget, PathKind &aTargetKind)
{
    aTargetKind = pathKind(aTarget);
    if (pathKind(aTemporary) != PathKind::Regular ||
        (aTargetKind != PathKind::Missing && aTargetKind != PathKind::Regular)) {
        removeFile(aTemporary);
        return false;
    }
    // Should a link be planted at aTarget after the check, the rename
    // replaces the link itself, never the file it points to.
#ifdef _WIN32
    const bool ok = MoveFileExW(wide(aTemporary).c_str(), wide(aTarget).c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    const bool ok = std::rename(aTemporary.c_str(), aTarget.c_str()) == 0;
#endif
    if (!ok)
        removeFile(aTemporary);
    return ok;
}

void removeFile(const std::string &aPath)
{
#ifdef _WIN32
    DeleteFileW(wide(aPath).c_str());
#else
    ::unlink(aPath.c_str());
#endif
}

} // namespace kilnor
