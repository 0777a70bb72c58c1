#include "fakes.h"

#include "kilnor_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>

using kilnor::KilnorController;
using kilnor::Port;
using Calls = std::vector<std::string>;

namespace {

std::string readText(const std::string &aPath)
{
    std::ifstream in(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string &aPath, const std::string &aText)
{
    std::ofstream(aPath, std::ios::binary) << aText;
}

// 2026-12-09T16:51:47Z
constexpr std::time_t kNow = 1796835107;

class ControllerTest : public testing::Test {
protected:
    // Each test has a folder of its own for config.bin and the ledger.
    std::string folder;
    std::string configPath, ledgerPath, noConfig;
    FakeView view;
    FakeChip chip{&view};
    KilnorController controller{view, chip, [] { return kNow; }};

    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "kilnorctlXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern + "/";
        configPath = folder + "config.bin";
        ledgerPath = folder + kilnor::kLedgerName;
        noConfig = folder + "missing.bin";
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::string writeConfig(const std::vector<unsigned char> &aBytes)
    {
        std::ofstream(configPath, std::ios::binary)
            .write(reinterpret_cast<const char *>(aBytes.data()), static_cast<std::streamsize>(aBytes.size()));
        return configPath;
    }
    // Starts with the address of a config.bin holding these fields.
    void startWith(unsigned aNap, unsigned aUap, unsigned aLap, unsigned aLapEnd)
    {
        std::vector<unsigned char> bytes;
        for (const auto &[value, size] : {std::pair{aNap, 2}, {aUap, 1}, {aLap, 3}, {aLapEnd, 3}})
            for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
                bytes.push_back(static_cast<unsigned char>(value >> shift));
        controller.start(writeConfig(bytes));
    }
    std::string address() const { return view.nap + ":" + view.uap + ":" + view.lap; }
};

TEST_F(ControllerTest, StartWithoutConfigShowsZeroAddressAndDefaults)
{
    controller.start(noConfig);
    EXPECT_EQ(view.nap + view.uap + view.lap, "0000" "00" "000000");
    EXPECT_EQ(view.portChoice, Port::Usb);
    EXPECT_TRUE(view.increment);
    EXPECT_FALSE(view.addressFieldsEnabled);
    EXPECT_FALSE(view.programFileEnabled);
    EXPECT_EQ(view.statuses, Calls{"请放入设备"});
    EXPECT_TRUE(chip.calls.empty());
}

TEST_F(ControllerTest, StartTakesAcceptedConfigAndIgnoresOthers)
{
    startWith(0x1234, 0x5B, 0x00ABCD, 0x00ABCE);
    EXPECT_EQ(view.nap + ":" + view.uap + ":" + view.lap, "1234:5B:00ABCD");
    EXPECT_EQ(controller.lapEnd(), 0x00ABCEu);

    // First LAP equal to lapEnd, or only eight bytes: the address stays 0.
    for (const std::vector<unsigned char> &bytes :
         {std::vector<unsigned char>{0x12, 0x34, 0x5B, 0x00, 0xAB, 0xCD, 0x00, 0xAB, 0xCD},
          std::vector<unsigned char>{0x12, 0x34, 0x5B, 0x00, 0x00, 0x01, 0x00, 0x00}}) {
        FakeView otherView;
        FakeChip otherChip;
        KilnorController other(otherView, otherChip);
        other.start(writeConfig(bytes));
        EXPECT_EQ(otherView.nap + otherView.uap + otherView.lap, "0000" "00" "000000");
        EXPECT_FALSE(other.rangeAccepted());
    }
}

TEST_F(ControllerTest, IncrementCountsLapWithoutCarry)
{
    startWith(0x0002, 0x5B, 0x00FFFE, 0xFFFFFF);
    controller.writeAddressClicked();
    EXPECT_EQ(view.lap, "00FFFF");
    EXPECT_EQ(view.status(), "烧录成功");
    controller.writeAddressClicked();
    EXPECT_EQ(view.lap, "010000");
    EXPECT_EQ(view.nap, "0002");
    EXPECT_EQ(view.uap, "5B");
    EXPECT_EQ(chip.calls, (Calls{"openVortaneSpi(-1,0,2)", "psWriteBdAddr(42,FFFE,5B,2)", "closeVortane(42)",
                                 "openVortaneSpi(-1,0,2)", "psWriteBdAddr(42,FFFF,5B,2)", "closeVortane(42)"}));
    EXPECT_EQ(view.statuses, (Calls{"请放入设备", "烧录中...", "烧录成功", "烧录中...", "烧录成功"}));
    // The button is disabled while the library works and enabled after it.
    EXPECT_EQ(chip.buttonEnabledDuringCall, (std::vector<bool>{false, false}));
    EXPECT_TRUE(view.writeAddressEnabled);
}

TEST_F(ControllerTest, WithoutConfigAnAddressTheStoreCannotHoldIsNotWritten)
{
    // From FFFFFF the field shows 1000000, and that value is never written.
    controller.start(noConfig);
    view.lap = "FFFFFF";
    controller.writeAddressClicked();
    EXPECT_EQ(view.lap, "1000000");
    chip.calls.clear();
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录失败");
    EXPECT_EQ(view.lap, "1000000");
    EXPECT_EQ(controller.lap(), 0x1000000u);
    EXPECT_TRUE(view.writeAddressEnabled);
    // Typed NAP or UAP wider than their parts.
    view.lap = "1";
    view.nap = "10000";
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录失败");
    view.nap = "FFFF";
    view.uap = "100";
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录失败");
    EXPECT_TRUE(chip.calls.empty());

}

TEST_F(ControllerTest, RangeOfConfigBinEndsBeforeLapEnd)
{
    startWith(0x0001, 0x02, 0x000010, 0x000012);
    controller.writeAddressClicked();
    controller.writeAddressClicked();
    EXPECT_EQ(address(), "0001:02:000012");
    chip.calls.clear();
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "地址已用完");
    EXPECT_EQ(address(), "0001:02:000012");
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_TRUE(view.writeAddressEnabled);

    // Typed addresses outside the allocated range, also those of a store
    // too narrow for them, never reach the library.
    view.increment = false;
    controller.incrementClicked();
    for (const auto &[nap, uap, lap, refusal] :
         {std::tuple{"0002", "02", "000010", "地址不在范围内"}, {"0001", "03", "000010", "地址不在范围内"},
          {"10001", "02", "000010", "地址不在范围内"}, {"0001", "102", "000010", "地址不在范围内"},
          {"0001", "02", "00000F", "地址不在范围内"}, {"0001", "02", "1000010", "地址已用完"},
          {"0001", "02", "FFFFFF", "地址已用完"}}) {
        view.nap = nap, view.uap = uap, view.lap = lap;
        controller.writeAddressClicked();
        EXPECT_EQ(view.status(), refusal) << nap << ":" << uap << ":" << lap;
    }
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), "烧录失败"), 0);
}

TEST_F(ControllerTest, AddressWriteRetriesFiveTimes)
{
    controller.start(noConfig);
    view.lap = "000100";
    chip.writeResults = {0, -1, 7, 0, 1};
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录成功");
    EXPECT_EQ(view.lap, "000101");
    EXPECT_EQ(chip.calls.size(), 7u);  // open, 5 writes, close

    chip.calls.clear();
    chip.writeResult = 0;
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录失败");
    EXPECT_EQ(view.lap, "000101");
    EXPECT_EQ(controller.lap(), 0x101u);
    ASSERT_EQ(chip.calls.size(), 7u);
    EXPECT_EQ(chip.calls.front(), "openVortaneSpi(-1,0,2)");
    EXPECT_EQ(chip.calls.back(), "closeVortane(42)");
    EXPECT_TRUE(view.writeAddressEnabled);
}

TEST_F(ControllerTest, AddressWriteOpenFailureAndPortChoice)
{
    controller.start(noConfig);
    chip.handle = 0;
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "SPI连接失败");
    EXPECT_EQ(chip.calls, Calls{"openVortaneSpi(-1,0,2)"});  // no close of a 0 handle
    EXPECT_TRUE(view.writeAddressEnabled);

    chip.calls.clear();
    chip.handle = 9;
    view.portChoice = Port::Lpt;
    controller.writeAddressClicked();
    EXPECT_EQ(chip.calls.front(), "openVortaneSpi(1,0,1)");

    chip.calls.clear();
    view.portChoice = Port::None;
    controller.writeAddressClicked();
    EXPECT_EQ(view.messages, Calls{"端口设置错误"});
    EXPECT_TRUE(chip.calls.empty());
}

TEST_F(ControllerTest, UncheckedIncrementUsesTypedValuesUnchanged)
{
    controller.start(noConfig);
    view.increment = false;
    controller.incrementClicked();
    EXPECT_TRUE(view.addressFieldsEnabled);
    view.nap = " 0xbeef";
    view.uap = "c3";
    view.lap = "12ab34";
    controller.writeAddressClicked();
    EXPECT_EQ(chip.calls[1], "psWriteBdAddr(42,12AB34,C3,BEEF)");
    // Shown in the fields' forms, not incremented.
    EXPECT_EQ(address(), "BEEF:C3:12AB34");
    EXPECT_EQ(controller.lap(), 0x12AB34u);
    EXPECT_EQ(view.status(), "烧录成功");

    view.increment = true;
    controller.incrementClicked();
    EXPECT_FALSE(view.addressFieldsEnabled);
}

TEST_F(ControllerTest, ProgramFileNeedsAChosenFile)
{
    controller.start(noConfig);
    EXPECT_FALSE(view.programFileEnabled);
    controller.programFileClicked();
    EXPECT_EQ(view.status(), "请先选择烧录文件");
    EXPECT_TRUE(chip.calls.empty());

    controller.chooseFileClicked();  // cancelled
    EXPECT_FALSE(view.programFileEnabled);
    EXPECT_EQ(view.filePath, "");

    view.openAnswer = "/data/a.dump";
    controller.chooseFileClicked();
    EXPECT_TRUE(view.programFileEnabled);
    EXPECT_EQ(view.filePath, "/data/a.dump");

    controller.programFileClicked();
    EXPECT_EQ(chip.calls, (Calls{"plsOpen(2,-1,-1)", "plsProgram(/data/a.dump,1)", "plsClose()"}));
    EXPECT_EQ(view.statuses, (Calls{"请放入设备", "请先选择烧录文件", "烧录中...", "烧录完成"}));
    EXPECT_EQ(chip.buttonEnabledDuringCall, std::vector<bool>{false});
    EXPECT_TRUE(view.programFileEnabled);

    chip.operationResult = 5;
    controller.programFileClicked();
    EXPECT_EQ(view.status(), "烧录失败");
    EXPECT_TRUE(view.programFileEnabled);
}

TEST_F(ControllerTest, FailedPlessaOpenStopsWithoutClose)
{
    controller.start(noConfig);
    view.filePath = "x.dump";
    view.programFileEnabled = true;
    view.saveAnswer = "/tmp/1.dump";
    chip.openResult = 1;
    view.portChoice = Port::Lpt;
    controller.programFileClicked();
    controller.writeHeaderClicked();
    controller.fillClicked();
    controller.readOutClicked();
    EXPECT_EQ(chip.calls, Calls(4, "plsOpen(1,-1,-1)"));
    EXPECT_EQ(view.statuses, (Calls{"请放入设备", "SPI连接失败", "SPI连接失败", "SPI连接失败", "SPI连接失败"}));
    EXPECT_TRUE(view.programFileEnabled);
    EXPECT_TRUE(view.readOutEnabled);
}

TEST_F(ControllerTest, HeaderAndFillReportTheirResults)
{
    controller.start(noConfig);
    controller.writeHeaderClicked();
    controller.fillClicked();
    chip.operationResult = 4;
    controller.writeHeaderClicked();
    controller.fillClicked();
    EXPECT_EQ(chip.calls, (Calls{"plsOpen(2,-1,-1)", "plsWriteCkHeader()", "plsClose()", "plsOpen(2,-1,-1)",
                                 "plsFill(255,1)", "plsClose()", "plsOpen(2,-1,-1)", "plsWriteCkHeader()",
                                 "plsClose()", "plsOpen(2,-1,-1)", "plsFill(255,1)", "plsClose()"}));
    EXPECT_EQ(view.statuses, (Calls{"请放入设备", "EEPROM初始化中...", "初始化完成", "EEPROM填充中...", "填充完成",
                                    "EEPROM初始化中...", "初始化失败", "EEPROM填充中...", "填充失败"}));
}

TEST_F(ControllerTest, ReadOutCancelCallsNothing)
{
    controller.start(noConfig);
    controller.readOutClicked();
    EXPECT_EQ(view.saveAsked, 1);
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_EQ(view.statuses.size(), 1u);

    view.saveAnswer = folder + "1.dump";
    controller.readOutClicked();
    ASSERT_EQ(chip.calls.size(), 3u);
    EXPECT_EQ(chip.calls[0], "plsOpen(2,-1,-1)");
    EXPECT_EQ(chip.calls[1].rfind("plsDump(" + folder + "1.dump.", 0), 0u) << chip.calls[1];
    EXPECT_EQ(chip.calls[2], "plsClose()");
    EXPECT_EQ(view.status(), "读取完成");
    EXPECT_EQ(chip.buttonEnabledDuringCall, std::vector<bool>{false});
    EXPECT_TRUE(view.readOutEnabled);

    chip.operationResult = 5;
    controller.readOutClicked();
    EXPECT_EQ(view.status(), "读取失败");
}

TEST_F(ControllerTest, LedgerLineIsSyncedBeforeTheWriteAndUpdatedAfterIt)
{
    startWith(0x0002, 0x5B, 0x00FFFE, 0x010010);
    std::vector<std::string> seen;
    chip.duringWrite = [&] { seen.push_back(readText(ledgerPath)); };
    controller.writeAddressClicked();
    chip.writeResult = 0;
    controller.writeAddressClicked();
    ASSERT_EQ(seen.size(), 6u);  // one write, then five attempts
    EXPECT_EQ(seen[0], "2026-12-09T16:51:47Z 0002:5B:00FFFE reserved\n");
    EXPECT_EQ(seen[1], "2026-12-09T16:51:47Z 0002:5B:00FFFE written \n"
                       "2026-12-09T16:51:47Z 0002:5B:00FFFF reserved\n");
    // One line per address; a failed address may be tried again and gets
    // its reservation back in the same line.
    EXPECT_EQ(readText(ledgerPath), "2026-12-09T16:51:47Z 0002:5B:00FFFE written \n"
                                    "2026-12-09T16:51:47Z 0002:5B:00FFFF failed  \n");
    EXPECT_EQ(view.lap, "00FFFF");
    chip.writeResult = 1;
    seen.clear();
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录成功");
    EXPECT_EQ(seen[0], "2026-12-09T16:51:47Z 0002:5B:00FFFE written \n"
                       "2026-12-09T16:51:47Z 0002:5B:00FFFF reserved\n");
    EXPECT_EQ(readText(ledgerPath).substr(45), "2026-12-09T16:51:47Z 0002:5B:00FFFF written \n");
}

TEST_F(ControllerTest, RestartGoesOnAfterTheHighestAddressTheLedgerHoldsInItsRange)
{
    // Hand-kept and foreign lines, a reservation cut short by a crash, a
    // higher LAP of another UAP, a LAP past lapEnd, and a torn last line.
    writeText(ledgerPath, "# addresses of line 3\n"
                          "2026-12-01T08:00:00Z 0002:5B:000101 written \n"
                          "2026-12-01T08:00:01Z 0002:5b:000104 reserved\r\n"
                          "2026-12-01T08:00:02Z 0002:5C:000180 written \n"
                          "2026-12-01T08:00:03Z 0002:5B:000200 written \n"
                          "2026-12-01T08:00:04Z 0002:5B:000102 fai");
    startWith(0x0002, 0x5B, 0x000100, 0x000200);
    EXPECT_EQ(address(), "0002:5B:000105");
    controller.writeAddressClicked();
    EXPECT_EQ(chip.calls[1], "psWriteBdAddr(42,105,5B,2)");
    // The torn line got its end before the new one was appended.
    const std::string ledger = readText(ledgerPath);
    EXPECT_NE(ledger.find("0002:5B:000102 fai\n2026-12-09T16:51:47Z 0002:5B:000105 written \n"), std::string::npos);

    // A failed address is still passed over after a restart.
    FakeView again;
    FakeChip againChip{&again};
    KilnorController restarted(again, againChip);
    writeText(ledgerPath, ledger + "2026-12-09T16:51:48Z 0002:5B:000106 failed  \n");
    restarted.start(configPath);
    EXPECT_EQ(again.lap, "000107");

    // Without a ledger, or without one line of this range, start as ever.
    std::filesystem::remove(ledgerPath);
    restarted.start(configPath);
    EXPECT_EQ(again.lap, "000100");
    writeText(ledgerPath, "2026-12-01T08:00:00Z 0002:5B:0000FF written \n");
    restarted.start(configPath);
    EXPECT_EQ(again.lap, "000100");

    // The whole range in the ledger: the first LAP shown is lapEnd.
    writeText(ledgerPath, "2026-12-01T08:00:00Z 0002:5B:0001FF failed  \n");
    restarted.start(configPath);
    EXPECT_EQ(again.lap, "000200");
    restarted.writeAddressClicked();
    EXPECT_EQ(again.status(), "地址已用完");
    EXPECT_TRUE(againChip.calls.empty());
}

TEST_F(ControllerTest, AddressTheLedgerHoldsIsRefusedWithoutALibraryCall)
{
    writeText(ledgerPath, "2026-12-01T08:00:00Z 0002:5B:000010 written \n"
                          "2026-12-01T08:00:01Z 0002:5B:000011 reserved\n"
                          "2026-12-01T08:00:02Z 0002:5B:000012 failed  \n"
                          "2026-12-01T08:00:03Z 0002:5B:000013 ???\n"
                          "2026-12-01 08:00:04 0002:5b:000014 written by hand\n");
    controller.start(noConfig);
    view.increment = false;
    controller.incrementClicked();
    view.nap = "0002", view.uap = "5b";
    for (const char *held : {"000010", "000011", "000013", "000014"}) {
        view.lap = held;
        controller.writeAddressClicked();
        EXPECT_EQ(view.status(), "地址已烧录过") << held;
    }
    EXPECT_TRUE(chip.calls.empty());
    view.lap = "12";
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录成功");
    chip.calls.clear();
    controller.writeAddressClicked();  // the same address once more
    EXPECT_EQ(view.status(), "地址已烧录过");
    EXPECT_TRUE(chip.calls.empty());

    // The time of day of the hand-kept line is not an address.
    view.nap = "0008", view.uap = "00", view.lap = "000004";
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录成功");
}

// The folder's files but the ledger and config.bin, by name.
std::vector<std::string> dumpFolderFiles(const std::string &aFolder)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(aFolder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ControllerTest, ADumpIsWrittenToANewFileThatReplacesTheChosenOneWhenWhole)
{
    controller.start(noConfig);
    const std::string dump = folder + "board.dump";
    writeText(dump, "old dump");
    view.saveAnswer = dump;
    chip.dumpBytes = "KDMP new";
    controller.readOutClicked();
    EXPECT_EQ(view.status(), "读取完成");
    EXPECT_EQ(readText(dump), "KDMP new");
    // The library was given a new file beside the chosen one, under a name
    // that differs from one read-out to the next.
    const std::string first = chip.calls[1];
    EXPECT_EQ(first.substr(first.size() - 7), ".tmp,1)");
    controller.readOutClicked();
    EXPECT_NE(chip.calls[4], first);
    EXPECT_EQ(dumpFolderFiles(folder), (std::vector<std::string>{"board.dump"}));

    // A failed read-out leaves the old file and no new one.
    chip.operationResult = 5;
    chip.dumpBytes = "KDMP torn";
    controller.readOutClicked();
    EXPECT_EQ(view.status(), "读取失败");
    EXPECT_EQ(readText(dump), "KDMP new");
    EXPECT_EQ(dumpFolderFiles(folder), (std::vector<std::string>{"board.dump"}));
}

TEST_F(ControllerTest, ALinkOrFolderWhereTheDumpShouldGoIsRefusedWithoutALibraryCall)
{
    controller.start(noConfig);
    const std::string victim = folder + "victim.txt";
    writeText(victim, "precious");
    const std::string link = folder + "1.dump";
    std::error_code ec;
    std::filesystem::create_symlink(victim, link, ec);
    if (ec)
        GTEST_SKIP() << "no symbolic links here";
    chip.dumpBytes = "KDMP";
    view.saveAnswer = link;
    controller.readOutClicked();
    EXPECT_EQ(view.status(), "目标文件是符号链接，已拒绝");
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_EQ(readText(victim), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    std::filesystem::create_directory(folder + "2.dump");
    view.saveAnswer = folder + "2.dump";
    controller.readOutClicked();
    EXPECT_EQ(view.status(), "目标不是普通文件，已拒绝");
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_TRUE(view.readOutEnabled);
}

TEST_F(ControllerTest, ALinkPlantedWhileTheDumpIsReadIsNotWrittenThrough)
{
    // A link that appears between the check and the rename: the dump is
    // not put in place, the link's file is untouched.
    struct PlantingChip : FakeChip {
        using FakeChip::FakeChip;
        std::string link, victim;
        std::int32_t plsDump(const std::string &aPath, std::int32_t aVerify) override
        {
            std::filesystem::create_symlink(victim, link);
            return FakeChip::plsDump(aPath, aVerify);
        }
    } planting{&view};
    KilnorController withPlanting{view, planting, [] { return kNow; }};
    withPlanting.start(noConfig);
    planting.victim = folder + "victim.txt";
    planting.link = folder + "1.dump";
    planting.dumpBytes = "KDMP";
    writeText(planting.victim, "precious");
    view.saveAnswer = planting.link;
    withPlanting.readOutClicked();
    EXPECT_EQ(view.status(), "目标文件是符号链接，已拒绝");
    EXPECT_EQ(readText(planting.victim), "precious");
    EXPECT_EQ(dumpFolderFiles(folder), (std::vector<std::string>{"1.dump", "victim.txt"}));
}

TEST_F(ControllerTest, ALinkAtTheLedgerIsNeitherReadNorWritten)
{
    const std::string victim = folder + "victim.txt";
    writeText(victim, "precious\n");
    std::error_code ec;
    std::filesystem::create_symlink(victim, ledgerPath, ec);
    if (ec)
        GTEST_SKIP() << "no symbolic links here";
    startWith(0x0002, 0x5B, 0x000010, 0x000020);
    EXPECT_FALSE(controller.ledger().usable());
    EXPECT_TRUE(controller.ledger().refusedLink());
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "地址记录文件是符号链接，已拒绝");
    EXPECT_TRUE(chip.calls.empty());

    // A link planted after the start: the reservation is refused, so no
    // address is written.
    std::filesystem::remove(ledgerPath);
    startWith(0x0002, 0x5B, 0x000010, 0x000020);
    std::filesystem::create_symlink(victim, ledgerPath);
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "地址记录文件是符号链接，已拒绝");
    EXPECT_EQ(chip.calls, (Calls{"openVortaneSpi(-1,0,2)", "closeVortane(42)"}));
    EXPECT_EQ(readText(victim), "precious\n");
}

TEST_F(ControllerTest, AFifoAtTheLedgerOrConfigDoesNotHoldTheStart)
{
    ASSERT_EQ(mkfifo(ledgerPath.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(configPath.c_str(), 0600), 0);
    controller.start(configPath);
    EXPECT_FALSE(controller.rangeAccepted());
    EXPECT_FALSE(controller.ledger().usable());
    EXPECT_FALSE(controller.ledger().refusedLink());
}

TEST_F(ControllerTest, LedgerThatCannotBeReadOrWrittenStopsAddressWrites)
{
    // A folder where the ledger should be cannot be read as a ledger.
    std::filesystem::create_directory(ledgerPath);
    startWith(0x0002, 0x5B, 0x000010, 0x000020);
    EXPECT_FALSE(controller.ledger().usable());
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "地址记录失败");
    EXPECT_TRUE(chip.calls.empty());
    std::filesystem::remove(ledgerPath);

    // The reservation cannot reach the disk: no psWriteBdAddr.
    startWith(0x0002, 0x5B, 0x000010, 0x000020);
    std::filesystem::remove_all(folder);
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "地址记录失败");
    EXPECT_EQ(chip.calls, (Calls{"openVortaneSpi(-1,0,2)", "closeVortane(42)"}));
    EXPECT_EQ(view.lap, "000010");
    EXPECT_TRUE(view.writeAddressEnabled);
}

TEST_F(ControllerTest, EveryOperationGivesTheFocusBackToItsButton)
{
    using kilnor::Button;
    controller.start(noConfig);
    view.saveAnswer = "/out/1.dump";
    view.openAnswer = "/out/1.dump";
    controller.writeHeaderClicked();
    controller.fillClicked();
    controller.readOutClicked();
    controller.chooseFileClicked();
    controller.programFileClicked();
    controller.writeAddressClicked();
    chip.handle = 0;  // failed paths end the same way
    controller.writeAddressClicked();
    view.portChoice = Port::None;
    controller.writeAddressClicked();
    EXPECT_EQ(view.focused, (std::vector<Button>{Button::WriteHeader, Button::Fill, Button::ReadOut,
                                                 Button::ChooseFile, Button::ProgramFile, Button::WriteAddress,
                                                 Button::WriteAddress, Button::WriteAddress}));
    EXPECT_FALSE(view.otherButtonChanged);
}

} // namespace
