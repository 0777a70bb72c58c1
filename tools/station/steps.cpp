#include "steps.h"

#include "instruments/tester.h"
#include "keydb.h"
#include "plan.h"
#include "provision.h"
#include "sequence.h"

#include "nivoratest.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <cstdio>
#include <thread>

namespace station {

namespace {

using Kind = ParamDef::Kind;

// The chip's crystal trim runs from 0 to 63.
constexpr uint32_t kMaxTrim = 63;

ParamDef Number(const char* aName, double aMax, double aDefault, const char* aMeaning, double aMin = 0)
{
    return {aName, Kind::Number, aMin, aMax, aDefault, aMeaning};
}

std::string Hex(uint32_t aValue, int aDigits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", aDigits, static_cast<unsigned>(aValue));
    return text;
}

// --- The CS steps: the address life cycle does the work.

StepRecord CsRead(DutRun& aRun, const Step&)
{
    return aRun.Provision().ReadDevice(aRun.Handle());
}

StepRecord CsWrite(DutRun& aRun, const Step&)
{
    return aRun.Provision().Write(aRun.Handle());
}

StepRecord ReadBack(DutRun& aRun, const Step&)
{
    return aRun.Provision().ReadBack(aRun.Handle());
}

// --- Firmware and tests.

StepRecord FirmwareLoad(DutRun& aRun, const Step& aStep)
{
    const bool keys = aStep.Flag("cs_keys");
    const int32_t rc = nvtLoadPtFirmware(aRun.Handle(), aRun.Job().plan->firmware.c_str(), keys ? 1 : 0);
    // A firmware file the library cannot use is the station's fault.
    return aRun.Called(aStep, rc, keys ? "with CS keys" : "without CS keys", rc == NVT_ERR_FW_FILE);
}

StepRecord XtalTrim(DutRun& aRun, const Step& aStep)
{
    const uint32_t value = aStep.Number("value");
    return aRun.Called(aStep, nvtRadSetXtalTrim(aRun.Handle(), static_cast<uint16_t>(value)), std::to_string(value));
}

StepRecord Carrier(DutRun& aRun, const Step& aStep)
{
    const uint32_t channel = aStep.Number("channel");
    const uint32_t mhz = aStep.Number("frequency_mhz");
    int32_t rc = nvtRadCwStart(aRun.Handle(), static_cast<uint8_t>(channel), static_cast<uint16_t>(mhz));
    if (rc >= 0) rc = nvtRadStop(aRun.Handle());
    return aRun.Called(aStep, rc, "channel " + std::to_string(channel) + ", " + std::to_string(mhz) + " MHz");
}

std::string CarrierCheck(const Step& aStep, const PlanContext&)
{
    if (!aStep.Given("channel") && !aStep.Given("frequency_mhz"))
        return "step \"carrier\" needs \"channel\" or \"frequency_mhz\"";
    // An LE channel ch is 2402 + 2 ch MHz: a plan that gives both must agree.
    const uint32_t channel = aStep.Number("channel"), mhz = aStep.Number("frequency_mhz");
    if (aStep.Given("channel") && aStep.Given("frequency_mhz") && mhz != 0 && mhz != 2402 + 2 * channel)
        return "step \"" + aStep.name + "\": channel " + std::to_string(channel) + " is " + std::to_string(2402 + 2 * channel) +
               " MHz, not " + std::to_string(mhz) + " MHz";
    return "";
}

// Starts a burst and polls the firmware's packet counter until it reads 0,
// at most as many times as the limit's high bound.
StepRecord TxBurst(DutRun& aRun, const Step& aStep)
{
    const NvtHandle h = aRun.Handle();
    const uint32_t packets = aStep.Number("packets");
    int32_t rc = nvtRadTxStart(h, static_cast<uint8_t>(aStep.Number("channel")), static_cast<uint8_t>(aStep.Number("length")),
                               static_cast<uint8_t>(aStep.Number("payload")), static_cast<uint16_t>(packets));
    if (rc < 0) return aRun.Called(aStep, rc, "");
    const uint32_t maxPolls = static_cast<uint32_t>(std::floor(*aStep.limit->high));
    const uint32_t pollMs = aStep.Number("poll_ms");
    uint16_t left = static_cast<uint16_t>(packets);
    uint32_t polls = 0;
    while (left != 0 && polls < maxPolls) {
        if (polls > 0) {
            if (aRun.StopRequested()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
        }
        rc = nvtRadTxGetPkts(h, &left);
        ++polls;
        if (rc < 0) return aRun.Called(aStep, rc, std::to_string(polls) + " polls");
    }
    if (left != 0) {
        // The burst goes on in the chip; stop it so the handle is usable.
        nvtRadStop(h);
        if (aRun.StopRequested()) return DutRun::Stopped(aStep);
        StepRecord s;
        s.name = aStep.name;
        s.value = std::to_string(polls);
        s.unit = aStep.limit->unit;
        s.high = aStep.limit->high;
        s.outcome = Outcome::Fail;
        s.text = "the counter still read " + std::to_string(left) + " after " + std::to_string(polls) + " polls";
        return s;
    }
    return aRun.Measured(aStep, polls, std::to_string(polls));
}

std::string TxBurstCheck(const Step& aStep, const PlanContext&)
{
    // The burst is polled up to the high limit: a count.
    if (*aStep.limit->high < 0 || *aStep.limit->high > 4294967295.0)
        return "the limit of step \"" + aStep.name + "\" needs \"high\" from 0 to 4294967295";
    return "";
}

StepRecord RxCount(DutRun& aRun, const Step& aStep)
{
    const NvtHandle h = aRun.Handle();
    int32_t rc = nvtRadRxStart(h, static_cast<uint8_t>(aStep.Number("channel")));
    uint16_t packets = 0;
    const uint32_t reads = aStep.Number("reads");
    for (uint32_t i = 0; rc >= 0 && i < reads; ++i) rc = nvtRadRxGetPkts(h, &packets);
    if (rc < 0) return aRun.Called(aStep, rc, "");
    rc = nvtRadStop(h);
    if (rc < 0) return aRun.Called(aStep, rc, std::to_string(packets));
    return aRun.Measured(aStep, packets, std::to_string(packets));
}

StepRecord Pio(DutRun& aRun, const Step& aStep)
{
    const NvtHandle h = aRun.Handle();
    const uint32_t mask = aStep.Number("mask");
    const uint32_t levels = aStep.Number("levels") & mask;
    int32_t rc = nvtPioAssign(h, mask, mask);
    if (rc >= 0) rc = nvtPioSet(h, levels, 0);
    uint32_t a = 0, b = 0;
    if (rc >= 0) rc = nvtPioGet(h, &a, &b);
    if (rc < 0) return aRun.Called(aStep, rc, "");
    StepRecord s;
    s.name = aStep.name;
    s.value = Hex(a & mask, 8);
    s.outcome = (a & mask) == levels ? Outcome::Pass : Outcome::Fail;
    if (s.outcome == Outcome::Fail)
        s.text = "read back " + s.value + " under mask " + Hex(mask, 8) + ", expected " + Hex(levels, 8);
    return s;
}

StepRecord Aio(DutRun& aRun, const Step& aStep)
{
    const NvtHandle h = aRun.Handle();
    const auto channel = static_cast<uint8_t>(aStep.Number("channel"));
    int32_t rc = nvtAioSet(h, channel, static_cast<uint16_t>(aStep.Number("value")));
    uint16_t value = 0;
    if (rc >= 0) rc = nvtAioGet(h, channel, &value);
    if (rc < 0) return aRun.Called(aStep, rc, "");
    return aRun.Measured(aStep, value, std::to_string(value));
}

StepRecord Led(DutRun& aRun, const Step& aStep)
{
    const uint32_t led = aStep.Number("led");
    const uint32_t mode = aStep.Number("mode");
    return aRun.Called(aStep,
                       nvtLedSet(aRun.Handle(), led, static_cast<uint8_t>(mode), static_cast<uint16_t>(aStep.Number("value")),
                                 static_cast<uint8_t>(aStep.Number("brightness"))),
                       "led " + std::to_string(led) + ", mode " + std::to_string(mode));
}

StepRecord Uart(DutRun& aRun, const Step& aStep)
{
    const DutJob& job = aRun.Job();
    // The fixture's port for this slot, else the plan's.
    const std::string port = !job.uart.empty() ? job.uart : UartPort(aStep, job.slot, job.binDir);
    if (port.empty()) return DutRun::StationFault(aStep, "neither the fixture nor the plan names slot " + std::to_string(job.slot) + "'s UART port");
    const uint32_t baud = aStep.Number("baud");
    const int32_t rc = nvtUartLbTest(aRun.Handle(), port.c_str(), baud);
    // The PC's port not opening, or a rate it does not take, is the
    // fixture's fault; data that does not come back is the DUT's.
    return aRun.Called(aStep, rc, port + " @ " + std::to_string(baud), rc == NVT_ERR_GENERAL || rc == NVT_ERR_INVALID_PARAM);
}

std::string UartCheck(const Step&, const PlanContext&)
{
    // The port comes from the plan or from the fixture's slot (checked when
    // the run starts).
    return "";
}

// The trim values the key database allows for CRYSTAL_TRIM, within the 0-63
// the chip takes; false with a text when the plan's CS version has no such key.
bool TrimRange(const PlanContext& aPlan, uint32_t& aMin, uint32_t& aMax, std::string& aError)
{
    const KeyInfo* trim = aPlan.keys.Find(aPlan.csVersion, "CRYSTAL_TRIM");
    if (trim == nullptr || trim->length != 1) {
        aError = "the key database has no CRYSTAL_TRIM of one word in CS version " + std::to_string(aPlan.csVersion);
        return false;
    }
    aMin = trim->min;
    aMax = std::min<uint32_t>(trim->max, kMaxTrim);
    if (aMin > aMax) {
        aError = "CRYSTAL_TRIM of CS version " + std::to_string(aPlan.csVersion) + " allows no trim from 0 to 63";
        return false;
    }
    return true;
}

std::string XtalTrimCheck(const Step& aStep, const PlanContext& aPlan)
{
    const KeyInfo* trim = aPlan.keys.Find(aPlan.csVersion, "CRYSTAL_TRIM");
    const uint32_t value = aStep.Number("value");
    if (trim != nullptr && (value < trim->min || value > trim->max))
        return "step \"" + aStep.name + "\": trim " + std::to_string(value) + " is outside CRYSTAL_TRIM's " +
               std::to_string(trim->min) + " to " + std::to_string(trim->max) + " (CS version " + std::to_string(aPlan.csVersion) + ")";
    return "";
}

std::string XtalCalCheck(const Step&, const PlanContext& aPlan)
{
    uint32_t min = 0, max = 0;
    std::string error;
    return TrimRange(aPlan, min, max, error) ? "" : error;
}

// --- RF steps: measured through the bench's RF tester.

// Stops whatever the radio does, so the DUT is left usable.
void StopRadio(DutRun& aRun)
{
    nvtRadStop(aRun.Handle());
}

// Finds the trim that brings the carrier closest to the channel's centre.
// The offset falls as the trim rises (more load, lower frequency), steeply
// at low trims and gently at high ones, so the search interpolates between
// the two nearest trims on either side of zero (a secant step), and halves
// the bracket when interpolation gains too little; it ends when the two
// neighbours around zero are both measured, and takes the nearer.
StepRecord XtalCal(DutRun& aRun, const Step& aStep)
{
    std::string error;
    Tester* tester = aRun.RfTester(error);
    if (tester == nullptr) return DutRun::StationFault(aStep, error);
    const NvtHandle h = aRun.Handle();
    const int channel = static_cast<int>(aStep.Number("channel"));
    const Plan& plan = *aRun.Job().plan;
    const uint32_t lo = std::max<uint32_t>(plan.trimKey->min, 0), hi = std::min<uint32_t>(plan.trimKey->max, kMaxTrim);
    int32_t rc = nvtRadCwStart(h, static_cast<uint8_t>(channel), 0);
    if (rc < 0) return aRun.Called(aStep, rc, "");
    std::map<uint32_t, double> offsets;  // trim -> Hz
    int count = 0;
    double before = 0;
    auto fault = [&](const std::string& aText) {
        StopRadio(aRun);
        return DutRun::StationFault(aStep, aText);
    };
    // The offset at the trim the chip starts with (from its CS).
    if (!tester->Offset(channel, before, error)) return fault(error);
    ++count;
    auto measure = [&](uint32_t aTrim) {
        rc = nvtRadSetXtalTrim(h, static_cast<uint16_t>(aTrim));
        if (rc < 0) return false;
        double hz = 0;
        if (!tester->Offset(channel, hz, error)) return false;
        ++count;
        offsets[aTrim] = hz;
        return true;
    };
    // Above: the highest trim known to be above zero; below: the lowest known below.
    std::optional<uint32_t> above, below;
    auto note = [&](uint32_t aTrim) {
        const double f = offsets[aTrim];
        if (f >= 0 && (!above || aTrim > *above)) above = aTrim;
        if (f <= 0 && (!below || aTrim < *below)) below = aTrim;
    };
    uint32_t next = std::clamp<uint32_t>((lo + hi + 1) / 2, lo, hi);
    uint32_t previous = next;
    for (uint32_t round = 0; round <= kMaxTrim; ++round) {
        if (!measure(next)) {
            if (rc < 0) {
                StopRadio(aRun);
                return aRun.Called(aStep, rc, "");
            }
            return fault(error);
        }
        note(next);
        if (offsets[next] == 0) break;
        if (above && below && *below <= *above + 1) break;        // the neighbours around zero are known
        if (above && *above == hi && !below) break;               // still above zero at the highest trim
        if (below && *below == lo && !above) break;               // still below zero at the lowest trim
        // Interpolate between the nearest points on either side (or
        // extrapolate from the last two when zero is not bracketed yet).
        uint32_t a = previous, b = next;
        if (above && below) a = *above, b = *below;
        const double fa = offsets[a], fb = offsets[b];
        double guess;
        if (a != b && fa != fb) guess = b - fb * (static_cast<double>(b) - a) / (fb - fa);
        else guess = fb > 0 ? b + 8.0 : b - 8.0;  // the first step: towards zero
        const double low = above ? *above + 1.0 : lo, high = below ? *below - 1.0 : hi;
        uint32_t candidate = static_cast<uint32_t>(std::lround(std::clamp(guess, low, high)));
        // Interpolation that would not shrink the bracket by half twice in
        // a row gives way to halving it.
        if (above && below && round >= 4 && (*below - *above) > 4) candidate = (*above + *below) / 2;
        if (offsets.count(candidate) != 0) {
            // Known already: look at the untried neighbour towards zero.
            candidate = offsets[candidate] > 0 ? candidate + 1 : candidate - 1;
            if (candidate < lo || candidate > hi || offsets.count(candidate) != 0) break;
        }
        previous = next;
        next = candidate;
    }
    // The measured trim nearest to zero.
    uint32_t best = offsets.begin()->first;
    for (const auto& [trim, hz] : offsets)
        if (std::fabs(hz) < std::fabs(offsets[best])) best = trim;
    rc = nvtRadSetXtalTrim(h, static_cast<uint16_t>(best));
    const int32_t stop = nvtRadStop(h);
    if (rc < 0 || stop < 0) return aRun.Called(aStep, rc < 0 ? rc : stop, "");
    // The CS write stores the trim found.
    aRun.Provision().SetKey(plan.trimKey->name, plan.trimKey->offset, {static_cast<uint16_t>(best)});
    return aRun.Measured(aStep, {{"trim", best}, {"offset_before", before / 1000.0}, {"offset", offsets[best] / 1000.0},
                                 {"count", count}});
}

// A burst on the step's channel, measured while it is on air.
StepRecord Burst(DutRun& aRun, const Step& aStep, bool aFrequency)
{
    std::string error;
    Tester* tester = aRun.RfTester(error);
    if (tester == nullptr) return DutRun::StationFault(aStep, error);
    const NvtHandle h = aRun.Handle();
    const int channel = static_cast<int>(aStep.Number("channel"));
    const int32_t rc = nvtRadTxStart(h, static_cast<uint8_t>(channel), static_cast<uint8_t>(aStep.Number("length")),
                                     static_cast<uint8_t>(aStep.Number("payload")), static_cast<uint16_t>(aStep.Number("packets")));
    if (rc < 0) return aRun.Called(aStep, rc, "");
    double a = 0, b = 0;
    const bool ok = aFrequency ? tester->Offset(channel, a, error) && tester->Drift(channel, b, error)
                               : tester->Power(channel, a, error);
    const int32_t stop = nvtRadStop(h);
    if (!ok) return DutRun::StationFault(aStep, error);
    if (stop < 0) return aRun.Called(aStep, stop, "");
    if (aFrequency) return aRun.Measured(aStep, {{"offset", a / 1000.0}, {"drift", b / 1000.0}});
    return aRun.Measured(aStep, {{"power", a}});
}

StepRecord TxPower(DutRun& aRun, const Step& aStep)
{
    return Burst(aRun, aStep, false);
}

StepRecord TxFreq(DutRun& aRun, const Step& aStep)
{
    return Burst(aRun, aStep, true);
}

// The tester's generator sends packets at a level; the DUT counts them.
StepRecord RxPer(DutRun& aRun, const Step& aStep)
{
    std::string error;
    Tester* tester = aRun.RfTester(error);
    if (tester == nullptr) return DutRun::StationFault(aStep, error);
    const NvtHandle h = aRun.Handle();
    const int channel = static_cast<int>(aStep.Number("channel"));
    const uint32_t sent = aStep.Number("packets");
    int32_t rc = nvtRadRxStart(h, static_cast<uint8_t>(channel));
    if (rc < 0) return aRun.Called(aStep, rc, "");
    if (!tester->Generate(channel, aStep.Real("level"), sent, error)) {
        StopRadio(aRun);
        return DutRun::StationFault(aStep, error);
    }
    uint16_t received = 0;
    rc = nvtRadRxGetPkts(h, &received);
    const int32_t stop = nvtRadStop(h);
    if (rc < 0 || stop < 0) return aRun.Called(aStep, rc < 0 ? rc : stop, "");
    const double per = 100.0 * (1.0 - static_cast<double>(std::min<uint32_t>(received, sent)) / sent);
    return aRun.Measured(aStep, {{"per", per}, {"received", received}});
}

constexpr double kU8 = 0xFF, kU16 = 0xFFFF, kU32 = 0xFFFFFFFFu;
constexpr double kChannels = 39;  // LE channels 0 to 39

}  // namespace

const std::vector<StepRow>& StepRows()
{
    static const std::vector<StepRow> rows = {
        {"cs_read", StepPlace::CsRead, LimitRule::None, {}, nullptr, CsRead,
         "reads the device's CS; a blank device gets the golden image, a corrupt one fails (or with --repair gets it)"},
        {"firmware_load", StepPlace::FirmwareLoad, LimitRule::None,
         {{"cs_keys", Kind::Flag, 0, 1, 0, "copy the CS keys read by cs_read into the firmware's RAM"}}, nullptr,
         FirmwareLoad, "loads the production-test firmware into RAM and starts it"},
        {"xtal_trim", StepPlace::Test, LimitRule::None, {Number("value", kU16, 0, "crystal trim to set")}, XtalTrimCheck,
         XtalTrim, "sets the crystal trim"},
        {"carrier", StepPlace::Test, LimitRule::None,
         {Number("channel", kU8, 0, "channel"), Number("frequency_mhz", kU16, 0, "frequency in MHz")}, CarrierCheck, Carrier,
         "starts and stops a carrier"},
        {"tx_burst", StepPlace::Test, LimitRule::High,
         {Number("channel", kU8, 0, "channel"), Number("length", kU8, 37, "packet length"),
          Number("payload", kU8, 0, "payload type"), Number("packets", kU16, 100, "packets to send"),
          Number("poll_ms", 1000, 10, "time between counter reads")},
         TxBurstCheck, TxBurst, "sends a burst and polls the packet counter until it reads 0 (the limit: most polls)"},
        {"rx_count", StepPlace::Test, LimitRule::Low,
         {Number("channel", kU8, 0, "channel"), Number("reads", 1000, 1, "counter reads; the last counts", 1)}, nullptr,
         RxCount, "receives and reads the packet counter (the limit: fewest packets)"},
        {"pio", StepPlace::Test, LimitRule::None,
         {Number("mask", kU32, 0, "pins to drive"), Number("levels", kU32, 0, "levels to set and read back")}, nullptr, Pio,
         "drives pins and reads them back"},
        {"aio", StepPlace::Test, LimitRule::Both,
         {Number("channel", kU8, 0, "channel"), Number("value", kU16, 0, "value to set")}, nullptr, Aio,
         "sets an analogue output and reads the input (the limit: low and high)"},
        {"led", StepPlace::Test, LimitRule::None,
         {Number("led", kU32, 0, "LED"), Number("mode", 3, 0, "mode"), Number("value", kU16, 0, "value"),
          Number("brightness", 100, 0, "brightness in percent")},
         nullptr, Led, "sets an LED"},
        {"uart", StepPlace::Test, LimitRule::None,
         {{"port", Kind::PortName, 0, 0, 0, "PC serial port; {slot} is the slot number, {bin} the program's folder"},
          Number("baud", kU32, 115200, "line rate")},
         UartCheck, Uart, "loops data through the chip's UART and a PC serial port"},
        {"xtal_cal", StepPlace::Calibration, LimitRule::None, {Number("channel", kChannels, 19, "LE channel of the carrier")},
         XtalCalCheck, XtalCal,
         "finds the crystal trim that brings the carrier nearest the channel's centre (measured by the tester); cs_write stores it",
         {{"trim", "", LimitRule::None, "the trim found"},
          {"offset_before", "kHz", LimitRule::None, "carrier offset at the trim the chip started with"},
          {"offset", "kHz", LimitRule::Both, "carrier offset at the trim found"},
          {"count", "", LimitRule::None, "frequency measurements used"}},
         true},
        {"tx_power", StepPlace::Test, LimitRule::None,
         {Number("channel", kChannels, 19, "LE channel"), Number("length", kU8, 37, "packet length"),
          Number("payload", kU8, 0, "payload type"), Number("packets", kU16, 100, "packets in the burst", 1)},
         nullptr, TxPower, "output power of a burst, measured by the tester",
         {{"power", "dBm", LimitRule::Both, "output power"}}, true},
        {"tx_freq", StepPlace::Test, LimitRule::None,
         {Number("channel", kChannels, 19, "LE channel"), Number("length", kU8, 37, "packet length"),
          Number("payload", kU8, 0, "payload type"), Number("packets", kU16, 100, "packets in the burst", 1)},
         nullptr, TxFreq, "carrier frequency offset and drift of a burst, measured by the tester",
         {{"offset", "kHz", LimitRule::Both, "carrier offset from the channel's centre"},
          {"drift", "kHz", LimitRule::Both, "drift over the burst"}},
         true},
        {"rx_per", StepPlace::Test, LimitRule::None,
         {Number("channel", kChannels, 19, "LE channel"), {"level", Kind::Real, -120, 0, -70, "generator level, dBm"},
          Number("packets", kU16, 1500, "packets the generator sends", 1)},
         nullptr, RxPer, "packet error rate of the receiver: the tester sends packets at a level, the DUT counts them",
         {{"per", "%", LimitRule::High, "packets lost, percent"}, {"received", "", LimitRule::None, "packets counted"}}, true},
        {"cs_write", StepPlace::CsWrite, LimitRule::None, {}, nullptr, CsWrite,
         "takes the DUT's address and writes it with the plan's keys"},
        {"read_back", StepPlace::ReadBack, LimitRule::None, {}, nullptr, ReadBack,
         "reads the written keys back and commits the address"},
    };
    return rows;
}

const StepRow* FindStepRow(const std::string& aName)
{
    for (const StepRow& row : StepRows())
        if (aName == row.name) return &row;
    return nullptr;
}

const MeasureDef* FindMeasure(const StepRow& aRow, const std::string& aName)
{
    for (const MeasureDef& m : aRow.measures)
        if (aName == m.name) return &m;
    return nullptr;
}

const ParamDef* FindParam(const StepRow& aRow, const std::string& aName)
{
    for (const ParamDef& p : aRow.params)
        if (aName == p.name) return &p;
    return nullptr;
}

uint32_t Step::Number(const char* aName) const
{
    auto it = numbers.find(aName);
    return it == numbers.end() ? 0 : static_cast<uint32_t>(it->second);
}

double Step::Real(const char* aName) const
{
    auto it = numbers.find(aName);
    return it == numbers.end() ? 0 : it->second;
}

bool Step::Flag(const char* aName) const
{
    auto it = numbers.find(aName);
    return it != numbers.end() && it->second != 0;
}

const std::string& Step::Text(const char* aName) const
{
    static const std::string kNone;
    auto it = texts.find(aName);
    return it == texts.end() ? kNone : it->second;
}

}  // namespace station
