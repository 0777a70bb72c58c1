#include "keydbgen.h"

#include <cstdio>

namespace keydbgen {

namespace {

std::string Escape(const std::string& aText)
{
    std::string out;
    out.reserve(aText.size());
    for (char c : aText) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

void Attribute(std::string& aOut, const char* aName, const std::string& aValue)
{
    aOut += ' ';
    aOut += aName;
    aOut += "=\"";
    aOut += Escape(aValue);
    aOut += '"';
}

}  // namespace

Key Key::Make(const std::string& aName, uint16_t aId, uint16_t aOffset, uint16_t aLength)
{
    Key key;
    key.name = aName;
    key.id = std::to_string(aId);
    key.offset = std::to_string(aOffset);
    key.length = std::to_string(aLength);
    return key;
}

Key& Key::Range(uint16_t aMin, uint16_t aMax)
{
    min = std::to_string(aMin);
    max = std::to_string(aMax);
    return *this;
}

Key& Key::Defaults(const std::vector<uint16_t>& aWords)
{
    defaults.clear();
    for (uint16_t w : aWords) defaults.push_back(std::to_string(w));
    return *this;
}

Key& Key::Text(const std::string& aLabel, const std::string& aDescription)
{
    label = aLabel;
    description = aDescription;
    return *this;
}

Build& Build::Add(const std::string& aName, uint16_t aId, uint16_t aLength)
{
    // Word 0 of the CS data holds the CS version; keys start at word 1.
    unsigned next = 1;
    if (!keys.empty()) next = static_cast<unsigned>(std::stoul(keys.back().offset) + std::stoul(keys.back().length));
    keys.push_back(Key::Make(aName, aId, static_cast<uint16_t>(next), aLength));
    return *this;
}

std::string ToXml(const Database& aDatabase)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += aDatabase.prologue;
    const std::string indent = aDatabase.wrapper ? "  " : "";
    if (aDatabase.wrapper) out += "<PSKEY_DATABASE>\n";
    for (const Build& build : aDatabase.builds) {
        out += indent + "<" + build.elementName;
        if (build.buildId) Attribute(out, "BUILD_ID", *build.buildId);
        out += ">\n";
        for (const Key& key : build.keys) {
            out += indent + "  <KEY";
            Attribute(out, "NAME", key.name);
            Attribute(out, "ID", key.id);
            Attribute(out, "OFFSET", key.offset);
            Attribute(out, "LENGTH", key.length);
            if (key.min) Attribute(out, "MIN", *key.min);
            if (key.max) Attribute(out, "MAX", *key.max);
            out += ">\n";
            const std::string inner = indent + "    ";
            if (key.label) out += inner + "<LABEL>" + Escape(*key.label) + "</LABEL>\n";
            if (key.description) out += inner + "<DESCRIPTION>" + Escape(*key.description) + "</DESCRIPTION>\n";
            if (!key.defaults.empty()) {
                out += inner + "<DEFAULT>\n";
                for (const std::string& value : key.defaults)
                    out += inner + "  <DEFAULTVALUE>" + Escape(value) + "</DEFAULTVALUE>\n";
                out += inner + "</DEFAULT>\n";
            }
            out += indent + "  </KEY>\n";
        }
        out += indent + "</" + build.elementName + ">\n";
    }
    if (aDatabase.wrapper) out += "</PSKEY_DATABASE>\n";
    return out;
}

bool WriteFile(const std::string& aPath, const std::string& aText)
{
    std::FILE* f = std::fopen(aPath.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(aText.data(), 1, aText.size(), f) == aText.size();
    return std::fclose(f) == 0 && written;
}

Database Generated(uint16_t aBuilds, uint16_t aKeysPerBuild, uint16_t aFirstBuild)
{
    Database db;
    for (uint16_t b = 0; b < aBuilds; ++b) {
        Build build = Build::Make(static_cast<uint16_t>(aFirstBuild + b));
        for (uint16_t k = 0; k < aKeysPerBuild; ++k) {
            const uint16_t length = static_cast<uint16_t>(1 + k % 4);
            build.Add("GENERATED_KEY_" + std::to_string(k), static_cast<uint16_t>(100 + k), length);
            std::vector<uint16_t> defaults;
            for (uint16_t w = 0; w < length; ++w) defaults.push_back(static_cast<uint16_t>(k * 7 + w));
            build.keys.back()
                .Range(0, static_cast<uint16_t>(1000 + k))
                .Defaults(defaults)
                .Text("Generated key " + std::to_string(k), "Key number " + std::to_string(k) + " of a generated build");
        }
        db.builds.push_back(std::move(build));
    }
    return db;
}

namespace {

struct SampleKey {
    const char* name;
    uint16_t id;
    uint16_t length;
    uint16_t min;
    uint16_t max;
    std::vector<uint16_t> defaults;
    const char* label;
    const char* description;
};

// The CS layout of the simulated chip, oldest version.
const std::vector<SampleKey>& SampleKeys()
{
    static const std::vector<SampleKey> keys = {
        {"BLUETOOTH_ADDRESS", 1, 4, 0, 0xFFFF, {0x0000, 0x5b00, 0x0002, 0x005b}, "Bluetooth address", "Bluetooth device address: LAP (two words), UAP, NAP"},
        {"CRYSTAL_TRIM", 2, 1, 0, 63, {32}, "Crystal trim", "Crystal frequency trim applied at boot"},
        {"CRYSTAL_FREQUENCY", 3, 1, 0, 65535, {26000}, "Crystal frequency", "Reference crystal frequency in kHz"},
        {"DEVICE_NAME", 4, 16, 0, 65535, {0x4e, 0x69, 0x76, 0x6f, 0x72, 0x61, 0x20, 0x44, 0x55, 0x54, 0, 0, 0, 0, 0, 0}, "Device name", "Advertised device name, one character per word, zero padded"},
        {"TX_POWER_MAX", 5, 1, 0, 20, {4}, "Maximum transmit power", "Highest transmit power in dBm"},
        {"TX_POWER_DEFAULT", 6, 1, 0, 20, {0}, "Default transmit power", "Transmit power after reset in dBm"},
        {"LINK_TX_POWER_MAX", 7, 1, 0, 20, {4}, "Link maximum transmit power", "Highest transmit power used on a link"},
        {"RSSI_GOLDEN_RANGE", 8, 2, 0, 255, {20, 60}, "RSSI golden range", "Lower and upper bound of the golden receive range"},
        {"UART_BAUDRATE", 9, 1, 0, 65535, {1152}, "UART baud rate", "Host UART rate in units of 100 baud"},
        {"UART_CONFIG", 10, 1, 0, 0x3fff, {0x0001}, "UART configuration", "Stop bits, parity and flow control bits"},
        {"HOST_TRANSPORT", 13, 1, 0, 4, {1}, "Host interface", "0 none, 1 UART, 2 USB, 3 SPI, 4 I2C"},
        {"CLOCK_REQUEST_ENABLE", 16, 1, 0, 1, {0}, "Clock request", "Drive the clock request line"},
        {"DEEP_SLEEP_STATE", 19, 1, 0, 3, {1}, "Deep sleep", "Deep sleep policy"},
        {"DEEP_SLEEP_WAKE_CTS", 22, 1, 0, 1, {0}, "Wake on CTS", "Wake from deep sleep on CTS"},
        {"PIO_PROTECT_MASK", 25, 1, 0, 65535, {0}, "PIO protect mask", "PIOs the firmware must not drive"},
        {"PIO_DIR_DEFAULT", 28, 1, 0, 65535, {0}, "PIO direction", "Direction of every PIO after reset"},
        {"PIO_LEVEL_DEFAULT", 31, 1, 0, 65535, {0}, "PIO level", "Level of every output PIO after reset"},
        {"LED0_CONFIG", 34, 1, 0, 255, {0}, "LED 0", "Duty cycle and flash setting of LED 0"},
        {"LED1_CONFIG", 37, 1, 0, 255, {0}, "LED 1", "Duty cycle and flash setting of LED 1"},
        {"LED2_CONFIG", 40, 1, 0, 255, {0}, "LED 2", "Duty cycle and flash setting of LED 2"},
        {"AIO0_CONFIG", 43, 1, 0, 7, {0}, "AIO 0", "Function of analogue line 0"},
        {"AIO1_CONFIG", 46, 1, 0, 7, {0}, "AIO 1", "Function of analogue line 1"},
        {"BATTERY_LOW", 49, 1, 1800, 3600, {2700}, "Battery low", "Battery low threshold in mV"},
        {"BATTERY_SHUTDOWN", 52, 1, 1500, 3300, {2400}, "Battery shutdown", "Shutdown threshold in mV"},
        {"TEMPERATURE_CALIBRATION", 55, 2, 0, 65535, {0, 25}, "Temperature calibration", "Sensor offset and reference temperature"},
        {"RADIO_CAL_AGC", 58, 3, 0, 65535, {0x10, 0x20, 0x30}, "AGC calibration", "Gain steps of the receiver"},
        {"RADIO_CAL_PA", 61, 4, 0, 65535, {0x100, 0x180, 0x200, 0x280}, "PA calibration", "Power amplifier steps"},
        {"RADIO_CAL_IQ", 64, 2, 0, 65535, {0, 0}, "IQ calibration", "IQ imbalance correction"},
        {"ADV_INTERVAL_MIN", 67, 1, 32, 16384, {160}, "Advertising interval minimum", "In 0.625 ms units"},
        {"ADV_INTERVAL_MAX", 70, 1, 32, 16384, {320}, "Advertising interval maximum", "In 0.625 ms units"},
        {"CONN_INTERVAL_MIN", 73, 1, 6, 3200, {24}, "Connection interval minimum", "In 1.25 ms units"},
        {"CONN_INTERVAL_MAX", 76, 1, 6, 3200, {40}, "Connection interval maximum", "In 1.25 ms units"},
        {"SLAVE_LATENCY", 79, 1, 0, 499, {0}, "Slave latency", "Connection events the device may skip"},
        {"SUPERVISION_TIMEOUT", 82, 1, 10, 3200, {600}, "Supervision timeout", "In 10 ms units"},
        {"SECURITY_MODE", 85, 1, 0, 3, {1}, "Security mode", "Pairing and bonding policy"},
        {"IO_CAPABILITY", 88, 1, 0, 4, {3}, "IO capability", "Pairing input and output capability"},
        {"FIXED_PIN", 91, 8, 0, 65535, {0x30, 0x30, 0x30, 0x30, 0, 0, 0, 0}, "Fixed PIN", "Fixed pairing code, one digit per word"},
        {"MANUFACTURER_ID", 94, 1, 0, 65535, {0x1234}, "Manufacturer ID", "Company identifier in advertising data"},
        {"PRODUCT_ID", 97, 1, 0, 65535, {0x0001}, "Product ID", "Product identifier"},
        {"PRODUCT_VERSION", 100, 1, 0, 65535, {0x0100}, "Product version", "Product version, major in the high byte"},
        {"SERIAL_NUMBER", 103, 4, 0, 65535, {0, 0, 0, 0}, "Serial number", "Production serial number"},
        {"PRODUCTION_FLAGS", 106, 1, 0, 65535, {0}, "Production flags", "Set by the production line after each station"},
        {"WATCHDOG_PERIOD", 109, 1, 0, 60000, {1000}, "Watchdog period", "In ms; 0 disables the watchdog"},
        {"USER_DATA", 112, 10, 0, 65535, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "User data", "Free for the application"},
    };
    return keys;
}

}  // namespace

Database Sample()
{
    Database db;
    Build old = Build::Make(kSampleBuildOld);
    Build current = Build::Make(kSampleBuildNew);
    for (const SampleKey& k : SampleKeys()) {
        for (Build* build : {&old, &current}) {
            build->Add(k.name, k.id, k.length);
            build->keys.back().Range(k.min, k.max).Defaults(k.defaults).Text(k.label, k.description);
        }
    }
    // The newer version adds keys and widens the crystal trim range.
    current.Add("CRYSTAL_TRIM_OFFSET", 200, 1);
    current.keys.back().Range(0, 15).Defaults({0}).Text("Crystal trim offset", "Temperature offset added to the trim");
    current.Add("TX_POWER_TABLE", 201, 6);
    current.keys.back()
        .Range(0, 255)
        .Defaults({0, 4, 8, 12, 16, 20})
        .Text("Transmit power table", "Transmit power steps in dBm");
    for (Key& key : current.keys) {
        if (key.name == "CRYSTAL_TRIM") key.max = "127";
    }
    db.builds.push_back(std::move(old));
    db.builds.push_back(std::move(current));
    return db;
}

}  // namespace keydbgen
