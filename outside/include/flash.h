// Interface of the flash library (SPI flash access through the chip) as
// NivoraTest binds it.
//
// A flash object is bound to the chip on one open transport stream. It
// works asynchronously: flash_identify, flash_dump_to_image_partial and
// flash_burn start an operation and return at once; the caller polls IsBusy
// until it ends and then reads GetErrorCode. Data move between the flash and
// a FlashImage buffer; word addresses are flash word addresses.
#ifndef FLASH_H
#define FLASH_H

#include <cstdint>

#if defined(_WIN32)
#  if defined(FLASH_BUILD)
#    define FLASH_API __declspec(dllexport)
#  else
#    define FLASH_API __declspec(dllimport)
#  endif
#else
#  define FLASH_API __attribute__((visibility("default")))
#endif

enum flash_error_t {
    FLASH_OK = 0,
    FLASH_NO_DEVICE = 1,        // no chip answers on the stream
    FLASH_NO_TARGET = 2,        // SetFlashTarget was not called
    FLASH_NOT_IDENTIFIED = 3,   // the flash device did not answer
    FLASH_NO_IMAGE = 4,         // no image buffer given
    FLASH_BUSY = 5,             // an operation is still running
    FLASH_OUT_OF_RANGE = 6,     // the range leaves the device or the buffer
    FLASH_DUMP_FAILED = 7,
    FLASH_BURN_FAILED = 8
};

enum flash_target_t {
    FLASH_TARGET_NONE = 0,
    FLASH_TARGET_SPI = 1  // the SPI flash on the chip's SPI port
};

struct flash_info_t {
    uint32_t status;        // 1: a usable device was identified
    uint16_t sizeBlocks;    // device size in 4096-word blocks
    uint16_t sectorWords;   // erase sector size in words
    uint32_t jedecId;       // manufacturer and device code
};

// A word buffer covering a flash device. It remembers which words it holds
// (read by a dump or written by the caller) and which of them still have to
// be burnt.
class FLASH_API FlashImage {
public:
    // aKiloWords: capacity of the buffer in units of 1024 words.
    explicit FlashImage(uint32_t aKiloWords);
    ~FlashImage();

    uint32_t capacity() const { return mCapacity; }
    bool IsUsed(uint32_t aWordAddress) const;
    uint16_t Read(uint32_t aWordAddress) const;
    void Write(uint32_t aWordAddress, uint16_t aWord);

    // For the flash object: a dumped word (held, not to be burnt) and the
    // words waiting to be burnt.
    void Fill(uint32_t aWordAddress, uint16_t aWord);
    bool IsDirty(uint32_t aWordAddress) const;
    void ClearDirty();
    // Number of the first block (4096 words) at or after aFrom that holds
    // words to be burnt; false when there is none.
    bool NextDirtyBlock(uint32_t aFrom, uint32_t& aBlock) const;

    FlashImage(const FlashImage&) = delete;
    FlashImage& operator=(const FlashImage&) = delete;

private:
    struct Blocks;  // the held 4096-word blocks, allocated as they are touched
    uint32_t mCapacity;
    Blocks* mBlocks;
};

class FLASH_API flash {
public:
    explicit flash(uint32_t aStream);
    ~flash();
    flash(const flash&) = delete;
    flash& operator=(const flash&) = delete;

    void SetFlashTarget(flash_target_t aTarget);
    // Starts identifying the device; non-zero when started.
    int32_t flash_identify();
    void GetFlashInfo(flash_info_t& aInfo);
    void UseImage(FlashImage* aImage);
    // Starts reading words aFirst to aEnd - 1 into the image; the number of
    // words to read (above 0) when started.
    int32_t flash_dump_to_image_partial(uint32_t aFirst, uint32_t aEnd);
    // Starts burning the image's changed words; non-zero when started.
    int32_t flash_burn();
    bool IsBusy();
    flash_error_t GetErrorCode();
    const char* GetErrorString();

private:
    enum Job { kNone, kIdentify, kDump, kBurn };
    // A dump or burn needs an identified device and an image buffer.
    bool ReadyForData();
    bool Start(Job aJob);
    void Finish();
    void Fail(flash_error_t aError);

    uint32_t mStream;
    flash_target_t mTarget = FLASH_TARGET_NONE;
    FlashImage* mImage = nullptr;
    flash_info_t mInfo{0, 0, 0, 0};
    Job mJob = kNone;
    uint32_t mFirst = 0;
    uint32_t mEnd = 0;
    flash_error_t mError = FLASH_OK;
};

#endif
