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
// runs MightUacMoveThisFile on success. Unless aSupressErrorMsg is set, a
// failure reports "Unable to write to the file "<name>"." with code 0.
bool IsFileWriteable(const std::string& aFilename, bool aPreserveContents, bool aTemporaryFile,
                     bool aIssueUacWarningIfAppropriate, bool aSupressErrorMsg);

// Writes aContents (text mode: "\n" becomes the system's line end) to a
// temporary file in the folder of aFilename and, only when every byte is
// written and made durable, renames it over aFilename. On any failure the
// temporary file is removed and aFilename keeps its old contents byte for
// byte (or stays absent). Reports nothing; false on failure.
bool WriteFileReplacing(const std::string& aFilename, const std::string& aContents);
// The temporary file WriteFileReplacing writes beside aFilename.
std::string TemporaryNameFor(const std::string& aFilename);

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
