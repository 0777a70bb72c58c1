// Recording stand-ins for the dialog window and the outside libraries, so
// that the controller runs without a toolkit or an adapter.
#ifndef KILNOR_TEST_FAKES_H
#define KILNOR_TEST_FAKES_H

#include "kilnor_chip.h"
#include "kilnor_view.h"

#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

struct FakeView : kilnor::KilnorView {
    kilnor::Port portChoice = kilnor::Port::None;
    bool increment = false;
    std::string nap, uap, lap, filePath;
    bool addressFieldsEnabled = true, programFileEnabled = true, readOutEnabled = true, writeAddressEnabled = true;
    // Header and fill never change their buttons.
    bool otherButtonChanged = false;
    std::vector<kilnor::Button> focused;
    std::vector<std::string> statuses, messages;
    std::optional<std::string> openAnswer, saveAnswer;
    int saveAsked = 0;

    kilnor::Port port() const override { return portChoice; }
    bool incrementChecked() const override { return increment; }
    std::string napText() const override { return nap; }
    std::string uapText() const override { return uap; }
    std::string lapText() const override { return lap; }
    std::string filePathText() const override { return filePath; }
    void setPort(kilnor::Port aPort) override { portChoice = aPort; }
    void setIncrementChecked(bool aChecked) override { increment = aChecked; }
    void setAddressTexts(const std::string &aNap, const std::string &aUap, const std::string &aLap) override
    {
        nap = aNap, uap = aUap, lap = aLap;
    }
    void setLapText(const std::string &aLap) override { lap = aLap; }
    void setAddressFieldsEnabled(bool aEnabled) override { addressFieldsEnabled = aEnabled; }
    void setFilePathText(const std::string &aPath) override { filePath = aPath; }
    void setButtonEnabled(kilnor::Button aButton, bool aEnabled) override
    {
        if (aButton == kilnor::Button::ProgramFile)
            programFileEnabled = aEnabled;
        else if (aButton == kilnor::Button::ReadOut)
            readOutEnabled = aEnabled;
        else if (aButton == kilnor::Button::WriteAddress)
            writeAddressEnabled = aEnabled;
        else
            otherButtonChanged = true;
    }
    void focusButton(kilnor::Button aButton) override { focused.push_back(aButton); }
    void setStatus(const std::string &aText) override { statuses.push_back(aText); }
    std::optional<std::string> askOpenDumpFile() override { return openAnswer; }
    std::optional<std::string> askSaveDumpFile() override { return ++saveAsked, saveAnswer; }
    void showMessage(const std::string &aText) override { messages.push_back(aText); }
    const std::string &status() const { return statuses.back(); }
};

// Every call is written to `calls` as "name(args)" (address parts in
// hexadecimal); results come from the fields, and psWriteBdAddr answers
// from a queue, then from writeResult.
struct FakeChip : kilnor::KilnorChip {
    explicit FakeChip(const FakeView *aView = nullptr) : view(aView) {}

    const FakeView *view;
    std::vector<std::string> calls;
    std::int32_t openResult = 0, operationResult = 0;
    std::uintptr_t handle = 42;
    std::deque<std::int32_t> writeResults;
    std::int32_t writeResult = 1;
    // The state of the starting button while the library worked.
    std::vector<bool> buttonEnabledDuringCall;
    // Runs inside every psWriteBdAddr, before it answers.
    std::function<void()> duringWrite;
    // What plsDump writes to the file it is given (nothing when empty).
    std::string dumpBytes;

    template <typename... Args>
    void record(const char *aName, bool aHex, Args... aArgs)
    {
        std::ostringstream text;
        text << std::uppercase;
        ((text << ',' << aArgs, text << (aHex ? std::hex : std::dec)), ...);
        const std::string args = text.str();
        calls.push_back(std::string(aName) + "(" + (args.empty() ? args : args.substr(1)) + ")");
    }
    std::int32_t plsOpen(std::int32_t aInterface, std::int32_t aPort, std::int32_t aSpeed) override
    {
        record("plsOpen", false, aInterface, aPort, aSpeed);
        return openResult;
    }
    std::int32_t plsWriteCkHeader() override { return record("plsWriteCkHeader", false), operationResult; }
    std::int32_t plsFill(std::int32_t aValue, std::int32_t aVerify) override
    {
        record("plsFill", false, aValue, aVerify);
        return operationResult;
    }
    std::int32_t plsDump(const std::string &aPath, std::int32_t aVerify) override
    {
        record("plsDump", false, aPath, aVerify);
        if (view)
            buttonEnabledDuringCall.push_back(view->readOutEnabled);
        if (!dumpBytes.empty())
            std::ofstream(aPath, std::ios::binary | std::ios::trunc) << dumpBytes;
        return operationResult;
    }
    std::int32_t plsProgram(const std::string &aPath, std::int32_t aVerify) override
    {
        record("plsProgram", false, aPath, aVerify);
        if (view)
            buttonEnabledDuringCall.push_back(view->programFileEnabled);
        return operationResult;
    }
    void plsClose() override { record("plsClose", false); }
    std::uintptr_t openVortaneSpi(std::int32_t aPort, std::int32_t aClock, std::int32_t aTransport) override
    {
        record("openVortaneSpi", false, aPort, aClock, aTransport);
        return handle;
    }
    std::int32_t psWriteBdAddr(std::uintptr_t aHandle, std::int32_t aLap, std::int32_t aUap,
                               std::int32_t aNap) override
    {
        record("psWriteBdAddr", true, aHandle, static_cast<std::uint32_t>(aLap), static_cast<std::uint32_t>(aUap),
               static_cast<std::uint32_t>(aNap));
        if (view)
            buttonEnabledDuringCall.push_back(view->writeAddressEnabled);
        if (duringWrite)
            duringWrite();
        if (writeResults.empty())
            return writeResult;
        const std::int32_t result = writeResults.front();
        writeResults.pop_front();
        return result;
    }
    void closeVortane(std::uintptr_t aHandle) override { record("closeVortane", false, aHandle); }
};

#endif
