#include "ansi_path_chip.h"

#include "win32_text.h"

namespace kilnor::win32 {

std::int32_t AnsiPathChip::plsOpen(std::int32_t aInterface, std::int32_t aPort, std::int32_t aSpeed)
{
    return chip_.plsOpen(aInterface, aPort, aSpeed);
}

std::int32_t AnsiPathChip::plsWriteCkHeader()
{
    return chip_.plsWriteCkHeader();
}

std::int32_t AnsiPathChip::plsFill(std::int32_t aValue, std::int32_t aVerify)
{
    return chip_.plsFill(aValue, aVerify);
}

std::int32_t AnsiPathChip::plsDump(const std::string &aPath, std::int32_t aVerify)
{
    return chip_.plsDump(toAnsiCodePage(aPath), aVerify);
}

std::int32_t AnsiPathChip::plsProgram(const std::string &aPath, std::int32_t aVerify)
{
    return chip_.plsProgram(toAnsiCodePage(aPath), aVerify);
}

void AnsiPathChip::plsClose()
{
    chip_.plsClose();
}

std::uintptr_t AnsiPathChip::openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport)
{
    return chip_.openVortaneSpi(aPort, aClock, aTransport);
}

std::int32_t AnsiPathChip::psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                                         std::int32_t aNap)
{
    return chip_.psWriteBdAddr(aHandle, aLap, aUap, aNap);
}

void AnsiPathChip::closeVortane(std::uintptr_t aHandle)
{
    chip_.closeVortane(aHandle);
}

} // namespace kilnor::win32
