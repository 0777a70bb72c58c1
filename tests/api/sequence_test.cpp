// Call-sequence rules of the test exports: nothing reaches the device
// before the firmware is loaded, whatever the arguments, and an unknown
// handle is refused without a text.
#include "ptypair.h"
#include "simdut.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kNeedFirmware[] = "Invalid sequence: Ptest firmware must be loaded";

class BeforeFirmwareTest : public SimDutTest {
protected:
    void SetUp() override
    {
        Open();
        if (HasFatalFailure()) return;
        Forget();
    }

    // The call returned -6 with the sequence text and touched no memory.
    void ExpectRefused(int32_t aResult, const char* aText = kNeedFirmware)
    {
        EXPECT_EQ(NVT_ERR_SEQUENCE, aResult);
        EXPECT_STREQ(aText, nvtGetLastError(handle));
        ExpectUntouched();
    }
};

TEST_F(BeforeFirmwareTest, RadioExportsNeedTheFirmwareWhateverTheirArguments)
{
    uint16_t packets = 7;
    ExpectRefused(nvtRadSetXtalTrim(handle, 64));
    ExpectRefused(nvtRadCwStart(handle, 40, 2401));
    ExpectRefused(nvtRadStop(handle));
    ExpectRefused(nvtRadTxStart(handle, 40, 38, 8, 0));
    ExpectRefused(nvtRadTxGetPkts(handle, nullptr));
    ExpectRefused(nvtRadTxGetPkts(handle, &packets));
    ExpectRefused(nvtRadRxStart(handle, 200));
    ExpectRefused(nvtRadRxGetPkts(handle, nullptr), "Invalid sequence: RX must be started");
    EXPECT_EQ(7, packets);
}

TEST_F(BeforeFirmwareTest, PioAioAndLedExportsNeedTheFirmwareWhateverTheirArguments)
{
    uint32_t a = 1, b = 2;
    uint16_t value = 3;
    ExpectRefused(nvtPioAssign(handle, 0xFFFFFFFF, 0xFFFFFFFF));
    ExpectRefused(nvtPioSet(handle, 0, 0));
    ExpectRefused(nvtPioGet(handle, nullptr, nullptr));
    ExpectRefused(nvtPioGet(handle, &a, &b));
    ExpectRefused(nvtLedSet(handle, 0, 4, 0, 101));
    ExpectRefused(nvtAioSet(handle, 255, 0xFFFF));
    ExpectRefused(nvtAioGet(handle, 0, nullptr));
    ExpectRefused(nvtAioGet(handle, 0, &value));
    EXPECT_EQ(1u, a);
    EXPECT_EQ(2u, b);
    EXPECT_EQ(3, value);
}

TEST_F(BeforeFirmwareTest, UartTestNeedsTheFirmwareAndOpensNoPort)
{
    PtyPair pty;
    int before = OpenDescriptors();
    ExpectRefused(nvtUartLbTest(handle, nullptr, 4800));
    ExpectRefused(nvtUartLbTest(handle, "nvt-no-such-port", 115200));
    if (pty.ok()) ExpectRefused(nvtUartLbTest(handle, pty.slaveName().c_str(), 115200));
    EXPECT_EQ(before, OpenDescriptors());
}

}  // namespace
