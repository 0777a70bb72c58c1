// Device targets: the chip's SPI flash and EEPROM as targets of an image.
//
// CDeviceTarget binds a target to the transport stream of a device handle.
// CSPIFTarget reads the SPI flash lazily, one 4096-word block per fetch,
// into a FlashImage buffer, keeps writes in that buffer and burns them on
// Flush. CE2Target goes to the EEPROM on every call. Both accept only the
// supported chip. Addresses are 16-bit word addresses as for every target.
#ifndef NVT_CSCACHE_DEVICETARGETS_H
#define NVT_CSCACHE_DEVICETARGETS_H

#include "cscache/targets.h"

#include <cstdint>
#include <memory>
#include <vector>

class CXapHelper;
class esquared;
class flash;
class FlashImage;

// The description of the chip on a transport stream, as the transport
// library reports it.
const CXapHelper& DeviceChip(uint32_t aStream);

class CDeviceTarget : public CTarget {
public:
    CDeviceTarget() = default;
    ~CDeviceTarget() override = default;

    // Binds the target to the chip on aStream; 15 for an unsupported chip.
    virtual int32_t Initialise(int32_t aStream) = 0;

    int32_t Stream() const { return mStream; }

protected:
    // Keeps aStream; kCsNotSupported, reported for aCaller, unless the chip
    // on it is the supported one (only its NVM can be reached).
    int32_t BindStream(int32_t aStream, const char* aCaller);

    int32_t mStream = 0x7FFFFFFF;  // no stream yet
};

class CSPIFTarget : public CDeviceTarget {
public:
    CSPIFTarget();
    ~CSPIFTarget() override;

    using CTarget::Read;
    using CTarget::Write;
    // The buffered word, fetching its 4096-word block first when needed.
    int32_t Read(uint16_t aAddress, uint16_t& aWord) override;
    // Stores the word in the buffer; nothing reaches the chip before Flush.
    int32_t Write(uint16_t aAddress, uint16_t aWord) override;
    // Burns the buffered writes into the flash and waits for the end.
    int32_t Flush() override;
    // Size of the flash in words; 0 before a successful Initialise.
    int32_t Size() override;
    int32_t Initialise(int32_t aStream) override;

    // Makes sure the buffer holds the word at aOffset: fetches the whole
    // block around it in one dump. False when the dump failed.
    bool Cache(uint32_t aOffset);
    // Polls the flash every 100 ms until it is idle; true when the operation
    // that ran ended without error. There is no time limit.
    bool WaitForFlash();
    // Reports the flash library's error text with aCurrentRetVal as the
    // code, when the library has an error.
    void DetermineFlashDllErrorString(uint32_t aCurrentRetVal);

private:
    std::unique_ptr<flash> mFlash;  // null until Initialise
    std::unique_ptr<FlashImage> mImage;
    int32_t mSize = 0;
};

class CE2Target : public CDeviceTarget {
public:
    CE2Target();
    ~CE2Target() override;

    // Reads the words aBegin to aEnd - 1 in one library call (no check
    // against Size). An end below the start reads nothing and fails.
    int32_t Read(uint16_t aBegin, uint16_t aEnd, std::vector<uint16_t>& aDataOut) override;
    int32_t Read(uint16_t aAddress, uint16_t& aWord) override;
    // Writes all words in one library call. No words: nothing is done and
    // the write succeeds.
    int32_t Write(uint16_t aStartAddress, const std::vector<uint16_t>& aDataIn) override;
    int32_t Write(uint16_t aAddress, uint16_t aWord) override;
    // Size of the EEPROM in words; 0 when it cannot be asked.
    int32_t Size() override;
    int32_t Initialise(int32_t aStream) override;

private:
    std::unique_ptr<esquared> mE2;  // null until Initialise
};

#endif
