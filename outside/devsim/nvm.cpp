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

}  // namespace

// --- NvmStore -----------------------------------------------------------

NvmStore::NvmStore(uint32_t aWords, const std::string& aBackingFile)
    : mWords(aWords, 0xFFFF), mBackingFile(aBackingFile)
{
    if (mBackingFile.empty()) return;
    std::ifstream in(mBackingFile, std::ios::binary);
    if (in) {
        // A file shorter than the memory leaves the rest blank; a longer one
        // is cut to the memory's size.
        // One read for the whole file: a chip opens its NVM on every open.
        std::vector<unsigned char> bytes(static_cast<size_t>(aWords) * 2);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const size_t words = static_cast<size_t>(in.gcount()) / 2;
        for (size_t i = 0; i < words; ++i)
            mWords[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
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

Nvm::Nvm(const NvmOptions& aOptions)
    : mEeprom(aOptions.eepromWords, JoinPath(aOptions.dir, kEepromFile)),
      mFlash(aOptions.flashWords, JoinPath(aOptions.dir, kFlashFile)),
      mEepromFault(aOptions.eepromFault),
      mFlashFault(aOptions.flashFault),
      mBusyPolls(aOptions.flashBusyPolls),
      mStuck(aOptions.flashStuck)
{
}

bool Nvm::Fails(NvmOperation aOperation)
{
    const bool eeprom = aOperation == NvmOperation::EepromRead || aOperation == NvmOperation::EepromWrite ||
                        aOperation == NvmOperation::EepromSize;
    const std::optional<NvmFaultOption>& fault = eeprom ? mEepromFault : mFlashFault;
    if (!fault || fault->operation != aOperation) return false;
    const uint64_t calls = ++(eeprom ? mEepromFaultCalls : mFlashFaultCalls);
    return fault->nth == 0 || calls == fault->nth;
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
    if (!mNvm) mNvm = std::make_shared<Nvm>(mOptions.nvm);
    return *mNvm;
}

}  // namespace devsim
