// The simulated device under test.
//
// One Chip object stands for one device on one transport stream. It holds
// the chip's identity, its memory spaces, the processor's run state, the
// emulated production-test firmware once the processor is let go, and the
// faults and latency a test or benchmark asked for. The stand-in transport
// and memory libraries are thin adapters over this class.
#ifndef DEVSIM_DEVSIM_H
#define DEVSIM_DEVSIM_H

#include "options.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace devsim {

// Transport call counters, for tests and benchmarks.
struct Counters {
    uint64_t calls = 0;        // every transport call on the stream
    uint64_t reads = 0;        // read calls (single and block)
    uint64_t writes = 0;       // write calls (single and block)
    uint64_t wordsRead = 0;
    uint64_t wordsWritten = 0;
};

class Chip;

// The transport access during which the firmware steps: which memory the
// host is about to read or has just written.
struct Access {
    bool write = false;
    uint32_t space = 0;
    uint32_t byteAddress = 0;
    uint32_t count = 0;
};
class Nvm;
class Radio;
class Uart;

// Emulated software running on the processor after Go. The chip calls it
// before every transport access so it can react to what the host wrote.
class Firmware {
public:
    virtual ~Firmware() = default;
    virtual void Step(Chip& aChip) = 0;
};

class DEVSIM_API Chip {
public:
    explicit Chip(const Options& aOptions);
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    const Options& options() const { return mOptions; }

    // Direct memory access for tests and the emulated firmware: no counting,
    // no faults, no firmware step. Unwritten memory reads as 0.
    uint16_t Peek(uint32_t aSpace, uint32_t aWordAddress) const;
    void Poke(uint32_t aSpace, uint32_t aWordAddress, uint16_t aValue);

    // Transport-facing access. Counts the call, applies latency and injected
    // faults, and lets a running firmware step first. Byte addresses must be
    // even. Returns false on failure.
    bool Read(uint32_t aSpace, uint32_t aByteAddress, uint32_t aCount, uint16_t* aWords);
    bool Write(uint32_t aSpace, uint32_t aByteAddress, uint32_t aCount, const uint16_t* aWords);
    bool ResetAndStop();
    void Go();
    // Counts a call that touches no memory (open, helper, setvar).
    void NoteCall();

    bool running() const { return mRunning; }
    Counters& counters() { return mCounters; }
    Firmware* firmware() { return mFirmware.get(); }
    // The access the current firmware step belongs to (empty at Go).
    const Access& lastAccess() const { return mLastAccess; }
    void ClearCounters() { mCounters = Counters(); }

    // Faults set after open (the options set them at open).
    void FailReadAt(uint64_t aCall) { mOptions.transport.failRead = aCall; }
    void FailWriteAt(uint64_t aCall) { mOptions.transport.failWrite = aCall; }
    void SetLatencyUs(uint32_t aLatency) { mOptions.transport.latencyUs = aLatency; }

    // Transport variables set by the host (qlk_stream_setvar).
    std::map<std::string, std::string>& variables() { return mVariables; }

    // The EEPROM and SPI flash (nvm.h), created on first use.
    Nvm& nvm();

    // The radio (radio.h): the chip's physics and its cable to the RF tester.
    Radio& radio() { return *mRadio; }

    // The UART (uart.h), created on first use by UartOf.
    std::shared_ptr<Uart>& uart() { return mUart; }

private:
    void Spend();
    void StepFirmware();

    Options mOptions;
    Counters mCounters;
    bool mRunning = false;
    std::unique_ptr<Firmware> mFirmware;
    Access mLastAccess;
    std::map<std::string, std::string> mVariables;
    // Sparse memory: pages of 4096 words keyed by (space << 32 | page).
    std::map<uint64_t, std::vector<uint16_t>> mPages;
    std::shared_ptr<Nvm> mNvm;
    std::shared_ptr<Uart> mUart;
    std::unique_ptr<Radio> mRadio;
};

// Starts the emulated firmware that the image in the chip's RAM describes,
// or returns null when the RAM holds nothing the emulator recognises.
std::unique_ptr<Firmware> StartFirmware(Chip& aChip);

// Streams: the stand-in transport opens and closes chips here.
// Open returns a stream number above 0, or 0 with a text in aError.
DEVSIM_API uint32_t Open(const char* aTransport, std::string& aError);
DEVSIM_API void Close(uint32_t aStream);
DEVSIM_API Chip* Find(uint32_t aStream);
// The chip of the most recent successful open; it stays alive after its
// stream is closed so that tests can inspect what the device holds.
DEVSIM_API std::shared_ptr<Chip> LastOpened();
// The most recently opened chip with the option name=aName.
DEVSIM_API std::shared_ptr<Chip> FindByName(const std::string& aName);
// Number of streams open now.
DEVSIM_API size_t OpenStreams();

}  // namespace devsim

#endif
