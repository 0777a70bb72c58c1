// The object behind a handle of the public interface: its state, the last
// failure text, the production-test session with the device under test and
// the configuration-store cache. Each operation checks the state and its
// pointer arguments, then forwards to the session or the cache.
#ifndef NVT_API_DEVICEHANDLE_H
#define NVT_API_DEVICEHANDLE_H

#include "core/lasterror.h"
#include "quorlink.h"

#include <cstdint>
#include <memory>

class CNvtCsCache;
class CPtSession;

// Handle states.
enum HandleState : int32_t {
    kStateCreated = 0,
    kStateConnected = 1,
    kStateFirmwareLoaded = 2,
    kStateCarrier = 3,
    kStateTransmitting = 4,
    kStateReceiving = 5,
};

class CDeviceHandle {
public:
    CDeviceHandle();
    ~CDeviceHandle();
    CDeviceHandle(const CDeviceHandle&) = delete;
    CDeviceHandle& operator=(const CDeviceHandle&) = delete;

    // Connection and identification.
    int32_t Connect(QlkTransport aTransport, const char* aCsKeyDbPath);
    int32_t GetChipId(uint16_t* aChipId);

    // Production-test firmware.
    int32_t LoadPtFirmware(const char* aXbvPath, bool aLoadCsKeys);
    int32_t GetPtFwBuildInfo(const char* aXbvPath, uint16_t* aLength, char* aBuffer);
    int32_t GetPtFwBuildId(const char* aXbvPath, uint16_t* aBuildId);
    int32_t GetPtFwCsVersion(const char* aXbvPath, uint16_t* aCsVersion);
    int32_t GetPtFwApiVersion(uint32_t* aApiVersion);

    // Radio tests.
    int32_t RadSetXtalTrim(uint16_t aXtalTrim);
    int32_t RadCwStart(uint8_t aChannel, uint16_t aFrequency);
    int32_t RadStop();
    int32_t RadTxStart(uint8_t aChannel, uint8_t aLength, uint8_t aPayload, uint16_t aCount);
    int32_t RadTxGetPkts(uint16_t* aPackets);
    int32_t RadRxStart(uint8_t aChannel);
    int32_t RadRxGetPkts(uint16_t* aPackets);

    // PIO, AIO, LED and UART.
    int32_t PioAssign(uint32_t aPioWordA, uint32_t aPioWordB);
    int32_t PioGet(uint32_t* aPioWordA, uint32_t* aPioWordB);
    int32_t PioSet(uint32_t aPioWordA, uint32_t aPioWordB);
    int32_t LedSet(uint32_t aLedWord, uint8_t aLedMode, uint16_t aLedValue, uint8_t aLedBrightness);
    int32_t AioSet(uint8_t aAioChannel, uint16_t aAioValue);
    int32_t AioGet(uint8_t aAioChannel, uint16_t* aAioValue);
    int32_t UartLbTest(const char* aComPort, uint32_t aBaudRate);

    // Configuration-store cache.
    int32_t CsCacheReadFromChip(uint32_t aNvmType, bool aCsOnly);
    int32_t CsCacheWriteToChip(uint32_t aNvmType, bool aCsOnly);
    int32_t CsCacheReadFromFile(const char* aPath);
    int32_t CsCacheWriteToFile(const char* aPath);
    int32_t CsCacheReadItem(const char* aKeyName, uint16_t* aData, uint16_t* aLength);
    int32_t CsCacheWriteItem(const char* aKeyName, uint16_t* aData, uint16_t* aLength);
    int32_t CsCacheGetVersion(uint16_t* aCsVersion);
    int32_t CsCacheFileMerge(const char* aPath, uint32_t aFlags);

    const char* LastErrorText() const { return lastError.Text(); }

    // Sequence checks: 0 when the state allows the call, else -6 with the
    // sequence text.
    int32_t RequireConnected();
    int32_t RequireFirmware();

    // The last-error record comes first: the session reports into it.
    CLastError lastError;
    int32_t state = kStateCreated;
    // The stream, the firmware's tables (mailbox locations, build id, start
    // address, CS keys block) and the protocol operations.
    std::unique_ptr<CPtSession> session;
    std::unique_ptr<CNvtCsCache> csCache;
};

#endif
