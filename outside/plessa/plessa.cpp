// Stand-in for the Plessa EEPROM library over the simulated SPI adapter.
// The EEPROM is the file eeprom.bin in the simulation directory; sim.conf
// there chooses the adapters that are present and the operations that fail.
#include "plessa.h"

#include "dumpfile.h"
#include "kilnorsim.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex gMutex;
bool gOpen = false;
int gInterface = 0;

std::string callText(const std::string &aCall, int aResult)
{
    return aCall + "=" + std::to_string(aResult);
}

// Logs the call and its result into the simulation directory, if any.
int finish(const std::string &aCall, int aResult)
{
    if (const auto dir = kilnorsim::directory())
        kilnorsim::logCall(*dir, callText(aCall, aResult));
    return aResult;
}

// The header that plsWriteCkHeader puts at EEPROM address 0 (16 bytes):
// "CVKE", header version 1 (2 bytes LE), interface code used (2 bytes LE),
// EEPROM size (4 bytes LE), CRC-32 of the first 12 bytes (4 bytes LE).
std::vector<std::uint8_t> makeHeader(std::size_t aEepromSize, int aInterface)
{
    std::vector<std::uint8_t> header = {'C', 'V', 'K', 'E', 1, 0,
                                        static_cast<std::uint8_t>(aInterface), 0};
    for (int i = 0; i < 4; ++i)
        header.push_back(static_cast<std::uint8_t>(aEepromSize >> (8 * i)));
    const std::uint32_t crc = kilnorsim::crc32(header.data(), header.size());
    for (int i = 0; i < 4; ++i)
        header.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return header;
}

// Common checks of every operation after plsOpen; returns PLS_OK when the
// operation may touch the EEPROM and fills aDir and aConfig.
int prepare(const char *aOperation, std::string &aDir, kilnorsim::Config &aConfig)
{
    if (!gOpen)
        return PLS_ERR_STATE;
    const auto dir = kilnorsim::directory();
    if (!dir)
        return PLS_ERR_NO_ADAPTER;
    aDir = *dir;
    aConfig = kilnorsim::loadConfig(aDir);
    if (!kilnorsim::adapterPresent(aConfig, gInterface))
        return PLS_ERR_NO_ADAPTER;
    if (kilnorsim::operationFails(aConfig, aOperation))
        return PLS_ERR_DEVICE;
    return PLS_OK;
}

} // namespace

extern "C" {

int PLESSA_CALL plsOpen(int aInterface, int aPort, int aSpeed)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = "plsOpen(" + std::to_string(aInterface) + "," + std::to_string(aPort) + "," +
                             std::to_string(aSpeed) + ")";
    if (gOpen)
        return finish(call, PLS_ERR_STATE);
    if ((aInterface != PLS_INTERFACE_LPT && aInterface != PLS_INTERFACE_USB) || aPort < -1 || aSpeed < -1)
        return finish(call, PLS_ERR_ARGUMENT);
    const auto dir = kilnorsim::directory();
    if (!dir)
        return finish(call, PLS_ERR_NO_ADAPTER);
    const kilnorsim::Config config = kilnorsim::loadConfig(*dir);
    if (!kilnorsim::adapterPresent(config, aInterface) || kilnorsim::operationFails(config, "plsOpen"))
        return finish(call, PLS_ERR_NO_ADAPTER);
    gOpen = true;
    gInterface = aInterface;
    return finish(call, PLS_OK);
}

int PLESSA_CALL plsWriteCkHeader(void)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = "plsWriteCkHeader()";
    std::string dir;
    kilnorsim::Config config;
    if (const int rc = prepare("plsWriteCkHeader", dir, config))
        return finish(call, rc);
    std::vector<std::uint8_t> eeprom = kilnorsim::loadEeprom(dir, config);
    const std::vector<std::uint8_t> header = makeHeader(eeprom.size(), gInterface);
    std::copy(header.begin(), header.end(), eeprom.begin());
    return finish(call, kilnorsim::saveEeprom(dir, eeprom) ? PLS_OK : PLS_ERR_DEVICE);
}

int PLESSA_CALL plsFill(int aValue, int aVerify)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = "plsFill(" + std::to_string(aValue) + "," + std::to_string(aVerify) + ")";
    std::string dir;
    kilnorsim::Config config;
    if (const int rc = prepare("plsFill", dir, config))
        return finish(call, rc);
    if (aValue < 0 || aValue > 255)
        return finish(call, PLS_ERR_ARGUMENT);
    const std::vector<std::uint8_t> eeprom(config.eepromSize, static_cast<std::uint8_t>(aValue));
    if (!kilnorsim::saveEeprom(dir, eeprom))
        return finish(call, PLS_ERR_DEVICE);
    if (aVerify == 1 && kilnorsim::loadEeprom(dir, config) != eeprom)
        return finish(call, PLS_ERR_DEVICE);
    return finish(call, PLS_OK);
}

int PLESSA_CALL plsDump(const char *aPath, int aVerify)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = std::string("plsDump(") + (aPath ? aPath : "(null)") + "," +
                             std::to_string(aVerify) + ")";
    std::string dir;
    kilnorsim::Config config;
    if (const int rc = prepare("plsDump", dir, config))
        return finish(call, rc);
    if (aPath == nullptr || *aPath == '\0')
        return finish(call, PLS_ERR_ARGUMENT);
    const std::vector<std::uint8_t> eeprom = kilnorsim::loadEeprom(dir, config);
    if (aVerify == 1 && kilnorsim::loadEeprom(dir, config) != eeprom)
        return finish(call, PLS_ERR_DEVICE);
    const std::vector<std::uint8_t> file = kilnorsim::encodeDump(eeprom);
    return finish(call, kilnorsim::writeFile(aPath, file.data(), file.size()) ? PLS_OK : PLS_ERR_FILE);
}

int PLESSA_CALL plsProgram(const char *aPath, int aVerify)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = std::string("plsProgram(") + (aPath ? aPath : "(null)") + "," +
                             std::to_string(aVerify) + ")";
    std::string dir;
    kilnorsim::Config config;
    if (const int rc = prepare("plsProgram", dir, config))
        return finish(call, rc);
    if (aPath == nullptr || *aPath == '\0')
        return finish(call, PLS_ERR_ARGUMENT);
    // The size limit keeps a huge or hostile file from being read whole.
    std::vector<std::uint8_t> file;
    std::vector<std::uint8_t> image;
    if (!kilnorsim::readFile(aPath, kilnorsim::kDumpHeaderSize + config.eepromSize, file) ||
        !kilnorsim::decodeDump(file.data(), file.size(), config.eepromSize, image))
        return finish(call, PLS_ERR_FILE);
    std::vector<std::uint8_t> eeprom = kilnorsim::loadEeprom(dir, config);
    std::copy(image.begin(), image.end(), eeprom.begin());
    if (!kilnorsim::saveEeprom(dir, eeprom))
        return finish(call, PLS_ERR_DEVICE);
    if (aVerify == 1) {
        const std::vector<std::uint8_t> back = kilnorsim::loadEeprom(dir, config);
        if (!std::equal(image.begin(), image.end(), back.begin()))
            return finish(call, PLS_ERR_DEVICE);
    }
    return finish(call, PLS_OK);
}

void PLESSA_CALL plsClose(void)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gOpen = false;
    gInterface = 0;
    if (const auto dir = kilnorsim::directory())
        kilnorsim::logCall(*dir, "plsClose()");
}

} // extern "C"
