#include "kilnor_libraries.h"

#include "plessa.h"
#include "vortane.h"

namespace kilnor {

int KilnorLibraries::plsOpen(int aInterface, int aPort, int aSpeed)
{
    return ::plsOpen(aInterface, aPort, aSpeed);
}

int KilnorLibraries::plsWriteCkHeader()
{
    return ::plsWriteCkHeader();
}

int KilnorLibraries::plsFill(int aValue, int aVerify)
{
    return ::plsFill(aValue, aVerify);
}

int KilnorLibraries::plsDump(const std::string &aPath, int aVerify)
{
    return ::plsDump(aPath.c_str(), aVerify);
}

int KilnorLibraries::plsProgram(const std::string &aPath, int aVerify)
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
