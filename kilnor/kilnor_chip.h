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

// Passes every call on to another chip, so that a wrapper overrides only
// the calls it changes.
class ForwardingChip : public KilnorChip {
public:
    explicit ForwardingChip(KilnorChip &aChip) : chip_(aChip) {}

    std::int32_t plsOpen(std::int32_t aInterface, std::int32_t aPort, std::int32_t aSpeed) override
    {
        return chip_.plsOpen(aInterface, aPort, aSpeed);
    }
    std::int32_t plsWriteCkHeader() override { return chip_.plsWriteCkHeader(); }
    std::int32_t plsFill(std::int32_t aValue, std::int32_t aVerify) override { return chip_.plsFill(aValue, aVerify); }
    std::int32_t plsDump(const std::string &aPath, std::int32_t aVerify) override
    {
        return chip_.plsDump(aPath, aVerify);
    }
    std::int32_t plsProgram(const std::string &aPath, std::int32_t aVerify) override
    {
        return chip_.plsProgram(aPath, aVerify);
    }
    void plsClose() override { chip_.plsClose(); }
    std::uintptr_t openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport) override
    {
        return chip_.openVortaneSpi(aPort, aClock, aTransport);
    }
    std::int32_t psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                               std::int32_t aNap) override
    {
        return chip_.psWriteBdAddr(aHandle, aLap, aUap, aNap);
    }
    void closeVortane(std::uintptr_t aHandle) override { chip_.closeVortane(aHandle); }

private:
    KilnorChip &chip_;
};

} // namespace kilnor

#endif
