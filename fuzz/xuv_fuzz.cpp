// Fuzz target of the memory-image text reader (XUV and IMG flavours).
//
// Every input is read in both flavours; whatever was read is written back and
// read again, and the two images must hold the same words and gaps.
#include "cscache/xvimage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Smaller than the file targets' limit so that one input cannot ask for
// hundreds of megabytes and slow the search down.
const int32_t kFuzzAddressLimit = 0x40000;

void CheckRoundTrip(const uint8_t* aData, size_t aSize, bool aByteAddressed, int32_t aStart)
{
    XVImage image;
    image.SetByteAddressed(aByteAddressed);
    const int32_t base = image.ReadText(reinterpret_cast<const char*>(aData), aSize, aStart, kFuzzAddressLimit);
    if (base < 0 && image.WordCount() != 0) std::abort();

    const std::string text = image.WriteText(0, 8, 0, 0);
    XVImage again;
    again.SetByteAddressed(aByteAddressed);
    // With a given start the written file may begin with a gap: read it back
    // from address 0 so that the gap is recreated.
    const int32_t base2 = again.ReadText(text.data(), text.size(), aStart >= 0 ? 0 : -1, 0x7FFFFFFF);
    if (image.WordCount() == 0) {
        if (base2 != -1) std::abort();
        return;
    }
    if (base2 != 0 || again.WordCount() != image.WordCount()) std::abort();
    // Only the first directive of a header is taken; a second one stays in
    // the header text and wins when the file is read again.
    if (image.Header().find("#!ALIGN ") == std::string::npos && again.Align() != image.Align()) std::abort();
    const auto& gaps = image.Gaps();
    const auto& gaps2 = again.Gaps();
    if (gaps.size() != gaps2.size()) std::abort();
    for (size_t i = 0; i < gaps.size(); ++i)
        if (gaps[i].first != gaps2[i].first || gaps[i].last != gaps2[i].last) std::abort();
    for (uint32_t i = 0; i < image.WordCount(); ++i)
        if (!image.InGap(i) && image.GetWord(i) != again.GetWord(i)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    CheckRoundTrip(aData, aSize, false, -1);
    CheckRoundTrip(aData, aSize, true, -1);
    CheckRoundTrip(aData, aSize, false, 0x10);
    return 0;
}
