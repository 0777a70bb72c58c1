// What the controller needs of the dialog window. The Qt dialog implements
// it; tests implement it with a recording fake.
#ifndef KILNOR_VIEW_H
#define KILNOR_VIEW_H

#include <optional>
#include <string>

namespace kilnor {

// The checked interface radio button.
enum class Port { None, Lpt, Usb };

// The push buttons that start an operation.
enum class Button { WriteHeader, Fill, ReadOut, WriteAddress, ChooseFile, ProgramFile };

class KilnorView {
public:
    virtual ~KilnorView() = default;

    // Controls read at the moment an operation starts.
    virtual Port port() const = 0;
    virtual bool incrementChecked() const = 0;
    virtual std::string napText() const = 0;
    virtual std::string uapText() const = 0;
    virtual std::string lapText() const = 0;
    virtual std::string filePathText() const = 0;

    // Control changes. Texts are UTF-8.
    virtual void setPort(Port aPort) = 0;
    virtual void setIncrementChecked(bool aChecked) = 0;
    virtual void setAddressTexts(const std::string &aNap, const std::string &aUap, const std::string &aLap) = 0;
    virtual void setLapText(const std::string &aLap) = 0;
    virtual void setAddressFieldsEnabled(bool aEnabled) = 0;
    virtual void setFilePathText(const std::string &aPath) = 0;
    virtual void setButtonEnabled(Button aButton, bool aEnabled) = 0;
    // Gives the keyboard focus to the button, so that the next Enter or
    // Space starts its operation again.
    virtual void focusButton(Button aButton) = 0;
    // Shows a new status text; it must be visible before a long operation.
    virtual void setStatus(const std::string &aText) = 0;

    // Modal prompts. The file dialogs give the chosen full path, or nothing
    // when the operator cancels.
    virtual std::optional<std::string> askOpenDumpFile() = 0;
    virtual std::optional<std::string> askSaveDumpFile() = 0;
    virtual void showMessage(const std::string &aText) = 0;
};

} // namespace kilnor

#endif
