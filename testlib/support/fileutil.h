// File helpers of the configuration-store code: can a file be written, the
// working directory, could the system's write redirection (Windows User
// Account Control virtualisation) have moved a file, a file's extension,
// the directory part of a path and whether it is absolute.
//
// Paths are byte strings in the system's code page with "\" or "/" as
// separators; comparisons of paths and extensions ignore case.
#ifndef NVT_SUPPORT_FILEUTIL_H
#define NVT_SUPPORT_FILEUTIL_H

#include <cstdint>
#include <string>

namespace fileutil {

// Probes the file by writing "test" and a zero byte and reading them back.
// With aPreserveContents false (what every caller passes) the file is
// created or overwritten and keeps the 5 probe bytes. With aPreserveContents
// true an existing file is only opened for appending and left unchanged.
// aTemporaryFile removes the probe file afterwards; aIssueUacWarningIfAppropriate
// runs MightUacMoveThisFile on success. A symbolic link, FIFO or device at
// aFilename is never written through: the answer is false. Unless
// aSupressErrorMsg is set, a failure reports "Unable to write to the file
// "<name>"." with code 0, or for such an obstacle "Unable to write to the
// file "<name>": it is a symbolic link." (a FIFO, a device).
bool IsFileWriteable(const std::string& aFilename, bool aPreserveContents, bool aTemporaryFile,
                     bool aIssueUacWarningIfAppropriate, bool aSupressErrorMsg);

// What stands at aFilename that a writer must not write through ("a
// symbolic link", "a FIFO", "a device", "not a file"); empty when a regular
// file, a folder or nothing is there.
std::string WriteObstacle(const std::string& aFilename);

// Writes aContents (text mode: "\n" becomes the system's line end) to a new
// temporary file created exclusively under an unpredictable name in the
// folder of aFilename and, only when every byte is written and made
// durable, renames it over aFilename. Refuses a symbolic link, FIFO or
// device at aFilename. On any failure the temporary file is removed and
// aFilename keeps its old contents byte for byte (or stays absent).
// Reports nothing; false on failure.
bool WriteFileReplacing(const std::string& aFilename, const std::string& aContents);

// The current directory with a trailing separator; empty when the system
// cannot give it (or it does not fit the 260-byte buffer of the system call).
std::string GetCurrentWorkingDir();

// Whether the system may have redirected a file written at aFilename, and
// if so posts a status text that says so. Answers false on systems
// without write redirection.
bool MightUacMoveThisFile(const std::string& aFilename);

// What MightUacMoveThisFile needs to know about the system.
struct SystemFacts {
    bool writeRedirection;  // false: the answer is always false
    bool versionKnown;
    uint32_t majorVersion;
    uint32_t minorVersion;
};
SystemFacts CurrentSystemFacts();
bool MightUacMoveThisFile(const std::string& aFilename, const SystemFacts& aFacts);

// From the last "." of the whole name to its end, dot included; empty when
// there is no dot.
std::string GetFileExtension(const std::string& aFilename);

// Sets aBaseDirectory to the directory part of aFilename, ending in its
// separator (empty when there is no separator); true for an absolute path.
bool DeterminePathComponent(std::string aFilename, std::string& aBaseDirectory);

}  // namespace fileutil

#endif
