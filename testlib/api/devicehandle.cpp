#include "api/devicehandle.h"

#include "cscache/nvtcscache.h"
#include "nivoratest.h"
#include "ptest/session.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// The CS keys of a firmware download: the handle's cache, which a handle
// whose connection failed does not have (-41).
class CCacheKeys : public IPtCsKeys {
public:
    CCacheKeys(CNvtCsCache* aCache, CLastError& aLastError) : mCache(aCache), mLastError(aLastError) {}
    int32_t CsKeysVersion(uint16_t& aVersion) override
    {
        if (mCache == nullptr) return mLastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
        return mCache->GetCsVersion(aVersion);
    }
    int32_t CsKeysBlock(std::vector<uint16_t>& aWords) override { return mCache->GetCsKeysBlock(aWords); }

private:
    CNvtCsCache* mCache;
    CLastError& mLastError;
};

}  // namespace

CDeviceHandle::CDeviceHandle() : session(new CPtSession(lastError)) {}

CDeviceHandle::~CDeviceHandle()
{
    // The stream closes before the cache that was bound to it goes.
    session->Close();
}

int32_t CDeviceHandle::RequireConnected()
{
    if (state < kStateConnected)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: Must be connected");
    return NVT_OK;
}

int32_t CDeviceHandle::RequireFirmware()
{
    if (state < kStateFirmwareLoaded)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: Ptest firmware must be loaded");
    return NVT_OK;
}

int32_t CDeviceHandle::Connect(QlkTransport aTransport, const char* aCsKeyDbPath)
{
    if (int32_t rc = session->Open(aTransport)) return rc;
    state = kStateConnected;
    csCache.reset(new CNvtCsCache(lastError, session->Stream()));
    return csCache->Initialise(aCsKeyDbPath);
}

int32_t CDeviceHandle::GetChipId(uint16_t* aChipId)
{
    if (int32_t rc = RequireConnected()) return rc;
    if (aChipId == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    *aChipId = session->Chip().secondId;
    return NVT_OK;
}

// --- Production-test firmware ---------------------------------------------------
//
// The queries that take an XBV path need no loaded firmware; without a path
// they ask the loaded one.

int32_t CDeviceHandle::LoadPtFirmware(const char* aXbvPath, bool aLoadCsKeys)
{
    if (int32_t rc = RequireConnected()) return rc;
    if (aXbvPath == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    CCacheKeys keys(csCache.get(), lastError);
    if (int32_t rc = session->LoadFirmware(aXbvPath, aLoadCsKeys ? &keys : nullptr)) return rc;
    state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::GetPtFwBuildInfo(const char* aXbvPath, uint16_t* aLength, char* aBuffer)
{
    // Every failure but a too-small buffer reports a length of 0.
    auto fail = [&](int32_t aCode) {
        if (aLength != nullptr) *aLength = 0;
        return aCode;
    };
    if (aXbvPath == nullptr) {
        if (int32_t rc = RequireFirmware()) return fail(rc);
    }
    if (aLength == nullptr || *aLength == 0 || aBuffer == nullptr)
        return fail(lastError.SetErrorCode(NVT_ERR_INVALID_PARAM));

    std::string text;
    if (int32_t rc = session->BuildIdText(aXbvPath, text)) return fail(rc);

    const size_t needed = text.size() + 1;
    if (*aLength < needed) {
        // A text longer than a 16-bit length can describe reports the largest one.
        *aLength = static_cast<uint16_t>(needed > 0xFFFF ? 0xFFFF : needed);
        return lastError.SetError(NVT_ERR_BUFFER_TOO_SMALL,
                                  "The given character buffer length is too small to store the build ID string");
    }
    std::memcpy(aBuffer, text.c_str(), needed);
    return NVT_OK;
}

int32_t CDeviceHandle::GetPtFwBuildId(const char* aXbvPath, uint16_t* aBuildId)
{
    if (aXbvPath == nullptr) {
        if (int32_t rc = RequireFirmware()) return rc;
    }
    if (aBuildId == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    return session->BuildId(aXbvPath, *aBuildId);
}

int32_t CDeviceHandle::GetPtFwCsVersion(const char* aXbvPath, uint16_t* aCsVersion)
{
    if (aXbvPath == nullptr) {
        if (int32_t rc = RequireFirmware()) return rc;
    }
    if (aCsVersion == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    return session->CsVersion(aXbvPath, *aCsVersion);
}

int32_t CDeviceHandle::GetPtFwApiVersion(uint32_t* aApiVersion)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aApiVersion == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    *aApiVersion = session->ApiVersion();
    return NVT_OK;
}
