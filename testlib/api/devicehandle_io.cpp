// PIO, AIO and LED operations. The library only carries the values to and
// from the production-test firmware; what each bit means on the chip is the
// firmware's business. None of these operations changes the handle state.
#include "api/devicehandle.h"

#include "api/devicemailbox.h"
#include "nivoratest.h"
#include "ptest/paramvalidator.h"

namespace {

// Sends one of the two PIO write commands with both 32-bit words.
int32_t SendPioWords(CDeviceHandle& aDevice, uint16_t aCommand, uint32_t aWordA, uint32_t aWordB)
{
    const uint16_t words[4] = {HighWord(aWordA), LowWord(aWordA), HighWord(aWordB), LowWord(aWordB)};
    return MailboxOf(aDevice).Command(aCommand, 4, words);
}

}  // namespace

int32_t CDeviceHandle::PioAssign(uint32_t aPioWordA, uint32_t aPioWordB)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return SendPioWords(*this, kCmdPioAssign, aPioWordA, aPioWordB);
}

int32_t CDeviceHandle::PioSet(uint32_t aPioWordA, uint32_t aPioWordB)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return SendPioWords(*this, kCmdPioSet, aPioWordA, aPioWordB);
}

int32_t CDeviceHandle::PioGet(uint32_t* aPioWordA, uint32_t* aPioWordB)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aPioWordA == nullptr || aPioWordB == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    CMailbox mailbox = MailboxOf(*this);
    if (int32_t rc = mailbox.SendCommand(kCmdPioGet)) return rc;
    uint16_t words[4] = {0, 0, 0, 0};
    if (int32_t rc = mailbox.ReadResults(4, words)) return rc;
    *aPioWordA = (static_cast<uint32_t>(words[0]) << 16) | words[1];
    *aPioWordB = (static_cast<uint32_t>(words[2]) << 16) | words[3];
    return NVT_OK;
}

int32_t CDeviceHandle::LedSet(uint32_t aLedWord, uint8_t aLedMode, uint16_t aLedValue, uint8_t aLedBrightness)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (!validator->Check8(CParamValidator::LedMode, aLedMode)) return NVT_ERR_INVALID_PARAM;
    if (!validator->Check8(CParamValidator::LedBrightness, aLedBrightness)) return NVT_ERR_INVALID_PARAM;
    const uint16_t words[5] = {HighWord(aLedWord), LowWord(aLedWord), aLedMode, aLedValue, aLedBrightness};
    return MailboxOf(*this).Command(kCmdLedSet, 5, words);
}

int32_t CDeviceHandle::AioSet(uint8_t aAioChannel, uint16_t aAioValue)
{
    if (int32_t rc = RequireFirmware()) return rc;
    const uint16_t words[2] = {aAioChannel, aAioValue};
    return MailboxOf(*this).Command(kCmdAioSet, 2, words);
}

int32_t CDeviceHandle::AioGet(uint8_t aAioChannel, uint16_t* aAioValue)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aAioValue == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    CMailbox mailbox = MailboxOf(*this);
    const uint16_t words[1] = {aAioChannel};
    if (int32_t rc = mailbox.Command(kCmdAioGet, 1, words)) return rc;
    uint16_t result[1] = {0};
    if (int32_t rc = mailbox.ReadResults(1, result)) return rc;
    *aAioValue = result[0];
    return NVT_OK;
}
