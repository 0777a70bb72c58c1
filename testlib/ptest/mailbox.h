// The production-test firmware's command mailbox: a command word, a
// parameter block, a result block and an alive tick in the chip's RAM.
#ifndef NVT_PTEST_MAILBOX_H
#define NVT_PTEST_MAILBOX_H

#include "core/lasterror.h"
#include "quorlink.h"

#include <cstdint>

// Command codes of the production-test firmware.
enum PtCommand : uint16_t {
    kCmdPioSet = 0x0100,
    kCmdPioAssign = 0x0101,
    kCmdLedSet = 0x0102,
    kCmdAioSet = 0x0103,
    kCmdGetBuildId = 0x0200,
    kCmdPioGet = 0x0201,
    kCmdAioGet = 0x0202,
    kCmdRadCwStart = 0x0300,
    kCmdRadStop = 0x0301,
    kCmdRadTxStart = 0x0302,
    kCmdRadSetXtalTrim = 0x0303,
    kCmdRadRxStart = 0x0304,
    kCmdRadRxGetPkts = 0x0305,
    kCmdRadTxGetPkts = 0x0306,
    kCmdUartLoopback = 0x0500,
};

// Timing of the wait for an answer.
constexpr uint32_t kMailboxPollMs = 10;
constexpr uint32_t kMailboxAliveTimeoutMs = 3000;
constexpr uint32_t kMailboxOverallTimeoutMs = 20000;

// The ready answer of a freshly started firmware.
constexpr uint16_t kFirmwareReady = 0xFABC;

// Maps a firmware answer to a command to a result code, storing the answer's
// text for a failure: 0x8000 success, 0x8001 -10, 0x8003 and 0x8004 -31,
// 0x8FFF -30, anything else -31.
int32_t MapFirmwareAnswer(CLastError& aLastError, uint16_t aCode, uint16_t aAnswer);

class CMailbox {
public:
    // All locations are space-4 byte addresses taken from the device handle.
    CMailbox(uint32_t aStream, CLastError& aLastError, GenericPointer aCommand,
             GenericPointer aAlive, GenericPointer aParameters, GenericPointer aResults)
        : mStream(aStream), mLastError(aLastError), mCommand(aCommand), mAlive(aAlive),
          mParameters(aParameters), mResults(aResults) {}

    // -23 "Failed to write parameters to DUT" on a transport failure.
    int32_t WriteParameters(uint32_t aCount, const uint16_t* aWords);
    // -24 "Failed to read results from DUT" on a transport failure.
    int32_t ReadResults(uint32_t aCount, uint16_t* aWords);
    // Writes the command code, waits for the answer and maps it to a result code.
    int32_t SendCommand(uint16_t aCode);
    // WriteParameters (when aCount is not 0), then SendCommand.
    int32_t Command(uint16_t aCode, uint32_t aCount = 0, const uint16_t* aWords = nullptr);
    // Polls the command word until bit 15 is set, with the alive and overall timeouts.
    int32_t WaitForResponse();

private:
    uint32_t mStream;
    CLastError& mLastError;
    GenericPointer mCommand;
    GenericPointer mAlive;
    GenericPointer mParameters;
    GenericPointer mResults;
};

#endif
