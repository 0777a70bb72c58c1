// Fuzz target of the XBV reader: parse, then run every query over the tree,
// including the lookup-table search the firmware download does.
#include "ptest/lookuptable.h"
#include "quorlink.h"
#include "ptest/xbvfile.h"

#include <cstddef>
#include <cstdint>

#include "support/clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    // A fake clock: the lookup-table retries must not sleep for real.
    static nvtclock::FakeClock clock;
    static bool installed = (nvtclock::Install(&clock), true);
    (void)installed;

    XbvFile file(aData, aSize, "fuzz.xbv");
    if (file.ErrorCode() != XbvFile::kNoError) return 0;

    char text[32];
    file.GetInfo("IBIS", text, sizeof(text));
    file.GetInfo("ICMT", text, 1);
    for (const XbvChunkFwdl* b = file.NextFirmwareBlock(nullptr); b != nullptr; b = file.NextFirmwareBlock(b))
        (void)b->WordCount();
    uint16_t words[64];
    const uint32_t sltp = file.GetSltp();
    file.ReadGP(sltp >> 24, sltp & 0xFFFFFF, 64, words);

    CXapHelper chip;
    chip.identified = 1;
    for (int32_t index : {1, 19, 29}) {
        chip.chipIndex = index;
        CLookupTable table(&file, &chip);
        table.ReadTable(sltp >> 24, sltp & 0xFFFFFF);
        table.Locate(kLookupKindFirmware, true);
        (void)table.Get(9);
    }
    return 0;
}
