// nvimagegen: writes a whole NVM image (header, CS block, main firmware block
// with its lookup table and build id) as an XUV or IMG file.
//
//   nvimagegen [options] <output file>
//     --img                 byte addresses (IMG); the default is XUV
//     --cs-version <n>      CS version, word 0 of the CS block (default 1)
//     --build-id <n>        firmware build id (default 1)
//     --cs-words <n>        minimum length of the CS block in words (default 16)
//     --cs-keys-word <n>    word address of the CS keys block in the main table (default 0: none)
//     --fw-pad <n>          extra firmware words after the build id (default 0)
//     --keydb <file>        lay the CS block out by this key database
//     --key <NAME>=<v,...>  value of one key (repeatable; needs --keydb); every
//                           word must lie in the key's range and the count
//                           must be the key's length
// Numbers may be decimal or 0x-prefixed hexadecimal.
#include "cscache/cskeysinfo.h"
#include "nvimagegen.h"
#include "numberoption.h"
#include "support/msghandler.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// One word of a --key value: the whole text a number from 0 to 0xFFFF.
bool ParseWord(const std::string& aText, uint16_t& aValue)
{
    uint64_t value = 0;
    if (!devsim::ParseNumber(aText, 0xFFFF, value)) return false;
    aValue = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Writes a whole NVM image as an XUV or IMG file"};
    bool byteAddressed = false;
    uint16_t csVersion = 1, buildId = 1, csWords = 16, fwPad = 0, csKeysWord = 0;
    std::string keyDb, output;
    std::vector<std::string> keys;
    app.add_flag("--img", byteAddressed, "byte addresses (IMG); the default is XUV");
    fixtures::AddNumber(app, "--cs-version", csVersion, "CS version, word 0 of the CS block");
    fixtures::AddNumber(app, "--build-id", buildId, "firmware build id");
    fixtures::AddNumber(app, "--cs-words", csWords, "minimum length of the CS block in words");
    fixtures::AddNumber(app, "--cs-keys-word", csKeysWord, "word address of the CS keys block named by the main table");
    fixtures::AddNumber(app, "--fw-pad", fwPad, "extra firmware words after the build id");
    app.add_option("--keydb", keyDb, "lay the CS block out by this key database");
    app.add_option("--key", keys, "NAME=v1,v2,... value of one key (needs --keydb)");
    app.add_option("output", output, "output file")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    std::map<std::string, std::vector<uint16_t>> values;
    for (const std::string& key : keys) {
        const size_t eq = key.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "nvimagegen: --key needs NAME=v1,v2,...: '%s'\n", key.c_str());
            return 2;
        }
        std::vector<uint16_t> words;
        size_t pos = eq + 1;
        while (pos <= key.size()) {
            const size_t comma = std::min(key.find(',', pos), key.size());
            uint16_t word = 0;
            if (!ParseWord(key.substr(pos, comma - pos), word)) {
                std::fprintf(stderr, "nvimagegen: bad value in --key '%s'\n", key.c_str());
                return 2;
            }
            words.push_back(word);
            pos = comma + 1;
        }
        values[key.substr(0, eq)] = words;
    }
    if (!values.empty() && keyDb.empty()) {
        std::fprintf(stderr, "nvimagegen: --key needs --keydb\n");
        return 2;
    }

    nvimagegen::ImagePlan plan;
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
            CsKeyDetails details;
            if (database.KeyIdFromName(entry.first, id) != kCsOk || database.KeyDetailsFromId(id, details) != kCsOk) {
                std::fprintf(stderr, "nvimagegen: build %u has no key '%s'\n", csVersion, entry.first.c_str());
                return 1;
            }
            // An image must never carry a value its own database forbids.
            if (entry.second.size() != details.length) {
                std::fprintf(stderr, "nvimagegen: key '%s' has %u words, %zu given\n", entry.first.c_str(),
                             static_cast<unsigned>(details.length), entry.second.size());
                return 1;
            }
            for (uint16_t word : entry.second) {
                if (word < details.min || word > details.max) {
                    std::fprintf(stderr, "nvimagegen: value %u of key '%s' is outside its range %u to %u\n",
                                 static_cast<unsigned>(word), entry.first.c_str(), static_cast<unsigned>(details.min),
                                 static_cast<unsigned>(details.max));
                    return 1;
                }
            }
        }
        plan.csData = nvimagegen::BuildCsData(database, csVersion, values, csWords);
    } else {
        plan.csData.assign(csWords == 0 ? 1 : csWords, 0);
        plan.csData[0] = csVersion;
    }
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(buildId, csKeysWord, fwPad));
    if (!nvimagegen::WriteImageFile(output, nvimagegen::BuildImage(plan), byteAddressed)) {
        std::fprintf(stderr, "nvimagegen: cannot write '%s'\n", output.c_str());
        return 1;
    }
    return 0;
}
