// Binds the controller to the Plessa and Vortane shared libraries.
#ifndef KILNOR_LIBRARIES_H
#define KILNOR_LIBRARIES_H

#include "kilnor_chip.h"

namespace kilnor {

class KilnorLibraries : public KilnorChip {
public:
    int plsOpen(int aInterface, int aPort, int aSpeed) override;
    int plsWriteCkHeader() override;
    int plsFill(int aValue, int aVerify) override;
    int plsDump(const std::string &aPath, int aVerify) override;
    int plsProgram(const std::string &aPath, int aVerify) override;
    void plsClose() override;
    std::uintptr_t openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport) override;
    std::int32_t psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                               std::int32_t aNap) override;
    void closeVortane(std::uintptr_t aHandle) override;
};

} // namespace kilnor

#endif
