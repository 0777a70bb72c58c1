// The parameter validator: bounds of every kind, the cut to the checked
// width, and the exact messages left in the last-error record.
#include "core/lasterror.h"
#include "ptest/paramvalidator.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ParamValidatorTest : public ::testing::Test {
protected:
    CLastError lastError;
    CParamValidator validator{lastError};

    std::string Text() const { return lastError.Text(); }
};

struct RangeCase {
    CParamValidator::Kind kind;
    const char* label;
    uint32_t high;
};

TEST_F(ParamValidatorTest, RangeKindsAcceptTheirBoundsAndNameThemWhenExceeded)
{
    const RangeCase cases[] = {
        {CParamValidator::XtalTrim, "Xtal trim", 63},
        {CParamValidator::Channel, "Channel", 39},
        {CParamValidator::TxLength, "TX length (bytes)", 37},
        {CParamValidator::PayloadType, "Payload type", 7},
        {CParamValidator::LedMode, "LED mode", 3},
        {CParamValidator::LedBrightness, "LED brightness", 100},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.label);
        lastError.SetError(0, "untouched");
        EXPECT_TRUE(validator.Check32(c.kind, 0));
        EXPECT_TRUE(validator.Check32(c.kind, c.high));
        // A passing check leaves the previous text alone.
        EXPECT_EQ("untouched", Text());
        EXPECT_FALSE(validator.Check32(c.kind, c.high + 1));
        EXPECT_EQ(std::string(c.label) + " value must be between 0 and " + std::to_string(c.high) +
                      " inclusive",
                  Text());
        // Unsigned compare: a negative number is a huge value, not below 0.
        EXPECT_FALSE(validator.Check32(c.kind, static_cast<uint32_t>(-1)));
    }
}

TEST_F(ParamValidatorTest, ValuesAreCutToTheCheckedWidthFirst)
{
    EXPECT_TRUE(validator.Check8(CParamValidator::Channel, 256));       // 0
    EXPECT_FALSE(validator.Check8(CParamValidator::Channel, 300));      // 44
    EXPECT_EQ("Channel value must be between 0 and 39 inclusive", Text());
    EXPECT_TRUE(validator.Check8(CParamValidator::LedMode, 259));       // 3
    EXPECT_FALSE(validator.Check8(CParamValidator::LedMode, 260));      // 4
    EXPECT_TRUE(validator.Check16(CParamValidator::XtalTrim, 0x1003F)); // 63
    EXPECT_FALSE(validator.Check16(CParamValidator::XtalTrim, 0x10040));
    EXPECT_FALSE(validator.Check32(CParamValidator::XtalTrim, 0x1003F));
}

TEST_F(ParamValidatorTest, FrequencyIsZeroOrInsideTheBand)
{
    const std::string message = "Frequency (MHz) value must be 0, or between 2402 and 2480 inclusive";
    for (uint32_t ok : {0u, 2402u, 2440u, 2480u}) EXPECT_TRUE(validator.Check16(CParamValidator::FrequencyMhz, ok)) << ok;
    for (uint32_t bad : {1u, 2401u, 2481u, 65535u}) {
        lastError.SetError(0, "");
        EXPECT_FALSE(validator.Check16(CParamValidator::FrequencyMhz, bad)) << bad;
        EXPECT_EQ(message, Text());
    }
    // Eight bits cannot hold the band, so only 0 passes there.
    EXPECT_TRUE(validator.Check8(CParamValidator::FrequencyMhz, 0));
    EXPECT_TRUE(validator.Check8(CParamValidator::FrequencyMhz, 0x100));
    EXPECT_FALSE(validator.Check8(CParamValidator::FrequencyMhz, 2402));
    // The 16-bit cut of 2402 + 65536 is 2402.
    EXPECT_TRUE(validator.Check16(CParamValidator::FrequencyMhz, 2402 + 65536));
}

TEST_F(ParamValidatorTest, OnlyTheListedUartRatesPass)
{
    const uint32_t rates[] = {2400,   9600,    19200,   38400,   57600,   115200,  230400,
                              460800, 921600,  1382400, 1843200, 2764800, 3686400, 5529600};
    for (uint32_t rate : rates) EXPECT_TRUE(validator.Check32(CParamValidator::UartBaudRate, rate)) << rate;
    for (uint32_t rate : {0u, 300u, 1200u, 4800u, 14400u, 28800u, 76800u, 1000000u, 5529601u}) {
        lastError.SetError(0, "");
        EXPECT_FALSE(validator.Check32(CParamValidator::UartBaudRate, rate)) << rate;
        EXPECT_EQ("UART baud rate is not supported", Text());
    }
    // A rate that needs more than 16 bits does not survive a 16-bit check.
    EXPECT_TRUE(validator.Check16(CParamValidator::UartBaudRate, 57600));
    EXPECT_FALSE(validator.Check16(CParamValidator::UartBaudRate, 115200));
}

TEST_F(ParamValidatorTest, UnknownKindIsRefused)
{
    EXPECT_FALSE(validator.Check32(static_cast<CParamValidator::Kind>(8), 0));
    EXPECT_EQ("Invalid parameter(s)", Text());
    EXPECT_FALSE(validator.Check8(static_cast<CParamValidator::Kind>(-1), 0));
}

}  // namespace
