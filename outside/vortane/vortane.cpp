// Stand-in for the Vortane address-writing library over the simulated SPI
// adapter. The chip's address store is the text file bdaddr in the
// simulation directory, one line "NAP:UAP:LAP" in upper-case hexadecimal.
#include "vortane.h"

#include "kilnorsim.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {

// Results of psWriteBdAddr besides 1 (written).
constexpr int32_t kWriteFailed = 0;
constexpr int32_t kBadHandle = -1;
constexpr int32_t kOutOfRange = -2;

std::mutex gMutex;
std::map<VortaneHandle, int> gHandles;  // handle -> transport
VortaneHandle gNextHandle = 0x100;

using kilnorsim::callText;
using kilnorsim::logResult;

} // namespace

extern "C" {

VortaneHandle VORTANE_CALL openVortaneSpi(int32_t aPort, int32_t aClock, int32_t aTransport)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = callText("openVortaneSpi", aPort, aClock, aTransport);
    const bool argsOk = (aTransport == kilnorsim::kTransportLpt && aPort >= 1) ||
                        (aTransport == kilnorsim::kTransportUsb && aPort == -1);
    const auto dir = kilnorsim::directory();
    if (!argsOk || aClock < 0 || !dir)
        return logResult<VortaneHandle>(call, 0);
    const kilnorsim::Config config = kilnorsim::loadConfig(*dir);
    if (!kilnorsim::adapterPresent(config, aTransport) || kilnorsim::operationFails(config, "openVortaneSpi"))
        return logResult<VortaneHandle>(call, 0);
    const VortaneHandle handle = gNextHandle++;
    if (gNextHandle == 0)
        gNextHandle = 0x100;
    gHandles[handle] = aTransport;
    return logResult(call, handle);
}

int32_t VORTANE_CALL psWriteBdAddr(VortaneHandle aHandle, int32_t aLap, int32_t aUap, int32_t aNap)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const uint32_t lap = static_cast<uint32_t>(aLap);
    const uint32_t uap = static_cast<uint32_t>(aUap);
    const uint32_t nap = static_cast<uint32_t>(aNap);
    char args[64];
    std::snprintf(args, sizeof args, "%lu,0x%X,0x%X,0x%X", static_cast<unsigned long>(aHandle),
                  static_cast<unsigned>(lap), static_cast<unsigned>(uap), static_cast<unsigned>(nap));
    const std::string call = std::string("psWriteBdAddr(") + args + ")";

    const auto handle = gHandles.find(aHandle);
    const auto dir = kilnorsim::directory();
    if (handle == gHandles.end() || !dir)
        return logResult(call, kBadHandle);
    // The address store holds 16 + 8 + 24 bits; wider values are refused
    // rather than cut.
    if (lap > 0xFFFFFFu || uap > 0xFFu || nap > 0xFFFFu)
        return logResult(call, kOutOfRange);
    const kilnorsim::Config config = kilnorsim::loadConfig(*dir);
    if (!kilnorsim::adapterPresent(config, handle->second) || kilnorsim::operationFails(config, "psWriteBdAddr") ||
        kilnorsim::takeAddressFailure(*dir))
        return logResult(call, kWriteFailed);
    if (config.addressCrash == kilnorsim::Crash::BeforeWrite) {
        kilnorsim::logCall(call + "=crash");
        kilnorsim::crashNow();
    }
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%04X:%02X:%06X\n", static_cast<unsigned>(nap),
                                static_cast<unsigned>(uap), static_cast<unsigned>(lap));
    const bool ok = kilnorsim::writeFile(kilnorsim::pathIn(*dir, kilnorsim::kAddressFile),
                                         reinterpret_cast<const uint8_t *>(line), static_cast<size_t>(n));
    logResult(call, ok ? int32_t(1) : kWriteFailed);
    if (ok && config.addressCrash == kilnorsim::Crash::AfterWrite)
        kilnorsim::crashNow();
    return ok ? int32_t(1) : kWriteFailed;
}

void VORTANE_CALL closeVortane(VortaneHandle aHandle)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gHandles.erase(aHandle);
    kilnorsim::logCall(callText("closeVortane", aHandle));
}

} // extern "C"
