// White-space trimming of byte strings. White space is space, tab, form
// feed, vertical tab, line feed and carriage return; nothing else.
#ifndef NVT_SUPPORT_STRINGUTIL_H
#define NVT_SUPPORT_STRINGUTIL_H

#include <string>

namespace stringutil {

void TrimLeadingWhitespace(std::string& aString);
void TrimTrailingWhitespace(std::string& aString);
void TrimLeadingAndTrailingWhitespace(std::string& aString);

}  // namespace stringutil

#endif
