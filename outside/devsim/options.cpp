// Parsing of the simulated transport string into the option records of
// options.h.
#include "options.h"

#include "numbergrammar.h"
#include "rflinkwire.h"

#include <functional>
#include <vector>

namespace devsim {

bool ParseNumber(const std::string& aText, uint64_t aMax, uint64_t& aValue)
{
    return numbergrammar::Parse(aText, aMax, aValue);
}

namespace {

template <typename T>
bool Number(const std::string& aText, uint64_t aMax, T& aValue)
{
    uint64_t n = 0;
    if (!ParseNumber(aText, aMax, n)) return false;
    aValue = static_cast<T>(n);
    return true;
}

bool Flag(const std::string& aText, bool& aValue)
{
    uint64_t n = 0;
    if (!ParseNumber(aText, 1, n)) return false;
    aValue = n != 0;
    return true;
}

std::vector<std::string> Split(const std::string& aText, char aSeparator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = aText.find(aSeparator, start);
        parts.push_back(aText.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// "fwfault": items separated by '+'; a later fwfault replaces an earlier one.
bool ParseFirmwareFault(const std::string& aText, FirmwareOptions& aFirmware)
{
    aFirmware = FirmwareOptions();
    for (const std::string& item : Split(aText, '+')) {
        const std::vector<std::string> parts = Split(item, ':');
        const std::string& what = parts[0];
        uint16_t a = 0, b = 0;
        uint32_t polls = 0;
        if (what == "silent" && parts.size() == 1) {
            aFirmware.silent = true;
        } else if (what == "alive" && parts.size() == 1) {
            aFirmware.aliveOnly = true;
        } else if (what == "ready" && parts.size() == 2 && Number(parts[1], 0xFFFF, a)) {
            aFirmware.readyAnswer = a;
        } else if (what == "answer" && parts.size() == 3 && Number(parts[1], 0x7FFF, a) &&
                   Number(parts[2], 0xFFFF, b) && (b & 0x8000) != 0) {
            aFirmware.answers[a] = b;
        } else if (what == "delay" && parts.size() == 2 && Number(parts[1], 1000000, polls)) {
            aFirmware.answerDelay = polls;
        } else {
            return false;
        }
    }
    return true;
}

bool ParseUartMode(const std::string& aText, UartMode& aMode)
{
    if (aText == "echo") aMode = UartMode::Echo;
    else if (aText == "short") aMode = UartMode::Short;
    else if (aText == "garble") aMode = UartMode::Garble;
    else if (aText == "none") aMode = UartMode::None;
    else return false;
    return true;
}

struct NamedOperation {
    const char* name;
    NvmOperation operation;
};

// "OP" or "OP:N" with OP one of aKnown and N a count above 0.
template <size_t Count>
bool ParseNvmFault(const std::string& aText, const NamedOperation (&aKnown)[Count],
                   std::optional<NvmFaultOption>& aFault)
{
    const std::vector<std::string> parts = Split(aText, ':');
    if (parts.size() > 2) return false;
    NvmFaultOption fault;
    if (parts.size() == 2 && (!ParseNumber(parts[1], UINT64_MAX, fault.nth) || fault.nth == 0)) return false;
    for (const NamedOperation& known : aKnown) {
        if (parts[0] == known.name) {
            fault.operation = known.operation;
            aFault = fault;
            return true;
        }
    }
    return false;
}

const NamedOperation kEepromOperations[] = {
    {"read", NvmOperation::EepromRead},
    {"write", NvmOperation::EepromWrite},
    {"size", NvmOperation::EepromSize},
};
const NamedOperation kFlashOperations[] = {
    {"identify", NvmOperation::FlashIdentify},
    {"info", NvmOperation::FlashInfo},
    {"dump", NvmOperation::FlashDump},
    {"burn", NvmOperation::FlashBurn},
};

bool ParseFlashBusy(const std::string& aText, NvmOptions& aNvm)
{
    aNvm.flashStuck = aText == "stuck";
    return aNvm.flashStuck || Number(aText, 999999, aNvm.flashBusyPolls);
}

// A decimal number with an optional sign and fraction ("-12.5", "4", "+0.25")
// within [aLow, aHigh]; no exponent, no "nan" or "inf", at most 12 digits.
bool Decimal(const std::string& aText, double aLow, double aHigh, std::optional<double>& aValue)
{
    size_t at = (!aText.empty() && (aText[0] == '+' || aText[0] == '-')) ? 1 : 0;
    size_t digits = 0, fraction = 0;
    bool point = false;
    for (; at < aText.size(); ++at) {
        const char c = aText[at];
        if (c == '.' && !point && digits > 0) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            ++(point ? fraction : digits);
        } else {
            return false;
        }
    }
    double value = 0;
    if (digits == 0 || (point && fraction == 0) || digits + fraction > 12 ||
        !rflinkwire::ParseNumber(aText, value) || value < aLow || value > aHigh)
        return false;
    aValue = value;
    return true;
}

// "HOST:PORT/N": the tester's TCP address and its RF port N (from 1). An
// IPv6 host is written in brackets ("[::1]:5025/2").
bool ParseTesterCable(const std::string& aText, RadioOptions& aRadio)
{
    const size_t slash = aText.rfind('/');
    const size_t colon = aText.rfind(':', slash);
    if (slash == std::string::npos || colon == std::string::npos || colon == 0) return false;
    std::string host = aText.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of(" []/") != std::string::npos) return false;
    uint64_t port = 0, rfPort = 0;
    if (!ParseNumber(aText.substr(colon + 1, slash - colon - 1), 0xFFFF, port) || port == 0) return false;
    if (!ParseNumber(aText.substr(slash + 1), 255, rfPort) || rfPort == 0) return false;
    aRadio.testerHost = host;
    aRadio.testerPort = static_cast<uint16_t>(port);
    aRadio.testerRfPort = static_cast<uint32_t>(rfPort);
    return true;
}

// One parser per option key; each writes the record of its concern.
using OptionParser = std::function<bool(const std::string&, Options&)>;

const std::map<std::string, OptionParser>& Parsers()
{
    static const std::map<std::string, OptionParser> parsers = {
        {"chip", [](const std::string& v, Options& o) { return Number(v, 0x7FFFFFFF, o.identity.chip); }},
        {"id1", [](const std::string& v, Options& o) { return Number(v, 0xFFFF, o.identity.id1); }},
        {"id2", [](const std::string& v, Options& o) { return Number(v, 0xFFFF, o.identity.id2); }},
        {"identified", [](const std::string& v, Options& o) { return Flag(v, o.identity.identified); }},
        {"present", [](const std::string& v, Options& o) { return Flag(v, o.identity.present); }},
        {"openerror", [](const std::string& v, Options& o) { o.identity.openError = v; return true; }},
        {"name", [](const std::string& v, Options& o) { o.identity.name = v; return true; }},
        {"latency", [](const std::string& v, Options& o) { return Number(v, 1000000, o.transport.latencyUs); }},
        {"failread", [](const std::string& v, Options& o) { return Number(v, UINT64_MAX, o.transport.failRead); }},
        {"failwrite", [](const std::string& v, Options& o) { return Number(v, UINT64_MAX, o.transport.failWrite); }},
        {"failcode", [](const std::string& v, Options& o) {
             return Number(v, 0x7FFFFFFF, o.transport.failCode) && o.transport.failCode != 0;
         }},
        {"resetfail", [](const std::string& v, Options& o) { return Flag(v, o.transport.resetFails); }},
        {"throw", [](const std::string& v, Options& o) {
             static const std::map<std::string, TransportThrow> kinds = {
                 {"alloc", TransportThrow::OutOfMemory}, {"error", TransportThrow::Error},
                 {"identify", TransportThrow::Identification}};
             auto kind = kinds.find(v);
             if (kind != kinds.end()) o.transport.throws = kind->second;
             return kind != kinds.end(); }},
        {"fwfault", [](const std::string& v, Options& o) { return ParseFirmwareFault(v, o.firmware); }},
        {"uart", [](const std::string& v, Options& o) { return ParseUartMode(v, o.uart.mode); }},
        {"uartlink", [](const std::string& v, Options& o) { o.uart.link = v; return !v.empty(); }},
        {"uartline",
         [](const std::string& v, Options& o) {
             // PC_PORT+CHIP_PORT: a comma would end the option.
             const size_t plus = v.find('+');
             if (plus == std::string::npos || plus == 0 || plus + 1 == v.size()) return false;
             o.uart.line = v.substr(0, plus) + "," + v.substr(plus + 1);
             return true;
         }},
        {"nvm", [](const std::string& v, Options& o) { o.nvm.dir = v; return true; }},
        {"eeprom", [](const std::string& v, Options& o) {
             return Number(v, 0x10000, o.nvm.eepromWords) && o.nvm.eepromWords > 0; }},
        {"flash", [](const std::string& v, Options& o) {
             return Number(v, 0x1000000, o.nvm.flashWords) && o.nvm.flashWords > 0; }},
        {"e2fail", [](const std::string& v, Options& o) { return ParseNvmFault(v, kEepromOperations, o.nvm.eepromFault); }},
        {"flashfail", [](const std::string& v, Options& o) { return ParseNvmFault(v, kFlashOperations, o.nvm.flashFault); }},
        {"flashbusy", [](const std::string& v, Options& o) { return ParseFlashBusy(v, o.nvm); }},
        {"rfseed", [](const std::string& v, Options& o) { return Number(v, UINT64_MAX, o.radio.seed); }},
        {"xtal_ppm", [](const std::string& v, Options& o) { return Decimal(v, -200, 200, o.radio.xtalPpm); }},
        {"tx_dbm", [](const std::string& v, Options& o) { return Decimal(v, -40, 30, o.radio.txDbm); }},
        {"drift_khz", [](const std::string& v, Options& o) { return Decimal(v, -200, 200, o.radio.driftKhz); }},
        {"sens_dbm", [](const std::string& v, Options& o) { return Decimal(v, -130, -30, o.radio.sensDbm); }},
        {"rf", [](const std::string& v, Options& o) { return ParseTesterCable(v, o.radio); }},
    };
    return parsers;
}

// What a refused value of an option should have been, where the option's
// name does not say it.
const char* ValueHint(const std::string& aKey)
{
    static const std::map<std::string, const char*> hints = {
        {"rfseed", "a number from 0 to 18446744073709551615"},
        {"xtal_ppm", "a decimal number from -200 to 200"},
        {"tx_dbm", "a decimal number from -40 to 30"},
        {"drift_khz", "a decimal number from -200 to 200"},
        {"sens_dbm", "a decimal number from -130 to -30"},
        {"rf", "HOST:PORT/N with a TCP port from 1 to 65535 and an RF port from 1 to 255"},
    };
    auto hint = hints.find(aKey);
    return hint == hints.end() ? nullptr : hint->second;
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
    const std::string text(aTransport);
    if (text != "sim" && text.compare(0, 4, "sim:") != 0) {
        aError = "unknown transport \"" + text + "\"; " + TransportList();
        return false;
    }
    if (text.size() <= 4) return true;
    for (const std::string& item : Split(text.substr(4), ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            aError = "option \"" + item + "\" has no value; " + TransportList();
            return false;
        }
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        auto parser = Parsers().find(key);
        if (parser == Parsers().end()) {
            aError = "unknown option \"" + key + "\"; " + TransportList();
            return false;
        }
        if (!parser->second(value, aOptions)) {
            aError = "bad value \"" + value + "\" for option \"" + key + "\"";
            if (const char* hint = ValueHint(key)) aError += std::string(" (") + hint + ")";
            return false;
        }
    }
    return true;
}

}  // namespace devsim
