// The table of chips the transport library can identify: names for the
// refusal message and family types for the lookup-table reader; and the one
// chip type (with its firmware memory space) the library works with.
#ifndef NVT_CORE_CHIPTABLE_H
#define NVT_CORE_CHIPTABLE_H

#include <cstdint>

// The one chip the library accepts.
constexpr int32_t kSupportedChipIndex = 29;
// Memory space of the firmware's RAM: the production-test mailbox, the
// lookup tables and the CS keys block are all addressed in it.
constexpr uint32_t kFirmwareSpace = 4;
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
