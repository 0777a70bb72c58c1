// Read access to a firmware image by memory space and byte address, served
// by an XBV file or by a cached NVM image. The lookup-table reader works on
// this interface so that it never needs the chip.
#ifndef NVT_PTEST_MEMORYREADER_H
#define NVT_PTEST_MEMORYREADER_H

#include <cstdint>

class IMemoryReaderGP {
public:
    virtual ~IMemoryReaderGP() = default;
    // Reads aCount words starting at aByteAddress of aSpace into aWords.
    // Returns false when the words cannot be read.
    virtual bool ReadGP(uint32_t aSpace, uint32_t aByteAddress, uint16_t aCount, uint16_t* aWords) = 0;
};

#endif
