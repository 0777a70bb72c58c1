// Download and start of the production-test firmware through the public
// interface, on the simulated chip.
#include "ptfixture.h"

using devsim::ptimage::kAliveOnly;
using devsim::ptimage::kSilent;
using devsim::ptimage::kWrongReady;

TEST_F(PtHandleTest, LoadStartsTheFirmwareAndFillsTheQueries)
{
    Open();
    fixtures::PtFirmwareSpec spec;
    spec.apiVersion = 0x00030007;
    ASSERT_EQ(Load(spec), NVT_OK) << Text();

    uint32_t api = 0;
    EXPECT_EQ(nvtGetPtFwApiVersion(mHandle, &api), NVT_OK);
    EXPECT_EQ(api, 0x00030007u);
    uint16_t buildId = 0;
    EXPECT_EQ(nvtGetPtFwBuildId(mHandle, nullptr, &buildId), NVT_OK);
    EXPECT_EQ(buildId, spec.buildId);
    uint16_t csVersion = 0;
    EXPECT_EQ(nvtGetPtFwCsVersion(mHandle, nullptr, &csVersion), NVT_OK);
    EXPECT_EQ(csVersion, spec.csKeysVersion);
    char text[64];
    uint16_t length = sizeof(text);
    EXPECT_EQ(nvtGetPtFwBuildInfo(mHandle, nullptr, &length, text), NVT_OK);
    EXPECT_STREQ(text, spec.buildIdText.c_str());
    EXPECT_EQ(length, sizeof(text));

    // The firmware was asked for its build id exactly once, without parameters.
    ASSERT_NE(Firmware(), nullptr);
    ASSERT_EQ(Firmware()->log().size(), 1u);
    EXPECT_EQ(Firmware()->log()[0].code, 0x0200);
    EXPECT_EQ(mChip->variables()["SPI_FAST_RESET"], "FASTER");
    // The whole image landed in RAM and the program counter names its entry.
    EXPECT_EQ(mChip->Peek(4, 0xFFE9), 0);
    EXPECT_EQ(mChip->Peek(4, 0xFFEA), spec.startWord);
}

TEST_F(PtHandleTest, SilentFirmwareFailsWithTheAliveTextAfterThreeSeconds)
{
    nvtclock::ScopedFakeClock clock;
    Open();
    fixtures::PtFirmwareSpec spec;
    spec.behaviour = kSilent;
    EXPECT_EQ(Load(spec), NVT_ERR_FW_TIMEOUT);
    EXPECT_EQ(Text(), "Firmware initialisation timed out: Operation timed out (no 'alive' indication from firmware)");
    EXPECT_GE(clock->NowMs(), 3000u);
    EXPECT_LT(clock->NowMs(), 3100u);
}

TEST_F(PtHandleTest, AliveFirmwareWithoutAnswerTimesOutAfterTwentySeconds)
{
    nvtclock::ScopedFakeClock clock;
    Open();
    fixtures::PtFirmwareSpec spec;
    spec.behaviour = kAliveOnly;
    EXPECT_EQ(Load(spec), NVT_ERR_FW_TIMEOUT);
    EXPECT_EQ(Text(), "Firmware initialisation timed out: Operation timed out (no response)");
    EXPECT_GE(clock->NowMs(), 20000u);
    EXPECT_LT(clock->NowMs(), 20100u);
    uint32_t api = 0;
    EXPECT_EQ(nvtGetPtFwApiVersion(mHandle, &api), NVT_ERR_SEQUENCE);
}

TEST_F(PtHandleTest, WrongReadyAnswerIsShownInUpperCaseHex)
{
    Open();
    fixtures::PtFirmwareSpec spec;
    spec.behaviour = kWrongReady;
    spec.behaviourAnswer = 0x8000;
    EXPECT_EQ(Load(spec), NVT_ERR_FW_INIT_FAILED);
    EXPECT_EQ(Text(), "Firmware failed to initialise correctly (response: 0x8000)");
}
