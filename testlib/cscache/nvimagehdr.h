// The header of an NVM image.
//
// Layout in words: 0 header CRC; 1 high byte N (number of block headers),
// low byte kept as read; 2 kept as read; then N block headers of four words
// each (location in bytes, dest word address, length in bytes, CRC). Block 0
// is the configuration-store (CS) block, whose CRC word (word 6) is the CS
// CRC; blocks 1 to N-1 are firmware blocks. The header CRC covers words 1
// to the end of the header.
#ifndef NVT_CSCACHE_NVIMAGEHDR_H
#define NVT_CSCACHE_NVIMAGEHDR_H

#include "cscache/csstatus.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CTarget;
class CNvImageCs;

// One block header.
struct BlockInfo {
    uint16_t length;    // bytes
    uint16_t location;  // byte address in the image
    uint16_t dest;      // word address in the chip's memory
    uint16_t crc;
};

// Reads one block's data from a target: the words from location / 2 up to,
// not including, (location + length) / 2, both divisions rounding down.
int32_t ReadBlockData(CTarget& aTarget, const BlockInfo& aInfo, std::vector<uint16_t>& aData);

class CNvImageHdr {
public:
    CNvImageHdr();
    virtual ~CNvImageHdr();

    // Reads and checks the header: words 0-2 equal, zero blocks and a wrong
    // header CRC give kCsImageCorrupt.
    //
    // Blank means erased. When words 0-2 read 0xFFFF, the whole area an
    // image can occupy on the target is read (see CheckErased): only when
    // every word of it reads 0xFFFF is the text "The device is empty or image
    // is invalid, read 0xffff for words 0-2" given. A target that holds data
    // further on is corrupt: "The device is not empty but its image is
    // invalid: word 0x0040 reads 0x1234" names the first word that is not
    // erased. Words 0-2 equal to another value give the first text with that
    // value ("read 0x0000 for words 0-2"). Any other failure text means the
    // image is there but corrupt or could not be read.
    virtual int32_t Load(CTarget& aTarget);
    // Compares the CS CRC (word 6) with the CRC of aCsData, the CS block as
    // read; kCsImageCorrupt with "The CS CRC for the image was expected to be
    // 0x1234 (stored) but was actually 0xABCD (computed)." when they differ.
    int32_t CheckCsCrc(const std::vector<uint16_t>& aCsData);
    // Stores the CS CRC of aCsImage's data and then the header CRC, and
    // writes the whole header at word 0.
    virtual int32_t Save(CTarget& aTarget, CNvImageCs& aCsImage);
    // Steps 1 to 3 of Save without the write: the CS CRC of aCsImage's data
    // and then the header CRC into the cache. 16 for an empty cache.
    int32_t UpdateCrcs(CNvImageCs& aCsImage);
    virtual int32_t GetCsBlockInfo(BlockInfo& aInfo);
    // Firmware block aBlockNum (block aBlockNum + 1); kCsInvalidLength when
    // there is no such block.
    virtual int32_t GetFwBlockInfo(uint16_t aBlockNum, BlockInfo& aInfo);
    // N - 1 as a 16-bit value.
    virtual uint16_t GetNumFwBlocks();
    // Whether a CS section built for this header may be written into an
    // image with the other header: same firmware block headers.
    virtual bool IsFirmwareEquivalent(const CNvImageHdr& aHdrToBeCompared);
    virtual bool IsPopulated();
    virtual void Clear();

    uint16_t CalculateHeaderCrc();
    uint8_t GetNumberOfBlockHeaders();
    uint16_t GetTotalHeaderSizeInBytes();
    // Reads beyond the cached words give 0.
    uint8_t ReadUint8FromHdrCache(uint16_t aByteAddress);
    uint16_t ReadUint16FromHdrCache(uint16_t aByteAddress);
    // Only an even address inside the cache is written.
    bool WriteUint16IntoHdrCache(uint16_t aByteAddress, uint16_t aValue);
    // Block header aBlockNum; kCsInvalidLength (aInfo unchanged) when the
    // cache does not hold all four of its words.
    int32_t GetGenericBlockInfo(uint16_t aBlockNum, BlockInfo& aInfo);

    const std::vector<uint16_t>& Words() const { return mHdrCache; }

    // The area an image can occupy on a target of aTargetWords words: from
    // word 0 up to, not including, min(aTargetWords, 0xFFFF). A block lies
    // at a 16-bit byte address and is at most 0xFFFF bytes long, so no block
    // reaches word 0xFFFF; the header (at most 1023 words) lies inside too.
    // For the EEPROM the size is the one the e2 library reports, for the SPI
    // flash the one the flash library reports, for a file its word count.
    static uint32_t ImageAreaWords(int32_t aTargetWords);
    // Words read per call while an area is checked for erased words: large
    // enough that an EEPROM read is one library call per 1024 words, small
    // enough that a non-erased word near the start ends the check early.
    static constexpr uint16_t kEraseCheckChunkWords = 1024;

    // The image CRC: MSB-first CRC-16 with polynomial 0x8005 over the
    // bit-reversed bytes, initial value 0, no final XOR ("123456789" gives
    // 0xBCDD).
    static uint16_t CalculateCrc16(const uint8_t* aBytes, size_t aCount, uint16_t aCrc = 0);
    // The same over words, each given low byte first.
    static uint16_t CalculateCrc16(const uint16_t* aWords, size_t aCount, uint16_t aCrc = 0);

    CNvImageHdr(const CNvImageHdr&) = delete;
    CNvImageHdr& operator=(const CNvImageHdr&) = delete;

private:
    // Words 0-2 read 0xFFFF: reports the blank text when the whole image
    // area of aTarget reads erased, else the first word that does not.
    int32_t CheckErased(CTarget& aTarget);

    std::vector<uint16_t> mHdrCache;
};

#endif
