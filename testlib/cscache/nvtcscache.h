// The configuration-store cache of one device handle.
#ifndef NVT_CSCACHE_NVTCSCACHE_H
#define NVT_CSCACHE_NVTCSCACHE_H

#include "lasterror.h"

#include <cstdint>
#include <vector>

class CNvtCsCache {
public:
    CNvtCsCache(CLastError& aLastError, uint32_t aStream) : mLastError(aLastError), mStream(aStream) {}

    // Loads the key database; returns a result code.
    int32_t Initialise(const char*) { return 0; }

    // For the firmware load with CS keys: the version of the CS data the
    // cache holds, and the CS keys block to copy into the production-test
    // firmware's RAM (its first word is that version). Result codes; until
    // the cache holds CS data both fail with -41.
    int32_t GetCsVersion(uint16_t& aVersion)
    {
        aVersion = 0;
        return mLastError.SetErrorCode(-41);
    }
    int32_t GetCsKeysBlock(std::vector<uint16_t>& aWords)
    {
        aWords.clear();
        return mLastError.SetErrorCode(-41);
    }

private:
    CLastError& mLastError;
    uint32_t mStream;
};

#endif
