// The emulated production-test firmware (see ptfirmware.h and ptimage.h).
#include "ptfirmware.h"
#include "ptimage.h"
#include "radio.h"
#include "uart.h"

#include <string>

namespace devsim {

namespace {

using namespace ptimage;

constexpr uint32_t kRam = 4;
// Bounds on what the firmware walks through its own table, so a broken
// image cannot keep it looping.
constexpr uint32_t kMaxListEntries = 512;
constexpr uint32_t kMaxRedirects = 16;

// Parameter words of every command the firmware knows.
int ParameterCount(uint16_t aCode)
{
    switch (aCode) {
    case 0x0100: return 4;
    case 0x0101: return 4;
    case 0x0102: return 5;
    case 0x0103: return 2;
    case 0x0200: return 0;
    case 0x0201: return 0;
    case 0x0202: return 1;
    case 0x0300: return 2;
    case 0x0301: return 0;
    case 0x0302: return 4;
    case 0x0303: return 1;
    case 0x0304: return 1;
    case 0x0305: return 0;
    case 0x0306: return 0;
    case 0x0500: return 2;
    default: return -1;
    }
}

uint32_t Join(uint16_t aHigh, uint16_t aLow)
{
    return (static_cast<uint32_t>(aHigh) << 16) | aLow;
}

uint32_t Packed(uint32_t aSpace, uint32_t aByteAddress)
{
    return (aSpace << 24) | (aByteAddress & 0xFFFFFFu);
}

// Reads the firmware's own lookup table from RAM in the format its image
// header names.
bool ReadOwnTable(const Chip& aChip, uint16_t aFormat, uint32_t aPacked,
                  std::map<uint16_t, uint32_t>& aEntries)
{
    uint32_t space = aPacked >> 24;
    uint32_t word = (aPacked & 0xFFFFFFu) / 2;
    auto put = [&](uint16_t aKey, uint32_t aValue) { aEntries.emplace(aKey, aValue); };
    switch (aFormat) {
    case kPairList: {
        if (aChip.Peek(space, word) != kMagicTable) return false;
        uint32_t list = aChip.Peek(space, word + 1);
        for (uint32_t i = 0; i < kMaxListEntries; ++i) {
            uint16_t key = aChip.Peek(space, list + 2 * i);
            if (key == 0) break;
            put(key, aChip.Peek(space, list + 2 * i + 1));
        }
        return true;
    }
    case kTripleList:
    case kTripleListRedirected: {
        for (uint32_t hop = 0; aChip.Peek(space, word) == kMagicRedirect; ++hop) {
            if (hop == kMaxRedirects) return false;
            uint32_t packed = Join(aChip.Peek(space, word + 2), aChip.Peek(space, word + 1));
            space = packed >> 24;
            word = (packed & 0xFFFFFFu) / 2;
        }
        if (aChip.Peek(space, word) != kMagicTable) return false;
        for (uint32_t i = 0; i < kMaxListEntries; ++i) {
            uint32_t at = word + 1 + 3 * i;
            uint16_t key = aChip.Peek(space, at);
            if (key == 0) break;
            put(key, Join(aChip.Peek(space, at + 2), aChip.Peek(space, at + 1)));
        }
        return true;
    }
    case kFixedTable: {
        if (aChip.Peek(space, word) != kMagicTable) return false;
        for (uint32_t i = 2; i < 30; i += 2) {
            uint16_t key = aChip.Peek(space, word + i);
            if (key == 0) continue;
            if (key > 14) break;
            put(key, aChip.Peek(space, word + i + 1));
            if (key == 14) break;
        }
        return true;
    }
    case kShortFixedTable: {
        if (aChip.Peek(space, word) != kMagicShort) return false;
        for (uint16_t key = 1; key <= 3; ++key) put(key, aChip.Peek(space, word + key));
        return true;
    }
    default:
        return false;
    }
}

// The crystal trim of the CS keys block in RAM (the library copies the
// cached keys there when it loads the firmware with CS keys); the default
// trim when the main firmware's table or a trim within 0-63 is not there.
uint16_t StoredTrim(const Chip& aChip)
{
    std::map<uint16_t, uint32_t> main;
    const uint32_t table = Packed(kRam, kMainTableWord * 2);
    if (!ReadOwnTable(aChip, kFixedTable, table, main) && !ReadOwnTable(aChip, kShortFixedTable, table, main))
        return radiomodel::kDefaultTrim;
    auto keys = main.find(kMainEntryCsKeys);
    if (keys == main.end()) return radiomodel::kDefaultTrim;
    const uint16_t trim = aChip.Peek(kRam, keys->second + kCsKeyCrystalTrim);
    return trim <= radiomodel::kTrimMax ? trim : radiomodel::kDefaultTrim;
}

bool ValidChannel(uint16_t aChannel)
{
    return aChannel < rflinkwire::kChannels;
}

}  // namespace

void ApplyFirmwareOptions(const FirmwareOptions& aOptions, FwBehaviour& aBehaviour)
{
    if (aOptions.silent) aBehaviour.silent = true;
    if (aOptions.aliveOnly) aBehaviour.aliveOnly = true;
    if (aOptions.readyAnswer) aBehaviour.readyAnswer = *aOptions.readyAnswer;
    for (const auto& forced : aOptions.answers) aBehaviour.answers[forced.first] = forced.second;
    if (aOptions.answerDelay) aBehaviour.answerDelay = *aOptions.answerDelay;
}

PtFirmware::PtFirmware(const Mailbox& aMailbox, uint16_t aBuildId, uint32_t aApiVersion,
                       const FwBehaviour& aBehaviour)
    : mMailbox(aMailbox), mBuildId(aBuildId), mApiVersion(aApiVersion), mBehaviour(aBehaviour) {}

void PtFirmware::Answer(Chip& aChip, uint16_t aAnswer)
{
    aChip.Poke(kRam, mMailbox.command, aAnswer);
    mPending = false;
}

void PtFirmware::Step(Chip& aChip)
{
    if (mBehaviour.silent) return;
    ++mAlive;
    aChip.Poke(kRam, mMailbox.alive, mAlive);
    if (mBehaviour.aliveOnly) return;

    const Access& access = aChip.lastAccess();
    const uint32_t first = access.byteAddress / 2;
    const bool pollOfCommand = !access.write && access.space == kRam && first <= mMailbox.command &&
                               mMailbox.command - first < access.count;

    if (!mPending) {
        if (!mReadySent) {
            mPending = true;  // the start itself waits like a command
        } else if ((aChip.Peek(kRam, mMailbox.command) & 0x8000) == 0) {
            FwCommandRecord record;
            record.code = aChip.Peek(kRam, mMailbox.command);
            int count = ParameterCount(record.code);
            for (int i = 0; i < count; ++i)
                record.parameters.push_back(aChip.Peek(kRam, mMailbox.parameters + static_cast<uint32_t>(i)));
            mLog.push_back(record);
            mPending = true;
        } else {
            return;
        }
        mPollsLeft = mBehaviour.answerDelay;
    } else if (pollOfCommand && mPollsLeft > 0) {
        --mPollsLeft;
    }
    if (mPollsLeft > 0) return;

    if (!mReadySent) {
        aChip.Poke(kRam, mMailbox.results, static_cast<uint16_t>(mApiVersion >> 16));
        aChip.Poke(kRam, mMailbox.results + 1, static_cast<uint16_t>(mApiVersion & 0xFFFF));
        mReadySent = true;
        Answer(aChip, mBehaviour.readyAnswer);
        return;
    }
    FwCommandRecord& record = mLog.back();
    record.answer = Execute(aChip, record);
    Answer(aChip, record.answer);
}

uint16_t PtFirmware::Execute(Chip& aChip, FwCommandRecord& aRecord)
{
    auto forced = mBehaviour.answers.find(aRecord.code);
    if (forced != mBehaviour.answers.end() && forced->second != kAnswerOk) return forced->second;
    if (ParameterCount(aRecord.code) < 0) return kAnswerUnknown;

    const std::vector<uint16_t>& p = aRecord.parameters;
    FwRegisters& r = mRegisters;
    Radio& radio = aChip.radio();
    auto result = [&](uint32_t aIndex, uint16_t aValue) { aChip.Poke(kRam, mMailbox.results + aIndex, aValue); };
    switch (aRecord.code) {
    case 0x0100:
        r.pioSetA = Join(p[0], p[1]);
        r.pioSetB = Join(p[2], p[3]);
        // Pins read back the levels they drive.
        r.pioInA = r.pioSetA;
        r.pioInB = r.pioSetB;
        break;
    case 0x0101:
        r.pioAssignA = Join(p[0], p[1]);
        r.pioAssignB = Join(p[2], p[3]);
        break;
    case 0x0102:
        r.ledWord = Join(p[0], p[1]);
        r.ledMode = p[2];
        r.ledValue = p[3];
        r.ledBrightness = p[4];
        break;
    case 0x0103:
        r.aio[static_cast<uint16_t>(p[0] & 0xFF)] = p[1];
        break;
    case 0x0200:
        result(0, mBuildId);
        result(1, static_cast<uint16_t>(mApiVersion >> 16));
        result(2, static_cast<uint16_t>(mApiVersion & 0xFFFF));
        break;
    case 0x0201:
        result(0, static_cast<uint16_t>(r.pioInA >> 16));
        result(1, static_cast<uint16_t>(r.pioInA & 0xFFFF));
        result(2, static_cast<uint16_t>(r.pioInB >> 16));
        result(3, static_cast<uint16_t>(r.pioInB & 0xFFFF));
        break;
    case 0x0202: {
        auto it = r.aio.find(static_cast<uint16_t>(p[0] & 0xFF));
        result(0, it == r.aio.end() ? 0 : it->second);
        break;
    }
    case 0x0300: {
        // The carrier sits on the frequency when one is given (2402-2480 MHz),
        // else on the channel's centre.
        const uint16_t channel = static_cast<uint16_t>(p[0] & 0xFF);
        if (!ValidChannel(channel) || (p[1] != 0 && (p[1] < 2402 || p[1] > 2480))) return kAnswerInvalid;
        r.radio = RadioMode::Carrier;
        r.channel = p[0];
        r.frequencyMhz = p[1];
        radio.Carrier(p[1] != 0 ? p[1] * 1e6 : rflinkwire::ChannelHz(channel));
        break;
    }
    case 0x0301:
        r.radio = RadioMode::Idle;
        radio.Off();
        break;
    case 0x0302: {
        const uint16_t channel = static_cast<uint16_t>(p[0] & 0xFF);
        if (!ValidChannel(channel)) return kAnswerInvalid;
        r.radio = RadioMode::Transmitting;
        r.channel = p[0];
        r.txLength = p[1];
        r.payloadType = p[2];
        r.txRemaining = p[3];
        radio.Burst(rflinkwire::ChannelHz(channel));
        break;
    }
    case 0x0303:
        if (p[0] > radiomodel::kTrimMax) return kAnswerInvalid;
        r.xtalTrim = p[0];
        radio.SetTrim(p[0]);
        break;
    case 0x0304: {
        const uint16_t channel = static_cast<uint16_t>(p[0] & 0xFF);
        if (!ValidChannel(channel)) return kAnswerInvalid;
        r.radio = RadioMode::Receiving;
        r.channel = p[0];
        r.rxPackets = 0;
        radio.Receive(channel);
        break;
    }
    case 0x0305:
        if (radio.cabled()) {
            // Packets the tester's generator sent that the receiver took in;
            // a full counter stays full rather than wrapping to a small count.
            const uint64_t received = radio.received();
            r.rxPackets = static_cast<uint16_t>(received < 0xFFFF ? received : 0xFFFF);
        } else if (r.radio == RadioMode::Receiving) {
            // No tester: the counter moves by a fixed step per query.
            r.rxPackets = static_cast<uint16_t>(r.rxPackets + mBehaviour.rxPerPoll);
        }
        result(0, r.rxPackets);
        break;
    case 0x0306:
        if (r.radio == RadioMode::Transmitting) {
            uint16_t sent = r.txRemaining < mBehaviour.txPerPoll ? r.txRemaining : mBehaviour.txPerPoll;
            r.txRemaining = static_cast<uint16_t>(r.txRemaining - sent);
            if (r.txRemaining == 0) {
                r.radio = RadioMode::Idle;
                radio.Off();
            }
        }
        result(0, r.txRemaining);
        break;
    case 0x0500:
        r.uartBaud = Join(p[0], p[1]);
        StartUartLoopback(aChip, r.uartBaud);
        break;
    default:
        break;
    }
    return kAnswerOk;
}

std::unique_ptr<Firmware> StartFirmware(Chip& aChip)
{
    const uint32_t entry = Join(aChip.Peek(kRam, kProgramCounterHigh), aChip.Peek(kRam, kProgramCounterLow));
    auto header = [&](uint16_t aWord) { return aChip.Peek(kRam, entry + aWord); };
    if (header(kWordSignature0) != kSignature0 || header(kWordSignature1) != kSignature1 ||
        header(kWordHeaderLength) < kHeaderWords)
        return nullptr;

    std::map<uint16_t, uint32_t> table;
    if (!ReadOwnTable(aChip, header(kWordTableFormat), Join(header(kWordTableHigh), header(kWordTableLow)), table))
        return nullptr;
    for (uint16_t key : {kEntryCommand, kEntryAlive, kEntryParameters, kEntryResults, kEntryBuildId})
        if (table.count(key) == 0) return nullptr;

    PtFirmware::Mailbox mailbox;
    mailbox.command = table[kEntryCommand];
    mailbox.alive = table[kEntryAlive];
    mailbox.parameters = table[kEntryParameters];
    mailbox.results = table[kEntryResults];

    FwBehaviour behaviour;
    switch (header(kWordBehaviour)) {
    case kSilent: behaviour.silent = true; break;
    case kAliveOnly: behaviour.aliveOnly = true; break;
    case kWrongReady: behaviour.readyAnswer = header(kWordBehaviourAnswer); break;
    case kAnswerCode: behaviour.answers[header(kWordBehaviourCommand)] = header(kWordBehaviourAnswer); break;
    default: break;
    }
    behaviour.answerDelay = header(kWordAnswerDelay);
    behaviour.txPerPoll = header(kWordTxPerPoll);
    behaviour.rxPerPoll = header(kWordRxPerPoll);
    ApplyFirmwareOptions(aChip.options().firmware, behaviour);

    std::unique_ptr<PtFirmware> firmware(new PtFirmware(mailbox, static_cast<uint16_t>(table[kEntryBuildId]),
                                                        Join(header(kWordApiHigh), header(kWordApiLow)), behaviour));
    // The firmware starts the crystal at the trim its CS keys hold.
    const uint16_t trim = StoredTrim(aChip);
    firmware->registers().xtalTrim = trim;
    aChip.radio().SetTrim(trim);
    return firmware;
}

PtFirmware* PtFirmwareOf(Chip& aChip)
{
    return dynamic_cast<PtFirmware*>(aChip.firmware());
}

}  // namespace devsim
