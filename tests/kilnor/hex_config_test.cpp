#include "config_bin.h"
#include "hex_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using kilnor::parseConfigBin;
using kilnor::parseHexField;

TEST(HexField, ParsesLikeAnUnsignedHexadecimalConversion)
{
    const struct {
        std::string text;
        std::uint32_t value;
    } cases[] = {
        // white space, sign and prefix
        {"1aF", 0x1AFu}, {" \t\n0x00FFFE", 0xFFFEu}, {"+0X10", 0x10u}, {"-1", 0xFFFFFFFFu},
        {"-0x10", 0xFFFFFFF0u}, {"000000000001", 1u},
        // reading stops at the first non-digit; nothing numeric gives 0
        {"12g4", 0x12u}, {"0x", 0u}, {"0xg1", 0u}, {"ab cd", 0xABu}, {"", 0u}, {"   ", 0u}, {"zz", 0u},
        {"- 5", 0u}, {"+-5", 0u},
        // beyond 32 bits saturates, whatever the sign
        {"FFFFFFFF", 0xFFFFFFFFu}, {"100000000", 0xFFFFFFFFu}, {"-100000000", 0xFFFFFFFFu},
        {std::string(200, 'f'), 0xFFFFFFFFu},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parseHexField(c.text), c.value) << '"' << c.text << '"';
}

// Field decoding, the equal range and the short file are covered through
// the controller's start-up.
TEST(ConfigBin, AcceptsOnlyAnIncreasingRange)
{
    const std::uint8_t reversed[] = {0, 1, 2, 0x80, 0, 0, 0x7F, 0xFF, 0xFF};
    EXPECT_FALSE(parseConfigBin(reversed, sizeof reversed));
    const std::uint8_t high[] = {0, 1, 2, 0x7F, 0xFF, 0xFF, 0x80, 0, 0, 0xEE};  // compares unsigned
    const auto range = parseConfigBin(high, sizeof high);  // a tenth byte is not read
    ASSERT_TRUE(range);
    EXPECT_EQ(range->lapEnd, 0x800000u);
    EXPECT_FALSE(parseConfigBin(nullptr, 9));
}
