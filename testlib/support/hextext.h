// Zero-filled hexadecimal digits for message texts: one formatter for the
// command codes, identifications, key IDs, ranges and values the library
// writes into its messages; and the value of a digit for the readers.
#ifndef NVT_SUPPORT_HEXTEXT_H
#define NVT_SUPPORT_HEXTEXT_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace hextext {

// aCount digits (1 to 8), zero-filled; higher digits of aValue are dropped.
inline std::string Digits(uint32_t aValue, int aCount, bool aUpper = false)
{
    if (aCount < 1) aCount = 1;
    if (aCount > 8) aCount = 8;
    if (aCount < 8) aValue &= (1u << (4 * aCount)) - 1u;
    char text[12];
    std::snprintf(text, sizeof(text), aUpper ? "%0*X" : "%0*x", aCount, static_cast<unsigned>(aValue));
    return text;
}

// Four lower-case digits, as key IDs, ranges and values are written.
inline std::string Lower4(uint16_t aValue) { return Digits(aValue, 4); }

// "0x" and exactly four upper-case digits, as command codes and firmware
// answers are written.
inline std::string Hex4Upper(uint32_t aValue) { return "0x" + Digits(aValue, 4, true); }

// Lower-case digits without leading zeros ("0" for 0).
inline std::string Short(uint32_t aValue)
{
    char text[12];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(aValue));
    return text;
}

// Value of a hexadecimal digit (either case), or -1.
inline int DigitValue(char aChar)
{
    if (aChar >= '0' && aChar <= '9') return aChar - '0';
    if (aChar >= 'A' && aChar <= 'F') return aChar - 'A' + 10;
    if (aChar >= 'a' && aChar <= 'f') return aChar - 'a' + 10;
    return -1;
}

}  // namespace hextext

#endif
