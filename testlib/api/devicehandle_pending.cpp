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
