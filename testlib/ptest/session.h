// One production-test session with a device under test: its transport
// stream, the production-test firmware's tables once a firmware is loaded,
// and the operations that talk to that firmware. Failures are reported in
// the last-error record the session was made with.
//
// The session makes no sequence checks and checks no pointers: its owner,
// the device handle, does both before it forwards a call. Value ranges are
// checked here, before anything reaches the device.
#ifndef NVT_PTEST_SESSION_H
#define NVT_PTEST_SESSION_H

#include "core/lasterror.h"
#include "ptest/fwtables.h"
#include "ptest/mailbox.h"
#include "quorlink.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CParamValidator;

// Where a firmware download takes the CS keys block from.
class IPtCsKeys {
public:
    virtual ~IPtCsKeys() = default;
    // The CS keys version of the block; a result code.
    virtual int32_t CsKeysVersion(uint16_t& aVersion) = 0;
    // The block to copy into the firmware's RAM, word 0 the version; a result code.
    virtual int32_t CsKeysBlock(std::vector<uint16_t>& aWords) = 0;
};

class CPtSession {
public:
    explicit CPtSession(CLastError& aLastError);
    // Closes the stream when it is open.
    ~CPtSession();
    CPtSession(const CPtSession&) = delete;
    CPtSession& operator=(const CPtSession&) = delete;

    // Connection (connection.h): opens the stream to a supported chip.
    int32_t Open(QlkTransport aTransport);
    void Close();
    bool IsOpen() const { return mOpen; }
    uint32_t Stream() const { return mStream; }
    // The chip of the open stream; without one, the supported chip, whose
    // table formats the firmware files are made for.
    const CXapHelper& Chip() const;

    // Production-test firmware. LoadFirmware downloads and starts the
    // firmware of an XBV file; with aCsKeys it copies their block into the
    // firmware's RAM before the start.
    int32_t LoadFirmware(const char* aXbvPath, IPtCsKeys* aCsKeys);
    // The queries: of the file aXbvPath, read anew, or with a null path of
    // the loaded firmware.
    int32_t BuildIdText(const char* aXbvPath, std::string& aText);
    int32_t BuildId(const char* aXbvPath, uint16_t& aBuildId);
    int32_t CsVersion(const char* aXbvPath, uint16_t& aCsVersion);
    uint32_t ApiVersion() const { return mApiVersion; }
    // The locations the last download read from its file.
    const PtFirmwareTables& Tables() const { return mTables; }
    // The mailbox at those locations, for one operation.
    CMailbox Mailbox();

    // Radio tests (session_radio.cpp).
    int32_t RadSetXtalTrim(uint16_t aXtalTrim);
    int32_t RadCwStart(uint8_t aChannel, uint16_t aFrequency);
    int32_t RadStop();
    int32_t RadTxStart(uint8_t aChannel, uint8_t aLength, uint8_t aPayload, uint16_t aCount);
    int32_t RadTxGetPkts(uint16_t& aPackets);
    int32_t RadRxStart(uint8_t aChannel);
    int32_t RadRxGetPkts(uint16_t& aPackets);

    // PIO, AIO and LED (session_io.cpp), UART loopback (session_uart.cpp).
    int32_t PioAssign(uint32_t aPioWordA, uint32_t aPioWordB);
    int32_t PioSet(uint32_t aPioWordA, uint32_t aPioWordB);
    int32_t PioGet(uint32_t& aPioWordA, uint32_t& aPioWordB);
    int32_t LedSet(uint32_t aLedWord, uint8_t aLedMode, uint16_t aLedValue, uint8_t aLedBrightness);
    int32_t AioSet(uint8_t aAioChannel, uint16_t aAioValue);
    int32_t AioGet(uint8_t aAioChannel, uint16_t& aAioValue);
    int32_t UartLbTest(const char* aComPort, uint32_t aBaudRate);

private:
    // Sends a command that only reads, then reads aCount result words.
    int32_t Query(uint16_t aCommand, uint32_t aCount, uint16_t* aResults);
    // Query of a one-word packet counter.
    int32_t ReadCounter(uint16_t aCommand, uint16_t& aCounter);

    CLastError& mLastError;
    uint32_t mStream = 0x7FFFFFFF;  // no stream yet
    bool mOpen = false;
    PtFirmwareTables mTables;
    std::string mBuildIdText;
    uint32_t mApiVersion = 0;
    std::unique_ptr<CParamValidator> mValidator;
};

#endif
