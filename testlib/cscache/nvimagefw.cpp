#include "cscache/nvimagefw.h"

#include "cscache/nvimagehdr.h"
#include "cscache/targets.h"
#include "support/trace.h"

#include <algorithm>

namespace {

const char kSource[] = "nvimageinternals";

}  // namespace

CNvImageFw::CNvImageFw()
{
    NVT_TRACE(kSource, "CNvImageFw::CNvImageFw");
}

CNvImageFw::~CNvImageFw()
{
    NVT_TRACE(kSource, "CNvImageFw::~CNvImageFw");
}

int32_t CNvImageFw::Load(CTarget& aTarget, CNvImageHdr& aHeader)
{
    NVT_TRACE(kSource, "CNvImageFw::Load", "&aTarget=0x%08p", &aTarget, "&aHeader=0x%08p", &aHeader);
    const uint16_t count = aHeader.GetNumFwBlocks();
    mBlocks.clear();
    int32_t status = kCsOk;
    for (uint32_t i = 0; i < count && status == kCsOk; ++i) {
        BlockInfo info{};
        status = aHeader.GetFwBlockInfo(static_cast<uint16_t>(i), info);
        if (status != kCsOk) break;
        mBlocks.emplace_back();
        status = ReadBlockData(aTarget, info, mBlocks.back());
        if (status != kCsOk) mBlocks.pop_back();
    }
    return status;
}

int32_t CNvImageFw::Save(CTarget& aTarget, CNvImageHdr& aHeader)
{
    NVT_TRACE(kSource, "CNvImageFw::Save", "&aTarget=0x%08p", &aTarget, "&aHeader=0x%08p", &aHeader);
    const uint16_t count = aHeader.GetNumFwBlocks();
    if (mBlocks.size() < count) {
        ReportError(TheMsgHnd::Instance().GetHandler("CNvImageFw::Save"), kCsNothingThere,
                    "Saving the image without previously populating the cache with the firmware data is not "
                    "allowed.");
        return kCsNothingThere;
    }
    int32_t status = kCsOk;
    for (uint32_t i = 0; i < count && status == kCsOk; ++i) {
        BlockInfo info{};
        status = aHeader.GetFwBlockInfo(static_cast<uint16_t>(i), info);
        if (status == kCsOk) status = aTarget.Write(static_cast<uint16_t>(info.location / 2), mBlocks[i]);
    }
    return status;
}

bool CNvImageFw::IsPopulated()
{
    NVT_TRACE(kSource, "CNvImageFw::IsPopulated");
    return !mBlocks.empty();
}

void CNvImageFw::Clear()
{
    NVT_TRACE(kSource, "CNvImageFw::Clear");
    mBlocks.clear();
}

bool CNvImageFw::CopyData(CNvImageHdr& aHeader, uint16_t aStartAddress, uint16_t aLength, uint16_t* aDataOut)
{
    NVT_TRACE(kSource, "CNvImageFw::CopyData", "&aHeader=0x%08p", &aHeader, "aStartAddress=0x%x", aStartAddress,
              "aLength=0x%x", aLength, "aDataOut=0x%08p", aDataOut);
    if (mBlocks.size() != aHeader.GetNumFwBlocks()) return false;
    if (aDataOut == nullptr && aLength > 0) return false;

    CMessageHandler& handler = TheMsgHnd::Instance().GetHandler("CNvImageFw::CopyData");
    for (size_t i = 0; i < mBlocks.size(); ++i) {
        if (DebugEnabled(handler, kDebugDetail))
            DebugPrint(handler, kSource, __LINE__, kDebugDetail, false, false, "blockNum=%d", static_cast<int>(i));
        BlockInfo info{};
        if (aHeader.GetFwBlockInfo(static_cast<uint16_t>(i), info) != kCsOk) continue;

        const std::vector<uint16_t>& block = mBlocks[i];
        if (DebugEnabled(handler, kDebugDetail))
            DebugPrint(handler, kSource, __LINE__, kDebugDetail, false, false,
                       "startMinusDest=0x%x, destPlusLength=0x%x",
                       static_cast<unsigned>(static_cast<uint16_t>(aStartAddress - info.dest)),
                       static_cast<unsigned>(static_cast<uint16_t>(info.dest + block.size())));
        // Computed wide, so neither the offset nor the end can wrap.
        if (aStartAddress < info.dest) continue;
        const size_t offset = size_t{aStartAddress} - info.dest;
        if (offset + aLength > block.size()) continue;

        if (DebugEnabled(handler, kDebugDetail))
            DebugPrint(handler, kSource, __LINE__, kDebugDetail, false, false,
                       "This block contains the data and is large enough");
        std::copy(block.begin() + static_cast<std::ptrdiff_t>(offset),
                  block.begin() + static_cast<std::ptrdiff_t>(offset + aLength), aDataOut);
        return true;
    }
    return false;
}
