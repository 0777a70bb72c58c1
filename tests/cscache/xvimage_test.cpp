// The memory-image text format: reading, writing, gaps and the alignment
// directive.
#include "testsupport.h"
#include "cscache/xvimage.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Words = std::vector<uint16_t>;

XVImage Parse(const std::string& aText, bool aByteAddressed = false, int32_t aStart = -1,
              int32_t aLimit = 0x7FFFFFF, int32_t* aBase = nullptr)
{
    XVImage image;
    image.SetByteAddressed(aByteAddressed);
    const int32_t base = image.ReadText(aText.data(), aText.size(), aStart, aLimit);
    if (aBase != nullptr) *aBase = base;
    return image;
}

std::vector<std::pair<int32_t, int32_t>> GapsOf(const XVImage& aImage)
{
    std::vector<std::pair<int32_t, int32_t>> gaps;
    for (const ImageRange& r : aImage.Gaps()) gaps.emplace_back(r.first, r.last);
    return gaps;
}

TEST(XVImageRead, SkippedAddressesBecomeAGapAndAreLeftOutWhenWritten)
{
    const XVImage image = Parse("@0 1234\n@3 ABCD\n");
    EXPECT_EQ(image.Words(), (Words{0x1234, 0xFFFF, 0xFFFF, 0xABCD}));
    EXPECT_EQ(GapsOf(image), (std::vector<std::pair<int32_t, int32_t>>{{1, 2}}));
    EXPECT_EQ(image.WriteText(0, 6, 0, 0), "@000000   1234\n@000003   ABCD\n");
}

TEST(XVImageRead, FirstAddressIsTheBaseUnlessAStartIsGiven)
{
    int32_t base = 0;
    XVImage image = Parse("@100 0042\n@101 0043\n", false, -1, 0x7FFFFFF, &base);
    EXPECT_EQ(base, 0x100);
    EXPECT_EQ(image.Words(), (Words{0x42, 0x43}));

    // Below an explicit start lines are skipped; at or above the limit
    // reading stops altogether.
    image = Parse("@1 0001\n@2 0002\n@3 0003\n@9 0009\n@4 0004\n", false, 2, 9, &base);
    EXPECT_EQ(base, 2);
    EXPECT_EQ(image.Words(), (Words{2, 3}));

    image = Parse("// only a header\n", false, -1, 0x7FFFFFF, &base);
    EXPECT_EQ(base, -1);
    image = Parse("@5 1\n", false, 0x10, 0x7FFFFFF, &base);
    EXPECT_EQ(base, -1) << "no data line was taken";
}

TEST(XVImageRead, ByteAddressesAreHalvedInImgFiles)
{
    const XVImage image = Parse("@0 1111\n@2 2222\n@8 8888\n", true);
    EXPECT_EQ(image.Words(), (Words{0x1111, 0x2222, 0xFFFF, 0xFFFF, 0x8888}));
    EXPECT_EQ(image.WriteText(0, 6, 0, 0), "@000000   1111\n@000002   2222\n@000008   8888\n");
}

TEST(XVImageRead, MalformedLinesAreSkipped)
{
    // A line starting with a blank, a comment after the data began, an empty
    // line, a line without digits.
    XVImage image = Parse("@0 0001\n @1 0002\n// comment\n\n@ 0003\n@1 0004\n");
    EXPECT_EQ(image.Words(), (Words{1, 4}));

    // An address without data reaches into the next line; that line starts
    // with "@", so it is discarded too.
    image = Parse("@0 0001\n@1\n@2 0002\n@3 0003\n");
    EXPECT_EQ(image.Words(), (Words{1, 0xFFFF, 0xFFFF, 3}));

    // Data are the low 16 bits; anything after the data is ignored.
    image = Parse("@0 12345 trailing text\n@1\t00FF;x\n@2 abcd\n");
    EXPECT_EQ(image.Words(), (Words{0x2345, 0x00FF, 0xABCD}));
}

TEST(XVImageRead, CrLfAndLfFilesReadAlike)
{
    const std::string lf = "// made by a tool\n#!ALIGN 8\n@000000   1234\n@000002   5678\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    const XVImage a = Parse(lf);
    const XVImage b = Parse(crlf);
    EXPECT_EQ(a.Words(), b.Words());
    EXPECT_EQ(a.Header(), b.Header());
    EXPECT_EQ(b.Header(), "// made by a tool\n\n");
    EXPECT_EQ(b.Align(), 8);
    EXPECT_EQ(GapsOf(a), GapsOf(b));
}

TEST(XVImageRead, RepeatedOrDescendingAddressLandsAtItsOwnAddress)
{
    // Fault mended: such a word used to be appended after the last word.
    XVImage image = Parse("@0 0000\n@8 0008\n@5 0005\n");
    ASSERT_EQ(image.WordCount(), 9u);
    EXPECT_EQ(image.GetWord(5), 0x0005);
    EXPECT_EQ(GapsOf(image), (std::vector<std::pair<int32_t, int32_t>>{{1, 4}, {6, 7}}));
    EXPECT_EQ(image.WriteText(0, 6, 0, 0), "@000000   0000\n@000005   0005\n@000008   0008\n");

    image = Parse("@0 0001\n@1 0002\n@0 0009\n");
    EXPECT_EQ(image.Words(), (Words{9, 2}));
}

TEST(XVImageAlign, DirectiveIsKeptApartAndWrittenAfterTheHeader)
{
    XVImage image = Parse("// first\n#!ALIGN 16\n// last\n@0 0001\n");
    EXPECT_EQ(image.Align(), 16);
    EXPECT_EQ(image.Header(), "// first\n\n// last\n");
    const std::string written = image.WriteText(0, 6, 0, 0);
    EXPECT_EQ(written, "// first\n\n// last\n#!ALIGN 16\n@000000   0001\n");

    const XVImage again = Parse(written);
    EXPECT_EQ(again.Align(), 16);
    EXPECT_EQ(again.Words(), image.Words());

    EXPECT_EQ(Parse("#!ALIGN -4x\n@0 1\n").Align(), -4);
    EXPECT_EQ(Parse("#!ALIGN \n@0 1\n").Align(), 0);
    EXPECT_EQ(Parse("#!ALIGN 99999999999\n@0 1\n").Align(), 0x7FFFFFFF) << "saturates, no overflow";
}

TEST(XVImageSetWord, GrowingLeavesAGapAndWritingIntoAGapTakesTheWordOut)
{
    XVImage image;
    image.SetWord(10, 0xAAAA);
    EXPECT_EQ(image.WordCount(), 11u);
    EXPECT_EQ(image.GetWord(0), 0);
    EXPECT_EQ(GapsOf(image), (std::vector<std::pair<int32_t, int32_t>>{{0, 9}}));
    EXPECT_EQ(image.WriteText(0, 6, 0, 0), "@00000A   AAAA\n");

    // Fault mended: words written inside a gap used to stay out of the file.
    image.SetWord(0, 0x0101);   // first of the gap
    image.SetWord(9, 0x0909);   // last of the gap
    image.SetWord(5, 0x0505);   // splits it
    EXPECT_EQ(GapsOf(image), (std::vector<std::pair<int32_t, int32_t>>{{1, 4}, {6, 8}}));
    image.SetWord(20, 0x2020);  // a new gap after the old ones
    EXPECT_EQ(GapsOf(image), (std::vector<std::pair<int32_t, int32_t>>{{1, 4}, {6, 8}, {11, 19}}));
    EXPECT_EQ(image.WriteText(0, 4, 0, 0),
              "@0000   0101\n@0005   0505\n@0009   0909\n@000A   AAAA\n@0014   2020\n");

    // Setting every gap word empties the list.
    for (uint32_t i = 0; i < image.WordCount(); ++i) image.SetWord(i, static_cast<uint16_t>(i));
    EXPECT_TRUE(image.Gaps().empty());
}

TEST(XVImageWrite, AddressFieldBaseAndRange)
{
    XVImage image;
    for (uint32_t i = 0; i < 4; ++i) image.SetWord(i, static_cast<uint16_t>(0x10 + i));
    image.SetByteAddressed(true);
    // Higher address bits are cut to the digit count; IMG doubles addresses.
    EXPECT_EQ(image.WriteText(0x7FF, 2, 1, 3), "@00   0011\n@02   0012\n");
    image.SetByteAddressed(false);
    EXPECT_EQ(image.WriteText(0x100, 8, 2, 0), "@00000102   0012\n@00000103   0013\n");
    // An end beyond the image is held to the word count; first >= end writes
    // nothing but the header.
    EXPECT_EQ(image.WriteText(0, 1, 3, 99), "@3   0013\n");
    EXPECT_EQ(image.WriteText(0, 1, 4, 0), "");
}

TEST(XVImageWrite, FirstIndexInsideAGapSkipsTheRestOfIt)
{
    XVImage image = Parse("@0 0001\n@5 0005\n@9 0009\n");
    EXPECT_EQ(image.WriteText(0, 1, 2, 0), "@5   0005\n@9   0009\n");
    EXPECT_EQ(image.WriteText(0, 1, 6, 0), "@9   0009\n");
}

TEST(XVImageFile, WriteThenReadGivesTheSameImage)
{
    testsupport::ScratchDir dir;
    XVImage image;
    image.SetHeader("// round trip\n");
    image.SetAlign(4);
    image.SetWord(3, 0x3333);
    image.SetWord(1, 0x1111);
    ASSERT_TRUE(image.WriteFile(dir.File("a.xuv"), 0, 6, 0, 0));

    XVImage back;
    EXPECT_EQ(back.ReadFile(dir.File("a.xuv"), 0, 0x7FFFFFF), 0);
    EXPECT_EQ(back.Words(), (Words{0xFFFF, 0x1111, 0xFFFF, 0x3333})) << "word 0 was a gap";
    EXPECT_EQ(back.Align(), 4);
    EXPECT_EQ(back.ReadFile(dir.File("missing.xuv"), -1, 0x7FFFFFF), -1);
    EXPECT_FALSE(image.WriteFile(dir.File("no/such/dir.xuv"), 0, 6, 0, 0));
}

// Any image built from unordered writes, written and read back in either
// flavour, gives the same words at every index that is not a gap.
TEST(XVImageRoundTrip, RandomImagesWithGapsAndUnorderedWrites)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        XVImage image;
        image.SetByteAddressed(round % 2 == 1);
        const int writes = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < writes; ++i)
            image.SetWord(random() % 300, static_cast<uint16_t>(random()));

        const std::string text = image.WriteText(0, 6, 0, 0);
        XVImage back;
        back.SetByteAddressed(image.ByteAddressed());
        ASSERT_EQ(back.ReadText(text.data(), text.size(), 0, 0x7FFFFFF), 0) << text;
        ASSERT_EQ(back.WordCount(), image.WordCount());
        ASSERT_EQ(GapsOf(back), GapsOf(image));
        for (uint32_t i = 0; i < image.WordCount(); ++i) {
            if (!image.InGap(i)) {
                ASSERT_EQ(back.GetWord(i), image.GetWord(i)) << "round " << round << " index " << i;
            }
        }
    }
}

}  // namespace
