#include "support/fileutil.h"
#include "support/msghandler.h"
#include "support/stringutil.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

class StatusObserver : public CObserver {
public:
    int32_t OnMessage(int32_t aKind, int32_t, const char* aText) override
    {
        if (aKind == 2) statuses.push_back(aText);
        return 0;
    }
    void OnProgress(int32_t, int32_t, uint16_t) override {}
    std::vector<std::string> statuses;
};

CMessageHandler& Shared()
{
    return TheMsgHnd::Instance().SharedHandler();
}

class FileUtilTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::ResetErrors();
        Shared().SetObserver(&observer);
    }
    void TearDown() override
    {
        // A test may leave the folder read-only; the scratch folder must go.
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
    }
    static std::string Contents(const fs::path& aPath) { return testsupport::ReadWholeFile(aPath.string()); }
    StatusObserver observer;
    testsupport::ScratchDir scratch;
    fs::path dir{scratch.path()};
};

TEST(StringUtil, TrimsTheSixWhiteSpaceCharactersOnly)
{
    using Trim = void (*)(std::string&);
    const Trim both = stringutil::TrimLeadingAndTrailingWhitespace;
    const Trim leading = stringutil::TrimLeadingWhitespace;
    const Trim trailing = stringutil::TrimTrailingWhitespace;
    struct Case {
        Trim trim;
        const char* in;
        const char* out;
    } cases[] = {
        {both, "  \tabc \r\n", "abc"},
        {both, " \t\f\v\n\r", ""},
        {leading, " \t\f\v\n\r", ""},
        {trailing, " \t\f\v\n\r", ""},
        {both, "", ""},
        {both, "\x01 a b \xa0", "\x01 a b \xa0"},  // control and non-ASCII bytes are not white space
        {leading, "\n x y\t", "x y\t"},
        {trailing, "\n x y\t", "\n x y"},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        c.trim(s);
        EXPECT_EQ(c.out, s) << c.in;
    }
}

TEST(FileUtilPaths, FileExtensionIsFromTheLastDotOfTheWholeName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"image.xuv", ".xuv"}, {"noextension", ""}, {"C:\\a.b\\c", ".b\\c"}, {"trailing.", "."}, {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, fileutil::GetFileExtension(c.first)) << c.first;
}

TEST(FileUtilPaths, DeterminePathComponent)
{
    struct Case {
        const char* path;
        bool absolute;
        const char* base;
    } cases[] = {
        {"C:\\dir\\file.img", true, "C:\\dir\\"},
        {"file.img", false, ""},
        {"\\\\server\\share", true, "\\\\server\\"},
        {"dir\\", false, "dir\\"},
        {"C:\\a/b\\c", true, "C:\\a/"},
        {"/usr/lib/x.xml", true, "/usr/lib/"},
        {"C:", true, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        std::string base = "stale";
        EXPECT_EQ(c.absolute, fileutil::DeterminePathComponent(c.path, base)) << c.path;
        EXPECT_EQ(c.base, base) << c.path;
    }
}

TEST_F(FileUtilTest, UacCheckLooksAtVersionAndProtectedFolders)
{
    fileutil::SystemFacts xp{true, true, 5, 1};
    EXPECT_FALSE(fileutil::MightUacMoveThisFile("C:\\Program Files\\x.xuv", xp));
    EXPECT_TRUE(observer.statuses.empty());

    fileutil::SystemFacts vista{true, true, 6, 0};
    EXPECT_TRUE(fileutil::MightUacMoveThisFile("c:\\program files\\x.xuv", vista));
    ASSERT_EQ(1u, observer.statuses.size());
    EXPECT_EQ("The Windows UAC (User Account Control) might have moved the file to a directory under the user's "
              "home directory.",
              observer.statuses[0]);
    EXPECT_TRUE(fileutil::MightUacMoveThisFile("C:\\Program Files\\x\\y.xuv", vista));
    EXPECT_TRUE(fileutil::MightUacMoveThisFile("C:\\WINDOWS\\y.xuv", vista));
    EXPECT_TRUE(fileutil::MightUacMoveThisFile("C:\\y.xuv", vista));
    EXPECT_FALSE(fileutil::MightUacMoveThisFile("D:\\Program Files\\y.xuv", vista));
    EXPECT_FALSE(fileutil::MightUacMoveThisFile("C:\\Data\\y.xuv", vista));
    EXPECT_EQ(4u, observer.statuses.size());

    // An unknown version goes on as on a new system.
    fileutil::SystemFacts unknown{true, false, 0, 0};
    EXPECT_TRUE(fileutil::MightUacMoveThisFile("C:\\Windows\\y.xuv", unknown));
    // Without write redirection the answer is always false.
    fileutil::SystemFacts none{false, true, 10, 0};
    EXPECT_FALSE(fileutil::MightUacMoveThisFile("C:\\Program Files\\x.xuv", none));
#if defined(_WIN32)
    // This system redirects, and every Windows it runs on now is version 6 or later.
    EXPECT_TRUE(fileutil::MightUacMoveThisFile("C:\\Program Files\\x.xuv"));
#else
    EXPECT_FALSE(fileutil::MightUacMoveThisFile("C:\\Program Files\\x.xuv"));
#endif
}

TEST_F(FileUtilTest, WorkingDirectoryEndsInOneSeparator)
{
    const std::string cwd = fileutil::GetCurrentWorkingDir();
    ASSERT_FALSE(cwd.empty());
#if defined(_WIN32)
    EXPECT_EQ(fs::current_path().string() + "\\", cwd);
#else
    EXPECT_EQ(fs::current_path().string() + "/", cwd);
#endif
}

TEST_F(FileUtilTest, WriteableFileGetsTheProbeBytes)
{
    const fs::path file = dir / "out.xuv";
    {
        std::ofstream(file) << "previous contents";
    }
    EXPECT_TRUE(fileutil::IsFileWriteable(file.string(), false, false, false, false));
    EXPECT_EQ(std::string("test\0", 5), Contents(file));
    int16_t code = 0;
    std::string text;
    EXPECT_FALSE(GetPendingError(Shared(), code, text));

    // A new file is created and kept.
    const fs::path fresh = dir / "new.keyr";
    EXPECT_TRUE(fileutil::IsFileWriteable(fresh.string(), false, false, false, false));
    EXPECT_EQ(5u, fs::file_size(fresh));
}

TEST_F(FileUtilTest, PreserveAndTemporaryFlagsLeaveExistingFilesAlone)
{
    const fs::path file = dir / "keep.xuv";
    {
        std::ofstream(file) << "keep me";
    }
    EXPECT_TRUE(fileutil::IsFileWriteable(file.string(), true, false, false, false));
    EXPECT_EQ("keep me", Contents(file));
    const fs::path temp = dir / "temp.xuv";
    EXPECT_TRUE(fileutil::IsFileWriteable(temp.string(), false, true, false, false));
    EXPECT_FALSE(fs::exists(temp));
}

TEST_F(FileUtilTest, UnwriteablePathReportsCodeZeroUnlessSuppressed)
{
    const fs::path file = dir / "missing" / "out.xuv";
    EXPECT_FALSE(fileutil::IsFileWriteable(file.string(), false, false, false, true));
    int16_t code = 7;
    std::string text;
    EXPECT_FALSE(GetPendingError(Shared(), code, text));

    EXPECT_FALSE(fileutil::IsFileWriteable(file.string(), false, false, false, false));
    ASSERT_TRUE(GetPendingError(Shared(), code, text));
    EXPECT_EQ(0, code);
    EXPECT_EQ("Unable to write to the file \"" + file.string() + "\".", text);
}

TEST_F(FileUtilTest, ReadOnlyFileIsNotWriteable)
{
    const fs::path file = dir / "ro.xuv";
    {
        std::ofstream(file) << "locked";
    }
    fs::permissions(file, fs::perms::owner_read);
    // Windows refuses to delete a read-only file: the next run must be able
    // to clear the folder.
    struct Restore {
        fs::path path;
        ~Restore() { fs::permissions(path, fs::perms::owner_all, fs::perm_options::add); }
    } restore{file};
    std::FILE* probe = std::fopen(file.string().c_str(), "a");
    if (probe != nullptr) {
        std::fclose(probe);
        GTEST_SKIP() << "running with rights that ignore file permissions";
    }
    EXPECT_FALSE(fileutil::IsFileWriteable(file.string(), false, false, false, false));
    EXPECT_EQ("locked", Contents(file));
    int16_t code = 7;
    std::string text;
    ASSERT_TRUE(GetPendingError(Shared(), code, text));
    EXPECT_EQ(0, code);
}

}  // namespace
