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

#include <algorithm>
#include <iomanip>
#include <memory>
#include <sstream>

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

struct CNvImageCache::KeptImage {
    // Null for a section the read does not replace.
    std::unique_ptr<CNvImageHdr> header;
    std::unique_ptr<CNvImageCs> cs;
    std::unique_ptr<CNvImageFw> fw;
    uint16_t fwVersion = 0;
    bool headerLoaded = false;
    uint16_t build = 0;
};

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
    if (mHeaderLoaded) {
        // The CS data must stay inside the image's CS block: grown past it,
        // a later save would write over what follows the block.
        BlockInfo cs{};
        const uint32_t end = uint32_t{details.offset} + details.length;
        if (mHeader->GetCsBlockInfo(cs) == kCsOk && end > cs.length / 2u) {
            ReportError(HandlerOf("CNvImageCache::WriteKey"), kCsInvalidKeyData,
                        std::string("Invalid key location:") + " " + "Key ID: 0x" + hextext::Lower4(aKeyId) + " (" +
                            details.name + "), " + "words " + std::to_string(details.offset) + "-" +
                            std::to_string(end - 1) + " lie outside the CS block of the cached image (" +
                            std::to_string(cs.length / 2u) + " words)." + "  ");
            return kCsInvalidKeyData;
        }
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
    // The keys go into a copy of the CS section, which takes the section's
    // place only when every key was copied: a refused key leaves the cache
    // as it was, never a mix of the two images that a write could store.
    std::unique_ptr<CNvImageCs> merged(new CNvImageCs);
    merged->CopyFrom(*mCs);
    std::swap(merged, mCs);
    int32_t status = kCsOk;
    for (uint16_t i = 0; i < count && status == kCsOk; ++i) {
        uint16_t id = 0;
        status = mKeysInfo->KeyIdFromIndex(i, id);
        std::vector<uint16_t> values;
        if (status == kCsOk) status = aSourceForKeys.ReadKey(id, values);
        if (status == kCsOk) status = WriteKey(id, values);
    }
    if (status != kCsOk) std::swap(merged, mCs);
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
    if (ext == ".XUV") {
        target.reset(new CXUVTarget);
    } else if (ext == ".IMG") {
        target.reset(new CIMGTarget);
    } else if (ext == ".KEYR") {
        keyr.reset(new CKeyrObject);
    } else {
        ReportError(HandlerOf("CNvImageCache::FileOperationHelper"), kCsWrongExtension,
                    "The file has the wrong extension.");
        return kCsWrongExtension;
    }
    if (aWriteOperation) {
        int32_t status = target ? target->Initialise(aFilename, true) : keyr->Initialise(mKeysInfo, aFilename, true);
        if (status == kCsOk) status = target ? Save(*target, false) : Save(*keyr);
        return status;
    }

    // Kept before the file is parsed: reading a KEYR file selects its
    // version on the way.
    KeptImage kept;
    SetAside(kept, target != nullptr);
    int32_t status = target ? target->Initialise(aFilename, false) : keyr->Initialise(mKeysInfo, aFilename, false);
    if (status == kCsOk) {
        if (target) {
            status = Load(*target, false);
        } else {
            status = Load(*keyr);
            if (status == kCsOk && mHeaderLoaded) KeepCsBlockLength(*kept.cs);
        }
    }
    if (status == kCsOk) {
        uint16_t version = 0;
        status = GetCsVersion(version);
        if (status == kCsOk) status = mKeysInfo != nullptr ? mKeysInfo->SetInterestedVersion(version)
                                                           : NoDatabase("CNvImageCache::FileOperationHelper");
    }
    if (status != kCsOk) PutBack(kept);
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

    KeptImage kept;
    SetAside(kept, true);
    status = Load(*target, aCsSectionOnly);
    if (status == kCsOk && mFw->IsPopulated()) status = DetermineFwVersion(aStream);
    uint16_t version = 0;
    if (status == kCsOk) status = GetCsVersion(version);
    if (status == kCsOk)
        status = mKeysInfo != nullptr ? mKeysInfo->SetInterestedVersion(version)
                                      : NoDatabase("CNvImageCache::DeviceOperationHelper");
    if (status != kCsOk) PutBack(kept);
    return status;
}

int32_t CNvImageCache::Load(CTarget& aTarget, bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::Load", "&aTarget=0x%08p", &aTarget, "aCsSectionOnly=%d", aCsSectionOnly);
    mHeader->Clear();
    mCs->Clear();
    mFw->Clear();
    mFwVersion = 0;
    mHeaderLoaded = false;
    int32_t status = mHeader->Load(aTarget);
    if (status == kCsOk) status = mCs->Load(aTarget, *mHeader);
    if (status == kCsOk) {
        // The CS data are the image's settings: a block that does not match
        // its CRC is refused, whatever a CS-only or whole read asked for.
        std::vector<uint16_t> csData;
        mCs->ReadData(csData);
        status = mHeader->CheckCsCrc(csData);
    }
    if (status == kCsOk && !aCsSectionOnly) status = mFw->Load(aTarget, *mHeader);
    mHeaderLoaded = status == kCsOk;
    return status;
}

int32_t CNvImageCache::Save(CTarget& aTarget, bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::Save", "&aTarget=0x%08p", &aTarget, "aCsSectionOnly=%d", aCsSectionOnly);
    // Every precondition is checked before the first write: a refused save
    // leaves the target untouched.
    int32_t status = CheckSave(aCsSectionOnly);
    if (status != kCsOk) return status;

    if (aTarget.FlushReplacesAtOnce()) {
        // A file: nothing reaches the disk before Flush, which replaces the
        // old file in one step, so the order of the writes does not matter.
        status = aTarget.Write(0, mHeader->Words());
        if (status == kCsOk) status = mCs->Save(aTarget, *mHeader);
        if (status == kCsOk && !aCsSectionOnly) status = mFw->Save(aTarget, *mHeader);
        if (status == kCsOk) status = aTarget.Flush();
        return status;
    }

    // A device takes every write as it comes, and a write can be cut off at
    // any point (a failing transfer, a reset, a power loss). The image is
    // written in three steps so that a device cut off at any write either
    // reads exactly as it was, reads exactly as the cache holds it, or is
    // refused by the next read, and never reads as a valid mix of the two:
    //  1. Word 1 with a block count of 0 (its low byte as it will be). From
    //     here on the header reads as corrupt ("zero blocks") whatever else
    //     the device holds; cut off before this one-word write lands, the
    //     device is as it was.
    //  2. The whole header (word 1 still with the count 0), the CS block and,
    //     for a whole image, the firmware blocks. Any mix of old and new words
    //     is refused because of the count.
    //  3. Word 1 as it belongs: one word that makes the new image valid.
    // The count 0 keeps the high byte of word 1 at 0, so an interrupted write
    // never reads as an erased device (0xFFFF in words 0-2). The SPI flash
    // keeps writes in its buffer until Flush burns them, so each step ends
    // with a Flush; for the EEPROM Flush does nothing.
    const std::vector<uint16_t> header = mHeader->Words();
    const uint16_t word1 = header[1];
    std::vector<uint16_t> invalidHeader = header;
    invalidHeader[1] = static_cast<uint16_t>(word1 & 0x00FF);
    status = aTarget.Write(1, std::vector<uint16_t>{invalidHeader[1]});
    if (status == kCsOk) status = aTarget.Flush();
    if (status == kCsOk) status = aTarget.Write(0, invalidHeader);
    if (status == kCsOk) status = mCs->Save(aTarget, *mHeader);
    if (status == kCsOk && !aCsSectionOnly) status = mFw->Save(aTarget, *mHeader);
    if (status == kCsOk) status = aTarget.Flush();
    if (status == kCsOk) status = aTarget.Write(1, std::vector<uint16_t>{word1});
    if (status == kCsOk) status = aTarget.Flush();
    return status;
}

int32_t CNvImageCache::CheckSave(bool aCsSectionOnly)
{
    NVT_TRACE(kSource, "CNvImageCache::CheckSave", "aCsSectionOnly=%d", aCsSectionOnly);
    CMessageHandler& handler = HandlerOf("CNvImageCache::Save");
    if (!mHeader->IsPopulated()) {
        ReportError(handler, kCsWriteFailed, "Image header not present");
        return kCsWriteFailed;
    }
    // A header whose read failed may hold anything; written back with fresh
    // CRCs it would make garbage read as valid.
    const std::vector<uint16_t>& header = mHeader->Words();
    if (!mHeaderLoaded || header.size() < 7 || header.size() * 2 != mHeader->GetTotalHeaderSizeInBytes()) {
        ReportError(handler, kCsWriteFailed,
                    "Image header not present: the last read of the image failed, so there is no valid header to "
                    "write; nothing was written");
        return kCsWriteFailed;
    }
    const uint16_t fwBlocks = mHeader->GetNumFwBlocks();
    if (!aCsSectionOnly && mFw->BlockCount() < fwBlocks) {
        ReportError(handler, kCsNothingThere,
                    "Saving the image without previously populating the cache with the firmware data is not "
                    "allowed.");
        return kCsNothingThere;
    }
    std::vector<uint16_t> csData;
    mCs->ReadData(csData);
    BlockInfo cs{};
    mHeader->GetCsBlockInfo(cs);
    if (csData.size() * 2 > cs.length) {
        ReportError(handler, kCsInvalidLength,
                    "The CS data do not fit the CS block of the image (block length: " + std::to_string(cs.length) +
                        " bytes, data length: " + std::to_string(csData.size() * 2) +
                        " bytes); nothing was written");
        return kCsInvalidLength;
    }

    // The CRCs the save writes (they stay in the cache whatever follows).
    if (const int32_t status = mHeader->UpdateCrcs(*mCs)) return status;

    // What the save writes, word by word: no two parts may claim a word with
    // different contents, or the image would not read back as it is cached.
    // For a CS-only save the device keeps its firmware blocks, whose
    // contents are not known here: the header and CS block must keep clear
    // of them. Addresses wrap at 65536 as the target's writes do.
    const int32_t kFree = -1;
    const int32_t kUnknown = -2;
    std::vector<int32_t> words(0x10000, kFree);
    std::vector<int32_t> owner(0x10000, kFree);
    auto part = [](int32_t aPart) {
        if (aPart == 0) return std::string("the header");
        if (aPart == 1) return std::string("the CS block");
        return "firmware block " + std::to_string(aPart - 1);
    };
    auto claim = [&](int32_t aPart, uint32_t aFirst, const std::vector<uint16_t>* aData, uint32_t aCount) {
        for (uint32_t i = 0; i < aCount; ++i) {
            const uint32_t at = (aFirst + i) & 0xFFFF;
            const int32_t value = aData != nullptr ? (*aData)[i] : kUnknown;
            if (owner[at] != kFree && (words[at] != value || value == kUnknown)) {
                std::ostringstream text;
                text << "The blocks of the image overlap: " << part(aPart) << " and " << part(owner[at])
                     << " both hold word 0x" << std::hex << std::setw(4) << std::setfill('0') << at
                     << "; nothing was written";
                ReportError(handler, kCsImageCorrupt, text.str());
                return false;
            }
            words[at] = value;
            owner[at] = aPart;
        }
        return true;
    };
    const std::vector<uint16_t>& finalHeader = mHeader->Words();
    if (!claim(0, 0, &finalHeader, static_cast<uint32_t>(finalHeader.size()))) return kCsImageCorrupt;
    if (!claim(1, cs.location / 2u, &csData, static_cast<uint32_t>(csData.size()))) return kCsImageCorrupt;
    for (uint16_t i = 0; i < fwBlocks; ++i) {
        BlockInfo fw{};
        if (mHeader->GetFwBlockInfo(i, fw) != kCsOk) continue;
        const uint32_t first = fw.location / 2u;
        const std::vector<uint16_t>* data = aCsSectionOnly ? nullptr : &mFw->Block(i);
        const uint32_t count = aCsSectionOnly ? (uint32_t{fw.location} + fw.length) / 2u - first
                                              : static_cast<uint32_t>(std::min<size_t>(data->size(), 0xFFFF));
        if (!claim(2 + i, first, data, count)) return kCsImageCorrupt;
    }
    return kCsOk;
}

void CNvImageCache::SetAside(KeptImage& aKept, bool aWholeImage)
{
    NVT_TRACE(kSource, "CNvImageCache::SetAside", "aWholeImage=%d", aWholeImage);
    aKept.cs = std::move(mCs);
    mCs.reset(new CNvImageCs);
    aKept.fwVersion = mFwVersion;
    aKept.headerLoaded = mHeaderLoaded;
    aKept.build = mKeysInfo != nullptr ? mKeysInfo->SelectedBuild() : 0;
    if (!aWholeImage) return;
    aKept.header = std::move(mHeader);
    mHeader.reset(new CNvImageHdr);
    aKept.fw = std::move(mFw);
    mFw.reset(new CNvImageFw);
}

void CNvImageCache::PutBack(KeptImage& aKept)
{
    NVT_TRACE(kSource, "CNvImageCache::PutBack");
    if (aKept.cs) mCs = std::move(aKept.cs);
    if (aKept.header) mHeader = std::move(aKept.header);
    if (aKept.fw) mFw = std::move(aKept.fw);
    mFwVersion = aKept.fwVersion;
    mHeaderLoaded = aKept.headerLoaded;
    if (mKeysInfo == nullptr || mKeysInfo->SelectedBuild() == aKept.build) return;
    // The failure's own text stays the pending error, whatever the
    // selection reports.
    CMessageHandler& handler = HandlerOf("CNvImageCache::PutBack");
    int16_t code = 0;
    std::string text;
    const bool pending = GetPendingError(handler, code, text);
    // A build without keys (none selected yet, or none on purpose) cannot
    // be selected again; selecting none answers every lookup as it did.
    if (mKeysInfo->SetInterestedVersion(aKept.build) != kCsOk) mKeysInfo->SelectNoBuild();
    if (pending) ReportError(handler, code, text);
}

void CNvImageCache::KeepCsBlockLength(CNvImageCs& aLaidOnto)
{
    NVT_TRACE(kSource, "CNvImageCache::KeepCsBlockLength", "&aLaidOnto=0x%08p", &aLaidOnto);
    BlockInfo block{};
    if (mHeader->GetCsBlockInfo(block) != kCsOk) return;
    const size_t blockWords = (size_t{block.location} + block.length) / 2 - block.location / 2u;
    std::vector<uint16_t> data;
    std::vector<uint16_t> before;
    mCs->ReadData(data);
    aLaidOnto.ReadData(before);
    if (data.size() >= blockWords) return;
    std::vector<uint16_t> rest(blockWords - data.size(), 0);
    for (size_t i = 0; i < rest.size() && data.size() + i < before.size(); ++i) rest[i] = before[data.size() + i];
    mCs->WriteData(static_cast<uint16_t>(data.size()), rest);
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
    CMessageHandler& handler = HandlerOf("CNvImageCache::DetermineFwVersion");
    if (!mFw->IsPopulated()) {
        ReportError(handler, kCsNothingThere, "The firmware build identifier was not found: no firmware is cached");
        return kCsNothingThere;
    }
    CLookupTable table(this, &DeviceChip(aStream));
    if (!table.Locate(kLookupKindFirmware, false)) {
        ReportError(handler, kCsNothingThere,
                    "The firmware build identifier was not found: the image's firmware blocks hold no lookup "
                    "table of the main firmware");
        return kCsNothingThere;
    }
    const uint32_t wordAddress = table.Get(kFwEntryBuildId);
    uint16_t version = 0;
    // The build identifier lies in the 16-bit word space of the firmware.
    if (wordAddress > 0xFFFF || !ReadGP(kFirmwareSpace, wordAddress * 2, 1, &version)) {
        std::ostringstream text;
        text << "The firmware build identifier was not found: its word address 0x" << std::hex << wordAddress
             << " lies outside the image's firmware blocks";
        ReportError(handler, kCsNothingThere, text.str());
        return kCsNothingThere;
    }
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
