// PIO, AIO and LED exports on the simulated chip: the words the firmware
// receives, the words read back, and the LED checks.
#include "simdut.h"

using testsupport::Words;

namespace {

using IoTest = LoadedDutTest;

TEST_F(IoTest, PioSetAndAssignSendBothWordsHighHalfFirst)
{
    ASSERT_EQ(NVT_OK, nvtPioSet(handle, 0x00010002, 0x00030004));
    EXPECT_EQ(0x0100, OnlyCommand().code);
    EXPECT_EQ(Words({1, 2, 3, 4}), OnlyCommand().parameters);
    Forget();
    ASSERT_EQ(NVT_OK, nvtPioAssign(handle, 0xFFFF0000, 0x8000FFFF));
    EXPECT_EQ(0x0101, OnlyCommand().code);
    EXPECT_EQ(Words({0xFFFF, 0, 0x8000, 0xFFFF}), OnlyCommand().parameters);
    EXPECT_EQ(0xFFFF0000u, firmware->registers().pioAssignA);
    EXPECT_EQ(0x8000FFFFu, firmware->registers().pioAssignB);
}

TEST_F(IoTest, PioGetJoinsTheFourResultWords)
{
    firmware->registers().pioInA = 0x00010002;
    firmware->registers().pioInB = 0xFFFE0004;
    uint32_t a = 0, b = 0;
    ASSERT_EQ(NVT_OK, nvtPioGet(handle, &a, &b));
    EXPECT_EQ(0x0201, OnlyCommand().code);
    EXPECT_TRUE(OnlyCommand().parameters.empty());
    EXPECT_EQ(1u * 65536u + 2u, a);
    EXPECT_EQ(0xFFFEu * 65536u + 4u, b);
}

TEST_F(IoTest, PioGetChecksBothPointersBeforeTheChip)
{
    Forget();
    uint32_t a = 5;
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtPioGet(handle, &a, nullptr));
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtPioGet(handle, nullptr, &a));
    EXPECT_EQ("Invalid parameter(s)", Text());
    EXPECT_EQ(5u, a);
    ExpectUntouched();
}

TEST_F(IoTest, FailedReadsLeaveTheOutValuesAlone)
{
    firmware->behaviour().answers[0x0201] = 0x8003;
    uint32_t a = 11, b = 12;
    EXPECT_EQ(NVT_ERR_FW_COMMAND_FAILED, nvtPioGet(handle, &a, &b));
    EXPECT_EQ("Command 0x0201 unknown", Text());
    EXPECT_EQ(11u, a);
    EXPECT_EQ(12u, b);
    firmware->behaviour().answers[0x0202] = 0x8002;
    uint16_t value = 13;
    EXPECT_EQ(NVT_ERR_FW_COMMAND_FAILED, nvtAioGet(handle, 1, &value));
    EXPECT_EQ("Unknown error whilst executing command 0x0202", Text());
    EXPECT_EQ(13, value);
}

TEST_F(IoTest, LedChecksModeThenBrightnessOnTheLowByte)
{
    Forget();
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtLedSet(handle, 1, 4, 0, 0));
    EXPECT_EQ("LED mode value must be between 0 and 3 inclusive", Text());
    int mode = 260;  // 4 in eight bits
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtLedSet(handle, 1, mode, 0, 0));
    EXPECT_EQ("LED mode value must be between 0 and 3 inclusive", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtLedSet(handle, 1, 3, 0, 101));
    EXPECT_EQ("LED brightness value must be between 0 and 100 inclusive", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtLedSet(handle, 1, 4, 0, 101));
    EXPECT_EQ("LED mode value must be between 0 and 3 inclusive", Text());
    ExpectUntouched();

    mode = 259;  // 3 in eight bits
    ASSERT_EQ(NVT_OK, nvtLedSet(handle, 0x00120034, mode, 0xBEEF, 100));
    EXPECT_EQ(0x0102, OnlyCommand().code);
    EXPECT_EQ(Words({0x0012, 0x0034, 3, 0xBEEF, 100}), OnlyCommand().parameters);
    EXPECT_EQ(3, firmware->registers().ledMode);
    EXPECT_EQ(100, firmware->registers().ledBrightness);
}

TEST_F(IoTest, AioSetSendsTheChannelLowByteUnchecked)
{
    int channel = 0x1FF;  // 255 in eight bits
    ASSERT_EQ(NVT_OK, nvtAioSet(handle, channel, 0xFFFF));
    EXPECT_EQ(0x0103, OnlyCommand().code);
    EXPECT_EQ(Words({0xFF, 0xFFFF}), OnlyCommand().parameters);
}

TEST_F(IoTest, AioReadsBackWhatWasSet)
{
    ASSERT_EQ(NVT_OK, nvtAioSet(handle, 2, 0x0321));
    Forget();
    uint16_t value = 0;
    ASSERT_EQ(NVT_OK, nvtAioGet(handle, 2, &value));
    EXPECT_EQ(0x0202, OnlyCommand().code);
    EXPECT_EQ(Words({2}), OnlyCommand().parameters);
    EXPECT_EQ(0x0321, value);
    ASSERT_EQ(NVT_OK, nvtAioGet(handle, 3, &value));
    EXPECT_EQ(0, value);
}

TEST_F(IoTest, AioGetWithoutOutPointerSendsNothing)
{
    Forget();
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtAioGet(handle, 1, nullptr));
    EXPECT_EQ("Invalid parameter(s)", Text());
    ExpectUntouched();
}

}  // namespace
