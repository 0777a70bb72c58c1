// The number grammar of the stand-ins, their simulators and the tools:
// decimal, or hexadecimal after "0x" or "0X". The whole text must be
// digits, and leading zeros stay decimal ("010" is ten, never octal).
// Header-only, so that every simulator can use it without linking another.
#ifndef NVT_OUTSIDE_NUMBERGRAMMAR_H
#define NVT_OUTSIDE_NUMBERGRAMMAR_H

#include <cstdint>
#include <string>

namespace numbergrammar {

// The value of aText; false for an empty text, any other character or a
// value above aMax (aValue is then unchanged).
inline bool Parse(const std::string& aText, uint64_t aMax, uint64_t& aValue)
{
    unsigned base = 10;
    std::size_t first = 0;
    if (aText.size() > 2 && aText[0] == '0' && (aText[1] == 'x' || aText[1] == 'X')) {
        base = 16;
        first = 2;
    }
    if (first == aText.size()) return false;
    uint64_t value = 0;
    for (std::size_t i = first; i < aText.size(); ++i) {
        const char c = aText[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (digit > aMax || value > (aMax - digit) / base) return false;
        value = value * base + digit;
    }
    aValue = value;
    return true;
}

}  // namespace numbergrammar

#endif
