#include "ptest/connection.h"

#include "core/chiptable.h"
#include "core/transport.h"
#include "nivoratest.h"
#include "support/hextext.h"

#include <string>

int32_t ListTransports(char* aBuffer, uintptr_t aBufferSize, uintptr_t* aCount, uintptr_t* aNeeded)
{
    return qlk_enumerate_strings(aBuffer, aBufferSize, aCount, aNeeded) == 0 ? NVT_OK : NVT_ERR_GENERAL;
}

int32_t OpenStream(QlkTransport aTransport, CLastError& aLastError, uint32_t& aStream)
{
    if (qlk_stream_open(&aStream, aTransport) != 0)
        return aLastError.SetError(NVT_ERR_CONNECTION, "Failed to connect to device (" + TransportErrorText() + ")");

    // Whatever ends the check, an unsupported chip's stream does not stay open.
    try {
        const CXapHelper& chip = qlk_stream_xap_helper(aStream);
        if (chip.chipIndex == kSupportedChipIndex) return NVT_OK;
        // A chip without a first identification word is named by its second.
        const uint32_t id = chip.firstId != 0 ? chip.firstId : static_cast<uint32_t>(chip.secondId) << 16;
        aLastError.SetError(NVT_ERR_UNSUPPORTED_DEVICE, "Unsupported device (ID = 0x" + hextext::Digits(id, 8) +
                                                            ", type = \"" + ChipName(chip.chipIndex) + "\")");
    } catch (...) {
        qlk_stream_close(aStream);
        throw;
    }
    qlk_stream_close(aStream);
    return NVT_ERR_UNSUPPORTED_DEVICE;
}

void CloseStream(uint32_t aStream)
{
    qlk_stream_close(aStream);
}

const CXapHelper& StreamChip(uint32_t aStream)
{
    return qlk_stream_xap_helper(aStream);
}

const CXapHelper& SupportedChip()
{
    static const CXapHelper supported = [] {
        CXapHelper chip;
        chip.identified = 1;
        chip.chipIndex = kSupportedChipIndex;
        return chip;
    }();
    return supported;
}
