// Non-volatile memories of the simulated device: the EEPROM and the SPI flash
// behind the e2 and flash stand-in libraries.
//
// Each memory is an array of 16-bit words that starts blank (0xFFFF). When
// the transport string names a directory (nvm=DIR) the words also live in
// the files DIR/eeprom.bin and DIR/spiflash.bin (little-endian words), every
// write goes through to the file and a chip opened later on the same
// directory, in this process or another, sees what was written.
//
// Faults, from the transport string:
//   e2fail=OP[:N]     OP is read, write or size; the N-th such call fails
//                     (every call when N is absent)
//   flashfail=OP[:N]  OP is identify, info, dump or burn; the N-th such
//                     operation fails (info: the flash reports no usable
//                     device)
//   flashbusy=N       the flash stays busy for N polls after identify, dump
//                     and burn (default 2); "stuck" keeps it busy until a
//                     test calls EndFlashBusy
#ifndef DEVSIM_NVM_H
#define DEVSIM_NVM_H

#include "devsim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

// One memory of words, optionally mirrored into a backing file.
class DEVSIM_API NvmStore {
public:
    NvmStore(uint32_t aWords, const std::string& aBackingFile);

    uint32_t size() const { return static_cast<uint32_t>(mWords.size()); }
    const std::string& backingFile() const { return mBackingFile; }

    // Range access; false when the range leaves the memory or the backing
    // file cannot be written (the words are kept in memory all the same).
    bool Read(uint32_t aWord, uint32_t aCount, uint16_t* aOut) const;
    bool Write(uint32_t aWord, uint32_t aCount, const uint16_t* aIn);

    // Direct access for tests: no file update for Poke beyond the word.
    uint16_t Peek(uint32_t aWord) const;
    void Poke(uint32_t aWord, uint16_t aValue);

private:
    bool Store(uint32_t aWord, uint32_t aCount);

    std::vector<uint16_t> mWords;
    std::string mBackingFile;
};

// The chip's NVM: both memories, the flash controller's busy time and the
// injected faults.
class DEVSIM_API Nvm {
public:
    explicit Nvm(const NvmOptions& aOptions);

    NvmStore& eeprom() { return mEeprom; }
    NvmStore& flash() { return mFlash; }

    // Counts a call of the operation and says whether the injected fault
    // (e2fail, flashfail) makes it fail.
    bool Fails(NvmOperation aOperation);

    // Flash controller: an operation makes the flash busy for the
    // configured number of polls; Poll counts one poll and says whether the
    // flash is still busy.
    void StartFlashJob();
    bool PollFlashBusy();
    // Whether the flash is busy now, without counting a poll.
    bool FlashBusyNow() const { return mStuckNow || mBusyLeft != 0; }
    // Ends a busy period at once, even a stuck one. Tests call it (for
    // example from a clock's sleep) to let a waiting caller go on.
    void EndFlashBusy() { mBusyLeft = 0; mStuckNow = false; }
    uint64_t flashPolls() const { return mPolls; }
    bool flashStuck() const { return mStuck; }

private:
    NvmStore mEeprom;
    NvmStore mFlash;
    // At most one armed fault per memory, as the options allow; its calls
    // so far are counted in mFaultCalls.
    std::optional<NvmFaultOption> mEepromFault;
    std::optional<NvmFaultOption> mFlashFault;
    uint64_t mEepromFaultCalls = 0;
    uint64_t mFlashFaultCalls = 0;
    uint32_t mBusyPolls = 2;
    bool mStuck = false;
    bool mStuckNow = false;
    uint32_t mBusyLeft = 0;
    uint64_t mPolls = 0;
};

}  // namespace devsim

#endif
