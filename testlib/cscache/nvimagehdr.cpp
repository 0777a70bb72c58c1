#include "cscache/nvimagehdr.h"

#include "support/hextext.h"
#include "cscache/nvimagecs.h"
#include "cscache/targets.h"
#include "support/trace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace {

const char kSource[] = "nvimageinternals";

// Byte addresses in the header.
const uint16_t kHdrCrcAddress = 0;
const uint16_t kBlockCountAddress = 3;  // high byte of word 1
const uint16_t kCsCrcAddress = 12;      // CRC word of block header 0
const uint16_t kFirstBlockHeader = 6;
const uint16_t kBlockHeaderBytes = 8;
// Index of the first header word after the CS block header.
const size_t kFirstFirmwareHeaderWord = 7;
// What an erased EEPROM or flash word reads.
const uint16_t kErasedWord = 0xFFFF;
// No block reaches word 0xFFFF (see ImageAreaWords).
const uint32_t kImageAreaLimit = 0xFFFF;

// T[i]: i << 8 shifted 8 times through the MSB-first CRC with polynomial
// 0x8005.
constexpr std::array<uint16_t, 256> MakeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x8005) : (crc << 1);
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr std::array<uint8_t, 256> MakeReverseTable()
{
    std::array<uint8_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (i & (1u << bit)) r |= 0x80u >> bit;
        table[i] = static_cast<uint8_t>(r);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
constexpr std::array<uint8_t, 256> kReverse = MakeReverseTable();
static_assert(kCrcTable[1] == 0x8005 && kCrcTable[2] == 0x800F && kCrcTable[3] == 0x000A, "CRC table");

constexpr uint16_t Reverse16(uint16_t aValue)
{
    return static_cast<uint16_t>((kReverse[aValue & 0xFF] << 8) | kReverse[aValue >> 8]);
}

// The same CRC runs on the bit-reversed register: with r = reverse(crc), one
// byte b is r = (r >> 8) ^ R[(r ^ b) & 0xFF] where R[j] = reverse(T[reverse(j)]),
// so the byte needs no reversal. Slicing by eight: table k advances a byte k
// further positions, so eight bytes take one step of eight independent
// lookups.
using SliceTables = std::array<std::array<uint16_t, 256>, 8>;
constexpr SliceTables MakeSliceTables()
{
    SliceTables tables{};
    for (uint32_t j = 0; j < 256; ++j) tables[0][j] = Reverse16(kCrcTable[kReverse[j]]);
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t j = 0; j < 256; ++j)
            tables[k][j] = static_cast<uint16_t>((tables[k - 1][j] >> 8) ^ tables[0][tables[k - 1][j] & 0xFF]);
    return tables;
}
constexpr SliceTables kSlice = MakeSliceTables();

inline uint16_t ReflectedByte(uint16_t aReg, uint8_t aByte)
{
    return static_cast<uint16_t>((aReg >> 8) ^ kSlice[0][(aReg ^ aByte) & 0xFF]);
}

// Eight bytes b[0..7] in order.
inline uint16_t ReflectedEight(uint16_t aReg, const uint8_t* aBytes)
{
    return static_cast<uint16_t>(
        kSlice[7][(aReg ^ aBytes[0]) & 0xFF] ^ kSlice[6][((aReg >> 8) ^ aBytes[1]) & 0xFF] ^
        kSlice[5][aBytes[2]] ^ kSlice[4][aBytes[3]] ^ kSlice[3][aBytes[4]] ^ kSlice[2][aBytes[5]] ^
        kSlice[1][aBytes[6]] ^ kSlice[0][aBytes[7]]);
}

}  // namespace

uint16_t CNvImageHdr::CalculateCrc16(const uint8_t* aBytes, size_t aCount, uint16_t aCrc)
{
    uint16_t reg = Reverse16(aCrc);
    size_t i = 0;
    for (; i + 8 <= aCount; i += 8) reg = ReflectedEight(reg, aBytes + i);
    for (; i < aCount; ++i) reg = ReflectedByte(reg, aBytes[i]);
    return Reverse16(reg);
}

uint16_t CNvImageHdr::CalculateCrc16(const uint16_t* aWords, size_t aCount, uint16_t aCrc)
{
    // Each word low byte first, whatever the host's byte order.
    uint16_t reg = Reverse16(aCrc);
    size_t i = 0;
    for (; i + 4 <= aCount; i += 4) {
        const uint8_t bytes[8] = {
            static_cast<uint8_t>(aWords[i] & 0xFF),     static_cast<uint8_t>(aWords[i] >> 8),
            static_cast<uint8_t>(aWords[i + 1] & 0xFF), static_cast<uint8_t>(aWords[i + 1] >> 8),
            static_cast<uint8_t>(aWords[i + 2] & 0xFF), static_cast<uint8_t>(aWords[i + 2] >> 8),
            static_cast<uint8_t>(aWords[i + 3] & 0xFF), static_cast<uint8_t>(aWords[i + 3] >> 8)};
        reg = ReflectedEight(reg, bytes);
    }
    for (; i < aCount; ++i) {
        reg = ReflectedByte(reg, static_cast<uint8_t>(aWords[i] & 0xFF));
        reg = ReflectedByte(reg, static_cast<uint8_t>(aWords[i] >> 8));
    }
    return Reverse16(reg);
}

int32_t ReadBlockData(CTarget& aTarget, const BlockInfo& aInfo, std::vector<uint16_t>& aData)
{
    const uint32_t end = (uint32_t{aInfo.location} + aInfo.length) / 2;
    return aTarget.Read(static_cast<uint16_t>(aInfo.location / 2), static_cast<uint16_t>(end), aData);
}

CNvImageHdr::CNvImageHdr()
{
    NVT_TRACE(kSource, "CNvImageHdr::CNvImageHdr");
}

CNvImageHdr::~CNvImageHdr()
{
    NVT_TRACE(kSource, "CNvImageHdr::~CNvImageHdr");
}

int32_t CNvImageHdr::Load(CTarget& aTarget)
{
    NVT_TRACE(kSource, "CNvImageHdr::Load", "&aTarget=0x%08p", &aTarget);
    CMessageHandler& handler = TheMsgHnd::Instance().GetHandler("CNvImageHdr::Load");

    int32_t status = aTarget.Read(0, 3, mHdrCache);
    if (status != kCsOk) return status;
    if (mHdrCache.size() < 3) {
        // A target that claims success without delivering the words.
        ReportError(handler, kCsNothingThere, "The image header could not be read (words 0-2 missing)");
        return kCsNothingThere;
    }
    if (mHdrCache[0] == mHdrCache[1] && mHdrCache[1] == mHdrCache[2]) {
        // Three equal words are no image. Erased words (0xFFFF) may be a
        // blank device, but only the whole area can tell: a device with
        // data further on is corrupt, not empty.
        if (mHdrCache[0] == kErasedWord) return CheckErased(aTarget);
        ReportError(handler, kCsImageCorrupt,
                    "The device is empty or image is invalid, read 0x" + hextext::Lower4(mHdrCache[0]) +
                        " for words 0-2");
        return kCsImageCorrupt;
    }

    const uint16_t headerWords = static_cast<uint16_t>(GetTotalHeaderSizeInBytes() / 2);
    status = aTarget.Read(0, headerWords, mHdrCache);
    if (status != kCsOk) return status;
    if (mHdrCache.size() < headerWords) {
        ReportError(handler, kCsNothingThere,
                    "The image header could not be read (" + std::to_string(mHdrCache.size()) + " of " +
                        std::to_string(headerWords) + " words)");
        return kCsNothingThere;
    }

    if (GetNumberOfBlockHeaders() == 0) {
        ReportError(handler, kCsImageCorrupt,
                    "The image stored in the device/file is corrupt (it contains zero blocks).");
        return kCsImageCorrupt;
    }

    const uint16_t stored = ReadUint16FromHdrCache(kHdrCrcAddress);
    const uint16_t computed = CalculateHeaderCrc();
    if (stored != computed) {
        char text[200];
        std::snprintf(text, sizeof text, "The CRC for the image was expected to be 0x%04X but was actually 0x%04X.",
                      static_cast<unsigned>(stored), static_cast<unsigned>(computed));
        ReportError(handler, kCsImageCorrupt, text);
        return kCsImageCorrupt;
    }
    return kCsOk;
}

uint32_t CNvImageHdr::ImageAreaWords(int32_t aTargetWords)
{
    if (aTargetWords <= 0) return 0;
    return std::min<uint32_t>(static_cast<uint32_t>(aTargetWords), kImageAreaLimit);
}

int32_t CNvImageHdr::CheckErased(CTarget& aTarget)
{
    NVT_TRACE(kSource, "CNvImageHdr::CheckErased", "&aTarget=0x%08p", &aTarget);
    CMessageHandler& handler = TheMsgHnd::Instance().GetHandler("CNvImageHdr::Load");
    const uint32_t area = ImageAreaWords(aTarget.Size());
    if (area < mHdrCache.size()) {
        // Words 0-2 were read, so the target is larger than that: its size
        // could not be asked (the target reported why).
        int16_t code = 0;
        std::string why;
        GetPendingError(handler, code, why);
        ReportError(handler, kCsDeviceReadFailed,
                    "The device reads 0xffff for words 0-2, but whether it is empty could not be checked: its size "
                    "is unknown" + (why.empty() ? std::string() : " (" + why + ")"));
        return kCsDeviceReadFailed;
    }
    std::vector<uint16_t> chunk;
    for (uint32_t first = static_cast<uint32_t>(mHdrCache.size()); first < area; first += kEraseCheckChunkWords) {
        const uint32_t end = std::min<uint32_t>(first + kEraseCheckChunkWords, area);
        const int32_t status = aTarget.Read(static_cast<uint16_t>(first), static_cast<uint16_t>(end), chunk);
        if (status != kCsOk) return status;
        for (size_t i = 0; i < chunk.size(); ++i) {
            if (chunk[i] == kErasedWord) continue;
            ReportError(handler, kCsImageCorrupt,
                        "The device is not empty but its image is invalid: word 0x" +
                            hextext::Lower4(static_cast<uint16_t>(first + i)) + " reads 0x" +
                            hextext::Lower4(chunk[i]));
            return kCsImageCorrupt;
        }
    }
    ReportError(handler, kCsImageCorrupt, "The device is empty or image is invalid, read 0xffff for words 0-2");
    return kCsImageCorrupt;
}

int32_t CNvImageHdr::CheckCsCrc(const std::vector<uint16_t>& aCsData)
{
    NVT_TRACE(kSource, "CNvImageHdr::CheckCsCrc", "&aCsData=0x%08p", &aCsData);
    const uint16_t stored = ReadUint16FromHdrCache(kCsCrcAddress);
    const uint16_t computed = CalculateCrc16(aCsData.data(), aCsData.size());
    if (stored == computed) return kCsOk;
    ReportError(TheMsgHnd::Instance().GetHandler("CNvImageHdr::CheckCsCrc"), kCsImageCorrupt,
                "The CS CRC for the image was expected to be " + hextext::Hex4Upper(stored) +
                    " (stored) but was actually " + hextext::Hex4Upper(computed) + " (computed).");
    return kCsImageCorrupt;
}

int32_t CNvImageHdr::Save(CTarget& aTarget, CNvImageCs& aCsImage)
{
    NVT_TRACE(kSource, "CNvImageHdr::Save", "&aTarget=0x%08p", &aTarget, "&aCsImage=0x%08p", &aCsImage);
    const int32_t status = UpdateCrcs(aCsImage);
    if (status != kCsOk) return status;
    return aTarget.Write(0, mHdrCache);
}

int32_t CNvImageHdr::UpdateCrcs(CNvImageCs& aCsImage)
{
    NVT_TRACE(kSource, "CNvImageHdr::UpdateCrcs", "&aCsImage=0x%08p", &aCsImage);
    CMessageHandler& handler = TheMsgHnd::Instance().GetHandler("CNvImageHdr::Save");
    if (mHdrCache.empty()) {
        ReportError(handler, kCsWriteFailed, "Image header not present");
        return kCsWriteFailed;
    }
    std::vector<uint16_t> csData;
    int32_t status = aCsImage.ReadData(csData);
    if (status != kCsOk) return status;
    const uint16_t csCrc = CalculateCrc16(csData.data(), csData.size());
    if (!WriteUint16IntoHdrCache(kCsCrcAddress, csCrc)) {
        ReportError(handler, kCsInternalError, "Invalid location calculated for CS CRC");
        return kCsInternalError;
    }
    if (!WriteUint16IntoHdrCache(kHdrCrcAddress, CalculateHeaderCrc())) {
        ReportError(handler, kCsInternalError, "Invalid location calculated for Hdr CRC");
        return kCsInternalError;
    }
    return kCsOk;
}

int32_t CNvImageHdr::GetGenericBlockInfo(uint16_t aBlockNum, BlockInfo& aInfo)
{
    NVT_TRACE(kSource, "CNvImageHdr::GetGenericBlockInfo", "aBlockNum=%d", aBlockNum, "&aInfo=0x%08p", &aInfo);
    const uint32_t first = kFirstBlockHeader + uint32_t{kBlockHeaderBytes} * aBlockNum;
    if ((first + kBlockHeaderBytes) / 2 > mHdrCache.size()) return kCsInvalidLength;
    const size_t word = first / 2;
    aInfo.location = mHdrCache[word];
    aInfo.dest = mHdrCache[word + 1];
    aInfo.length = mHdrCache[word + 2];
    aInfo.crc = mHdrCache[word + 3];
    return kCsOk;
}

int32_t CNvImageHdr::GetCsBlockInfo(BlockInfo& aInfo)
{
    NVT_TRACE(kSource, "CNvImageHdr::GetCsBlockInfo", "&aInfo=0x%08p", &aInfo);
    return GetGenericBlockInfo(0, aInfo);
}

int32_t CNvImageHdr::GetFwBlockInfo(uint16_t aBlockNum, BlockInfo& aInfo)
{
    NVT_TRACE(kSource, "CNvImageHdr::GetFwBlockInfo", "aBlockNum=%d", aBlockNum, "&aInfo=0x%08p", &aInfo);
    if (aBlockNum >= GetNumFwBlocks()) return kCsInvalidLength;
    return GetGenericBlockInfo(static_cast<uint16_t>(aBlockNum + 1), aInfo);
}

uint16_t CNvImageHdr::GetNumFwBlocks()
{
    NVT_TRACE(kSource, "CNvImageHdr::GetNumFwBlocks");
    return static_cast<uint16_t>(GetNumberOfBlockHeaders() - 1);
}

uint8_t CNvImageHdr::GetNumberOfBlockHeaders()
{
    NVT_TRACE(kSource, "CNvImageHdr::GetNumberOfBlockHeaders");
    return ReadUint8FromHdrCache(kBlockCountAddress);
}

uint16_t CNvImageHdr::GetTotalHeaderSizeInBytes()
{
    NVT_TRACE(kSource, "CNvImageHdr::GetTotalHeaderSizeInBytes");
    return static_cast<uint16_t>(GetNumberOfBlockHeaders() * kBlockHeaderBytes + kFirstBlockHeader);
}

uint16_t CNvImageHdr::CalculateHeaderCrc()
{
    NVT_TRACE(kSource, "CNvImageHdr::CalculateHeaderCrc");
    if (mHdrCache.size() < 2) return 0;
    return CalculateCrc16(mHdrCache.data() + 1, mHdrCache.size() - 1);
}

uint8_t CNvImageHdr::ReadUint8FromHdrCache(uint16_t aByteAddress)
{
    NVT_TRACE(kSource, "CNvImageHdr::ReadUint8FromHdrCache", "aByteAddress=0x%x", aByteAddress);
    const size_t index = aByteAddress / 2u;
    if (index >= mHdrCache.size()) return 0;
    const uint16_t word = mHdrCache[index];
    return static_cast<uint8_t>((aByteAddress & 1) ? (word >> 8) : (word & 0xFF));
}

uint16_t CNvImageHdr::ReadUint16FromHdrCache(uint16_t aByteAddress)
{
    NVT_TRACE(kSource, "CNvImageHdr::ReadUint16FromHdrCache", "aByteAddress=0x%x", aByteAddress);
    const size_t index = aByteAddress / 2u;
    return index < mHdrCache.size() ? mHdrCache[index] : uint16_t{0};
}

bool CNvImageHdr::WriteUint16IntoHdrCache(uint16_t aByteAddress, uint16_t aValue)
{
    NVT_TRACE(kSource, "CNvImageHdr::WriteUint16IntoHdrCache", "aByteAddress=0x%x", aByteAddress, "aValue=0x%x",
              aValue);
    const size_t index = aByteAddress / 2u;
    if ((aByteAddress & 1) != 0 || index >= mHdrCache.size()) return false;
    mHdrCache[index] = aValue;
    return true;
}

bool CNvImageHdr::IsFirmwareEquivalent(const CNvImageHdr& aHdrToBeCompared)
{
    NVT_TRACE(kSource, "CNvImageHdr::IsFirmwareEquivalent", "&aHdrToBeCompared=0x%08p", &aHdrToBeCompared);
    const std::vector<uint16_t>& other = aHdrToBeCompared.mHdrCache;
    if (mHdrCache.size() < 2 || other.size() < 2) return false;

    // Firmware block counts, from the high byte of word 1 of each cache.
    const uint16_t mine = static_cast<uint16_t>((mHdrCache[1] >> 8) - 1);
    const uint16_t theirs = static_cast<uint16_t>((other[1] >> 8) - 1);
    if (mine != theirs && mine > 0) return false;

    for (size_t i = kFirstFirmwareHeaderWord; i < mHdrCache.size(); ++i) {
        if (i >= other.size() || mHdrCache[i] != other[i]) return false;
    }
    return true;
}

bool CNvImageHdr::IsPopulated()
{
    NVT_TRACE(kSource, "CNvImageHdr::IsPopulated");
    return !mHdrCache.empty();
}

void CNvImageHdr::Clear()
{
    NVT_TRACE(kSource, "CNvImageHdr::Clear");
    mHdrCache.clear();
}
