#include "fakes.h"

#include "kilnor_controller.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using kilnor::KilnorController;
using kilnor::Port;
using Calls = std::vector<std::string>;

namespace {

// A config.bin of these bytes in the test's temporary folder.
std::string writeConfig(const std::vector<unsigned char> &aBytes)
{
    const std::string path = testing::TempDir() + "kilnor_config.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(aBytes.data()),
                                                static_cast<std::streamsize>(aBytes.size()));
    return path;
}
const std::string kNoConfig = testing::TempDir() + "kilnor_does_not_exist.bin";

class ControllerTest : public testing::Test {
protected:
    FakeView view;
    FakeChip chip{&view};
    KilnorController controller{view, chip};

    // Starts with the address of a config.bin holding these fields.
    void startWith(unsigned aNap, unsigned aUap, unsigned aLap, unsigned aLapEnd)
    {
        std::vector<unsigned char> bytes;
        for (const auto &[value, size] : {std::pair{aNap, 2}, {aUap, 1}, {aLap, 3}, {aLapEnd, 3}})
            for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
                bytes.push_back(static_cast<unsigned char>(value >> shift));
        controller.start(writeConfig(bytes));
    }
};

TEST_F(ControllerTest, StartWithoutConfigShowsZeroAddressAndDefaults)
{
    controller.start(kNoConfig);
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

TEST_F(ControllerTest, AddressOutsideTheStoreOrTheConfiguredRangeIsNotWritten)
{
    // From FFFFFF the field shows 1000000, and that value is never written.
    controller.start(kNoConfig);
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

    // lapEnd itself is still in the range of config.bin, the one after it not.
    startWith(0x0001, 0x02, 0x000010, 0x000011);
    controller.writeAddressClicked();
    controller.writeAddressClicked();
    EXPECT_EQ(view.lap, "000012");
    chip.calls.clear();
    controller.writeAddressClicked();
    EXPECT_EQ(view.status(), "烧录失败");
    EXPECT_EQ(view.lap, "000012");
    EXPECT_TRUE(chip.calls.empty());
}

TEST_F(ControllerTest, AddressWriteRetriesFiveTimes)
{
    controller.start(kNoConfig);
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
    controller.start(kNoConfig);
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
    controller.start(kNoConfig);
    view.increment = false;
    controller.incrementClicked();
    EXPECT_TRUE(view.addressFieldsEnabled);
    view.nap = " 0xbeef";
    view.uap = "c3";
    view.lap = "12ab34";
    controller.writeAddressClicked();
    EXPECT_EQ(chip.calls[1], "psWriteBdAddr(42,12AB34,C3,BEEF)");
    EXPECT_EQ(view.lap, "12AB34");  // shown in the field's form, not incremented
    EXPECT_EQ(controller.lap(), 0x12AB34u);
    EXPECT_EQ(view.status(), "烧录成功");

    view.increment = true;
    controller.incrementClicked();
    EXPECT_FALSE(view.addressFieldsEnabled);
}

TEST_F(ControllerTest, ProgramFileNeedsAChosenFile)
{
    controller.start(kNoConfig);
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
    controller.start(kNoConfig);
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
    controller.start(kNoConfig);
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
    controller.start(kNoConfig);
    controller.readOutClicked();
    EXPECT_EQ(view.saveAsked, 1);
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_EQ(view.statuses.size(), 1u);

    view.saveAnswer = "/out/1.dump";
    controller.readOutClicked();
    EXPECT_EQ(chip.calls, (Calls{"plsOpen(2,-1,-1)", "plsDump(/out/1.dump,1)", "plsClose()"}));
    EXPECT_EQ(view.status(), "读取完成");
    EXPECT_EQ(chip.buttonEnabledDuringCall, std::vector<bool>{false});
    EXPECT_TRUE(view.readOutEnabled);

    chip.operationResult = 5;
    controller.readOutClicked();
    EXPECT_EQ(view.status(), "读取失败");
}

} // namespace
