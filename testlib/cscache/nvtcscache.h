// The configuration-store cache of one device handle: the key database and
// the image cache engine behind the nvtCsCache exports. It turns the
// engine's status values into result codes with a detail text (the last
// error the configuration-store code reported) and collects status texts
// through its observer.
#ifndef NVT_CSCACHE_NVTCSCACHE_H
#define NVT_CSCACHE_NVTCSCACHE_H

#include "core/lasterror.h"
#include "support/msghandler.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CCsKeysInfo;
class CNvImageCache;

class CNvtCsCache {
public:
    // Keeps the last status text posted in the shared handler.
    class CCsStatusObserver : public CObserver {
    public:
        int32_t OnMessage(int32_t aKind, int32_t aLevel, const char* aText) override;
        void OnProgress(int32_t aFirst, int32_t aSecond, uint16_t aValue) override;
        std::string GetStatusText() const { return mText; }

    private:
        std::string mText;
    };

    CNvtCsCache(CLastError& aLastError, uint32_t aStream);
    ~CNvtCsCache();
    CNvtCsCache(const CNvtCsCache&) = delete;
    CNvtCsCache& operator=(const CNvtCsCache&) = delete;

    // Installs the observer and loads the key database (null: the
    // environment variable or the file beside the program). Result code.
    int32_t Initialise(const char* aCsKeyDbPath);

    // The operations of the exports; result codes.
    int32_t ReadFromChip(uint32_t aNvmType, bool aCsSectionOnly);
    int32_t WriteToChip(uint32_t aNvmType, bool aCsSectionOnly);
    int32_t ReadFromFile(const char* aPath);
    int32_t WriteToFile(const char* aPath);
    // aLength: capacity of aValues on entry, the key's length on return.
    int32_t ReadItem(const char* aName, uint16_t* aValues, uint16_t* aLength);
    int32_t WriteItem(const char* aName, const uint16_t* aValues, uint16_t* aLength);
    int32_t GetVersion(uint16_t* aVersion);
    int32_t FileMerge(const char* aPath, uint32_t aMergeFirmware);

    // The CS data, word 0 the version; for the firmware load.
    int32_t GetCsData(std::vector<uint16_t>& aData);
    // What the firmware load asks: the version of the cached CS data, and
    // the CS keys block to copy into the firmware's RAM.
    int32_t GetCsVersion(uint16_t& aVersion) { return GetVersion(&aVersion); }
    int32_t GetCsKeysBlock(std::vector<uint16_t>& aWords) { return GetCsData(aWords); }

    // NVM type of the exports (1 EEPROM, 2 SPI flash; low 8 bits) to the
    // engine's memory type.
    int32_t NvmTypeToMemType(uint32_t aNvmType, int32_t& aMemType);
    // The pending error text of the configuration-store code.
    std::string GetLastCsError();
    // The same, with a text naming aStatus should nothing have been
    // reported: a failure never comes without a text.
    std::string CsDetail(int32_t aStatus);

    CCsKeysInfo* KeysInfo() { return mKeysInfo.get(); }
    CNvImageCache* Engine() { return mEngine.get(); }
    const CCsStatusObserver& Observer() const { return mObserver; }

private:
    // The engine's device read or write behind ReadFromChip and WriteToChip.
    int32_t ChipOperation(uint32_t aNvmType, bool aCsSectionOnly, bool aWrite);
    // The checks the item operations share, then the key's ID by name.
    int32_t ItemKeyId(const char* aName, const uint16_t* aValues, const uint16_t* aLength, uint16_t& aId);

    CLastError* mLastError;  // not owned
    uint32_t mStream;
    std::unique_ptr<CCsKeysInfo> mKeysInfo;
    std::unique_ptr<CNvImageCache> mEngine;
    CCsStatusObserver mObserver;
};

#endif
