// Radio test operations: crystal trim, continuous-wave carrier, packet
// transmission and reception with their packet counters, and stop.
//
// Each operation checks its arguments (nothing reaches the device when one
// of them fails), writes the parameter words and sends one firmware
// command. The device handle moves to the state the command leaves the
// radio in when it succeeds.
#include "ptest/session.h"

#include "nivoratest.h"
#include "ptest/paramvalidator.h"

int32_t CPtSession::ReadCounter(uint16_t aCommand, uint16_t& aCounter)
{
    // The counter changes only when the whole query succeeded.
    uint16_t counter = 0;
    if (int32_t rc = Query(aCommand, 1, &counter)) return rc;
    aCounter = counter;
    return NVT_OK;
}

int32_t CPtSession::RadSetXtalTrim(uint16_t aXtalTrim)
{
    if (!mValidator->Check16(CParamValidator::XtalTrim, aXtalTrim)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[1] = {aXtalTrim};
    return Mailbox().Command(kCmdRadSetXtalTrim, 1, words);
}

int32_t CPtSession::RadCwStart(uint8_t aChannel, uint16_t aFrequency)
{
    if (!mValidator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    if (!mValidator->Check16(CParamValidator::FrequencyMhz, aFrequency)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[2] = {aChannel, aFrequency};
    return Mailbox().Command(kCmdRadCwStart, 2, words);
}

int32_t CPtSession::RadStop()
{
    return Mailbox().Command(kCmdRadStop);
}

int32_t CPtSession::RadTxStart(uint8_t aChannel, uint8_t aLength, uint8_t aPayload, uint16_t aCount)
{
    if (!mValidator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    if (!mValidator->Check8(CParamValidator::TxLength, aLength)) return NVT_ERR_INVALID_PARAM;
    if (!mValidator->Check8(CParamValidator::PayloadType, aPayload)) return NVT_ERR_INVALID_PARAM;
    // The packet count is the firmware's business: any 16-bit value goes.
    const uint16_t words[4] = {aChannel, aLength, aPayload, aCount};
    return Mailbox().Command(kCmdRadTxStart, 4, words);
}

int32_t CPtSession::RadTxGetPkts(uint16_t& aPackets)
{
    return ReadCounter(kCmdRadTxGetPkts, aPackets);
}

int32_t CPtSession::RadRxStart(uint8_t aChannel)
{
    if (!mValidator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[1] = {aChannel};
    return Mailbox().Command(kCmdRadRxStart, 1, words);
}

int32_t CPtSession::RadRxGetPkts(uint16_t& aPackets)
{
    return ReadCounter(kCmdRadRxGetPkts, aPackets);
}
