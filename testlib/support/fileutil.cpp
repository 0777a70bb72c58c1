#include "support/fileutil.h"

#include "support/platform.h"
#include "support/trace.h"

#include <cstdio>
#include <cstring>

namespace fileutil {

namespace {

// Content written by the probe: "test" and its terminating zero.
const char kProbe[] = "test";
constexpr size_t kProbeSize = 5;
// Size of the system call's working-directory buffer.
constexpr size_t kWorkingDirBufferSize = 260;

const char kUacText[] =
    "The Windows UAC (User Account Control) might have moved the file to a directory under the user's home "
    "directory.";

char LowerAscii(char aChar)
{
    return (aChar >= 'A' && aChar <= 'Z') ? static_cast<char>(aChar - 'A' + 'a') : aChar;
}

bool EqualsNoCase(const std::string& aText, const char* aOther)
{
    const size_t n = std::strlen(aOther);
    if (aText.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(aText[i]) != LowerAscii(aOther[i])) return false;
    }
    return true;
}

bool StartsWithNoCase(const std::string& aText, const char* aPrefix)
{
    const size_t n = std::strlen(aPrefix);
    if (aText.size() < n) return false;
    return EqualsNoCase(aText.substr(0, n), aPrefix);
}

// Writes the probe and reads it back; true when it came back intact. The
// file is opened without following a link, and only a regular file counts;
// aKind tells what was found when the probe could not be written.
bool ProbeByWriting(const std::string& aFilename, CDebugSentry& aSentry, platform::FileKind& aKind)
{
    std::FILE* out = platform::OpenForWritingNoFollow(aFilename, false, aKind);
    if (out == nullptr) return false;
    if (aKind != platform::FileKind::Regular) {
        std::fclose(out);
        return false;
    }
    DebugPrint(aSentry.Handler(), aSentry.SourceFile(), __LINE__, kDebugDetail, false, false,
               "File open succeeded, but that is not the whole story...");
    const size_t written = std::fwrite(kProbe, 1, kProbeSize, out);
    const bool closed = std::fclose(out) == 0;

    platform::FileKind readKind = platform::FileKind::Missing;
    std::FILE* in = platform::OpenRegularFileForReading(aFilename, readKind);
    if (in == nullptr) return false;
    char readback[8] = {};
    const size_t readCount = std::fread(readback, 1, kProbeSize, in);
    std::fclose(in);
    DebugPrint(aSentry.Handler(), aSentry.SourceFile(), __LINE__, kDebugDetail, false, false,
               "readbackBuffer=>%s<, readCount=%d", readback, static_cast<int>(readCount));
    return written == kProbeSize && closed && readCount == kProbeSize && EqualsNoCase(std::string(readback), kProbe);
}

// What a writer refuses to write through.
bool IsObstacle(platform::FileKind aKind)
{
    return aKind == platform::FileKind::Link || aKind == platform::FileKind::Fifo ||
           aKind == platform::FileKind::Device || aKind == platform::FileKind::Other;
}

}  // namespace

bool IsFileWriteable(const std::string& aFilename, bool aPreserveContents, bool aTemporaryFile,
                     bool aIssueUacWarningIfAppropriate, bool aSupressErrorMsg)
{
    NVT_TRACE("fileutil", "fileutil::IsFileWriteable", "aFilename=>%s<", aFilename, "aPreserveContents=%d",
              aPreserveContents, "aTemporaryFile=%d", aTemporaryFile, "aIssueUacWarningIfAppropriate=%d",
              aIssueUacWarningIfAppropriate, "aSupressErrorMsg=%d", aSupressErrorMsg);

    bool writeable = false;
    // A link, FIFO or device where the file should be is never written
    // through: a link planted there would have the probe (and the write
    // after it) land in another file.
    platform::FileKind found = platform::KindOfPath(aFilename, false);
    if (!IsObstacle(found)) {
        const bool existed = found == platform::FileKind::Regular;
        if (aPreserveContents && existed) {
            // Opening for appending proves the right to write without
            // touching a byte of the existing content.
            std::FILE* f = platform::OpenForWritingNoFollow(aFilename, true, found);
            if (f != nullptr) writeable = std::fclose(f) == 0 && found == platform::FileKind::Regular;
        } else {
            writeable = ProbeByWriting(aFilename, nvtTraceSentry_, found);
            if ((aTemporaryFile || aPreserveContents) && !existed && !IsObstacle(found)) std::remove(aFilename.c_str());
        }
    }

    if (writeable) {
        if (aIssueUacWarningIfAppropriate) MightUacMoveThisFile(aFilename);
        return true;
    }
    if (!aSupressErrorMsg) {
        std::string text = std::string("Unable to write to the ") + "file" + " " + "\"" + aFilename + "\"";
        if (IsObstacle(found)) text += std::string(": it is ") + platform::FileKindText(found);
        ReportError(nvtTraceSentry_.Handler(), 0, text + ".");
    }
    return false;
}

std::string WriteObstacle(const std::string& aFilename)
{
    const platform::FileKind found = platform::KindOfPath(aFilename, false);
    return IsObstacle(found) ? platform::FileKindText(found) : std::string();
}

bool WriteFileReplacing(const std::string& aFilename, const std::string& aContents)
{
    NVT_TRACE("fileutil", "fileutil::WriteFileReplacing", "aFilename=>%s<", aFilename);
    if (!WriteObstacle(aFilename).empty()) return false;
    // A new file that no one else can have opened or linked: exclusive
    // creation under an unpredictable name in the same folder, so the
    // rename never crosses a file system. Should a link be planted at
    // aFilename after the check above, the rename replaces the link itself,
    // never the file it points to.
    std::string temporary;
    std::FILE* out = platform::CreateTemporaryFileBeside(aFilename, true, temporary);
    if (out == nullptr) return false;
    const bool written = std::fwrite(aContents.data(), 1, aContents.size(), out) == aContents.size();
    const bool synced = written && platform::SyncFile(out);
    const bool closed = std::fclose(out) == 0;
    if (!(written && synced && closed) || !platform::RenameReplacing(temporary, aFilename)) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::string GetCurrentWorkingDir()
{
    NVT_TRACE("fileutil", "fileutil::GetCurrentWorkingDir");
    std::string path = platform::CurrentDirectory();
    if (path.empty() || path.size() >= kWorkingDirBufferSize) return std::string();

    const std::string asRead = path;
    const size_t backslash = asRead.rfind('\\');
    if (backslash != std::string::npos && backslash != asRead.size() - 1) path += '\\';
    const size_t slash = asRead.rfind('/');
    if (slash != std::string::npos && slash != asRead.size() - 1) path += '/';

    NVT_TRACE_LINE(kDebugEnvironment, "The current working directory is >%s<", path.c_str());
    return path;
}

SystemFacts CurrentSystemFacts()
{
    SystemFacts facts{};
    facts.writeRedirection = platform::HasWriteRedirection();
    facts.versionKnown = platform::OsVersion(facts.majorVersion, facts.minorVersion);
    return facts;
}

bool MightUacMoveThisFile(const std::string& aFilename)
{
    return MightUacMoveThisFile(aFilename, CurrentSystemFacts());
}

bool MightUacMoveThisFile(const std::string& aFilename, const SystemFacts& aFacts)
{
    NVT_TRACE("fileutil", "fileutil::MightUacMoveThisFile", "aFilename=>%s<", aFilename);
    bool result = true;
    std::string directory;

    if (!aFacts.writeRedirection) {
        result = false;
    } else {
        if (aFacts.versionKnown) {
            NVT_TRACE_LINE(kDebugEnvironment, "WIN32 OS Version Major=%d, Minor=%d",
                           static_cast<int>(aFacts.majorVersion), static_cast<int>(aFacts.minorVersion));
            if (aFacts.majorVersion < 6) result = false;
        }
        if (result) {
            if (!DeterminePathComponent(aFilename, directory))
                DeterminePathComponent(GetCurrentWorkingDir() + aFilename, directory);
            if (EqualsNoCase(directory, "C:\\") || StartsWithNoCase(directory, "C:\\Program Files\\") ||
                StartsWithNoCase(directory, "C:\\Windows\\")) {
                ReportStatus(nvtTraceSentry_.Handler(), kUacText);
            } else {
                result = false;
            }
        }
    }

    NVT_TRACE_LINE(kDebugEnvironment, "directoryName=>%s<, retVal=%d", directory.c_str(), result ? 1 : 0);
    return result;
}

std::string GetFileExtension(const std::string& aFilename)
{
    NVT_TRACE("fileutil", "fileutil::GetFileExtension", "aFilename=>%s<", aFilename);
    const size_t dot = aFilename.rfind('.');
    return dot == std::string::npos ? std::string() : aFilename.substr(dot);
}

bool DeterminePathComponent(std::string aFilename, std::string& aBaseDirectory)
{
    NVT_TRACE("fileutil", "fileutil::DeterminePathComponent", "aFilename=>%s<", aFilename, "&aBaseDirectory=0x%08p",
              &aBaseDirectory);
    const bool absolute = (!aFilename.empty() && (aFilename[0] == '\\' || aFilename[0] == '/')) ||
                          (aFilename.size() >= 2 && aFilename[1] == ':');

    bool separatorFound = false;
    for (char separator : {'\\', '/'}) {
        const size_t pos = aFilename.rfind(separator);
        if (pos == std::string::npos) continue;
        separatorFound = true;
        if (pos != aFilename.size() - 1) aFilename.erase(pos + 1);
    }
    aBaseDirectory = separatorFound ? aFilename : std::string();

    NVT_TRACE_LINE(kDebugEnvironment, "File is %s; Base Directory=>%s<", absolute ? "absolute" : "relative",
                   aBaseDirectory.c_str());
    return absolute;
}

}  // namespace fileutil
