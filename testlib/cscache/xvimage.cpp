#include "cscache/xvimage.h"

#include "support/fileutil.h"
#include "support/hextext.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <new>
#include <ostream>

namespace {

const char kAlignDirective[] = "#!ALIGN ";
const char kHexDigits[] = "0123456789ABCDEF";

// The white space that may separate address and data.
inline bool IsSpace(char aChar)
{
    return aChar == ' ' || aChar == '\t' || aChar == '\n' || aChar == '\v' || aChar == '\f' || aChar == '\r';
}

// Reads one or more hex digits into a 32-bit accumulator (higher digits
// shift out). Returns false when there is no digit at aPos.
inline bool ReadHex(const char*& aPos, const char* aEnd, uint32_t& aValue)
{
    const char* start = aPos;
    uint32_t value = 0;
    int digit;
    while (aPos < aEnd && (digit = hextext::DigitValue(*aPos)) >= 0) {
        value = (value << 4) | static_cast<uint32_t>(digit);
        ++aPos;
    }
    aValue = value;
    return aPos != start;
}

// Position just after the next line feed at or after aPos, or aEnd.
inline const char* NextLine(const char* aPos, const char* aEnd)
{
    if (aPos >= aEnd) return aEnd;
    const void* lf = std::memchr(aPos, '\n', static_cast<size_t>(aEnd - aPos));
    return lf != nullptr ? static_cast<const char*>(lf) + 1 : aEnd;
}

// Appends aDigits upper-case hex digits of aValue.
inline char* PutHex(char* aOut, uint32_t aValue, uint32_t aDigits)
{
    for (uint32_t i = aDigits; i > 0; --i) {
        aOut[i - 1] = kHexDigits[aValue & 0xF];
        aValue >>= 4;
    }
    return aOut + aDigits;
}

}  // namespace

XVImage::XVImage() = default;
XVImage::~XVImage() = default;

void XVImage::SetWord(uint32_t aIndex, uint16_t aValue)
{
    // Gap indexes are signed 32-bit; an index beyond them cannot be held.
    if (aIndex > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return;
    const uint32_t count = WordCount();
    if (aIndex >= count) {
        try {
            mWords.resize(static_cast<size_t>(aIndex) + 1, 0);
        } catch (const std::bad_alloc&) {
            return;
        }
        if (aIndex > count) AddGap(static_cast<int32_t>(count), static_cast<int32_t>(aIndex - 1));
    } else {
        RemoveFromGaps(aIndex);
    }
    mWords[aIndex] = aValue;
}

bool XVImage::InGap(uint32_t aIndex) const
{
    auto it = std::upper_bound(mGaps.begin(), mGaps.end(), aIndex,
                               [](uint32_t aValue, const ImageRange& aRange) {
                                   return static_cast<int64_t>(aValue) < aRange.first;
                               });
    if (it == mGaps.begin()) return false;
    --it;
    return static_cast<int64_t>(aIndex) <= it->last;
}

void XVImage::AddGap(int32_t aFirst, int32_t aLast)
{
    auto it = std::find_if(mGaps.begin(), mGaps.end(), [aFirst](const ImageRange& aRange) {
        return aRange.first >= aFirst;
    });
    if (it != mGaps.end() && static_cast<int64_t>(aLast) + 1 >= it->first) {
        it->first = aFirst;
        it->last = std::max(it->last, aLast);
    } else {
        mGaps.insert(it, ImageRange{aFirst, aLast});
    }
}

void XVImage::RemoveFromGaps(uint32_t aIndex)
{
    if (mGaps.empty()) return;
    const int32_t index = static_cast<int32_t>(aIndex);
    auto it = std::upper_bound(mGaps.begin(), mGaps.end(), index,
                               [](int32_t aValue, const ImageRange& aRange) { return aValue < aRange.first; });
    if (it == mGaps.begin()) return;
    --it;
    if (index > it->last) return;
    if (it->first == it->last) {
        mGaps.erase(it);
    } else if (index == it->first) {
        ++it->first;
    } else if (index == it->last) {
        --it->last;
    } else {
        const ImageRange upper{index + 1, it->last};
        it->last = index - 1;
        mGaps.insert(it + 1, upper);
    }
}

int32_t XVImage::ReadFile(const std::string& aFilename, int32_t aStartAddress, int32_t aAddressLimit)
{
    std::ifstream in(aFilename);
    if (!in.is_open()) return -1;
    return ReadStream(in, aStartAddress, aAddressLimit);
}

int32_t XVImage::ReadStream(std::istream& aIn, int32_t aStartAddress, int32_t aAddressLimit)
{
    // The whole text is taken in at once and parsed from memory: far faster
    // than character-wise stream extraction, with the same result.
    std::string text;
    try {
        char buffer[65536];
        while (aIn.read(buffer, sizeof buffer) || aIn.gcount() > 0) {
            text.append(buffer, static_cast<size_t>(aIn.gcount()));
            if (aIn.eof()) break;
        }
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return ReadText(text.data(), text.size(), aStartAddress, aAddressLimit);
}

void XVImage::ExtractAlignDirective()
{
    const size_t pos = mHeader.find(kAlignDirective);
    if (pos == std::string::npos) return;
    const size_t lf = mHeader.find('\n', pos);  // every header line ends in one
    const size_t numberStart = pos + sizeof kAlignDirective - 1;
    const size_t numberEnd = lf == std::string::npos ? mHeader.size() : lf;

    // Decimal number: optional blanks and sign, then digits; the first other
    // character ends it. Saturates instead of overflowing.
    size_t i = numberStart;
    while (i < numberEnd && (mHeader[i] == ' ' || mHeader[i] == '\t')) ++i;
    bool negative = false;
    if (i < numberEnd && (mHeader[i] == '+' || mHeader[i] == '-')) negative = mHeader[i++] == '-';
    int64_t value = 0;
    while (i < numberEnd && mHeader[i] >= '0' && mHeader[i] <= '9') {
        value = std::min<int64_t>(value * 10 + (mHeader[i] - '0'), int64_t{1} << 32);
        ++i;
    }
    if (negative) value = -value;
    value = std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    mAlign = static_cast<int32_t>(value);
    mHeader.erase(pos, numberEnd - pos);
}

int32_t XVImage::ReadText(const char* aText, size_t aLength, int32_t aStartAddress, int32_t aAddressLimit)
{
    try {
        return ParseText(aText, aText + aLength, aStartAddress, aAddressLimit);
    } catch (const std::bad_alloc&) {
        // An image too large to hold counts as unreadable.
        return -1;
    }
}

int32_t XVImage::ParseText(const char* aText, const char* aEnd, int32_t aStartAddress, int32_t aAddressLimit)
{
    const char* pos = aText;
    const char* const end = aEnd;

    // Header: every line up to the first one that starts with "@". A CR
    // before the line feed (a file from Windows) is not part of the line.
    while (pos < end && *pos != '@') {
        const char* next = NextLine(pos, end);
        const char* lineEnd = (next > pos && next[-1] == '\n') ? next - 1 : next;
        if (lineEnd > pos && lineEnd[-1] == '\r') --lineEnd;
        mHeader.append(pos, lineEnd);
        mHeader += '\n';
        pos = next;
    }
    ExtractAlignDirective();

    int64_t start = aStartAddress < 0 ? -1 : aStartAddress;
    const int64_t limit = aAddressLimit;
    bool taken = false;
    {
        while (pos < end) {
            // A data line: "@", hex address, white space, hex data.
            const char* p = pos;
            uint32_t address = 0;
            uint32_t data = 0;
            bool ok = *p == '@';
            if (ok) {
                ++p;
                ok = ReadHex(p, end, address);
            }
            if (ok) {
                const char* spaceStart = p;
                while (p < end && IsSpace(*p)) ++p;
                ok = p != spaceStart && ReadHex(p, end, data);
            }
            // From the character where parsing stopped (failed or not), the
            // rest of the line goes.
            pos = NextLine(p, end);
            if (!ok) continue;

            const int64_t wordAddress = mByteAddressed ? address / 2 : address;
            if (start >= 0 && wordAddress < start) continue;
            if (wordAddress >= limit) break;
            if (start < 0) start = wordAddress;
            taken = true;

            const int64_t index = wordAddress - start;
            const int64_t count = static_cast<int64_t>(mWords.size());
            if (mMaxWords != 0 && index >= mMaxWords) {
                if (count < mMaxWords) {
                    AddGap(static_cast<int32_t>(count), static_cast<int32_t>(mMaxWords - 1));
                    mWords.resize(mMaxWords, 0xFFFF);
                }
                continue;
            }
            if (index > count) {
                AddGap(static_cast<int32_t>(count), static_cast<int32_t>(index - 1));
                mWords.resize(static_cast<size_t>(index), 0xFFFF);
            }
            if (index == static_cast<int64_t>(mWords.size())) {
                mWords.push_back(static_cast<uint16_t>(data));
            } else {
                // A repeated or descending address: the word goes to its own
                // place, and leaves any gap there.
                mWords[static_cast<size_t>(index)] = static_cast<uint16_t>(data);
                RemoveFromGaps(static_cast<uint32_t>(index));
            }
        }
    }
    return taken ? static_cast<int32_t>(start) : -1;
}

std::string XVImage::WriteText(uint32_t aBaseAddress, uint32_t aAddressDigits, uint32_t aFirstIndex,
                               uint32_t aEndIndex) const
{
    const uint32_t digits = std::clamp<uint32_t>(aAddressDigits, 1, 8);
    const uint32_t mask = digits >= 8 ? 0xFFFFFFFFu : (uint32_t{1} << (4 * digits)) - 1;
    const uint32_t count = WordCount();
    const uint32_t endIndex = (aEndIndex == 0 || aEndIndex > count) ? count : aEndIndex;

    std::string out = mHeader;
    if (mAlign != 0) {
        out += kAlignDirective;
        out += std::to_string(mAlign);
        out += '\n';
    }
    if (aFirstIndex >= endIndex) return out;

    const size_t lineLength = 1 + digits + 3 + 4 + 1;
    const size_t headerLength = out.size();
    out.resize(headerLength + static_cast<size_t>(endIndex - aFirstIndex) * lineLength);
    char* w = &out[headerLength];

    // The first gap that ends at or after the first index.
    auto gap = std::lower_bound(mGaps.begin(), mGaps.end(), aFirstIndex,
                                [](const ImageRange& aRange, uint32_t aValue) {
                                    return static_cast<int64_t>(aRange.last) < static_cast<int64_t>(aValue);
                                });
    for (uint32_t index = aFirstIndex; index < endIndex; ++index) {
        if (gap != mGaps.end() && static_cast<int64_t>(index) >= gap->first) {
            // Inside a gap: continue after it.
            index = static_cast<uint32_t>(gap->last);
            ++gap;
            continue;
        }
        uint32_t address = aBaseAddress + index;
        if (mByteAddressed) address *= 2;
        *w++ = '@';
        w = PutHex(w, address & mask, digits);
        *w++ = ' ';
        *w++ = ' ';
        *w++ = ' ';
        w = PutHex(w, mWords[index], 4);
        *w++ = '\n';
    }
    out.resize(static_cast<size_t>(w - out.data()));
    return out;
}

void XVImage::WriteStream(std::ostream& aOut, uint32_t aBaseAddress, uint32_t aAddressDigits,
                          uint32_t aFirstIndex, uint32_t aEndIndex) const
{
    const std::string text = WriteText(aBaseAddress, aAddressDigits, aFirstIndex, aEndIndex);
    aOut.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool XVImage::WriteFile(const std::string& aFilename, uint32_t aBaseAddress, uint32_t aAddressDigits,
                        uint32_t aFirstIndex, uint32_t aEndIndex)
{
    // A temporary file renamed over the old one: a failure at any point
    // leaves the old file as it was.
    return fileutil::WriteFileReplacing(aFilename,
                                        WriteText(aBaseAddress, aAddressDigits, aFirstIndex, aEndIndex));
}
