// The configuration-store cache operations of a device handle. A handle
// whose connection failed or whose chip was refused has no cache; every
// cache operation then fails with -41.
#include "api/devicehandle.h"

#include "nivoratest.h"
#include "cscache/nvtcscache.h"

int32_t CDeviceHandle::CsCacheReadFromChip(uint32_t aNvmType, bool aCsOnly)
{
    if (int32_t rc = RequireConnected()) return rc;
    // Reading the NVM goes around the production-test firmware, which then
    // no longer counts as loaded.
    state = kStateConnected;
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->ReadFromChip(aNvmType, aCsOnly);
}

int32_t CDeviceHandle::CsCacheWriteToChip(uint32_t aNvmType, bool aCsOnly)
{
    if (int32_t rc = RequireConnected()) return rc;
    state = kStateConnected;
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->WriteToChip(aNvmType, aCsOnly);
}

int32_t CDeviceHandle::CsCacheReadFromFile(const char* aPath)
{
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->ReadFromFile(aPath);
}

int32_t CDeviceHandle::CsCacheWriteToFile(const char* aPath)
{
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->WriteToFile(aPath);
}

int32_t CDeviceHandle::CsCacheReadItem(const char* aKeyName, uint16_t* aData, uint16_t* aLength)
{
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->ReadItem(aKeyName, aData, aLength);
}

int32_t CDeviceHandle::CsCacheWriteItem(const char* aKeyName, uint16_t* aData, uint16_t* aLength)
{
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->WriteItem(aKeyName, aData, aLength);
}

int32_t CDeviceHandle::CsCacheGetVersion(uint16_t* aCsVersion)
{
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->GetVersion(aCsVersion);
}

int32_t CDeviceHandle::CsCacheFileMerge(const char* aPath, uint32_t aFlags)
{
    if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
    return csCache->FileMerge(aPath, aFlags);
}
