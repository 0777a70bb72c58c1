// The report's figures: yields per unit, counts by outcome, Paretos and
// the statistics of every measurement. Entries are taken in time order
// (started, then id), so "first", "last" and "latest" never depend on the
// order the caller filled them in.
#include "report/report.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <tuple>
#include <unordered_map>

namespace station::report {

namespace {

const char* const kOutcomes[] = {"PASS", "FAIL", "ERROR", "ABORT"};

// A PASS or FAIL attempt is a test of the unit; ERROR (the station's fault)
// and ABORT (the operator's stop) say nothing about the unit.
bool TestsTheUnit(const std::string& aOutcome)
{
    return aOutcome == "PASS" || aOutcome == "FAIL";
}

std::optional<double> Finite(const std::optional<double>& aValue)
{
    if (aValue && std::isfinite(*aValue)) return aValue;
    return std::nullopt;
}

std::optional<double> FiniteOrNone(double aValue)
{
    if (std::isfinite(aValue)) return aValue;
    return std::nullopt;
}

Yield MakeYield(std::size_t aPassed, std::size_t aUnits)
{
    Yield y;
    y.passed = aPassed;
    y.units = aUnits;
    if (aUnits > 0) y.fraction = static_cast<double>(aPassed) / static_cast<double>(aUnits);
    return y;
}

// Rows by count, most frequent first (ties by step, then text), with
// shares of aAttempts.
std::vector<ParetoRow> Rank(const std::map<std::pair<std::string, std::string>, std::size_t>& aCounts,
                            std::size_t aAttempts)
{
    std::vector<ParetoRow> rows;
    rows.reserve(aCounts.size());
    for (const auto& [key, count] : aCounts) rows.push_back({key.first, key.second, count, 0, 0});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ParetoRow& a, const ParetoRow& b) { return a.count > b.count; });
    std::size_t running = 0;
    for (ParetoRow& row : rows) {
        running += row.count;
        row.share = static_cast<double>(row.count) / static_cast<double>(aAttempts);
        row.cumulative = static_cast<double>(running) / static_cast<double>(aAttempts);
    }
    return rows;
}

struct ParetoCounts {
    std::size_t attempts = 0;
    std::map<std::pair<std::string, std::string>, std::size_t> steps, texts;

    void Add(const Entry& aEntry)
    {
        ++attempts;
        ++steps[{aEntry.failingStep, ""}];
        ++texts[{aEntry.failingStep, aEntry.text}];
    }
    Pareto Ranked() const { return {attempts, Rank(steps, attempts), Rank(texts, attempts)}; }
};

// Mean and sample standard deviation. The values are scaled by a power of
// two into [-1, 1] first (exact), so sums of huge values cannot overflow;
// the mean is corrected by a second pass over the deviations.
void Moments(const std::vector<double>& aValues, MeasurementStats& aStats)
{
    const std::size_t n = aValues.size();
    if (n == 0) return;
    double biggest = 0;
    for (double v : aValues) biggest = std::max(biggest, std::fabs(v));
    int exponent = 0;
    if (biggest > 0) std::frexp(biggest, &exponent);
    double sum = 0;
    for (double v : aValues) sum += std::ldexp(v, -exponent);
    double mean = sum / static_cast<double>(n);
    double deviations = 0, squares = 0;
    for (double v : aValues) {
        const double d = std::ldexp(v, -exponent) - mean;
        deviations += d;
        squares += d * d;
    }
    mean += deviations / static_cast<double>(n);
    aStats.mean = std::ldexp(mean, exponent);
    if (n < 2) return;
    const double variance =
        std::max(0.0, (squares - deviations * deviations / static_cast<double>(n)) / static_cast<double>(n - 1));
    aStats.stdev = FiniteOrNone(std::ldexp(std::sqrt(variance), exponent));
}

// Cp needs both limits; Cpk takes the nearer limit, or the only one. No
// figure without a spread, with inverted limits, or when it does not fit a
// double. Halves keep high - low from overflowing.
void Capability(MeasurementStats& aStats)
{
    if (!aStats.stdev || *aStats.stdev <= 0 || !aStats.mean) return;
    const double sigma = *aStats.stdev;
    const double mean = *aStats.mean;
    if (aStats.low && aStats.high && *aStats.low > *aStats.high) return;
    std::optional<double> upper, lower;  // (high - mean) / 3 sigma and (mean - low) / 3 sigma
    if (aStats.high) upper = (*aStats.high * 0.5 - mean * 0.5) / sigma / 1.5;
    if (aStats.low) lower = (mean * 0.5 - *aStats.low * 0.5) / sigma / 1.5;
    if (upper && lower) {
        aStats.cp = FiniteOrNone((*aStats.high * 0.5 - *aStats.low * 0.5) / sigma / 3.0);
        aStats.cpk = FiniteOrNone(std::min(*upper, *lower));
    } else if (upper || lower) {
        aStats.cpk = FiniteOrNone(upper ? *upper : *lower);
    }
}

// a + (b - a) t without overflow for any finite a and b.
double Between(double aLow, double aHigh, double aT)
{
    return aLow * (1 - aT) + aHigh * aT;
}

// Equal-width bins from the smallest to the largest value: the square
// root of the count, 1 to 40 of them; one bin when every value is equal.
// Whole numbers over at most 40 values (packet counts, polls) get one bin
// per number, centred on it, so that no bin is empty between two numbers.
void Histogram(const std::vector<double>& aValues, MeasurementStats& aStats)
{
    if (aValues.empty()) return;
    const double low = *aStats.min, high = *aStats.max;
    const bool whole = high - low < 40 &&
                       std::all_of(aValues.begin(), aValues.end(), [](double v) { return std::trunc(v) == v; });
    if (whole) {
        aStats.bins.resize(static_cast<std::size_t>(high - low) + 1);
        for (std::size_t i = 0; i < aStats.bins.size(); ++i) {
            aStats.bins[i].low = low + static_cast<double>(i) - 0.5;
            aStats.bins[i].high = low + static_cast<double>(i) + 0.5;
        }
        for (double v : aValues) ++aStats.bins[static_cast<std::size_t>(v - low)].count;
        return;
    }
    const double halfSpan = high * 0.5 - low * 0.5;
    std::size_t bins = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(aValues.size()))));
    bins = std::clamp<std::size_t>(bins, 1, 40);
    if (halfSpan <= 0) bins = 1;
    aStats.bins.resize(bins);
    for (std::size_t i = 0; i < bins; ++i) {
        aStats.bins[i].low = Between(low, high, static_cast<double>(i) / static_cast<double>(bins));
        aStats.bins[i].high = i + 1 == bins ? high : Between(low, high, static_cast<double>(i + 1) / static_cast<double>(bins));
    }
    for (double v : aValues) {
        std::size_t i = 0;
        if (halfSpan > 0) {
            const double t = (v * 0.5 - low * 0.5) / halfSpan;
            i = std::min(bins - 1, static_cast<std::size_t>(std::max(0.0, t * static_cast<double>(bins))));
        }
        ++aStats.bins[i].count;
    }
}

bool Outside(double aValue, const std::optional<double>& aLow, const std::optional<double>& aHigh)
{
    return (aLow && aValue < *aLow) || (aHigh && aValue > *aHigh);
}

// One measurement's values while the entries are read.
struct Collected {
    MeasurementStats stats;
    std::vector<double> values;
    std::set<std::tuple<std::optional<double>, std::optional<double>, std::optional<double>, std::optional<double>>>
        limitSets;

    void Add(const Measurement& aMeasurement)
    {
        const auto low = Finite(aMeasurement.low), high = Finite(aMeasurement.high);
        const auto marginalLow = Finite(aMeasurement.marginalLow), marginalHigh = Finite(aMeasurement.marginalHigh);
        // Entries come in time order: the last limits seen are the latest.
        stats.low = low, stats.high = high, stats.marginalLow = marginalLow, stats.marginalHigh = marginalHigh;
        limitSets.insert({low, high, marginalLow, marginalHigh});
        if (!aMeasurement.passed) ++stats.failed;
        const double v = aMeasurement.value;
        if (!std::isfinite(v)) {
            ++stats.skipped;
            return;
        }
        values.push_back(v);
        if (!Outside(v, low, high) && Outside(v, marginalLow, marginalHigh)) ++stats.marginal;
    }

    MeasurementStats Finish()
    {
        stats.count = values.size();
        stats.limitSets = limitSets.size();
        if (!values.empty()) {
            const auto [smallest, largest] = std::minmax_element(values.begin(), values.end());
            stats.min = *smallest;
            stats.max = *largest;
        }
        Moments(values, stats);
        Capability(stats);
        Histogram(values, stats);
        return std::move(stats);
    }
};

// A key no two different (step, name, unit) triples share.
std::string GroupKey(const Measurement& aMeasurement)
{
    std::string key;
    for (const std::string* part : {&aMeasurement.step, &aMeasurement.name, &aMeasurement.unit}) {
        key += std::to_string(part->size());
        key += ':';
        key += *part;
    }
    return key;
}

}  // namespace

Summary Compute(const std::vector<Entry>& aEntries)
{
    Summary summary;
    summary.entries = aEntries.size();

    std::vector<std::size_t> order(aEntries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const Entry& x = aEntries[a];
        const Entry& y = aEntries[b];
        return std::tie(x.started, x.id, a) < std::tie(y.started, y.id, b);
    });
    if (!order.empty()) {
        summary.firstStarted = aEntries[order.front()].started;
        summary.lastStarted = aEntries[order.back()].started;
    }

    // Each unit's first and last attempt that tested it (in time order).
    struct Unit {
        const Entry* first = nullptr;
        const Entry* last = nullptr;
    };
    std::vector<Unit> units;
    std::unordered_map<std::string, std::size_t> unitOfSerial;
    std::map<std::string, std::size_t> outcomes;
    ParetoCounts fail, error;
    std::vector<Collected> measurements;
    std::unordered_map<std::string, std::size_t> measurementOfKey;

    for (std::size_t index : order) {
        const Entry& e = aEntries[index];
        std::size_t unit = units.size();
        if (!e.serial.empty()) unit = unitOfSerial.emplace(e.serial, units.size()).first->second;
        if (unit == units.size()) units.emplace_back();
        if (TestsTheUnit(e.outcome)) {
            if (!units[unit].first) units[unit].first = &e;
            units[unit].last = &e;
        }
        ++outcomes[e.outcome];
        if (e.outcome == "FAIL") fail.Add(e);
        if (e.outcome == "ERROR") error.Add(e);

        for (const Measurement& m : e.measurements) {
            const auto [it, added] = measurementOfKey.emplace(GroupKey(m), measurements.size());
            if (added) {
                measurements.emplace_back();
                measurements.back().stats.step = m.step;
                measurements.back().stats.name = m.name;
                measurements.back().stats.unit = m.unit;
            }
            measurements[it->second].Add(m);
        }
    }

    summary.units = units.size();
    std::size_t firstPassed = 0, lastPassed = 0;
    for (const Unit& u : units) {
        if (!u.first) continue;
        ++summary.unitsTested;
        if (u.first->outcome == "PASS") ++firstPassed;
        if (u.last->outcome == "PASS") ++lastPassed;
    }
    summary.firstPass = MakeYield(firstPassed, summary.unitsTested);
    summary.finalYield = MakeYield(lastPassed, summary.unitsTested);

    for (const char* text : kOutcomes) {
        const auto it = outcomes.find(text);
        summary.outcomes.push_back({text, it == outcomes.end() ? 0 : it->second});
        if (it != outcomes.end()) outcomes.erase(it);
    }
    for (const auto& [text, count] : outcomes) summary.outcomes.push_back({text, count});

    summary.fail = fail.Ranked();
    summary.error = error.Ranked();

    summary.measurements.reserve(measurements.size());
    for (Collected& c : measurements) {
        summary.measurements.push_back(c.Finish());
        summary.skippedValues += summary.measurements.back().skipped;
    }
    return summary;
}

}  // namespace station::report
