// Fuzz target of the KEYR key-file reader.
//
// Every input is parsed as a KEYR file bound to a small key database. A file
// that parses is loaded into an image cache through the KEYR object; what
// the cache then holds is written as a KEYR file and read back, and the two
// caches must hold the same CS data.
#include "cscache/cskeysinfo.h"
#include "cscache/keyrfile.h"
#include "support/msghandler.h"
#include "cscache/nvimagecache.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>

namespace {

const char kDatabase[] =
    "<PSKEY_DATABASE>"
    "<BUILD BUILD_ID=\"5\">"
    "<KEY NAME=\"PSKEY_A\" ID=\"291\" OFFSET=\"1\" LENGTH=\"2\"><LABEL>My label</LABEL>"
    "<DEFAULT>\n<DEFAULTVALUE>1</DEFAULTVALUE>\n<DEFAULTVALUE>2</DEFAULTVALUE>\n</DEFAULT></KEY>"
    "<KEY NAME=\"TRIM\" ID=\"2\" OFFSET=\"3\" LENGTH=\"1\" MIN=\"16\" MAX=\"32\"><LABEL>Trim</LABEL>"
    "<DEFAULT>\n<DEFAULTVALUE>24</DEFAULTVALUE>\n</DEFAULT></KEY>"
    "<KEY NAME=\"BIG\" ID=\"4\" OFFSET=\"4\" LENGTH=\"3\"><DESCRIPTION>no label</DESCRIPTION>"
    "<DEFAULT>\n<DEFAULTVALUE>7</DEFAULTVALUE>\n<DEFAULTVALUE>8</DEFAULTVALUE>\n<DEFAULTVALUE>9</DEFAULTVALUE>\n</DEFAULT></KEY>"
    "</BUILD>"
    "<BUILD BUILD_ID=\"9\">"
    "<KEY NAME=\"OTHER\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\"><LABEL>x</LABEL>"
    "<DEFAULT>\n<DEFAULTVALUE>0</DEFAULTVALUE>\n</DEFAULT></KEY>"
    "</BUILD>"
    "</PSKEY_DATABASE>";

CCsKeysInfo& Keys()
{
    static CCsKeysInfo* keys = [] {
        auto* k = new CCsKeysInfo(TheMsgHnd::Instance().SharedHandler());
        if (k->LoadXMLFromBuffer(kDatabase, sizeof(kDatabase) - 1, "fuzz.xml") != kCsOk) std::abort();
        return k;
    }();
    return *keys;
}

// Files of this run: a random tag keeps parallel fuzzing jobs apart.
std::string TempPath(const char* aName)
{
    static const std::string tag = std::to_string(std::random_device{}());
    return (std::filesystem::temp_directory_path() / ("keyr_fuzz_" + tag + "_" + aName)).string();
}

bool WriteAll(const std::string& aPath, const uint8_t* aData, size_t aSize)
{
    std::FILE* f = std::fopen(aPath.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(aData, 1, aSize, f) == aSize;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    CCsKeysInfo& keys = Keys();
    TheMsgHnd::Instance().SharedHandler().SetErrorHolder(false);
    keys.SetInterestedVersion(5);

    // The parser alone, from memory.
    {
        CKeyrFile file(&keys);
        std::istringstream in(std::string(reinterpret_cast<const char*>(aData), aSize));
        const bool ok = file.ReadFromStream(in);
        if (ok != file.ErrorText().empty()) std::abort();
    }

    // The whole path through a file and the cache.
    keys.SetInterestedVersion(5);
    const std::string input = TempPath("in.keyr");
    if (!WriteAll(input, aData, aSize)) return 0;
    CNvImageCache cache(&keys, nullptr);
    if (cache.ReadFile(input) != kCsOk) return 0;
    std::vector<uint16_t> first;
    if (cache.GetCsData(first) != kCsOk) std::abort();

    const std::string output = TempPath("out.keyr");
    if (cache.WriteFile(output) != kCsOk) std::abort();
    CNvImageCache again(&keys, nullptr);
    if (again.ReadFile(output) != kCsOk) std::abort();
    std::vector<uint16_t> second;
    if (again.GetCsData(second) != kCsOk || first != second) std::abort();
    return 0;
}
