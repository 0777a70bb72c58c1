// The Plessa and Vortane stand-ins over a simulation directory, called
// through their C interfaces as the dialog binds them.
#include "dumpfile.h"
#include "kilnorsim.h"
#include "plessa.h"
#include "vortane.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

class SimTest : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "kilnorsimXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        setenv(kilnorsim::kDirVariable, dir.c_str(), 1);
    }
    void TearDown() override
    {
        plsClose();
        unsetenv(kilnorsim::kDirVariable);
        fs::remove_all(dir);
    }

    void configure(const std::string &aText) { std::ofstream(dir / kilnorsim::kConfigFile) << aText; }
    std::string file(const fs::path &aPath) const
    {
        std::ifstream in(aPath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    Bytes eeprom() const
    {
        const std::string text = file(dir / kilnorsim::kEepromFile);
        return Bytes(text.begin(), text.end());
    }
    void writeBytes(const fs::path &aPath, const Bytes &aBytes)
    {
        std::ofstream(aPath, std::ios::binary)
            .write(reinterpret_cast<const char *>(aBytes.data()), static_cast<std::streamsize>(aBytes.size()));
    }
};

TEST_F(SimTest, OpenNeedsDirectoryAdapterAndSingleUse)
{
    unsetenv(kilnorsim::kDirVariable);
    EXPECT_NE(plsOpen(2, -1, -1), 0);
    EXPECT_EQ(openVortaneSpi(-1, 0, 2), 0u);
    setenv(kilnorsim::kDirVariable, dir.c_str(), 1);

    configure("adapter=lpt\n");
    EXPECT_NE(plsOpen(2, -1, -1), 0);
    EXPECT_EQ(openVortaneSpi(-1, 0, 2), 0u);
    EXPECT_NE(plsOpen(3, -1, -1), 0);
    EXPECT_NE(plsWriteCkHeader(), 0);  // not open
    ASSERT_EQ(plsOpen(1, -1, -1), 0);
    EXPECT_NE(plsOpen(1, -1, -1), 0);  // already open
    plsClose();

    configure("adapter=none\n");
    EXPECT_NE(plsOpen(1, -1, -1), 0);
    EXPECT_EQ(openVortaneSpi(1, 0, 1), 0u);
}

TEST_F(SimTest, FillDumpAndProgramRoundTrip)
{
    configure("eeprom_size=256\n");
    ASSERT_EQ(plsOpen(2, -1, -1), 0);
    ASSERT_EQ(plsFill(255, 1), 0);
    EXPECT_EQ(eeprom(), Bytes(256, 0xFF));
    ASSERT_EQ(plsWriteCkHeader(), 0);
    EXPECT_EQ(file(dir / kilnorsim::kEepromFile).substr(0, 4), "CVKE");

    // A UTF-8 path as the file dialog gives it; a second read-out replaces
    // the first file.
    const std::string dumpPath = dir.string() + "/读出 1.dump";
    ASSERT_EQ(plsDump(dumpPath.c_str(), 1), 0);
    ASSERT_EQ(plsDump(dumpPath.c_str(), 1), 0);
    const std::string dump = file(fs::u8path(dumpPath));
    Bytes contents;
    ASSERT_TRUE(kilnorsim::decodeDump(reinterpret_cast<const std::uint8_t *>(dump.data()), dump.size(), 256,
                                      contents));
    EXPECT_EQ(contents, eeprom());

    Bytes image(100, 0x5A);
    writeBytes(dir / "in.dump", kilnorsim::encodeDump(image));
    ASSERT_EQ(plsProgram((dir / "in.dump").c_str(), 1), 0);
    const Bytes after = eeprom();
    ASSERT_EQ(after.size(), 256u);
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 100), image);
    EXPECT_EQ(after[100], 0xFF);  // beyond the image the EEPROM keeps its bytes
}

TEST_F(SimTest, ProgramRejectsBadDumpFilesAndKeepsEeprom)
{
    configure("eeprom_size=64\n");
    ASSERT_EQ(plsOpen(1, -1, -1), 0);
    ASSERT_EQ(plsFill(0x11, 1), 0);
    const Bytes before = eeprom();

    Bytes good = kilnorsim::encodeDump(Bytes(64, 0x22));
    Bytes badCrc = good;
    badCrc.back() ^= 1;
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes longer = good;
    longer.push_back(0);
    Bytes tooBig = kilnorsim::encodeDump(Bytes(65, 0x22));
    Bytes headerOnly(good.begin(), good.begin() + 15);
    Bytes empty = kilnorsim::encodeDump(Bytes());
    for (const Bytes *bad : {&badCrc, &truncated, &longer, &tooBig, &headerOnly, &empty}) {
        writeBytes(dir / "bad.dump", *bad);
        EXPECT_EQ(plsProgram((dir / "bad.dump").c_str(), 1), PLS_ERR_FILE);
    }
    EXPECT_EQ(plsProgram((dir / "missing.dump").c_str(), 1), PLS_ERR_FILE);
    EXPECT_NE(plsProgram(nullptr, 1), 0);
    EXPECT_EQ(eeprom(), before);
}

TEST_F(SimTest, FailingOperationsLeaveEepromAlone)
{
    configure("eeprom_size=64\nfail = plsFill, plsDump # injected\n");
    ASSERT_EQ(plsOpen(2, -1, -1), 0);
    EXPECT_EQ(plsFill(0, 1), PLS_ERR_DEVICE);
    EXPECT_FALSE(fs::exists(dir / kilnorsim::kEepromFile));
    EXPECT_EQ(plsDump((dir / "x.dump").c_str(), 1), PLS_ERR_DEVICE);
    EXPECT_FALSE(fs::exists(dir / "x.dump"));
    EXPECT_EQ(plsWriteCkHeader(), 0);
}

TEST_F(SimTest, AddressWriteFailsCountedTimesThenWrites)
{
    configure("adapter=both\naddr_fail=4\n");
    const VortaneHandle handle = openVortaneSpi(-1, 0, 2);
    ASSERT_NE(handle, 0u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(psWriteBdAddr(handle, 0x00FFFE, 0x5B, 0x0002), 0) << i;
    EXPECT_FALSE(fs::exists(dir / kilnorsim::kAddressFile));
    EXPECT_EQ(psWriteBdAddr(handle, 0x00FFFE, 0x5B, 0x0002), 1);
    EXPECT_EQ(file(dir / kilnorsim::kAddressFile), "0002:5B:00FFFE\n");
    EXPECT_EQ(file(dir / kilnorsim::kConfigFile), "adapter=both\naddr_fail=0\n");

    // Values wider than the address store are refused, not cut.
    EXPECT_NE(psWriteBdAddr(handle, 0x1000000, 0x5B, 0x0002), 1);
    EXPECT_NE(psWriteBdAddr(handle, 1, 0x100, 0x0002), 1);
    EXPECT_NE(psWriteBdAddr(handle, 1, 0, -1), 1);
    EXPECT_EQ(file(dir / kilnorsim::kAddressFile), "0002:5B:00FFFE\n");

    closeVortane(handle);
    EXPECT_NE(psWriteBdAddr(handle, 1, 2, 3), 1);  // closed handle
    EXPECT_NE(psWriteBdAddr(0, 1, 2, 3), 1);
    EXPECT_EQ(openVortaneSpi(-1, 0, 1), 0u);  // USB port with LPT transport
}

TEST_F(SimTest, CallLogRecordsEveryCall)
{
    ASSERT_EQ(plsOpen(2, -1, -1), 0);
    plsClose();
    const VortaneHandle handle = openVortaneSpi(1, 0, 1);
    closeVortane(handle);
    const std::string log = file(dir / kilnorsim::kCallLog);
    EXPECT_EQ(log, "plsOpen(2,-1,-1)=0\nplsClose()\nopenVortaneSpi(1,0,1)=" + std::to_string(handle) +
                       "\ncloseVortane(" + std::to_string(handle) + ")\n");
}

TEST_F(SimTest, AddressCrashEndsTheProcessBeforeOrAfterTheStore)
{
    configure("addr_crash=before\n");
    EXPECT_EXIT(psWriteBdAddr(openVortaneSpi(-1, 0, 2), 0x10, 0x5B, 0x0002),
                testing::ExitedWithCode(kilnorsim::kCrashExitCode), "");
    EXPECT_FALSE(fs::exists(dir / kilnorsim::kAddressFile));
    EXPECT_NE(file(dir / kilnorsim::kCallLog).find(",0x10,0x5B,0x2)=crash\n"), std::string::npos);

    configure("addr_crash=after\n");
    EXPECT_EXIT(psWriteBdAddr(openVortaneSpi(-1, 0, 2), 0x11, 0x5B, 0x0002),
                testing::ExitedWithCode(kilnorsim::kCrashExitCode), "");
    EXPECT_EQ(file(dir / kilnorsim::kAddressFile), "0002:5B:000011\n");
    EXPECT_NE(file(dir / kilnorsim::kCallLog).find(",0x11,0x5B,0x2)=1\n"), std::string::npos);
}

TEST(SimConfig, NumbersAreDecimalOrHexadecimalNeverOctal)
{
    EXPECT_EQ(kilnorsim::parseConfig("addr_fail=010\n").addressFailures, 10u);
    EXPECT_EQ(kilnorsim::parseConfig("addr_fail=0x10\n").addressFailures, 16u);
    EXPECT_EQ(kilnorsim::parseConfig("eeprom_size=0X1000\n").eepromSize, 4096u);
    EXPECT_EQ(kilnorsim::parseConfig("eeprom_size=00128\n").eepromSize, 128u);
    unsigned long long value = 7;
    for (const char *bad : {"", "0x", "0x1g", "08x", "+1", "-1", " 1", "1e3", "0b101", "0x10000000000000000"})
        EXPECT_FALSE(kilnorsim::parseNumber(bad, ~0ull, value)) << bad;
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(kilnorsim::parseNumber("18446744073709551615", ~0ull, value));
    EXPECT_FALSE(kilnorsim::parseNumber("256", 255, value));
    EXPECT_TRUE(kilnorsim::parseNumber("0xff", 255, value));
    EXPECT_EQ(value, 255u);
}

TEST(SimConfig, MalformedValuesKeepDefaults)
{
    const kilnorsim::Config config =
        kilnorsim::parseConfig("eeprom_size=12\naddr_fail=-3\nadapter=maybe\nnonsense\n=\nfail=,\n");
    EXPECT_EQ(config.eepromSize, kilnorsim::kDefaultEepromSize);
    EXPECT_EQ(config.addressFailures, 0u);
    EXPECT_TRUE(config.lptPresent && config.usbPresent);
    EXPECT_TRUE(config.failing.empty());
    EXPECT_EQ(kilnorsim::parseConfig("eeprom_size=99999999999999999999999\n").eepromSize,
              kilnorsim::kDefaultEepromSize);
}

} // namespace
