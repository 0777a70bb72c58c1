// Stand-in for the Quorlink transport library over the simulated device.
#include "quorlink.h"

#include "devsim.h"
#include "faults.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string& LastError()
{
    static std::string text;
    return text;
}

int32_t Fail(const std::string& aText)
{
    LastError() = aText;
    return 1;
}

// A memory call the chip failed (failread, failwrite, a bad address): the
// text, and the result the transport option failcode chose (1 by default;
// a transport library may also answer other non-zero values).
int32_t FailCall(const devsim::Chip& aChip, const std::string& aText)
{
    Fail(aText);
    return aChip.options().transport.failCode;
}

// The option throw= makes the stand-in throw from its calls, as a transport
// library may, to show that nothing escapes the test library.
void ThrowIfAsked(const devsim::Chip& aChip, bool aIdentification)
{
    switch (aChip.options().transport.throws) {
    case devsim::TransportThrow::OutOfMemory:
        if (!aIdentification) throw std::bad_alloc();
        break;
    case devsim::TransportThrow::Error:
        if (!aIdentification) throw std::runtime_error("simulated transport failure");
        break;
    case devsim::TransportThrow::Identification:
        if (aIdentification) throw std::runtime_error("simulated identification failure");
        break;
    case devsim::TransportThrow::None:
        break;
    }
}

devsim::Chip* ChipOf(uint32_t aStream)
{
    devsim::Chip* chip = devsim::Find(aStream);
    if (chip == nullptr) LastError() = "stream " + std::to_string(aStream) + " is not open";
    if (chip != nullptr) ThrowIfAsked(*chip, false);
    return chip;
}

// Everything the simulated transport can open.
const char* const kTransports[] = {"sim"};

// The fault layers of "fault:OPTIONS/INNER" (outside/devsim/faults.h). A
// read or write the layer fails never reaches the chip; a flipped word is
// found by the verifying calls, which fail as a verifying transport does,
// and handed on by the plain read.
bool ReadFault(uint32_t aStream)
{
    if (!devsim::InjectFault(aStream, devsim::FaultKind::Read)) return false;
    Fail("injected fault: the transport read failed");
    return true;
}

bool WriteFault(uint32_t aStream)
{
    if (!devsim::InjectFault(aStream, devsim::FaultKind::Write)) return false;
    Fail("injected fault: the transport write failed");
    return true;
}

// Corrupts one of aCount words in aWords when the layer says so; true when
// a word was corrupted.
bool Flip(uint32_t aStream, uint32_t aCount, uint16_t* aWords)
{
    uint32_t index = 0;
    uint16_t mask = 0;
    if (!devsim::InjectFlip(aStream, aCount, index, mask)) return false;
    aWords[index] = static_cast<uint16_t>(aWords[index] ^ mask);
    return true;
}

int32_t VerifyFailed(const char* aOperation)
{
    return Fail(std::string(aOperation) + " failed verification: a word changed on the wire");
}

// One word at a generic pointer. The verifying read fails on a corrupted
// word; the plain read checks nothing, so the word reaches the caller.
int32_t ReadOneGp(uint32_t aStream, GenericPointer aWhere, uint16_t* aWord, bool aVerify)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    if (ReadFault(aStream)) return 1;
    if (!chip->Read(aWhere.space, aWhere.address, 1, aWord)) return FailCall(*chip, "memory read failed");
    if (Flip(aStream, 1, aWord)) {
        if (aVerify) return VerifyFailed("memory read");
        devsim::NoteFlipPassedOn(aStream);
    }
    return 0;
}

}  // namespace

extern "C" {

int32_t qlk_stream_open(uint32_t* aStream, QlkTransport aTransport)
{
    if (aStream == nullptr) return Fail("no stream pointer given");
    std::string error;
    // Peel the fault layers off the front of the string; the rest is the
    // transport they wrap.
    std::vector<std::shared_ptr<devsim::FaultLayer>> layers;
    std::string transport = aTransport != nullptr ? aTransport : "";
    for (;;) {
        bool isFault = false;
        auto layer = std::make_shared<devsim::FaultLayer>();
        std::string inner;
        if (!devsim::ParseFaultTransport(layers.empty() ? aTransport : transport.c_str(), isFault, *layer,
                                         inner, error))
            return Fail(error);
        if (!isFault) break;
        if (layer->Hit(devsim::FaultKind::Open)) return Fail("injected fault: the open failed");
        layers.push_back(layer);
        transport = inner;
    }
    uint32_t stream = devsim::Open(layers.empty() ? aTransport : transport.c_str(), error);
    if (stream == 0) return Fail(error);
    for (auto& layer : layers) devsim::AttachFaults(stream, layer);
    *aStream = stream;
    return 0;
}

void qlk_stream_close(uint32_t aStream)
{
    devsim::DetachFaults(aStream);
    devsim::Close(aStream);
}

int32_t qlk_get_last_error(int32_t, const char** aText)
{
    if (aText == nullptr) return 1;
    *aText = LastError().c_str();
    return 0;
}

int32_t qlk_enumerate_strings(char* aBuffer, uintptr_t aBufferSize, uintptr_t* aCount,
                              uintptr_t* aNeeded)
{
    const size_t count = sizeof(kTransports) / sizeof(kTransports[0]);
    size_t needed = 1;
    for (const char* name : kTransports) needed += std::strlen(name) + 1;
    if (aCount != nullptr) *aCount = count;
    if (aNeeded != nullptr) *aNeeded = needed;
    if (aBuffer == nullptr) return aBufferSize == 0 ? 1 : 2;
    if (aBufferSize < needed) return 1;
    char* out = aBuffer;
    for (const char* name : kTransports) {
        size_t n = std::strlen(name) + 1;
        std::memcpy(out, name, n);
        out += n;
    }
    *out = '\0';
    return 0;
}

int32_t qlk_stream_setvar(uint32_t aStream, const char* aName, const char* aValue)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    chip->NoteCall();
    if (aName == nullptr || aValue == nullptr) return Fail("null variable name or value");
    chip->variables()[aName] = aValue;
    return 0;
}

int32_t qlk_stream_xap_reset_and_stop(uint32_t aStream)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    if (!chip->ResetAndStop()) return Fail("the processor did not stop after reset");
    return 0;
}

int32_t qlk_stream_xap_go(uint32_t aStream)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    chip->Go();
    return 0;
}

int32_t qlk_stream_read_verify(uint32_t aStream, uint16_t aWordAddress, uint16_t* aWord)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    if (ReadFault(aStream)) return 1;
    char text[40];
    std::snprintf(text, sizeof(text), "read of word 0x%04x", static_cast<unsigned>(aWordAddress));
    if (!chip->Read(4, static_cast<uint32_t>(aWordAddress) * 2, 1, aWord))
        return FailCall(*chip, std::string(text) + " failed");
    if (Flip(aStream, 1, aWord)) return VerifyFailed(text);
    return 0;
}

int32_t qlk_stream_readgp(uint32_t aStream, GenericPointer aWhere, uint16_t* aWord)
{
    return ReadOneGp(aStream, aWhere, aWord, false);
}

int32_t qlk_stream_readgp_verify(uint32_t aStream, GenericPointer aWhere, uint16_t* aWord)
{
    return ReadOneGp(aStream, aWhere, aWord, true);
}

int32_t qlk_stream_readgp_block_verify(uint32_t aStream, GenericPointer aWhere, uint32_t aCount,
                                       uint16_t* aWords)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    if (ReadFault(aStream)) return 1;
    if (!chip->Read(aWhere.space, aWhere.address, aCount, aWords)) return FailCall(*chip, "block read failed");
    if (Flip(aStream, aCount, aWords)) return VerifyFailed("block read");
    return 0;
}

int32_t qlk_stream_writegp_verify(uint32_t aStream, GenericPointer aWhere, uint16_t aWord)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    if (WriteFault(aStream)) return 1;
    // A word corrupted on its way is written as it arrived; the read-back
    // of the verifying write then finds it wrong.
    const bool flipped = Flip(aStream, 1, &aWord);
    if (!chip->Write(aWhere.space, aWhere.address, 1, &aWord)) return FailCall(*chip, "memory write failed");
    if (flipped) return VerifyFailed("memory write");
    return 0;
}

int32_t qlk_stream_writegp_block_verify(uint32_t aStream, GenericPointer aWhere, uint32_t aCount,
                                        const uint16_t* aWords)
{
    devsim::Chip* chip = ChipOf(aStream);
    if (chip == nullptr) return 1;
    if (WriteFault(aStream)) return 1;
    std::vector<uint16_t> sent;
    bool flipped = false;
    if (aWords != nullptr && aCount != 0) {
        sent.assign(aWords, aWords + aCount);
        flipped = Flip(aStream, aCount, sent.data());
    }
    if (!chip->Write(aWhere.space, aWhere.address, aCount, flipped ? sent.data() : aWords))
        return FailCall(*chip, "block write failed");
    if (flipped) return VerifyFailed("block write");
    return 0;
}

}  // extern "C"

const CXapHelper& qlk_stream_xap_helper(uint32_t aStream)
{
    // One description per stream, refreshed from the chip on every call.
    static std::map<uint32_t, CXapHelper> helpers;
    static const CXapHelper none;
    devsim::Chip* chip = devsim::Find(aStream);
    if (chip == nullptr) {
        helpers.erase(aStream);
        return none;
    }
    ThrowIfAsked(*chip, true);
    CXapHelper& h = helpers[aStream];
    const devsim::IdentityOptions& o = chip->options().identity;
    h.firstId = o.id1;
    h.secondId = o.id2;
    h.identified = o.identified ? 1 : 0;
    h.chipIndex = o.chip;
    return h;
}
