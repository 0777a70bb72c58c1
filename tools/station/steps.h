// The step types a plan may use, one row each in one table (steps.cpp): the
// type's name, where it may stand in a plan, its parameters with their
// ranges and defaults, its limit rule, a check of what the parameters
// cannot say alone, and the function that runs it on a DUT. The plan reader
// and the sequence know no step type by name: a new type is a new row.
#ifndef NVT_STATION_STEPS_H
#define NVT_STATION_STEPS_H

#include "records.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace station {

class DutRun;
struct KeyDatabase;
struct Step;

// A limit in the plan: its unit and inclusive bounds, and optionally a
// marginal band inside them (outside the band but inside the limit is
// recorded as marginal and passes).
struct Limit {
    std::string unit;
    std::optional<double> low;
    std::optional<double> high;
    std::optional<double> marginalLow;
    std::optional<double> marginalHigh;
};

// What a step's limit must give besides its unit: nothing (the step takes
// no limit), a low bound, a high bound, or both.
enum class LimitRule { None, Low, High, Both };

// Where a step may stand in a plan. The plan reader checks the order: the
// CS is read before the firmware is loaded, tests run on the loaded firmware
// and end before the CS write (which stops the firmware), and the address
// written is read back before it is committed.
enum class StepPlace {
    CsRead,        // reads the device's CS (once, before firmware_load)
    FirmwareLoad,  // loads and starts the production-test firmware (once)
    Test,          // runs through the firmware: after a firmware_load, not between cs_write and read_back
    Calibration,   // a test whose result the CS write stores: like Test, before cs_write
    CsWrite,       // takes the address and writes the CS (once, after cs_read)
    ReadBack,      // reads the CS back and commits the address (once, after cs_write)
};

// One parameter of a step type. Numbers are whole numbers from min to max,
// reals decimal numbers from min to max; a flag is true or false; a port
// name is a non-empty text.
struct ParamDef {
    enum class Kind { Number, Real, Flag, PortName };
    const char* name;
    Kind kind;
    double min;
    double max;
    double fallback;      // a number's or a flag's (0 or 1) value when the plan does not give it
    const char* meaning;  // one line for the documentation
};

// A value an RF step measures, in real units: its name in records and in
// the plan's `limits` table, its unit, and what its limit must give
// (LimitRule::None: recorded without a limit).
struct MeasureDef {
    const char* name;
    const char* unit;
    LimitRule limit;
    const char* meaning;  // one line for the documentation
};

// What a step's check may look at besides the step: the plan's key database
// and CS version.
struct PlanContext {
    const KeyDatabase& keys;
    uint16_t csVersion;
};

// One step type.
struct StepRow {
    const char* name;
    StepPlace place;
    LimitRule limit;
    std::vector<ParamDef> params;
    // What the parameters and the limit cannot say alone: an empty text when
    // the step can run, else why not (reported at the step's line). May be null.
    std::string (*check)(const Step& aStep, const PlanContext& aPlan);
    // Runs the step on the DUT and says how it went.
    StepRecord (*run)(DutRun& aRun, const Step& aStep);
    const char* summary;  // one line for the documentation
    // The values it measures, with limits in the plan's `limits.NAME`.
    std::vector<MeasureDef> measures = {};
    // It measures through the bench's RF tester (the fixture must name one).
    bool needsTester = false;
};

// One step of a plan: its type's row and the values the plan gave, with the
// row's defaults for the rest.
struct Step {
    const StepRow* row = nullptr;
    std::string name;  // the plan's name, else the type's
    int line = 0;
    std::optional<Limit> limit;
    std::map<std::string, Limit> limits;        // of the row's measures, by name
    std::map<std::string, double> numbers;      // numbers, reals and flags, every one of the row
    std::map<std::string, std::string> texts;   // port names the plan gave
    std::set<std::string> given;                // the parameters the plan named

    uint32_t Number(const char* aName) const;
    double Real(const char* aName) const;
    bool Flag(const char* aName) const;
    const std::string& Text(const char* aName) const;
    bool Given(const char* aName) const { return given.count(aName) != 0; }
};

// Every step type, in the order the documentation lists them.
const std::vector<StepRow>& StepRows();
// The row of a type name; null when there is no such type.
const StepRow* FindStepRow(const std::string& aName);
const ParamDef* FindParam(const StepRow& aRow, const std::string& aName);
const MeasureDef* FindMeasure(const StepRow& aRow, const std::string& aName);

}  // namespace station

#endif
