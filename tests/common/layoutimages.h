// Whole images with a small key database whose builds place the same keys
// differently, for the tests of what reads, writes and merges keep: the
// layout of a key shows which build is selected, and a key of build 9 lies
// past the images' CS block.
#ifndef NVT_TESTS_COMMON_LAYOUTIMAGES_H
#define NVT_TESTS_COMMON_LAYOUTIMAGES_H

#include "keydbgen.h"
#include "nvimagegen.h"

#include <cstdint>
#include <vector>

namespace layoutimages {

using Words = std::vector<uint16_t>;

// Build 5: KEYA, TRIM and ADDR (words 1-6) inside a 16-word CS block.
// Build 7: TRIM and KEYA swapped, no ADDR. Build 9: build 5 and FAR
// (words 20-21), beyond the block.
constexpr uint16_t kCsWords = 16;
const char kBlankText[] = "The device is empty or image is invalid, read 0xffff for words 0-2";

inline keydbgen::Database Database()
{
    using keydbgen::Key;
    keydbgen::Database db;
    keydbgen::Build five = keydbgen::Build::Make(5);
    five.keys.push_back(Key::Make("KEYA", 1, 1, 1).Defaults({0x0A}));
    five.keys.push_back(Key::Make("TRIM", 2, 2, 1).Range(0x10, 0x20).Defaults({0x18}));
    five.keys.push_back(Key::Make("ADDR", 3, 3, 4).Defaults({1, 2, 3, 4}));
    db.builds.push_back(five);
    keydbgen::Build seven = keydbgen::Build::Make(7);
    seven.keys.push_back(Key::Make("TRIM", 2, 1, 1).Range(0x10, 0x20).Defaults({0x11}));
    seven.keys.push_back(Key::Make("KEYA", 1, 2, 1).Defaults({0x0B}));
    db.builds.push_back(seven);
    keydbgen::Build nine = five;
    nine.buildId = "9";
    nine.keys.push_back(Key::Make("FAR", 4, 20, 2).Defaults({7, 8}));
    db.builds.push_back(nine);
    return db;
}

// CS data of build aVersion: word 0 the version, then aFill + index, TRIM
// (word 2) as given.
inline Words CsData(uint16_t aVersion, uint16_t aTrim, uint16_t aFill, uint16_t aWords = kCsWords)
{
    Words data(aWords);
    data[0] = aVersion;
    for (uint16_t i = 1; i < aWords; ++i) data[i] = static_cast<uint16_t>(aFill + i);
    data[2] = aTrim;
    return data;
}

// The CS data, the main firmware block of build aBuildId with aPad further
// words, and with aSecondBlock a 40-word block at chip word 0x0100.
inline nvimagegen::ImagePlan ImageLayout(const Words& aCs, uint16_t aBuildId, uint16_t aPad,
                                         bool aSecondBlock = false)
{
    nvimagegen::ImagePlan layout;
    layout.csData = aCs;
    layout.firmware.push_back(nvimagegen::MainFirmwareBlock(aBuildId, 0, aPad));
    if (aSecondBlock) {
        nvimagegen::FirmwareBlock extra;
        extra.dest = 0x0100;
        for (uint16_t i = 0; i < 40; ++i) extra.words.push_back(static_cast<uint16_t>(0xE000 + i));
        layout.firmware.push_back(extra);
    }
    return layout;
}

}  // namespace layoutimages

#endif
