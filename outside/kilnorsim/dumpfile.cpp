#include "dumpfile.h"

#include "kilnorsim.h"

#include <cstring>

namespace kilnorsim {

namespace {

const std::uint8_t kMagic[4] = {'K', 'D', 'M', 'P'};
constexpr std::uint16_t kVersion = 1;

void putLe(std::vector<std::uint8_t> &aOut, std::uint32_t aValue, int aBytes)
{
    for (int i = 0; i < aBytes; ++i)
        aOut.push_back(static_cast<std::uint8_t>(aValue >> (8 * i)));
}

std::uint32_t getLe(const std::uint8_t *aIn, int aBytes)
{
    std::uint32_t value = 0;
    for (int i = aBytes - 1; i >= 0; --i)
        value = (value << 8) | aIn[i];
    return value;
}

} // namespace

std::vector<std::uint8_t> encodeDump(const std::vector<std::uint8_t> &aEeprom)
{
    std::vector<std::uint8_t> file(kMagic, kMagic + 4);
    putLe(file, kVersion, 2);
    putLe(file, 0, 2);
    putLe(file, static_cast<std::uint32_t>(aEeprom.size()), 4);
    putLe(file, crc32(aEeprom.data(), aEeprom.size()), 4);
    file.insert(file.end(), aEeprom.begin(), aEeprom.end());
    return file;
}

bool decodeDump(const std::uint8_t *aFile, std::size_t aSize, std::size_t aMaxData,
                std::vector<std::uint8_t> &aData)
{
    if (aFile == nullptr || aSize < kDumpHeaderSize)
        return false;
    if (std::memcmp(aFile, kMagic, 4) != 0 || getLe(aFile + 4, 2) != kVersion || getLe(aFile + 6, 2) != 0)
        return false;
    const std::uint32_t length = getLe(aFile + 8, 4);
    if (length == 0 || length > aMaxData || length != aSize - kDumpHeaderSize)
        return false;
    const std::uint8_t *data = aFile + kDumpHeaderSize;
    if (crc32(data, length) != getLe(aFile + 12, 4))
        return false;
    aData.assign(data, data + length);
    return true;
}

} // namespace kilnorsim
