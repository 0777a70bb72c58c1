// The simulated EEPROM and SPI flash and their backing files.
#include "nvm.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace devsim {

namespace {

const char* const kEepromFile = "eeprom.bin";
const char* const kFlashFile = "spiflash.bin";

std::string JoinPath(const std::string& aDir, const char* aName)
{
    if (aDir.empty()) return std::string();
    char last = aDir[aDir.size() - 1];
    if (last == '/' || last == '\\') return aDir + aName;
    return aDir + "/" + aName;
}

// "OP" or "OP:N" with OP one of aOperations and N a decimal count above 0.
bool ParseFault(const std::string& aValue, std::string& aOperation, uint64_t& aNth)
{
    size_t colon = aValue.find(':');
    aOperation = aValue.substr(0, colon);
    aNth = 0;
    if (colon == std::string::npos) return true;
    std::string digits = aValue.substr(colon + 1);
    if (digits.empty() || digits.size() > 18) return false;
    for (char c : digits)
        if (c < '0' || c > '9') return false;
    aNth = std::strtoull(digits.c_str(), nullptr, 10);
    return aNth != 0;
}

bool KnownOperation(const std::string& aKey, const std::string& aOperation)
{
    if (aKey == "e2fail") return aOperation == "read" || aOperation == "write" || aOperation == "size";
    if (aKey == "flashfail")
        return aOperation == "identify" || aOperation == "info" || aOperation == "dump" ||
               aOperation == "burn";
    return false;
}

bool ParseBusy(const std::string& aValue, uint32_t& aPolls, bool& aStuck)
{
    aStuck = false;
    if (aValue == "stuck") {
        aStuck = true;
        return true;
    }
    if (aValue.empty() || aValue.size() > 6) return false;
    for (char c : aValue)
        if (c < '0' || c > '9') return false;
    aPolls = static_cast<uint32_t>(std::strtoul(aValue.c_str(), nullptr, 10));
    return true;
}

}  // namespace

bool ValidNvmOption(const std::string& aKey, const std::string& aValue)
{
    if (aKey == "e2fail" || aKey == "flashfail") {
        std::string op;
        uint64_t nth = 0;
        return ParseFault(aValue, op, nth) && KnownOperation(aKey, op);
    }
    if (aKey == "flashbusy") {
        uint32_t polls = 0;
        bool stuck = false;
        return ParseBusy(aValue, polls, stuck);
    }
    return true;
}

// --- NvmStore -----------------------------------------------------------

NvmStore::NvmStore(uint32_t aWords, const std::string& aBackingFile)
    : mWords(aWords, 0xFFFF), mBackingFile(aBackingFile)
{
    if (mBackingFile.empty()) return;
    std::ifstream in(mBackingFile, std::ios::binary);
    if (in) {
        // A file shorter than the memory leaves the rest blank; a longer one
        // is cut to the memory's size.
        for (uint32_t i = 0; i < aWords; ++i) {
            int lo = in.get();
            int hi = in.get();
            if (!in) break;
            mWords[i] = static_cast<uint16_t>((lo & 0xFF) | ((hi & 0xFF) << 8));
        }
        in.close();
    }
    // Make sure the file covers the whole memory, so that later range
    // writes can seek into it.
    std::ifstream probe(mBackingFile, std::ios::binary | std::ios::ate);
    std::streamoff have = probe ? static_cast<std::streamoff>(probe.tellg()) : -1;
    probe.close();
    if (have < static_cast<std::streamoff>(aWords) * 2) Store(0, aWords);
}

bool NvmStore::Read(uint32_t aWord, uint32_t aCount, uint16_t* aOut) const
{
    if (aWord > mWords.size() || aCount > mWords.size() - aWord) return false;
    if (aCount != 0 && aOut == nullptr) return false;
    for (uint32_t i = 0; i < aCount; ++i) aOut[i] = mWords[aWord + i];
    return true;
}

bool NvmStore::Write(uint32_t aWord, uint32_t aCount, const uint16_t* aIn)
{
    if (aWord > mWords.size() || aCount > mWords.size() - aWord) return false;
    if (aCount != 0 && aIn == nullptr) return false;
    for (uint32_t i = 0; i < aCount; ++i) mWords[aWord + i] = aIn[i];
    return Store(aWord, aCount);
}

uint16_t NvmStore::Peek(uint32_t aWord) const
{
    return aWord < mWords.size() ? mWords[aWord] : 0xFFFF;
}

void NvmStore::Poke(uint32_t aWord, uint16_t aValue)
{
    if (aWord >= mWords.size()) return;
    mWords[aWord] = aValue;
    Store(aWord, 1);
}

bool NvmStore::Store(uint32_t aWord, uint32_t aCount)
{
    if (mBackingFile.empty() || aCount == 0) return true;
    std::fstream out(mBackingFile, std::ios::binary | std::ios::in | std::ios::out);
    if (!out) {
        // First write: create the file.
        out.open(mBackingFile, std::ios::binary | std::ios::out | std::ios::trunc);
        if (!out) return false;
        aWord = 0;
        aCount = size();
    }
    out.seekp(static_cast<std::streamoff>(aWord) * 2);
    std::string bytes;
    bytes.reserve(static_cast<size_t>(aCount) * 2);
    for (uint32_t i = 0; i < aCount; ++i) {
        uint16_t w = mWords[aWord + i];
        bytes.push_back(static_cast<char>(w & 0xFF));
        bytes.push_back(static_cast<char>(w >> 8));
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

// --- Nvm ----------------------------------------------------------------

bool NvmFault::Hit()
{
    if (!armed) return false;
    ++seen;
    return nth == 0 || seen == nth;
}

Nvm::Nvm(const Options& aOptions)
    : mEeprom(aOptions.eepromWords, JoinPath(aOptions.nvmDir, kEepromFile)),
      mFlash(aOptions.flashWords, JoinPath(aOptions.nvmDir, kFlashFile))
{
    for (const char* key : {"e2fail", "flashfail"}) {
        auto it = aOptions.extra.find(key);
        if (it == aOptions.extra.end()) continue;
        std::string op;
        uint64_t nth = 0;
        if (!ParseFault(it->second, op, nth) || !KnownOperation(key, op)) continue;
        NvmFault& fault = mFaults[std::string(key) + "/" + op];
        fault.armed = true;
        fault.nth = nth;
    }
    auto busy = aOptions.extra.find("flashbusy");
    if (busy != aOptions.extra.end()) ParseBusy(busy->second, mBusyPolls, mStuck);
}

bool Nvm::Fails(const std::string& aOption, const std::string& aOperation)
{
    auto it = mFaults.find(aOption + "/" + aOperation);
    return it != mFaults.end() && it->second.Hit();
}

void Nvm::StartFlashJob()
{
    mBusyLeft = mBusyPolls;
    mStuckNow = mStuck;
}

bool Nvm::PollFlashBusy()
{
    ++mPolls;
    if (mStuckNow) return true;
    if (mBusyLeft == 0) return false;
    --mBusyLeft;
    return true;
}

Nvm& Chip::nvm()
{
    if (!mNvm) mNvm = std::make_shared<Nvm>(mOptions);
    return *mNvm;
}

}  // namespace devsim
