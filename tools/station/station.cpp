// Station program: drives NivoraTest through its public interface as a
// production test station does, one line per step.
//
//   station [--transport T] [--keydb PATH] [--xbv PATH]
//
// The default transport is the simulated device "sim". Without --xbv the
// station builds a production-test firmware for the simulated chip and
// loads that.
#include "nivoratest.h"
#include "xbvbuilder.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct Options {
    std::string transport = "sim";
    const char* keyDb = nullptr;
    std::string xbv;
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: station [--transport T] [--keydb PATH] [--xbv PATH]\n"
                 "  --transport T  transport string (default \"sim\")\n"
                 "  --keydb PATH   CS key database\n"
                 "  --xbv PATH     production-test firmware (default: one built for the simulated chip)\n");
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
        } else {
            return false;
        }
    }
    return true;
}

// Prints one step line: name, result code, value and time in milliseconds.
class Steps {
public:
    bool Report(const char* aStep, int32_t aCode, const std::string& aValue,
                std::chrono::steady_clock::time_point aStart, NvtHandle aHandle)
    {
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - aStart).count();
        bool pass = aCode >= 0;
        std::printf("%-4s %-24s %4d  %-32s %8.1f ms\n", pass ? "PASS" : "FAIL", aStep,
                    static_cast<int>(aCode), aValue.c_str(), ms);
        if (!pass && aHandle != nullptr) std::printf("     %s\n", nvtGetLastError(aHandle));
        mFailed |= !pass;
        return pass;
    }
    bool failed() const { return mFailed; }

private:
    bool mFailed = false;
};

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

    if (rc >= 0) {
        // The firmware file: the one given, or one built for the simulated chip.
        std::unique_ptr<fixtures::TempFile> built;
        std::string xbv = options.xbv;
        if (xbv.empty()) {
            built.reset(new fixtures::TempFile(fixtures::BuildPtFirmware(fixtures::PtFirmwareSpec())));
            xbv = built->path();
        }
        t0 = std::chrono::steady_clock::now();
        rc = nvtLoadPtFirmware(handle, xbv.c_str(), 0);
        steps.Report("load firmware", rc, options.xbv.empty() ? "built for the simulator" : options.xbv, t0, handle);
    }
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

    t0 = std::chrono::steady_clock::now();
    rc = nvtClose(handle);
    steps.Report("close", rc, "", t0, nullptr);

    std::printf("%s\n", steps.failed() ? "RESULT: FAIL" : "RESULT: PASS");
    return steps.failed() ? 1 : 0;
}
