// Radio test operations: crystal trim, continuous-wave carrier, packet
// transmission and reception with their packet counters, and stop.
//
// Each operation checks the handle state, then its out pointer, then its
// arguments (nothing reaches the device when one of them fails), writes the
// parameter words, sends one firmware command and moves the handle to the
// state the command leaves the radio in. A failing command leaves the
// state as it was.
#include "devicehandle.h"

#include "devicemailbox.h"
#include "nivoratest.h"
#include "paramvalidator.h"

int32_t CDeviceHandle::RadSetXtalTrim(uint16_t aXtalTrim)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check16(CParamValidator::XtalTrim, aXtalTrim)) return NVT_ERR_INVALID_PARAM;

    CMailbox mailbox = MailboxOf(*this);
    const uint16_t words[1] = {aXtalTrim};
    if (int32_t rc = mailbox.WriteParameters(1, words)) return rc;
    return mailbox.SendCommand(kCmdRadSetXtalTrim);
}

int32_t CDeviceHandle::RadCwStart(uint8_t aChannel, uint16_t aFrequency)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check16(CParamValidator::FrequencyMhz, aFrequency)) return NVT_ERR_INVALID_PARAM;

    CMailbox mailbox = MailboxOf(*this);
    const uint16_t words[2] = {aChannel, aFrequency};
    if (int32_t rc = mailbox.WriteParameters(2, words)) return rc;
    if (int32_t rc = mailbox.SendCommand(kCmdRadCwStart)) return rc;
    state = kStateCarrier;
    return NVT_OK;
}

int32_t CDeviceHandle::RadStop()
{
    if (int32_t rc = RequireFirmware()) return rc;

    CMailbox mailbox = MailboxOf(*this);
    if (int32_t rc = mailbox.SendCommand(kCmdRadStop)) return rc;
    state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::RadTxStart(uint8_t aChannel, uint8_t aLength, uint8_t aPayload, uint16_t aCount)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check8(CParamValidator::TxLength, aLength)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check8(CParamValidator::PayloadType, aPayload)) return NVT_ERR_INVALID_PARAM;

    // The packet count is the firmware's business: any 16-bit value goes.
    CMailbox mailbox = MailboxOf(*this);
    const uint16_t words[4] = {aChannel, aLength, aPayload, aCount};
    if (int32_t rc = mailbox.WriteParameters(4, words)) return rc;
    if (int32_t rc = mailbox.SendCommand(kCmdRadTxStart)) return rc;
    state = kStateTransmitting;
    return NVT_OK;
}

int32_t CDeviceHandle::RadTxGetPkts(uint16_t* aPackets)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aPackets == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    CMailbox mailbox = MailboxOf(*this);
    if (int32_t rc = mailbox.SendCommand(kCmdRadTxGetPkts)) return rc;
    uint16_t words[1] = {0};
    if (int32_t rc = mailbox.ReadResults(1, words)) return rc;
    *aPackets = words[0];
    // The transmitter counts down; at 0 the burst is over and the radio idle.
    if (words[0] == 0) state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::RadRxStart(uint8_t aChannel)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::Channel, aChannel)) return NVT_ERR_INVALID_PARAM;

    CMailbox mailbox = MailboxOf(*this);
    const uint16_t words[1] = {aChannel};
    if (int32_t rc = mailbox.WriteParameters(1, words)) return rc;
    if (int32_t rc = mailbox.SendCommand(kCmdRadRxStart)) return rc;
    state = kStateReceiving;
    return NVT_OK;
}

int32_t CDeviceHandle::RadRxGetPkts(uint16_t* aPackets)
{
    if (state != kStateReceiving)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: RX must be started");
    if (aPackets == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    CMailbox mailbox = MailboxOf(*this);
    if (int32_t rc = mailbox.SendCommand(kCmdRadRxGetPkts)) return rc;
    uint16_t words[1] = {0};
    if (int32_t rc = mailbox.ReadResults(1, words)) return rc;
    *aPackets = words[0];
    return NVT_OK;
}
