// Shared state of the simulated SPI adapter behind the Plessa and Vortane
// stand-ins. Everything lives in the directory named by KILNOR_SIM_DIR so
// that a test, the dialog and an operator's shell all see the same adapter.
#ifndef KILNORSIM_H
#define KILNORSIM_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kilnorsim {

constexpr const char *kDirVariable = "KILNOR_SIM_DIR";
constexpr const char *kConfigFile = "sim.conf";
constexpr const char *kEepromFile = "eeprom.bin";
constexpr const char *kAddressFile = "bdaddr";
constexpr const char *kCallLog = "calls.log";

constexpr std::size_t kDefaultEepromSize = 32768;
constexpr std::size_t kMinEepromSize = 64;
constexpr std::size_t kMaxEepromSize = 16u * 1024u * 1024u;

// Transport codes shared by both libraries.
constexpr int kTransportLpt = 1;
constexpr int kTransportUsb = 2;

// Exit code of a process ended by an addr_crash fault.
constexpr int kCrashExitCode = 86;

// Where psWriteBdAddr ends the calling process (addr_crash=before|after):
// before the address reaches the store, or right after it was stored and
// logged. Tests use it to kill the program in the middle of a write.
enum class Crash { None, BeforeWrite, AfterWrite };

// The fault and size settings of sim.conf (key=value lines, '#' comments).
struct Config {
    bool lptPresent = true;              // adapter=both|lpt|usb|none
    bool usbPresent = true;
    std::set<std::string> failing;       // fail=plsFill,plsDump,...
    unsigned long addressFailures = 0;   // addr_fail=N
    std::size_t eepromSize = kDefaultEepromSize;  // eeprom_size=N
    Crash addressCrash = Crash::None;    // addr_crash=before|after
};

// The number grammar of sim.conf: decimal, or hexadecimal after "0x" or
// "0X"; the whole text must be digits, and leading zeros stay decimal
// ("010" is ten, never octal). Fails for an empty text or a value above aMax.
bool parseNumber(const std::string &aText, unsigned long long aMax, unsigned long long &aOut);

// The simulation directory, or nothing when the variable is unset or empty
// (then no adapter is attached).
std::optional<std::string> directory();

std::string pathIn(const std::string &aDir, const char *aName);

// Reads sim.conf; a missing file gives the defaults, a malformed value keeps
// the default of its key.
Config loadConfig(const std::string &aDir);
Config parseConfig(const std::string &aText);

bool adapterPresent(const Config &aConfig, int aTransport);
bool operationFails(const Config &aConfig, const std::string &aOperation);

// Returns true when this address write must fail because addr_fail is still
// above 0, and counts addr_fail down by one in sim.conf.
bool takeAddressFailure(const std::string &aDir);

// Ends the process at once, with kCrashExitCode.
[[noreturn]] void crashNow();

// Appends one line to calls.log of the simulation directory, if one is
// set, so that tests see which functions ran.
void logCall(const std::string &aLine);

// A call as the log writes it: "name(arg,arg,...)"; a null text argument
// reads "(null)".
inline std::string callArg(const char *aText)
{
    return aText != nullptr ? std::string(aText) : std::string("(null)");
}
template <typename T>
std::string callArg(T aNumber)
{
    return std::to_string(aNumber);
}
template <typename... Args>
std::string callText(const char *aName, Args... aArgs)
{
    std::string args;
    ((args += "," + callArg(aArgs)), ...);
    return std::string(aName) + "(" + (args.empty() ? args : args.substr(1)) + ")";
}

// Logs "call=result" and gives the result back.
template <typename T>
T logResult(const std::string &aCall, T aResult)
{
    logCall(aCall + "=" + std::to_string(aResult));
    return aResult;
}

// Reads a whole file of at most aMaxSize bytes; fails for a missing file or
// a larger one.
bool readFile(const std::string &aPath, std::size_t aMaxSize, std::vector<std::uint8_t> &aOut);
// Writes a whole file through a temporary file and a rename, so that a
// failure never leaves a half-written file behind.
bool writeFile(const std::string &aPath, const std::uint8_t *aData, std::size_t aSize);

// The EEPROM contents, eepromSize bytes; a missing file is an erased (0xFF)
// EEPROM, and a file of another size is cut or padded with 0xFF.
std::vector<std::uint8_t> loadEeprom(const std::string &aDir, const Config &aConfig);
bool saveEeprom(const std::string &aDir, const std::vector<std::uint8_t> &aData);

std::uint32_t crc32(const std::uint8_t *aData, std::size_t aSize);

} // namespace kilnorsim

#endif
