#include "cscache/targets.h"

#include "support/fileutil.h"
#include "support/trace.h"

#include <iomanip>
#include <sstream>

namespace {

const char kSource[] = "targets";
// Upper word-address limit of the file reader.
const int32_t kFileAddressLimit = 0x7FFFFFF;
// Words a target can address (16-bit word addresses): a file's image is held
// no longer than that, whatever addresses the file names.
const uint32_t kTargetWords = 0x10000;

}  // namespace

// --- CTarget ---------------------------------------------------------------

CTarget::CTarget() = default;
CTarget::~CTarget() = default;

int32_t CTarget::Read(uint16_t aBegin, uint16_t aEnd, std::vector<uint16_t>& aDataOut)
{
    NVT_TRACE(kSource, "CTarget::Read", "aBegin=0x%x", aBegin, "aEnd=0x%x", aEnd, "&aDataOut=0x%08p", &aDataOut);
    aDataOut.clear();
    const int32_t size = Size();
    for (uint32_t address = aBegin; address < aEnd && static_cast<int64_t>(address) < size; ++address) {
        uint16_t word = 0xFFFF;
        const int32_t status = Read(static_cast<uint16_t>(address), word);
        aDataOut.push_back(word);
        if (status != kCsOk) return status;
    }
    if (aEnd < aBegin || aDataOut.size() != static_cast<size_t>(aEnd - aBegin)) {
        std::ostringstream text;
        text << std::hex << std::setfill('0');
        if (aEnd < aBegin)
            text << "Invalid range: end 0x" << std::setw(4) << aEnd << " lies below start 0x" << std::setw(4) << aBegin
                 << " in " << Describe();
        else
            text << "Words 0x" << std::setw(4) << (aBegin + aDataOut.size()) << "-0x" << std::setw(4) << (aEnd - 1u)
                 << " could not be read: " << Describe() << " holds " << std::dec << size << " words";
        ReportError(TheMsgHnd::Instance().GetHandler("CTarget::Read"), kCsNothingThere, text.str());
        return kCsNothingThere;
    }
    return kCsOk;
}

int32_t CTarget::Write(uint16_t aStartAddress, const std::vector<uint16_t>& aDataIn)
{
    NVT_TRACE(kSource, "CTarget::Write", "aStartAddress=0x%x", aStartAddress, "&aDataIn=0x%08p", &aDataIn);
    int32_t status = kCsOk;
    uint16_t address = aStartAddress;
    // The word counter is 16 bits wide: at most 65535 words per range.
    const uint16_t count = aDataIn.size() > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(aDataIn.size());
    for (uint16_t i = 0; i < count; ++i) {
        status = Write(address, aDataIn[i]);
        address = static_cast<uint16_t>(address + 1);
    }
    return status;
}

int32_t CTarget::Flush()
{
    NVT_TRACE(kSource, "CTarget::Flush");
    return kCsOk;
}

// --- CFileTarget -----------------------------------------------------------

CFileTarget::CFileTarget(bool aByteAddressed) : mByteAddressed(aByteAddressed)
{
    NVT_TRACE(kSource, "CFileTarget::CFileTarget");
}

CFileTarget::~CFileTarget()
{
    NVT_TRACE(kSource, "CFileTarget::~CFileTarget");
}

int32_t CFileTarget::Read(uint16_t aAddress, uint16_t& aWord)
{
    if (aAddress >= mImage.WordCount()) {
        aWord = 0xFFFF;
        return kCsNothingThere;
    }
    aWord = mImage.GetWord(aAddress);
    return kCsOk;
}

int32_t CFileTarget::Write(uint16_t aAddress, uint16_t aWord)
{
    mImage.SetWord(aAddress, aWord);
    return kCsOk;
}

int32_t CFileTarget::Size()
{
    NVT_TRACE(kSource, "CFileTarget::Size");
    return static_cast<int32_t>(mImage.WordCount());
}

int32_t CFileTarget::Initialise(const std::string& aFilename, bool aInitialiseForWrite)
{
    NVT_TRACE(kSource, "CFileTarget::Initialise", "aFilename=>%s<", aFilename, "aInitialiseForWrite=%d",
              aInitialiseForWrite);
    mFilename = aFilename;
    mImage.SetByteAddressed(mByteAddressed);
    if (aInitialiseForWrite) {
        // The check keeps an existing file as it is: if the write fails
        // later, the user still has the old file.
        return fileutil::IsFileWriteable(mFilename, true, false, false, false) ? kCsOk : kCsFileWriteFailed;
    }
    mImage.SetMaxWords(kTargetWords);
    if (mImage.ReadFile(mFilename, -1, kFileAddressLimit) < 0) {
        // Nothing of a failed read is served.
        mImage = XVImage();
        mImage.SetByteAddressed(mByteAddressed);
        ReportError(TheMsgHnd::Instance().GetHandler("CFileTarget::Initialise"), kCsFileReadFailed,
                    "Unable to read file '" + mFilename + "' (it was either missing or corrupt).");
        return kCsFileReadFailed;
    }
    return kCsOk;
}

int32_t CXUVTarget::Initialise(const std::string& aFilename, bool aInitialiseForWrite)
{
    NVT_TRACE(kSource, "CXUVTarget::Initialise", "aFilename=>%s<", aFilename, "aInitialiseForWrite=%d",
              aInitialiseForWrite);
    return CFileTarget::Initialise(aFilename, aInitialiseForWrite);
}

int32_t CIMGTarget::Initialise(const std::string& aFilename, bool aInitialiseForWrite)
{
    NVT_TRACE(kSource, "CIMGTarget::Initialise", "aFilename=>%s<", aFilename, "aInitialiseForWrite=%d",
              aInitialiseForWrite);
    return CFileTarget::Initialise(aFilename, aInitialiseForWrite);
}

int32_t CFileTarget::Flush()
{
    NVT_TRACE(kSource, "CFileTarget::Flush");
    if (!fileutil::IsFileWriteable(mFilename, true, false, false, false)) return kCsFileWriteFailed;
    if (!mImage.WriteFile(mFilename, 0, 6, 0, 0)) {
        ReportError(TheMsgHnd::Instance().GetHandler("CFileTarget::Flush"), kCsFileWriteFailed,
                    "Unable to write the file '" + mFilename + "'; it was left as it was.");
        return kCsFileWriteFailed;
    }
    return fileutil::MightUacMoveThisFile(mFilename) ? kCsWrittenMayBeRedirected : kCsOk;
}
