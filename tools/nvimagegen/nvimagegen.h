// Builder of whole NVM images for tests, benchmarks and demonstrations.
//
// An image is laid out as: the header at word 0 (with the header CRC and the
// CS CRC), the CS block right after the header, then the firmware blocks one
// after the other. The CS data can be laid out from a key database build;
// the main firmware block carries the fixed-format lookup table of the
// supported chip family (memory space 4, byte address 0x13FB8) with the
// word address of the firmware's build id (entry 1) and of the CS keys
// block (entry 2). Images are written as XUV (word addresses) or IMG (byte
// addresses) text files.
#ifndef NVT_TOOLS_NVIMAGEGEN_H
#define NVT_TOOLS_NVIMAGEGEN_H

#include "cscache/targets.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CCsKeysInfo;

namespace nvimagegen {

// Word address (space 4) of the main firmware's lookup table for the
// supported chip family.
constexpr uint16_t kMainTableWordAddress = 0x13FB8 / 2;
constexpr uint16_t kTableMagic = 0xD397;
constexpr uint16_t kFixedTableWords = 30;

struct FirmwareBlock {
    uint16_t dest = 0;             // word address in the chip's memory
    std::vector<uint16_t> words;   // the block's data
};

struct ImagePlan {
    std::vector<uint16_t> csData;  // word 0 is the CS version
    std::vector<FirmwareBlock> firmware;
    uint8_t word1Low = 0;          // uninterpreted header bytes, kept as given
    uint16_t word2 = 0;
    uint16_t csDest = 0;
    // Extra words between the header and the CS block.
    uint16_t csPadWords = 0;
};

// The words of the whole image, with the header CRC and the CS CRC set and
// every firmware block's CRC computed over its data.
std::vector<uint16_t> BuildImage(const ImagePlan& aLayout);

// Header words alone (4N + 3 words) for the given layout, CRCs included.
std::vector<uint16_t> BuildHeader(const ImagePlan& aLayout);

// CS data laid out by build aCsVersion of aDatabase: word 0 the version, each
// key at its offset with the value from aValues (by key name, any case) or
// else its default; words no key covers are 0. The data are at least
// aMinWords long. Keys that aValues names but the build lacks are ignored.
std::vector<uint16_t> BuildCsData(CCsKeysInfo& aDatabase, uint16_t aCsVersion,
                                  const std::map<std::string, std::vector<uint16_t>>& aValues,
                                  uint16_t aMinWords = 0);

// A firmware block holding the main lookup table at kMainTableWordAddress,
// the build id right after the table and aPadWords further words.
FirmwareBlock MainFirmwareBlock(uint16_t aBuildId, uint16_t aCsKeysWordAddress = 0, uint16_t aPadWords = 0);

// The image as XUV (word addresses) or IMG (byte addresses) text, in the
// layout the file targets write ("\n" line ends).
std::string ImageText(const std::vector<uint16_t>& aWords, bool aByteAddressed, const std::string& aHeader = "");
// Writes it to a file; false on failure.
bool WriteImageFile(const std::string& aPath, const std::vector<uint16_t>& aWords, bool aByteAddressed,
                    const std::string& aHeader = "");

// A target over words in memory, with failures on demand: the one-word read
// of address failReadAt (or write of failWriteAt) returns failStatus.
class MemoryTarget : public CTarget {
public:
    MemoryTarget() = default;
    explicit MemoryTarget(std::vector<uint16_t> aWords) : words(std::move(aWords)) {}

    using CTarget::Read;
    using CTarget::Write;
    int32_t Read(uint16_t aAddress, uint16_t& aWord) override;
    int32_t Write(uint16_t aAddress, uint16_t aWord) override;
    int32_t Size() override { return static_cast<int32_t>(words.size()); }

    std::vector<uint16_t> words;
    int32_t failReadAt = -1;
    int32_t failWriteAt = -1;
    int32_t failStatus = kCsDeviceReadFailed;
    uint32_t reads = 0;
    uint32_t writes = 0;
};

}  // namespace nvimagegen

#endif
