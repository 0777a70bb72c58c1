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

using kilnorsim::callText;
using kilnorsim::logResult;

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

// Runs one EEPROM operation under the lock: the common checks, then aBody
// with the simulation directory and its settings; logs the call and result.
template <typename Body>
int32_t runOperation(const std::string &aCall, const char *aOperation, Body aBody)
{
    std::lock_guard<std::mutex> lock(gMutex);
    std::string dir;
    kilnorsim::Config config;
    int32_t rc = prepare(aOperation, dir, config);
    if (rc == PLS_OK)
        rc = aBody(dir, config);
    return logResult(aCall, rc);
}

bool emptyPath(const char *aPath)
{
    return aPath == nullptr || *aPath == '\0';
}

} // namespace

extern "C" {

int32_t PLESSA_CALL plsOpen(int32_t aInterface, int32_t aPort, int32_t aSpeed)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string call = callText("plsOpen", aInterface, aPort, aSpeed);
    if (gOpen)
        return logResult(call, PLS_ERR_STATE);
    if ((aInterface != PLS_INTERFACE_LPT && aInterface != PLS_INTERFACE_USB) || aPort < -1 || aSpeed < -1)
        return logResult(call, PLS_ERR_ARGUMENT);
    const auto dir = kilnorsim::directory();
    if (!dir)
        return logResult(call, PLS_ERR_NO_ADAPTER);
    const kilnorsim::Config config = kilnorsim::loadConfig(*dir);
    if (!kilnorsim::adapterPresent(config, aInterface) || kilnorsim::operationFails(config, "plsOpen"))
        return logResult(call, PLS_ERR_NO_ADAPTER);
    gOpen = true;
    gInterface = aInterface;
    return logResult(call, PLS_OK);
}

int32_t PLESSA_CALL plsWriteCkHeader(void)
{
    return runOperation(callText("plsWriteCkHeader"), "plsWriteCkHeader",
                        [](const std::string &aDir, const kilnorsim::Config &aConfig) {
                            std::vector<std::uint8_t> eeprom = kilnorsim::loadEeprom(aDir, aConfig);
                            const std::vector<std::uint8_t> header = makeHeader(eeprom.size(), gInterface);
                            std::copy(header.begin(), header.end(), eeprom.begin());
                            return kilnorsim::saveEeprom(aDir, eeprom) ? PLS_OK : PLS_ERR_DEVICE;
                        });
}

int32_t PLESSA_CALL plsFill(int32_t aValue, int32_t aVerify)
{
    return runOperation(callText("plsFill", aValue, aVerify), "plsFill",
                        [&](const std::string &aDir, const kilnorsim::Config &aConfig) {
                            if (aValue < 0 || aValue > 255)
                                return PLS_ERR_ARGUMENT;
                            const std::vector<std::uint8_t> eeprom(aConfig.eepromSize,
                                                                   static_cast<std::uint8_t>(aValue));
                            if (!kilnorsim::saveEeprom(aDir, eeprom) ||
                                (aVerify == 1 && kilnorsim::loadEeprom(aDir, aConfig) != eeprom))
                                return PLS_ERR_DEVICE;
                            return PLS_OK;
                        });
}

int32_t PLESSA_CALL plsDump(const char *aPath, int32_t aVerify)
{
    return runOperation(callText("plsDump", aPath, aVerify), "plsDump",
                        [&](const std::string &aDir, const kilnorsim::Config &aConfig) {
                            if (emptyPath(aPath))
                                return PLS_ERR_ARGUMENT;
                            const std::vector<std::uint8_t> eeprom = kilnorsim::loadEeprom(aDir, aConfig);
                            if (aVerify == 1 && kilnorsim::loadEeprom(aDir, aConfig) != eeprom)
                                return PLS_ERR_DEVICE;
                            const std::vector<std::uint8_t> file = kilnorsim::encodeDump(eeprom);
                            return kilnorsim::writeFile(aPath, file.data(), file.size()) ? PLS_OK : PLS_ERR_FILE;
                        });
}

int32_t PLESSA_CALL plsProgram(const char *aPath, int32_t aVerify)
{
    return runOperation(
        callText("plsProgram", aPath, aVerify), "plsProgram",
        [&](const std::string &aDir, const kilnorsim::Config &aConfig) {
            if (emptyPath(aPath))
                return PLS_ERR_ARGUMENT;
            // The size limit keeps a huge or hostile file from being read whole.
            std::vector<std::uint8_t> file;
            std::vector<std::uint8_t> image;
            if (!kilnorsim::readFile(aPath, kilnorsim::kDumpHeaderSize + aConfig.eepromSize, file) ||
                !kilnorsim::decodeDump(file.data(), file.size(), aConfig.eepromSize, image))
                return PLS_ERR_FILE;
            std::vector<std::uint8_t> eeprom = kilnorsim::loadEeprom(aDir, aConfig);
            std::copy(image.begin(), image.end(), eeprom.begin());
            if (!kilnorsim::saveEeprom(aDir, eeprom))
                return PLS_ERR_DEVICE;
            if (aVerify == 1 &&
                !std::equal(image.begin(), image.end(), kilnorsim::loadEeprom(aDir, aConfig).begin()))
                return PLS_ERR_DEVICE;
            return PLS_OK;
        });
}

void PLESSA_CALL plsClose(void)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gOpen = false;
    gInterface = 0;
    kilnorsim::logCall(callText("plsClose"));
}

} // extern "C"
