#include "steps.h"

#include "plan.h"
#include "provision.h"
#include "sequence.h"

#include "nivoratest.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace station {

namespace {

using Kind = ParamSpec::Kind;

ParamSpec Number(const char* aName, double aMax, double aDefault, const char* aMeaning, double aMin = 0)
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

std::string CarrierCheck(const Step& aStep)
{
    if (!aStep.Given("channel") && !aStep.Given("frequency_mhz"))
        return "step \"carrier\" needs \"channel\" or \"frequency_mhz\"";
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

std::string TxBurstCheck(const Step& aStep)
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
    const std::string port = UartPort(aStep, job.slot, job.binDir);
    const uint32_t baud = aStep.Number("baud");
    const int32_t rc = nvtUartLbTest(aRun.Handle(), port.c_str(), baud);
    // The PC's port not opening, or a rate it does not take, is the
    // fixture's fault; data that does not come back is the DUT's.
    return aRun.Called(aStep, rc, port + " @ " + std::to_string(baud), rc == NVT_ERR_GENERAL || rc == NVT_ERR_INVALID_PARAM);
}

std::string UartCheck(const Step& aStep)
{
    return aStep.Given("port") ? "" : "step \"uart\" needs a \"port\"";
}

constexpr double kU8 = 0xFF, kU16 = 0xFFFF, kU32 = 0xFFFFFFFFu;

}  // namespace

const std::vector<StepRow>& StepRows()
{
    static const std::vector<StepRow> rows = {
        {"cs_read", StepPlace::CsRead, LimitRule::None, {}, nullptr, CsRead,
         "reads the device's CS; a blank device gets the golden image, a corrupt one fails (or with --repair gets it)"},
        {"firmware_load", StepPlace::FirmwareLoad, LimitRule::None,
         {{"cs_keys", Kind::Flag, 0, 1, 0, "copy the CS keys read by cs_read into the firmware's RAM"}}, nullptr,
         FirmwareLoad, "loads the production-test firmware into RAM and starts it"},
        {"xtal_trim", StepPlace::Test, LimitRule::None, {Number("value", kU16, 0, "crystal trim to set")}, nullptr, XtalTrim,
         "sets the crystal trim"},
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

const ParamSpec* FindParam(const StepRow& aRow, const std::string& aName)
{
    for (const ParamSpec& p : aRow.params)
        if (aName == p.name) return &p;
    return nullptr;
}

uint32_t Step::Number(const char* aName) const
{
    auto it = numbers.find(aName);
    return it == numbers.end() ? 0 : static_cast<uint32_t>(it->second);
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
