// Hexadecimal texts of the address fields.
#ifndef KILNOR_HEX_TEXT_H
#define KILNOR_HEX_TEXT_H

#include <cstdint>
#include <string>

namespace kilnor {

// Reads an address field as an unsigned hexadecimal number: leading white
// space is skipped, one optional sign and an optional "0x"/"0X" prefix are
// accepted, reading stops at the first non-hexadecimal character. No digits
// give 0, a value beyond 32 bits gives 0xFFFFFFFF, and a minus sign negates
// the value modulo 2^32.
std::uint32_t parseHexField(const std::string &aText);

// The value of one hexadecimal digit (either case); -1 for any other
// character.
int hexDigit(char aChar);

// Upper-case hexadecimal with at least aDigits digits ("%0*X"); wider values
// keep all their digits.
std::string formatHex(std::uint32_t aValue, int aDigits);

} // namespace kilnor

#endif
