// Files written safely: no writer goes through a symbolic link, FIFO or
// device planted where its file should be, temporary files are new files
// under names no one can predict, and new files respect the umask. Reading
// a file never blocks on a FIFO.
#include "support/fileutil.h"
#include "support/msghandler.h"
#include "support/platform.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {

namespace fs = std::filesystem;

CMessageHandler& Shared()
{
    return TheMsgHnd::Instance().SharedHandler();
}

class SafeWriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::ResetErrors();
        testsupport::WriteWholeFile(victim, "precious");
    }
    // A symbolic link at aName to the victim file; false where the system
    // does not let this user make one. Not on Windows: making one there
    // needs a right test users lack, and emulators differ in what they make.
    bool PlantLink(const std::string& aName)
    {
#if defined(_WIN32)
        (void)aName;
        return false;
#else
        std::error_code ec;
        fs::create_symlink(victim, aName, ec);
        return !ec;
#endif
    }
    std::string PendingError()
    {
        int16_t code = 0;
        std::string text;
        return GetPendingError(Shared(), code, text) ? text : std::string();
    }
    testsupport::ScratchDir scratch;
    std::string victim = scratch.File("victim.txt");
};

TEST_F(SafeWriteTest, ALinkAtTheFileIsNeverWrittenThrough)
{
    const std::string target = scratch.File("out.xuv");
    if (!PlantLink(target)) GTEST_SKIP() << "no symbolic links here";

    // The probe in either mode, with and without its text.
    for (const bool preserve : {false, true}) {
        testsupport::ResetErrors();
        EXPECT_FALSE(fileutil::IsFileWriteable(target, preserve, false, false, true));
        EXPECT_EQ("", PendingError());
        EXPECT_FALSE(fileutil::IsFileWriteable(target, preserve, false, false, false));
        EXPECT_EQ("Unable to write to the file \"" + target + "\": it is a symbolic link.", PendingError());
    }
    EXPECT_EQ("a symbolic link", fileutil::WriteObstacle(target));
    EXPECT_FALSE(fileutil::WriteFileReplacing(target, "new text\n"));

    EXPECT_EQ("precious", testsupport::ReadWholeFile(victim));
    EXPECT_EQ(platform::FileKind::Link, platform::KindOfPath(target, false));
    EXPECT_EQ(2u, static_cast<size_t>(std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator())));
}

TEST_F(SafeWriteTest, ADanglingLinkCreatesNothingWhereItPoints)
{
    const std::string nowhere = scratch.File("created-through-link");
    const std::string target = scratch.File("out.keyr");
    victim = nowhere;
    fs::remove(scratch.File("victim.txt"));
    if (!PlantLink(target)) GTEST_SKIP() << "no symbolic links here";
    EXPECT_FALSE(fileutil::IsFileWriteable(target, true, false, false, true));
    EXPECT_FALSE(fileutil::IsFileWriteable(target, false, true, false, true));
    EXPECT_FALSE(fileutil::WriteFileReplacing(target, "x"));
    EXPECT_FALSE(fs::exists(nowhere));
}

TEST_F(SafeWriteTest, ReplacingWritesANewFileAndLeavesNoTemporaryFile)
{
    const std::string target = scratch.File("image.xuv");
    testsupport::WriteWholeFile(target, "old");
    ASSERT_TRUE(fileutil::WriteFileReplacing(target, "@000000   1234\n"));
    EXPECT_EQ(testsupport::TextOnDisk("@000000   1234\n"), testsupport::ReadWholeFile(target));
    for (const auto& entry : fs::directory_iterator(scratch.path()))
        EXPECT_TRUE(entry.path().filename() == "image.xuv" || entry.path().filename() == "victim.txt") << entry.path();
}

TEST_F(SafeWriteTest, TemporaryNamesCannotBePredictedAndAreNeverReused)
{
    const std::string target = scratch.File("t.img");
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        std::string name;
        std::FILE* f = platform::CreateTemporaryFileBeside(target, false, name);
        ASSERT_NE(nullptr, f);
        std::fclose(f);
        // Beside the target, so the rename stays on one file system.
        EXPECT_EQ(0u, name.rfind(target + ".", 0)) << name;
        EXPECT_GE(name.size(), target.size() + 10);
        names.insert(name);
    }
    EXPECT_EQ(20u, names.size());
}

#if !defined(_WIN32)

// The umask of the test, restored afterwards.
class Umask {
public:
    explicit Umask(mode_t aMask) : mOld(umask(aMask)) {}
    ~Umask() { umask(mOld); }

private:
    mode_t mOld;
};

mode_t ModeOf(const std::string& aPath)
{
    struct stat st{};
    return stat(aPath.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST_F(SafeWriteTest, AFifoIsRefusedWithoutWaitingForAPeer)
{
    const std::string fifo = scratch.File("out.img");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(fileutil::IsFileWriteable(fifo, true, false, false, false));
    EXPECT_EQ("Unable to write to the file \"" + fifo + "\": it is a FIFO.", PendingError());
    EXPECT_FALSE(fileutil::IsFileWriteable(fifo, false, false, false, true));
    EXPECT_FALSE(fileutil::WriteFileReplacing(fifo, "x"));
    platform::FileKind kind = platform::FileKind::Missing;
    EXPECT_EQ(nullptr, platform::OpenRegularFileForReading(fifo, kind));
    EXPECT_EQ(platform::FileKind::Fifo, kind);
    // Writing to a FIFO without a reader fails at once instead of waiting.
    EXPECT_EQ(nullptr, platform::OpenForWritingNoFollow(fifo, true, kind));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(platform::FileKind::Fifo, platform::KindOfPath(fifo, false));
}

TEST_F(SafeWriteTest, NewFilesRespectTheUmaskAndReplacedFilesKeepTheirMode)
{
    Umask mask(027);
    const std::string fresh = scratch.File("fresh.keyr");
    ASSERT_TRUE(fileutil::WriteFileReplacing(fresh, "x\n"));
    EXPECT_EQ(0640u, ModeOf(fresh));
    platform::FileKind kind = platform::FileKind::Missing;
    std::FILE* appended = platform::OpenForWritingNoFollow(scratch.File("trace.log"), true, kind);
    ASSERT_NE(nullptr, appended);
    std::fclose(appended);
    EXPECT_EQ(0640u, ModeOf(scratch.File("trace.log")));

    // A file its owner made private stays private when it is replaced.
    const std::string private_ = scratch.File("private.xuv");
    testsupport::WriteWholeFile(private_, "old");
    ASSERT_EQ(0, chmod(private_.c_str(), 0600));
    ASSERT_TRUE(fileutil::WriteFileReplacing(private_, "new\n"));
    EXPECT_EQ(0600u, ModeOf(private_));
    EXPECT_EQ("new\n", testsupport::ReadWholeFile(private_));
}

#endif

TEST_F(SafeWriteTest, TheTraceFileIsAppendedToButNeverThroughALink)
{
    const std::string trace = scratch.File("trace.log");
    testsupport::WriteWholeFile(trace, "earlier\n");
    ASSERT_TRUE(nvttrace::Configure((trace + ":0").c_str()));
    EXPECT_EQ("", nvttrace::Problem());
    fileutil::GetFileExtension("a.b");  // one traced call
    nvttrace::Configure(nullptr);
    const std::string text = testsupport::ReadWholeFile(trace);
    EXPECT_EQ(0u, text.find("earlier\n"));
    EXPECT_NE(std::string::npos, text.find("[IN ] fileutil::GetFileExtension"));

    const std::string linked = scratch.File("linked.log");
    if (!PlantLink(linked)) GTEST_SKIP() << "no symbolic links here";
    EXPECT_FALSE(nvttrace::Configure((linked + ":0").c_str()));
    EXPECT_EQ("NVT_TRACE: the trace file \"" + linked + "\" is a symbolic link; nothing is traced",
              nvttrace::Problem());
    fileutil::GetFileExtension("a.b");
    nvttrace::Configure(nullptr);
    EXPECT_EQ("precious", testsupport::ReadWholeFile(victim));
}

}  // namespace
