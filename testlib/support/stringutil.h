// White-space trimming and upper-casing of byte strings. White space is
// space, tab, form feed, vertical tab, line feed and carriage return;
// nothing else.
#ifndef NVT_SUPPORT_STRINGUTIL_H
#define NVT_SUPPORT_STRINGUTIL_H

#include <string>

namespace stringutil {

void TrimLeadingWhitespace(std::string& aString);
void TrimTrailingWhitespace(std::string& aString);
void TrimLeadingAndTrailingWhitespace(std::string& aString);
// The text with its ASCII letters in upper case (file extensions, key names).
std::string Upper(std::string aText);

}  // namespace stringutil

#endif
