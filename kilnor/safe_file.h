// Kilnor's own safe file access (it shares no code with the test library).
// The files Kilnor writes (the address ledger, dump files) are never
// written through a symbolic link, FIFO or device planted where the file
// should be; a dump is written to a new file under a name no one can
// predict and renamed over its target; nothing blocks on a FIFO. New files
// are created with the default permissions less the umask. Paths are UTF-8.
#ifndef KILNOR_SAFE_FILE_H
#define KILNOR_SAFE_FILE_H

#include <cstdio>
#include <string>

namespace kilnor {

// What stands at a path; a symbolic link is not followed.
enum class PathKind { Missing, Regular, Link, Other };

PathKind pathKind(const std::string &aPath);

// Opens an existing regular file for binary reading; anything else is
// refused without blocking (null, aKind telling what is there). With
// aFollowLink false a symbolic link is refused as well.
std::FILE *openRegularForReading(const std::string &aPath, bool aFollowLink, PathKind &aKind);

// Opens a regular file for binary update ("r+b", which must exist) or for
// appending ("ab", created when missing), never through a symbolic link and
// never anything but a regular file: null with aKind telling what is there.
std::FILE *openForWritingNoFollow(const std::string &aPath, bool aAppend, PathKind &aKind);

// Creates a new, empty file exclusively under an unpredictable name in the
// folder of aTarget (aTarget + "." + random letters + ".tmp"); its name, or
// an empty string when it cannot be made.
std::string createTemporaryBeside(const std::string &aTarget);

// Renames aTemporary over aTarget. Refused, with aTemporary removed, when
// aTemporary is no longer a regular file or aTarget is a symbolic link or
// anything but a regular file (aTargetKind then tells what).
bool replaceWithTemporary(const std::string &aTemporary, const std::string &aTarget, PathKind &aTargetKind);

// Removes a file (a temporary one that is no longer wanted).
void removeFile(const std::string &aPath);

} // namespace kilnor

#endif
