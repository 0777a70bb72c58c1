// The host side of the firmware's command mailbox: parameter words, the
// command word and its answer, result words, and the wait for an answer.
#include "ptest/mailbox.h"

#include "support/clock.h"
#include "support/hextext.h"
#include "nivoratest.h"
#include "support/stopwatch.h"

#include <string>

namespace {

constexpr uint16_t kAnswered = 0x8000;
constexpr uint16_t kAnswerOk = 0x8000;
constexpr uint16_t kAnswerInvalidParameter = 0x8001;
constexpr uint16_t kAnswerUnknownCommand = 0x8003;
constexpr uint16_t kAnswerNotImplemented = 0x8004;
constexpr uint16_t kAnswerUnspecified = 0x8FFF;

}  // namespace

int32_t MapFirmwareAnswer(CLastError& aLastError, uint16_t aCode, uint16_t aAnswer)
{
    const std::string code = hextext::Hex4Upper(aCode);
    switch (aAnswer) {
    case kAnswerOk:
        return NVT_OK;
    case kAnswerInvalidParameter:
        return aLastError.SetError(NVT_ERR_INVALID_PARAM, "Invalid parameter for command " + code);
    case kAnswerUnknownCommand:
        return aLastError.SetError(NVT_ERR_FW_COMMAND_FAILED, "Command " + code + " unknown");
    case kAnswerNotImplemented:
        return aLastError.SetError(NVT_ERR_FW_COMMAND_FAILED, "Command " + code + " not implemented");
    case kAnswerUnspecified:
        return aLastError.SetError(NVT_ERR_FW_UNSPECIFIED,
                                   "Firmware reports an unspecified error executing command " + code);
    default:
        return aLastError.SetError(NVT_ERR_FW_COMMAND_FAILED,
                                   "Unknown error whilst executing command " + code);
    }
}

// Every mailbox step fails on any non-zero transport result, as the
// firmware download does: a result other than 1 also means the call did
// not deliver (a read then left its words unset).
int32_t CMailbox::WriteParameters(uint32_t aCount, const uint16_t* aWords)
{
    if (aCount != 0 && aWords == nullptr) return mLastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    if (qlk_stream_writegp_block_verify(mStream, mParameters, aCount, aWords) != 0)
        return mLastError.SetError(NVT_ERR_WRITE_FAILED, "Failed to write parameters to DUT");
    return NVT_OK;
}

int32_t CMailbox::ReadResults(uint32_t aCount, uint16_t* aWords)
{
    if (aCount != 0 && aWords == nullptr) return mLastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    if (qlk_stream_readgp_block_verify(mStream, mResults, aCount, aWords) != 0)
        return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read results from DUT");
    return NVT_OK;
}

int32_t CMailbox::SendCommand(uint16_t aCode)
{
    if (qlk_stream_writegp_verify(mStream, mCommand, aCode) != 0)
        return mLastError.SetError(NVT_ERR_WRITE_FAILED, "Failed to write command to DUT");
    if (int32_t rc = WaitForResponse()) return rc;
    uint16_t answer = 0;
    // This text ends with a full stop and the one of the wait does not; both stay as they are.
    if (qlk_stream_readgp_verify(mStream, mCommand, &answer) != 0)
        return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read command location of DUT/Firmware.");
    return MapFirmwareAnswer(mLastError, aCode, answer);
}

int32_t CMailbox::Command(uint16_t aCode, uint32_t aCount, const uint16_t* aWords)
{
    if (aCount != 0) {
        if (int32_t rc = WriteParameters(aCount, aWords)) return rc;
    }
    return SendCommand(aCode);
}

int32_t CMailbox::WaitForResponse()
{
    StopWatch overall;
    StopWatch alive = overall;
    uint16_t lastAlive = 0;
    for (;;) {
        uint16_t command = 0;
        if (qlk_stream_readgp_verify(mStream, mCommand, &command) != 0)
            return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read command location of DUT/Firmware");
        uint16_t tick = 0;
        if (qlk_stream_readgp(mStream, mAlive, &tick) != 0)
            return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read alive pointer while waiting for DUT");
        if ((command & kAnswered) != 0) return NVT_OK;
        if (tick != lastAlive) {
            alive = StopWatch();
            lastAlive = tick;
        }
        if (alive.ElapsedMs() >= kMailboxAliveTimeoutMs)
            return mLastError.SetError(NVT_ERR_FW_TIMEOUT,
                                       "Operation timed out (no 'alive' indication from firmware)");
        if (overall.ElapsedMs() >= kMailboxOverallTimeoutMs)
            return mLastError.SetError(NVT_ERR_FW_TIMEOUT, "Operation timed out (no response)");
        nvtclock::SleepMs(kMailboxPollMs);
    }
}
