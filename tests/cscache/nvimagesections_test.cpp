// The CS section and the firmware section over a loaded header.
#include "cscache/keyrfile.h"
#include "cscache/nvimagecache.h"
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
using nvimagegen::MemoryTarget;
using testsupport::LastError;
using testsupport::ResetErrors;

Words Ramp(uint16_t aFirst, size_t aCount)
{
    Words words(aCount);
    for (size_t i = 0; i < aCount; ++i) words[i] = static_cast<uint16_t>(aFirst + i);
    return words;
}

TEST(CsSection, VersionAndRangeReads)
{
    CNvImageCs cs;
    uint16_t version = 77;
    ResetErrors();
    EXPECT_EQ(cs.GetVersion(version), kCsNothingThere);
    EXPECT_EQ(version, 77);
    EXPECT_EQ(LastError().text, "The cache has not been read/initialised yet");

    ASSERT_EQ(cs.WriteData(0, Ramp(0x0012, 10)), kCsOk);
    EXPECT_EQ(cs.GetVersion(version), kCsOk);
    EXPECT_EQ(version, 0x0012);

    Words out{1, 2};
    EXPECT_EQ(cs.ReadData(5, 2, out), kCsOk);
    EXPECT_EQ(out, (Words{0x0017, 0x0018}));
    ResetErrors();
    EXPECT_EQ(cs.ReadData(0, 0, out), kCsInvalidLength);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(LastError().text, "Invalid length requested");

    // Beyond the data: a status, no words, nothing read outside the array.
    out = {1};
    EXPECT_EQ(cs.ReadData(9, 2, out), kCsNothingThere);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(cs.ReadData(0xFFFF, 0xFFFF, out), kCsNothingThere);
    EXPECT_EQ(cs.ReadData(9, 1, out), kCsOk);
    EXPECT_EQ(out, (Words{0x001B}));
}

TEST(CsSection, WriteGrowsFirstAndMarksOnlyRealChanges)
{
    CNvImageCs cs;
    ASSERT_EQ(cs.WriteData(0, Words(6, 0)), kCsOk);
    EXPECT_FALSE(cs.IsDataModified()) << "equal values and growth alone change nothing";

    EXPECT_EQ(cs.WriteData(8, Words{0, 0}), kCsOk);
    Words all;
    cs.ReadData(all);
    EXPECT_EQ(all.size(), 10u);
    EXPECT_FALSE(cs.IsDataModified());

    ResetErrors();
    EXPECT_EQ(cs.WriteData(20, Words{}), kCsInvalidLength);
    EXPECT_EQ(LastError().text, "Invalid length provided");
    cs.ReadData(all);
    EXPECT_EQ(all.size(), 20u) << "grown before the length check";

    EXPECT_EQ(cs.WriteData(8, Words{1, 2, 3}), kCsOk);
    EXPECT_TRUE(cs.IsDataModified());
    cs.ReadData(all);
    EXPECT_EQ(all[8], 1);
    EXPECT_EQ(all[10], 3);

    cs.Clear();
    EXPECT_FALSE(cs.IsPopulated());
    EXPECT_TRUE(cs.IsDataModified()) << "Clear leaves the flag";
}

TEST(CsSection, LoadAndSaveFollowBlockZero)
{
    nvimagegen::ImagePlan plan;
    plan.csData = {0x0012, 0xA1, 0xA2, 0xA3};
    plan.csPadWords = 3;
    plan.firmware.push_back({0x0100, Ramp(0x500, 8)});
    MemoryTarget target(nvimagegen::BuildImage(plan));
    CNvImageHdr header;
    ASSERT_EQ(header.Load(target), kCsOk);

    CNvImageCs cs;
    ASSERT_EQ(cs.WriteData(0, Words{9}), kCsOk);
    ASSERT_EQ(cs.Load(target, header), kCsOk);
    EXPECT_FALSE(cs.IsDataModified());
    Words data;
    cs.ReadData(data);
    EXPECT_EQ(data, plan.csData);

    // Save writes exactly the data words, at block 0's location, whatever
    // the header's length says.
    ASSERT_EQ(cs.WriteData(5, Words{0xB5}), kCsOk);
    MemoryTarget out;
    EXPECT_EQ(cs.Save(out, header), kCsOk);
    EXPECT_FALSE(cs.IsDataModified());
    const size_t location = 11 + 3;  // header words + padding
    ASSERT_EQ(out.words.size(), location + 6);
    EXPECT_EQ(out.writes, 6u);
    EXPECT_EQ(Words(out.words.begin() + location, out.words.end()), (Words{0x0012, 0xA1, 0xA2, 0xA3, 0, 0xB5}));

    // A failed save keeps the flag; a failed load clears it.
    ASSERT_EQ(cs.WriteData(1, Words{0xCC}), kCsOk);
    MemoryTarget failing;
    failing.failWriteAt = static_cast<int32_t>(location + 5);
    EXPECT_EQ(cs.Save(failing, header), kCsDeviceReadFailed);
    EXPECT_TRUE(cs.IsDataModified());
    target.failReadAt = static_cast<int32_t>(location + 1);
    EXPECT_EQ(cs.Load(target, header), kCsDeviceReadFailed);
    EXPECT_FALSE(cs.IsDataModified());

    CNvImageHdr noHeader;
    EXPECT_EQ(cs.Load(target, noHeader), kCsInvalidLength);
    EXPECT_EQ(cs.Save(out, noHeader), kCsInvalidLength);
}

// The KEYR forms of Load and Save dispatch like the target forms, so a
// section kind of its own can take them over.
class KeyrCountingCs : public CNvImageCs {
public:
    int32_t Load(CKeyrObject&, CNvImageCache&) override { return ++calls, kCsOk; }
    int32_t Save(CKeyrObject&) override { return ++calls, kCsOk; }
    using CNvImageCs::Load;
    using CNvImageCs::Save;
    int calls = 0;
};

TEST(CsSection, KeyrLoadAndSaveDispatchThroughTheSection)
{
    KeyrCountingCs derived;
    CNvImageCs& cs = derived;
    CKeyrObject keyr;
    CNvImageCache engine{nullptr, nullptr};
    EXPECT_EQ(cs.Save(keyr), kCsOk);
    EXPECT_EQ(cs.Load(keyr, engine), kCsOk);
    EXPECT_EQ(derived.calls, 2);
}

class FirmwareSection : public ::testing::Test {
protected:
    // An image of the given CS data and firmware blocks, its header loaded.
    void LoadImage(const Words& aCsData, const std::vector<nvimagegen::FirmwareBlock>& aBlocks)
    {
        nvimagegen::ImagePlan plan;
        plan.csData = aCsData;
        plan.firmware = aBlocks;
        target.words = nvimagegen::BuildImage(plan);
        ASSERT_EQ(header.Load(target), kCsOk);
    }

    MemoryTarget target;
    CNvImageHdr header;
    CNvImageFw fw;
};

TEST_F(FirmwareSection, CopyDataServesWholeRequestsInsideOneBlock)
{
    LoadImage({1}, {{0x0100, Ramp(0x1000, 0x200)}, {0x0400, Ramp(0x4000, 4)}});
    ASSERT_EQ(fw.Load(target, header), kCsOk);
    ASSERT_TRUE(fw.IsPopulated());

    uint16_t out[4] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    EXPECT_TRUE(fw.CopyData(header, 0x0100, 1, out));
    EXPECT_EQ(out[0], 0x1000);
    EXPECT_TRUE(fw.CopyData(header, 0x02FF, 1, out));
    EXPECT_EQ(out[0], 0x11FF);
    out[0] = out[1] = 0xEEEE;
    EXPECT_FALSE(fw.CopyData(header, 0x02FF, 2, out));
    EXPECT_FALSE(fw.CopyData(header, 0x00FF, 1, out));
    EXPECT_EQ(out[0], 0xEEEE) << "untouched when no block holds the request";
    EXPECT_TRUE(fw.CopyData(header, 0x0402, 2, out));
    EXPECT_EQ(out[1], 0x4003);
    EXPECT_TRUE(fw.CopyData(header, 0x0300, 0, out)) << "a zero-length request at the block's end";
    EXPECT_FALSE(fw.CopyData(header, 0x0301, 0, out));
    // Large values cannot wrap into a block.
    EXPECT_FALSE(fw.CopyData(header, 0xFFFF, 0xFFFF, out));
    EXPECT_FALSE(fw.CopyData(header, 0x0100, 1, nullptr));
}

TEST_F(FirmwareSection, NoFirmwareBlocks)
{
    LoadImage({1, 2}, {});
    EXPECT_EQ(fw.Load(target, header), kCsOk);
    EXPECT_FALSE(fw.IsPopulated());
    MemoryTarget out;
    EXPECT_EQ(fw.Save(out, header), kCsOk);
    EXPECT_EQ(out.writes, 0u);
}

TEST_F(FirmwareSection, SaveNeedsEveryBlockAndWritesThemAtTheirLocations)
{
    LoadImage({1, 2}, {{0x0100, Ramp(0x1000, 3)}, {0x0200, Ramp(0x2000, 2)}});

    MemoryTarget out;
    ResetErrors();
    EXPECT_EQ(fw.Save(out, header), kCsNothingThere);
    EXPECT_EQ(LastError().text,
              "Saving the image without previously populating the cache with the firmware data is not allowed.");
    EXPECT_EQ(out.writes, 0u);

    ASSERT_EQ(fw.Load(target, header), kCsOk);
    out.words.assign(target.words.size(), 0);
    EXPECT_EQ(fw.Save(out, header), kCsOk);
    // Header of 15 words, CS block of 2, then the two blocks.
    EXPECT_EQ(Words(out.words.begin() + 17, out.words.end()), (Words{0x1000, 0x1001, 0x1002, 0x2000, 0x2001}));
}

TEST_F(FirmwareSection, FailedBlockReadKeepsTheBlocksBefore)
{
    LoadImage({1}, {{0x0100, Ramp(0x1000, 3)}, {0x0200, Ramp(0x2000, 3)}});
    target.failReadAt = 15 + 1 + 3 + 1;  // header, CS block, first block: second word of the second block
    EXPECT_EQ(fw.Load(target, header), kCsDeviceReadFailed);
    ASSERT_EQ(fw.Blocks().size(), 1u);
    uint16_t word = 0;
    EXPECT_FALSE(fw.CopyData(header, 0x0100, 1, &word)) << "block count differs from the header's";

    // A truncated image: the short block read fails with 4 and is dropped.
    target.failReadAt = -1;
    target.words.resize(target.words.size() - 1);
    EXPECT_EQ(fw.Load(target, header), kCsNothingThere);
    EXPECT_EQ(fw.Blocks().size(), 1u);
    fw.Clear();
    EXPECT_FALSE(fw.IsPopulated());
}

}  // namespace
