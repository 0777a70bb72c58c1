#include "ptest/lookuptable.h"

#include "core/chiptable.h"
#include "support/clock.h"
#include "support/words.h"
#include "quorlink.h"

#include <vector>

namespace {

constexpr uint32_t kHeaderAttempts = 3;
constexpr uint32_t kHeaderRetrySleepMs = 100;
constexpr uint16_t kBlockWords = 56;
constexpr uint32_t kListWordLimit = 256;
constexpr uint32_t kPairsPerBlock = 28;
constexpr uint32_t kTriplesPerBlock = 18;
constexpr uint16_t kFixedTableWords = 30;
constexpr uint16_t kShortTableWords = 4;
constexpr uint16_t kFixedTableLastKey = 14;
// Redirects may chain; a chain longer than this is a loop in a broken image.
constexpr uint32_t kMaxRedirects = 16;

// Candidate locations of the main firmware's table.
constexpr uint32_t kSpaceData = kFirmwareSpace;
constexpr uint32_t kCandidateA = 0x200;
constexpr uint32_t kCandidateB = 0x100;
constexpr uint32_t kCandidateF = 0x13FB8;

const CLookupTable::VariantRecord kVariants[] = {
    {1, 0xF0FF, 0x1001, 0xFE6B, 0xFE6A, false},
    {2, 0xF0FF, 0x2001, 0xFE6B, 0xFE6A, false},
    {2, 0xF0FF, 0x3001, 0xFE6B, 0xFE6A, false},
    {7, 0x00FF, 0x0022, 0xF84B, 0xF84C, false},
    {8, 0x00FF, 0x0023, 0xF84B, 0xF84C, false},
    {0, 0x00FF, 0x0044, 0xF84B, 0xF84C, false},
};
const CLookupTable::VariantRecord kDefaultVariant = {0, 0, 0, 0, 0, false};

const CLookupTable::VariantRecord& FirstVariantOfKey(uint16_t aKey)
{
    for (const auto& record : kVariants)
        if (record.key == aKey) return record;
    return kDefaultVariant;
}

// The variant record that matches the chip's identification words.
const CLookupTable::VariantRecord& VariantOf(const CXapHelper& aChip)
{
    const bool bySecond = aChip.firstId < 256;
    const uint16_t word = bySecond ? aChip.secondId : aChip.firstId;
    for (const auto& record : kVariants)
        if (record.matchFirstId != bySecond && (word & record.mask) == record.value) return record;
    return kDefaultVariant;
}

bool Identified(const CXapHelper& aChip)
{
    if (aChip.identified != 0) return true;
    return aChip.chipIndex != 0 && aChip.firstId != 0x00FF &&
           (aChip.secondId != 0x00FF || (aChip.firstId & 0x1F00) != 0);
}

enum class Format { PairList, TripleList, FixedTable };

struct Candidate {
    Format format;
    uint32_t space;
    uint32_t byteAddress;
};

}  // namespace

CLookupTable::CLookupTable(IMemoryReaderGP* aReader, const CXapHelper* aChip)
    : mReader(aReader), mChip(aChip) {}

bool CLookupTable::Has(uint16_t aKey) const
{
    return mEntries && mEntries->count(aKey) != 0;
}

uint32_t CLookupTable::Get(uint16_t aKey)
{
    if (!mEntries) return 0;
    return (*mEntries)[aKey];
}

void CLookupTable::Insert(uint16_t aKey, uint32_t aValue)
{
    mEntries->emplace(aKey, aValue);  // a key already present keeps its first value
}

bool CLookupTable::ReadEntryWords(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount,
                                  uint16_t* aWords)
{
    if (mReader->ReadGP(aSpace, aByteAddress, aCount, aWords)) return true;
    mEntries.reset();  // a table read in part counts as not read
    return false;
}

bool CLookupTable::ReadHeader(uint32_t aSpace, uint32_t aByteAddress, bool aRetry,
                              uint16_t (&aHeader)[3])
{
    if (mReader == nullptr) return false;
    const uint32_t attempts = aRetry ? kHeaderAttempts : 1;
    for (uint32_t i = 0; i < attempts; ++i) {
        if (mReader->ReadGP(aSpace, aByteAddress, 3, aHeader) &&
            (aHeader[0] == kLookupMagicTable || aHeader[0] == kLookupMagicShort ||
             aHeader[0] == kLookupMagicRedirect))
            return true;
        nvtclock::SleepMs(kHeaderRetrySleepMs);
    }
    return false;
}

bool CLookupTable::ReadPairList(uint32_t aSpace, uint32_t aByteAddress, bool aRetry)
{
    uint16_t header[3];
    if (!ReadHeader(aSpace, aByteAddress, aRetry, header) || header[0] != kLookupMagicTable)
        return false;
    // Tables in the upper half of space 2 hold addresses relative to 0x4000.
    const bool shifted = aSpace == 2 && aByteAddress / 2 >= 0x4000;
    uint32_t word = header[1] + (shifted ? 0x4000u : 0u);
    mEntries.reset(new std::map<uint16_t, uint32_t>());
    uint16_t block[kBlockWords];
    for (uint32_t read = 0; read < kListWordLimit; read += kBlockWords, word += kBlockWords) {
        if (!ReadEntryWords(aSpace, word * 2, kBlockWords, block)) return false;
        for (uint32_t i = 0; i < kPairsPerBlock; ++i) {
            uint16_t key = block[2 * i];
            if (key == 0) return true;
            uint16_t value = block[2 * i + 1];
            if (shifted && (key == 7 || key == 8 || key == 13))
                value = static_cast<uint16_t>(value + 0x4000);
            Insert(key, value);
        }
    }
    return true;
}

bool CLookupTable::ReadTripleList(uint32_t aSpace, uint32_t aByteAddress, bool aRetry)
{
    uint16_t header[3];
    uint32_t space = aSpace;
    uint32_t address = aByteAddress;
    for (uint32_t hops = 0;; ++hops) {
        if (!ReadHeader(space, address, aRetry, header)) return false;
        if (header[0] != kLookupMagicRedirect) break;
        if (hops == kMaxRedirects) return false;
        const uint32_t packed = words::Join(header[2], header[1]);
        space = packed >> 24;
        address = packed & 0xFFFFFFu;
    }
    if (header[0] != kLookupMagicTable) return false;
    mEntries.reset(new std::map<uint16_t, uint32_t>());
    const uint32_t headerWord = address / 2;
    uint32_t word = headerWord + 1;
    uint16_t block[kBlockWords];
    while (word - headerWord < kListWordLimit) {
        if (!ReadEntryWords(space, word * 2, kBlockWords, block)) return false;
        for (uint32_t i = 0; i < kTriplesPerBlock; ++i) {
            uint16_t key = block[3 * i];
            if (key == 0) return true;
            Insert(key, words::Join(block[3 * i + 2], block[3 * i + 1]));
        }
        word += kTriplesPerBlock * 3;  // the next block starts at this one's 55th word
    }
    return true;
}

bool CLookupTable::ReadFixedTable(uint32_t aSpace, uint32_t aByteAddress, bool aRetry)
{
    uint16_t header[3];
    if (!ReadHeader(aSpace, aByteAddress, aRetry, header)) return false;
    if (header[0] != kLookupMagicTable && header[0] != kLookupMagicShort) return false;
    mEntries.reset(new std::map<uint16_t, uint32_t>());
    uint16_t words[kFixedTableWords];
    if (header[0] == kLookupMagicShort) {
        if (!ReadEntryWords(aSpace, aByteAddress, kShortTableWords, words)) return false;
        for (uint16_t key = 1; key <= 3; ++key) Insert(key, words[key]);
        return true;
    }
    if (!ReadEntryWords(aSpace, aByteAddress, kFixedTableWords, words)) return false;
    for (uint32_t i = 2; i + 1 < kFixedTableWords; i += 2) {
        uint16_t key = words[i];
        if (key == 0) continue;
        if (key > kFixedTableLastKey) break;
        Insert(key, words[i + 1]);
        if (key == kFixedTableLastKey) break;
    }
    return true;
}

bool CLookupTable::ReadPointer(const VariantRecord& aRecord, uint32_t& aSpace, uint32_t& aByteAddress)
{
    if (mReader == nullptr) return false;
    uint16_t low = 0, high = 0;
    if (!mReader->ReadGP(kSpaceData, static_cast<uint32_t>(aRecord.lowRegister) * 2, 1, &low) ||
        !mReader->ReadGP(kSpaceData, static_cast<uint32_t>(aRecord.highRegister) * 2, 1, &high))
        return false;
    const uint32_t packed = words::Join(high, low);
    aSpace = packed >> 24;
    aByteAddress = packed & 0xFFFFFFu;
    return true;
}

bool CLookupTable::ReadTable(uint32_t aSpace, uint32_t aByteAddress)
{
    mKind = -1;
    const int32_t family = mChip != nullptr ? ChipFamily(mChip->chipIndex) : kFamilyUnknown;
    switch (family) {
    case kFamilyOne: return ReadPairList(aSpace, aByteAddress, false);
    case kFamilyTwo: return ReadTripleList(aSpace, aByteAddress, false);
    case kFamilySupported: return ReadFixedTable(aSpace, aByteAddress, false);
    default: return false;
    }
}

bool CLookupTable::Locate(int32_t aKind, bool aForce)
{
    if (mReader == nullptr) return false;
    if (mEntries && mKind == aKind && !aForce) return true;
    mEntries.reset();
    mKind = aKind;
    if (aKind != kLookupKindFirmware) return false;

    std::vector<Candidate> candidates;
    const Candidate a{Format::PairList, kSpaceData, kCandidateA};
    const Candidate b{Format::PairList, kSpaceData, kCandidateB};
    uint32_t space = 0, address = 0;
    const int32_t family =
        (mChip != nullptr && Identified(*mChip)) ? ChipFamily(mChip->chipIndex) : kFamilyUnknown;
    if (family == kFamilyOne) {
        candidates.push_back((mChip->firstId & 0x1F00) != 0 ? a : b);
    } else if (family == kFamilyTwo) {
        if (ReadPointer(VariantOf(*mChip), space, address)) {
            candidates.push_back({Format::TripleList, space, address});
        } else {
            candidates.push_back(a);
            candidates.push_back(b);
        }
    } else if (family == kFamilySupported) {
        candidates.push_back({Format::FixedTable, kSpaceData, kCandidateF});
    } else {
        candidates.push_back(a);
        candidates.push_back(b);
        if (ReadPointer(FirstVariantOfKey(1), space, address))
            candidates.push_back({Format::TripleList, space, address});
        if (ReadPointer(FirstVariantOfKey(7), space, address))
            candidates.push_back({Format::TripleList, space, address});
    }

    const bool retry = candidates.size() == 1;
    for (const Candidate& c : candidates) {
        bool ok = false;
        switch (c.format) {
        case Format::PairList: ok = ReadPairList(c.space, c.byteAddress, retry); break;
        case Format::TripleList: ok = ReadTripleList(c.space, c.byteAddress, retry); break;
        case Format::FixedTable: ok = ReadFixedTable(c.space, c.byteAddress, retry); break;
        }
        if (ok) return true;
    }
    return false;
}
