#include "ansi_path_chip.h"

#include "win32_text.h"

namespace kilnor::win32 {

std::int32_t AnsiPathChip::plsDump(const std::string &aPath, std::int32_t aVerify)
{
    return ForwardingChip::plsDump(toAnsiCodePage(aPath), aVerify);
}

std::int32_t AnsiPathChip::plsProgram(const std::string &aPath, std::int32_t aVerify)
{
    return ForwardingChip::plsProgram(toAnsiCodePage(aPath), aVerify);
}

} // namespace kilnor::win32
