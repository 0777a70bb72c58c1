// Lookup-table formats, the header retry and the candidate search.
#include "support/clock.h"
#include "ptest/lookuptable.h"
#include "quorlink.h"
#include "xbvbuilder.h"

#include <gtest/gtest.h>

using namespace devsim::ptimage;
using fixtures::MemoryImage;
using fixtures::PlaceTable;

namespace {

// A memory reader over a sparse image that counts its reads.
class FakeMemory : public IMemoryReaderGP {
public:
    bool ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords) override
    {
        ++reads;
        if (fail) return false;
        for (uint16_t i = 0; i < aCount; ++i) aWords[i] = image.Get(aSpace, aByteAddress / 2 + i);
        return true;
    }
    MemoryImage image;
    int reads = 0;
    bool fail = false;
};

CXapHelper Chip(int32_t aIndex, uint16_t aFirst = 0x0100, uint16_t aSecond = 0x0001, uint8_t aIdentified = 1)
{
    CXapHelper chip;
    chip.chipIndex = aIndex;
    chip.firstId = aFirst;
    chip.secondId = aSecond;
    chip.identified = aIdentified;
    return chip;
}

constexpr int32_t kFamily1Chip = 1;
constexpr int32_t kFamily2Chip = 19;
constexpr int32_t kFamily3Chip = 29;
constexpr int32_t kFamily4Chip = 38;

}  // namespace

class LookupTableTest : public ::testing::Test {
protected:
    nvtclock::ScopedFakeClock clock;
    FakeMemory memory;
};

TEST_F(LookupTableTest, PairListReadsUpToKeyZeroAndKeepsTheFirstValue)
{
    PlaceTable(memory.image, kPairList, 4, 0x80, {{3, 0x30}, {5, 0x50}, {3, 0x99}});
    CXapHelper chip = Chip(kFamily1Chip);
    CLookupTable table(&memory, &chip);
    ASSERT_TRUE(table.ReadTable(4, 0x100));
    EXPECT_EQ(table.Size(), 2u);
    EXPECT_EQ(table.Get(3), 0x30u);
    EXPECT_EQ(table.Get(5), 0x50u);
    // An absent key reads as 0 and is added.
    EXPECT_FALSE(table.Has(7));
    EXPECT_EQ(table.Get(7), 0u);
    EXPECT_TRUE(table.Has(7));

    FakeMemory empty;
    PlaceTable(empty.image, kPairList, 4, 0x80, {});
    CLookupTable none(&empty, &chip);
    EXPECT_TRUE(none.ReadTable(4, 0x100));
    EXPECT_TRUE(none.Loaded());
    EXPECT_EQ(none.Size(), 0u);
}

TEST_F(LookupTableTest, ListsSpanBlocksUpToTheWordLimit)
{
    std::vector<fixtures::TableEntry> many;
    for (uint16_t k = 1; k <= 200; ++k) many.push_back({k, static_cast<uint32_t>(k) * 0x10001u});
    PlaceTable(memory.image, kPairList, 4, 0x1000, many);
    PlaceTable(memory.image, kTripleList, 4, 0x3000, many);
    CXapHelper family1 = Chip(kFamily1Chip);
    CLookupTable pairs(&memory, &family1);
    ASSERT_TRUE(pairs.ReadTable(4, 0x2000));
    // Five blocks of 28 pairs bring the words read to 280.
    EXPECT_EQ(pairs.Size(), 140u);
    EXPECT_EQ(pairs.Get(140), 140u);  // 16-bit values
    CXapHelper family2 = Chip(kFamily2Chip);
    CLookupTable triples(&memory, &family2);
    ASSERT_TRUE(triples.ReadTable(4, 0x6000));
    // Blocks of 18 triples until 256 words from the header: five blocks.
    EXPECT_EQ(triples.Size(), 90u);
    EXPECT_EQ(triples.Get(19), 19u * 0x10001u);  // first triple of the second block
    EXPECT_EQ(triples.Get(90), 90u * 0x10001u);
    EXPECT_FALSE(triples.Has(91));
}

TEST_F(LookupTableTest, PairListInUpperSpaceTwoIsRelocated)
{
    PlaceTable(memory.image, kPairList, 2, 0x4100, {{7, 0x0010}, {8, 0xC123}, {13, 0x0020}, {9, 0x0030}});
    CXapHelper chip = Chip(kFamily1Chip);
    CLookupTable table(&memory, &chip);
    ASSERT_TRUE(table.ReadTable(2, 0x8200));
    EXPECT_EQ(table.Get(7), 0x0010u);
    EXPECT_EQ(table.Get(8), 0xC123u);  // stored as 0x8123, wraps back at 16 bits
    EXPECT_EQ(table.Get(13), 0x0020u);
    EXPECT_EQ(table.Get(9), 0x0030u);
}

TEST_F(LookupTableTest, FixedTablesStopAtTheirLastKey)
{
    CXapHelper chip = Chip(kFamily3Chip);
    // (9, a), (0, x), (15, y): only key 9.
    memory.image.Fill(4, 0x100, {kMagicTable, 0, 9, 0xA, 0, 0x1, 15, 0x2, 10, 0x3});
    CLookupTable table(&memory, &chip);
    ASSERT_TRUE(table.ReadTable(4, 0x200));
    EXPECT_EQ(table.Size(), 1u);
    EXPECT_EQ(table.Get(9), 0xAu);
    // Key 14 is stored and ends the table.
    memory.image.Fill(4, 0x200, {kMagicTable, 0, 14, 0x80, 9, 0x1});
    ASSERT_TRUE(table.ReadTable(4, 0x400));
    EXPECT_TRUE(table.Has(14));
    EXPECT_FALSE(table.Has(9));
    // The short table holds exactly keys 1, 2 and 3.
    memory.image.Fill(4, 0x300, {kMagicShort, 0x11, 0x22, 0x33, 0x44});
    ASSERT_TRUE(table.ReadTable(4, 0x600));
    EXPECT_EQ(table.Size(), 3u);
    EXPECT_EQ(table.Get(3), 0x33u);
}

TEST_F(LookupTableTest, TripleListFollowsRedirectsButNotLoops)
{
    CXapHelper chip = Chip(kFamily2Chip);
    PlaceTable(memory.image, kTripleListRedirected, 4, 0x400, {{9, 0x12345678}});
    CLookupTable table(&memory, &chip);
    ASSERT_TRUE(table.ReadTable(4, 0x800));
    EXPECT_EQ(table.Get(9), 0x12345678u);
    // A redirect to itself fails instead of hanging.
    memory.image.Fill(4, 0x900, {kMagicRedirect, 0x1200, 0x0400});
    EXPECT_FALSE(table.ReadTable(4, 0x1200));
}

TEST_F(LookupTableTest, ReadTableUsesTheFamilyFormatAndHasNoRetry)
{
    PlaceTable(memory.image, kFixedTable, 4, 0x100, {{9, 1}});
    memory.image.Fill(4, 0, {0, 0});  // where the fixed table's word 1 points
    CXapHelper family3 = Chip(kFamily3Chip);
    CXapHelper family1 = Chip(kFamily1Chip);
    CXapHelper family4 = Chip(kFamily4Chip);
    CXapHelper outside = Chip(77);
    EXPECT_TRUE(CLookupTable(&memory, &family3).ReadTable(4, 0x200));
    // Read as a pair list, the entries are looked for where word 1 points, not after the header.
    CLookupTable asPairs(&memory, &family1);
    EXPECT_TRUE(asPairs.ReadTable(4, 0x200));
    EXPECT_FALSE(asPairs.Has(9));
    EXPECT_FALSE(CLookupTable(&memory, &family4).ReadTable(4, 0x200));
    EXPECT_FALSE(CLookupTable(&memory, &outside).ReadTable(4, 0x200));
    EXPECT_FALSE(CLookupTable(&memory, nullptr).ReadTable(4, 0x200));
    // A missing table costs one header read and one 100 ms pause.
    memory.reads = 0;
    EXPECT_FALSE(CLookupTable(&memory, &family3).ReadTable(4, 0x4000));
    EXPECT_EQ(memory.reads, 1);
    EXPECT_EQ(clock->SleptMs(), 100u);
}

TEST_F(LookupTableTest, LocateOnTheSupportedFamilyRetriesTheFixedTable)
{
    CXapHelper chip = Chip(kFamily3Chip);
    CLookupTable table(&memory, &chip);
    EXPECT_FALSE(table.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(memory.reads, 3);
    EXPECT_EQ(clock->SleptMs(), 300u);

    PlaceTable(memory.image, kShortFixedTable, 4, 0x13FB8 / 2, {{1, 0x630}, {2, 0x640}});
    memory.reads = 0;
    ASSERT_TRUE(table.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(table.Get(2), 0x640u);
    int reads = memory.reads;
    // Located once: a second search reads nothing unless forced.
    EXPECT_TRUE(table.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(memory.reads, reads);
    EXPECT_TRUE(table.Locate(kLookupKindFirmware, true));
    EXPECT_GT(memory.reads, reads);
}

TEST_F(LookupTableTest, LocateCandidatesFollowFamilyAndVariant)
{
    PlaceTable(memory.image, kPairList, 4, 0x100, {{1, 0xA}});  // A
    PlaceTable(memory.image, kPairList, 4, 0x80, {{1, 0xB}});   // B
    // Family 1: A when bits 8-12 of the first word are set, else B.
    CXapHelper withBits = Chip(kFamily1Chip, 0x0100);
    CXapHelper withoutBits = Chip(kFamily1Chip, 0x0001);
    CLookupTable a(&memory, &withBits);
    ASSERT_TRUE(a.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(a.Get(1), 0xAu);
    CLookupTable b(&memory, &withoutBits);
    ASSERT_TRUE(b.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(b.Get(1), 0xBu);

    // Family 2 with a variant record (second word 0x2001 when the first is
    // below 256): the pointer at 0xFE6B/0xFE6A names the triple list.
    PlaceTable(memory.image, kTripleList, 4, 0x5000, {{1, 0xC}});
    memory.image.Set(4, 0xFE6B, 0xA000);  // low word: byte address 0xA000
    memory.image.Set(4, 0xFE6A, 0x0400);  // high word: space 4
    CXapHelper family2 = Chip(kFamily2Chip, 0x0010, 0x2001);
    CLookupTable p1(&memory, &family2);
    ASSERT_TRUE(p1.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(p1.Get(1), 0xCu);

    // An unidentified chip tries A first.
    CXapHelper unknown = Chip(0, 0x00FF, 0x00FF, 0);
    CLookupTable any(&memory, &unknown);
    ASSERT_TRUE(any.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(any.Get(1), 0xAu);
    // Nothing anywhere: four candidates, one header read and 100 ms each.
    FakeMemory blank;
    CLookupTable none(&blank, &unknown);
    uint64_t before = clock->SleptMs();
    EXPECT_FALSE(none.Locate(kLookupKindFirmware, false));
    EXPECT_EQ(clock->SleptMs() - before, 400u);
}

TEST_F(LookupTableTest, FailedReadsDiscardTheTable)
{
    CXapHelper chip = Chip(kFamily3Chip);
    CLookupTable table(&memory, &chip);
    memory.fail = true;
    EXPECT_FALSE(table.ReadTable(4, 0x200));
    EXPECT_FALSE(table.Loaded());
    EXPECT_FALSE(table.Has(1));
    EXPECT_EQ(table.Get(1), 0u);
    CLookupTable noReader(nullptr, &chip);
    EXPECT_FALSE(noReader.Locate(kLookupKindFirmware, false));
}
