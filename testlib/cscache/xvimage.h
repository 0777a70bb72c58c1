// Memory-image text files: XUV (word addresses) and IMG (byte addresses).
//
// A file is a free-text header followed by data lines of the form
//
//   @<hex address><white space><hex data>[anything up to the line end]
//
// Writing produces "@" + address (fixed digit count, upper case) + three
// blanks + four upper-case data digits per line. Files are text files: CR LF
// line ends on Windows, LF elsewhere; the reader accepts both.
//
// Addresses that a file skips are held in memory (the image stays one
// contiguous vector) and recorded as gaps, which the writer leaves out again.
// A "#!ALIGN <n>" directive in the header is kept apart and written back
// after the rest of the header.
#ifndef NVT_CSCACHE_XVIMAGE_H
#define NVT_CSCACHE_XVIMAGE_H

#include "cscache/image.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// A run of word indexes, both ends inclusive.
struct ImageRange {
    int32_t first;
    int32_t last;
};

class XVImage : public Image {
public:
    XVImage();
    ~XVImage() override;

    // Sets a word, growing the image with zero words when aIndex lies beyond
    // its end; the skipped words become a gap. A word set inside a gap is
    // taken out of the gap, so it is written to the file.
    void SetWord(uint32_t aIndex, uint16_t aValue) override;

    // Reads a file (text mode). Returns -1 when the file cannot be opened,
    // else the result of ReadStream.
    int32_t ReadFile(const std::string& aFilename, int32_t aStartAddress, int32_t aAddressLimit);
    // Reads header and data lines and appends them to the image. aStartAddress
    // -1 takes the first data line's address as the base (index 0); lines
    // below the base are skipped, and reading stops at the first line whose
    // word address is at or above aAddressLimit. Returns the base used, or -1
    // when no data line was taken (or the image could not be held in memory).
    int32_t ReadStream(std::istream& aIn, int32_t aStartAddress, int32_t aAddressLimit);
    // The same over text in memory.
    int32_t ReadText(const char* aText, size_t aLength, int32_t aStartAddress, int32_t aAddressLimit);

    // Writes the image (text mode) to a temporary file beside aFilename and
    // renames it over aFilename; false when that fails, and the old file
    // is then unchanged.
    bool WriteFile(const std::string& aFilename, uint32_t aBaseAddress, uint32_t aAddressDigits,
                   uint32_t aFirstIndex, uint32_t aEndIndex);
    // Writes the header, the alignment directive and one data line per word
    // from aFirstIndex up to (not including) aEndIndex, 0 meaning the word
    // count; words inside gaps are left out. aAddressDigits is 1 to 8.
    void WriteStream(std::ostream& aOut, uint32_t aBaseAddress, uint32_t aAddressDigits, uint32_t aFirstIndex,
                     uint32_t aEndIndex) const;
    // The text WriteStream writes, with "\n" line ends.
    std::string WriteText(uint32_t aBaseAddress, uint32_t aAddressDigits, uint32_t aFirstIndex,
                          uint32_t aEndIndex) const;

    const std::string& Header() const { return mHeader; }
    void SetHeader(const std::string& aHeader) { mHeader = aHeader; }
    const std::vector<ImageRange>& Gaps() const { return mGaps; }
    int32_t Align() const { return mAlign; }
    void SetAlign(int32_t aAlign) { mAlign = aAlign; }
    // Most words a read may leave in the image; 0: no bound. A data line
    // beyond it makes the image exactly this long (the missing words become
    // a gap) and its own word is dropped, so a tiny hostile file cannot claim
    // a huge image from a user that never reaches beyond the bound.
    void SetMaxWords(uint32_t aMaxWords) { mMaxWords = aMaxWords; }
    bool ByteAddressed() const { return mByteAddressed; }
    void SetByteAddressed(bool aByteAddressed) { mByteAddressed = aByteAddressed; }
    // Whether the word at aIndex lies inside a recorded gap.
    bool InGap(uint32_t aIndex) const;

private:
    // Records a gap, keeping the list ascending and merging with the first
    // recorded gap that it reaches.
    void AddGap(int32_t aFirst, int32_t aLast);
    // Takes one index out of the gap that holds it, if any.
    void RemoveFromGaps(uint32_t aIndex);
    void ExtractAlignDirective();
    int32_t ParseText(const char* aText, const char* aEnd, int32_t aStartAddress, int32_t aAddressLimit);

    std::string mHeader;
    std::vector<ImageRange> mGaps;
    int32_t mAlign = 0;
    bool mByteAddressed = false;
    uint32_t mMaxWords = 0;
};

#endif
