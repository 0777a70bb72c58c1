// The outside libraries as the controller calls them: Plessa for the
// EEPROM, Vortane for the address write. KilnorLibraries forwards to the
// real libraries; tests substitute a scripted fake.
#ifndef KILNOR_CHIP_H
#define KILNOR_CHIP_H

#include <cstdint>
#include <string>

namespace kilnor {

class KilnorChip {
public:
    virtual ~KilnorChip() = default;

    // Plessa: 0 is success for every result.
    virtual std::int32_t plsOpen(std::int32_t aInterface, std::int32_t aPort, std::int32_t aSpeed) = 0;
    virtual std::int32_t plsWriteCkHeader() = 0;
    virtual std::int32_t plsFill(std::int32_t aValue, std::int32_t aVerify) = 0;
    virtual std::int32_t plsDump(const std::string &aPath, std::int32_t aVerify) = 0;
    virtual std::int32_t plsProgram(const std::string &aPath, std::int32_t aVerify) = 0;
    virtual void plsClose() = 0;

    // Vortane: a handle of 0 is a failed open; psWriteBdAddr returns 1 for
    // a written address.
    virtual std::uintptr_t openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport) = 0;
    virtual std::int32_t psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                                       std::int32_t aNap) = 0;
    virtual void closeVortane(std::uintptr_t aHandle) = 0;
};

} // namespace kilnor

#endif
