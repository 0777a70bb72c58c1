// nvimagegen: writes a whole NVM image (header, CS block, main firmware block
// with its lookup table and build id) as an XUV or IMG file.
//
//   nvimagegen [options] <output file>
//     --img                 byte addresses (IMG); the default is XUV
//     --cs-version <n>      CS version, word 0 of the CS block (default 1)
//     --build-id <n>        firmware build id (default 1)
//     --cs-words <n>        minimum length of the CS block in words (default 16)
//     --fw-pad <n>          extra firmware words after the build id (default 0)
//     --keydb <file>        lay the CS block out by this key database
//     --key <NAME>=<v,...>  value of one key (repeatable; needs --keydb)
// Numbers may be decimal or 0x-prefixed hexadecimal.
#include "cscache/cskeysinfo.h"
#include "nvimagegen.h"
#include "options.h"
#include "support/msghandler.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

bool ParseNumber(const std::string& aText, uint16_t& aValue)
{
    uint64_t value = 0;
    if (!devsim::ParseNumber(aText, 0xFFFF, value)) return false;
    aValue = static_cast<uint16_t>(value);
    return true;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: nvimagegen [--img] [--cs-version n] [--build-id n] [--cs-words n] [--fw-pad n]\n"
                 "                  [--keydb file [--key NAME=v1,v2,...]...] <output file>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    bool byteAddressed = false;
    uint16_t csVersion = 1, buildId = 1, csWords = 16, fwPad = 0;
    std::string keyDb, output;
    std::map<std::string, std::vector<uint16_t>> values;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        uint16_t* number = nullptr;
        if (arg == "--img") {
            byteAddressed = true;
            continue;
        }
        if (arg == "--cs-version") number = &csVersion;
        else if (arg == "--build-id") number = &buildId;
        else if (arg == "--cs-words") number = &csWords;
        else if (arg == "--fw-pad") number = &fwPad;
        if (number != nullptr) {
            if (!hasValue || !ParseNumber(argv[++i], *number)) return Usage();
            continue;
        }
        if (arg == "--keydb" && hasValue) {
            keyDb = argv[++i];
        } else if (arg == "--key" && hasValue) {
            const std::string plan = argv[++i];
            const size_t eq = plan.find('=');
            if (eq == std::string::npos || eq == 0) return Usage();
            std::vector<uint16_t> words;
            size_t pos = eq + 1;
            while (pos <= plan.size()) {
                const size_t comma = std::min(plan.find(',', pos), plan.size());
                uint16_t word = 0;
                if (!ParseNumber(plan.substr(pos, comma - pos), word)) return Usage();
                words.push_back(word);
                pos = comma + 1;
            }
            values[plan.substr(0, eq)] = words;
        } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
            output = arg;
        } else {
            return Usage();
        }
    }
    if (output.empty() || (!values.empty() && keyDb.empty())) return Usage();

    nvimagegen::ImageSpec plan;
    if (!keyDb.empty()) {
        CCsKeysInfo database(TheMsgHnd::Instance().SharedHandler());
        if (database.LoadXML(keyDb) != kCsOk) {
            std::fprintf(stderr, "nvimagegen: cannot load key database '%s'\n", keyDb.c_str());
            return 1;
        }
        if (database.SetInterestedVersion(csVersion) != kCsOk) {
            std::fprintf(stderr, "nvimagegen: the key database has no build %u\n", csVersion);
            return 1;
        }
        for (const auto& entry : values) {
            uint16_t id = 0;
            if (database.KeyIdFromName(entry.first, id) != kCsOk) {
                std::fprintf(stderr, "nvimagegen: build %u has no key '%s'\n", csVersion, entry.first.c_str());
                return 1;
            }
        }
        plan.csData = nvimagegen::BuildCsData(database, csVersion, values, csWords);
    } else {
        plan.csData.assign(csWords == 0 ? 1 : csWords, 0);
        plan.csData[0] = csVersion;
    }
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(buildId, 0, fwPad));
    if (!nvimagegen::WriteImageFile(output, nvimagegen::BuildImage(plan), byteAddressed)) {
        std::fprintf(stderr, "nvimagegen: cannot write '%s'\n", output.c_str());
        return 1;
    }
    return 0;
}
