#include "ptest/paramvalidator.h"

#include "core/lasterror.h"
#include "nivoratest.h"

#include <string>

namespace {

struct Range {
    const char* label;
    uint32_t low;
    uint32_t high;
};

// Bounds and labels of the kinds that are plain inclusive ranges.
bool RangeOf(CParamValidator::Kind aKind, Range& aRange)
{
    switch (aKind) {
    case CParamValidator::XtalTrim: aRange = {"Xtal trim", 0, 63}; return true;
    case CParamValidator::Channel: aRange = {"Channel", 0, 39}; return true;
    case CParamValidator::TxLength: aRange = {"TX length (bytes)", 0, 37}; return true;
    case CParamValidator::PayloadType: aRange = {"Payload type", 0, 7}; return true;
    case CParamValidator::LedMode: aRange = {"LED mode", 0, 3}; return true;
    case CParamValidator::LedBrightness: aRange = {"LED brightness", 0, 100}; return true;
    default: return false;
    }
}

constexpr uint32_t kFrequencyLowMhz = 2402;
constexpr uint32_t kFrequencyHighMhz = 2480;

const uint32_t kBaudRates[] = {2400,   9600,    19200,   38400,   57600,   115200,  230400,
                               460800, 921600,  1382400, 1843200, 2764800, 3686400, 5529600};

}  // namespace

bool CParamValidator::IsSupportedBaudRate(uint32_t aRate)
{
    for (uint32_t rate : kBaudRates) {
        if (rate == aRate) return true;
    }
    return false;
}

bool CParamValidator::Check8(Kind aKind, uint32_t aValue)
{
    return Check(aKind, aValue & 0xFFu);
}

bool CParamValidator::Check16(Kind aKind, uint32_t aValue)
{
    return Check(aKind, aValue & 0xFFFFu);
}

bool CParamValidator::Check32(Kind aKind, uint32_t aValue)
{
    return Check(aKind, aValue);
}

bool CParamValidator::Check(Kind aKind, uint32_t aValue)
{
    if (aKind == FrequencyMhz) {
        if (aValue == 0 || (aValue >= kFrequencyLowMhz && aValue <= kFrequencyHighMhz)) return true;
        mLastError.SetError(NVT_ERR_INVALID_PARAM, "Frequency (MHz) value must be 0, or between " +
                                                       std::to_string(kFrequencyLowMhz) + " and " +
                                                       std::to_string(kFrequencyHighMhz) + " inclusive");
        return false;
    }
    if (aKind == UartBaudRate) {
        if (IsSupportedBaudRate(aValue)) return true;
        mLastError.SetError(NVT_ERR_INVALID_PARAM, "UART baud rate is not supported");
        return false;
    }
    Range range{};
    if (!RangeOf(aKind, range)) {
        // A kind outside the table cannot be checked: refuse the value
        // rather than let it through unchecked.
        mLastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
        return false;
    }
    if (aValue >= range.low && aValue <= range.high) return true;
    mLastError.SetError(NVT_ERR_INVALID_PARAM, std::string(range.label) + " value must be between " +
                                                   std::to_string(range.low) + " and " +
                                                   std::to_string(range.high) + " inclusive");
    return false;
}
