#include "stringutil.h"

#include "trace.h"

namespace stringutil {

namespace {
const char* const kWhitespace = " \t\f\v\n\r";
}

void TrimLeadingWhitespace(std::string& aString)
{
    NVT_TRACE("stringutil", "stringutil::TrimLeadingWhitespace", "aString=>%s<", aString);
    const size_t first = aString.find_first_not_of(kWhitespace);
    if (first == std::string::npos)
        aString.clear();
    else
        aString.erase(0, first);
}

void TrimTrailingWhitespace(std::string& aString)
{
    NVT_TRACE("stringutil", "stringutil::TrimTrailingWhitespace", "aString=>%s<", aString);
    const size_t last = aString.find_last_not_of(kWhitespace);
    if (last == std::string::npos)
        aString.clear();
    else
        aString.erase(last + 1);
}

void TrimLeadingAndTrailingWhitespace(std::string& aString)
{
    NVT_TRACE("stringutil", "stringutil::TrimLeadingAndTrailingWhitespace", "aString=>%s<", aString);
    TrimLeadingWhitespace(aString);
    TrimTrailingWhitespace(aString);
}

}  // namespace stringutil
