// Binds the controller to the Plessa and Vortane shared libraries.
#ifndef KILNOR_LIBRARIES_H
#define KILNOR_LIBRARIES_H

#include "kilnor_chip.h"

namespace kilnor {

class KilnorLibraries : public KilnorChip {
public:
    std::int32_t plsOpen(std::int32_t aInterface, std::int32_t aPort, std::int32_t aSpeed) override;
    std::int32_t plsWriteCkHeader() override;
    std::int32_t plsFill(std::int32_t aValue, std::int32_t aVerify) override;
    std::int32_t plsDump(const std::string &aPath, std::int32_t aVerify) override;
    std::int32_t plsProgram(const std::string &aPath, std::int32_t aVerify) override;
    void plsClose() override;
    std::uintptr_t openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport) override;
    std::int32_t psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                               std::int32_t aNap) override;
    void closeVortane(std::uintptr_t aHandle) override;
};

} // namespace kilnor

#endif
