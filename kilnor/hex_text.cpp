#include "hex_text.h"

#include <cstdio>

namespace kilnor {

int hexDigit(char aChar)
{
    if (aChar >= '0' && aChar <= '9')
        return aChar - '0';
    if (aChar >= 'a' && aChar <= 'f')
        return aChar - 'a' + 10;
    if (aChar >= 'A' && aChar <= 'F')
        return aChar - 'A' + 10;
    return -1;
}

namespace {

bool isSpace(char aChar)
{
    return aChar == ' ' || aChar == '\t' || aChar == '\n' || aChar == '\v' || aChar == '\f' || aChar == '\r';
}

} // namespace

std::uint32_t parseHexField(const std::string &aText)
{
    std::size_t i = 0;
    const std::size_t n = aText.size();
    while (i < n && isSpace(aText[i]))
        ++i;
    bool negative = false;
    if (i < n && (aText[i] == '+' || aText[i] == '-')) {
        negative = aText[i] == '-';
        ++i;
    }
    // "0x" counts as a prefix only when a hexadecimal digit follows;
    // otherwise the "0" alone is the number.
    if (i + 2 < n && aText[i] == '0' && (aText[i + 1] == 'x' || aText[i + 1] == 'X') &&
        hexDigit(aText[i + 2]) >= 0)
        i += 2;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < n; ++i) {
        const int digit = hexDigit(aText[i]);
        if (digit < 0)
            break;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value = 0xFFFFFFFFull;  // keep it bounded; the rest is only consumed
        }
    }
    if (overflow)
        return 0xFFFFFFFFu;
    std::uint32_t result = static_cast<std::uint32_t>(value);
    if (negative)
        result = 0u - result;
    return result;
}

std::string formatHex(std::uint32_t aValue, int aDigits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", aDigits, static_cast<unsigned>(aValue));
    return text;
}

} // namespace kilnor
