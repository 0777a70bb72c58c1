// The simulated chip's UART: silent until the firmware is given a rate,
// then answering as its mode says, and only at the rate it was given.
#include "devsim.h"
#include "support/serialport.h"
#include "uart.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Sends "PING" from the PC side at aLineRate and returns what came back.
std::string Ping(devsim::Uart& aUart, uint32_t aLineRate)
{
    platform::SerialPort port;
    // Without its time-outs a Windows port would wait for ever on a silent chip.
    if (!port.Open(aUart.deviceName().c_str()) || !port.Configure(aLineRate) || !port.SetTimeouts() ||
        !port.Purge())
        return "<port failed>";
    const uint8_t ping[4] = {'P', 'I', 'N', 'G'};
    uint32_t done = 0;
    if (!port.Write(ping, 4, done)) return "<write failed>";
    uint8_t echo[4] = {};
    if (!port.Read(echo, 4, done)) return "<read failed>";
    return std::string(reinterpret_cast<char*>(echo), done);
}

class DevsimUartTest : public ::testing::Test {
protected:
    void Make(devsim::UartMode aMode)
    {
        uart.reset(new devsim::Uart(aMode));
        if (uart->deviceName().empty()) GTEST_SKIP() << uart->error();
    }
    std::unique_ptr<devsim::Uart> uart;
};

TEST_F(DevsimUartTest, SilentUntilTheFirmwareSetsARate)
{
    Make(devsim::UartMode::Echo);
    EXPECT_EQ("", Ping(*uart, 115200));
    uart->Start(115200);
    EXPECT_EQ("PING", Ping(*uart, 115200));
    EXPECT_EQ("PING", uart->received());
    EXPECT_EQ(1u, uart->starts());
}

TEST_F(DevsimUartTest, WrongLineRateGarblesTheAnswer)
{
#if defined(_WIN32)
    GTEST_SKIP() << "on Windows the chip cannot see the rate of the PC's port";
#endif
    Make(devsim::UartMode::Echo);
    uart->Start(9600);
    EXPECT_EQ("ping", Ping(*uart, 115200));
}

}  // namespace
