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
    // Copies every key of the selected build from aSourceForKeys. All or
    // nothing: when one key is refused, the CS data are as before the merge.
    int32_t MergeImages(CNvImageCache& aSourceForKeys);

    // Files by extension: .XUV, .IMG or .KEYR in any case.
    int32_t ReadFile(const std::string& aFilename);
    int32_t WriteFile(const std::string& aFilename);
    // Devices by memory type (NvMemType).
    int32_t ReadDevice(int32_t aSourceType, uint32_t aStream, bool aCsSectionOnly);
    int32_t WriteDevice(int32_t aDestType, uint32_t aStream, bool aCsSectionOnly);
    //
    // A read (ReadFile, ReadDevice) either succeeds or leaves the engine
    // exactly as it was: the header, the CS data (and their modified flag),
    // the firmware blocks, the firmware version and the build selected in
    // the key database. A read works on fresh sections and puts the old ones
    // back when it is refused, for whatever reason: a file or device that
    // cannot be read, a blank or corrupt image, a wrong header or CS CRC, a
    // firmware without build identifier, a CS version the database lacks, a
    // KEYR file with a bad line or a key the image cannot hold.
    //
    // A KEYR file read into an engine that holds an image rebuilds the CS
    // data key by key; where the rebuilt data end before the image's CS
    // block does, the rest of the block keeps the words the image had, so
    // the CS block keeps its length and a later save puts a CS CRC over
    // exactly the words a read checks it against.

    // Clears the sections and reads the header, the CS block (whose CS CRC
    // must match its data) and, unless aCsSectionOnly, the firmware blocks.
    // After a failure the sections hold what was read up to it; the file
    // and device reads above put the old sections back then.
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
    // The state a read may replace, kept aside while it runs.
    struct KeptImage;

    // The preconditions of Save; nothing is written when one fails.
    int32_t CheckSave(bool aCsSectionOnly);
    // Moves the sections a read replaces into aKept and puts fresh ones in
    // their place: all three for an image read, the CS section alone for a
    // KEYR read (which lays its keys onto the cached header).
    void SetAside(KeptImage& aKept, bool aWholeImage);
    // After a refused read: the kept sections, the firmware version and the
    // selected build come back as they were.
    void PutBack(KeptImage& aKept);
    // After a KEYR read onto a cached image: the CS data reach the end of
    // the image's CS block again, with the words aLaidOnto had there.
    void KeepCsBlockLength(CNvImageCs& aLaidOnto);
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
