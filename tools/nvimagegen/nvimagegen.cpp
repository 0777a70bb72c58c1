#include "nvimagegen.h"

#include "cscache/cskeysinfo.h"
#include "cscache/nvimagehdr.h"
#include "cscache/xvimage.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace nvimagegen {

namespace {

std::string Upper(std::string aText)
{
    for (char& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return aText;
}

}  // namespace

std::vector<uint16_t> BuildHeader(const ImagePlan& aLayout)
{
    const uint32_t blocks = 1 + static_cast<uint32_t>(aLayout.firmware.size());
    std::vector<uint16_t> header(3 + 4 * blocks, 0);
    header[1] = static_cast<uint16_t>((blocks << 8) | aLayout.word1Low);
    header[2] = aLayout.word2;

    uint32_t location = static_cast<uint32_t>(header.size() + aLayout.csPadWords) * 2;  // bytes
    header[3] = static_cast<uint16_t>(location);
    header[4] = aLayout.csDest;
    header[5] = static_cast<uint16_t>(aLayout.csData.size() * 2);
    header[6] = CNvImageHdr::CalculateCrc16(aLayout.csData.data(), aLayout.csData.size());
    location += static_cast<uint32_t>(aLayout.csData.size()) * 2;
    for (size_t i = 0; i < aLayout.firmware.size(); ++i) {
        const FirmwareBlock& block = aLayout.firmware[i];
        uint16_t* h = &header[3 + 4 * (i + 1)];
        h[0] = static_cast<uint16_t>(location);
        h[1] = block.dest;
        h[2] = static_cast<uint16_t>(block.words.size() * 2);
        h[3] = CNvImageHdr::CalculateCrc16(block.words.data(), block.words.size());
        location += static_cast<uint32_t>(block.words.size()) * 2;
    }
    header[0] = CNvImageHdr::CalculateCrc16(header.data() + 1, header.size() - 1);
    return header;
}

std::vector<uint16_t> BuildImage(const ImagePlan& aLayout)
{
    std::vector<uint16_t> image = BuildHeader(aLayout);
    image.resize(image.size() + aLayout.csPadWords, 0xFFFF);
    image.insert(image.end(), aLayout.csData.begin(), aLayout.csData.end());
    for (const FirmwareBlock& block : aLayout.firmware) image.insert(image.end(), block.words.begin(), block.words.end());
    return image;
}

std::vector<uint16_t> BuildCsData(CCsKeysInfo& aDatabase, uint16_t aCsVersion,
                                  const std::map<std::string, std::vector<uint16_t>>& aValues, uint16_t aMinWords)
{
    std::vector<uint16_t> data(std::max<size_t>(1, aMinWords), 0);
    data[0] = aCsVersion;
    if (aDatabase.SetInterestedVersion(aCsVersion) != kCsOk) return data;

    std::map<std::string, std::vector<uint16_t>> values;
    for (const auto& entry : aValues) values[Upper(entry.first)] = entry.second;

    const uint16_t count = aDatabase.NumKeys();
    for (uint16_t i = 0; i < count; ++i) {
        CsKeyDetails key;
        if (aDatabase.KeyDetailsFromIndex(i, key) != kCsOk) continue;
        auto given = values.find(Upper(key.name));
        const std::vector<uint16_t>& value = given != values.end() ? given->second : key.defaultValues;
        const size_t end = size_t{key.offset} + key.length;
        if (data.size() < end) data.resize(end, 0);
        for (size_t w = 0; w < key.length && w < value.size(); ++w) data[key.offset + w] = value[w];
    }
    return data;
}

FirmwareBlock MainFirmwareBlock(uint16_t aBuildId, uint16_t aCsKeysWordAddress, uint16_t aPadWords)
{
    FirmwareBlock block;
    block.dest = kMainTableWordAddress;
    block.words.assign(kFixedTableWords + 1 + aPadWords, 0);
    const uint16_t buildIdAddress = static_cast<uint16_t>(kMainTableWordAddress + kFixedTableWords);
    // Fixed table: magic, one unused word, then (key, value) pairs in words
    // 2-3 up to 28-29; unused pairs have key 0.
    block.words[0] = kTableMagic;
    block.words[2] = 1;
    block.words[3] = buildIdAddress;
    block.words[4] = 2;
    block.words[5] = aCsKeysWordAddress;
    block.words[kFixedTableWords] = aBuildId;
    for (uint16_t i = 0; i < aPadWords; ++i) block.words[kFixedTableWords + 1 + i] = static_cast<uint16_t>(0x5A00 + i);
    return block;
}

std::string ImageText(const std::vector<uint16_t>& aWords, bool aByteAddressed, const std::string& aHeader)
{
    XVImage image;
    image.SetByteAddressed(aByteAddressed);
    image.SetHeader(aHeader);
    for (size_t i = 0; i < aWords.size(); ++i) image.SetWord(static_cast<uint32_t>(i), aWords[i]);
    return image.WriteText(0, 6, 0, 0);
}

bool WriteImageFile(const std::string& aPath, const std::vector<uint16_t>& aWords, bool aByteAddressed,
                    const std::string& aHeader)
{
    std::ofstream out(aPath, std::ios::out | std::ios::trunc);
    if (!out.is_open()) return false;
    const std::string text = ImageText(aWords, aByteAddressed, aHeader);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    return static_cast<bool>(out);
}

int32_t MemoryTarget::Read(uint16_t aAddress, uint16_t& aWord)
{
    ++reads;
    if (static_cast<int32_t>(aAddress) == failReadAt) return failStatus;
    if (aAddress >= words.size()) {
        aWord = 0xFFFF;
        return kCsNothingThere;
    }
    aWord = words[aAddress];
    return kCsOk;
}

int32_t MemoryTarget::Write(uint16_t aAddress, uint16_t aWord)
{
    ++writes;
    if (static_cast<int32_t>(aAddress) == failWriteAt) return failStatus;
    if (aAddress >= words.size()) words.resize(size_t{aAddress} + 1, 0xFFFF);
    words[aAddress] = aWord;
    return kCsOk;
}

}  // namespace nvimagegen
