// PIO, AIO and LED operations. The library only carries the values to and
// from the production-test firmware; what each bit means on the chip is the
// firmware's business.
#include "ptest/session.h"

#include "nivoratest.h"
#include "ptest/paramvalidator.h"
#include "support/words.h"

int32_t CPtSession::PioAssign(uint32_t aPioWordA, uint32_t aPioWordB)
{
    const uint16_t values[4] = {words::High(aPioWordA), words::Low(aPioWordA), words::High(aPioWordB),
                                words::Low(aPioWordB)};
    return Mailbox().Command(kCmdPioAssign, 4, values);
}

int32_t CPtSession::PioSet(uint32_t aPioWordA, uint32_t aPioWordB)
{
    const uint16_t values[4] = {words::High(aPioWordA), words::Low(aPioWordA), words::High(aPioWordB),
                                words::Low(aPioWordB)};
    return Mailbox().Command(kCmdPioSet, 4, values);
}

int32_t CPtSession::PioGet(uint32_t& aPioWordA, uint32_t& aPioWordB)
{
    uint16_t results[4] = {0, 0, 0, 0};
    if (int32_t rc = Query(kCmdPioGet, 4, results)) return rc;
    aPioWordA = words::Join(results[0], results[1]);
    aPioWordB = words::Join(results[2], results[3]);
    return NVT_OK;
}

int32_t CPtSession::LedSet(uint32_t aLedWord, uint8_t aLedMode, uint16_t aLedValue, uint8_t aLedBrightness)
{
    if (!mValidator->Check8(CParamValidator::LedMode, aLedMode)) return NVT_ERR_INVALID_PARAM;
    if (!mValidator->Check8(CParamValidator::LedBrightness, aLedBrightness)) return NVT_ERR_INVALID_PARAM;
    const uint16_t values[5] = {words::High(aLedWord), words::Low(aLedWord), aLedMode, aLedValue, aLedBrightness};
    return Mailbox().Command(kCmdLedSet, 5, values);
}

int32_t CPtSession::AioSet(uint8_t aAioChannel, uint16_t aAioValue)
{
    const uint16_t values[2] = {aAioChannel, aAioValue};
    return Mailbox().Command(kCmdAioSet, 2, values);
}

int32_t CPtSession::AioGet(uint8_t aAioChannel, uint16_t& aAioValue)
{
    CMailbox mailbox = Mailbox();
    const uint16_t values[1] = {aAioChannel};
    if (int32_t rc = mailbox.Command(kCmdAioGet, 1, values)) return rc;
    uint16_t result[1] = {0};
    if (int32_t rc = mailbox.ReadResults(1, result)) return rc;
    aAioValue = result[0];
    return NVT_OK;
}
