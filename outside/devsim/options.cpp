// Parsing of the simulated transport string: "sim" or "sim:" followed by
// comma-separated key=value options.
#include "devsim.h"
#include "nvm.h"
#include "ptfirmware.h"
#include "uart.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>

namespace devsim {

namespace {

// Hexadecimal with 0x, or decimal; the whole text must be a number in range.
bool ParseNumber(const std::string& aText, uint64_t aMax, uint64_t& aValue)
{
    if (aText.empty()) return false;
    int base = 10;
    std::string digits = aText;
    if (aText.size() > 2 && aText[0] == '0' && (aText[1] == 'x' || aText[1] == 'X')) {
        base = 16;
        digits = aText.substr(2);
    }
    for (char c : digits) {
        bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                             : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > aMax) return false;
    aValue = v;
    return true;
}

// Options that later subsystems of the simulator read from Options::extra.
const std::set<std::string>& ExtraKeys()
{
    static const std::set<std::string> keys = {
        "flashbusy", "e2fail", "flashfail", "uart", "fwfault",
    };
    return keys;
}

}  // namespace

const char* TransportList()
{
    return "available transports: sim, sim:<key>=<value>,...";
}

bool ParseTransport(const char* aTransport, Options& aOptions, std::string& aError)
{
    aOptions = Options();
    if (aTransport == nullptr) {
        aError = std::string("no transport given; ") + TransportList();
        return false;
    }
    std::string text(aTransport);
    if (text != "sim" && text.compare(0, 4, "sim:") != 0) {
        aError = "unknown transport \"" + text + "\"; " + TransportList();
        return false;
    }
    size_t pos = text.size() > 4 ? 4 : text.size();
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            aError = "option \"" + item + "\" has no value; " + TransportList();
            return false;
        }
        std::string key = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        uint64_t n = 0;
        bool ok = true;
        if (key == "chip") {
            ok = ParseNumber(value, 0x7FFFFFFF, n);
            aOptions.chip = static_cast<int32_t>(n);
        } else if (key == "id1") {
            ok = ParseNumber(value, 0xFFFF, n);
            aOptions.id1 = static_cast<uint16_t>(n);
        } else if (key == "id2") {
            ok = ParseNumber(value, 0xFFFF, n);
            aOptions.id2 = static_cast<uint16_t>(n);
        } else if (key == "identified") {
            ok = ParseNumber(value, 1, n);
            aOptions.identified = n != 0;
        } else if (key == "present") {
            ok = ParseNumber(value, 1, n);
            aOptions.present = n != 0;
        } else if (key == "openerror") {
            aOptions.openError = value;
        } else if (key == "nvm") {
            aOptions.nvmDir = value;
        } else if (key == "name") {
            aOptions.name = value;
        } else if (key == "latency") {
            ok = ParseNumber(value, 1000000, n);
            aOptions.latencyUs = static_cast<uint32_t>(n);
        } else if (key == "failread") {
            ok = ParseNumber(value, UINT64_MAX, n);
            aOptions.failRead = n;
        } else if (key == "failwrite") {
            ok = ParseNumber(value, UINT64_MAX, n);
            aOptions.failWrite = n;
        } else if (key == "resetfail") {
            ok = ParseNumber(value, 1, n);
            aOptions.resetFails = n != 0;
        } else if (key == "eeprom") {
            ok = ParseNumber(value, 0x10000, n) && n > 0;
            aOptions.eepromWords = static_cast<uint32_t>(n);
        } else if (key == "flash") {
            ok = ParseNumber(value, 0x1000000, n) && n > 0;
            aOptions.flashWords = static_cast<uint32_t>(n);
        } else if (ExtraKeys().count(key) != 0) {
            aOptions.extra[key] = value;
            ok = ValidNvmOption(key, value);
            FwBehaviour fault;
            if (ok && key == "fwfault") ok = ParseFirmwareFault(value, fault);
            UartMode uartMode = UartMode::Echo;
            if (key == "uart") ok = ParseUartMode(value, uartMode);
        } else {
            aError = "unknown option \"" + key + "\"; " + TransportList();
            return false;
        }
        if (!ok) {
            aError = "bad value \"" + value + "\" for option \"" + key + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace devsim
