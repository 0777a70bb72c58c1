// Win32 implementation of the operating-system seam.
// rand_s, the system's random source, is declared only on request.
#define _CRT_RAND_S
#include "support/platform.h"

#include <windows.h>
#include <sys/timeb.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

namespace platform {

bool PerformanceFrequency(uint64_t& aCountsPerSecond)
{
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f) || f.QuadPart == 0) return false;
    aCountsPerSecond = static_cast<uint64_t>(f.QuadPart);
    return true;
}

uint64_t PerformanceCounter()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart);
}

void WallClock(int64_t& aSeconds, uint32_t& aMilliseconds)
{
    __timeb64 t;
    _ftime64(&t);
    aSeconds = static_cast<int64_t>(t.time);
    aMilliseconds = t.millitm;
}

void SleepMs(uint32_t aMilliseconds)
{
    Sleep(aMilliseconds);
}

uint32_t LastErrorCode()
{
    return GetLastError();
}

std::string ErrorMessage(uint32_t aCode)
{
    char buffer[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             aCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                             sizeof(buffer), nullptr);
    return std::string(buffer, n);
}

std::string ExecutablePath()
{
    char buffer[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0) return std::string();
    // A longer path comes back cut to the buffer, as callers expect.
    if (n >= MAX_PATH) n = MAX_PATH - 1;
    return std::string(buffer, n);
}

std::string CurrentDirectory()
{
    char buffer[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, buffer);
    if (n == 0 || n >= MAX_PATH) return std::string();
    return std::string(buffer, n);
}

bool OsVersion(uint32_t& aMajor, uint32_t& aMinor)
{
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    if (!GetVersionExA(&info)) return false;
    aMajor = info.dwMajorVersion;
    aMinor = info.dwMinorVersion;
    return true;
}

bool HasWriteRedirection()
{
    // The Windows family has it; which versions apply is the caller's test.
    return true;
}

bool SyncFile(std::FILE* aFile)
{
    if (aFile == nullptr || std::fflush(aFile) != 0) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(aFile)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

namespace {

FileKind KindOfHandle(HANDLE aHandle)
{
    switch (GetFileType(aHandle)) {
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(aHandle, &info)) return FileKind::Other;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::Link;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::Directory;
        return FileKind::Regular;
    }
    case FILE_TYPE_CHAR: return FileKind::Device;
    case FILE_TYPE_PIPE: return FileKind::Fifo;
    default: return FileKind::Other;
    }
}

// A C stream over a system handle; the handle is closed when that fails.
std::FILE* StreamOf(HANDLE aHandle, int aFlags, const char* aMode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(aHandle), aFlags);
    if (fd == -1) {
        CloseHandle(aHandle);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, aMode);
    if (f == nullptr) _close(fd);
    return f;
}

// Letters for a temporary name, from the system's random source.
std::string RandomLetters(size_t aCount)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string text;
    for (size_t i = 0; i < aCount; ++i) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) value = static_cast<unsigned int>(GetTickCount()) * 2654435761u + static_cast<unsigned int>(i);
        text += kLetters[value % (sizeof(kLetters) - 1)];
    }
    return text;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What fopen allows others while a file is open: reading and writing (so
// that the workers of one station can all append to one trace file).
const DWORD kShareAsTheCLibrary = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

FileKind KindOfPath(const std::string& aPath, bool aFollowLink)
{
    const DWORD attributes = GetFileAttributesA(aPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::Missing;
    if (!aFollowLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::Link;
    // Without the flag to open the link itself, the handle is the target's.
    HANDLE h = CreateFileA(aPath.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FileKind::Missing;
    const FileKind kind = KindOfHandle(h);
    CloseHandle(h);
    return kind;
}

std::FILE* OpenRegularFileForReading(const std::string& aPath, FileKind& aKind)
{
    // The kind is taken from a handle without any access first, so that no
    // device or pipe is opened for reading; then checked again on the
    // handle that reads.
    aKind = KindOfPath(aPath, true);
    if (aKind != FileKind::Regular) return nullptr;
    HANDLE h = CreateFileA(aPath.c_str(), GENERIC_READ, kShareAsTheCLibrary, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        aKind = FileKind::Missing;
        return nullptr;
    }
    aKind = KindOfHandle(h);
    if (aKind != FileKind::Regular) {
        CloseHandle(h);
        return nullptr;
    }
    return StreamOf(h, _O_RDONLY | _O_BINARY, "rb");
}

std::FILE* OpenForWritingNoFollow(const std::string& aPath, bool aAppend, FileKind& aKind)
{
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, never its target;
    // it is then recognised and closed without a byte written.
    HANDLE h = CreateFileA(aPath.c_str(), GENERIC_WRITE, kShareAsTheCLibrary, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        aKind = KindOfPath(aPath, false);
        SetLastError(error);
        return nullptr;
    }
    aKind = KindOfHandle(h);
    if (aKind == FileKind::Link) {
        CloseHandle(h);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return nullptr;
    }
    if (aKind == FileKind::Regular && !aAppend &&
        (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h))) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        SetLastError(error);
        return nullptr;
    }
    return StreamOf(h, _O_WRONLY | _O_BINARY | (aAppend ? _O_APPEND : 0), aAppend ? "ab" : "wb");
}

std::FILE* CreateTemporaryFileBeside(const std::string& aTarget, bool aText, std::string& aName)
{
    // CREATE_NEW never opens what is there already, a link included; a name
    // taken by chance is simply drawn again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = aTarget + "." + RandomLetters(12) + ".tmp";
        HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            std::FILE* f = StreamOf(h, _O_WRONLY | (aText ? _O_TEXT : _O_BINARY), aText ? "w" : "wb");
            if (f == nullptr) {
                DeleteFileA(name.c_str());
                return nullptr;
            }
            aName = name;
            return f;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}

bool RenameReplacing(const std::string& aFrom, const std::string& aTo)
{
    // rename() refuses an existing target on Windows; MoveFileEx replaces it.
    return MoveFileExA(aFrom.c_str(), aTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform
