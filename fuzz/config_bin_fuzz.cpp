// Fuzzes the start-up file "config.bin" and the hexadecimal address fields:
// both take bytes the operator controls.
#include "config_bin.h"
#include "hex_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    if (const auto range = kilnor::parseConfigBin(aData, aSize)) {
        if (aSize < kilnor::kConfigBinSize || range->nap > 0xFFFF || range->uap > 0xFF ||
            range->lap > 0xFFFFFF || range->lapEnd > 0xFFFFFF || !(range->lap < range->lapEnd))
            std::abort();
    }

    const std::string text(reinterpret_cast<const char *>(aData), aSize);
    const std::uint32_t value = kilnor::parseHexField(text);
    // What the dialog shows must read back as the same value.
    if (kilnor::parseHexField(kilnor::formatHex(value, 6)) != value)
        std::abort();
    return 0;
}
