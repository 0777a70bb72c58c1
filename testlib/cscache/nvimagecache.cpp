#include "cscache/nvimagecache.h"

#include "cscache/cskeysinfo.h"
#include "core/chiptable.h"
#include "cscache/devicetargets.h"
#include "support/fileutil.h"
#include "support/hextext.h"
#include "cscache/keyrfile.h"
#include "ptest/lookuptable.h"
#include "cscache/nvimagecs.h"
#include "cscache/nvimagefw.h"
#include "cscache/nvimagehdr.h"
#include "cscache/targets.h"
#include "support/stringutil.h"
#include "support/trace.h"

#include <memory>

namespace {

using stringutil::Upper;

const char kSource[] = "nvimagecache";

// Without a key database no key can be placed.
int32_t NoDatabase(const char* aMethod)
{
    ReportError(HandlerOf(aMethod), kCsNoKeysForBuild, "No CS key database is loaded");
    return kCsNoKeysForBuild;
}

}  // namespace

CNvImageCache::CNvImageCache(CCsKeysInfo* aKeysInfo, CMessageHandler* aHandler)
    : CEngine("CNvImageCache::CNvImageCache",
              aHandler != nullptr ? *aHandler : TheMsgHnd::Instance().SharedHandler()),
      mHeader(new CNvImageHdr),
      mCs(new CNvImageCs),
      mFw(new CNvImageFw),
      mKeysInfo(aKeysInfo)
{
    NVT_TRACE(kSource, "CNvImageCache::CNvImageCache");
}

CNvImageCache::~CNvImageCache()
{
    NVT_TRACE(kSource, "CNvImageCache::~CNvImageCache");
}

int32_t CNvImageCache::GetCsVersion(uint16_t& aVersion)
{
    NVT_TRACE(kSource, "CNvImageCache::GetCsVersion", "&aVersion=0x%08p", &aVersion);
    return mCs->GetVersion(aVersion);
}

int32_t CNvImageCache::GetCsData(std::vector<uint16_t>& aData)
{
    NVT_TRACE(kSource, "CNvImageCache::GetCsData", "&aData=0x%08p", &aData);
    return mCs->ReadData(aData);
}

int32_t CNvImageCache::ReadKey(uint16_t aKeyId, std::vector<uint16_t>& aDestArray)
{
    NVT_TRACE(kSource, "CNvImageCache::ReadKey", "aKeyId=%d", aKeyId, "&aDestArray=0x%08p", &aDestArray);
    if (mKeysInfo == nullptr) return NoDatabase("CNvImageCache::ReadKey");
    CsKeyDetails details;
    int32_t status = mKeysInfo->KeyDetailsFromId(aKeyId, details);
    if (status != kCsOk) return status;
    return mCs->ReadData(details.offset, details.length, aDestArray);
}

int32_t CNvImageCache::WriteKey(uint16_t aKeyId, const std::vector<uint16_t>& aSrcArray)
{
    NVT_TRACE(kSource, "CNvImageCache::WriteKey", "aKeyId=%d", aKeyId, "&aSrcArray=0x%08p", &aSrcArray);
    if (mKeysInfo == nullptr) return NoDatabase("CNvImageCache::WriteKey");
    CsKeyDetails details;
    int32_t status = mKeysInfo->KeyDetailsFromId(aKeyId, details);
    if (status != kCsOk) return status;
    if (aSrcArray.size() != details.length) {
        ReportError(HandlerOf("CNvImageCache::WriteKey"), kCsInvalidKeyData,
                    std::string("Invalid key size:") + " " + "Key ID: 0x" + hextext::Lower4(aKeyId) + ", " + "Expected: " +
                        std::to_string(details.length) + " value(s), " + "Given: " +
                        std::to_string(aSrcArray.size()) + " value(s)." + "  ");
        return kCsInvalidKeyData;
    }
    if (details.length == 1) {
        const uint16_t v = aSrcArray[0];
        if (v > details.max || v < details.min) {
            ReportError(HandlerOf("CNvImageCache::WriteKey"), kCsInvalidKeyData,
                        std::string("Invalid key data:") + " " + "Key ID: 0x" + hextext::Lower4(aKeyId) + ", " + "Range: 0x" +
                            hextext::Lower4(details.min) + "-0x" + hextext::Lower4(details.max) + ", " + "Value: 0x" + hextext::Lower4(v) + "." +
                            "  ");
            return kCsInvalidKeyData;
        }
    }
    return mCs->WriteData(details.offset, aSrcArray);
}

int32_t CNvImageCache::MergeImages(CNvImageCache& aSourceForKeys)
{
    NVT_TRACE(kSource, "CNvImageCache::MergeImages", "&aSourceForKeys=0x%08p", &aSourceForKeys);
    const uint16_t count = mKeysInfo != nullptr ? mKeysInfo->NumKeys() : 0;
    if (count == 0) {
        ReportError(HandlerOf("CNvImageCache::MergeImages"), kCsIncompatible, "The key version is invalid");
        return kCsIncompatible;
    }
    int32_t status = kCsOk;
    for (uint16_t i = 0; i < count && status == kCsOk; ++i) {
        uint16_t id = 0;
        status = mKeysInfo->KeyIdFromIndex(i, id);
        std::vector<uint16_t> values;
        if (status == kCsOk) status = aSourceForKeys.ReadKey(id, values);
        if (status == kCsOk) status = WriteKey(id, values);
    }
    return status;
}

int32_t CNvImageCache::ReadFile(const std::string& aFilename)
{
    NVT_TRACE(kSource, "CNvImageCache::ReadFile", "aFilename=>%s<", aFilename);
    return FileOperationHelper(aFilename, false);
}

int32_t CNvImageCache::WriteFile(const std::string& aFilename)
{
    NVT_TRACE(kSource, "CNvImageCache::WriteFile", "aFilename=>%s<", aFilename);
    return FileOperationHelper(aFilename, true);
}

int32_t CNvImageCache::ReadDevice(int32_t aSourceType, uint32_t aStream, bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::ReadDevice", "aSourceType=%d", aSourceType, "aStream=%d", aStream,
              "aCsSectionOnly=%d", aCsSectionOnly);
    return DeviceOperationHelper(aSourceType, aStream, aCsSectionOnly, false);
}

int32_t CNvImageCache::WriteDevice(int32_t aDestType, uint32_t aStream, bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::WriteDevice", "aDestType=%d", aDestType, "aStream=%d", aStream,
              "aCsSectionOnly=%d", aCsSectionOnly);
    return DeviceOperationHelper(aDestType, aStream, aCsSectionOnly, true);
}

int32_t CNvImageCache::FileOperationHelper(const std::string& aFilename, bool aWriteOperation)
{
    NVT_TRACE(kSource, "CNvImageCache::FileOperationHelper", "aFilename=>%s<", aFilename, "aWriteOperation=%d",
              aWriteOperation);
    const std::string ext = Upper(fileutil::GetFileExtension(aFilename));
    std::unique_ptr<CFileTarget> target;
    std::unique_ptr<CKeyrObject> keyr;
    int32_t status = kCsOk;
    if (ext == ".XUV") {
        target.reset(new CXUVTarget);
        status = target->Initialise(aFilename, aWriteOperation);
    } else if (ext == ".IMG") {
        target.reset(new CIMGTarget);
        status = target->Initialise(aFilename, aWriteOperation);
    } else if (ext == ".KEYR") {
        keyr.reset(new CKeyrObject);
        status = keyr->Initialise(mKeysInfo, aFilename, aWriteOperation);
    } else {
        ReportError(HandlerOf("CNvImageCache::FileOperationHelper"), kCsWrongExtension,
                    "The file has the wrong extension.");
        return kCsWrongExtension;
    }
    if (status == kCsOk) {
        if (target)
            status = aWriteOperation ? Save(*target, false) : Load(*target, false);
        else
            status = aWriteOperation ? Save(*keyr) : Load(*keyr);
    }
    if (!aWriteOperation && status == kCsOk) {
        uint16_t version = 0;
        status = GetCsVersion(version);
        if (status == kCsOk) status = mKeysInfo != nullptr ? mKeysInfo->SetInterestedVersion(version)
                                                           : NoDatabase("CNvImageCache::FileOperationHelper");
    }
    return status;
}

int32_t CNvImageCache::DeviceOperationHelper(int32_t aMemType, uint32_t aStream, bool aCsSectionOnly,
                                             bool aWriteOperation)
{
    NVT_TRACE(kSource, "CNvImageCache::DeviceOperationHelper", "aMemType=%d", aMemType, "aStream=%d", aStream,
              "aCsSectionOnly=%d", aCsSectionOnly, "aWriteOperation=%d", aWriteOperation);
    std::unique_ptr<CDeviceTarget> target;
    if (aMemType == kMemTypeSpiFlash)
        target.reset(new CSPIFTarget);
    else if (aMemType == kMemTypeEeprom)
        target.reset(new CE2Target);
    else
        return kCsOk;
    int32_t status = target->Initialise(static_cast<int32_t>(aStream));
    if (status != kCsOk) return status;

    if (aWriteOperation) {
        if (!aCsSectionOnly) return Save(*target, false);
        CNvImageHdr deviceHeader;
        deviceHeader.Load(*target);  // a failure leaves its own report; the comparison below fails then
        // A header without firmware blocks compares equal to any header, but
        // writing it over an image that has firmware blocks would drop them
        // from the device's header: the device would lose its firmware. A
        // device whose header could not be read whole (a blank one) holds no
        // firmware to lose.
        const bool deviceHasFirmware = deviceHeader.Words().size() >= 2 &&
                                       deviceHeader.GetNumberOfBlockHeaders() > 1 &&
                                       deviceHeader.Words().size() * 2 >= deviceHeader.GetTotalHeaderSizeInBytes();
        const bool dropsFirmware = mHeader->GetNumFwBlocks() == 0 && deviceHasFirmware;
        if (!dropsFirmware && mHeader->IsFirmwareEquivalent(deviceHeader)) return Save(*target, true);
        ReportError(HandlerOf("CNvImageCache::DeviceOperationHelper"), kCsIncompatible,
                    "The source and destination images were incompatible with each other");
        return kCsIncompatible;
    }

    status = Load(*target, aCsSectionOnly);
    if (status == kCsOk && mFw->IsPopulated()) status = DetermineFwVersion(aStream);
    uint16_t version = 0;
    if (status == kCsOk) status = GetCsVersion(version);
    if (status == kCsOk)
        status = mKeysInfo != nullptr ? mKeysInfo->SetInterestedVersion(version)
                                      : NoDatabase("CNvImageCache::DeviceOperationHelper");
    return status;
}

int32_t CNvImageCache::Load(CTarget& aTarget, bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::Load", "&aTarget=0x%08p", &aTarget, "aCsSectionOnly=%d", aCsSectionOnly);
    mHeader->Clear();
    mCs->Clear();
    mFw->Clear();
    mFwVersion = 0;
    int32_t status = mHeader->Load(aTarget);
    if (status == kCsOk) status = mCs->Load(aTarget, *mHeader);
    if (status == kCsOk && !aCsSectionOnly) status = mFw->Load(aTarget, *mHeader);
    return status;
}

int32_t CNvImageCache::Save(CTarget& aTarget, bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::Save", "&aTarget=0x%08p", &aTarget, "aCsSectionOnly=%d", aCsSectionOnly);
    int32_t status = mHeader->Save(aTarget, *mCs);
    if (status == kCsOk) status = mCs->Save(aTarget, *mHeader);
    if (status == kCsOk && !aCsSectionOnly) status = mFw->Save(aTarget, *mHeader);
    if (status == kCsOk) status = aTarget.Flush();
    return status;
}

int32_t CNvImageCache::Load(CKeyrObject& aKeyrObject)
{
    NVT_TRACE(kSource, "CNvImageCache::Load", "&aKeyrObject=0x%08p", &aKeyrObject);
    return mCs->Load(aKeyrObject, *this);
}

int32_t CNvImageCache::Save(CKeyrObject& aKeyrObject)
{
    NVT_TRACE(kSource, "CNvImageCache::Save", "&aKeyrObject=0x%08p", &aKeyrObject);
    uint16_t version = 0;
    int32_t status = GetCsVersion(version);
    if (status != kCsOk) return status;
    if (mKeysInfo == nullptr) return NoDatabase("CNvImageCache::Save");
    status = mKeysInfo->SetInterestedVersion(version);
    if (status != kCsOk) return status;
    return mCs->Save(aKeyrObject);
}

int32_t CNvImageCache::DetermineFwVersion(uint32_t aStream)
{
    NVT_TRACE(kSource, "CNvImageCache::DetermineFwVersion", "aStream=%d", aStream);
    if (!mFw->IsPopulated()) return kCsNothingThere;
    CLookupTable table(this, &DeviceChip(aStream));
    if (!table.Locate(kLookupKindFirmware, false)) return kCsNothingThere;
    const uint32_t wordAddress = table.Get(kFwEntryBuildId);
    // The build identifier lies in the 16-bit word space of the firmware.
    if (wordAddress > 0xFFFF) return kCsNothingThere;
    uint16_t version = 0;
    if (!ReadGP(kFirmwareSpace, wordAddress * 2, 1, &version)) return kCsNothingThere;
    mFwVersion = version;
    return kCsOk;
}

bool CNvImageCache::ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords)
{
    if (aSpace != kFirmwareSpace) return false;
    if (!mFw->IsPopulated()) return false;
    const uint32_t word = aByteAddress / 2;
    if (word > 0xFFFF) return false;
    return mFw->CopyData(*mHeader, static_cast<uint16_t>(word), aCount, aWords);
}
