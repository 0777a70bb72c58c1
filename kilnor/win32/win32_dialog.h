// The main dialog of Kilnor as a native Win32 dialog: the dialog resource
// IDD_KILNOR and its procedure, a thin view over KilnorController.
#ifndef KILNOR_WIN32_DIALOG_H
#define KILNOR_WIN32_DIALOG_H

#include "config_bin.h"
#include "kilnor_controller.h"
#include "kilnor_view.h"

#include <windows.h>

#include <optional>
#include <string>

namespace kilnor::win32 {

// A blue or black link text whose rectangle reacts to the pointer; the
// main dialog and the About box each keep one.
struct WebLink {
    int controlId = 0;
    RECT rect = {};      // in the dialog's client coordinates
    bool hot = false;    // the pointer is strictly inside the rectangle
};

class KilnorDialog : public KilnorView {
public:
    KilnorDialog(KilnorChip &aChip, std::string aConfigPath = kConfigBinName);
    ~KilnorDialog() override;
    KilnorDialog(const KilnorDialog &) = delete;
    KilnorDialog &operator=(const KilnorDialog &) = delete;

    // Shows the dialog modally and returns when it is closed.
    INT_PTR runModal(HINSTANCE aInstance, HWND aOwner = nullptr);
    // Creates the dialog without a message loop of its own (for tests).
    HWND createModeless(HINSTANCE aInstance, HWND aOwner = nullptr);

    HWND window() const { return window_; }
    const KilnorController &controller() const { return controller_; }
    HFONT statusFont() const { return statusFont_; }
    bool linkHot() const { return link_.hot; }

    Port port() const override;
    bool incrementChecked() const override;
    std::string napText() const override;
    std::string uapText() const override;
    std::string lapText() const override;
    std::string filePathText() const override;
    void setPort(Port aPort) override;
    void setIncrementChecked(bool aChecked) override;
    void setAddressTexts(const std::string &aNap, const std::string &aUap, const std::string &aLap) override;
    void setLapText(const std::string &aLap) override;
    void setAddressFieldsEnabled(bool aEnabled) override;
    void setFilePathText(const std::string &aPath) override;
    void setButtonEnabled(Button aButton, bool aEnabled) override;
    void focusButton(Button aButton) override;
    void setStatus(const std::string &aText) override;
    std::optional<std::string> askOpenDumpFile() override;
    std::optional<std::string> askSaveDumpFile() override;
    void showMessage(const std::string &aText) override;

private:
    static INT_PTR CALLBACK dialogProc(HWND aWindow, UINT aMessage, WPARAM aWParam, LPARAM aLParam);
    INT_PTR handle(UINT aMessage, WPARAM aWParam, LPARAM aLParam);
    void initialise();
    void command(int aId);
    void showAbout();
    std::string itemText(int aId) const;
    void setItemText(int aId, const std::string &aText);
    void enableItem(int aId, bool aEnabled);

    KilnorController controller_;
    std::string configPath_;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    bool modal_ = false;
    HFONT statusFont_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    WebLink link_;
};

// Shared by both dialogs: tracks the pointer over a link, colours it and
// opens its address on a click. Each returns true when it handled the message.
bool trackLink(HWND aDialog, WebLink &aLink, LPARAM aPoint);
bool clickLink(HWND aDialog, const WebLink &aLink, LPARAM aPoint);
bool colourLink(HWND aDialog, const WebLink &aLink, WPARAM aDc, LPARAM aControl, INT_PTR &aBrush);
// The link's rectangle in the dialog's client coordinates.
RECT linkRect(HWND aDialog, int aControlId);

} // namespace kilnor::win32

#endif
