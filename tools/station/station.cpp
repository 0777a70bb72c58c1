// Station program: drives NivoraTest through its public interface as a
// production test station does, one line per step.
//
//   station [--transport T] [--keydb PATH] [--xbv PATH] [--uart PORT] [--uart-wait]
//
// The default transport is the simulated device "sim". After connecting,
// the station reads the CS image from the chip's EEPROM (a blank chip gets
// a new image with the key defaults), writes the next Bluetooth address and
// the crystal trim key, and writes the CS back; with nvm=DIR in the
// transport the next run continues from what this one wrote. Without --xbv
// the station builds a production-test firmware for the simulated chip and
// loads that. With the firmware loaded it runs the production sequence:
// crystal trim, carrier on and off, a transmit burst until its counter
// reads 0, a receive count, PIO/AIO/LED set and read back, and the UART
// loopback on the port given with --uart, or on the simulated chip's UART.
#include "nivoratest.h"
#include "devsim.h"
#include "uart.h"
#include "xbvbuilder.h"
#include "nvimagegen.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

struct Options {
    std::string transport = "sim";
    const char* keyDb = nullptr;
    std::string xbv;
    std::string uartPort;     // empty: the simulated chip's UART
    bool uartWait = false;    // keep the simulated UART open for a serial terminal
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: station [--transport T] [--keydb PATH] [--xbv PATH] [--uart PORT] [--uart-wait]\n"
                 "  --transport T  transport string (default \"sim\")\n"
                 "  --keydb PATH   CS key database\n"
                 "  --xbv PATH     production-test firmware (default: one built for the simulated chip)\n"
                 "  --uart PORT    serial port wired to the chip's UART (default: the simulated chip's)\n"
                 "  --uart-wait    before closing, wait for Enter so a serial terminal can try the\n"
                 "                 simulated chip's UART\n");
}

bool ParseArgs(int argc, char** argv, Options& aOptions)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--transport" || arg == "-t") && i + 1 < argc) {
            aOptions.transport = argv[++i];
        } else if (arg == "--keydb" && i + 1 < argc) {
            aOptions.keyDb = argv[++i];
        } else if (arg == "--xbv" && i + 1 < argc) {
            aOptions.xbv = argv[++i];
        } else if (arg == "--uart" && i + 1 < argc) {
            aOptions.uartPort = argv[++i];
        } else if (arg == "--uart-wait") {
            aOptions.uartWait = true;
        } else {
            return false;
        }
    }
    return true;
}

// Prints one step line: name, result code, value and time in milliseconds.
class Steps {
public:
    // aExpected false: the call worked but the value read back is wrong.
    bool Report(const char* aStep, int32_t aCode, const std::string& aValue,
                std::chrono::steady_clock::time_point aStart, NvtHandle aHandle, bool aExpected = true)
    {
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - aStart).count();
        bool pass = aCode >= 0 && aExpected;
        std::printf("%-4s %-24s %4d  %-32s %8.1f ms\n", pass ? "PASS" : "FAIL", aStep,
                    static_cast<int>(aCode), aValue.c_str(), ms);
        if (aCode < 0 && aHandle != nullptr) std::printf("     %s\n", nvtGetLastError(aHandle));
        mFailed |= !pass;
        return pass;
    }
    bool failed() const { return mFailed; }

private:
    bool mFailed = false;
};

std::string Hex8(uint32_t aValue)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(aValue));
    return text;
}

// Settings of the production sequence.
constexpr uint16_t kXtalTrim = 32;
constexpr uint8_t kChannel = 19;
constexpr uint16_t kCarrierMhz = 2440;
constexpr uint8_t kTxLength = 37;
constexpr uint8_t kPayload = 0;
constexpr uint16_t kTxPackets = 100;
constexpr int kMaxTxReads = 1000;       // a burst that never ends fails the step
constexpr uint32_t kPioMask = 0x000000FF;
constexpr uint32_t kPioLevels = 0x000000A5;
constexpr uint8_t kAioChannel = 1;
constexpr uint16_t kAioValue = 0x0200;
constexpr uint32_t kUartBaud = 115200;

// The CS image of the simulated chip: version kCsVersion of the sample key
// database, laid out in kCsWords words, and a main firmware block with its
// build identifier. A blank chip gets this image with every key at its
// database default.
constexpr uint16_t kCsVersion = 13;
constexpr uint16_t kCsWords = 97;
constexpr uint16_t kMainBuildId = 2603;
constexpr uint16_t kCsKeysWord = 0x0640;

std::string AddressText(const uint16_t aWords[4])
{
    // NAP:UAP:LAP, the LAP in two words (high word first).
    char text[32];
    std::snprintf(text, sizeof(text), "%04x:%02x:%02x%04x", static_cast<unsigned>(aWords[3]),
                  static_cast<unsigned>(aWords[2] & 0xFF), static_cast<unsigned>(aWords[0] & 0xFF),
                  static_cast<unsigned>(aWords[1]));
    return text;
}

// Starts the cache from a new image: header, zeroed CS block and firmware
// block from the image builder, then every key's default merged in from a
// KEYR file that names only the version.
int32_t NewCsImage(NvtHandle aHandle)
{
    nvimagegen::ImageSpec plan;
    plan.csData.assign(kCsWords, 0);
    plan.csData[0] = kCsVersion;
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(kMainBuildId, kCsKeysWord));
    fixtures::TempFile image(std::vector<uint8_t>(), ".xuv");
    if (!nvimagegen::WriteImageFile(image.path(), nvimagegen::BuildImage(plan), false)) return -1;
    int32_t rc = nvtCsCacheReadFromFile(aHandle, image.c_str());
    if (rc < 0) return rc;
    fixtures::TempFile defaults(std::vector<uint8_t>(), ".keyr");
    {
        std::ofstream out(defaults.path());
        out << ">DECIMAL_CS_VERSION=" << kCsVersion << "\n";
    }
    return nvtCsCacheFileMerge(aHandle, defaults.c_str(), 0);
}

// Reads the CS image from the chip's EEPROM (a blank chip gets a new one),
// writes the next Bluetooth address and the crystal trim, and writes the CS
// back. True when the cache holds CS keys for the firmware.
bool RunCsSequence(NvtHandle aHandle, Steps& aSteps, uint16_t aXtalTrim)
{
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    int32_t rc = nvtCsCacheReadFromChip(aHandle, NVT_NVM_EEPROM, 0);
    bool fresh = false;
    if (rc < 0) {
        std::printf("NEW  %-24s       %s\n", "read CS (eeprom)", nvtGetLastError(aHandle));
        t0 = Clock::now();
        rc = NewCsImage(aHandle);
        fresh = true;
        if (!aSteps.Report("new CS image", rc, "version " + std::to_string(kCsVersion) + ", defaults", t0, aHandle))
            return false;
    }
    uint16_t version = 0;
    int32_t versionRc = nvtCsCacheGetVersion(aHandle, &version);
    uint16_t address[4] = {0, 0, 0, 0};
    uint16_t length = 4;
    int32_t addressRc = nvtCsCacheReadItem(aHandle, "BLUETOOTH_ADDRESS", address, &length);
    if (!fresh && !aSteps.Report("read CS (eeprom)", versionRc < 0 ? versionRc : addressRc,
                                 "version " + std::to_string(version) + ", " + AddressText(address), t0, aHandle))
        return false;

    // The next address: the LAP counts up by one from one device to the next.
    uint32_t lap = (static_cast<uint32_t>(address[0] & 0xFF) << 16 | address[1]) + 1;
    address[0] = static_cast<uint16_t>((lap >> 16) & 0xFF);
    address[1] = static_cast<uint16_t>(lap & 0xFFFF);
    t0 = Clock::now();
    length = 4;
    rc = nvtCsCacheWriteItem(aHandle, "BLUETOOTH_ADDRESS", address, &length);
    aSteps.Report("write bd address", rc, AddressText(address), t0, aHandle);

    uint16_t trim = aXtalTrim;
    length = 1;
    t0 = Clock::now();
    rc = nvtCsCacheWriteItem(aHandle, "CRYSTAL_TRIM", &trim, &length);
    aSteps.Report("write xtal trim key", rc, std::to_string(aXtalTrim), t0, aHandle);

    // A new image goes to the chip whole; otherwise only its CS block.
    t0 = Clock::now();
    rc = nvtCsCacheWriteToChip(aHandle, NVT_NVM_EEPROM, fresh ? 0 : 1);
    return aSteps.Report("write CS (eeprom)", rc, fresh ? "whole image" : "CS block", t0, aHandle);
}

// The port of the UART loopback: the one given, or the simulated chip's.
std::string UartPort(const Options& aOptions)
{
    if (!aOptions.uartPort.empty()) return aOptions.uartPort;
    std::shared_ptr<devsim::Chip> chip = devsim::LastOpened();
    return chip ? devsim::UartDeviceName(*chip) : std::string();
}

void RunProductionSequence(NvtHandle aHandle, Steps& aSteps, const Options& aOptions)
{
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    int32_t rc = nvtRadSetXtalTrim(aHandle, kXtalTrim);
    aSteps.Report("xtal trim", rc, std::to_string(kXtalTrim), t0, aHandle);

    t0 = Clock::now();
    rc = nvtRadCwStart(aHandle, kChannel, kCarrierMhz);
    aSteps.Report("carrier on", rc, "channel " + std::to_string(kChannel) + ", " + std::to_string(kCarrierMhz) + " MHz", t0, aHandle);
    t0 = Clock::now();
    rc = nvtRadStop(aHandle);
    aSteps.Report("carrier off", rc, "", t0, aHandle);

    t0 = Clock::now();
    rc = nvtRadTxStart(aHandle, kChannel, kTxLength, kPayload, kTxPackets);
    aSteps.Report("tx start", rc, std::to_string(kTxPackets) + " packets", t0, aHandle);
    if (rc >= 0) {
        // The counter holds the packets still to send; 0 ends the burst.
        t0 = Clock::now();
        uint16_t left = kTxPackets;
        int reads = 0;
        std::string trail;
        while (rc >= 0 && left != 0 && reads < kMaxTxReads) {
            if (reads > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            rc = nvtRadTxGetPkts(aHandle, &left);
            ++reads;
            if (rc >= 0 && reads <= 8) trail += (trail.empty() ? "" : " ") + std::to_string(left);
        }
        if (reads > 8) trail += " ...";
        aSteps.Report("tx burst", rc, trail + " (" + std::to_string(reads) + " reads)", t0, aHandle, left == 0);
    }

    t0 = Clock::now();
    rc = nvtRadRxStart(aHandle, kChannel);
    aSteps.Report("rx start", rc, "channel " + std::to_string(kChannel), t0, aHandle);
    if (rc >= 0) {
        uint16_t received = 0;
        t0 = Clock::now();
        rc = nvtRadRxGetPkts(aHandle, &received);
        aSteps.Report("rx packets", rc, std::to_string(received), t0, aHandle);
        t0 = Clock::now();
        rc = nvtRadStop(aHandle);
        aSteps.Report("rx stop", rc, "", t0, aHandle);
    }

    t0 = Clock::now();
    rc = nvtPioAssign(aHandle, kPioMask, kPioMask);
    aSteps.Report("pio assign", rc, Hex8(kPioMask), t0, aHandle);
    t0 = Clock::now();
    rc = nvtPioSet(aHandle, kPioLevels, 0);
    aSteps.Report("pio set", rc, Hex8(kPioLevels), t0, aHandle);
    uint32_t pioA = 0, pioB = 0;
    t0 = Clock::now();
    rc = nvtPioGet(aHandle, &pioA, &pioB);
    aSteps.Report("pio read back", rc, Hex8(pioA) + " " + Hex8(pioB), t0, aHandle,
                  (pioA & kPioMask) == kPioLevels);

    t0 = Clock::now();
    rc = nvtLedSet(aHandle, 1, 2, 500, 80);
    aSteps.Report("led set", rc, "led 1, mode 2, 80%", t0, aHandle);

    t0 = Clock::now();
    rc = nvtAioSet(aHandle, kAioChannel, kAioValue);
    aSteps.Report("aio set", rc, std::to_string(kAioValue), t0, aHandle);
    uint16_t aio = 0;
    t0 = Clock::now();
    rc = nvtAioGet(aHandle, kAioChannel, &aio);
    aSteps.Report("aio read back", rc, std::to_string(aio), t0, aHandle, aio == kAioValue);

    const std::string port = UartPort(aOptions);
    if (port.empty()) {
        std::printf("SKIP %-24s       no serial port (give one with --uart)\n", "uart loopback");
        return;
    }
    t0 = Clock::now();
    rc = nvtUartLbTest(aHandle, port.c_str(), kUartBaud);
    aSteps.Report("uart loopback", rc, port + " @ " + std::to_string(kUartBaud), t0, aHandle);

    if (aOptions.uartWait && aOptions.uartPort.empty()) {
        std::printf("The simulated chip's UART is %s at %u baud (8N1); try it with a serial\n"
                    "terminal, then press Enter to finish.\n",
                    port.c_str(), static_cast<unsigned>(kUartBaud));
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseArgs(argc, argv, options)) {
        Usage();
        return 2;
    }

    uint8_t v[4] = {0, 0, 0, 0};
    nvtGetVersion(&v[0], &v[1], &v[2], &v[3]);
    std::printf("NivoraTest %u.%u.%u.%u, transport \"%s\"\n", v[0], v[1], v[2], v[3],
                options.transport.c_str());

    Steps steps;
    NvtHandle handle = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    int32_t rc = nvtOpen(options.transport.c_str(), options.keyDb, &handle);
    steps.Report("open", rc, rc >= 0 ? "Dusken (pok)" : "", t0, handle);

    if (rc >= 0) {
        uint16_t chipId = 0;
        t0 = std::chrono::steady_clock::now();
        rc = nvtGetChipId(handle, &chipId);
        char text[16];
        std::snprintf(text, sizeof(text), "0x%04x", chipId);
        steps.Report("chip id", rc, text, t0, handle);
    }

    bool csKeys = false;
    if (rc >= 0) csKeys = RunCsSequence(handle, steps, kXtalTrim);

    if (rc >= 0) {
        // The firmware file: the one given, or one built for the simulated chip.
        std::unique_ptr<fixtures::TempFile> built;
        std::string xbv = options.xbv;
        if (xbv.empty()) {
            fixtures::PtFirmwareSpec plan;
            plan.csKeysVersion = kCsVersion;
            plan.csKeysWords = kCsWords;
            plan.csKeysWord = kCsKeysWord;
            built.reset(new fixtures::TempFile(fixtures::BuildPtFirmware(plan)));
            xbv = built->path();
        }
        t0 = std::chrono::steady_clock::now();
        rc = nvtLoadPtFirmware(handle, xbv.c_str(), csKeys ? 1 : 0);
        steps.Report("load firmware", rc,
                     std::string(options.xbv.empty() ? "built for the simulator" : options.xbv) +
                         (csKeys ? ", CS keys" : ""),
                     t0, handle);
    }
    const bool loaded = rc >= 0;
    if (rc >= 0) {
        char text[256] = "";
        uint16_t length = sizeof(text);
        t0 = std::chrono::steady_clock::now();
        rc = nvtGetPtFwBuildInfo(handle, nullptr, &length, text);
        steps.Report("build id text", rc, text, t0, handle);

        uint16_t buildId = 0;
        t0 = std::chrono::steady_clock::now();
        int32_t idRc = nvtGetPtFwBuildId(handle, nullptr, &buildId);
        steps.Report("build id", idRc, std::to_string(buildId), t0, handle);

        uint32_t api = 0;
        t0 = std::chrono::steady_clock::now();
        int32_t apiRc = nvtGetPtFwApiVersion(handle, &api);
        char apiText[16];
        std::snprintf(apiText, sizeof(apiText), "0x%08x", static_cast<unsigned>(api));
        steps.Report("api version", apiRc, apiText, t0, handle);
    }
    if (loaded) RunProductionSequence(handle, steps, options);

    t0 = std::chrono::steady_clock::now();
    rc = nvtClose(handle);
    steps.Report("close", rc, "", t0, nullptr);

    std::printf("%s\n", steps.failed() ? "RESULT: FAIL" : "RESULT: PASS");
    return steps.failed() ? 1 : 0;
}
