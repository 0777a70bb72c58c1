// Stand-in for the e2 library over the simulated device's EEPROM.
//
// The EEPROM sits on the chip's serial bus: a read moves at most 64 words
// and a write at most one 32-word page per transport call, so a whole-image
// transfer costs as many calls as the real device would.
#include "e2.h"

#include "devsim.h"
#include "faults.h"
#include "nvm.h"

namespace {

const uint32_t kReadChunkWords = 64;
const uint32_t kPageWords = 32;

devsim::Chip* ChipOf(uint32_t aStream)
{
    return devsim::Find(aStream);
}

esquared_error CheckRange(devsim::Nvm& aNvm, uint32_t aByteAddress, const void* aData,
                          uint32_t aByteCount)
{
    if ((aByteAddress & 1) != 0 || (aByteCount & 1) != 0) return ESQUARED_BAD_PARAMETER;
    if (aByteCount != 0 && aData == nullptr) return ESQUARED_BAD_PARAMETER;
    uint32_t size = aNvm.eeprom().size();
    uint32_t word = aByteAddress / 2;
    uint32_t count = aByteCount / 2;
    if (word > size || count > size - word) return ESQUARED_OUT_OF_RANGE;
    return ESQUARED_OK;
}

// The checks and the injected fault every transfer goes through; the chip
// is set when the transfer may go ahead.
esquared_error BeginTransfer(uint32_t aStream, uint32_t aByteAddress, const void* aData, uint32_t aByteCount,
                             devsim::NvmOperation aOperation, esquared_error aFault, devsim::Chip*& aChip)
{
    aChip = ChipOf(aStream);
    if (aChip == nullptr) return ESQUARED_NO_DEVICE;
    devsim::Nvm& nvm = aChip->nvm();
    if (esquared_error e = CheckRange(nvm, aByteAddress, aData, aByteCount)) return e;
    if (nvm.Fails(aOperation)) {
        aChip->NoteCall();
        return aFault;
    }
    return ESQUARED_OK;
}

// Moves a transfer's words piece by piece, one transport call per piece of
// at most aPiece words; a paged transfer never crosses a page of aPiece
// words. aMove gets the word address, the count and the offset into the
// caller's buffer. A fault layer on the stream (faults.h) may fail any
// piece, so a long transfer can stop part-way as on a real bus.
template <typename Move>
esquared_error InPieces(devsim::Chip& aChip, uint32_t aByteAddress, uint32_t aByteCount, uint32_t aPiece,
                        bool aPaged, esquared_error aFailure, uint32_t aStream, devsim::FaultKind aFault,
                        Move aMove)
{
    uint32_t word = aByteAddress / 2;
    uint32_t done = 0;
    for (uint32_t left = aByteCount / 2; left > 0;) {
        const uint32_t room = aPaged ? aPiece - word % aPiece : aPiece;
        const uint32_t n = left < room ? left : room;
        aChip.NoteCall();
        if (devsim::InjectFault(aStream, aFault)) return aFailure;
        if (!aMove(word, n, done)) return aFailure;
        word += n;
        done += n;
        left -= n;
    }
    return ESQUARED_OK;
}

}  // namespace

esquared::esquared(uint32_t aStream) : mStream(aStream) {}

esquared::~esquared() = default;

esquared_error esquared::Read(uint32_t aByteAddress, uint16_t* aData, uint32_t aByteCount)
{
    devsim::Chip* chip = nullptr;
    if (esquared_error e =
            BeginTransfer(mStream, aByteAddress, aData, aByteCount, devsim::NvmOperation::EepromRead, ESQUARED_READ_FAILED, chip))
        return e;
    devsim::Counters& counters = chip->counters();
    devsim::NvmStore& eeprom = chip->nvm().eeprom();
    return InPieces(*chip, aByteAddress, aByteCount, kReadChunkWords, false, ESQUARED_READ_FAILED, mStream,
                    devsim::FaultKind::E2Read,
                    [&](uint32_t aWord, uint32_t aCount, uint32_t aDone) {
                        ++counters.reads;
                        counters.wordsRead += aCount;
                        return eeprom.Read(aWord, aCount, aData + aDone);
                    });
}

esquared_error esquared::Write(uint32_t aByteAddress, const uint16_t* aData, uint32_t aByteCount)
{
    devsim::Chip* chip = nullptr;
    if (esquared_error e =
            BeginTransfer(mStream, aByteAddress, aData, aByteCount, devsim::NvmOperation::EepromWrite, ESQUARED_WRITE_FAILED, chip))
        return e;
    devsim::Counters& counters = chip->counters();
    devsim::NvmStore& eeprom = chip->nvm().eeprom();
    return InPieces(*chip, aByteAddress, aByteCount, kPageWords, true, ESQUARED_WRITE_FAILED, mStream,
                    devsim::FaultKind::E2Write,
                    [&](uint32_t aWord, uint32_t aCount, uint32_t aDone) {
                        ++counters.writes;
                        // A page write is a write call on the stream: the
                        // failwrite option cuts a transfer off here, with
                        // the pages before it written.
                        const uint64_t failAt = chip->options().transport.failWrite;
                        if (failAt != 0 && counters.writes == failAt) return false;
                        counters.wordsWritten += aCount;
                        return eeprom.Write(aWord, aCount, aData + aDone);
                    });
}

esquared_error esquared::GetSize(uint16_t& aSize)
{
    devsim::Chip* chip = ChipOf(mStream);
    if (chip == nullptr) return ESQUARED_NO_DEVICE;
    devsim::Nvm& nvm = chip->nvm();
    chip->NoteCall();
    if (nvm.Fails(devsim::NvmOperation::EepromSize)) return ESQUARED_SIZE_UNKNOWN;
    aSize = static_cast<uint16_t>(nvm.eeprom().size() / 128);
    return ESQUARED_OK;
}

const char* esquared::GetErrorText(esquared_error aError)
{
    switch (aError) {
    case ESQUARED_OK: return "No error";
    case ESQUARED_NO_DEVICE: return "No device answers on the stream";
    case ESQUARED_BAD_PARAMETER: return "Invalid EEPROM address, length or buffer";
    case ESQUARED_OUT_OF_RANGE: return "Address range outside the EEPROM";
    case ESQUARED_READ_FAILED: return "EEPROM read failed";
    case ESQUARED_WRITE_FAILED: return "EEPROM write failed";
    case ESQUARED_SIZE_UNKNOWN: return "EEPROM size could not be determined";
    }
    return "Unknown EEPROM error";
}
