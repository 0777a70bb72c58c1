// Radio test exports on the simulated chip: the words the firmware
// receives, the argument checks that keep bad values off the chip, and the
// handle states the radio moves through.
#include "api/devicehandle.h"
#include "simdut.h"

using testsupport::Words;

namespace {

class RadioTest : public LoadedDutTest {
protected:
    int32_t State() const { return static_cast<CDeviceHandle*>(handle)->state; }

    // The call was refused with -10 and the text before anything reached the chip.
    void ExpectRejected(int32_t aResult, const std::string& aText)
    {
        EXPECT_EQ(NVT_ERR_INVALID_PARAM, aResult);
        EXPECT_EQ(aText, Text());
        ExpectUntouched();
        Forget();
    }
};

TEST_F(RadioTest, XtalTrimSendsOneWordAndKeepsTheState)
{
    Forget();
    ExpectRejected(nvtRadSetXtalTrim(handle, 64), "Xtal trim value must be between 0 and 63 inclusive");
    ASSERT_EQ(NVT_OK, nvtRadSetXtalTrim(handle, 63));
    devsim::FwCommandRecord record = OnlyCommand();
    EXPECT_EQ(0x0303, record.code);
    EXPECT_EQ(Words({63}), record.parameters);
    EXPECT_EQ(63, firmware->registers().xtalTrim);
    EXPECT_EQ(kStateFirmwareLoaded, State());
    // A success does not clear the previous failure's text.
    EXPECT_EQ("Xtal trim value must be between 0 and 63 inclusive", Text());
}

TEST_F(RadioTest, CarrierChecksChannelThenFrequency)
{
    Forget();
    int channel = 300;  // 44 in eight bits
    ExpectRejected(nvtRadCwStart(handle, channel, 2402), "Channel value must be between 0 and 39 inclusive");
    const std::string frequencyText = "Frequency (MHz) value must be 0, or between 2402 and 2480 inclusive";
    ExpectRejected(nvtRadCwStart(handle, 0, 2401), frequencyText);
    ExpectRejected(nvtRadCwStart(handle, 0, 2481), frequencyText);
    // Both wrong: the channel is checked first.
    ExpectRejected(nvtRadCwStart(handle, 40, 2401), "Channel value must be between 0 and 39 inclusive");

    channel = 256;  // 0 in eight bits
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, channel, 2480));
    EXPECT_EQ(Words({0, 2480}), OnlyCommand().parameters);
    EXPECT_EQ(0x0300, OnlyCommand().code);
    EXPECT_EQ(kStateCarrier, State());
    Forget();
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 39, 0));
    EXPECT_EQ(Words({39, 0}), OnlyCommand().parameters);
    EXPECT_EQ(devsim::RadioMode::Carrier, firmware->registers().radio);
}

TEST_F(RadioTest, StopSendsNoParametersAndReturnsToIdle)
{
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 5, 2440));
    Forget();
    ASSERT_EQ(NVT_OK, nvtRadStop(handle));
    EXPECT_EQ(0x0301, OnlyCommand().code);
    EXPECT_TRUE(OnlyCommand().parameters.empty());
    EXPECT_EQ(kStateFirmwareLoaded, State());
    EXPECT_EQ(devsim::RadioMode::Idle, firmware->registers().radio);
    // Stop works in the idle state as well.
    EXPECT_EQ(NVT_OK, nvtRadStop(handle));
}

TEST_F(RadioTest, TransmitChecksItsBytesButNotThePacketCount)
{
    Forget();
    ExpectRejected(nvtRadTxStart(handle, 40, 37, 7, 1), "Channel value must be between 0 and 39 inclusive");
    ExpectRejected(nvtRadTxStart(handle, 39, 38, 7, 1), "TX length (bytes) value must be between 0 and 37 inclusive");
    ExpectRejected(nvtRadTxStart(handle, 39, 37, 8, 1), "Payload type value must be between 0 and 7 inclusive");
    EXPECT_EQ(kStateFirmwareLoaded, State());

    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 39, 37, 7, 0xFFFF));
    EXPECT_EQ(0x0302, OnlyCommand().code);
    EXPECT_EQ(Words({39, 37, 7, 0xFFFF}), OnlyCommand().parameters);
    EXPECT_EQ(kStateTransmitting, State());
}

TEST_F(RadioTest, TransmitCounterCountsDownAndZeroEndsTheBurst)
{
    // The emulated transmitter sends 25 packets between two counter reads.
    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 12, 37, 0, 60));
    Forget();
    uint16_t packets = 0xAAAA;
    ASSERT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &packets));
    EXPECT_EQ(35, packets);
    EXPECT_EQ(0x0306, OnlyCommand().code);
    EXPECT_TRUE(OnlyCommand().parameters.empty());
    EXPECT_EQ(kStateTransmitting, State());
    ASSERT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &packets));
    EXPECT_EQ(10, packets);
    EXPECT_EQ(kStateTransmitting, State());
    ASSERT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &packets));
    EXPECT_EQ(0, packets);
    EXPECT_EQ(kStateFirmwareLoaded, State());
    // State 2 is enough for a further read.
    packets = 0xAAAA;
    ASSERT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &packets));
    EXPECT_EQ(0, packets);
}

TEST_F(RadioTest, CounterOutPointersAreChecked)
{
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 1));
    Forget();
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtRadTxGetPkts(handle, nullptr));
    EXPECT_EQ("Invalid parameter(s)", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtRadRxGetPkts(handle, nullptr));
    EXPECT_EQ("Invalid parameter(s)", Text());
    ExpectUntouched();
}

TEST_F(RadioTest, ReceiveCounterNeedsAReceptionRunning)
{
    uint16_t packets = 0xAAAA;
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtRadRxGetPkts(handle, &packets));
    EXPECT_EQ("Invalid sequence: RX must be started", Text());
    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 3, 10, 1, 100));
    Forget();
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtRadRxGetPkts(handle, &packets));
    EXPECT_EQ("Invalid sequence: RX must be started", Text());
    EXPECT_EQ(0xAAAA, packets);
    ExpectUntouched();
}

TEST_F(RadioTest, ReceiveCounterCountsUpUntilStopped)
{
    Forget();
    int channel = 0x127;  // 39 in eight bits
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, channel));
    EXPECT_EQ(0x0304, OnlyCommand().code);
    EXPECT_EQ(Words({39}), OnlyCommand().parameters);
    EXPECT_EQ(kStateReceiving, State());
    Forget();
    uint16_t packets = 0;
    ASSERT_EQ(NVT_OK, nvtRadRxGetPkts(handle, &packets));
    EXPECT_EQ(0x0305, OnlyCommand().code);
    EXPECT_EQ(7, packets);
    ASSERT_EQ(NVT_OK, nvtRadRxGetPkts(handle, &packets));
    EXPECT_EQ(14, packets);
    EXPECT_EQ(kStateReceiving, State());
    ASSERT_EQ(NVT_OK, nvtRadStop(handle));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtRadRxGetPkts(handle, &packets));
    Forget();
    ExpectRejected(nvtRadRxStart(handle, 40), "Channel value must be between 0 and 39 inclusive");
}

TEST_F(RadioTest, StateFollowsTheLastSuccessfulStart)
{
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 2));
    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 2, 1, 1, 5));
    EXPECT_EQ(kStateTransmitting, State());
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 2, 0));
    EXPECT_EQ(kStateCarrier, State());
    // A rejected start leaves the carrier state alone.
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtRadRxStart(handle, 41));
    EXPECT_EQ(kStateCarrier, State());
}

TEST_F(RadioTest, FirmwareRefusalLeavesTheStateAndTheCounter)
{
    firmware->behaviour().answers[0x0302] = 0x8001;
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtRadTxStart(handle, 1, 1, 1, 1));
    EXPECT_EQ("Invalid parameter for command 0x0302", Text());
    EXPECT_EQ(kStateFirmwareLoaded, State());

    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 1));
    firmware->behaviour().answers[0x0305] = 0x8FFF;
    uint16_t packets = 0xAAAA;
    EXPECT_EQ(NVT_ERR_FW_UNSPECIFIED, nvtRadRxGetPkts(handle, &packets));
    EXPECT_EQ("Firmware reports an unspecified error executing command 0x0305", Text());
    EXPECT_EQ(0xAAAA, packets);
    EXPECT_EQ(kStateReceiving, State());

    firmware->behaviour().answers[0x0301] = 0x8004;
    EXPECT_EQ(NVT_ERR_FW_COMMAND_FAILED, nvtRadStop(handle));
    EXPECT_EQ("Command 0x0301 not implemented", Text());
    EXPECT_EQ(kStateReceiving, State());
}

TEST_F(RadioTest, ParameterWriteFailureSendsNoCommand)
{
    Forget();
    chip->FailWriteAt(1);
    EXPECT_EQ(NVT_ERR_WRITE_FAILED, nvtRadCwStart(handle, 1, 2402));
    EXPECT_EQ("Failed to write parameters to DUT", Text());
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(kStateFirmwareLoaded, State());
}

}  // namespace
