// Helpers every test folder shares: a scratch folder per test, whole-file
// reads and writes, and the errors the shared message handler reported.
#ifndef NVT_TESTS_COMMON_TESTSUPPORT_H
#define NVT_TESTS_COMMON_TESTSUPPORT_H

#include "support/msghandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

using Words = std::vector<uint16_t>;

// A new folder of this run alone under the system's temporary folder, named
// aPrefix and a random tag: runs at the same time (ctest -j, a second build
// folder, another checkout on the same machine) never write into or remove
// each other's files. Empty when none can be made.
inline std::string UniqueTempDir(const std::string& aPrefix)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return {};
    std::random_device random;
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (uint64_t attempt = 0; attempt < 100; ++attempt) {
        const uint64_t tag = (now + attempt) ^ (static_cast<uint64_t>(random()) << 20);
        const fs::path dir = base / (aPrefix + std::to_string(tag % 1000000007u));
        if (fs::create_directory(dir, ec)) return dir.string();
    }
    return {};
}

// A number from the environment (decimal or 0x), aDefault when unset.
inline uint64_t EnvNumber(const char* aName, uint64_t aDefault)
{
    const char* text = std::getenv(aName);
    if (text == nullptr || *text == '\0') return aDefault;
    return std::strtoull(text, nullptr, 0);
}

// A fresh, empty folder of this run under the system's temporary folder,
// named after the running test (and aTag), removed when the object goes.
// Its path is empty when no folder could be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& aTag = "")
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "nvt_";
        if (info != nullptr) name += std::string(info->test_suite_name()) + "_" + info->name();
        if (!aTag.empty()) name += "_" + aTag;
        mPath = UniqueTempDir(name + "_");
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path() const { return mPath.string(); }
    // The path of aName inside the folder.
    std::string File(const std::string& aName) const { return (mPath / aName).string(); }

private:
    std::filesystem::path mPath;
};

inline std::string ReadWholeFile(const std::string& aPath)
{
    std::ifstream in(aPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Text files are written in the platform's text mode: on Windows a line
// ends in CR LF on disk.
inline std::string TextOnDisk(const std::string& aLines)
{
#if defined(_WIN32)
    std::string text;
    for (char c : aLines) {
        if (c == '\n') text += '\r';
        text += c;
    }
    return text;
#else
    return aLines;
#endif
}

inline void WriteWholeFile(const std::string& aPath, const std::string& aText)
{
    std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
    out << aText;
}

// Starts a fresh error holder on the shared handler; LastError() then tells
// what was reported since.
inline void ResetErrors()
{
    TheMsgHnd::Instance().SharedHandler().SetErrorHolder(false);
}

struct Reported {
    bool pending = false;
    int16_t code = 0;
    std::string text;
};

inline Reported LastError()
{
    Reported r;
    r.pending = GetPendingError(TheMsgHnd::Instance().SharedHandler(), r.code, r.text);
    return r;
}

// The text of the last error reported, empty when none; its code in aCode.
inline std::string LastErrorText(int16_t* aCode = nullptr)
{
    const Reported r = LastError();
    if (aCode != nullptr) *aCode = r.code;
    return r.text;
}

}  // namespace testsupport

#endif
