// Radio test operations: crystal trim, continuous-wave carrier, packet
// transmission and reception with their packet counters, and stop.
//
// Each operation checks the handle state, then its out pointer, then its
// arguments (nothing reaches the device when one of them fails), writes the
// parameter words, sends one firmware command and moves the handle to the
// state the command leaves the radio in. A failing command leaves the
// state as it was.
#include "api/devicehandle.h"

#include "api/devicemailbox.h"
#include "nivoratest.h"
#include "ptest/paramvalidator.h"

namespace {

// Sends a command with its parameter words; on success the handle moves to aState.
int32_t Start(CDeviceHandle& aDevice, uint16_t aCommand, uint32_t aCount, const uint16_t* aWords,
              int32_t aState)
{
    if (int32_t rc = MailboxOf(aDevice).Command(aCommand, aCount, aWords)) return rc;
    aDevice.state = aState;
    return NVT_OK;
}

// Sends a counter query and reads the one result word.
int32_t ReadCounter(CDeviceHandle& aDevice, uint16_t aCommand, uint16_t& aCounter)
{
    CMailbox mailbox = MailboxOf(aDevice);
    if (int32_t rc = mailbox.SendCommand(aCommand)) return rc;
    return mailbox.ReadResults(1, &aCounter);
}

}  // namespace

int32_t CDeviceHandle::RadSetXtalTrim(uint16_t aXtalTrim)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check16(CParamValidator::XtalTrim, aXtalTrim)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[1] = {aXtalTrim};
    return MailboxOf(*this).Command(kCmdRadSetXtalTrim, 1, words);
}

int32_t CDeviceHandle::RadCwStart(uint8_t aChannel, uint16_t aFrequency)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check16(CParamValidator::FrequencyMhz, aFrequency)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[2] = {aChannel, aFrequency};
    return Start(*this, kCmdRadCwStart, 2, words, kStateCarrier);
}

int32_t CDeviceHandle::RadStop()
{
    if (int32_t rc = RequireFirmware()) return rc;
    return Start(*this, kCmdRadStop, 0, nullptr, kStateFirmwareLoaded);
}

int32_t CDeviceHandle::RadTxStart(uint8_t aChannel, uint8_t aLength, uint8_t aPayload, uint16_t aCount)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check8(CParamValidator::TxLength, aLength)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check8(CParamValidator::PayloadType, aPayload)) return NVT_ERR_INVALID_PARAM;
    // The packet count is the firmware's business: any 16-bit value goes.
    const uint16_t words[4] = {aChannel, aLength, aPayload, aCount};
    return Start(*this, kCmdRadTxStart, 4, words, kStateTransmitting);
}

int32_t CDeviceHandle::RadTxGetPkts(uint16_t* aPackets)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aPackets == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    uint16_t counter = 0;
    if (int32_t rc = ReadCounter(*this, kCmdRadTxGetPkts, counter)) return rc;
    *aPackets = counter;
    // The transmitter counts down; at 0 the burst is over and the radio idle.
    if (counter == 0) state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::RadRxStart(uint8_t aChannel)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[1] = {aChannel};
    return Start(*this, kCmdRadRxStart, 1, words, kStateReceiving);
}

int32_t CDeviceHandle::RadRxGetPkts(uint16_t* aPackets)
{
    if (state != kStateReceiving)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: RX must be started");
    if (aPackets == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    uint16_t counter = 0;
    if (int32_t rc = ReadCounter(*this, kCmdRadRxGetPkts, counter)) return rc;
    *aPackets = counter;
    return NVT_OK;
}
