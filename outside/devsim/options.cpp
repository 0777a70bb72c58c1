// Parsing of the simulated transport string into the option records of
// options.h.
#include "options.h"

#include "numbergrammar.h"

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
    };
    return parsers;
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
            return false;
        }
    }
    return true;
}

}  // namespace devsim
