// The behaviour of the Kilnor dialog without any user-interface toolkit:
// start-up, every button, the address that counts up from one device to the
// next, its range checks and its ledger. The view reports clicks here and
// shows what it is told; every view (Qt, Win32) shares this logic.
#ifndef KILNOR_CONTROLLER_H
#define KILNOR_CONTROLLER_H

#include "address_ledger.h"
#include "config_bin.h"
#include "kilnor_chip.h"
#include "kilnor_view.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kilnor {

// Attempts of one address write before it counts as failed.
constexpr int kAddressWriteAttempts = 5;

// Highest lap the 24-bit address store can hold.
constexpr std::uint32_t kMaxLap = 0xFFFFFFu;

class KilnorController {
public:
    // aClock gives the ledger's time stamps (the system clock by default).
    KilnorController(KilnorView &aView, KilnorChip &aChip, AddressLedger::Clock aClock = nullptr);

    // Dialog initialisation: default choices, "config.bin" from aConfigPath
    // and the ledger beside it, the address fields and the first status
    // text. With an accepted "config.bin" the LAP shown is the first one
    // after the highest address of its range that the ledger holds.
    void start(const std::string &aConfigPath = kConfigBinName);

    void incrementClicked();
    void chooseFileClicked();
    void programFileClicked();
    void writeHeaderClicked();
    void fillClicked();
    void readOutClicked();
    void writeAddressClicked();

    std::uint32_t nap() const { return nap_; }
    std::uint32_t uap() const { return uap_; }
    std::uint32_t lap() const { return lap_; }
    std::uint32_t lapEnd() const { return lapEnd_; }
    // True when "config.bin" was accepted: only its NAP and UAP and the
    // LAPs from its first one up to, not including, lapEnd are written.
    bool rangeAccepted() const { return range_.has_value(); }
    const AddressLedger &ledger() const { return ledger_; }
    bool incrementAddress() const { return incrementAddress_; }
    const std::string &statusText() const { return statusText_; }

private:
    void showStatus(const char *aText);
    // Plessa interface code of the checked radio button.
    int interfaceCode() const;
    // Opens the adapter, runs one EEPROM operation and closes it again.
    // With aDisable the starting button is disabled while it runs.
    template <typename Operation>
    void runEepromOperation(const char *aRunning, const char *aDone, const char *aFailed, Button aButton,
                            bool aDisable, Operation aOperation);
    void programFile();
    void readOut();
    void writeAddress();
    // The status text that refuses the parsed address before any library
    // call, or null when it may be written.
    const char *addressRefusal() const;

    KilnorView &view_;
    KilnorChip &chip_;
    std::uint32_t nap_ = 0;
    std::uint32_t uap_ = 0;
    std::uint32_t lap_ = 0;
    std::uint32_t lapEnd_ = 0;
    std::optional<AddressRange> range_;
    AddressLedger::Clock clock_;
    AddressLedger ledger_;
    bool incrementAddress_ = true;
    std::string statusText_;
};

} // namespace kilnor

#endif
