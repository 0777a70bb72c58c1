// The order of one DUT's run: open the DUT and check its chip, run the
// plan's steps through their rows until one does not pass or the operator
// stops the run, end the address life cycle, close. A record of every step.
#ifndef NVT_STATION_SEQUENCE_H
#define NVT_STATION_SEQUENCE_H

#include "job.h"
#include "records.h"
#include "steps.h"

#include "nivoratest.h"

#include <string>

namespace station {

class Provisioning;
class Tester;

// What a step's run function has of the DUT's run.
class DutRun {
public:
    virtual ~DutRun() = default;
    virtual NvtHandle Handle() const = 0;
    virtual const DutJob& Job() const = 0;
    virtual Provisioning& Provision() = 0;
    // The operator has asked the run to stop.
    virtual bool StopRequested() const = 0;
    // The bench's RF tester, connected on the slot's port at the first use;
    // null with a text when there is none or it cannot be used.
    virtual Tester* RfTester(std::string& aError) = 0;
    // Shows a value on the slot's live line.
    void Report(const std::string& aText) const;
    // The handle's last error text.
    std::string LastError() const;
    // A library call's step: PASS with aValue, or FAIL (ERROR when the
    // station is at fault) with the handle's text.
    StepRecord Called(const Step& aStep, int32_t aRc, const std::string& aValue, bool aStationFault = false) const;
    // A measured value against the step's limit.
    StepRecord Measured(const Step& aStep, double aValue, const std::string& aValueText) const;
    // Values of the step's measures (name, value in the measure's unit), each
    // against its limit in the plan: FAIL when one is outside its limit.
    StepRecord Measured(const Step& aStep, const std::vector<std::pair<std::string, double>>& aValues) const;
    // A fault of the station's (the tester, the fixture): ERROR.
    static StepRecord StationFault(const Step& aStep, const std::string& aText);
    // The step was stopped by the operator (ABORT).
    static StepRecord Stopped(const Step& aStep);
};

// Runs the plan on one DUT and returns its record, which starts as aBase
// (run, station, operator, file hashes) and gains the steps and outcome.
Record RunDut(const DutJob& aJob, Record aBase);

}  // namespace station

#endif
