#include "cscache/nvimagecs.h"

#include "cscache/nvimagehdr.h"
#include "cscache/targets.h"
#include "support/trace.h"

namespace {

const char kSource[] = "nvimageinternals";

}  // namespace

CNvImageCs::CNvImageCs()
{
    NVT_TRACE(kSource, "CNvImageCs::CNvImageCs");
}

CNvImageCs::~CNvImageCs()
{
    NVT_TRACE(kSource, "CNvImageCs::~CNvImageCs");
}

int32_t CNvImageCs::Load(CTarget& aTarget, CNvImageHdr& aHeader)
{
    NVT_TRACE(kSource, "CNvImageCs::Load", "&aTarget=0x%08p", &aTarget, "&aHeader=0x%08p", &aHeader);
    BlockInfo info{};
    int32_t status = aHeader.GetCsBlockInfo(info);
    if (status == kCsOk) status = ReadBlockData(aTarget, info, mData);
    mModified = false;
    return status;
}

int32_t CNvImageCs::Save(CTarget& aTarget, CNvImageHdr& aHeader)
{
    NVT_TRACE(kSource, "CNvImageCs::Save", "&aTarget=0x%08p", &aTarget, "&aHeader=0x%08p", &aHeader);
    BlockInfo info{};
    int32_t status = aHeader.GetCsBlockInfo(info);
    if (status != kCsOk) return status;
    status = aTarget.Write(static_cast<uint16_t>(info.location / 2), mData);
    if (status == kCsOk) mModified = false;
    return status;
}

int32_t CNvImageCs::GetVersion(uint16_t& aVersion)
{
    NVT_TRACE(kSource, "CNvImageCs::GetVersion", "&aVersion=0x%08p", &aVersion);
    if (mData.empty()) {
        ReportError(TheMsgHnd::Instance().GetHandler("CNvImageCs::GetVersion"), kCsNothingThere,
                    "The cache has not been read/initialised yet");
        return kCsNothingThere;
    }
    aVersion = mData[0];
    return kCsOk;
}

int32_t CNvImageCs::ReadData(uint16_t aOffset, uint16_t aLength, std::vector<uint16_t>& aDestArray)
{
    NVT_TRACE(kSource, "CNvImageCs::ReadData", "aOffset=%d", aOffset, "aLength=%d", aLength, "&aDestArray=0x%08p",
              &aDestArray);
    aDestArray.clear();
    if (aLength == 0) {
        ReportError(TheMsgHnd::Instance().GetHandler("CNvImageCs::ReadData"), kCsInvalidLength,
                    "Invalid length requested");
        return kCsInvalidLength;
    }
    if (uint32_t{aOffset} + aLength > mData.size()) {
        ReportError(TheMsgHnd::Instance().GetHandler("CNvImageCs::ReadData"), kCsNothingThere,
                    "The requested data lie outside the cached CS data");
        return kCsNothingThere;
    }
    aDestArray.assign(mData.begin() + aOffset, mData.begin() + aOffset + aLength);
    return kCsOk;
}

int32_t CNvImageCs::ReadData(std::vector<uint16_t>& aDestData)
{
    NVT_TRACE(kSource, "CNvImageCs::ReadData", "&aDestData=0x%08p", &aDestData);
    aDestData = mData;
    return kCsOk;
}

int32_t CNvImageCs::WriteData(uint16_t aOffset, const std::vector<uint16_t>& aSrcArray)
{
    NVT_TRACE(kSource, "CNvImageCs::WriteData", "aOffset=%d", aOffset, "&aSrcArray=0x%08p", &aSrcArray);
    const size_t needed = size_t{aOffset} + aSrcArray.size();
    if (mData.size() < needed) mData.resize(needed, 0);
    if (aSrcArray.empty()) {
        ReportError(TheMsgHnd::Instance().GetHandler("CNvImageCs::WriteData"), kCsInvalidLength,
                    "Invalid length provided");
        return kCsInvalidLength;
    }
    for (size_t i = 0; i < aSrcArray.size(); ++i) {
        if (mData[aOffset + i] != aSrcArray[i]) {
            mData[aOffset + i] = aSrcArray[i];
            mModified = true;
        }
    }
    return kCsOk;
}

bool CNvImageCs::IsDataModified()
{
    NVT_TRACE(kSource, "CNvImageCs::IsDataModified");
    return mModified;
}

bool CNvImageCs::IsPopulated()
{
    NVT_TRACE(kSource, "CNvImageCs::IsPopulated");
    return !mData.empty();
}

void CNvImageCs::Clear()
{
    NVT_TRACE(kSource, "CNvImageCs::Clear");
    mData.clear();
}

void CNvImageCs::CopyFrom(const CNvImageCs& aOther)
{
    NVT_TRACE(kSource, "CNvImageCs::CopyFrom", "&aOther=0x%08p", &aOther);
    mData = aOther.mData;
    mModified = aOther.mModified;
}
