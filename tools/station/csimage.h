// What the station checks in an NVM image beyond the keys it wrote: the
// library saves its cache as an XUV file (nvtCsCacheWriteToFile), and the
// station reads the words back from it, finds the CS block through the
// image header, compares images word by word, and makes a digest of a CS
// with the words of chosen keys left out.
#ifndef NVT_STATION_CSIMAGE_H
#define NVT_STATION_CSIMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace station {

// One key's words inside the CS data (word 0 is the CS version).
struct KeySpan {
    uint32_t offset = 0;
    uint32_t length = 0;
};

// The words of an XUV file (word addresses; words not in the file read
// 0xFFFF). False with a text for a file that is not one, or larger than an
// image can be.
bool ReadXuvWords(const std::string& aPath, std::vector<uint16_t>& aWords, std::string& aError);

// The CS data of an image: the words of block 0 as its header places them.
bool CsData(const std::vector<uint16_t>& aImage, std::vector<uint16_t>& aData, std::string& aError);

// The first word where two images differ ("" when they are equal), as a
// text that names the word and both values.
std::string FirstDifference(const std::vector<uint16_t>& aWritten, const std::vector<uint16_t>& aRead);

// SHA-256 of the CS data with the words of aLeftOut set to 0xFFFF first,
// so two CS blocks that differ only in those keys have one digest.
std::string CsDigest(std::vector<uint16_t> aData, const std::vector<KeySpan>& aLeftOut);

}  // namespace station

#endif
