// Helpers every test folder shares: a scratch folder per test, whole-file
// reads and writes, and the errors the shared message handler reported.
#ifndef NVT_TESTS_COMMON_TESTSUPPORT_H
#define NVT_TESTS_COMMON_TESTSUPPORT_H

#include "support/msghandler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

using Words = std::vector<uint16_t>;

// A fresh, empty folder under the system's temporary folder, named after
// the running test (and aTag), removed when the object goes.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& aTag = "")
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "nvt_";
        if (info != nullptr) name += std::string(info->test_suite_name()) + "_" + info->name();
        if (!aTag.empty()) name += "_" + aTag;
        mPath = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
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
