// The image header: CRC, Load checks, Save, block queries and equivalence.
#include "cscache/nvimagecs.h"
#include "nvimagegen.h"
#include "cscache/nvimagehdr.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Words = std::vector<uint16_t>;
using nvimagegen::MemoryTarget;
using testsupport::LastError;
using testsupport::ResetErrors;

uint16_t Crc(const std::string& aText)
{
    return CNvImageHdr::CalculateCrc16(reinterpret_cast<const uint8_t*>(aText.data()), aText.size());
}

// Reference CRC straight from its definition: the bit-reversed CRC-16 over
// reflected input, computed bit by bit.
uint16_t ReferenceCrc(const std::vector<uint8_t>& aBytes)
{
    uint16_t crc = 0;  // reflected register, polynomial 0xA001
    for (uint8_t b : aBytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
    }
    uint16_t reversed = 0;
    for (int i = 0; i < 16; ++i)
        if (crc & (1u << i)) reversed |= static_cast<uint16_t>(0x8000u >> i);
    return reversed;
}

nvimagegen::ImagePlan TwoBlockPlan()
{
    nvimagegen::ImagePlan plan;
    plan.csData = {0x0012, 1, 2, 3, 4, 5};
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(0x0102, 0, 4));
    plan.firmware.push_back({0x2000, {9, 8, 7, 6}});
    return plan;
}

TEST(ImageCrc, CheckValuesAndWordOrder)
{
    EXPECT_EQ(Crc("123456789"), 0xBCDD);
    EXPECT_EQ(Crc(""), 0x0000);
    const uint8_t bytes[] = {0x34, 0x12, 0x78, 0x56};
    const uint16_t words[] = {0x1234, 0x5678};
    EXPECT_EQ(CNvImageHdr::CalculateCrc16(words, 2), CNvImageHdr::CalculateCrc16(bytes, 4)) << "low byte first";

    std::vector<uint8_t> data;
    for (int i = 0; i < 1000; ++i) data.push_back(static_cast<uint8_t>(i * 7 + (i >> 3)));
    EXPECT_EQ(CNvImageHdr::CalculateCrc16(data.data(), data.size()), ReferenceCrc(data));
    // A CRC can be continued over a second piece.
    const uint16_t first = CNvImageHdr::CalculateCrc16(data.data(), 400);
    EXPECT_EQ(CNvImageHdr::CalculateCrc16(data.data() + 400, 600, first), ReferenceCrc(data));
}

TEST(ImageHeaderLoad, BlankImageReportsTheWordRead)
{
    for (uint16_t blank : {uint16_t{0xFFFF}, uint16_t{0x0000}}) {
        ResetErrors();
        MemoryTarget target(Words(32, blank));
        CNvImageHdr header;
        EXPECT_EQ(header.Load(target), kCsImageCorrupt);
        const auto error = LastError();
        EXPECT_EQ(error.code, kCsImageCorrupt);
        EXPECT_EQ(error.text, std::string("The device is empty or image is invalid, read 0x") +
                                  (blank ? "ffff" : "0000") + " for words 0-2");
        EXPECT_TRUE(header.IsPopulated()) << "the cache keeps what was read";
    }
}

TEST(ImageHeaderLoad, ZeroBlocksAndBadCrcAreCorrupt)
{
    ResetErrors();
    MemoryTarget zero(Words{0x1111, 0x00AA, 0x2222, 0, 0});
    CNvImageHdr header;
    EXPECT_EQ(header.Load(zero), kCsImageCorrupt);
    EXPECT_EQ(LastError().text, "The image stored in the device/file is corrupt (it contains zero blocks).");

    // Words 0 and 1 equal but word 2 different passes the blank test.
    Words image = nvimagegen::BuildImage(TwoBlockPlan());
    const uint16_t stored = image[0];
    image[0] = static_cast<uint16_t>(stored ^ 0x0001);
    MemoryTarget bad(image);
    ResetErrors();
    EXPECT_EQ(header.Load(bad), kCsImageCorrupt);
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "The CRC for the image was expected to be 0x%04X but was actually 0x%04X.",
                  static_cast<unsigned>(image[0]), static_cast<unsigned>(stored));
    EXPECT_EQ(LastError().text, expected);
}

TEST(ImageHeaderLoad, ShortTargetPassesTheTargetStatusOn)
{
    Words image = nvimagegen::BuildImage(TwoBlockPlan());
    image.resize(8);  // shorter than the 15-word header
    MemoryTarget target(image);
    CNvImageHdr header;
    EXPECT_EQ(header.Load(target), kCsNothingThere);

    MemoryTarget failing(nvimagegen::BuildImage(TwoBlockPlan()));
    failing.failReadAt = 1;
    EXPECT_EQ(header.Load(failing), kCsDeviceReadFailed);
}

TEST(ImageHeader, OneBlockHeaderIsSevenWordsAndItsCrcCoversWordsOneToSix)
{
    nvimagegen::ImagePlan plan;
    plan.csData = {7, 7};
    const Words image = nvimagegen::BuildImage(plan);
    MemoryTarget target(image);
    CNvImageHdr header;
    ASSERT_EQ(header.Load(target), kCsOk);
    EXPECT_EQ(header.GetTotalHeaderSizeInBytes(), 14);
    EXPECT_EQ(header.Words().size(), 7u);
    EXPECT_EQ(header.CalculateHeaderCrc(), CNvImageHdr::CalculateCrc16(image.data() + 1, 6));
    EXPECT_EQ(header.GetNumFwBlocks(), 0);
    BlockInfo info{1, 2, 3, 4};
    EXPECT_EQ(header.GetFwBlockInfo(0, info), kCsInvalidLength);
    EXPECT_EQ(info.length, 1) << "left unchanged";
    ASSERT_EQ(header.GetCsBlockInfo(info), kCsOk);
    EXPECT_EQ(info.location, 14);
    EXPECT_EQ(info.length, 4);
}

TEST(ImageHeader, BlockQueriesAndCacheAccessors)
{
    MemoryTarget target(nvimagegen::BuildImage(TwoBlockPlan()));
    CNvImageHdr header;
    ASSERT_EQ(header.Load(target), kCsOk);
    EXPECT_EQ(header.GetNumberOfBlockHeaders(), 3);
    EXPECT_EQ(header.GetNumFwBlocks(), 2);

    BlockInfo info{};
    ASSERT_EQ(header.GetFwBlockInfo(1, info), kCsOk);
    EXPECT_EQ(info.dest, 0x2000);
    EXPECT_EQ(info.length, 8);
    EXPECT_EQ(info.crc, CNvImageHdr::CalculateCrc16(Words{9, 8, 7, 6}.data(), 4));
    EXPECT_EQ(header.GetFwBlockInfo(2, info), kCsInvalidLength);

    // Byte 3 is the high byte of word 1.
    ASSERT_TRUE(header.WriteUint16IntoHdrCache(2, 0x0300));
    EXPECT_EQ(header.GetNumberOfBlockHeaders(), 3);
    ASSERT_TRUE(header.WriteUint16IntoHdrCache(2, 0x0003));
    EXPECT_EQ(header.GetNumberOfBlockHeaders(), 0);
    EXPECT_EQ(header.ReadUint8FromHdrCache(2), 3);
    EXPECT_EQ(header.ReadUint16FromHdrCache(3), 0x0003) << "odd address reads its word";

    // Odd addresses and addresses past the cache are refused.
    const Words before = header.Words();
    EXPECT_FALSE(header.WriteUint16IntoHdrCache(5, 0xBEEF));
    EXPECT_FALSE(header.WriteUint16IntoHdrCache(static_cast<uint16_t>(2 * before.size()), 0xBEEF));
    EXPECT_EQ(header.Words(), before);

    // Reads beyond the cache stay inside it.
    EXPECT_EQ(header.ReadUint16FromHdrCache(0xFFFF), 0);
    EXPECT_EQ(header.ReadUint8FromHdrCache(0xFFFE), 0);
    EXPECT_EQ(header.GetGenericBlockInfo(3, info), kCsInvalidLength);
    EXPECT_EQ(header.GetGenericBlockInfo(0xFFFF, info), kCsInvalidLength);

    header.Clear();
    EXPECT_FALSE(header.IsPopulated());
    EXPECT_EQ(header.GetCsBlockInfo(info), kCsInvalidLength);
    EXPECT_EQ(header.CalculateHeaderCrc(), 0);
    EXPECT_EQ(header.GetFwBlockInfo(0, info), kCsInvalidLength) << "an empty header has no blocks to give";
}

TEST(ImageHeaderSave, StoresBothCrcsAndLoadsAgain)
{
    Words image = nvimagegen::BuildImage(TwoBlockPlan());
    MemoryTarget source(image);
    CNvImageHdr header;
    ASSERT_EQ(header.Load(source), kCsOk);

    CNvImageCs cs;
    ASSERT_EQ(cs.WriteData(0, Words{0x0012, 0xAAAA, 0xBBBB}), kCsOk);
    MemoryTarget out;
    ASSERT_EQ(header.Save(out, cs), kCsOk);
    ASSERT_EQ(out.words.size(), header.Words().size());
    EXPECT_EQ(out.words[6], CNvImageHdr::CalculateCrc16(Words{0x0012, 0xAAAA, 0xBBBB}.data(), 3));
    EXPECT_EQ(out.words[0], CNvImageHdr::CalculateCrc16(out.words.data() + 1, out.words.size() - 1));
    // Location, dest and length are unchanged.
    for (size_t i = 1; i < out.words.size(); ++i)
        if (i != 6) {
            EXPECT_EQ(out.words[i], image[i]) << i;
        }

    CNvImageHdr again;
    EXPECT_EQ(again.Load(out), kCsOk);

    CNvImageCs empty;
    ASSERT_EQ(header.Save(out, empty), kCsOk);
    EXPECT_EQ(out.words[6], 0x0000);
}

TEST(ImageHeaderSave, FailuresReportTheirTexts)
{
    CNvImageHdr header;
    CNvImageCs cs;
    MemoryTarget out;
    ResetErrors();
    EXPECT_EQ(header.Save(out, cs), kCsWriteFailed);
    EXPECT_EQ(LastError().text, "Image header not present");
    EXPECT_TRUE(out.words.empty());

    // A header too short to hold the CS CRC (zero blocks).
    MemoryTarget zero(Words{0x1111, 0x0011, 0x2222});
    EXPECT_EQ(header.Load(zero), kCsImageCorrupt);
    ResetErrors();
    EXPECT_EQ(header.Save(out, cs), kCsInternalError);
    EXPECT_EQ(LastError().text, "Invalid location calculated for CS CRC");

    // The write's status is passed on; the new CRCs stay in the cache.
    MemoryTarget source(nvimagegen::BuildImage(TwoBlockPlan()));
    ASSERT_EQ(header.Load(source), kCsOk);
    MemoryTarget failing;
    failing.failWriteAt = static_cast<int32_t>(header.Words().size() - 1);
    EXPECT_EQ(header.Save(failing, cs), kCsDeviceReadFailed);
    EXPECT_EQ(header.Words()[6], 0);
}

TEST(ImageHeaderEquivalence, OnlyFirmwareBlockHeadersCount)
{
    MemoryTarget a(nvimagegen::BuildImage(TwoBlockPlan()));
    nvimagegen::ImagePlan otherCs = TwoBlockPlan();
    otherCs.csData = {0x0012, 9, 9, 9, 9, 9};
    MemoryTarget b(nvimagegen::BuildImage(otherCs));
    nvimagegen::ImagePlan otherFw = TwoBlockPlan();
    otherFw.firmware[1].dest = 0x3000;
    MemoryTarget c(nvimagegen::BuildImage(otherFw));
    nvimagegen::ImagePlan csOnly;
    csOnly.csData = {0x0012};
    MemoryTarget d(nvimagegen::BuildImage(csOnly));

    CNvImageHdr ha, hb, hc, hd, empty;
    ASSERT_EQ(ha.Load(a), kCsOk);
    ASSERT_EQ(hb.Load(b), kCsOk);
    ASSERT_EQ(hc.Load(c), kCsOk);
    ASSERT_EQ(hd.Load(d), kCsOk);

    EXPECT_TRUE(ha.IsFirmwareEquivalent(hb)) << "different CS CRCs do not matter";
    EXPECT_FALSE(ha.IsFirmwareEquivalent(hc));
    EXPECT_FALSE(ha.IsFirmwareEquivalent(hd)) << "other block count";
    EXPECT_TRUE(hd.IsFirmwareEquivalent(ha)) << "no firmware blocks: equivalent to anything";
    EXPECT_FALSE(ha.IsFirmwareEquivalent(empty));
    EXPECT_FALSE(empty.IsFirmwareEquivalent(ha));
    EXPECT_FALSE(empty.IsFirmwareEquivalent(empty));
}

}  // namespace
