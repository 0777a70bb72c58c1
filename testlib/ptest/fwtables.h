// What the download of a production-test firmware learns from its XBV file:
// the mailbox locations, the build id, the start address and the CS keys
// block, read from the firmware's two lookup tables.
#ifndef NVT_PTEST_FWTABLES_H
#define NVT_PTEST_FWTABLES_H

#include "core/chiptable.h"
#include "core/lasterror.h"
#include "quorlink.h"

#include <cstdint>

class XbvFile;

// The firmware's RAM word at a word address (byte address twice the word's).
inline GenericPointer RamWord(uint32_t aWordAddress)
{
    return GenericPointer{kFirmwareSpace, aWordAddress * 2};
}

struct PtFirmwareTables {
    GenericPointer startAddress{0, 0};
    GenericPointer commandLocation{0, 0};
    GenericPointer aliveTick{0, 0};
    GenericPointer parameters{0, 0};
    GenericPointer results{0, 0};
    uint16_t ptestBuildId = 0;
    uint32_t csKeysLocation = 0;  // word address of the CS keys block
};

// Reads both lookup tables of a parsed XBV file. On failure stores -34 and
// its text in aLastError and returns -34; aTables is then unspecified.
int32_t ReadFirmwareTables(XbvFile& aFile, const CXapHelper& aChip, CLastError& aLastError,
                           PtFirmwareTables& aTables);

// The text stored when an XBV file cannot be read: "Error reading XBV file (" + message + ")".
std::string XbvReadErrorText(const XbvFile& aFile);

#endif
