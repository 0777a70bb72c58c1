// In-memory images of non-volatile memory.
//
// Image is a plain contiguous vector of 16-bit words, index 0 being the
// image's first word. XVImage (xvimage.h) adds the text file format.
#ifndef NVT_CSCACHE_IMAGE_H
#define NVT_CSCACHE_IMAGE_H

#include <cstdint>
#include <vector>

class Image {
public:
    Image() = default;
    virtual ~Image();

    // Sets the word at aIndex when the index lies inside the image; an
    // index at or beyond the word count is ignored.
    virtual void SetWord(uint32_t aIndex, uint16_t aValue);

    // The word at aIndex; an index at or beyond the word count reads as
    // 0xFFFF (erased memory) rather than touching memory outside the image.
    uint16_t GetWord(uint32_t aIndex) const
    {
        return aIndex < mWords.size() ? mWords[aIndex] : uint16_t{0xFFFF};
    }
    uint32_t WordCount() const { return static_cast<uint32_t>(mWords.size()); }
    const std::vector<uint16_t>& Words() const { return mWords; }

protected:
    std::vector<uint16_t> mWords;
};

#endif
