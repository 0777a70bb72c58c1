#include "kilnorsim.h"

#include "numbergrammar.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kilnorsim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxConfigSize = 64 * 1024;

std::string trim(const std::string &aText)
{
    const char *space = " \t\r\n";
    const auto first = aText.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    const auto last = aText.find_last_not_of(space);
    return aText.substr(first, last - first + 1);
}

bool readText(const std::string &aPath, std::string &aOut)
{
    std::vector<std::uint8_t> bytes;
    if (!readFile(aPath, kMaxConfigSize, bytes))
        return false;
    aOut.assign(bytes.begin(), bytes.end());
    return true;
}

} // namespace

bool parseNumber(const std::string &aText, unsigned long long aMax, unsigned long long &aOut)
{
    std::uint64_t value = 0;
    if (!numbergrammar::Parse(aText, aMax, value))
        return false;
    aOut = value;
    return true;
}

std::optional<std::string> directory()
{
    const char *dir = std::getenv(kDirVariable);
    if (dir == nullptr || *dir == '\0')
        return std::nullopt;
    return std::string(dir);
}

std::string pathIn(const std::string &aDir, const char *aName)
{
    if (!aDir.empty() && aDir.back() == '/')
        return aDir + aName;
    return aDir + "/" + aName;
}

Config parseConfig(const std::string &aText)
{
    Config config;
    std::istringstream lines(aText);
    std::string line;
    while (std::getline(lines, line)) {
        const auto hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        unsigned long long number = 0;
        if (key == "adapter") {
            if (value == "both") {
                config.lptPresent = config.usbPresent = true;
            } else if (value == "lpt") {
                config.lptPresent = true;
                config.usbPresent = false;
            } else if (value == "usb") {
                config.lptPresent = false;
                config.usbPresent = true;
            } else if (value == "none") {
                config.lptPresent = config.usbPresent = false;
            }
        } else if (key == "fail") {
            std::istringstream names(value);
            std::string name;
            while (std::getline(names, name, ','))
                if (!trim(name).empty())
                    config.failing.insert(trim(name));
        } else if (key == "addr_fail") {
            if (parseNumber(value, 1000000000ull, number))
                config.addressFailures = static_cast<unsigned long>(number);
        } else if (key == "addr_crash") {
            if (value == "before")
                config.addressCrash = Crash::BeforeWrite;
            else if (value == "after")
                config.addressCrash = Crash::AfterWrite;
        } else if (key == "eeprom_size") {
            if (parseNumber(value, kMaxEepromSize, number) && number >= kMinEepromSize)
                config.eepromSize = static_cast<std::size_t>(number);
        }
    }
    return config;
}

Config loadConfig(const std::string &aDir)
{
    std::string text;
    if (!readText(pathIn(aDir, kConfigFile), text))
        return Config();
    return parseConfig(text);
}

bool adapterPresent(const Config &aConfig, int aTransport)
{
    if (aTransport == kTransportLpt)
        return aConfig.lptPresent;
    if (aTransport == kTransportUsb)
        return aConfig.usbPresent;
    return false;
}

bool operationFails(const Config &aConfig, const std::string &aOperation)
{
    return aConfig.failing.count(aOperation) != 0;
}

bool takeAddressFailure(const std::string &aDir)
{
    const std::string path = pathIn(aDir, kConfigFile);
    std::string text;
    if (!readText(path, text))
        return false;
    const Config config = parseConfig(text);
    if (config.addressFailures == 0)
        return false;

    // Rewrite only the addr_fail line so the other settings stay as written.
    std::istringstream lines(text);
    std::string line;
    std::string rewritten;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos && trim(line.substr(0, eq)) == "addr_fail")
            line = "addr_fail=" + std::to_string(config.addressFailures - 1);
        rewritten += line;
        rewritten += '\n';
    }
    writeFile(path, reinterpret_cast<const std::uint8_t *>(rewritten.data()), rewritten.size());
    return true;
}

void crashNow()
{
    // No destructors, no atexit handlers, no stream flushes: as close to a
    // killed process as a portable program gets.
    std::_Exit(kCrashExitCode);
}

void logCall(const std::string &aLine)
{
    const auto dir = directory();
    if (!dir)
        return;
    std::ofstream log(pathIn(*dir, kCallLog), std::ios::app | std::ios::binary);
    log << aLine << '\n';
}

bool readFile(const std::string &aPath, std::size_t aMaxSize, std::vector<std::uint8_t> &aOut)
{
    std::ifstream file(fs::u8path(aPath), std::ios::binary);
    if (!file)
        return false;
    std::vector<std::uint8_t> data;
    char chunk[4096];
    for (;;) {
        file.read(chunk, sizeof chunk);
        const std::size_t got = static_cast<std::size_t>(file.gcount());
        if (got > aMaxSize - data.size())
            return false;
        data.insert(data.end(), chunk, chunk + got);
        if (got < sizeof chunk)
            break;
    }
    if (file.bad())
        return false;
    aOut.swap(data);
    return true;
}

bool writeFile(const std::string &aPath, const std::uint8_t *aData, std::size_t aSize)
{
    const fs::path target = fs::u8path(aPath);
    fs::path temp = target;
    temp += ".tmp";
    bool ok;
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (!file)
            return false;
        if (aSize != 0)
            file.write(reinterpret_cast<const char *>(aData), static_cast<std::streamsize>(aSize));
        file.close();
        ok = !file.fail();
    }
    // The filesystem rename replaces an existing file on every platform,
    // which the C library's rename does not do everywhere.
    std::error_code error;
    if (ok) {
        fs::rename(temp, target, error);
        ok = !error;
    }
    if (!ok)
        fs::remove(temp, error);
    return ok;
}

std::vector<std::uint8_t> loadEeprom(const std::string &aDir, const Config &aConfig)
{
    std::vector<std::uint8_t> data;
    if (!readFile(pathIn(aDir, kEepromFile), kMaxEepromSize, data))
        data.clear();
    data.resize(aConfig.eepromSize, 0xFF);
    return data;
}

bool saveEeprom(const std::string &aDir, const std::vector<std::uint8_t> &aData)
{
    return writeFile(pathIn(aDir, kEepromFile), aData.data(), aData.size());
}

std::uint32_t crc32(const std::uint8_t *aData, std::size_t aSize)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < aSize; ++i) {
        crc ^= aData[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

} // namespace kilnorsim
