// The outside libraries take file names in the system's ANSI code page;
// the controller works in UTF-8. This forwards every call and converts the
// dump-file paths on the way.
#ifndef KILNOR_WIN32_ANSI_PATH_CHIP_H
#define KILNOR_WIN32_ANSI_PATH_CHIP_H

#include "kilnor_chip.h"

namespace kilnor::win32 {

class AnsiPathChip : public KilnorChip {
public:
    explicit AnsiPathChip(KilnorChip &aChip) : chip_(aChip) {}

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

private:
    KilnorChip &chip_;
};

} // namespace kilnor::win32

#endif
