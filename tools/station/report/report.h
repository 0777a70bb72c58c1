// Yield reports for quality staff: from the records of a period (filled in
// by the caller from the store) the first-pass and final yield per unit,
// counts by outcome, Paretos of failing steps and texts, and for every
// numeric measurement its statistics (mean, standard deviation, Cp, Cpk)
// and histogram. Compute gives the figures; Write puts them into a folder
// as one self-contained HTML page (inline CSS and SVG, no scripts, no
// network) and CSV files. docs/reports.md says how each figure is made.
#ifndef NVT_STATION_REPORT_REPORT_H
#define NVT_STATION_REPORT_REPORT_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace station::report {

struct Measurement {            // one measured value of one step of one record
    std::string step, name;     // e.g. "tx_freq", "offset"
    double value = 0;
    std::string unit;           // "dBm", "kHz", "%", ...
    std::optional<double> low, high;                 // the limit (either may be missing)
    std::optional<double> marginalLow, marginalHigh; // the marginal band, if any
    bool passed = true;
};

struct Entry {                  // one record (one DUT's run)
    std::string id;             // unique, e.g. run id + slot
    std::string runId, station, serial, plan, planDigest;
    int slot = 0;
    std::string outcome;        // "PASS", "FAIL", "ERROR" or "ABORT"
    std::string started, ended; // UTC "YYYY-MM-DDTHH:MM:SS.mmmZ"
    std::string failingStep, text;  // for FAIL/ERROR: the step and why
    std::vector<Measurement> measurements;
};

// What the report covers, as given on the command line (empty: no bound).
// Only the page's title line uses it; the entries are already filtered.
struct Filter { std::string from, to, plan, station; };

// A yield: units that passed out of units tested; no fraction without units.
struct Yield {
    std::size_t passed = 0;
    std::size_t units = 0;
    std::optional<double> fraction;
};

struct OutcomeCount {
    std::string outcome;
    std::size_t count = 0;
};

// One bar of a Pareto: how often a step (and, in the text Pareto, a text
// of that step) ended an attempt, its share of all the attempts counted
// and the share of this row and every row before it.
struct ParetoRow {
    std::string step;
    std::string text;           // empty in the step Pareto
    std::size_t count = 0;
    double share = 0;
    double cumulative = 0;
};

struct Pareto {
    std::size_t attempts = 0;          // attempts of this outcome
    std::vector<ParetoRow> steps;      // by failing step, most frequent first
    std::vector<ParetoRow> texts;      // by failing step and text, most frequent first
};

// One bar of a histogram: values in [low, high) (the last bin includes high).
// Whole numbers get a bin each, from the number - 0.5 to the number + 0.5.
struct Bin {
    double low = 0, high = 0;
    std::size_t count = 0;
};

// The figures of one measurement (one step, name and unit) over all entries.
struct MeasurementStats {
    std::string step, name, unit;
    std::size_t count = 0;      // finite values taken into the figures
    std::size_t skipped = 0;    // NaN and infinite values, left out
    std::size_t failed = 0;     // values recorded as not passed
    std::size_t marginal = 0;   // finite values inside the limits but outside the marginal band
    std::optional<double> mean, stdev, min, max;
    // The limits and band the figures are judged against: those of the
    // latest entry (by started) that has the measurement.
    std::optional<double> low, high, marginalLow, marginalHigh;
    std::size_t limitSets = 0;  // different limit and band sets seen (1 when they never changed)
    std::optional<double> cp, cpk;
    std::vector<Bin> bins;
};

struct Summary {
    std::size_t entries = 0;       // attempts
    std::size_t units = 0;         // serials, and entries without a serial
    std::size_t unitsTested = 0;   // units with at least one PASS or FAIL attempt
    std::string firstStarted, lastStarted;
    Yield firstPass;   // of each unit's first PASS or FAIL attempt
    Yield finalYield;  // of each unit's last PASS or FAIL attempt
    std::vector<OutcomeCount> outcomes;  // PASS, FAIL, ERROR, ABORT, then any other text
    Pareto fail, error;
    std::vector<MeasurementStats> measurements;  // in the order they first appear in time
    std::size_t skippedValues = 0;  // NaN and infinite values in all measurements
};

// Computes everything the page shows (no files).
Summary Compute(const std::vector<Entry>& aEntries);

// Writes index.html, summary.csv, measurements.csv, pareto.csv and
// histograms.csv into aOutDir (made if missing), each by a temporary file
// and rename. False with a text when a file cannot be written.
bool Write(const std::vector<Entry>& aEntries, const Filter& aFilter, const std::string& aOutDir, std::string& aError);

}  // namespace station::report

#endif
