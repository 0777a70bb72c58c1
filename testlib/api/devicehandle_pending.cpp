// Operations whose device work is not available in this build: each one
// checks the handle state as the call sequence demands and then reports
// "Unsupported function called".
#include "devicehandle.h"

#include "nivoratest.h"

namespace {
int32_t Unsupported(CLastError& aLastError)
{
    return aLastError.SetErrorCode(NVT_ERR_UNSUPPORTED);
}
}  // namespace

#define NVT_PENDING_FIRMWARE_OP(signature)             \
    int32_t CDeviceHandle::signature                   \
    {                                                  \
        if (int32_t rc = RequireFirmware()) return rc; \
        return Unsupported(lastError);                 \
    }

NVT_PENDING_FIRMWARE_OP(RadSetXtalTrim(uint16_t))
NVT_PENDING_FIRMWARE_OP(RadCwStart(uint8_t, uint16_t))
NVT_PENDING_FIRMWARE_OP(RadStop())
NVT_PENDING_FIRMWARE_OP(RadTxStart(uint8_t, uint8_t, uint8_t, uint16_t))
NVT_PENDING_FIRMWARE_OP(RadTxGetPkts(uint16_t*))
NVT_PENDING_FIRMWARE_OP(RadRxStart(uint8_t))
NVT_PENDING_FIRMWARE_OP(PioAssign(uint32_t, uint32_t))
NVT_PENDING_FIRMWARE_OP(PioGet(uint32_t*, uint32_t*))
NVT_PENDING_FIRMWARE_OP(PioSet(uint32_t, uint32_t))
NVT_PENDING_FIRMWARE_OP(LedSet(uint32_t, uint8_t, uint16_t, uint8_t))
NVT_PENDING_FIRMWARE_OP(AioSet(uint8_t, uint16_t))
NVT_PENDING_FIRMWARE_OP(AioGet(uint8_t, uint16_t*))
NVT_PENDING_FIRMWARE_OP(UartLbTest(const char*, uint32_t))

int32_t CDeviceHandle::RadRxGetPkts(uint16_t*)
{
    if (state != kStateReceiving)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: RX must be started");
    return Unsupported(lastError);
}

int32_t CDeviceHandle::CsCacheReadFromChip(uint32_t, bool)
{
    if (int32_t rc = RequireConnected()) return rc;
    state = kStateConnected;
    return Unsupported(lastError);
}

int32_t CDeviceHandle::CsCacheWriteToChip(uint32_t, bool)
{
    if (int32_t rc = RequireConnected()) return rc;
    state = kStateConnected;
    return Unsupported(lastError);
}

int32_t CDeviceHandle::CsCacheReadFromFile(const char*) { return Unsupported(lastError); }
int32_t CDeviceHandle::CsCacheWriteToFile(const char*) { return Unsupported(lastError); }
int32_t CDeviceHandle::CsCacheReadItem(const char*, uint16_t*, uint16_t*) { return Unsupported(lastError); }
int32_t CDeviceHandle::CsCacheWriteItem(const char*, uint16_t*, uint16_t*) { return Unsupported(lastError); }
int32_t CDeviceHandle::CsCacheGetVersion(uint16_t*) { return Unsupported(lastError); }
int32_t CDeviceHandle::CsCacheFileMerge(const char*, uint32_t) { return Unsupported(lastError); }
