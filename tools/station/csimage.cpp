#include "csimage.h"

#include "sha256.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace station {

namespace {

// The largest image a device target of the library holds: 1 M words.
constexpr size_t kMaxWords = 1u << 20;

bool Hex(const std::string& aText, size_t aFrom, size_t aCount, uint32_t& aValue)
{
    if (aFrom + aCount > aText.size()) return false;
    aValue = 0;
    for (size_t i = aFrom; i < aFrom + aCount; ++i) {
        const char c = aText[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        aValue = aValue << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

std::string Word(uint32_t aValue, int aDigits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", aDigits, static_cast<unsigned>(aValue));
    return text;
}

}  // namespace

bool ReadXuvWords(const std::string& aPath, std::vector<uint16_t>& aWords, std::string& aError)
{
    aWords.clear();
    std::ifstream in(aPath, std::ios::binary);
    if (!in) {
        aError = "cannot read the image \"" + aPath + "\"";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] != '@') continue;  // the free-text header
        // "@AAAAAA   DDDD": the address, blanks, the word.
        const size_t blank = line.find_first_of(" \t");
        const size_t data = blank == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", blank);
        uint32_t address = 0, value = 0;
        if (blank == std::string::npos || data == std::string::npos || blank < 2 || blank > 9 ||
            !Hex(line, 1, blank - 1, address) || line.size() - data != 4 || !Hex(line, data, 4, value)) {
            aError = "the image \"" + aPath + "\" has a bad line " + std::to_string(number);
            return false;
        }
        if (address >= kMaxWords) {
            aError = "the image \"" + aPath + "\" has a word beyond 1 M words at line " + std::to_string(number);
            return false;
        }
        if (aWords.size() <= address) aWords.resize(address + 1, 0xFFFF);
        aWords[address] = static_cast<uint16_t>(value);
    }
    if (aWords.empty()) {
        aError = "the image \"" + aPath + "\" holds no words";
        return false;
    }
    return true;
}

bool CsData(const std::vector<uint16_t>& aImage, std::vector<uint16_t>& aData, std::string& aError)
{
    // Block header 0 is words 3 to 6: location (bytes), dest, length (bytes), CRC.
    if (aImage.size() < 7) {
        aError = "the image is shorter than its header";
        return false;
    }
    const size_t begin = aImage[3] / 2u, length = aImage[5] / 2u;
    if (begin + length > aImage.size()) {
        aError = "the image's CS block lies beyond its words";
        return false;
    }
    aData.assign(aImage.begin() + static_cast<long>(begin), aImage.begin() + static_cast<long>(begin + length));
    return true;
}

std::string FirstDifference(const std::vector<uint16_t>& aWritten, const std::vector<uint16_t>& aRead)
{
    const size_t n = std::max(aWritten.size(), aRead.size());
    for (size_t i = 0; i < n; ++i) {
        const uint32_t w = i < aWritten.size() ? aWritten[i] : 0xFFFF;
        const uint32_t r = i < aRead.size() ? aRead[i] : 0xFFFF;
        if (w != r) return "word " + Word(static_cast<uint32_t>(i), 4) + " reads " + Word(r, 4) + ", written " + Word(w, 4);
    }
    return "";
}

std::string CsDigest(std::vector<uint16_t> aData, const std::vector<KeySpan>& aLeftOut)
{
    for (const KeySpan& k : aLeftOut)
        for (uint32_t i = 0; i < k.length && k.offset + i < aData.size(); ++i) aData[k.offset + i] = 0xFFFF;
    std::vector<uint8_t> bytes;
    bytes.reserve(aData.size() * 2);
    for (uint16_t w : aData) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return Sha256Hex(bytes);
}

}  // namespace station
