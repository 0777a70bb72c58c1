// The firmware blocks of an NVM image: every block after the CS block, each
// held as the words it occupies in the image. Each block header names the
// word address (dest) at which the block lies in the chip's memory, so reads
// of chip memory can be answered from the cached blocks (CopyData).
#ifndef NVT_CSCACHE_NVIMAGEFW_H
#define NVT_CSCACHE_NVIMAGEFW_H

#include "cscache/csstatus.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CTarget;
class CNvImageHdr;

class CNvImageFw {
public:
    CNvImageFw();
    virtual ~CNvImageFw();

    // Reads every firmware block the header lists; after a failure the
    // blocks read before it stay cached.
    virtual int32_t Load(CTarget& aTarget, CNvImageHdr& aHeader);
    // Writes the blocks back at their locations; kCsNothingThere when fewer
    // blocks are cached than the header lists.
    virtual int32_t Save(CTarget& aTarget, CNvImageHdr& aHeader);
    // Number of cached blocks, and block aIndex (below BlockCount).
    std::size_t BlockCount() const { return mBlocks.size(); }
    const std::vector<uint16_t>& Block(std::size_t aIndex) const { return mBlocks[aIndex]; }
    virtual bool IsPopulated();
    virtual void Clear();
    // Copies aLength words of chip memory from word address aStartAddress out
    // of the first cached block that holds all of them. False (aDataOut
    // untouched) when no block does, when the cached block count differs
    // from the header's, or when aDataOut is null and words are asked for.
    virtual bool CopyData(CNvImageHdr& aHeader, uint16_t aStartAddress, uint16_t aLength, uint16_t* aDataOut);

    const std::vector<std::vector<uint16_t>>& Blocks() const { return mBlocks; }

    CNvImageFw(const CNvImageFw&) = delete;
    CNvImageFw& operator=(const CNvImageFw&) = delete;

private:
    std::vector<std::vector<uint16_t>> mBlocks;
};

#endif
