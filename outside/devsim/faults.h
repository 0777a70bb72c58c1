// Random fault injection over a transport: the layer behind the transport
// string "fault:OPTIONS/INNER".
//
// OPTIONS are comma-separated key=value pairs; INNER is the transport string
// the layer wraps (everything after the first '/'), for example
// "fault:seed=42,read=0.01,flip=0.001/sim:nvm=/tmp/dut". The probabilities
// (decimal fractions from 0 to 1) are per call:
//   open       the open fails
//   read       a transport read call fails
//   write      a transport write call fails (nothing is written)
//   flip       one word a transport call moves is corrupted on the wire;
//              the verifying calls see it and fail (a verified write leaves
//              the corrupted word in memory), the plain read passes it on
//   e2read     one EEPROM read piece (at most 64 words) fails
//   e2write    one EEPROM page write (at most 32 words) fails, so a longer
//              write stops part-way
//   flashburn  one flash page program (128 words) fails, so a burn stops
//              part-way
// seed picks the random sequence: every open of the same string draws the
// same faults in the same order.
//
// Every injected fault is counted per kind, per stream and for the whole
// process, so that tests can compare what was injected with what the caller
// saw.
#ifndef DEVSIM_FAULTS_H
#define DEVSIM_FAULTS_H

#include "devsim.h"

#include <cstdint>
#include <memory>
#include <string>

namespace devsim {

enum class FaultKind : int { Open, Read, Write, Flip, E2Read, E2Write, FlashBurn };
constexpr int kFaultKinds = 7;

// The option name of a kind ("open", "read", ..., "flashburn").
DEVSIM_API const char* FaultKindName(FaultKind aKind);

struct FaultCounts {
    uint64_t byKind[kFaultKinds] = {};
    // Flips the plain read handed on to the caller (a subset of Flip).
    uint64_t flipsPassedOn = 0;

    uint64_t operator[](FaultKind aKind) const { return byKind[static_cast<int>(aKind)]; }
    uint64_t Total() const
    {
        uint64_t total = 0;
        for (uint64_t n : byKind) total += n;
        return total;
    }
};

class DEVSIM_API FaultLayer {
public:
    // Parses the options part of "fault:OPTIONS/INNER" (without "fault:"
    // and without the inner transport). False with a text on a bad option.
    bool Parse(const std::string& aOptions, std::string& aError);

    // Draws whether a call of this kind fails now, and counts it if so.
    bool Hit(FaultKind aKind);
    // A random index below aCount and a random bit mask of one bit: where a
    // flip lands.
    uint32_t Below(uint32_t aCount);
    uint16_t OneBit();
    void NotePassedOn();

    double probability(FaultKind aKind) const { return mProbability[static_cast<int>(aKind)]; }
    uint64_t seed() const { return mSeed; }
    const FaultCounts& counts() const { return mCounts; }

private:
    uint64_t Next();

    uint64_t mSeed = 1;
    uint64_t mState = 1;
    double mProbability[kFaultKinds] = {};
    FaultCounts mCounts;
};

// Splits "fault:OPTIONS/INNER" into a parsed layer and the inner string.
// False (with a text) when the text starts with "fault:" but is malformed;
// aIsFault tells whether it starts with "fault:" at all.
DEVSIM_API bool ParseFaultTransport(const char* aTransport, bool& aIsFault, FaultLayer& aLayer,
                                    std::string& aInner, std::string& aError);

// Layers of an open stream, outermost first. The transport stand-in attaches
// them after the inner open and detaches them at close.
DEVSIM_API void AttachFaults(uint32_t aStream, std::shared_ptr<FaultLayer> aLayer);
DEVSIM_API void DetachFaults(uint32_t aStream);

// Whether a call of this kind on the stream fails now (any layer may say
// so); false at once for a stream without layers.
DEVSIM_API bool InjectFault(uint32_t aStream, FaultKind aKind);
// Whether one word of a transfer of aCount words is corrupted; if so, aIndex
// and aMask say which word and which bit.
DEVSIM_API bool InjectFlip(uint32_t aStream, uint32_t aCount, uint32_t& aIndex, uint16_t& aMask);
// Notes that a flip reached the caller unseen.
DEVSIM_API void NoteFlipPassedOn(uint32_t aStream);

// Faults injected on one stream (zero for a stream without layers), and on
// every stream of the process since the last reset.
DEVSIM_API FaultCounts FaultsOf(uint32_t aStream);
DEVSIM_API FaultCounts InjectedFaults();
DEVSIM_API void ResetInjectedFaults();

}  // namespace devsim

#endif
