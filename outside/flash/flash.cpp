// Stand-in for the flash library over the simulated device's SPI flash.
//
// Operations run asynchronously: starting one makes the flash busy for a
// number of polls (transport option flashbusy), and the data move when the
// poll that finds the flash idle completes the operation. A dump reads 256
// words and a burn programs 128 words per transport call, after one sector
// erase call per 4096-word block, so whole-image transfers cost as many calls
// as on the real device.
#include "flash.h"

#include "devsim.h"
#include "faults.h"
#include "nvm.h"

#include <map>
#include <vector>

namespace {

const uint32_t kBlockWords = 4096;
const uint32_t kDumpChunkWords = 256;
const uint32_t kProgramWords = 128;
const uint32_t kJedecId = 0x00EF4018;

enum WordState : uint8_t { kHeld = 1, kDirty = 2 };

}  // namespace

// --- FlashImage ---------------------------------------------------------

struct FlashImage::Blocks {
    struct Block {
        std::vector<uint16_t> words;
        std::vector<uint8_t> state;
    };
    std::map<uint32_t, Block> map;
    // The block of the last lookup: callers go through a block word by word.
    // Blocks are never removed, so the pointer stays valid.
    mutable uint32_t lastNumber = 0xFFFFFFFFu;
    mutable Block* last = nullptr;

    Block& Get(uint32_t aWordAddress)
    {
        const uint32_t number = aWordAddress / kBlockWords;
        if (last != nullptr && lastNumber == number) return *last;
        Block& b = map[number];
        if (b.words.empty()) {
            b.words.assign(kBlockWords, 0xFFFF);
            b.state.assign(kBlockWords, 0);
        }
        lastNumber = number;
        last = &b;
        return b;
    }
    const Block* Find(uint32_t aWordAddress) const
    {
        const uint32_t number = aWordAddress / kBlockWords;
        if (last != nullptr && lastNumber == number) return last;
        auto it = map.find(number);
        if (it == map.end()) return nullptr;
        lastNumber = number;
        last = const_cast<Block*>(&it->second);
        return last;
    }
};

FlashImage::FlashImage(uint32_t aKiloWords)
    : mCapacity(aKiloWords > 0x3FFFFF ? 0xFFFFFFFFu : aKiloWords * 1024u), mBlocks(new Blocks)
{
}

FlashImage::~FlashImage()
{
    delete mBlocks;
}

bool FlashImage::IsUsed(uint32_t aWordAddress) const
{
    const Blocks::Block* b = mBlocks->Find(aWordAddress);
    return b != nullptr && (b->state[aWordAddress % kBlockWords] & kHeld) != 0;
}

uint16_t FlashImage::Read(uint32_t aWordAddress) const
{
    const Blocks::Block* b = mBlocks->Find(aWordAddress);
    return b == nullptr ? 0xFFFF : b->words[aWordAddress % kBlockWords];
}

void FlashImage::Write(uint32_t aWordAddress, uint16_t aWord)
{
    if (aWordAddress >= mCapacity) return;
    Blocks::Block& b = mBlocks->Get(aWordAddress);
    b.words[aWordAddress % kBlockWords] = aWord;
    b.state[aWordAddress % kBlockWords] = kHeld | kDirty;
}

void FlashImage::Fill(uint32_t aWordAddress, uint16_t aWord)
{
    if (aWordAddress >= mCapacity) return;
    Blocks::Block& b = mBlocks->Get(aWordAddress);
    b.words[aWordAddress % kBlockWords] = aWord;
    b.state[aWordAddress % kBlockWords] = kHeld;
}

bool FlashImage::IsDirty(uint32_t aWordAddress) const
{
    const Blocks::Block* b = mBlocks->Find(aWordAddress);
    return b != nullptr && (b->state[aWordAddress % kBlockWords] & kDirty) != 0;
}

void FlashImage::ClearDirty()
{
    for (auto& entry : mBlocks->map)
        for (uint8_t& s : entry.second.state) s = static_cast<uint8_t>(s & ~kDirty);
}

bool FlashImage::NextDirtyBlock(uint32_t aFrom, uint32_t& aBlock) const
{
    for (auto it = mBlocks->map.lower_bound(aFrom); it != mBlocks->map.end(); ++it) {
        for (uint8_t s : it->second.state) {
            if ((s & kDirty) != 0) {
                aBlock = it->first;
                return true;
            }
        }
    }
    return false;
}

// --- flash --------------------------------------------------------------

flash::flash(uint32_t aStream) : mStream(aStream) {}

flash::~flash() = default;

void flash::SetFlashTarget(flash_target_t aTarget)
{
    mTarget = aTarget;
}

void flash::Fail(flash_error_t aError)
{
    mError = aError;
}

bool flash::Start(Job aJob)
{
    devsim::Chip* chip = devsim::Find(mStream);
    if (chip == nullptr) {
        Fail(FLASH_NO_DEVICE);
        return false;
    }
    chip->NoteCall();
    if (mJob != kNone) {
        Fail(FLASH_BUSY);
        return false;
    }
    mError = FLASH_OK;
    mJob = aJob;
    chip->nvm().StartFlashJob();
    return true;
}

int32_t flash::flash_identify()
{
    if (mTarget != FLASH_TARGET_SPI) {
        Fail(FLASH_NO_TARGET);
        return 0;
    }
    if (!Start(kIdentify)) return 0;
    mInfo = flash_info_t{0, 0, 0, 0};
    return 1;
}

void flash::GetFlashInfo(flash_info_t& aInfo)
{
    aInfo = mInfo;
}

void flash::UseImage(FlashImage* aImage)
{
    mImage = aImage;
}

bool flash::ReadyForData()
{
    if (mInfo.status != 1) {
        Fail(FLASH_NOT_IDENTIFIED);
        return false;
    }
    if (mImage == nullptr) {
        Fail(FLASH_NO_IMAGE);
        return false;
    }
    return true;
}

int32_t flash::flash_dump_to_image_partial(uint32_t aFirst, uint32_t aEnd)
{
    if (!ReadyForData()) return 0;
    uint32_t deviceWords = static_cast<uint32_t>(mInfo.sizeBlocks) * kBlockWords;
    if (aFirst >= aEnd || aEnd > deviceWords || aEnd > mImage->capacity()) {
        Fail(FLASH_OUT_OF_RANGE);
        return 0;
    }
    if (!Start(kDump)) return 0;
    mFirst = aFirst;
    mEnd = aEnd;
    return static_cast<int32_t>(aEnd - aFirst);
}

int32_t flash::flash_burn()
{
    if (!ReadyForData()) return 0;
    return Start(kBurn) ? 1 : 0;
}

bool flash::IsBusy()
{
    if (mJob == kNone) return false;
    devsim::Chip* chip = devsim::Find(mStream);
    if (chip == nullptr) {
        mJob = kNone;
        Fail(FLASH_NO_DEVICE);
        return false;
    }
    chip->NoteCall();  // a status register read
    if (chip->nvm().PollFlashBusy()) return true;
    Finish();
    return false;
}

void flash::Finish()
{
    Job job = mJob;
    mJob = kNone;
    devsim::Chip* chip = devsim::Find(mStream);
    if (chip == nullptr) {
        Fail(FLASH_NO_DEVICE);
        return;
    }
    devsim::Nvm& nvm = chip->nvm();
    devsim::NvmStore& store = nvm.flash();
    devsim::Counters& counters = chip->counters();
    if ((job == kDump || job == kBurn) && mImage == nullptr) {
        Fail(FLASH_NO_IMAGE);
        return;
    }
    switch (job) {
    case kNone:
        break;
    case kIdentify:
        if (nvm.Fails(devsim::NvmOperation::FlashIdentify)) {
            Fail(FLASH_NOT_IDENTIFIED);
            break;
        }
        mInfo.jedecId = kJedecId;
        mInfo.sectorWords = static_cast<uint16_t>(kBlockWords);
        mInfo.sizeBlocks = static_cast<uint16_t>(store.size() / kBlockWords);
        // A device too small to hold one block counts as unusable.
        mInfo.status = (nvm.Fails(devsim::NvmOperation::FlashInfo) || mInfo.sizeBlocks == 0) ? 0 : 1;
        break;
    case kDump: {
        if (nvm.Fails(devsim::NvmOperation::FlashDump)) {
            Fail(FLASH_DUMP_FAILED);
            break;
        }
        uint16_t chunk[kDumpChunkWords];
        for (uint32_t at = mFirst; at < mEnd;) {
            uint32_t n = mEnd - at < kDumpChunkWords ? mEnd - at : kDumpChunkWords;
            chip->NoteCall();
            ++counters.reads;
            counters.wordsRead += n;
            if (!store.Read(at, n, chunk)) {
                Fail(FLASH_DUMP_FAILED);
                return;
            }
            for (uint32_t i = 0; i < n; ++i) mImage->Fill(at + i, chunk[i]);
            at += n;
        }
        break;
    }
    case kBurn: {
        if (nvm.Fails(devsim::NvmOperation::FlashBurn)) {
            Fail(FLASH_BURN_FAILED);
            break;
        }
        uint32_t block = 0;
        uint32_t from = 0;
        while (mImage->NextDirtyBlock(from, block)) {
            from = block + 1;
            uint32_t base = block * kBlockWords;
            if (base >= store.size()) {
                Fail(FLASH_OUT_OF_RANGE);
                return;
            }
            chip->NoteCall();  // sector erase
            // The flash library keeps the words of the sector that the
            // buffer does not hold: it erases and programs the whole sector.
            for (uint32_t page = 0; page < kBlockWords; page += kProgramWords) {
                uint16_t words[kProgramWords];
                bool any = false;
                for (uint32_t i = 0; i < kProgramWords; ++i) {
                    uint32_t at = base + page + i;
                    words[i] = store.Peek(at);
                    if (mImage->IsDirty(at)) {
                        words[i] = mImage->Read(at);
                        any = true;
                    }
                }
                if (!any) continue;
                chip->NoteCall();
                // A fault layer on the stream (faults.h) may fail any page,
                // so a burn can stop part-way.
                if (devsim::InjectFault(mStream, devsim::FaultKind::FlashBurn)) {
                    Fail(FLASH_BURN_FAILED);
                    return;
                }
                ++counters.writes;
                // A program call is a write call on the stream: the failwrite
                // option cuts the burn off here, with the pages before it
                // programmed.
                const uint64_t failAt = chip->options().transport.failWrite;
                if (failAt != 0 && counters.writes == failAt) {
                    Fail(FLASH_BURN_FAILED);
                    return;
                }
                counters.wordsWritten += kProgramWords;
                if (!store.Write(base + page, kProgramWords, words)) {
                    Fail(FLASH_BURN_FAILED);
                    return;
                }
            }
        }
        mImage->ClearDirty();
        break;
    }
    }
}

flash_error_t flash::GetErrorCode()
{
    // An operation whose busy time is over counts as finished even when
    // nobody polled for it.
    if (mJob != kNone) {
        devsim::Chip* chip = devsim::Find(mStream);
        if (chip == nullptr || !chip->nvm().FlashBusyNow()) Finish();
    }
    return mError;
}

const char* flash::GetErrorString()
{
    switch (GetErrorCode()) {
    case FLASH_OK: return "No error";
    case FLASH_NO_DEVICE: return "No device answers on the stream";
    case FLASH_NO_TARGET: return "No flash target selected";
    case FLASH_NOT_IDENTIFIED: return "The flash device could not be identified";
    case FLASH_NO_IMAGE: return "No flash image buffer in use";
    case FLASH_BUSY: return "The flash is busy with another operation";
    case FLASH_OUT_OF_RANGE: return "Address range outside the flash device";
    case FLASH_DUMP_FAILED: return "Reading the flash failed";
    case FLASH_BURN_FAILED: return "Programming the flash failed";
    }
    return "Unknown flash error";
}
