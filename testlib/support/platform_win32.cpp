// Win32 implementation of the operating-system seam.
#include "support/platform.h"

#include <windows.h>
#include <sys/timeb.h>
#include <cstdio>
#include <cstdlib>
#include <io.h>

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

bool RenameReplacing(const std::string& aFrom, const std::string& aTo)
{
    // rename() refuses an existing target on Windows; MoveFileEx replaces it.
    return MoveFileExA(aFrom.c_str(), aTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform
