// The UART loopback export against the simulated chip's pseudo-terminal:
// the rate reaches the firmware, the pattern comes back or the test fails,
// and the PC's port is closed on every way out.
#include "simdut.h"
#include "ptypair.h"
#include "support/serialport.h"
#include "uart.h"

#include <cstdio>
#include <unistd.h>

using testsupport::Words;

namespace {

const char kLoopbackFailed[] = "UART loopback test failed (expected data was not received)";

class UartTest : public LoadedDutTest {
protected:
    void SetUp() override
    {
        LoadedDutTest::SetUp();
        if (HasFatalFailure()) return;
        port = devsim::UartDeviceName(*chip);
        if (port.empty()) GTEST_SKIP() << devsim::UartOf(*chip).error();
        descriptors = OpenDescriptors();
    }

    void TearDown() override
    {
        if (!port.empty()) {
            // No descriptor was left behind, and the port is free again.
            EXPECT_EQ(descriptors, OpenDescriptors());
            platform::SerialPort probe;
            EXPECT_TRUE(probe.Open(port.c_str())) << "the port is still in use";
        }
        LoadedDutTest::TearDown();
    }

    devsim::Uart& Uart() { return devsim::UartOf(*chip); }

    std::string port;
    int descriptors = 0;
};

TEST_F(UartTest, EchoPassesAndTheFirmwareGetsTheRateHighWordFirst)
{
    ASSERT_EQ(NVT_OK, nvtUartLbTest(handle, port.c_str(), 115200)) << Text();
    EXPECT_EQ(0x0500, OnlyCommand().code);
    EXPECT_EQ(Words({0x0001, 0xC200}), OnlyCommand().parameters);
    EXPECT_EQ("PING", Uart().received());
    Forget();
    ASSERT_EQ(NVT_OK, nvtUartLbTest(handle, port.c_str(), 1382400)) << Text();
    EXPECT_EQ(Words({0x0015, 0x1800}), OnlyCommand().parameters);
    EXPECT_EQ(1382400u, Uart().rate());
}

TEST_F(UartTest, EveryListedRateLoopsBack)
{
    for (uint32_t rate : {2400u, 9600u, 57600u, 921600u, 1843200u, 5529600u}) {
        EXPECT_EQ(NVT_OK, nvtUartLbTest(handle, port.c_str(), rate)) << rate << ": " << Text();
    }
}

TEST_F(UartTest, UnsupportedRatesAreRefusedBeforeAnyPortIsOpened)
{
    // Holding the port shows that no open was tried: that would fail with -1.
    platform::SerialPort held;
    ASSERT_TRUE(held.Open(port.c_str()));
    for (uint32_t rate : {4800u, 28800u, 14400u, 0u}) {
        EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtUartLbTest(handle, port.c_str(), rate));
        EXPECT_EQ("UART baud rate is not supported", Text());
    }
    held.Close();
    ExpectUntouched();
    EXPECT_EQ(0u, Uart().starts());
}

TEST_F(UartTest, NullPortNameIsRefusedBeforeTheRate)
{
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtUartLbTest(handle, nullptr, 4800));
    EXPECT_EQ("Invalid parameter(s)", Text());
    ExpectUntouched();
}

TEST_F(UartTest, MissingPortGivesTheOpenErrorAndSendsNoCommand)
{
    EXPECT_EQ(NVT_ERR_GENERAL, nvtUartLbTest(handle, "nvt-no-such-port", 9600));
    const std::string text = Text();
    EXPECT_EQ(0u, text.rfind("Error opening COM port (", 0)) << text;
    EXPECT_EQ(')', text.back());
    EXPECT_EQ("Error opening COM port (No such file or directory)", text);
    ExpectUntouched();
}

TEST_F(UartTest, PortInUseCannotBeOpenedTwice)
{
    platform::SerialPort held;
    ASSERT_TRUE(held.Open(port.c_str()));
    EXPECT_EQ(NVT_ERR_GENERAL, nvtUartLbTest(handle, port.c_str(), 9600));
    EXPECT_EQ("Error opening COM port (Device or resource busy)", Text());
}

TEST_F(UartTest, SomethingThatIsNoSerialPortFailsToConfigure)
{
    char path[] = "/tmp/nvt-uart-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(NVT_ERR_GENERAL, nvtUartLbTest(handle, path, 9600));
    EXPECT_EQ("Error configuring COM port (Inappropriate ioctl for device)", Text());
    std::remove(path);
    ExpectUntouched();
}

TEST_F(UartTest, FirmwareFailureIsReturnedAndThePortClosed)
{
    firmware->behaviour().answers[0x0500] = 0x8004;
    EXPECT_EQ(NVT_ERR_FW_COMMAND_FAILED, nvtUartLbTest(handle, port.c_str(), 9600));
    EXPECT_EQ("Command 0x0500 not implemented", Text());
    // The chip never got its rate, so nothing was sent to it.
    EXPECT_EQ("", Uart().received());
}

class UartModeTest : public UartTest, public ::testing::WithParamInterface<const char*> {
protected:
    std::string TransportOptions() const override { return std::string("uart=") + GetParam(); }
};

TEST_P(UartModeTest, WrongOrMissingAnswerFailsTheTest)
{
    EXPECT_EQ(NVT_ERR_TEST_FAILED, nvtUartLbTest(handle, port.c_str(), 230400));
    EXPECT_EQ(kLoopbackFailed, Text());
    EXPECT_EQ("PING", Uart().received());
    // A second run fails the same way: nothing of the first is left over.
    EXPECT_EQ(NVT_ERR_TEST_FAILED, nvtUartLbTest(handle, port.c_str(), 230400));
}

INSTANTIATE_TEST_SUITE_P(Modes, UartModeTest, ::testing::Values("short", "garble", "none"));

}  // namespace
