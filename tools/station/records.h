// One record per DUT and the station's vocabulary for it: how a DUT or a
// step ended (Outcome) and where its address came from (AddressSource),
// each with the one function that gives its text in records. A record
// travels as JSON (the store keeps the same object, workers report it in
// it) and is exported as CSV for quality staff (one row per step). Where
// records are kept during a run is up to the sinks (sinks/sink.h).
#ifndef NVT_STATION_RECORDS_H
#define NVT_STATION_RECORDS_H

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace station {

// How a DUT's run, or one step of it, ended. ERROR is the station's fault
// (fixture, store, files), FAIL the DUT's; ABORT is the operator's stop.
enum class Outcome { Pass, Fail, Error, Abort };
// "PASS", "FAIL", "ERROR" or "ABORT": the only place these texts are made.
const char* OutcomeText(Outcome aOutcome);
// The outcome a record's text names; false for any other text.
bool OutcomeFromText(const std::string& aText, Outcome& aOutcome);

// Where the address a DUT got came from: none yet, a new one from the
// store, or the one a retested device already held.
enum class AddressSource { None, New, Retest };
// "", "new" or "retest".
const char* AddressSourceText(AddressSource aSource);
bool AddressSourceFromText(const std::string& aText, AddressSource& aSource);

// One measured value of a step, as a number with its unit, its limit and
// its marginal band: inside the limit but outside the band is "marginal",
// recorded and passed.
struct Measurement {
    std::string name;
    double value = 0;
    std::string unit;
    std::optional<double> low;
    std::optional<double> high;
    std::optional<double> marginalLow;
    std::optional<double> marginalHigh;
    Outcome outcome = Outcome::Pass;
    bool marginal = false;
};

struct StepRecord {
    std::string name;
    std::string value;
    std::string unit;
    std::optional<double> low;
    std::optional<double> high;
    Outcome outcome = Outcome::Error;
    double ms = 0;
    int code = 0;
    std::string text;
    std::vector<Measurement> measurements;
};

struct Record {
    std::string runId;
    std::string station;
    int slot = 0;
    std::string transport;
    std::string operatorName;
    std::string serial;
    std::string address;        // NNNN:UU:LLLLLL, or empty
    AddressSource addressSource = AddressSource::None;
    bool repair = false;
    std::string libraryVersion;
    int firmwareBuildId = -1;
    std::string firmwareSha256;
    std::string keyDatabaseSha256;
    std::string planSha256;
    std::string plan;           // the plan file
    std::string planName;       // the plan's name entry
    std::string started;
    std::string ended;
    Outcome outcome = Outcome::Error;
    std::string text;     // why it did not pass
    std::vector<StepRecord> steps;
};

nlohmann::json ToJson(const Record& aRecord);
bool FromJson(const nlohmann::json& aJson, Record& aRecord);

// The record as one line of JSON (bytes that are not UTF-8, as a library
// text may hold, become replacement characters).
std::string JsonText(const Record& aRecord);

// The step that ended the record when it did not pass ("" when it passed).
std::string FailingStep(const Record& aRecord);

// The exit status of a run: 3 when a DUT was stopped by the operator, else
// 2 when one ended ERROR or aKept is false (a record could not be kept),
// else 1 when one failed, else 0.
int ExitStatus(const std::vector<Record>& aRecords, bool aKept);

// Writes records as CSV, one row per step (a record without steps: one row).
bool WriteCsv(const std::string& aPath, const std::vector<Record>& aRecords, std::string& aError);
std::string CsvField(const std::string& aText);

}  // namespace station

#endif
