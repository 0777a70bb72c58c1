// Test plans: a TOML file naming the firmware, the blank-device image, the
// key database and CS version, the address range, the CS keys to write and
// the steps in order with their parameters and limits. LoadPlan checks all
// of it (files exist, keys exist with the right length and range, limits
// are given, steps come in an order that can work) and reports the first
// problem with its line, so a bad plan never reaches a DUT.
#ifndef NVT_STATION_PLAN_H
#define NVT_STATION_PLAN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

enum class StepType {
    CsRead,
    FirmwareLoad,
    XtalTrim,
    Carrier,
    TxBurst,
    RxCount,
    Pio,
    Aio,
    Led,
    Uart,
    CsWrite,
    ReadBack,
};

const char* StepTypeName(StepType aType);

struct Limit {
    std::string unit;
    std::optional<double> low;
    std::optional<double> high;
};

struct Step {
    StepType type = StepType::CsRead;
    std::string name;  // the plan's name, else the type's
    int line = 0;
    bool csKeys = false;           // firmware_load
    uint32_t value = 0;            // xtal_trim, aio: value to set
    uint32_t channel = 0;          // carrier, tx_burst, rx_count, aio
    uint32_t frequencyMhz = 0;     // carrier
    uint32_t length = 37;          // tx_burst: packet length
    uint32_t payload = 0;          // tx_burst: payload type
    uint32_t packets = 100;        // tx_burst
    uint32_t pollMs = 10;          // tx_burst: time between counter reads
    uint32_t reads = 1;            // rx_count: counter reads; the last counts
    uint32_t mask = 0;             // pio
    uint32_t levels = 0;           // pio
    uint32_t led = 0, mode = 0, ledValue = 0, brightness = 0;  // led
    std::string port;              // uart; "{slot}" is the slot number
    uint32_t baud = 115200;        // uart
    std::optional<Limit> limit;
};

struct PlanKey {
    std::string name;
    std::vector<uint16_t> words;
};

struct Plan {
    std::string path;
    std::string name;
    std::string firmware;     // XBV file
    std::string blankImage;   // golden image for a device that reads blank
    std::string keyDatabase;
    uint32_t nvm = 1;         // NVT_NVM_EEPROM or NVT_NVM_SPI_FLASH
    uint16_t csVersion = 0;
    uint16_t nap = 0;
    uint8_t uap = 0;
    std::vector<PlanKey> keys;
    std::vector<Step> steps;
};

// Reads and checks a plan. Paths in the plan are relative to the plan's
// folder; "{bin}" stands for aBinDir, the folder of the station program.
bool LoadPlan(const std::string& aPath, const std::string& aBinDir, Plan& aPlan, std::string& aError);

}  // namespace station

#endif
