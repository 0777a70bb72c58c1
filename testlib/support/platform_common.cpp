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

}  // namespace platform
