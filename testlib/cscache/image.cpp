#include "cscache/image.h"

Image::~Image() = default;

void Image::SetWord(uint32_t aIndex, uint16_t aValue)
{
    if (aIndex < mWords.size()) mWords[aIndex] = aValue;
}
