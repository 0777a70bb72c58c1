// The operating-system seam. Every call into the operating system that the
// library makes goes through these functions; platform_posix.cpp and
// platform_win32.cpp implement them. Nothing else includes system headers
// such as <windows.h> or <unistd.h>.
#ifndef NVT_SUPPORT_PLATFORM_H
#define NVT_SUPPORT_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// --- Time ---------------------------------------------------------------
// High-resolution counter: returns false when the system has none.
bool PerformanceFrequency(uint64_t& aCountsPerSecond);
uint64_t PerformanceCounter();
// Wall clock as seconds since the epoch and milliseconds.
void WallClock(int64_t& aSeconds, uint32_t& aMilliseconds);
// Blocks the calling thread.
void SleepMs(uint32_t aMilliseconds);

// --- Errors -------------------------------------------------------------
// The calling thread's last operating-system error code.
uint32_t LastErrorCode();
// The system's message for an error code, as the system formats it (on
// Windows it may end in "\r\n").
std::string ErrorMessage(uint32_t aCode);

// --- Process and environment ------------------------------------------------
// Full path of the running program, cut to the system's path limit; empty
// when it cannot be found.
std::string ExecutablePath();
// The current working directory; empty when it cannot be read.
std::string CurrentDirectory();
// Value of an environment variable; false when it is not set.
bool GetEnv(const char* aName, std::string& aValue);
// Operating-system version: false when it cannot be read.
bool OsVersion(uint32_t& aMajor, uint32_t& aMinor);
// Whether the operating-system family may silently redirect writes to
// protected folders (which versions do is checked by the caller).
bool HasWriteRedirection();

// --- Files ------------------------------------------------------------------
// Makes the written contents of an open file durable before it is renamed
// (fsync on POSIX, FlushFileBuffers on Windows); false when the system
// refuses.
bool SyncFile(std::FILE* aFile);
// Replaces aTo by aFrom in one step: aTo is either the old file or the new
// one, never a mix or missing. Both lie in the same folder. False when the
// system refuses; aFrom is then left in place.
bool RenameReplacing(const std::string& aFrom, const std::string& aTo);

}  // namespace platform

#endif
