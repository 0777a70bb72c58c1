#include "sequence.h"

#include "provision.h"

#include <chrono>
#include <cstdio>

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

    void Run()
    {
        const Plan& plan = *mJob.plan;
        const auto t0 = Clock::now();
        Note("open");
        const int32_t rc = nvtOpen(mJob.transport.c_str(), plan.keyDatabase.c_str(), &mHandle);
        if (rc < 0) {
            Finish({"open", "", "", {}, {}, Outcome::Error, 0, rc, LastError()}, t0);
            return;
        }
        uint16_t chip = 0;
        const int32_t idRc = nvtGetChipId(mHandle, &chip);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(chip));
        Finish({"open", idRc >= 0 ? hex : "", "", {}, {}, idRc >= 0 ? Outcome::Pass : Outcome::Fail, 0, idRc,
                idRc >= 0 ? "" : LastError()},
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
};

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
