#include "sequence.h"

#include "instruments/tester.h"
#include "provision.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

bool Within(double aValue, const std::optional<Limit>& aLimit)
{
    if (!aLimit) return true;
    if (aLimit->low && aValue < *aLimit->low) return false;
    if (aLimit->high && aValue > *aLimit->high) return false;
    return true;
}

std::string LimitText(const Limit& aLimit)
{
    char text[96];
    if (aLimit.low && aLimit.high)
        std::snprintf(text, sizeof text, "outside %g to %g %s", *aLimit.low, *aLimit.high, aLimit.unit.c_str());
    else if (aLimit.low)
        std::snprintf(text, sizeof text, "below %g %s", *aLimit.low, aLimit.unit.c_str());
    else
        std::snprintf(text, sizeof text, "above %g %s", aLimit.high ? *aLimit.high : 0.0, aLimit.unit.c_str());
    return text;
}

const char kStoppedText[] = "stopped by the operator";

// One DUT's run: the handle, the address life cycle and the record.
class Sequence : public DutRun {
public:
    Sequence(const DutJob& aJob, Record& aRecord) : mJob(aJob), mRecord(aRecord), mProvision(aJob, aRecord) {}

    ~Sequence() override
    {
        mProvision.End();
        if (mHandle != nullptr) nvtClose(mHandle);
    }

    NvtHandle Handle() const override { return mHandle; }
    const DutJob& Job() const override { return mJob; }
    Provisioning& Provision() override { return mProvision; }
    bool StopRequested() const override { return mJob.abort != nullptr && *mJob.abort != 0; }

    Tester* RfTester(std::string& aError) override
    {
        if (mTester) return mTester.get();
        if (!mJob.tester || mJob.rfPort == 0) {
            aError = "the fixture gives slot " + std::to_string(mJob.slot) + " no RF tester port";
            return nullptr;
        }
        if (!mTesterError.empty()) {
            aError = mTesterError;  // once refused, refused for the whole run
            return nullptr;
        }
        auto tester = std::make_unique<Tester>();
        if (!tester->Open(*mJob.tester, mJob.rfPort, mTesterError)) {
            aError = mTesterError;
            return nullptr;
        }
        mTester = std::move(tester);
        return mTester.get();
    }

    void Run()
    {
        const Plan& plan = *mJob.plan;
        const auto t0 = Clock::now();
        Note("open");
        const int32_t rc = nvtOpen(mJob.transport.c_str(), plan.keyDatabase.c_str(), &mHandle);
        if (rc < 0) {
            Finish({"open", "", "", {}, {}, Outcome::Error, 0, rc, LastError(), {}}, t0);
            return;
        }
        uint16_t chip = 0;
        const int32_t idRc = nvtGetChipId(mHandle, &chip);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(chip));
        Finish({"open", idRc >= 0 ? hex : "", "", {}, {}, idRc >= 0 ? Outcome::Pass : Outcome::Fail, 0, idRc,
                idRc >= 0 ? "" : LastError(), {}},
               t0);
        if (idRc < 0) return;
        uint16_t build = 0;
        if (nvtGetPtFwBuildId(mHandle, plan.firmware.c_str(), &build) >= 0) mRecord.firmwareBuildId = build;

        for (const Step& step : plan.steps) {
            if (StopRequested()) {
                Finish(Stopped(step), Clock::now());
                return;
            }
            Note(step.name);
            const auto start = Clock::now();
            StepRecord s = step.row->run(*this, step);
            s.name = step.name;
            if (!Finish(s, start)) return;
        }
        mRecord.outcome = Outcome::Pass;
        mRecord.text.clear();
    }

private:
    void Note(const std::string& aStep)
    {
        if (mJob.onStep) mJob.onStep(aStep);
    }

    // Stores the step; false (the sequence stops) unless it passed. The
    // DUT then ends with the step's outcome and text; a stop by the
    // operator is recorded as the step it came before, taking no time.
    bool Finish(StepRecord aStep, Clock::time_point aStart)
    {
        if (aStep.outcome == Outcome::Abort) {
            aStep.ms = 0;
            mRecord.steps.push_back(aStep);
            mRecord.outcome = Outcome::Abort;
            mRecord.text = aStep.text;
            return false;
        }
        aStep.ms = std::chrono::duration<double, std::milli>(Clock::now() - aStart).count();
        mRecord.steps.push_back(aStep);
        if (aStep.outcome == Outcome::Pass) return true;
        mRecord.outcome = aStep.outcome;
        mRecord.text = aStep.name + ": " + aStep.text;
        return false;
    }

    const DutJob& mJob;
    Record& mRecord;
    Provisioning mProvision;
    NvtHandle mHandle = nullptr;
    std::unique_ptr<Tester> mTester;
    std::string mTesterError;
};

std::string Number(double aValue)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", aValue);
    return text;
}

// "low to high unit", "at least low unit", "at most high unit".
std::string Bounds(const std::optional<double>& aLow, const std::optional<double>& aHigh, const std::string& aUnit)
{
    const std::string unit = aUnit.empty() ? "" : " " + aUnit;
    if (aLow && aHigh) return Number(*aLow) + " to " + Number(*aHigh) + unit;
    if (aLow) return "at least " + Number(*aLow) + unit;
    if (aHigh) return "at most " + Number(*aHigh) + unit;
    return "";
}

}  // namespace

std::string DutRun::LastError() const
{
    return Handle() != nullptr ? nvtGetLastError(Handle()) : "";
}

StepRecord DutRun::Called(const Step& aStep, int32_t aRc, const std::string& aValue, bool aStationFault) const
{
    StepRecord s;
    s.name = aStep.name;
    s.value = aValue;
    s.code = aRc;
    s.outcome = aRc >= 0 ? Outcome::Pass : aStationFault ? Outcome::Error : Outcome::Fail;
    if (aRc < 0) s.text = LastError();
    return s;
}

StepRecord DutRun::Measured(const Step& aStep, double aValue, const std::string& aValueText) const
{
    StepRecord s;
    s.name = aStep.name;
    s.value = aValueText;
    if (aStep.limit) {
        s.unit = aStep.limit->unit;
        s.low = aStep.limit->low;
        s.high = aStep.limit->high;
    }
    s.outcome = Within(aValue, aStep.limit) ? Outcome::Pass : Outcome::Fail;
    if (s.outcome == Outcome::Fail) s.text = aValueText + " is " + LimitText(*aStep.limit);
    // The value as a number too, for reports.
    Measurement m;
    m.name = aStep.name;
    m.value = aValue;
    m.unit = s.unit;
    m.low = s.low;
    m.high = s.high;
    m.outcome = s.outcome;
    s.measurements.push_back(m);
    Report(aValueText + (s.unit.empty() ? "" : " " + s.unit) +
           (aStep.limit ? " [" + Bounds(aStep.limit->low, aStep.limit->high, aStep.limit->unit) + "]" : ""));
    return s;
}

void DutRun::Report(const std::string& aText) const
{
    if (Job().onValue) Job().onValue(aText);
}

StepRecord DutRun::Measured(const Step& aStep, const std::vector<std::pair<std::string, double>>& aValues) const
{
    StepRecord s;
    s.name = aStep.name;
    s.outcome = Outcome::Pass;
    std::string shown;
    for (const auto& [name, value] : aValues) {
        Measurement m;
        m.name = name;
        m.value = value;
        if (const MeasureDef* measure = FindMeasure(*aStep.row, name)) m.unit = measure->unit;
        auto limit = aStep.limits.find(name);
        if (limit != aStep.limits.end()) {
            m.low = limit->second.low;
            m.high = limit->second.high;
            m.marginalLow = limit->second.marginalLow;
            m.marginalHigh = limit->second.marginalHigh;
        }
        const bool inside = std::isfinite(value) && (!m.low || value >= *m.low) && (!m.high || value <= *m.high);
        m.outcome = inside ? Outcome::Pass : Outcome::Fail;
        m.marginal = inside && ((m.marginalLow && value < *m.marginalLow) || (m.marginalHigh && value > *m.marginalHigh));
        const std::string unit = m.unit.empty() ? "" : " " + m.unit;
        const std::string text = name + " " + Number(value) + unit;
        s.value += (s.value.empty() ? "" : ", ") + text;
        const std::string bounds = Bounds(m.low, m.high, m.unit);
        shown += (shown.empty() ? "" : ", ") + text + (bounds.empty() ? "" : " [" + bounds + "]") + (m.marginal ? " marginal" : "");
        if (!inside && s.outcome == Outcome::Pass) {
            s.outcome = Outcome::Fail;
            s.text = text + " is outside " + bounds;
        }
        s.measurements.push_back(m);
    }
    Report(shown);
    return s;
}

StepRecord DutRun::StationFault(const Step& aStep, const std::string& aText)
{
    StepRecord s;
    s.name = aStep.name;
    s.outcome = Outcome::Error;
    s.text = aText;
    return s;
}

StepRecord DutRun::Stopped(const Step& aStep)
{
    StepRecord s;
    s.name = aStep.name;
    s.outcome = Outcome::Abort;
    s.text = kStoppedText;
    return s;
}

Record RunDut(const DutJob& aJob, Record aBase)
{
    Record record = std::move(aBase);
    record.slot = aJob.slot;
    record.transport = aJob.transport;
    record.serial = aJob.serial;
    record.started = UtcNow();
    {
        Sequence sequence(aJob, record);
        sequence.Run();
    }
    record.ended = UtcNow();
    return record;
}

}  // namespace station
