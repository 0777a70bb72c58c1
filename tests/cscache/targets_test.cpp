// Targets: the range rules and the XUV and IMG file targets.
#include "nvimagegen.h"
#include "cscache/targets.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<uint16_t>;
using nvimagegen::MemoryTarget;
using testsupport::LastError;
using testsupport::ReadWholeFile;
using testsupport::ResetErrors;
using testsupport::ScratchDir;
using testsupport::TextOnDisk;
using testsupport::WriteWholeFile;

Words Count(size_t aWords)
{
    Words words(aWords);
    for (size_t i = 0; i < aWords; ++i) words[i] = static_cast<uint16_t>(0x100 + i);
    return words;
}

TEST(TargetRange, ReadStopsAtTheEndAndReportsShortReads)
{
    MemoryTarget target(Count(10));
    Words out{0xDEAD};
    EXPECT_EQ(target.Read(0, 16, out), kCsNothingThere);
    EXPECT_EQ(out, Count(10));

    EXPECT_EQ(target.Read(4, 4, out), kCsOk);
    EXPECT_TRUE(out.empty());
    out = {1};
    EXPECT_EQ(target.Read(5, 4, out), kCsNothingThere);
    EXPECT_TRUE(out.empty());

    EXPECT_EQ(target.Read(2, 5, out), kCsOk);
    EXPECT_EQ(out, (Words{0x102, 0x103, 0x104}));
}

TEST(TargetRange, FailedWordEndsTheReadWithItsStatusAndIsStillDelivered)
{
    MemoryTarget target(Count(10));
    target.failReadAt = 3;
    target.failStatus = kCsDeviceReadFailed;
    Words out;
    EXPECT_EQ(target.Read(0, 10, out), kCsDeviceReadFailed);
    EXPECT_EQ(out.size(), 4u);
    EXPECT_EQ(target.reads, 4u) << "nothing is read after the failure";
}

TEST(TargetRange, WriteWrapsAt65536AndReportsTheLastWord)
{
    MemoryTarget target;
    target.words.assign(0x10000, 0);
    EXPECT_EQ(target.Write(0xFFFF, Words{1, 2, 3}), kCsOk);
    EXPECT_EQ(target.words[0xFFFF], 1);
    EXPECT_EQ(target.words[0], 2);
    EXPECT_EQ(target.words[1], 3);

    EXPECT_EQ(target.Write(0, Words{}), kCsOk);

    // A failure in the middle does not stop the write; only the last word's
    // status is returned.
    target.failWriteAt = 5;
    target.writes = 0;
    EXPECT_EQ(target.Write(4, Words{7, 7, 7}), kCsOk);
    EXPECT_EQ(target.writes, 3u);
    EXPECT_EQ(target.words[6], 7);
    EXPECT_EQ(target.Write(3, Words{7, 7, 7}), kCsDeviceReadFailed);
}

TEST(FileTarget, FirstAddressOfTheFileIsWordZero)
{
    ScratchDir dir;
    WriteWholeFile(dir.File("a.xuv"), "// header\n@000100   1234\n@000101   5678\n");
    CXUVTarget target;
    ASSERT_EQ(target.Initialise(dir.File("a.xuv"), false), kCsOk);
    EXPECT_EQ(target.Size(), 2);
    Words out;
    EXPECT_EQ(target.Read(0, 2, out), kCsOk);
    EXPECT_EQ(out, (Words{0x1234, 0x5678}));

    // A one-word read beyond the image does not touch memory outside it.
    uint16_t word = 0;
    EXPECT_EQ(target.Read(2, word), kCsNothingThere);
    EXPECT_EQ(word, 0xFFFF);

    // A far address does not grow the image beyond the 65536 words a target
    // addresses (read as is, it would claim a quarter of a gigabyte).
    WriteWholeFile(dir.File("far.xuv"), "@0   1\n@7FFFFFE   2\n@5   3\n");
    CXUVTarget far;
    ASSERT_EQ(far.Initialise(dir.File("far.xuv"), false), kCsOk);
    EXPECT_EQ(far.Size(), 0x10000);
    EXPECT_EQ(far.Read(0, 7, out), kCsOk);
    EXPECT_EQ(out, (Words{1, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 3, 0xFFFF}));
    EXPECT_EQ(far.Read(0xFFF0, 0xFFFF, out), kCsOk);
}

TEST(FileTarget, UnreadableFileGives13WithItsText)
{
    ScratchDir dir;
    for (const char* name : {"missing.xuv", "nodata.xuv"}) {
        if (std::string(name) == "nodata.xuv") WriteWholeFile(dir.File(name), "// just a header\n");
        ResetErrors();
        CXUVTarget target;
        EXPECT_EQ(target.Initialise(dir.File(name), false), kCsFileReadFailed);
        EXPECT_EQ(target.Size(), 0);
        const auto error = LastError();
        EXPECT_EQ(error.code, kCsFileReadFailed);
        EXPECT_EQ(error.text, "Unable to read file '" + dir.File(name) + "' (it was either missing or corrupt).");
    }
}

TEST(FileTarget, ImgAddressesAreTwiceThoseOfXuv)
{
    ScratchDir dir;
    const Words data{0xAAAA, 0xBBBB, 0xCCCC};
    for (bool img : {false, true}) {
        const std::string path = dir.File(img ? "a.img" : "a.xuv");
        CXUVTarget xuv;
        CIMGTarget imgTarget;
        CFileTarget& target = img ? static_cast<CFileTarget&>(imgTarget) : xuv;
        ASSERT_EQ(target.Initialise(path, true), kCsOk);
        EXPECT_EQ(target.Write(0x10, data), kCsOk);
        EXPECT_EQ(target.Flush(), kCsOk);
    }
    EXPECT_EQ(ReadWholeFile(dir.File("a.xuv")), TextOnDisk("@000010   AAAA\n@000011   BBBB\n@000012   CCCC\n"));
    EXPECT_EQ(ReadWholeFile(dir.File("a.img")), TextOnDisk("@000020   AAAA\n@000022   BBBB\n@000024   CCCC\n"));

    // Each flavour reads its own file back to the same words.
    CIMGTarget img;
    ASSERT_EQ(img.Initialise(dir.File("a.img"), false), kCsOk);
    Words out;
    EXPECT_EQ(img.Read(0, 3, out), kCsOk);
    EXPECT_EQ(out, data);
}

TEST(FileTarget, LowerBlockWrittenAfterAHigherOneIsNotLost)
{
    // Fault mended: the lower block used to fall into the recorded gap.
    ScratchDir dir;
    CXUVTarget target;
    ASSERT_EQ(target.Initialise(dir.File("b.xuv"), true), kCsOk);
    EXPECT_EQ(target.Write(0x20, Words{0x2020, 0x2121}), kCsOk);
    EXPECT_EQ(target.Write(0x00, Words{0x0000, 0x0101, 0x0202}), kCsOk);
    EXPECT_EQ(target.Flush(), kCsOk);

    CXUVTarget back;
    ASSERT_EQ(back.Initialise(dir.File("b.xuv"), false), kCsOk);
    Words out;
    EXPECT_EQ(back.Read(0, 3, out), kCsOk);
    EXPECT_EQ(out, (Words{0x0000, 0x0101, 0x0202}));
    EXPECT_EQ(back.Read(0x20, 0x22, out), kCsOk);
    EXPECT_EQ(out, (Words{0x2020, 0x2121}));
}

TEST(FileTarget, FlushWithoutWritesGivesAnEmptyFile)
{
    ScratchDir dir;
    CIMGTarget target;
    ASSERT_EQ(target.Initialise(dir.File("empty.img"), true), kCsOk);
    EXPECT_EQ(target.Flush(), kCsOk);
    EXPECT_EQ(ReadWholeFile(dir.File("empty.img")), "");
}

TEST(FileTarget, UnwritableFileGives14)
{
    ScratchDir dir;
    CXUVTarget target;
    EXPECT_EQ(target.Initialise(dir.File("no/such/dir/x.xuv"), true), kCsFileWriteFailed);
    EXPECT_EQ(target.Flush(), kCsFileWriteFailed);
}

}  // namespace
