#include "ptest/fwtables.h"

#include "ptest/lookuptable.h"
#include "nivoratest.h"
#include "ptest/xbvfile.h"

#include <string>

std::string XbvReadErrorText(const XbvFile& aFile)
{
    return std::string("Error reading XBV file (") + aFile.ErrorMessage() + ")";
}

int32_t ReadFirmwareTables(XbvFile& aFile, const CXapHelper& aChip, CLastError& aLastError,
                           PtFirmwareTables& aTables)
{
    const uint32_t sltp = aFile.GetSltp();
    if ((sltp >> 24) == 0)
        return aLastError.SetError(NVT_ERR_FW_FILE, "Failed to locate the lookup table");

    CLookupTable ptest(&aFile, &aChip);
    if (!ptest.ReadTable(sltp >> 24, sltp & 0xFFFFFFu))
        return aLastError.SetError(NVT_ERR_FW_FILE, "Failed to read the ptest lookup table");

    static const struct {
        uint16_t key;
        const char* missing;
    } kRequired[] = {
        {kPtEntryCommand, "Command location pointer missing"},
        {kPtEntryAlive, "Alive tick pointer missing"},
        {kPtEntryParameters, "Parameters pointer missing"},
        {kPtEntryResults, "Results pointer missing"},
        {kPtEntryBuildId, "Build ID missing"},
    };
    for (const auto& entry : kRequired)
        if (!ptest.Has(entry.key)) return aLastError.SetError(NVT_ERR_FW_FILE, entry.missing);

    aTables.commandLocation = RamWord(ptest.Get(kPtEntryCommand));
    aTables.aliveTick = RamWord(ptest.Get(kPtEntryAlive));
    aTables.parameters = RamWord(ptest.Get(kPtEntryParameters));
    aTables.results = RamWord(ptest.Get(kPtEntryResults));
    aTables.ptestBuildId = static_cast<uint16_t>(ptest.Get(kPtEntryBuildId) & 0xFFFF);
    if (ptest.Has(kPtEntryStart)) {
        const uint32_t start = ptest.Get(kPtEntryStart);
        aTables.startAddress = GenericPointer{start >> 24, start & 0xFFFFFFu};
    } else {
        aTables.startAddress = GenericPointer{kFirmwareSpace, 0};
    }

    CLookupTable main(&aFile, &aChip);
    if (!main.Locate(kLookupKindFirmware, false))
        return aLastError.SetError(NVT_ERR_FW_FILE, "Failed to read the firmware lookup table");
    aTables.csKeysLocation = main.Get(kFwEntryCsKeys);
    uint16_t mainBuildId = 0xFFFF;
    aFile.ReadGP(kFirmwareSpace, main.Get(kFwEntryBuildId) * 2, 1, &mainBuildId);
    if (mainBuildId != aTables.ptestBuildId)
        return aLastError.SetError(NVT_ERR_FW_FILE, "Firmware contains mismatched build ids (main: " +
                                                        std::to_string(mainBuildId) +
                                                        ", ptest: " + std::to_string(aTables.ptestBuildId) + ")");
    return NVT_OK;
}
