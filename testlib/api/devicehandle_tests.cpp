// The radio, PIO, AIO, LED and UART tests of a device handle: each needs the
// production-test firmware, checks its out pointers and forwards to the
// session. The radio operations move the handle to the state their command
// leaves the radio in; a failing command leaves the state as it was.
#include "api/devicehandle.h"

#include "nivoratest.h"
#include "ptest/session.h"

// --- Radio ------------------------------------------------------------------------

int32_t CDeviceHandle::RadSetXtalTrim(uint16_t aXtalTrim)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return session->RadSetXtalTrim(aXtalTrim);
}

int32_t CDeviceHandle::RadCwStart(uint8_t aChannel, uint16_t aFrequency)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (int32_t rc = session->RadCwStart(aChannel, aFrequency)) return rc;
    state = kStateCarrier;
    return NVT_OK;
}

int32_t CDeviceHandle::RadStop()
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (int32_t rc = session->RadStop()) return rc;
    state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::RadTxStart(uint8_t aChannel, uint8_t aLength, uint8_t aPayload, uint16_t aCount)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (int32_t rc = session->RadTxStart(aChannel, aLength, aPayload, aCount)) return rc;
    state = kStateTransmitting;
    return NVT_OK;
}

int32_t CDeviceHandle::RadTxGetPkts(uint16_t* aPackets)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aPackets == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    if (int32_t rc = session->RadTxGetPkts(*aPackets)) return rc;
    // The transmitter counts down; at 0 the burst is over and the radio idle.
    if (*aPackets == 0) state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::RadRxStart(uint8_t aChannel)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (int32_t rc = session->RadRxStart(aChannel)) return rc;
    state = kStateReceiving;
    return NVT_OK;
}

int32_t CDeviceHandle::RadRxGetPkts(uint16_t* aPackets)
{
    if (state != kStateReceiving)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: RX must be started");
    if (aPackets == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    return session->RadRxGetPkts(*aPackets);
}

// --- PIO, LED, AIO, UART --------------------------------------------------------------

int32_t CDeviceHandle::PioAssign(uint32_t aPioWordA, uint32_t aPioWordB)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return session->PioAssign(aPioWordA, aPioWordB);
}

int32_t CDeviceHandle::PioSet(uint32_t aPioWordA, uint32_t aPioWordB)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return session->PioSet(aPioWordA, aPioWordB);
}

int32_t CDeviceHandle::PioGet(uint32_t* aPioWordA, uint32_t* aPioWordB)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aPioWordA == nullptr || aPioWordB == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    return session->PioGet(*aPioWordA, *aPioWordB);
}

int32_t CDeviceHandle::LedSet(uint32_t aLedWord, uint8_t aLedMode, uint16_t aLedValue, uint8_t aLedBrightness)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return session->LedSet(aLedWord, aLedMode, aLedValue, aLedBrightness);
}

int32_t CDeviceHandle::AioSet(uint8_t aAioChannel, uint16_t aAioValue)
{
    if (int32_t rc = RequireFirmware()) return rc;
    return session->AioSet(aAioChannel, aAioValue);
}

int32_t CDeviceHandle::AioGet(uint8_t aAioChannel, uint16_t* aAioValue)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aAioValue == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    return session->AioGet(aAioChannel, *aAioValue);
}

int32_t CDeviceHandle::UartLbTest(const char* aComPort, uint32_t aBaudRate)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aComPort == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    return session->UartLbTest(aComPort, aBaudRate);
}
