// Fuzz target of the CS key database loader: any bytes as a database, then
// build selection and every kind of lookup on what was loaded.
#include "cscache/cskeysinfo.h"
#include "support/msghandler.h"

#include <xercesc/util/PlatformUtils.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    // Each load initialises and ends the XML parser's platform; one
    // reference held for the whole run makes that cheap, so the fuzzer
    // spends its time in the parser and the loader.
    static const bool platform = (xercesc::XMLPlatformUtils::Initialize(), true);
    (void)platform;
    CMessageHandler& handler = TheMsgHnd::Instance().SharedHandler();
    static bool initialised = false;
    if (!initialised) {
        // Errors are kept so that every message is built, as in the library.
        handler.SetErrorHolder(false);
        initialised = true;
    }
    CCsKeysInfo keys(handler);
    if (keys.LoadXMLFromBuffer(aData, aSize, "fuzz.xml") != 0) {
        // Why it failed is told without anything read from the input.
        const CCsKeysInfo::LoadProblem& problem = keys.LastLoadProblem();
        if (problem.failure == CCsKeysInfo::LoadFailure::None || !problem.what.empty()) __builtin_trap();
        return 0;
    }
    // The whole database without selecting a build, as the station reads it.
    size_t total = 0;
    for (uint16_t build : keys.BuildIds()) {
        for (const CsKeyDetails& key : keys.KeysOfBuild(build)) total += key.name.size() + key.length;
    }
    (void)total;
    for (uint16_t build : keys.BuildIds()) {
        if (keys.SetInterestedVersion(build) != 0) continue;
        const uint16_t count = keys.NumKeys();
        for (uint16_t i = 0; i < count && i < 64; ++i) {
            CsKeyDetails details;
            if (keys.KeyDetailsFromIndex(i, details) != 0) continue;
            uint16_t id = 0, length = 0;
            keys.KeyIdFromName(details.name, id);
            keys.KeyLength(details.id, length);
        }
        CsKeyDetails missing;
        keys.KeyDetailsFromIndex(count, missing);
    }
    keys.SetInterestedVersion(0x7FFF);
    return 0;
}
