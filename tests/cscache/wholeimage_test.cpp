// Whole images from the fixture builder: key-laid CS data, the main
// firmware's lookup table as the table reader finds it, and the file round
// trip of header, CS block and firmware blocks in both flavours.
#include "support/clock.h"
#include "cscache/cskeysinfo.h"
#include "keydbgen.h"
#include "ptest/lookuptable.h"
#include "cscache/nvimagecs.h"
#include "cscache/nvimagefw.h"
#include "nvimagegen.h"
#include "cscache/nvimagehdr.h"
#include "cscache/targets.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<uint16_t>;

// Chip memory (space 4) served from the cached firmware blocks, as the image
// cache engine serves it.
class FirmwareReader : public IMemoryReaderGP {
public:
    FirmwareReader(CNvImageFw& aFw, CNvImageHdr& aHeader) : mFw(aFw), mHeader(aHeader) {}
    bool ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords) override
    {
        return aSpace == 4 && mFw.CopyData(mHeader, static_cast<uint16_t>(aByteAddress / 2), aCount, aWords);
    }

private:
    CNvImageFw& mFw;
    CNvImageHdr& mHeader;
};

TEST(ImageFixture, CsDataLaidOutByTheKeyDatabase)
{
    keydbgen::Database db;
    keydbgen::Build build = keydbgen::Build::Make(12);
    build.keys.push_back(keydbgen::Key::Make("BDADDR", 1, 1, 3).Defaults({0x1111, 0x2222, 0x3333}));
    build.keys.push_back(keydbgen::Key::Make("XTAL_TRIM", 2, 4, 1).Defaults({0x0020}));
    build.keys.push_back(keydbgen::Key::Make("NAME", 3, 8, 2));
    db.builds.push_back(build);
    const std::string xml = keydbgen::ToXml(db);

    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(keys.LoadXMLFromBuffer(xml.data(), xml.size(), "memory"), kCsOk);
    const Words data = nvimagegen::BuildCsData(keys, 12, {{"xtal_trim", {0x0031}}, {"NAME", {0x4142}}}, 12);
    EXPECT_EQ(data, (Words{12, 0x1111, 0x2222, 0x3333, 0x0031, 0, 0, 0, 0x4142, 0, 0, 0}));
}

TEST(ImageFixture, MainFirmwareTableIsFoundWhereTheReaderLooks)
{
    nvtclock::ScopedFakeClock clock;
    nvimagegen::ImagePlan plan;
    plan.csData = {12, 1, 2};
    plan.firmware.push_back({0x0100, Words(16, 0x7777)});
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(0x0BAD, 0x0123));
    nvimagegen::MemoryTarget target(nvimagegen::BuildImage(plan));

    CNvImageHdr header;
    CNvImageFw fw;
    ASSERT_EQ(header.Load(target), kCsOk);
    ASSERT_EQ(fw.Load(target, header), kCsOk);
    FirmwareReader reader(fw, header);
    CLookupTable table(&reader, nullptr);
    ASSERT_TRUE(table.ReadFixedTable(4, 0x13FB8, false));
    EXPECT_EQ(table.Get(2), 0x0123u);
    uint16_t buildId = 0;
    ASSERT_TRUE(reader.ReadGP(4, 2 * table.Get(1), 1, &buildId));
    EXPECT_EQ(buildId, 0x0BAD);
    EXPECT_EQ(clock->SleptMs(), 0u) << "found at the first attempt";
}

// Load every part from a file of one flavour, save it through a target of
// the other flavour, and read it back: the same words, a header that loads.
TEST(ImageRoundTrip, HeaderCsAndFirmwareThroughXuvAndImgFiles)
{
    testsupport::ScratchDir dir;
    nvimagegen::ImagePlan plan;
    plan.csData = {12, 0xA, 0xB, 0xC, 0xD};
    plan.csPadWords = 2;
    plan.word1Low = 0x5A;
    plan.word2 = 0x1234;
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(0x0042, 0, 8));
    plan.firmware.push_back({0x0400, Words{1, 2, 3}});
    Words image = nvimagegen::BuildImage(plan);
    const size_t headerWords = 3 + 4 * 3;
    const size_t csStart = headerWords + plan.csPadWords;
    ASSERT_TRUE(nvimagegen::WriteImageFile(dir.File("in.xuv"), image, false, "// fixture\n"));

    for (bool toImg : {true, false}) {
        CXUVTarget source;
        ASSERT_EQ(source.Initialise(dir.File("in.xuv"), false), kCsOk);
        CNvImageHdr header;
        CNvImageCs cs;
        CNvImageFw fw;
        ASSERT_EQ(header.Load(source), kCsOk);
        ASSERT_EQ(cs.Load(source, header), kCsOk);
        ASSERT_EQ(fw.Load(source, header), kCsOk);
        ASSERT_EQ(cs.WriteData(2, Words{0xBEEF}), kCsOk);

        // Written in the order blocks first, header last: every part must
        // still reach the file.
        const std::string out = dir.File(toImg ? "out.img" : "out.xuv");
        CXUVTarget xuv;
        CIMGTarget img;
        CFileTarget& dest = toImg ? static_cast<CFileTarget&>(img) : xuv;
        ASSERT_EQ(dest.Initialise(out, true), kCsOk);
        ASSERT_EQ(fw.Save(dest, header), kCsOk);
        ASSERT_EQ(cs.Save(dest, header), kCsOk);
        ASSERT_EQ(header.Save(dest, cs), kCsOk);
        ASSERT_EQ(dest.Flush(), kCsOk);

        CXUVTarget backXuv;
        CIMGTarget backImg;
        CFileTarget& back = toImg ? static_cast<CFileTarget&>(backImg) : backXuv;
        ASSERT_EQ(back.Initialise(out, false), kCsOk);
        Words words;
        EXPECT_EQ(back.Read(0, static_cast<uint16_t>(image.size()), words), kCsOk);
        Words expected = image;
        expected[csStart + 2] = 0xBEEF;
        // No part writes the padding: it is a gap in the written file and
        // reads back as erased words.
        expected[headerWords] = expected[headerWords + 1] = 0xFFFF;
        CNvImageHdr check;
        ASSERT_EQ(check.Load(back), kCsOk);
        expected[6] = check.Words()[6];
        expected[0] = check.Words()[0];
        EXPECT_EQ(words, expected);
        EXPECT_EQ(check.Words()[6], CNvImageHdr::CalculateCrc16(&expected[csStart], plan.csData.size()));
        EXPECT_EQ(check.Words()[2], 0x1234) << "uninterpreted words kept";
        EXPECT_EQ(check.Words()[1] & 0xFF, 0x5A);
        EXPECT_TRUE(check.IsFirmwareEquivalent(header));
    }
}

}  // namespace
