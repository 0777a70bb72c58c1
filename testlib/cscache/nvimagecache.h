// The image cache engine: one image of the chip's NVM (header, CS section,
// firmware section) loaded from and saved to image files, KEYR files and
// the chip's EEPROM or SPI flash; keys read and written by ID with the key
// database's layout and limits; two images merged key by key.
#ifndef NVT_CSCACHE_NVIMAGECACHE_H
#define NVT_CSCACHE_NVIMAGECACHE_H

#include "cscache/csstatus.h"
#include "ptest/memoryreader.h"
#include "support/msghandler.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CCsKeysInfo;
class CKeyrObject;
class CNvImageCs;
class CNvImageFw;
class CNvImageHdr;
class CTarget;

// Memory types of a device.
enum NvMemType : int32_t {
    kMemTypeSpiFlash = 0,
    kMemTypeEeprom = 1
};

class CNvImageCache : public CEngine, public IMemoryReaderGP {
public:
    CNvImageCache(CCsKeysInfo* aKeysInfo, CMessageHandler* aHandler);
    ~CNvImageCache() override;
    CNvImageCache(const CNvImageCache&) = delete;
    CNvImageCache& operator=(const CNvImageCache&) = delete;

    // Word 0 of the CS data; 4 when nothing is cached.
    int32_t GetCsVersion(uint16_t& aVersion);
    int32_t GetCsData(std::vector<uint16_t>& aData);
    int32_t ReadKey(uint16_t aKeyId, std::vector<uint16_t>& aDestArray);
    // Checks the value count against the key's length and, for one-word
    // keys, the value against the key's range; 7 with a text when wrong.
    int32_t WriteKey(uint16_t aKeyId, const std::vector<uint16_t>& aSrcArray);
    // Copies every key of the selected build from aSourceForKeys.
    int32_t MergeImages(CNvImageCache& aSourceForKeys);

    // Files by extension: .XUV, .IMG or .KEYR in any case.
    int32_t ReadFile(const std::string& aFilename);
    int32_t WriteFile(const std::string& aFilename);
    // Devices by memory type (NvMemType).
    int32_t ReadDevice(int32_t aSourceType, uint32_t aStream, bool aCsSectionOnly);
    int32_t WriteDevice(int32_t aDestType, uint32_t aStream, bool aCsSectionOnly);

    int32_t Load(CTarget& aTarget, bool aCsSectionOnly);
    // Checks everything first (a header from a successful load, the
    // firmware for a whole image, CS data that fit the CS block, parts that
    // do not overlap), then writes in an order that no interruption can turn
    // into a valid-looking mix (see the comment in the source).
    int32_t Save(CTarget& aTarget, bool aCsSectionOnly);
    int32_t Load(CKeyrObject& aKeyrObject);
    int32_t Save(CKeyrObject& aKeyrObject);

    // Finds the firmware's build identifier in the cached firmware blocks.
    int32_t DetermineFwVersion(uint32_t aStream);
    // Chip memory of space 4 as the cached firmware blocks hold it.
    bool ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords) override;

    uint16_t FwVersion() const { return mFwVersion; }
    CNvImageHdr& Header() { return *mHeader; }
    CNvImageCs& CsSection() { return *mCs; }
    CNvImageFw& FwSection() { return *mFw; }

    // Whether the cached header comes from a load that succeeded.
    bool HeaderLoaded() const { return mHeaderLoaded; }

private:
    // The preconditions of Save; nothing is written when one fails.
    int32_t CheckSave(bool aCsSectionOnly);
    // After a failed read: the key database answers for the cached CS
    // data again (for the build before the read when nothing is cached).
    void ReselectCachedBuild(uint16_t aBuildBefore);
    int32_t FileOperationHelper(const std::string& aFilename, bool aWriteOperation);
    int32_t DeviceOperationHelper(int32_t aMemType, uint32_t aStream, bool aCsSectionOnly, bool aWriteOperation);

    std::unique_ptr<CNvImageHdr> mHeader;
    std::unique_ptr<CNvImageCs> mCs;
    std::unique_ptr<CNvImageFw> mFw;
    CCsKeysInfo* mKeysInfo;  // not owned
    uint16_t mFwVersion = 0;
    bool mHeaderLoaded = false;
};

#endif
