// Test plans: a TOML file naming the firmware, the blank-device image, the
// key database and CS version, the address range, the CS keys to write and
// the steps in order with their parameters and limits. LoadPlan checks all
// of it (files exist, keys exist with the right length and range, every
// step's parameters and limit against its type's row in steps.cpp, steps
// come in an order that can work) and reports the first problem with its
// line, so a bad plan never reaches a DUT.
#ifndef NVT_STATION_PLAN_H
#define NVT_STATION_PLAN_H

#include "keydb.h"
#include "steps.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct PlanKey {
    std::string name;
    uint32_t offset = 0;  // in the CS data, from the key database
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
    uint32_t addressOffset = 0;  // BLUETOOTH_ADDRESS in the CS data
    std::optional<KeyInfo> trimKey;  // CRYSTAL_TRIM of the CS version, when it has one
    std::vector<PlanKey> keys;
    std::vector<Step> steps;
};

// Where the uart step of slot aSlot loops its data: the plan's port with
// "{slot}" and "{bin}" filled in.
std::string UartPort(const Step& aStep, int aSlot, const std::string& aBinDir);

// Reads and checks a plan. Paths in the plan are relative to the plan's
// folder; "{bin}" stands for aBinDir, the folder of the station program.
bool LoadPlan(const std::string& aPath, const std::string& aBinDir, Plan& aPlan, std::string& aError);

}  // namespace station

#endif
