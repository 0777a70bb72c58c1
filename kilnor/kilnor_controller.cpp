#include "kilnor_controller.h"

#include "hex_text.h"
#include "kilnor_texts.h"
#include "safe_file.h"

#include <utility>

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
// Result of a read-out whose file could not be made or put in place.
constexpr std::int32_t kDumpFileFailed = -1;

// The refusal of a file to write that is not a regular file, or null.
const char *targetRefusal(PathKind aKind)
{
    if (aKind == PathKind::Link)
        return text::kTargetIsLink;
    if (aKind == PathKind::Other)
        return text::kTargetNotAFile;
    return nullptr;
}

} // namespace

KilnorController::KilnorController(KilnorView &aView, KilnorChip &aChip, AddressLedger::Clock aClock)
    : view_(aView), chip_(aChip), clock_(std::move(aClock)), ledger_(kLedgerName, clock_)
{
}

void KilnorController::start(const std::string &aConfigPath)
{
    view_.setPort(Port::Usb);
    view_.setIncrementChecked(true);
    incrementAddress_ = true;
    view_.setAddressFieldsEnabled(false);
    view_.setButtonEnabled(Button::ProgramFile, false);

    range_ = readConfigBin(aConfigPath);
    ledger_ = AddressLedger(ledgerPathBeside(aConfigPath), clock_);
    ledger_.load();
    if (range_) {
        nap_ = range_->nap;
        uap_ = range_->uap;
        lap_ = range_->lap;
        lapEnd_ = range_->lapEnd;
        // Whatever state the ledger gives an address of this range (a write
        // cut short by a crash included), counting goes on after the highest.
        if (const auto highest = ledger_.highestLap(nap_, uap_, range_->lap, lapEnd_))
            lap_ = *highest + 1;
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
    if (const auto path = view_.askOpenDumpFile()) {
        view_.setFilePathText(*path);
        view_.setButtonEnabled(Button::ProgramFile, true);
    }
    view_.focusButton(Button::ChooseFile);
}

void KilnorController::programFileClicked()
{
    programFile();
    view_.focusButton(Button::ProgramFile);
}

void KilnorController::programFile()
{
    const std::string filePath = view_.filePathText();
    if (filePath.empty()) {
        showStatus(text::kChooseFileFirst);
        return;
    }
    runEepromOperation(text::kWriting, text::kProgramDone, text::kWriteFailed, Button::ProgramFile, true,
                       [&] { return chip_.plsProgram(filePath, kVerify); });
}

template <typename Operation>
void KilnorController::runEepromOperation(const char *aRunning, const char *aDone, const char *aFailed,
                                          Button aButton, bool aDisable, Operation aOperation)
{
    if (chip_.plsOpen(interfaceCode(), kAnyPort, kDefaultSpeed) != 0) {
        showStatus(text::kSpiFailed);
        return;
    }
    if (aDisable)
        view_.setButtonEnabled(aButton, false);
    showStatus(aRunning);
    showStatus(aOperation() == 0 ? aDone : aFailed);
    chip_.plsClose();
    if (aDisable)
        view_.setButtonEnabled(aButton, true);
}

void KilnorController::writeHeaderClicked()
{
    runEepromOperation(text::kHeaderRunning, text::kHeaderDone, text::kHeaderFailed, Button::WriteHeader, false,
                       [this] { return chip_.plsWriteCkHeader(); });
    view_.focusButton(Button::WriteHeader);
}

void KilnorController::fillClicked()
{
    runEepromOperation(text::kFillRunning, text::kFillDone, text::kFillFailed, Button::Fill, false,
                       [this] { return chip_.plsFill(kFillValue, kVerify); });
    view_.focusButton(Button::Fill);
}

void KilnorController::readOutClicked()
{
    readOut();
    view_.focusButton(Button::ReadOut);
}

void KilnorController::readOut()
{
    const auto path = view_.askSaveDumpFile();
    if (!path)
        return;
    // A link (or FIFO, folder) where the dump should go is refused before
    // any library call: the dump is never written through it.
    if (const char *refusal = targetRefusal(pathKind(*path))) {
        showStatus(refusal);
        return;
    }
    // The library writes the dump to a new file under a name no one can
    // predict, which replaces the chosen file only when the dump is whole.
    const char *lateRefusal = nullptr;
    runEepromOperation(text::kReadRunning, text::kReadDone, text::kReadFailed, Button::ReadOut, true,
                       [&]() -> std::int32_t {
                           const std::string temporary = createTemporaryBeside(*path);
                           if (temporary.empty())
                               return kDumpFileFailed;
                           const std::int32_t result = chip_.plsDump(temporary, kVerify);
                           if (result != 0) {
                               removeFile(temporary);
                               return result;
                           }
                           PathKind targetKind = PathKind::Missing;
                           if (!replaceWithTemporary(temporary, *path, targetKind)) {
                               lateRefusal = targetRefusal(targetKind);
                               return kDumpFileFailed;
                           }
                           return 0;
                       });
    if (lateRefusal != nullptr)
        showStatus(lateRefusal);
}

void KilnorController::writeAddressClicked()
{
    writeAddress();
    view_.focusButton(Button::WriteAddress);
}

void KilnorController::writeAddress()
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

    if (const char *refusal = addressRefusal()) {
        showStatus(refusal);
        return;
    }

    const std::uintptr_t handle = chip_.openVortaneSpi(args.port, args.clock, args.transport);
    view_.setButtonEnabled(Button::WriteAddress, false);
    if (handle == 0) {
        showStatus(text::kSpiFailed);
        view_.setButtonEnabled(Button::WriteAddress, true);
        return;
    }

    // The reservation is on disk before the first library call, so that
    // after a crash at any later moment the address counts as used.
    const BdAddress address{nap_, uap_, lap_};
    if (!ledger_.record(address, LedgerState::Reserved)) {
        showStatus(ledger_.refusedLink() ? text::kLedgerIsLink : text::kLedgerFailed);
        chip_.closeVortane(handle);
        view_.setButtonEnabled(Button::WriteAddress, true);
        return;
    }

    bool written = false;
    for (int attempt = 0; attempt < kAddressWriteAttempts && !written; ++attempt)
        written = chip_.psWriteBdAddr(handle, static_cast<std::int32_t>(lap_), static_cast<std::int32_t>(uap_),
                                      static_cast<std::int32_t>(nap_)) == 1;
    // An outcome that cannot be recorded leaves the line "reserved", which
    // keeps the address from being written again.
    ledger_.record(address, written ? LedgerState::Written : LedgerState::Failed);

    if (written) {
        incrementAddress_ = view_.incrementChecked();
        // No carry into uap or nap: the next device continues the lap range.
        if (incrementAddress_)
            ++lap_;
        view_.setAddressTexts(formatHex(nap_, 4), formatHex(uap_, 2), formatHex(lap_, 6));
        showStatus(text::kWriteSucceeded);
    } else {
        showStatus(text::kWriteFailed);
    }
    chip_.closeVortane(handle);
    view_.setButtonEnabled(Button::WriteAddress, true);
}

const char *KilnorController::addressRefusal() const
{
    if (range_) {
        // Only the range that config.bin allocated: its NAP and UAP, LAPs
        // from its first one to the one before lapEnd.
        if (nap_ != range_->nap || uap_ != range_->uap || lap_ < range_->lap)
            return text::kAddressOutOfRange;
        if (lap_ >= range_->lapEnd)
            return text::kRangeUsedUp;
    } else if (lap_ > kMaxLap || uap_ > 0xFFu || nap_ > 0xFFFFu) {
        // Without config.bin: never an address the chip cannot hold.
        return text::kWriteFailed;
    }
    if (!ledger_.usable())
        return ledger_.refusedLink() ? text::kLedgerIsLink : text::kLedgerFailed;
    if (ledger_.spent(BdAddress{nap_, uap_, lap_}))
        return text::kAddressAlreadyWritten;
    return nullptr;
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
