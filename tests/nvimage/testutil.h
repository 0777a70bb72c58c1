// Helpers of the image tests: a scratch directory and the last reported
// error of the shared message handler.
#ifndef NVT_TESTS_NVIMAGE_TESTUTIL_H
#define NVT_TESTS_NVIMAGE_TESTUTIL_H

#include "support/msghandler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace nvimagetest {

// A fresh directory per test, removed afterwards.
class ScratchDir {
public:
    ScratchDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        mPath = std::filesystem::temp_directory_path() /
                (std::string("nvimage_") + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
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

inline void WriteWholeFile(const std::string& aPath, const std::string& aText)
{
    std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
    out << aText;
}

// Starts a fresh error holder on the shared handler; LastError() then tells
// what was reported since.
inline void ResetErrors() { TheMsgHnd::Instance().SharedHandler().SetErrorHolder(false); }

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

}  // namespace nvimagetest

#endif
