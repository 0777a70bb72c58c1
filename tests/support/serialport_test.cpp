// The serial-port seam on a pseudo-terminal: naming, exclusive opening,
// line settings, time-outs and the error codes left for the error text.
#include "core/lasterror.h"
#include "ptypair.h"
#include "support/serialport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point aStart)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count());
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminals here";
    }
    PtyPair pty;
};

TEST(SerialPortNames, PlainNamesLiveInDevAndPathsStayAsGiven)
{
    EXPECT_EQ("/dev/ttyUSB0", platform::SerialPort::DevicePath("ttyUSB0"));
    EXPECT_EQ("/dev/pts/7", platform::SerialPort::DevicePath("/dev/pts/7"));
    EXPECT_EQ("./port", platform::SerialPort::DevicePath("./port"));
}

TEST(SerialPortNames, MissingPortFailsWithTheSystemText)
{
    platform::SerialPort port;
    EXPECT_FALSE(port.Open("nvt-no-such-port"));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ("No such file or directory", SystemErrorText());
    EXPECT_FALSE(port.Open(nullptr));
}

TEST_F(SerialPortTest, SecondOpenOfAPortInUseFailsUntilTheFirstCloses)
{
    platform::SerialPort first;
    ASSERT_TRUE(first.Open(pty.slaveName().c_str()));
    {
        platform::SerialPort second;
        EXPECT_FALSE(second.Open(pty.slaveName().c_str()));
        EXPECT_EQ("Device or resource busy", SystemErrorText());
    }
    first.Close();
    EXPECT_FALSE(first.IsOpen());
    platform::SerialPort third;
    EXPECT_TRUE(third.Open(pty.slaveName().c_str()));
}

TEST_F(SerialPortTest, ConfigureAppliesRaw8N1WithoutFlowControl)
{
    // Opened before the port takes the line for itself.
    int fd = open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    ASSERT_TRUE(port.Configure(115200));
    termios tio{};
    ASSERT_EQ(0, tcgetattr(fd, &tio));
    close(fd);
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP));
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    // A rate without a speed constant is set as a number.
    EXPECT_TRUE(port.Configure(1382400));
}

TEST_F(SerialPortTest, BytesTravelUnchangedBothWays)
{
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    ASSERT_TRUE(port.Configure(9600));
    ASSERT_TRUE(port.SetTimeouts());
    ASSERT_TRUE(port.Purge());
    const uint8_t out[4] = {'\r', '\n', 0x00, 0xFF};
    uint32_t done = 0;
    ASSERT_TRUE(port.Write(out, 4, done));
    EXPECT_EQ(4u, done);
    EXPECT_EQ(std::string("\r\n\0\xFF", 4), pty.Receive());
    pty.Send(std::string("\x11\x13\r\x03", 4));
    uint8_t in[4] = {};
    ASSERT_TRUE(port.Read(in, 4, done));
    EXPECT_EQ(4u, done);
    EXPECT_EQ(std::string("\x11\x13\r\x03", 4), std::string(reinterpret_cast<char*>(in), 4));
}

TEST_F(SerialPortTest, ReadGivesUpAfterItsTotalTimeoutWithoutError)
{
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    ASSERT_TRUE(port.Configure(9600));
    uint8_t in[4] = {};
    uint32_t done = 99;
    auto start = Clock::now();
    ASSERT_TRUE(port.Read(in, 4, done));
    long ms = ElapsedMs(start);
    EXPECT_EQ(0u, done);
    // 4 bytes at 10 ms each plus 50 ms.
    EXPECT_GE(ms, 85);
    EXPECT_LT(ms, 1000);
}

TEST_F(SerialPortTest, ShortAnswerEndsTheReadAfterTheIntervalTimeout)
{
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    ASSERT_TRUE(port.Configure(9600));
    pty.Send("PIN");
    uint8_t in[4] = {};
    uint32_t done = 0;
    ASSERT_TRUE(port.Read(in, 4, done));
    EXPECT_EQ(3u, done);
    EXPECT_EQ("PIN", std::string(reinterpret_cast<char*>(in), 3));
}

TEST_F(SerialPortTest, PurgeDropsWaitingInput)
{
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
    ASSERT_TRUE(port.Configure(9600));
    pty.Send("OLD!");
    // Let the bytes reach the line's input queue before purging it.
    pollfd p{0, POLLIN, 0};
    poll(&p, 0, 20);
    ASSERT_TRUE(port.Purge());
    uint8_t in[4] = {};
    uint32_t done = 0;
    ASSERT_TRUE(port.Read(in, 4, done));
    EXPECT_EQ(0u, done);
}

TEST(SerialPortFiles, ConfiguringSomethingThatIsNoTerminalFails)
{
    // A character device, so it is opened; but no terminal.
    {
        platform::SerialPort port;
        ASSERT_TRUE(port.Open("/dev/null"));
        EXPECT_FALSE(port.Configure(9600));
        EXPECT_EQ("Inappropriate ioctl for device", SystemErrorText());
        // Closing keeps the failure's error code for the caller's text.
        port.Close();
        EXPECT_EQ("Inappropriate ioctl for device", SystemErrorText());
    }
}

TEST(SerialPortFiles, OnlyACharacterDeviceIsOpened)
{
    char dir[] = "/tmp/nvt-serial-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string file = std::string(dir) + "/file";
    const std::string fifo = std::string(dir) + "/fifo";
    const std::string link = std::string(dir) + "/link";
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(nullptr, f);
        std::fputs("keep", f);
        std::fclose(f);
    }
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
    struct stat before{};
    ASSERT_EQ(0, stat(file.c_str(), &before));

    const struct {
        std::string name;
        const char* kind;
    } cases[] = {{file, "a regular file"}, {fifo, "a FIFO"}, {dir, "a folder"}, {link, "a regular file"}};
    for (const auto& c : cases) {
        platform::SerialPort port;
        // A FIFO opened for writing would block until a reader came.
        EXPECT_FALSE(port.Open(c.name.c_str())) << c.name;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ("\"" + c.name + "\" is " + c.kind + ", not a serial port", port.Refusal());
    }
    // Not locked, not changed, not even its access time read.
    struct stat after{};
    ASSERT_EQ(0, stat(file.c_str(), &after));
    EXPECT_EQ(before.st_mtime, after.st_mtime);
    EXPECT_EQ(4, after.st_size);
    const int fd = open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
    close(fd);

    // A refusal is forgotten by the next open.
    platform::SerialPort port;
    EXPECT_FALSE(port.Open("nvt-no-such-port"));
    EXPECT_EQ("", port.Refusal());
    std::remove(link.c_str());
    std::remove(fifo.c_str());
    std::remove(file.c_str());
    rmdir(dir);
}

TEST_F(SerialPortTest, ClosingGivesThePortItsSettingsBack)
{
    // The settings another program left on the port: canonical input with
    // echo, 1200 baud, seven bits with parity.
    const int fd = open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(0, tcgetattr(fd, &before));
    before.c_lflag |= ICANON | ECHO;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB;
    cfsetispeed(&before, B1200);
    cfsetospeed(&before, B1200);
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &before));
    ASSERT_EQ(0, tcgetattr(fd, &before));
    {
        platform::SerialPort port;
        ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
        ASSERT_TRUE(port.Configure(115200));
        termios during{};
        ASSERT_EQ(0, tcgetattr(fd, &during));
        EXPECT_EQ(0u, during.c_lflag & (ICANON | ECHO));
        EXPECT_EQ(static_cast<tcflag_t>(CS8), during.c_cflag & CSIZE);
    }
    termios after{};
    ASSERT_EQ(0, tcgetattr(fd, &after));
    close(fd);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(cfgetispeed(&before), cfgetispeed(&after));
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
    EXPECT_EQ(0, std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc));
}

TEST_F(SerialPortTest, NoDescriptorOutlivesThePort)
{
    int before = OpenDescriptors();
    for (int i = 0; i < 5; ++i) {
        platform::SerialPort port;
        ASSERT_TRUE(port.Open(pty.slaveName().c_str()));
        platform::SerialPort busy;
        EXPECT_FALSE(busy.Open(pty.slaveName().c_str()));
    }
    EXPECT_EQ(before, OpenDescriptors());
}

}  // namespace
