// The cable between a simulated chip and a port of the simulated RF tester:
// one TCP connection to the tester's SCPI address, newline-terminated text
// lines. The chip opens it with a line no SCPI client sends:
//
//   chip -> tester   @RFLINK 1 PORT <n>                    tester: OK <ports> | ERR <text>
//   chip -> tester   EMIT <seq> OFF                        tester: ACK <seq>
//   chip -> tester   EMIT <seq> CW|BURST <hz> <dbm> <hz>   tester: ACK <seq>
//   tester -> chip   GEN <seq> <channel> <dbm> <count>     chip:   RCVD <seq> <received>
//
// EMIT says what the chip's antenna sends now (carrier frequency in Hz,
// output power in dBm, drift over a burst in Hz); the chip waits for the
// ACK before its firmware answers, so a measurement started after the
// command returned sees the new state. GEN is one run of the tester's
// generator; the chip answers once the packets are counted, so the
// tester's operation completes only after the chip's receive counter holds
// them. Numbers are written and read without the C locale's help.
// Header-only, shared by the chip and the tester.
#ifndef NVT_OUTSIDE_RFLINKWIRE_H
#define NVT_OUTSIDE_RFLINKWIRE_H

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace rflinkwire {

constexpr const char* kHello = "@RFLINK";
constexpr unsigned kVersion = 1;
// Longest line either side accepts; a longer one ends the link.
constexpr size_t kMaxLine = 256;
// Most packets of one generator run.
constexpr uint32_t kMaxGeneratorPackets = 1000000;

// Bluetooth LE RF channels 0-39 at 2402 + 2 * channel MHz.
constexpr unsigned kChannels = 40;
constexpr double ChannelHz(unsigned aChannel)
{
    return (2402.0 + 2.0 * aChannel) * 1e6;
}

enum class Mode { Off, Carrier, Burst };

// What the chip's antenna sends.
struct Emission {
    Mode mode = Mode::Off;
    double frequencyHz = 0;
    double powerDbm = 0;
    double driftHz = 0;  // change of the carrier over a burst
};

// A finite number in the shortest form that reads back to the same value.
inline std::string Number(double aValue)
{
    char buffer[64];
    const auto done = std::to_chars(buffer, buffer + sizeof(buffer), aValue);
    return std::string(buffer, done.ec == std::errc() ? done.ptr : buffer);
}

// The whole text as a finite decimal number (an optional sign, digits, a
// fraction, an exponent); false for anything else, nan and inf included.
inline bool ParseNumber(const std::string& aText, double& aValue)
{
    if (aText.empty()) return false;
    const char* first = aText.data();
    const char* last = first + aText.size();
    if (*first == '+') ++first;  // from_chars takes a minus only
    if (first == last || !((*first >= '0' && *first <= '9') || *first == '.' || *first == '-')) return false;
    if (*first == '-' && (first + 1 == last || !((first[1] >= '0' && first[1] <= '9') || first[1] == '.')))
        return false;
    double value = 0;
    const auto done = std::from_chars(first, last, value, std::chars_format::general);
    if (done.ec != std::errc() || done.ptr != last || !std::isfinite(value)) return false;
    aValue = value;
    return true;
}

// An unsigned whole number of decimal digits, at most aMax.
inline bool ParseCount(const std::string& aText, uint64_t aMax, uint64_t& aValue)
{
    if (aText.empty() || aText.size() > 20) return false;
    uint64_t value = 0;
    for (char c : aText) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (aMax - digit) / 10) return false;
        value = value * 10 + digit;
    }
    aValue = value;
    return true;
}

// The words of a line, split at spaces.
inline std::vector<std::string> Words(const std::string& aLine)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < aLine.size()) {
        const size_t start = aLine.find_first_not_of(' ', at);
        if (start == std::string::npos) break;
        const size_t end = aLine.find(' ', start);
        words.push_back(aLine.substr(start, end == std::string::npos ? std::string::npos : end - start));
        at = end == std::string::npos ? aLine.size() : end;
    }
    return words;
}

inline std::string HelloLine(unsigned aPort)
{
    return std::string(kHello) + " " + std::to_string(kVersion) + " PORT " + std::to_string(aPort) + "\n";
}

// The port of a hello line; false when the line is not one.
inline bool ParseHello(const std::vector<std::string>& aWords, unsigned& aPort)
{
    uint64_t version = 0, port = 0;
    if (aWords.size() != 4 || aWords[0] != kHello || aWords[2] != "PORT") return false;
    if (!ParseCount(aWords[1], 0xFFFF, version) || version != kVersion) return false;
    if (!ParseCount(aWords[3], 0xFFFF, port)) return false;
    aPort = static_cast<unsigned>(port);
    return true;
}

inline std::string EmitLine(uint64_t aSeq, const Emission& aEmission)
{
    std::string line = "EMIT " + std::to_string(aSeq);
    if (aEmission.mode == Mode::Off) return line + " OFF\n";
    line += aEmission.mode == Mode::Carrier ? " CW " : " BURST ";
    return line + Number(aEmission.frequencyHz) + " " + Number(aEmission.powerDbm) + " " + Number(aEmission.driftHz) +
           "\n";
}

inline bool ParseEmit(const std::vector<std::string>& aWords, uint64_t& aSeq, Emission& aEmission)
{
    if (aWords.size() < 3 || aWords[0] != "EMIT" || !ParseCount(aWords[1], UINT64_MAX, aSeq)) return false;
    Emission e;
    if (aWords[2] == "OFF" && aWords.size() == 3) {
        aEmission = e;
        return true;
    }
    if (aWords.size() != 6) return false;
    if (aWords[2] == "CW") e.mode = Mode::Carrier;
    else if (aWords[2] == "BURST") e.mode = Mode::Burst;
    else return false;
    if (!ParseNumber(aWords[3], e.frequencyHz) || !ParseNumber(aWords[4], e.powerDbm) ||
        !ParseNumber(aWords[5], e.driftHz))
        return false;
    aEmission = e;
    return true;
}

struct GeneratorRun {
    uint64_t seq = 0;
    unsigned channel = 0;
    double levelDbm = 0;
    uint32_t count = 0;
};

inline std::string GenLine(const GeneratorRun& aRun)
{
    return "GEN " + std::to_string(aRun.seq) + " " + std::to_string(aRun.channel) + " " + Number(aRun.levelDbm) + " " +
           std::to_string(aRun.count) + "\n";
}

inline bool ParseGen(const std::vector<std::string>& aWords, GeneratorRun& aRun)
{
    uint64_t seq = 0, channel = 0, count = 0;
    double level = 0;
    if (aWords.size() != 5 || aWords[0] != "GEN" || !ParseCount(aWords[1], UINT64_MAX, seq) ||
        !ParseCount(aWords[2], kChannels - 1, channel) || !ParseNumber(aWords[3], level) ||
        !ParseCount(aWords[4], kMaxGeneratorPackets, count))
        return false;
    aRun.seq = seq;
    aRun.channel = static_cast<unsigned>(channel);
    aRun.levelDbm = level;
    aRun.count = static_cast<uint32_t>(count);
    return true;
}

inline std::string AckLine(uint64_t aSeq)
{
    return "ACK " + std::to_string(aSeq) + "\n";
}
inline std::string ReceivedLine(uint64_t aSeq, uint64_t aReceived)
{
    return "RCVD " + std::to_string(aSeq) + " " + std::to_string(aReceived) + "\n";
}

// "ACK <seq>" or "RCVD <seq> <n>"; aReceived is left alone for an ACK.
inline bool ParseReply(const std::vector<std::string>& aWords, const char* aKind, uint64_t& aSeq, uint64_t& aReceived)
{
    const bool ack = std::string(aKind) == "ACK";
    if (aWords.size() != (ack ? 2u : 3u) || aWords[0] != aKind || !ParseCount(aWords[1], UINT64_MAX, aSeq))
        return false;
    return ack || ParseCount(aWords[2], UINT64_MAX, aReceived);
}

}  // namespace rflinkwire

#endif
