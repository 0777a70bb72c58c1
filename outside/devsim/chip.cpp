#include "devsim.h"
#include "radio.h"

#include <chrono>

namespace devsim {

namespace {
constexpr uint32_t kPageWords = 4096;

uint64_t PageKey(uint32_t aSpace, uint32_t aWordAddress)
{
    return (static_cast<uint64_t>(aSpace) << 32) | (aWordAddress / kPageWords);
}
}  // namespace

Chip::Chip(const Options& aOptions) : mOptions(aOptions), mRadio(new Radio(aOptions.radio)) {}

Chip::~Chip() = default;

uint16_t Chip::Peek(uint32_t aSpace, uint32_t aWordAddress) const
{
    auto it = mPages.find(PageKey(aSpace, aWordAddress));
    return it == mPages.end() ? 0 : it->second[aWordAddress % kPageWords];
}

void Chip::Poke(uint32_t aSpace, uint32_t aWordAddress, uint16_t aValue)
{
    std::vector<uint16_t>& page = mPages[PageKey(aSpace, aWordAddress)];
    if (page.empty()) page.assign(kPageWords, 0);
    page[aWordAddress % kPageWords] = aValue;
}

void Chip::Spend()
{
    ++mCounters.calls;
    if (mOptions.transport.latencyUs == 0) return;
    // Busy wait: a sleep would be far coarser than the latencies benchmarks ask for.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(mOptions.transport.latencyUs);
    while (std::chrono::steady_clock::now() < until) {
    }
}

void Chip::NoteCall()
{
    Spend();
}

void Chip::StepFirmware()
{
    if (mRunning && mFirmware) mFirmware->Step(*this);
}

bool Chip::Read(uint32_t aSpace, uint32_t aByteAddress, uint32_t aCount, uint16_t* aWords)
{
    Spend();
    ++mCounters.reads;
    mLastAccess = Access{false, aSpace, aByteAddress, aCount};
    StepFirmware();
    if (mOptions.transport.failRead != 0 && mCounters.reads == mOptions.transport.failRead) return false;
    if ((aByteAddress & 1) != 0 || (aCount != 0 && aWords == nullptr)) return false;
    uint32_t word = aByteAddress / 2;
    for (uint32_t i = 0; i < aCount; ++i) aWords[i] = Peek(aSpace, word + i);
    mCounters.wordsRead += aCount;
    return true;
}

bool Chip::Write(uint32_t aSpace, uint32_t aByteAddress, uint32_t aCount, const uint16_t* aWords)
{
    Spend();
    ++mCounters.writes;
    if (mOptions.transport.failWrite != 0 && mCounters.writes == mOptions.transport.failWrite) return false;
    if ((aByteAddress & 1) != 0 || (aCount != 0 && aWords == nullptr)) return false;
    uint32_t word = aByteAddress / 2;
    for (uint32_t i = 0; i < aCount; ++i) Poke(aSpace, word + i, aWords[i]);
    mCounters.wordsWritten += aCount;
    // The firmware sees a write as soon as it lands, as a polling loop would.
    mLastAccess = Access{true, aSpace, aByteAddress, aCount};
    StepFirmware();
    return true;
}

bool Chip::ResetAndStop()
{
    Spend();
    if (mOptions.transport.resetFails) return false;
    mRunning = false;
    mFirmware.reset();
    // A processor held in reset drives no radio.
    mRadio->Off();
    return true;
}

void Chip::Go()
{
    Spend();
    if (mRunning) return;
    mRunning = true;
    mLastAccess = Access();
    mFirmware = StartFirmware(*this);
    StepFirmware();
}

}  // namespace devsim
