// The emulated production-test firmware of the simulated chip.
//
// It starts when the processor is let go over an image whose entry point
// holds the header of ptimage.h, finds its mailbox through its own lookup
// table in RAM, writes the ready answer and its API version, moves its
// alive tick on every step and answers every command of the mailbox. It
// keeps the radio state, packet counters and PIO/AIO/LED registers, and
// records every command with its parameter words so tests can check what
// the firmware received. Everything happens inside transport calls: the
// chip steps the firmware before each read and after each write.
#ifndef DEVSIM_PTFIRMWARE_H
#define DEVSIM_PTFIRMWARE_H

#include "devsim.h"

#include <cstdint>
#include <map>
#include <vector>

namespace devsim {

struct FwCommandRecord {
    uint16_t code = 0;
    std::vector<uint16_t> parameters;
    uint16_t answer = 0;  // the answer written to the command word
};

enum class RadioMode { Idle, Carrier, Transmitting, Receiving };

// The firmware's registers; tests may read and change them.
struct FwRegisters {
    RadioMode radio = RadioMode::Idle;
    uint16_t channel = 0;
    uint16_t frequencyMhz = 0;
    uint16_t txLength = 0;
    uint16_t payloadType = 0;
    uint16_t txRemaining = 0;  // packets still to send
    uint16_t rxPackets = 0;    // packets received since the RX start
    uint16_t xtalTrim = 0;
    uint32_t pioSetA = 0, pioSetB = 0;        // last 0x0100
    uint32_t pioAssignA = 0, pioAssignB = 0;  // last 0x0101
    uint32_t pioInA = 0, pioInB = 0;          // what 0x0201 reads back
    uint32_t ledWord = 0;
    uint16_t ledMode = 0, ledValue = 0, ledBrightness = 0;
    std::map<uint16_t, uint16_t> aio;  // channel -> value
    uint32_t uartBaud = 0;
};

// Behaviour of a running firmware; starts as the image says and may be
// changed by the transport option "fwfault" or by a test.
struct FwBehaviour {
    bool silent = false;
    bool aliveOnly = false;
    uint16_t readyAnswer = 0xFABC;
    uint32_t answerDelay = 0;                // polls of the command word before an answer
    std::map<uint16_t, uint16_t> answers;    // command -> forced answer
    uint16_t txPerPoll = 25;
    uint16_t rxPerPoll = 7;
};

class DEVSIM_API PtFirmware : public Firmware {
public:
    struct Mailbox {
        uint32_t command = 0;     // space-4 word addresses
        uint32_t alive = 0;
        uint32_t parameters = 0;
        uint32_t results = 0;
    };

    PtFirmware(const Mailbox& aMailbox, uint16_t aBuildId, uint32_t aApiVersion,
               const FwBehaviour& aBehaviour);
    void Step(Chip& aChip) override;

    const std::vector<FwCommandRecord>& log() const { return mLog; }
    void ClearLog() { mLog.clear(); }
    FwRegisters& registers() { return mRegisters; }
    FwBehaviour& behaviour() { return mBehaviour; }
    const Mailbox& mailbox() const { return mMailbox; }
    uint16_t buildId() const { return mBuildId; }
    uint32_t apiVersion() const { return mApiVersion; }
    uint16_t aliveTick() const { return mAlive; }
    bool ready() const { return mReadySent; }

private:
    void Answer(Chip& aChip, uint16_t aAnswer);
    uint16_t Execute(Chip& aChip, FwCommandRecord& aRecord);

    Mailbox mMailbox;
    uint16_t mBuildId;
    uint32_t mApiVersion;
    FwBehaviour mBehaviour;
    FwRegisters mRegisters;
    std::vector<FwCommandRecord> mLog;
    uint16_t mAlive = 0;
    bool mReadySent = false;
    bool mPending = false;     // a command (or the start) waits for its answer
    uint32_t mPollsLeft = 0;
};

// The emulated production-test firmware running on a chip, or null.
DEVSIM_API PtFirmware* PtFirmwareOf(Chip& aChip);

// Lays the transport option "fwfault" over the behaviour the image asked for.
DEVSIM_API void ApplyFirmwareOptions(const FirmwareOptions& aOptions, FwBehaviour& aBehaviour);

}  // namespace devsim

#endif
