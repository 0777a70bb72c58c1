// The table of chips the transport library can identify: names for the
// refusal message and family types for the lookup-table reader.
#ifndef NVT_PTEST_CHIPTABLE_H
#define NVT_PTEST_CHIPTABLE_H

#include <cstdint>

// The one chip the library accepts.
constexpr int32_t kSupportedChipIndex = 29;
// Number of rows in the chip table.
constexpr int32_t kChipTableRows = 40;

// Family types of the chip table.
enum ChipFamilyType : int32_t {
    kFamilyUnknown = 0,
    kFamilyOne = 1,
    kFamilyTwo = 2,
    kFamilySupported = 3,
    kFamilyFour = 4,
};

// Name of a chip index; an index outside the table gives "Unknown device".
const char* ChipName(int32_t aChipIndex);
// Family type of a chip index; an index outside the table gives family 0.
int32_t ChipFamily(int32_t aChipIndex);

#endif
