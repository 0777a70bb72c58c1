// Text conversions between the controller's UTF-8 and the wide-character
// interface of the system, and the system's ANSI code page for the file
// names that the outside libraries take.
#ifndef KILNOR_WIN32_TEXT_H
#define KILNOR_WIN32_TEXT_H

#include <string>

namespace kilnor::win32 {

std::wstring widen(const std::string &aUtf8);
std::string narrow(const std::wstring &aWide);
// A UTF-8 path in the ANSI code page, as char-based system calls expect it.
std::string toAnsiCodePage(const std::string &aUtf8);

} // namespace kilnor::win32

#endif
