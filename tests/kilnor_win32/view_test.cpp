// The Win32 dialog as an operator meets it: captions, defaults, fonts and
// the system menu, and clicks that reach the controller and the chip.
#include "fakes.h"
#include "resource.h"
#include "win32_dialog.h"
#include "win32_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using kilnor::win32::KilnorDialog;
using kilnor::win32::narrow;
using kilnor::win32::widen;

class Win32ViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = dialog.createModeless(GetModuleHandleW(nullptr));
        ASSERT_NE(nullptr, window);
    }

    std::string text(int aId) const
    {
        wchar_t buffer[256] = {};
        GetDlgItemTextW(window, aId, buffer, 256);
        return narrow(buffer);
    }
    void setText(int aId, const char *aUtf8) { SetDlgItemTextW(window, aId, widen(aUtf8).c_str()); }
    void click(int aId) { SendDlgItemMessageW(window, aId, BM_CLICK, 0, 0); }
    bool enabled(int aId) const { return IsWindowEnabled(GetDlgItem(window, aId)) != FALSE; }
    bool checked(int aId) const { return IsDlgButtonChecked(window, aId) == BST_CHECKED; }

    FakeChip chip;
    KilnorDialog dialog{chip, "no-such-dir/config.bin"};
    HWND window = nullptr;
};

TEST_F(Win32ViewTest, StartsWithTheDefaultsOfTheDialog)
{
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_EQ("Kilnor   ", narrow(title));
    EXPECT_TRUE(checked(IDC_USB));
    EXPECT_FALSE(checked(IDC_LPT));
    EXPECT_TRUE(checked(IDC_INCREMENT));
    EXPECT_EQ("0000", text(IDC_NAP));
    EXPECT_EQ("00", text(IDC_UAP));
    EXPECT_EQ("000000", text(IDC_LAP));
    for (int id : {IDC_NAP, IDC_UAP, IDC_LAP, IDC_PROGRAM_FILE})
        EXPECT_FALSE(enabled(id)) << id;
    for (int id : {IDC_WRITE_HEADER, IDC_FILL, IDC_READ_OUT, IDC_WRITE_ADDRESS, IDC_CHOOSE_FILE})
        EXPECT_TRUE(enabled(id)) << id;
    EXPECT_EQ("请放入设备", text(IDC_STATUS));
    EXPECT_EQ("写Header", text(IDC_WRITE_HEADER));
    EXPECT_EQ("填充EEPROM", text(IDC_FILL));
    EXPECT_EQ("读出程序", text(IDC_READ_OUT));
    EXPECT_EQ("地址递增", text(IDC_INCREMENT));
    EXPECT_EQ("烧录", text(IDC_PROGRAM_FILE));
    EXPECT_TRUE(chip.calls.empty());
}

TEST_F(Win32ViewTest, DialogAndStatusFontsAreThoseOfTheTool)
{
    LOGFONTW font = {};
    ASSERT_NE(0, GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof(font), &font));
    EXPECT_EQ("宋体", narrow(font.lfFaceName));

    HFONT status = reinterpret_cast<HFONT>(SendDlgItemMessageW(window, IDC_STATUS, WM_GETFONT, 0, 0));
    EXPECT_EQ(dialog.statusFont(), status);
    ASSERT_NE(0, GetObjectW(status, sizeof(font), &font));
    EXPECT_EQ("Times new roman", narrow(font.lfFaceName));
    EXPECT_EQ(30, font.lfHeight);
    EXPECT_EQ(300, font.lfWeight);
    EXPECT_EQ(DEFAULT_CHARSET, font.lfCharSet);
}

TEST_F(Win32ViewTest, SystemMenuEndsInASeparatorAndTheAboutItem)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    ASSERT_NE(nullptr, menu);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(static_cast<UINT>(IDM_ABOUTBOX), GetMenuItemID(menu, count - 1));
    wchar_t caption[64] = {};
    GetMenuStringW(menu, count - 1, caption, 64, MF_BYPOSITION);
    EXPECT_EQ("关于 Kilnor(&A)...", narrow(caption));
    EXPECT_NE(0u, GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR);
}

TEST_F(Win32ViewTest, ButtonsRunTheirOperationsOnTheCheckedInterface)
{
    click(IDC_WRITE_HEADER);
    EXPECT_EQ((std::vector<std::string>{"plsOpen(2,-1,-1)", "plsWriteCkHeader()", "plsClose()"}), chip.calls);
    EXPECT_EQ("初始化完成", text(IDC_STATUS));
    // The focus is back on the button, so that Enter runs it again.
    EXPECT_EQ(GetDlgItem(window, IDC_WRITE_HEADER), GetFocus());

    chip.calls.clear();
    click(IDC_LPT);
    EXPECT_TRUE(checked(IDC_LPT));
    EXPECT_FALSE(checked(IDC_USB));
    chip.operationResult = 4;
    click(IDC_FILL);
    EXPECT_EQ((std::vector<std::string>{"plsOpen(1,-1,-1)", "plsFill(255,1)", "plsClose()"}), chip.calls);
    EXPECT_EQ("填充失败", text(IDC_STATUS));
    EXPECT_EQ(GetDlgItem(window, IDC_FILL), GetFocus());
}

TEST_F(Win32ViewTest, TypedAddressIsWrittenOnceTheIncrementIsOff)
{
    // A dialog of its own, over a config.bin of NAP 0002, UAP 5B and the
    // LAPs 00FFFE up to 010010; the ledger of written addresses goes beside it.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "nvt_kilnor_win32_address";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const char config[] = {0x00, 0x02, 0x5b, 0x00, char(0xff), char(0xfe), 0x01, 0x00, 0x10};
    std::ofstream((folder / "config.bin").string(), std::ios::binary).write(config, sizeof(config));
    KilnorDialog ranged{chip, (folder / "config.bin").string()};
    window = ranged.createModeless(GetModuleHandleW(nullptr));
    ASSERT_NE(nullptr, window);

    click(IDC_INCREMENT);
    EXPECT_FALSE(checked(IDC_INCREMENT));
    for (int id : {IDC_NAP, IDC_UAP, IDC_LAP})
        EXPECT_TRUE(enabled(id)) << id;
    setText(IDC_NAP, "0002");
    setText(IDC_UAP, "5b");
    setText(IDC_LAP, "00FFFE");
    chip.writeResults = {0, 0, 1};
    click(IDC_WRITE_ADDRESS);
    ASSERT_EQ(5u, chip.calls.size());  // open, three attempts, close
    EXPECT_EQ("openVortaneSpi(-1,0,2)", chip.calls.front());
    EXPECT_EQ("psWriteBdAddr(42,FFFE,5B,2)", chip.calls[3]);
    EXPECT_EQ("closeVortane(42)", chip.calls.back());
    EXPECT_EQ("00FFFE", text(IDC_LAP));
    EXPECT_EQ("烧录成功", text(IDC_STATUS));
    EXPECT_TRUE(enabled(IDC_WRITE_ADDRESS));

    // The ledger beside config.bin refuses the same address a second time.
    chip.calls.clear();
    click(IDC_WRITE_ADDRESS);
    EXPECT_EQ("地址已烧录过", text(IDC_STATUS));
    EXPECT_TRUE(chip.calls.empty());
    EXPECT_EQ(GetDlgItem(window, IDC_WRITE_ADDRESS), GetFocus());
    DestroyWindow(window);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

TEST_F(Win32ViewTest, ProgrammingNeedsAFileAndTakesThePathFromTheField)
{
    // Choosing a file enables the button; an emptied field is refused.
    dialog.setButtonEnabled(kilnor::Button::ProgramFile, true);
    click(IDC_PROGRAM_FILE);
    EXPECT_EQ("请先选择烧录文件", text(IDC_STATUS));
    setText(IDC_FILE_PATH, "C:\\dumps\\1.dump");
    click(IDC_PROGRAM_FILE);
    EXPECT_EQ((std::vector<std::string>{"plsOpen(2,-1,-1)", "plsProgram(C:\\dumps\\1.dump,1)", "plsClose()"}),
              chip.calls);
    EXPECT_EQ("烧录完成", text(IDC_STATUS));
}

TEST_F(Win32ViewTest, LinkTurnsHotOnlyStrictlyInsideItsRectangle)
{
    const RECT rect = kilnor::win32::linkRect(window, IDC_WEB_LINK);
    ASSERT_LT(rect.left + 2, rect.right);
    auto move = [&](LONG aX, LONG aY) { SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(aX, aY)); };
    move(rect.left + 1, rect.top + 1);
    EXPECT_TRUE(dialog.linkHot());
    move(rect.left, rect.top + 1);  // on the border
    EXPECT_FALSE(dialog.linkHot());
    move(rect.right - 1, rect.bottom - 1);
    EXPECT_TRUE(dialog.linkHot());
    move(rect.right + 5, rect.bottom + 5);
    EXPECT_FALSE(dialog.linkHot());
}

TEST_F(Win32ViewTest, CancelClosesTheDialog)
{
    click(IDCANCEL);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, dialog.window());
    EXPECT_TRUE(chip.calls.empty());
}

TEST(Win32Text, Utf8RoundTripsAndPathsGoToTheAnsiCodePage)
{
    EXPECT_EQ("烧录中...", narrow(widen("烧录中...")));
    EXPECT_EQ(L"\x70e7\x5f55", widen("烧录"));
    EXPECT_EQ("C:\\dumps\\1.dump", kilnor::win32::toAnsiCodePage("C:\\dumps\\1.dump"));
    EXPECT_EQ("", narrow(L""));
}

}  // namespace
