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
// What stands at a path.
enum class FileKind { Missing, Regular, Directory, Link, Fifo, Device, Other };
// The kind of what aPath names. With aFollowLink false a symbolic link at
// aPath is reported as Link instead of what it points to. Missing when
// nothing is there or the path cannot be examined.
FileKind KindOfPath(const std::string& aPath, bool aFollowLink);
// "a regular file", "a folder", "a symbolic link", "a FIFO", "a device",
// "not a file" (Other), "missing".
const char* FileKindText(FileKind aKind);

// Opens an existing regular file for binary reading. Anything else (a FIFO,
// a device, a folder) is refused without blocking: null with aKind telling
// what stands there; Missing when nothing does or it cannot be opened
// (LastErrorCode tells why). A symbolic link to a regular file is read.
std::FILE* OpenRegularFileForReading(const std::string& aPath, FileKind& aKind);

// Opens aPath for binary writing, never through a symbolic link at aPath:
// with aAppend every write goes to its end, else it is truncated. A missing
// file is created with the system's default permissions less the process's
// umask (on Windows: the folder's inherited rights). Never blocks on a FIFO
// without a reader. Null when it cannot be opened, aKind then telling what
// stands at aPath (Link for a symbolic link); on success aKind is what was
// opened (Regular, Device, Fifo), so the caller decides what it accepts.
std::FILE* OpenForWritingNoFollow(const std::string& aPath, bool aAppend, FileKind& aKind);

// Creates a new file exclusively, under a name no one can predict, in the
// folder of aTarget (aTarget + "." + random letters + ".tmp"), and opens it
// for writing (text mode when aText: "\n" becomes the system's line end).
// Never opens an existing file or a link planted at the name. Permissions as
// for OpenForWritingNoFollow; on POSIX, when aTarget is a regular file, its
// permission bits, so that the file renamed over it keeps them. aName
// receives the name; null on failure.
std::FILE* CreateTemporaryFileBeside(const std::string& aTarget, bool aText, std::string& aName);

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
