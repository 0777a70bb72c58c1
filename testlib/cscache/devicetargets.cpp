#include "cscache/devicetargets.h"

#include "core/chiptable.h"
#include "support/clock.h"
#include "support/hextext.h"
#include "e2.h"
#include "flash.h"
#include "quorlink.h"
#include "support/trace.h"


namespace {

const char kSource[] = "targets";
const uint32_t kFlashBlockWords = 4096;
const uint32_t kFlashPollMs = 100;
const uint32_t kFlashImageKiloWords = 1024;
const char kNotSupported[] = "Not supported on this chip type";

}  // namespace

const CXapHelper& DeviceChip(uint32_t aStream)
{
    return qlk_stream_xap_helper(aStream);
}

int32_t CDeviceTarget::BindStream(int32_t aStream, const char* aCaller)
{
    mStream = aStream;
    if (DeviceChip(static_cast<uint32_t>(aStream)).chipIndex == kSupportedChipIndex) return kCsOk;
    ReportError(HandlerOf(aCaller), kCsNotSupported, kNotSupported);
    return kCsNotSupported;
}

// --- CSPIFTarget -------------------------------------------------------------

CSPIFTarget::CSPIFTarget() : mImage(new FlashImage(kFlashImageKiloWords))
{
    NVT_TRACE(kSource, "CSPIFTarget::CSPIFTarget");
}

CSPIFTarget::~CSPIFTarget()
{
    NVT_TRACE(kSource, "CSPIFTarget::~CSPIFTarget");
}

int32_t CSPIFTarget::Initialise(int32_t aStream)
{
    NVT_TRACE(kSource, "CSPIFTarget::Initialise", "aStream=%d", aStream);
    if (const int32_t status = BindStream(aStream, "CSPIFTarget::Initialise")) return status;
    mFlash.reset();
    mSize = 0;
    mFlash.reset(new flash(static_cast<uint32_t>(aStream)));
    mFlash->SetFlashTarget(FLASH_TARGET_SPI);
    if (mFlash->flash_identify() != 0 && WaitForFlash()) {
        flash_info_t info{};
        mFlash->GetFlashInfo(info);
        if (info.status == 1 && info.sizeBlocks != 0) {
            mFlash->UseImage(mImage.get());
            mSize = static_cast<int32_t>(static_cast<uint32_t>(info.sizeBlocks) << 12);
            return kCsOk;
        }
    }
    // The library's own error when it has one; a device that answered but
    // is not usable gets a text of its own.
    if (mFlash->GetErrorCode() != FLASH_OK)
        DetermineFlashDllErrorString(kCsDeviceReadFailed);
    else
        ReportError(HandlerOf("CSPIFTarget::Initialise"), kCsDeviceReadFailed,
                    "The SPI flash could not be used: the flash library reports no usable device");
    return kCsDeviceReadFailed;
}

bool CSPIFTarget::WaitForFlash()
{
    NVT_TRACE(kSource, "CSPIFTarget::WaitForFlash");
    if (mFlash == nullptr) return false;
    while (mFlash->IsBusy()) nvtclock::SleepMs(kFlashPollMs);
    return mFlash->GetErrorCode() == FLASH_OK;
}

bool CSPIFTarget::Cache(uint32_t aOffset)
{
    if (mImage == nullptr || mImage->IsUsed(aOffset)) return true;
    NVT_TRACE(kSource, "CSPIFTarget::Cache", "aOffset=0x%x", aOffset);
    if (mFlash == nullptr) return false;
    const uint32_t first = aOffset & ~(kFlashBlockWords - 1);
    if (mFlash->flash_dump_to_image_partial(first, first + kFlashBlockWords) > 0) return WaitForFlash();
    return false;
}

void CSPIFTarget::DetermineFlashDllErrorString(uint32_t aCurrentRetVal)
{
    NVT_TRACE(kSource, "CSPIFTarget::DetermineFlashDllErrorString", "aCurrentRetVal=%u", aCurrentRetVal);
    if (mFlash == nullptr) return;
    if (mFlash->GetErrorCode() != FLASH_OK)
        ReportError(HandlerOf("CSPIFTarget::DetermineFlashDllErrorString"), static_cast<int32_t>(aCurrentRetVal),
                    mFlash->GetErrorString());
}

int32_t CSPIFTarget::Read(uint16_t aAddress, uint16_t& aWord)
{
    if (mImage == nullptr) return kCsDeviceReadFailed;
    if (Cache(aAddress)) {
        aWord = mImage->Read(aAddress);
        return kCsOk;
    }
    DetermineFlashDllErrorString(kCsDeviceReadFailed);
    return kCsDeviceReadFailed;
}

int32_t CSPIFTarget::Write(uint16_t aAddress, uint16_t aWord)
{
    if (mImage == nullptr) return kCsWriteFailed;
    mImage->Write(aAddress, aWord);
    return kCsOk;
}

int32_t CSPIFTarget::Flush()
{
    NVT_TRACE(kSource, "CSPIFTarget::Flush");
    if (mFlash == nullptr) {
        ReportError(HandlerOf("CSPIFTarget::Flush"), kCsWriteFailed, "The image was not ready to be saved");
        return kCsWriteFailed;
    }
    if (mFlash->flash_burn() != 0 && WaitForFlash()) return kCsOk;
    DetermineFlashDllErrorString(kCsWriteFailed);
    return kCsWriteFailed;
}

int32_t CSPIFTarget::Size()
{
    NVT_TRACE(kSource, "CSPIFTarget::Size");
    return mSize;
}

// --- CE2Target ---------------------------------------------------------------

CE2Target::CE2Target()
{
    NVT_TRACE(kSource, "CE2Target::CE2Target");
}

CE2Target::~CE2Target()
{
    NVT_TRACE(kSource, "CE2Target::~CE2Target");
}

int32_t CE2Target::Initialise(int32_t aStream)
{
    NVT_TRACE(kSource, "CE2Target::Initialise", "aStream=%d", aStream);
    mE2.reset(new esquared(static_cast<uint32_t>(aStream)));
    return BindStream(aStream, "CE2Target::Initialise");
}

int32_t CE2Target::Read(uint16_t aBegin, uint16_t aEnd, std::vector<uint16_t>& aDataOut)
{
    NVT_TRACE(kSource, "CE2Target::Read", "aBegin=0x%x", aBegin, "aEnd=0x%x", aEnd, "&aDataOut=0x%08p", &aDataOut);
    aDataOut.clear();
    if (mE2 == nullptr) return kCsDeviceReadFailed;
    if (aEnd < aBegin) {
        // The count would wrap to nearly four billion words.
        ReportError(HandlerOf("CE2Target::Read"), kCsInvalidLength,
                    "Invalid EEPROM range: end 0x" + hextext::Short(aEnd) + " below start 0x" + hextext::Short(aBegin));
        return kCsInvalidLength;
    }
    const uint32_t count = static_cast<uint32_t>(aEnd - aBegin);
    std::vector<uint16_t> buffer(count);
    esquared_error e = mE2->Read(static_cast<uint32_t>(aBegin) * 2, buffer.data(), count * 2);
    if (e != ESQUARED_OK) {
        ReportError(HandlerOf("CE2Target::Read"), kCsDeviceReadFailed, esquared::GetErrorText(e));
        return kCsDeviceReadFailed;
    }
    aDataOut.insert(aDataOut.end(), buffer.begin(), buffer.end());
    return kCsOk;
}

int32_t CE2Target::Read(uint16_t aAddress, uint16_t& aWord)
{
    if (mE2 == nullptr) return kCsDeviceReadFailed;
    uint16_t word = 0;
    esquared_error e = mE2->Read(static_cast<uint32_t>(aAddress) * 2, &word, 2);
    if (e != ESQUARED_OK) {
        ReportError(HandlerOf("CE2Target::Read"), kCsDeviceReadFailed, esquared::GetErrorText(e));
        return kCsDeviceReadFailed;
    }
    aWord = word;
    return kCsOk;
}

int32_t CE2Target::Write(uint16_t aStartAddress, const std::vector<uint16_t>& aDataIn)
{
    NVT_TRACE(kSource, "CE2Target::Write", "aStartAddress=0x%x", aStartAddress, "&aDataIn=0x%08p", &aDataIn);
    if (mE2 == nullptr) return kCsWriteFailed;
    // No words: nothing to do, as for every other target (an image with an
    // empty firmware block writes to the EEPROM as it does to the flash).
    if (aDataIn.empty()) return kCsOk;
    // The library counts bytes in 32 bits; a larger range cannot be passed.
    if (aDataIn.size() > 0x7FFFFFFFu / 2) {
        ReportError(HandlerOf("CE2Target::Write"), kCsWriteFailed, "Too many words to write to the EEPROM");
        return kCsWriteFailed;
    }
    esquared_error e = mE2->Write(static_cast<uint32_t>(aStartAddress) * 2, aDataIn.data(),
                                  static_cast<uint32_t>(aDataIn.size() * 2));
    if (e != ESQUARED_OK) {
        ReportError(HandlerOf("CE2Target::Write"), kCsWriteFailed, esquared::GetErrorText(e));
        return kCsWriteFailed;
    }
    return kCsOk;
}

int32_t CE2Target::Write(uint16_t aAddress, uint16_t aWord)
{
    if (mE2 == nullptr) return kCsWriteFailed;
    esquared_error e = mE2->Write(static_cast<uint32_t>(aAddress) * 2, &aWord, 2);
    if (e != ESQUARED_OK) {
        ReportError(HandlerOf("CE2Target::Write"), kCsWriteFailed, esquared::GetErrorText(e));
        return kCsWriteFailed;
    }
    return kCsOk;
}

int32_t CE2Target::Size()
{
    NVT_TRACE(kSource, "CE2Target::Size");
    if (mE2 == nullptr) return 0;
    uint16_t size = 0;
    esquared_error e = mE2->GetSize(size);
    if (e != ESQUARED_OK) {
        ReportError(HandlerOf("CE2Target::Size"), kCsInternalError, esquared::GetErrorText(e));
        return 0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(size) * 1024 / 8);
}
