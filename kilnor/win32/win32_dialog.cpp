#include "win32_dialog.h"

#include "resource.h"
#include "win32_icon.h"
#include "win32_text.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace kilnor::win32 {

namespace {

const wchar_t kStatusFamily[] = L"Times new roman";
constexpr int kStatusPixelHeight = 30;
constexpr int kStatusWeight = 300;
constexpr COLORREF kLinkHot = RGB(0, 0, 255);
constexpr COLORREF kLinkCold = RGB(0, 0, 0);
// One entry "*.dump" and the terminating empty pair.
const wchar_t kDumpFilter[] = L"*.dump\0*.dump\0";
constexpr DWORD kPathCapacity = 32768;

bool strictlyInside(const RECT &aRect, POINT aPoint)
{
    return aPoint.x > aRect.left && aPoint.x < aRect.right && aPoint.y > aRect.top && aPoint.y < aRect.bottom;
}

POINT pointOf(LPARAM aPoint)
{
    POINT p;
    p.x = static_cast<short>(LOWORD(aPoint));
    p.y = static_cast<short>(HIWORD(aPoint));
    return p;
}

std::wstring windowText(HWND aWindow)
{
    const int length = GetWindowTextLengthW(aWindow);
    if (length <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(aWindow, &text[0], length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

// The About box: icon, version, notice, chips and the link; its link
// rectangle is taken anew at every pointer movement.
struct AboutBox {
    HICON icon = nullptr;
    WebLink link;
};

INT_PTR CALLBACK aboutProc(HWND aWindow, UINT aMessage, WPARAM aWParam, LPARAM aLParam)
{
    auto *about = reinterpret_cast<AboutBox *>(GetWindowLongPtrW(aWindow, DWLP_USER));
    switch (aMessage) {
    case WM_INITDIALOG:
        about = reinterpret_cast<AboutBox *>(aLParam);
        SetWindowLongPtrW(aWindow, DWLP_USER, aLParam);
        SendDlgItemMessageW(aWindow, IDC_ABOUT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(about->icon), 0);
        about->link.controlId = IDC_ABOUT_LINK;
        about->link.rect = linkRect(aWindow, IDC_ABOUT_LINK);
        return TRUE;
    case WM_MOUSEMOVE:
        if (about != nullptr) {
            about->link.rect = linkRect(aWindow, IDC_ABOUT_LINK);
            trackLink(aWindow, about->link, aLParam);
        }
        return TRUE;
    case WM_LBUTTONDOWN:
        if (about != nullptr)
            clickLink(aWindow, about->link, aLParam);
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        INT_PTR brush = 0;
        if (about != nullptr && colourLink(aWindow, about->link, aWParam, aLParam, brush))
            return brush;
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(aWParam) == IDOK || LOWORD(aWParam) == IDCANCEL) {
            EndDialog(aWindow, LOWORD(aWParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

RECT linkRect(HWND aDialog, int aControlId)
{
    RECT rect = {};
    HWND control = GetDlgItem(aDialog, aControlId);
    if (control == nullptr)
        return rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, aDialog, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

bool trackLink(HWND aDialog, WebLink &aLink, LPARAM aPoint)
{
    const bool hot = strictlyInside(aLink.rect, pointOf(aPoint));
    if (hot == aLink.hot)
        return false;
    aLink.hot = hot;
    InvalidateRect(GetDlgItem(aDialog, aLink.controlId), nullptr, TRUE);
    return true;
}

bool clickLink(HWND aDialog, const WebLink &aLink, LPARAM aPoint)
{
    if (!strictlyInside(aLink.rect, pointOf(aPoint)))
        return false;
    const std::wstring address = windowText(GetDlgItem(aDialog, aLink.controlId));
    ShellExecuteW(aDialog, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return true;
}

bool colourLink(HWND aDialog, const WebLink &aLink, WPARAM aDc, LPARAM aControl, INT_PTR &aBrush)
{
    if (reinterpret_cast<HWND>(aControl) != GetDlgItem(aDialog, aLink.controlId))
        return false;
    HDC dc = reinterpret_cast<HDC>(aDc);
    SetTextColor(dc, aLink.hot ? kLinkHot : kLinkCold);
    SetBkMode(dc, TRANSPARENT);
    aBrush = reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    return true;
}

KilnorDialog::KilnorDialog(KilnorChip &aChip, std::string aConfigPath)
    : controller_(*this, aChip), configPath_(std::move(aConfigPath))
{
    link_.controlId = IDC_WEB_LINK;
}

KilnorDialog::~KilnorDialog()
{
    if (window_ != nullptr)
        DestroyWindow(window_);
    if (statusFont_ != nullptr)
        DeleteObject(statusFont_);
    if (bigIcon_ != nullptr)
        DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr)
        DestroyIcon(smallIcon_);
}

INT_PTR KilnorDialog::runModal(HINSTANCE aInstance, HWND aOwner)
{
    instance_ = aInstance;
    modal_ = true;
    const INT_PTR result = DialogBoxParamW(aInstance, MAKEINTRESOURCEW(IDD_KILNOR), aOwner, &KilnorDialog::dialogProc,
                                           reinterpret_cast<LPARAM>(this));
    window_ = nullptr;
    return result;
}

HWND KilnorDialog::createModeless(HINSTANCE aInstance, HWND aOwner)
{
    instance_ = aInstance;
    modal_ = false;
    return CreateDialogParamW(aInstance, MAKEINTRESOURCEW(IDD_KILNOR), aOwner, &KilnorDialog::dialogProc,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK KilnorDialog::dialogProc(HWND aWindow, UINT aMessage, WPARAM aWParam, LPARAM aLParam)
{
    if (aMessage == WM_INITDIALOG) {
        auto *dialog = reinterpret_cast<KilnorDialog *>(aLParam);
        SetWindowLongPtrW(aWindow, DWLP_USER, aLParam);
        dialog->window_ = aWindow;
    }
    auto *dialog = reinterpret_cast<KilnorDialog *>(GetWindowLongPtrW(aWindow, DWLP_USER));
    if (dialog == nullptr)
        return FALSE;
    return dialog->handle(aMessage, aWParam, aLParam);
}

INT_PTR KilnorDialog::handle(UINT aMessage, WPARAM aWParam, LPARAM aLParam)
{
    switch (aMessage) {
    case WM_INITDIALOG:
        initialise();
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(aWParam) == BN_CLICKED) {
            command(LOWORD(aWParam));
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if ((aWParam & 0xFFF0) == IDM_ABOUTBOX) {
            showAbout();
            return TRUE;
        }
        return FALSE;
    case WM_MOUSEMOVE:
        trackLink(window_, link_, aLParam);
        return TRUE;
    case WM_LBUTTONDOWN:
        clickLink(window_, link_, aLParam);
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        INT_PTR brush = 0;
        if (colourLink(window_, link_, aWParam, aLParam, brush))
            return brush;
        return FALSE;
    }
    case WM_CLOSE:
        command(IDCANCEL);
        return TRUE;
    case WM_NCDESTROY:
        window_ = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

void KilnorDialog::initialise()
{
    // 1. The About item at the end of the system menu.
    if (HMENU menu = GetSystemMenu(window_, FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, widen("关于 Kilnor(&A)...").c_str());
    }
    // 2. Icons; the controller checks "USB" and "地址递增".
    bigIcon_ = createKilnorIcon(GetSystemMetrics(SM_CXICON));
    smallIcon_ = createKilnorIcon(GetSystemMetrics(SM_CXSMICON));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    // 3. The link's rectangle, taken once.
    link_.rect = linkRect(window_, IDC_WEB_LINK);
    // The status text is shown in its own font.
    statusFont_ = CreateFontW(kStatusPixelHeight, 0, 0, 0, kStatusWeight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                              kStatusFamily);
    SendDlgItemMessageW(window_, IDC_STATUS, WM_SETFONT, reinterpret_cast<WPARAM>(statusFont_), FALSE);
    // 4-6. "config.bin", the address fields and the first status.
    controller_.start(configPath_);
}

void KilnorDialog::command(int aId)
{
    switch (aId) {
    case IDC_INCREMENT:
        controller_.incrementClicked();
        break;
    case IDC_CHOOSE_FILE:
        controller_.chooseFileClicked();
        break;
    case IDC_PROGRAM_FILE:
        controller_.programFileClicked();
        break;
    case IDC_WRITE_HEADER:
        controller_.writeHeaderClicked();
        break;
    case IDC_FILL:
        controller_.fillClicked();
        break;
    case IDC_READ_OUT:
        controller_.readOutClicked();
        break;
    case IDC_WRITE_ADDRESS:
        controller_.writeAddressClicked();
        break;
    case IDCANCEL:
        // A modal dialog ends its loop; a modeless one (tests) is destroyed.
        if (modal_)
            EndDialog(window_, IDCANCEL);
        else
            DestroyWindow(window_);
        break;
    default:
        // IDOK (Enter without an enabled default button) does not close.
        break;
    }
}

void KilnorDialog::showAbout()
{
    AboutBox about;
    about.icon = bigIcon_;
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUT), window_, aboutProc, reinterpret_cast<LPARAM>(&about));
}

std::string KilnorDialog::itemText(int aId) const
{
    return narrow(windowText(GetDlgItem(window_, aId)));
}

void KilnorDialog::setItemText(int aId, const std::string &aText)
{
    SetDlgItemTextW(window_, aId, widen(aText).c_str());
}

void KilnorDialog::enableItem(int aId, bool aEnabled)
{
    EnableWindow(GetDlgItem(window_, aId), aEnabled ? TRUE : FALSE);
}

Port KilnorDialog::port() const
{
    if (IsDlgButtonChecked(window_, IDC_LPT) == BST_CHECKED)
        return Port::Lpt;
    if (IsDlgButtonChecked(window_, IDC_USB) == BST_CHECKED)
        return Port::Usb;
    return Port::None;
}

bool KilnorDialog::incrementChecked() const
{
    return IsDlgButtonChecked(window_, IDC_INCREMENT) == BST_CHECKED;
}

std::string KilnorDialog::napText() const
{
    return itemText(IDC_NAP);
}

std::string KilnorDialog::uapText() const
{
    return itemText(IDC_UAP);
}

std::string KilnorDialog::lapText() const
{
    return itemText(IDC_LAP);
}

std::string KilnorDialog::filePathText() const
{
    return itemText(IDC_FILE_PATH);
}

void KilnorDialog::setPort(Port aPort)
{
    CheckDlgButton(window_, IDC_LPT, aPort == Port::Lpt ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window_, IDC_USB, aPort == Port::Usb ? BST_CHECKED : BST_UNCHECKED);
}

void KilnorDialog::setIncrementChecked(bool aChecked)
{
    CheckDlgButton(window_, IDC_INCREMENT, aChecked ? BST_CHECKED : BST_UNCHECKED);
}

void KilnorDialog::setAddressTexts(const std::string &aNap, const std::string &aUap, const std::string &aLap)
{
    setItemText(IDC_NAP, aNap);
    setItemText(IDC_UAP, aUap);
    setItemText(IDC_LAP, aLap);
}

void KilnorDialog::setLapText(const std::string &aLap)
{
    setItemText(IDC_LAP, aLap);
}

void KilnorDialog::setAddressFieldsEnabled(bool aEnabled)
{
    enableItem(IDC_NAP, aEnabled);
    enableItem(IDC_UAP, aEnabled);
    enableItem(IDC_LAP, aEnabled);
}

void KilnorDialog::setFilePathText(const std::string &aPath)
{
    setItemText(IDC_FILE_PATH, aPath);
}

namespace {

int buttonId(Button aButton)
{
    switch (aButton) {
    case Button::WriteHeader:
        return IDC_WRITE_HEADER;
    case Button::Fill:
        return IDC_FILL;
    case Button::ReadOut:
        return IDC_READ_OUT;
    case Button::WriteAddress:
        return IDC_WRITE_ADDRESS;
    case Button::ChooseFile:
        return IDC_CHOOSE_FILE;
    case Button::ProgramFile:
        break;
    }
    return IDC_PROGRAM_FILE;
}

} // namespace

void KilnorDialog::setButtonEnabled(Button aButton, bool aEnabled)
{
    enableItem(buttonId(aButton), aEnabled);
}

void KilnorDialog::focusButton(Button aButton)
{
    // Through the dialog manager, so that the button also becomes the one
    // Enter presses.
    SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, buttonId(aButton))), TRUE);
}

void KilnorDialog::setStatus(const std::string &aText)
{
    setItemText(IDC_STATUS, aText);
    // Operations run on this thread: paint now so that the "...中" texts
    // are seen while the library works.
    UpdateWindow(GetDlgItem(window_, IDC_STATUS));
}

namespace {

// The settings both dump-file dialogs share, over aPath (kPathCapacity
// characters): the owner, the filter and the explorer look.
OPENFILENAMEW dumpFileDialog(HWND aOwner, std::vector<wchar_t> &aPath)
{
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = aOwner;
    ofn.lpstrFilter = kDumpFilter;
    ofn.lpstrFile = aPath.data();
    ofn.nMaxFile = kPathCapacity;
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    return ofn;
}

} // namespace

std::optional<std::string> KilnorDialog::askOpenDumpFile()
{
    std::vector<wchar_t> path(kPathCapacity, L'\0');
    // The file need not exist; no extension is added.
    OPENFILENAMEW ofn = dumpFileDialog(window_, path);
    if (!GetOpenFileNameW(&ofn))
        return std::nullopt;
    return narrow(path.data());
}

std::optional<std::string> KilnorDialog::askSaveDumpFile()
{
    std::vector<wchar_t> path(kPathCapacity, L'\0');
    const wchar_t proposed[] = L"1.dump";
    std::copy(proposed, proposed + sizeof(proposed) / sizeof(proposed[0]), path.begin());
    // An existing file is overwritten without asking.
    OPENFILENAMEW ofn = dumpFileDialog(window_, path);
    ofn.lpstrDefExt = L"dump";
    if (!GetSaveFileNameW(&ofn))
        return std::nullopt;
    return narrow(path.data());
}

void KilnorDialog::showMessage(const std::string &aText)
{
    MessageBoxW(window_, widen(aText).c_str(), L"", MB_OK);
}

} // namespace kilnor::win32
