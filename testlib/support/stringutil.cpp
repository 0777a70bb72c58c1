#include "support/stringutil.h"

#include "support/trace.h"

#include <cctype>

namespace stringutil {

namespace {

const char* const kWhitespace = " \t\f\v\n\r";

// Removes the white space at one end; a string of white space only becomes
// empty.
void TrimEnd(std::string& aString, bool aLeading)
{
    const size_t keep = aLeading ? aString.find_first_not_of(kWhitespace) : aString.find_last_not_of(kWhitespace);
    if (keep == std::string::npos)
        aString.clear();
    else if (aLeading)
        aString.erase(0, keep);
    else
        aString.erase(keep + 1);
}

}  // namespace

void TrimLeadingWhitespace(std::string& aString)
{
    NVT_TRACE("stringutil", "stringutil::TrimLeadingWhitespace", "aString=>%s<", aString);
    TrimEnd(aString, true);
}

void TrimTrailingWhitespace(std::string& aString)
{
    NVT_TRACE("stringutil", "stringutil::TrimTrailingWhitespace", "aString=>%s<", aString);
    TrimEnd(aString, false);
}

void TrimLeadingAndTrailingWhitespace(std::string& aString)
{
    NVT_TRACE("stringutil", "stringutil::TrimLeadingAndTrailingWhitespace", "aString=>%s<", aString);
    TrimLeadingWhitespace(aString);
    TrimTrailingWhitespace(aString);
}

std::string Upper(std::string aText)
{
    for (char& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return aText;
}

}  // namespace stringutil
