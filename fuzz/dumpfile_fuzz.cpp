// Fuzzes the dump-file decoder of the simulated adapter: plsProgram hands it
// whatever file the operator chose.
#include "dumpfile.h"
#include "kilnorsim.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    // A small limit exercises the size check, the largest EEPROM the rest.
    for (const std::size_t limit : {std::size_t(64), kilnorsim::kMaxEepromSize}) {
        std::vector<std::uint8_t> contents;
        if (!kilnorsim::decodeDump(aData, aSize, limit, contents))
            continue;
        // An accepted file holds exactly its contents, and encoding them
        // again gives the same bytes.
        if (contents.empty() || contents.size() > limit ||
            contents.size() != aSize - kilnorsim::kDumpHeaderSize ||
            kilnorsim::encodeDump(contents) != std::vector<std::uint8_t>(aData, aData + aSize))
            std::abort();
    }
    return 0;
}
