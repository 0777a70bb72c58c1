// The command mailbox against the emulated firmware: answer codes, transport
// failures, timeouts, transport calls per command, and what the firmware did.
#include "api/devicehandle.h"
#include "ptest/mailbox.h"
#include "ptest/session.h"
#include "mailboxfailures.h"
#include "simdut.h"

namespace {

class MailboxTest : public SimDutTest {
protected:
    void Start(const std::string& aTransport = "sim", const fixtures::PtFirmwareLayout& aLayout = {})
    {
        Open(aTransport);
        ASSERT_EQ(Load(aLayout), NVT_OK) << Text();
        ASSERT_NE(Firmware(), nullptr);
    }
    CMailbox Mailbox()
    {
        return static_cast<CDeviceHandle*>(handle)->session->Mailbox();
    }
};

}  // namespace

TEST_F(MailboxTest, AnswerCodesMapToResultsAndTexts)
{
    Start();
    struct Case {
        uint16_t answer;
        int32_t code;
        const char* text;
    } cases[] = {
        {0x8001, NVT_ERR_INVALID_PARAM, "Invalid parameter for command 0x0303"},
        {0x8002, NVT_ERR_FW_COMMAND_FAILED, "Unknown error whilst executing command 0x0303"},
        {0x8003, NVT_ERR_FW_COMMAND_FAILED, "Command 0x0303 unknown"},
        {0x8004, NVT_ERR_FW_COMMAND_FAILED, "Command 0x0303 not implemented"},
        {0x8FFF, NVT_ERR_FW_UNSPECIFIED, "Firmware reports an unspecified error executing command 0x0303"},
        {0xFFFF, NVT_ERR_FW_COMMAND_FAILED, "Unknown error whilst executing command 0x0303"},
    };
    for (const Case& c : cases) {
        Firmware()->behaviour().answers[0x0303] = c.answer;
        EXPECT_EQ(Mailbox().SendCommand(0x0303), c.code) << std::hex << c.answer;
        EXPECT_EQ(Text(), c.text);
    }
    Firmware()->behaviour().answers.clear();
    EXPECT_EQ(Mailbox().SendCommand(0x0303), NVT_OK);
    // A code the firmware does not know.
    EXPECT_EQ(Mailbox().SendCommand(0x0042), NVT_ERR_FW_COMMAND_FAILED);
    EXPECT_EQ(Text(), "Command 0x0042 unknown");
}

TEST_F(MailboxTest, AnswerChosenWhenTheImageIsBuilt)
{
    fixtures::PtFirmwareLayout plan;
    plan.behaviour = devsim::ptimage::kAnswerCode;
    plan.behaviourCommand = 0x0303;
    plan.behaviourAnswer = 0x8001;
    Start("sim", plan);
    const uint16_t trim = 64;
    ASSERT_EQ(Mailbox().WriteParameters(1, &trim), NVT_OK);
    EXPECT_EQ(Mailbox().SendCommand(0x0303), NVT_ERR_INVALID_PARAM);
    EXPECT_EQ(Text(), "Invalid parameter for command 0x0303");
    EXPECT_EQ(Mailbox().SendCommand(0x0301), NVT_OK);
}

TEST_F(MailboxTest, CommandAnsweredAtOnceCostsFourTransportCalls)
{
    nvtclock::ScopedFakeClock clock;
    Start();
    chip->ClearCounters();
    EXPECT_EQ(Mailbox().SendCommand(0x0301), NVT_OK);
    // Command write, one poll (command word and alive tick), answer read.
    EXPECT_EQ(chip->counters().calls, 4u);
    EXPECT_EQ(chip->counters().writes, 1u);
    EXPECT_EQ(clock->Sleeps(), 0u);

    chip->ClearCounters();
    const uint16_t words[4] = {0, 1, 0, 2};
    uint16_t results[4] = {};
    ASSERT_EQ(Mailbox().WriteParameters(4, words), NVT_OK);
    ASSERT_EQ(Mailbox().SendCommand(0x0100), NVT_OK);
    ASSERT_EQ(Mailbox().SendCommand(0x0201), NVT_OK);
    ASSERT_EQ(Mailbox().ReadResults(4, results), NVT_OK);
    EXPECT_EQ(chip->counters().calls, 10u);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(results[3], 2);
}

TEST_F(MailboxTest, SlowAnswerIsPolledEveryTenMilliseconds)
{
    nvtclock::ScopedFakeClock clock;
    Start("sim:fwfault=delay:5");
    uint64_t slept = clock->SleptMs();
    chip->ClearCounters();
    EXPECT_EQ(Mailbox().SendCommand(0x0301), NVT_OK);
    EXPECT_EQ(clock->SleptMs() - slept, 40u);  // answered at the fifth poll
    EXPECT_EQ(chip->counters().reads, 5u * 2 + 1);
}

TEST_F(MailboxTest, TimeoutsAfterTheFirmwareStarted)
{
    nvtclock::ScopedFakeClock clock;
    Start();
    // Alive but silent: the overall timeout.
    Firmware()->behaviour().aliveOnly = true;
    uint64_t t0 = clock->NowMs();
    EXPECT_EQ(Mailbox().SendCommand(0x0301), NVT_ERR_FW_TIMEOUT);
    EXPECT_EQ(Text(), "Operation timed out (no response)");
    EXPECT_EQ(clock->NowMs() - t0, 20000u);
    // Dead: the alive timeout, measured from the last change of the tick.
    Firmware()->behaviour().silent = true;
    t0 = clock->NowMs();
    EXPECT_EQ(Mailbox().SendCommand(0x0301), NVT_ERR_FW_TIMEOUT);
    EXPECT_EQ(Text(), "Operation timed out (no 'alive' indication from firmware)");
    EXPECT_EQ(clock->NowMs() - t0, 3000u);
}

TEST_F(MailboxTest, TransportFailuresHaveTheirOwnTexts)
{
    Start();
    for (const MailboxFailure& c : MailboxCommandFailures()) {
        const devsim::Counters& n = chip->counters();
        if (c.write)
            chip->FailWriteAt(n.writes + c.nth);
        else
            chip->FailReadAt(n.reads + c.nth);
        EXPECT_EQ(Mailbox().SendCommand(0x0301), c.code);
        EXPECT_EQ(Text(), c.text);
        chip->FailWriteAt(0);
        chip->FailReadAt(0);
    }
    uint16_t words[2] = {1, 2};
    chip->FailWriteAt(chip->counters().writes + 1);
    EXPECT_EQ(Mailbox().WriteParameters(2, words), NVT_ERR_WRITE_FAILED);
    EXPECT_EQ(Text(), "Failed to write parameters to DUT");
    chip->FailReadAt(chip->counters().reads + 1);
    EXPECT_EQ(Mailbox().ReadResults(2, words), NVT_ERR_READ_FAILED);
    EXPECT_EQ(Text(), "Failed to read results from DUT");
}

TEST(FirmwareFaultOptionTest, BadValuesRefuseTheTransport)
{
    NvtHandle handle = nullptr;
    EXPECT_EQ(nvtOpen("sim:fwfault=answer:0x0303:0x0001", nullptr, &handle), NVT_ERR_CONNECTION);
    nvtClose(handle);
    EXPECT_EQ(nvtOpen("sim:fwfault=sometimes", nullptr, &handle), NVT_ERR_CONNECTION);
    nvtClose(handle);
    EXPECT_EQ(nvtOpen("sim:fwfault=silent+delay:3", nullptr, &handle), NVT_OK);
    nvtClose(handle);
}
