// One record per DUT, and where records go: JSON (the store keeps the same
// object), JSON Lines appended with one write and a sync so a crash never
// leaves half a line, JUnit XML written to a temporary file and renamed,
// and CSV for quality staff (one row per step).
#ifndef NVT_STATION_RECORDS_H
#define NVT_STATION_RECORDS_H

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace station {

struct StepRecord {
    std::string name;
    std::string value;
    std::string unit;
    std::optional<double> low;
    std::optional<double> high;
    std::string outcome;  // PASS, FAIL, ERROR, ABORT
    double ms = 0;
    int code = 0;
    std::string text;
};

struct Record {
    std::string runId;
    std::string station;
    int slot = 0;
    std::string transport;
    std::string operatorName;
    std::string serial;
    std::string address;        // NNNN:UU:LLLLLL, or empty
    std::string addressSource;  // "new", "retest" or empty
    bool repair = false;
    std::string libraryVersion;
    int firmwareBuildId = -1;
    std::string firmwareSha256;
    std::string keyDatabaseSha256;
    std::string planSha256;
    std::string plan;
    std::string started;
    std::string ended;
    std::string outcome;  // PASS, FAIL, ERROR, ABORT
    std::string text;     // why it did not pass
    std::vector<StepRecord> steps;
};

nlohmann::json ToJson(const Record& aRecord);
bool FromJson(const nlohmann::json& aJson, Record& aRecord);

// Appends one line with one write and syncs it. False with a text.
bool AppendJsonLine(const std::string& aPath, const nlohmann::json& aJson, std::string& aError);
// Writes the records of a run as one JUnit test suite per slot.
bool WriteJunit(const std::string& aPath, const std::string& aSuiteName, const std::vector<Record>& aRecords,
                std::string& aError);
// Writes records as CSV, one row per step (a record without steps: one row).
bool WriteCsv(const std::string& aPath, const std::vector<Record>& aRecords, std::string& aError);
std::string CsvField(const std::string& aText);

// Writes a file by temporary file, sync and rename.
bool WriteFileAtomically(const std::string& aPath, const std::string& aContents, std::string& aError);

}  // namespace station

#endif
