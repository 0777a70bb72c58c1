#include "kilnor_controller.h"

#include "hex_text.h"
#include "kilnor_texts.h"

namespace kilnor {

namespace {

constexpr int kInterfaceLpt = 1;
constexpr int kInterfaceUsb = 2;
// plsOpen: first adapter found, default clock.
constexpr int kAnyPort = -1;
constexpr int kDefaultSpeed = -1;
constexpr int kFillValue = 255;
constexpr int kVerify = 1;

struct VortaneArgs {
    std::int32_t port;
    std::int32_t clock;
    std::int32_t transport;
};
constexpr VortaneArgs kVortaneLpt = {1, 0, 1};
constexpr VortaneArgs kVortaneUsb = {-1, 0, 2};

} // namespace

KilnorController::KilnorController(KilnorView &aView, KilnorChip &aChip) : view_(aView), chip_(aChip)
{
}

void KilnorController::start(const std::string &aConfigPath)
{
    view_.setPort(Port::Usb);
    view_.setIncrementChecked(true);
    incrementAddress_ = true;
    view_.setAddressFieldsEnabled(false);
    view_.setProgramFileEnabled(false);

    if (const auto range = readConfigBin(aConfigPath)) {
        nap_ = range->nap;
        uap_ = range->uap;
        lap_ = range->lap;
        lapEnd_ = range->lapEnd;
        rangeAccepted_ = true;
    }
    view_.setAddressTexts(formatHex(nap_, 4), formatHex(uap_, 2), formatHex(lap_, 6));
    showStatus(text::kInsertDevice);
}

void KilnorController::incrementClicked()
{
    incrementAddress_ = view_.incrementChecked();
    view_.setAddressFieldsEnabled(!incrementAddress_);
}

void KilnorController::chooseFileClicked()
{
    const auto path = view_.askOpenDumpFile();
    if (!path)
        return;
    view_.setFilePathText(*path);
    view_.setProgramFileEnabled(true);
}

void KilnorController::programFileClicked()
{
    const std::string filePath = view_.filePathText();
    if (filePath.empty()) {
        showStatus(text::kChooseFileFirst);
        return;
    }
    runEepromOperation(text::kWriting, text::kProgramDone, text::kWriteFailed, &KilnorView::setProgramFileEnabled,
                       [&] { return chip_.plsProgram(filePath, kVerify); });
}

template <typename Operation>
void KilnorController::runEepromOperation(const char *aRunning, const char *aDone, const char *aFailed,
                                          void (KilnorView::*aEnableButton)(bool), Operation aOperation)
{
    if (chip_.plsOpen(interfaceCode(), kAnyPort, kDefaultSpeed) != 0) {
        showStatus(text::kSpiFailed);
        return;
    }
    if (aEnableButton != nullptr)
        (view_.*aEnableButton)(false);
    showStatus(aRunning);
    showStatus(aOperation() == 0 ? aDone : aFailed);
    chip_.plsClose();
    if (aEnableButton != nullptr)
        (view_.*aEnableButton)(true);
}

void KilnorController::writeHeaderClicked()
{
    runEepromOperation(text::kHeaderRunning, text::kHeaderDone, text::kHeaderFailed, nullptr,
                       [this] { return chip_.plsWriteCkHeader(); });
}

void KilnorController::fillClicked()
{
    runEepromOperation(text::kFillRunning, text::kFillDone, text::kFillFailed, nullptr,
                       [this] { return chip_.plsFill(kFillValue, kVerify); });
}

void KilnorController::readOutClicked()
{
    const auto path = view_.askSaveDumpFile();
    if (!path)
        return;
    runEepromOperation(text::kReadRunning, text::kReadDone, text::kReadFailed, &KilnorView::setReadOutEnabled,
                       [&] { return chip_.plsDump(*path, kVerify); });
}

void KilnorController::writeAddressClicked()
{
    nap_ = parseHexField(view_.napText());
    uap_ = parseHexField(view_.uapText());
    lap_ = parseHexField(view_.lapText());
    showStatus(text::kWriting);

    VortaneArgs args{};
    switch (view_.port()) {
    case Port::Lpt:
        args = kVortaneLpt;
        break;
    case Port::Usb:
        args = kVortaneUsb;
        break;
    case Port::None:
        view_.showMessage(text::kPortError);
        return;
    }

    // Never write an address the chip cannot hold or one past the range
    // allocated in "config.bin": a duplicate or truncated address on a
    // shipped device is worse than a refused write.
    if (!addressWritable()) {
        showStatus(text::kWriteFailed);
        return;
    }

    const std::uintptr_t handle = chip_.openVortaneSpi(args.port, args.clock, args.transport);
    view_.setWriteAddressEnabled(false);
    if (handle == 0) {
        showStatus(text::kSpiFailed);
        view_.setWriteAddressEnabled(true);
        return;
    }

    bool written = false;
    for (int attempt = 0; attempt < kAddressWriteAttempts && !written; ++attempt)
        written = chip_.psWriteBdAddr(handle, static_cast<std::int32_t>(lap_), static_cast<std::int32_t>(uap_),
                                      static_cast<std::int32_t>(nap_)) == 1;

    if (written) {
        incrementAddress_ = view_.incrementChecked();
        // No carry into uap or nap: the next device continues the lap
        // range; the write guard stops at the end of the range.
        if (incrementAddress_)
            ++lap_;
        // The field shows the written or next lap in its usual form.
        view_.setLapText(formatHex(lap_, 6));
        showStatus(text::kWriteSucceeded);
    } else {
        showStatus(text::kWriteFailed);
    }
    chip_.closeVortane(handle);
    view_.setWriteAddressEnabled(true);
}

bool KilnorController::addressWritable() const
{
    if (lap_ > kMaxLap || uap_ > 0xFFu || nap_ > 0xFFFFu)
        return false;
    return !(rangeAccepted_ && lap_ > lapEnd_);
}

void KilnorController::showStatus(const char *aText)
{
    statusText_ = aText;
    view_.setStatus(statusText_);
}

int KilnorController::interfaceCode() const
{
    return view_.port() == Port::Lpt ? kInterfaceLpt : kInterfaceUsb;
}

} // namespace kilnor
