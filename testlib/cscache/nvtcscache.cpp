#include "cscache/nvtcscache.h"

#include "cscache/cskeysinfo.h"
#include "support/fileutil.h"
#include "nivoratest.h"
#include "cscache/nvimagecache.h"
#include "support/stringutil.h"

#include <sstream>
#include <string>

namespace {

// Every operation starts without a pending error, so the text of a failure
// is always one that this call reported.
void StartCall(const char* aMethod)
{
    ForgetPendingError(HandlerOf(aMethod));
}

}  // namespace

// --- CCsStatusObserver ---------------------------------------------------------

int32_t CNvtCsCache::CCsStatusObserver::OnMessage(int32_t aKind, int32_t aLevel, const char* aText)
{
    if (aKind == kObserverStatusText && aLevel == static_cast<int32_t>(kStatusText))
        mText = aText != nullptr ? aText : "";
    return 0;
}

void CNvtCsCache::CCsStatusObserver::OnProgress(int32_t, int32_t, uint16_t) {}

// --- CNvtCsCache ---------------------------------------------------------------

CNvtCsCache::CNvtCsCache(CLastError& aLastError, uint32_t aStream) : mLastError(&aLastError), mStream(aStream) {}

CNvtCsCache::~CNvtCsCache()
{
    // The engine goes before the key database it uses; the observer
    // uninstalls itself from every handler when it is destroyed.
    mEngine.reset();
    mKeysInfo.reset();
}

int32_t CNvtCsCache::Initialise(const char* aCsKeyDbPath)
{
    CMessageHandler& handler = HandlerOf("CNvtCsCache::Initialise");
    handler.SetErrorHolder(false);  // empty: the load's failure text is its own
    handler.SetStatusStream(nullptr);
    handler.SetObserver(&mObserver);

    mEngine.reset();
    mKeysInfo.reset(new CCsKeysInfo(handler));
    if (mKeysInfo->LoadDatabase(aCsKeyDbPath != nullptr ? aCsKeyDbPath : "") != kCsOk)
        return mLastError->SetError(NVT_ERR_CS_GENERAL,
                                    "Error loading CS key XML database (" + GetLastCsError() + ")");
    mEngine.reset(new CNvImageCache(mKeysInfo.get(), &handler));
    return NVT_OK;
}

std::string CNvtCsCache::CsDetail(int32_t aStatus)
{
    std::string text = GetLastCsError();
    // Every status has its report where it arises; should one ever come
    // without, the caller still gets a text, never an empty one.
    if (text.empty()) text = "The CS cache operation failed with status " + std::to_string(aStatus);
    return text;
}

std::string CNvtCsCache::GetLastCsError()
{
    std::string text;
    int16_t code = 0;
    GetPendingError(HandlerOf("CNvtCsCache::GetLastCsError"), code, text);
    return text;
}

int32_t CNvtCsCache::NvmTypeToMemType(uint32_t aNvmType, int32_t& aMemType)
{
    switch (aNvmType & 0xFF) {
    case 1: aMemType = kMemTypeEeprom; return NVT_OK;
    case 2: aMemType = kMemTypeSpiFlash; return NVT_OK;
    default: return mLastError->SetError(NVT_ERR_INVALID_PARAM, "Unsupported NVM type");
    }
}

int32_t CNvtCsCache::ChipOperation(uint32_t aNvmType, bool aCsSectionOnly, bool aWrite)
{
    StartCall("CNvtCsCache::ChipOperation");
    if (mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    int32_t memType = 0;
    if (int32_t rc = NvmTypeToMemType(aNvmType, memType)) return rc;
    const int32_t status = aWrite ? mEngine->WriteDevice(memType, mStream, aCsSectionOnly)
                                  : mEngine->ReadDevice(memType, mStream, aCsSectionOnly);
    if (status != kCsOk) return mLastError->SetError(NVT_ERR_CS_GENERAL, CsDetail(status));
    return NVT_OK;
}

int32_t CNvtCsCache::ReadFromChip(uint32_t aNvmType, bool aCsSectionOnly)
{
    return ChipOperation(aNvmType, aCsSectionOnly, false);
}

int32_t CNvtCsCache::WriteToChip(uint32_t aNvmType, bool aCsSectionOnly)
{
    return ChipOperation(aNvmType, aCsSectionOnly, true);
}

int32_t CNvtCsCache::ReadFromFile(const char* aPath)
{
    StartCall("CNvtCsCache::ReadFromFile");
    if (mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    if (aPath == nullptr) return mLastError->SetErrorCode(NVT_ERR_INVALID_PARAM);
    const int32_t status = mEngine->ReadFile(aPath);
    if (status != kCsOk) return mLastError->SetError(NVT_ERR_CS_GENERAL, CsDetail(status));
    return NVT_OK;
}

int32_t CNvtCsCache::WriteToFile(const char* aPath)
{
    StartCall("CNvtCsCache::WriteToFile");
    if (mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    if (aPath == nullptr) return mLastError->SetErrorCode(NVT_ERR_INVALID_PARAM);
    const int32_t status = mEngine->WriteFile(aPath);
    if (status == kCsOk) return NVT_OK;
    if (status == kCsWrittenMayBeRedirected) return mLastError->SetError(NVT_WARNING, mObserver.GetStatusText());
    return mLastError->SetError(NVT_ERR_CS_GENERAL, CsDetail(status));
}

int32_t CNvtCsCache::ItemKeyId(const char* aName, const uint16_t* aValues, const uint16_t* aLength, uint16_t& aId)
{
    StartCall("CNvtCsCache::ItemKeyId");
    if (mKeysInfo == nullptr || mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    if (aName == nullptr || aValues == nullptr || aLength == nullptr)
        return mLastError->SetErrorCode(NVT_ERR_INVALID_PARAM);
    if (const int32_t status = mKeysInfo->KeyIdFromName(aName, aId))
        return mLastError->SetError(NVT_ERR_INVALID_PARAM, CsDetail(status));
    return NVT_OK;
}

int32_t CNvtCsCache::ReadItem(const char* aName, uint16_t* aValues, uint16_t* aLength)
{
    uint16_t id = 0;
    if (int32_t rc = ItemKeyId(aName, aValues, aLength, id)) return rc;
    std::vector<uint16_t> words;
    if (const int32_t status = mEngine->ReadKey(id, words))
        return mLastError->SetError(NVT_ERR_CS_GENERAL, CsDetail(status));
    // Keys are at most 65535 words: a key length is a 16-bit value.
    const uint16_t n = static_cast<uint16_t>(words.size());
    if (n > *aLength) {
        mLastError->SetError(NVT_ERR_INVALID_PARAM, "CS key length exceeds specified length (expected: " +
                                                        std::to_string(*aLength) + ", actual: " + std::to_string(n) +
                                                        ")");
        *aLength = n;
        return NVT_ERR_INVALID_PARAM;
    }
    for (uint16_t i = 0; i < n; ++i) aValues[i] = words[i];
    *aLength = n;
    return NVT_OK;
}

int32_t CNvtCsCache::WriteItem(const char* aName, const uint16_t* aValues, uint16_t* aLength)
{
    uint16_t id = 0;
    if (int32_t rc = ItemKeyId(aName, aValues, aLength, id)) return rc;
    const std::vector<uint16_t> words(aValues, aValues + *aLength);
    uint16_t keyLength = 0;
    if (const int32_t status = mKeysInfo->KeyLength(id, keyLength))
        return mLastError->SetError(NVT_ERR_INVALID_PARAM, CsDetail(status));
    if (keyLength != *aLength) {
        mLastError->SetError(NVT_ERR_INVALID_PARAM, "CS key length does not match (expected: " +
                                                        std::to_string(*aLength) +
                                                        ", actual: " + std::to_string(keyLength) + ")");
        *aLength = keyLength;
        return NVT_ERR_INVALID_PARAM;
    }
    if (const int32_t status = mEngine->WriteKey(id, words))
        return mLastError->SetError(NVT_ERR_CS_GENERAL, CsDetail(status));
    return NVT_OK;
}

int32_t CNvtCsCache::GetVersion(uint16_t* aVersion)
{
    StartCall("CNvtCsCache::GetVersion");
    if (mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    if (aVersion == nullptr) return mLastError->SetErrorCode(NVT_ERR_INVALID_PARAM);
    uint16_t version = 0;
    const int32_t status = mEngine->GetCsVersion(version);
    if (status == kCsOk) {
        *aVersion = version;
        return NVT_OK;
    }
    if (status == kCsNothingThere) return mLastError->SetError(NVT_ERR_CS_NOT_INIT, CsDetail(status));
    return mLastError->SetError(NVT_ERR_CS_VERSION, CsDetail(status));
}

int32_t CNvtCsCache::GetCsData(std::vector<uint16_t>& aData)
{
    StartCall("CNvtCsCache::GetCsData");
    if (mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    int32_t result = NVT_OK;
    if (mEngine->GetCsData(aData) != kCsOk) result = mLastError->SetError(NVT_ERR_CS_GENERAL, "Error getting CS data");
    if (aData.empty()) return mLastError->SetError(NVT_ERR_CS_GENERAL, "No CS data found");
    return result;
}

int32_t CNvtCsCache::FileMerge(const char* aPath, uint32_t aMergeFirmware)
{
    StartCall("CNvtCsCache::FileMerge");
    if (mKeysInfo == nullptr || mEngine == nullptr) return mLastError->SetErrorCode(NVT_ERR_CS_NOT_INIT);
    const uint32_t mergeFirmware = aMergeFirmware & 0xFF;
    if (aPath == nullptr || mergeFirmware > 1) return mLastError->SetErrorCode(NVT_ERR_INVALID_PARAM);
    if (mergeFirmware == 1 && stringutil::Upper(fileutil::GetFileExtension(aPath)) == ".KEYR")
        return mLastError->SetError(NVT_ERR_INVALID_PARAM, "Can't merge firmware from KEYR file");

    uint16_t current = 0;
    if (mEngine->GetCsVersion(current) != kCsOk)
        return mLastError->SetError(NVT_ERR_CS_VERSION, "Error reading current CS version (" + GetLastCsError() + ")");

    std::unique_ptr<CNvImageCache> source(new CNvImageCache(mKeysInfo.get(), &HandlerOf("CNvtCsCache::FileMerge")));
    int32_t result = NVT_OK;
    uint16_t sourceVersion = 0;
    if (source->ReadFile(aPath) != kCsOk) {
        result = mLastError->SetError(NVT_ERR_CS_VERSION, "Error reading merge source file (" + GetLastCsError() + ")");
    } else if (source->GetCsVersion(sourceVersion) != kCsOk) {
        result = mLastError->SetError(NVT_ERR_CS_VERSION, "Error reading source CS version (" + GetLastCsError() + ")");
    } else if (sourceVersion != current) {
        result = mLastError->SetError(NVT_ERR_CS_VERSION, "CS version mismatch between source (" +
                                                              std::to_string(sourceVersion) +
                                                              ") and current CS cache (" + std::to_string(current) +
                                                              ")");
    } else if (mergeFirmware == 0) {
        if (mEngine->MergeImages(*source) != kCsOk)
            result = mLastError->SetError(NVT_ERR_CS_GENERAL, "Error merging CS values (" + GetLastCsError() + ")");
    } else {
        if (source->MergeImages(*mEngine) != kCsOk) {
            result = mLastError->SetError(NVT_ERR_CS_GENERAL, "Error merging firmware data (" + GetLastCsError() + ")");
        } else {
            std::swap(source, mEngine);
        }
    }
    source.reset();  // the old engine when the source took its place
    mKeysInfo->SetInterestedVersion(current);
    return result;
}
