#include "address.h"

#include <cstdio>

namespace station {

Address Address::FromPacked(int64_t aValue)
{
    Address a;
    a.nap = static_cast<uint16_t>((aValue >> 32) & 0xFFFF);
    a.uap = static_cast<uint8_t>((aValue >> 24) & 0xFF);
    a.lap = static_cast<uint32_t>(aValue & 0xFFFFFF);
    return a;
}

std::string Address::Text() const
{
    char text[24];
    std::snprintf(text, sizeof text, "%04X:%02X:%06X", static_cast<unsigned>(nap), static_cast<unsigned>(uap),
                  static_cast<unsigned>(lap));
    return text;
}

void Address::ToWords(uint16_t aWords[4]) const
{
    aWords[0] = static_cast<uint16_t>(lap >> 16);
    aWords[1] = static_cast<uint16_t>(lap & 0xFFFF);
    aWords[2] = uap;
    aWords[3] = nap;
}

Address Address::FromWords(const uint16_t aWords[4])
{
    Address a;
    a.lap = static_cast<uint32_t>(aWords[0] & 0xFF) << 16 | aWords[1];
    a.uap = static_cast<uint8_t>(aWords[2] & 0xFF);
    a.nap = aWords[3];
    return a;
}

std::optional<Address> ParseAddress(const std::string& aText)
{
    if (aText.size() != 14 || aText[4] != ':' || aText[7] != ':') return std::nullopt;
    auto hex = [&](size_t aFrom, size_t aCount, uint32_t& aValue) {
        aValue = 0;
        for (size_t i = aFrom; i < aFrom + aCount; ++i) {
            const char c = aText[i];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            aValue = aValue << 4 | static_cast<uint32_t>(d);
        }
        return true;
    };
    uint32_t nap = 0, uap = 0, lap = 0;
    if (!hex(0, 4, nap) || !hex(5, 2, uap) || !hex(8, 6, lap)) return std::nullopt;
    Address a;
    a.nap = static_cast<uint16_t>(nap);
    a.uap = static_cast<uint8_t>(uap);
    a.lap = lap;
    return a;
}

bool IsReservedLap(uint32_t aLap)
{
    return aLap >= kReservedLapFirst && aLap <= kReservedLapLast;
}

uint32_t NextUsableLap(uint32_t aLap)
{
    return IsReservedLap(aLap) ? kReservedLapLast + 1 : aLap;
}

}  // namespace station
