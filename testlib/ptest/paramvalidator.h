// Checks the value ranges of test parameters and reports violations in the
// handle's last-error record.
//
// Each check first cuts the value to the width the caller names (8, 16 or
// 32 bits) and then compares it unsigned and inclusive, so a channel of
// 256 passed through an 8-bit check is channel 0 and passes.
#ifndef NVT_PTEST_PARAMVALIDATOR_H
#define NVT_PTEST_PARAMVALIDATOR_H

#include <cstdint>

class CLastError;

class CParamValidator {
public:
    // The kinds of value the test operations check.
    enum Kind : int32_t {
        XtalTrim = 0,      // 0 to 63
        Channel = 1,       // 0 to 39
        FrequencyMhz = 2,  // 0, or 2402 to 2480
        TxLength = 3,      // 0 to 37
        PayloadType = 4,   // 0 to 7
        UartBaudRate = 5,  // one of the supported UART rates
        LedMode = 6,       // 0 to 3
        LedBrightness = 7, // 0 to 100
    };

    explicit CParamValidator(CLastError& aLastError) : mLastError(aLastError) {}

    // True when the value, cut to the width, is accepted; otherwise stores
    // the kind's -10 message in the last-error record and returns false.
    bool Check8(Kind aKind, uint32_t aValue);
    bool Check16(Kind aKind, uint32_t aValue);
    bool Check32(Kind aKind, uint32_t aValue);

    // Whether aRate is one of the UART rates the firmware supports.
    static bool IsSupportedBaudRate(uint32_t aRate);

private:
    bool Check(Kind aKind, uint32_t aValue);

    CLastError& mLastError;
};

#endif
