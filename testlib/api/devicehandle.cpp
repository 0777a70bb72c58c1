#include "api/devicehandle.h"

#include "core/chiptable.h"
#include "support/hextext.h"
#include "nivoratest.h"
#include "cscache/nvtcscache.h"
#include "ptest/paramvalidator.h"

#include <sstream>

CDeviceHandle::CDeviceHandle() : validator(new CParamValidator(lastError)) {}

CDeviceHandle::~CDeviceHandle()
{
    if (state >= kStateConnected) qlk_stream_close(stream);
}

int32_t CDeviceHandle::RequireConnected()
{
    if (state < kStateConnected)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: Must be connected");
    return NVT_OK;
}

int32_t CDeviceHandle::RequireFirmware()
{
    if (state < kStateFirmwareLoaded)
        return lastError.SetError(NVT_ERR_SEQUENCE, "Invalid sequence: Ptest firmware must be loaded");
    return NVT_OK;
}

int32_t CDeviceHandle::Connect(QlkTransport aTransport, const char* aCsKeyDbPath)
{
    if (qlk_stream_open(&stream, aTransport) != 0)
        return lastError.SetError(NVT_ERR_CONNECTION,
                                  "Failed to connect to device (" + TransportErrorText() + ")");

    const CXapHelper& chip = qlk_stream_xap_helper(stream);
    if (chip.chipIndex != kSupportedChipIndex) {
        uint32_t id = chip.firstId != 0 ? chip.firstId : static_cast<uint32_t>(chip.secondId) << 16;
        std::ostringstream text;
        text << "Unsupported device (ID = 0x" << hextext::Digits(id, 8) << ", type = \"" << ChipName(chip.chipIndex)
             << "\")";
        lastError.SetError(NVT_ERR_UNSUPPORTED_DEVICE, text.str());
        qlk_stream_close(stream);
        return NVT_ERR_UNSUPPORTED_DEVICE;
    }
    state = kStateConnected;

    csCache.reset(new CNvtCsCache(lastError, stream));
    return csCache->Initialise(aCsKeyDbPath);
}

int32_t CDeviceHandle::GetChipId(uint16_t* aChipId)
{
    if (int32_t rc = RequireConnected()) return rc;
    if (aChipId == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    *aChipId = qlk_stream_xap_helper(stream).secondId;
    return NVT_OK;
}
