// The object behind a handle of the public interface: one connection to a
// device under test, its state, the production-test firmware's mailbox
// locations, the last failure text and the owned helpers.
#ifndef NVT_API_DEVICEHANDLE_H
#define NVT_API_DEVICEHANDLE_H

#include "core/lasterror.h"
#include "quorlink.h"

#include <cstdint>
#include <memory>
#include <string>

class CParamValidator;
class CNvtCsCache;

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

    // Fields, in the order of the handle's data model.
    uint32_t stream = 0x7FFFFFFF;
    CLastError lastError;
    int32_t state = kStateCreated;
    std::string fwBuildIdText;
    uint16_t ptestBuildId = 0;
    uint32_t fwApiVersion = 0;
    GenericPointer startAddress{0, 0};
    GenericPointer commandLocation{0, 0};
    GenericPointer aliveTick{0, 0};
    GenericPointer parameters{0, 0};
    GenericPointer results{0, 0};
    uint32_t csKeysLocation = 0;
    std::unique_ptr<CParamValidator> validator;
    std::unique_ptr<CNvtCsCache> csCache;
};

#endif
