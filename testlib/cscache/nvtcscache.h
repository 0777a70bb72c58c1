// The configuration-store cache of one device handle.
#ifndef NVT_CSCACHE_NVTCSCACHE_H
#define NVT_CSCACHE_NVTCSCACHE_H

#include <cstdint>

class CLastError;

class CNvtCsCache {
public:
    CNvtCsCache(CLastError& aLastError, uint32_t aStream) : mLastError(aLastError), mStream(aStream) {}

    // Loads the key database; returns a result code.
    int32_t Initialise(const char*) { return 0; }

private:
    CLastError& mLastError;
    uint32_t mStream;
};

#endif
