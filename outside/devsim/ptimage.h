// Layout of the production-test firmware images the simulated chip runs.
//
// An image is recognised by the header at its entry point (the word the
// program counter names): a signature, the location and format of its
// production-test lookup table, its API version and the behaviour the image
// was built with. The fixture builders write this header; the emulated
// firmware reads it from RAM when the processor is let go, then reads its
// lookup table from RAM to find its mailbox.
#ifndef DEVSIM_PTIMAGE_H
#define DEVSIM_PTIMAGE_H

#include <cstdint>

namespace devsim {
namespace ptimage {

constexpr uint16_t kSignature0 = 0x5054;  // "PT"
constexpr uint16_t kSignature1 = 0x4657;  // "FW"
constexpr uint16_t kHeaderWords = 16;

// Word offsets in the header.
enum HeaderWord : uint16_t {
    kWordSignature0 = 0,
    kWordSignature1 = 1,
    kWordHeaderLength = 2,
    kWordTableFormat = 3,
    kWordTableHigh = 4,    // packed table location: space in bits 24-31,
    kWordTableLow = 5,     // byte address in bits 0-23
    kWordApiHigh = 6,
    kWordApiLow = 7,
    kWordBehaviour = 8,
    kWordBehaviourCommand = 9,
    kWordBehaviourAnswer = 10,
    kWordAnswerDelay = 11,  // polls of the command word before each answer
    kWordTxPerPoll = 12,    // packets sent between two TX counter queries
    kWordRxPerPoll = 13,    // packets received between two RX counter queries
};

// Formats of a lookup table.
enum TableFormat : uint16_t {
    kPairList = 0,
    kTripleList = 1,
    kTripleListRedirected = 2,
    kFixedTable = 3,
    kShortFixedTable = 4,
};

// How the firmware behaves, chosen when the image is built.
enum Behaviour : uint16_t {
    kNormal = 0,
    kSilent = 1,       // never answers, the alive tick never moves
    kAliveOnly = 2,    // the alive tick moves, nothing is answered
    kWrongReady = 3,   // answers the start with the behaviour answer instead of 0xFABC
    kAnswerCode = 4,   // answers the behaviour command with the behaviour answer
};

constexpr uint16_t kReady = 0xFABC;
constexpr uint16_t kAnswerOk = 0x8000;
constexpr uint16_t kAnswerInvalid = 0x8001;
constexpr uint16_t kAnswerUnknown = 0x8003;

// Magics of the lookup-table headers.
constexpr uint16_t kMagicTable = 0xD397;
constexpr uint16_t kMagicShort = 0x7AB1;
constexpr uint16_t kMagicRedirect = 0x793D;

// Words of the production-test table's entries.
constexpr uint16_t kEntryCommand = 9;
constexpr uint16_t kEntryAlive = 10;
constexpr uint16_t kEntryParameters = 11;
constexpr uint16_t kEntryResults = 12;
constexpr uint16_t kEntryBuildId = 13;
constexpr uint16_t kEntryStart = 14;

// The main firmware's lookup table (space 4 word address, a fixed or a
// short fixed table) and its entry for the CS keys block; the block's word
// 0 is the CS version, word 5 the crystal trim the chip starts with.
constexpr uint32_t kMainTableWord = 0x9FDC;
constexpr uint16_t kMainEntryCsKeys = 2;
constexpr uint16_t kCsKeyCrystalTrim = 5;

// Where the program counter sits (space 4 word addresses).
constexpr uint32_t kProgramCounterHigh = 0xFFE9;
constexpr uint32_t kProgramCounterLow = 0xFFEA;

}  // namespace ptimage
}  // namespace devsim

#endif
