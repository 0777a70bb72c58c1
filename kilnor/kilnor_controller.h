// The behaviour of the Kilnor dialog without any user-interface toolkit:
// start-up, every button, and the address that counts up from one device
// to the next. The view reports clicks here and shows what it is told.
#ifndef KILNOR_CONTROLLER_H
#define KILNOR_CONTROLLER_H

#include "config_bin.h"
#include "kilnor_chip.h"
#include "kilnor_view.h"

#include <cstdint>
#include <string>

namespace kilnor {

// Attempts of one address write before it counts as failed.
constexpr int kAddressWriteAttempts = 5;

// Highest lap the 24-bit address store can hold.
constexpr std::uint32_t kMaxLap = 0xFFFFFFu;

class KilnorController {
public:
    KilnorController(KilnorView &aView, KilnorChip &aChip);

    // Dialog initialisation: default choices, "config.bin" from aConfigPath,
    // the address fields and the first status text.
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
    // True when "config.bin" was accepted and lapEnd bounds the address.
    bool rangeAccepted() const { return rangeAccepted_; }
    bool incrementAddress() const { return incrementAddress_; }
    const std::string &statusText() const { return statusText_; }

private:
    void showStatus(const char *aText);
    // Plessa interface code of the checked radio button.
    int interfaceCode() const;
    // Opens the adapter, runs one EEPROM operation and closes it again. The
    // button given by aEnableButton (if any) is disabled while it runs.
    template <typename Operation>
    void runEepromOperation(const char *aRunning, const char *aDone, const char *aFailed,
                            void (KilnorView::*aEnableButton)(bool), Operation aOperation);
    // Whether the parsed address fits the chip's store and the range from
    // "config.bin".
    bool addressWritable() const;

    KilnorView &view_;
    KilnorChip &chip_;
    std::uint32_t nap_ = 0;
    std::uint32_t uap_ = 0;
    std::uint32_t lap_ = 0;
    std::uint32_t lapEnd_ = 0;
    bool rangeAccepted_ = false;
    bool incrementAddress_ = true;
    std::string statusText_;
};

} // namespace kilnor

#endif
