// Fuzz target of the image header loader and the sections that follow it.
//
// The input is an image of little-endian words served by an in-memory
// target. After the header is loaded (or refused), every block query, the
// CS and firmware loads, CopyData and a Save must stay inside their arrays.
#include "cscache/nvimagecs.h"
#include "cscache/nvimagefw.h"
#include "cscache/nvimagehdr.h"
#include "cscache/targets.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

class WordTarget : public CTarget {
public:
    explicit WordTarget(std::vector<uint16_t> aWords) : mWords(std::move(aWords)) {}
    using CTarget::Read;
    using CTarget::Write;
    int32_t Read(uint16_t aAddress, uint16_t& aWord) override
    {
        if (aAddress >= mWords.size()) return kCsNothingThere;
        aWord = mWords[aAddress];
        return kCsOk;
    }
    int32_t Write(uint16_t aAddress, uint16_t aWord) override
    {
        if (aAddress >= mWords.size()) mWords.resize(size_t{aAddress} + 1, 0xFFFF);
        mWords[aAddress] = aWord;
        return kCsOk;
    }
    int32_t Size() override { return static_cast<int32_t>(mWords.size()); }

private:
    std::vector<uint16_t> mWords;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    std::vector<uint16_t> words(aSize / 2);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<uint16_t>(aData[2 * i] | (aData[2 * i + 1] << 8));
    // The last two input words steer CopyData.
    const uint16_t start = words.size() >= 2 ? words[words.size() - 2] : 0;
    const uint16_t length = words.size() >= 1 ? static_cast<uint16_t>(words.back() & 0x3F) : 0;

    WordTarget target(words);
    CNvImageHdr header;
    const int32_t status = header.Load(target);
    if (status == kCsOk && header.Words().size() != header.GetTotalHeaderSizeInBytes() / 2u) std::abort();

    BlockInfo info{};
    header.GetCsBlockInfo(info);
    for (uint32_t i = 0; i <= 256; ++i) header.GetFwBlockInfo(static_cast<uint16_t>(i), info);
    for (uint32_t a = 0; a < 2 * header.Words().size() + 4; ++a) {
        header.ReadUint8FromHdrCache(static_cast<uint16_t>(a));
        header.ReadUint16FromHdrCache(static_cast<uint16_t>(a));
    }
    CNvImageHdr other;
    WordTarget same(words);
    other.Load(same);
    // The same words give equivalent headers.
    if (status == kCsOk && (!header.IsFirmwareEquivalent(other) || !other.IsFirmwareEquivalent(header))) std::abort();
    CNvImageHdr empty;
    if (header.IsFirmwareEquivalent(empty) || empty.IsFirmwareEquivalent(header)) std::abort();

    CNvImageCs cs;
    cs.Load(target, header);
    std::vector<uint16_t> out;
    cs.ReadData(start, length, out);
    CNvImageFw fw;
    fw.Load(target, header);
    std::vector<uint16_t> copied(64, 0);
    fw.CopyData(header, start, length, copied.data());

    WordTarget written({});
    if (header.Save(written, cs) == kCsOk) {
        // The CS CRC a save stores is the one a read checks against.
        std::vector<uint16_t> csData;
        cs.ReadData(csData);
        if (header.CheckCsCrc(csData) != kCsOk) std::abort();
        CNvImageHdr reloaded;
        // A header that loaded saves into one that loads again (unless the new
        // CRC happens to make words 0-2 equal, which reads as a blank image).
        const std::vector<uint16_t>& w = header.Words();
        if (status == kCsOk && w[1] != w[2] && reloaded.Load(written) != kCsOk) std::abort();
    }
    fw.Save(written, header);
    return 0;
}
