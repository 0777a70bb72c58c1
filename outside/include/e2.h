// Interface of the e2 library (EEPROM access through the chip) as
// NivoraTest binds it.
//
// An esquared object is bound to the chip on one open transport stream.
// Addresses and counts are in bytes and must be even; data travel as 16-bit
// words, the low byte at the even address.
#ifndef E2_H
#define E2_H

#include <cstdint>

#if defined(_WIN32)
#  if defined(E2_BUILD)
#    define E2_API __declspec(dllexport)
#  else
#    define E2_API __declspec(dllimport)
#  endif
#else
#  define E2_API __attribute__((visibility("default")))
#endif

enum esquared_error {
    ESQUARED_OK = 0,
    ESQUARED_NO_DEVICE = 1,      // no chip answers on the stream
    ESQUARED_BAD_PARAMETER = 2,  // odd address or count, or no buffer
    ESQUARED_OUT_OF_RANGE = 3,   // the range leaves the EEPROM
    ESQUARED_READ_FAILED = 4,
    ESQUARED_WRITE_FAILED = 5,
    ESQUARED_SIZE_UNKNOWN = 6
};

class E2_API esquared {
public:
    explicit esquared(uint32_t aStream);
    ~esquared();
    esquared(const esquared&) = delete;
    esquared& operator=(const esquared&) = delete;

    esquared_error Read(uint32_t aByteAddress, uint16_t* aData, uint32_t aByteCount);
    esquared_error Write(uint32_t aByteAddress, const uint16_t* aData, uint32_t aByteCount);
    // Size of the EEPROM in units of 1024 bits (one unit is 128 words).
    esquared_error GetSize(uint16_t& aSize);

    static const char* GetErrorText(esquared_error aError);

private:
    uint32_t mStream;
};

#endif
