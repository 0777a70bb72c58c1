// The UART loopback export against the simulated chip's pseudo-terminal:
// the rate reaches the firmware, the pattern comes back or the test fails,
// and the PC's port is closed on every way out.
#include "core/lasterror.h"
#include "simdut.h"
#include "ptypair.h"
#include "support/platform.h"
#include "support/serialport.h"
#include "uart.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#if defined(_WIN32)
#include <windows.h>
#endif

using testsupport::Words;

namespace {

const char kLoopbackFailed[] = "UART loopback test failed (expected data was not received)";

// System error codes of the failures below, and their text as the library
// shows it (the system's message without its closing line break).
#if defined(_WIN32)
constexpr uint32_t kNoSuchFile = ERROR_FILE_NOT_FOUND;
constexpr uint32_t kBusy = ERROR_ACCESS_DENIED;
#else
constexpr uint32_t kNoSuchFile = ENOENT;
constexpr uint32_t kBusy = EBUSY;
#endif

std::string SystemText(uint32_t aCode)
{
    return TrimSystemMessage(platform::ErrorMessage(aCode));
}

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

    // What the chip took in. When the test has failed the bytes may still be
    // on their way through the line (on Windows it runs through another
    // process), so this waits up to a second for aExpected to arrive in full;
    // it does not wait once they are there.
    std::string Received(const std::string& aExpected)
    {
        for (int i = 0; i < 100 && Uart().received().size() < aExpected.size(); ++i) platform::SleepMs(10);
        return Uart().received();
    }

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
    EXPECT_EQ("Error opening COM port (" + SystemText(kNoSuchFile) + ")", text);
    ExpectUntouched();
}

TEST_F(UartTest, PortInUseCannotBeOpenedTwice)
{
    if (RunningUnderWine()) GTEST_SKIP() << "Wine does not refuse a second open of a serial port";
    platform::SerialPort held;
    ASSERT_TRUE(held.Open(port.c_str()));
    EXPECT_EQ(NVT_ERR_GENERAL, nvtUartLbTest(handle, port.c_str(), 9600));
    EXPECT_EQ("Error opening COM port (" + SystemText(kBusy) + ")", Text());
}

TEST_F(UartTest, AFileIsNoSerialPortAndIsNeverOpened)
{
    testsupport::ScratchDir dir;
    const std::string file = dir.File("not-a-port");
    std::ofstream(file).put('x');
    // A full path names the file itself, on Windows behind the "\\.\" device
    // prefix as well; it is refused before it is opened for writing.
    EXPECT_EQ(NVT_ERR_GENERAL, nvtUartLbTest(handle, file.c_str(), 9600));
#if defined(_WIN32)
    const char* kind = "a file";
#else
    const char* kind = "a regular file";
#endif
    EXPECT_EQ("Error opening COM port (\"" + platform::SerialPort::DevicePath(file.c_str()) + "\" is " + kind +
                  ", not a serial port)",
              Text());
    std::ifstream in(file);
    EXPECT_EQ("x", std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
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
    EXPECT_EQ("PING", Received("PING"));
    // A second run fails the same way: nothing of the first is left over.
    EXPECT_EQ(NVT_ERR_TEST_FAILED, nvtUartLbTest(handle, port.c_str(), 230400));
}

INSTANTIATE_TEST_SUITE_P(Modes, UartModeTest, ::testing::Values("short", "garble", "none"));

}  // namespace
