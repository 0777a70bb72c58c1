// Reader of the lookup tables a firmware image carries: small directories
// of 16-bit keys and 16- or 32-bit values that say where the firmware keeps
// its mailbox, its build id and its CS keys block.
//
// Tables are read through an IMemoryReaderGP (an XBV file or a cached NVM
// image), never from the chip. A table is either read at a known location
// in the format of the chip's family (ReadTable), or found by trying the
// candidate locations of the chip's family and processor variant (Locate).
#ifndef NVT_PTEST_LOOKUPTABLE_H
#define NVT_PTEST_LOOKUPTABLE_H

#include "ptest/memoryreader.h"

#include <cstdint>
#include <map>
#include <memory>

class CXapHelper;

// Header magics.
constexpr uint16_t kLookupMagicTable = 0xD397;     // pair list, triple list, fixed table
constexpr uint16_t kLookupMagicShort = 0x7AB1;     // short fixed table
constexpr uint16_t kLookupMagicRedirect = 0x793D;  // redirect to a triple list

// Kind of the main firmware's table, the only kind Locate serves.
constexpr int32_t kLookupKindFirmware = 0;

// Entries of the main firmware's lookup table (word addresses in the
// firmware memory space).
constexpr uint16_t kFwEntryBuildId = 1;
constexpr uint16_t kFwEntryCsKeys = 2;
// Entries of the production-test firmware's lookup table.
constexpr uint16_t kPtEntryCommand = 9;
constexpr uint16_t kPtEntryAlive = 10;
constexpr uint16_t kPtEntryParameters = 11;
constexpr uint16_t kPtEntryResults = 12;
constexpr uint16_t kPtEntryBuildId = 13;
constexpr uint16_t kPtEntryStart = 14;  // packed space and byte address

class CLookupTable {
public:
    // Neither the reader nor the chip description is owned; either may be null.
    CLookupTable(IMemoryReaderGP* aReader, const CXapHelper* aChip);
    CLookupTable(const CLookupTable&) = delete;
    CLookupTable& operator=(const CLookupTable&) = delete;

    // Reads the table at a location in the format of the chip's family
    // (1: pair list, 2: triple list, 3: fixed table), without header retry.
    bool ReadTable(uint32_t aSpace, uint32_t aByteAddress);
    // Finds and reads the table of a kind; a table of that kind already
    // loaded is kept unless aForce is set.
    bool Locate(int32_t aKind, bool aForce);

    bool Has(uint16_t aKey) const;
    // The value of a key; an absent key reads as 0 and is added with value 0.
    uint32_t Get(uint16_t aKey);
    bool Loaded() const { return static_cast<bool>(mEntries); }
    size_t Size() const { return mEntries ? mEntries->size() : 0; }

    // The format readers, each at a header location.
    bool ReadPairList(uint32_t aSpace, uint32_t aByteAddress, bool aRetry);
    bool ReadTripleList(uint32_t aSpace, uint32_t aByteAddress, bool aRetry);
    bool ReadFixedTable(uint32_t aSpace, uint32_t aByteAddress, bool aRetry);

    // A processor-variant record: where a pointer to the triple list sits.
    struct VariantRecord {
        uint16_t key;
        uint16_t mask;
        uint16_t value;
        uint16_t lowRegister;   // word address of the pointer's low word
        uint16_t highRegister;  // word address of the pointer's high word
        bool matchFirstId;      // matched against the first identification word
    };
    // Reads the pointer a record names; false when a read fails.
    bool ReadPointer(const VariantRecord& aRecord, uint32_t& aSpace, uint32_t& aByteAddress);

private:
    bool ReadHeader(uint32_t aSpace, uint32_t aByteAddress, bool aRetry, uint16_t (&aHeader)[3]);
    void Insert(uint16_t aKey, uint32_t aValue);
    // Reads words of a table's body; a failure discards the entries read so far.
    bool ReadEntryWords(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords);

    int32_t mKind = -1;
    IMemoryReaderGP* mReader;
    const CXapHelper* mChip;
    std::unique_ptr<std::map<uint16_t, uint32_t>> mEntries;
};

#endif
