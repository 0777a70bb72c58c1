// Parts of the operating-system seam that the C++ run-time library serves
// alike on every platform.
#include "support/platform.h"

#include <cstdlib>

namespace platform {

bool GetEnv(const char* aName, std::string& aValue)
{
    if (aName == nullptr) return false;
    const char* value = std::getenv(aName);
    if (value == nullptr) return false;
    aValue = value;
    return true;
}

const char* FileKindText(FileKind aKind)
{
    switch (aKind) {
    case FileKind::Missing: return "missing";
    case FileKind::Regular: return "a regular file";
    case FileKind::Directory: return "a folder";
    case FileKind::Link: return "a symbolic link";
    case FileKind::Fifo: return "a FIFO";
    case FileKind::Device: return "a device";
    case FileKind::Other: break;
    }
    return "not a file";
}

}  // namespace platform
