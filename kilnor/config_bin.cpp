#include "config_bin.h"

#include "safe_file.h"

#include <cstdio>

namespace kilnor {

namespace {

std::uint32_t bigEndian(const std::uint8_t *aBytes, int aCount)
{
    std::uint32_t value = 0;
    for (int i = 0; i < aCount; ++i)
        value = (value << 8) | aBytes[i];
    return value;
}

} // namespace

std::optional<AddressRange> parseConfigBin(const std::uint8_t *aData, std::size_t aSize)
{
    // A short file would leave fields undefined: ignore it as a whole.
    if (aData == nullptr || aSize < kConfigBinSize)
        return std::nullopt;
    AddressRange range;
    range.nap = bigEndian(aData, 2);
    range.uap = aData[2];
    range.lap = bigEndian(aData + 3, 3);
    range.lapEnd = bigEndian(aData + 6, 3);
    if (!(range.lap < range.lapEnd))
        return std::nullopt;
    return range;
}

std::optional<AddressRange> readConfigBin(const std::string &aPath)
{
    // Only a regular file: a FIFO or device at the name would hold the
    // start-up.
    PathKind kind = PathKind::Missing;
    std::FILE *file = openRegularForReading(aPath, true, kind);
    if (file == nullptr)
        return std::nullopt;
    std::uint8_t bytes[kConfigBinSize];
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    return parseConfigBin(bytes, got);
}

} // namespace kilnor
