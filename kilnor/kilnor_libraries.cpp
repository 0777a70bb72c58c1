#include "kilnor_libraries.h"

#include "plessa.h"
#include "vortane.h"

namespace kilnor {

std::int32_t KilnorLibraries::plsOpen(std::int32_t aInterface, std::int32_t aPort, std::int32_t aSpeed)
{
    return ::plsOpen(aInterface, aPort, aSpeed);
}

std::int32_t KilnorLibraries::plsWriteCkHeader()
{
    return ::plsWriteCkHeader();
}

std::int32_t KilnorLibraries::plsFill(std::int32_t aValue, std::int32_t aVerify)
{
    return ::plsFill(aValue, aVerify);
}

std::int32_t KilnorLibraries::plsDump(const std::string &aPath, std::int32_t aVerify)
{
    return ::plsDump(aPath.c_str(), aVerify);
}

std::int32_t KilnorLibraries::plsProgram(const std::string &aPath, std::int32_t aVerify)
{
    return ::plsProgram(aPath.c_str(), aVerify);
}

void KilnorLibraries::plsClose()
{
    ::plsClose();
}

std::uintptr_t KilnorLibraries::openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport)
{
    return ::openVortaneSpi(aPort, aClock, aTransport);
}

std::int32_t KilnorLibraries::psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                                            std::int32_t aNap)
{
    return ::psWriteBdAddr(aHandle, aLap, aUap, aNap);
}

void KilnorLibraries::closeVortane(std::uintptr_t aHandle)
{
    ::closeVortane(aHandle);
}

} // namespace kilnor
