// Yield reports: the figures against an independent reference in Python,
// the yield rules, measurement statistics at their edges, hostile texts,
// the files written, and the page in a headless browser.
#include "report/report.h"
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <unistd.h>

using namespace stationtest;
using station::report::Entry;
using station::report::Measurement;
using station::report::MeasurementStats;
using station::report::Summary;

namespace {

// The Python with the statistics module and, from Debian, selenium.
std::string Python()
{
    if (const char* python = std::getenv("NVT_PYTHON")) return python;
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

StationResult RunPython(const TempDir& aDir, const std::vector<std::string>& aArgs)
{
    const std::string output = aDir / "python.out";
    StationResult result;
    result.status = Wait(StartProgram(Python(), aArgs, output));
    result.output = ReadText(output);
    return result;
}

std::string Script(const std::string& aName)
{
    return std::string(STATION_SOURCE_DIR) + "/tests/station/" + aName;
}

// UTC time aSeconds after 2026-03-02T06:00:00.000Z (within the day).
std::string Time(long aMillis)
{
    const long seconds = aMillis / 1000;
    char text[40];
    std::snprintf(text, sizeof text, "2026-03-02T%02ld:%02ld:%02ld.%03ldZ", 6 + seconds / 3600, seconds / 60 % 60,
                  seconds % 60, aMillis % 1000);
    return text;
}

Measurement Measured(const std::string& aStep, const std::string& aName, const std::string& aUnit, double aValue,
                     std::optional<double> aLow, std::optional<double> aHigh, std::optional<double> aMarginalLow = {},
                     std::optional<double> aMarginalHigh = {})
{
    Measurement m{aStep, aName, aValue, aUnit, aLow, aHigh, aMarginalLow, aMarginalHigh, true};
    m.passed = (!aLow || aValue >= *aLow) && (!aHigh || aValue <= *aHigh);
    return m;
}

// A line's worth of attempts with known distributions: new units, retests
// of units that failed (and a few that passed), attempts without a serial,
// every outcome, and five measurements: two-sided, one-sided low and high
// limits with marginal bands, none at all, and limits that change halfway.
std::vector<Entry> Seeded(std::size_t aCount, unsigned aSeed)
{
    std::mt19937 rng(aSeed);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::normal_distribution<double> power(4.0, 0.6), offset(2.0, 6.0), polls(20.0, 4.0), current(12.5, 0.3);
    std::uniform_int_distribution<int> packets(88, 100);
    const std::vector<std::pair<std::string, std::string>> failures = {
        {"tx_power", "above the high limit"}, {"tx_power", "above the high limit"}, {"tx_power", "below the low limit"},
        {"rx_count", "below 95 packets"},     {"rx_count", "below 95 packets"},     {"xtal_cal", "did not converge"},
        {"uart", "no echo"},                  {"aio", "read back 0x0000"}};
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"cs_write", "cannot connect to the store"}, {"cs_write", "cannot connect to the store"},
        {"uart", "the port did not open"}, {"open", "the worker was killed by signal 9"}};
    std::vector<std::string> serials, toRetest;
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < aCount; ++i) {
        Entry e;
        e.id = "run-" + std::to_string(i / 4) + "/" + std::to_string(i % 4 + 1);
        e.runId = "run-" + std::to_string(i / 4);
        e.slot = static_cast<int>(i % 4 + 1);
        e.station = i % 2 ? "line-a" : "line-b";
        e.plan = "ble-final";
        // Every tenth attempt starts at the same moment as the one before.
        const std::size_t moment = i % 10 == 9 ? i - 1 : i;
        e.started = Time(static_cast<long>(moment) * 29000 + static_cast<long>(moment % 7) * 113);
        e.ended = Time(static_cast<long>(moment) * 29000 + 25000);
        const double who = uniform(rng);
        if (who < 0.05) {
            // No serial: a unit of its own.
        } else if (who < 0.30 && !toRetest.empty()) {
            const std::size_t k = rng() % toRetest.size();
            e.serial = toRetest[k];
            toRetest.erase(toRetest.begin() + static_cast<long>(k));
        } else if (who < 0.33 && !serials.empty()) {
            e.serial = serials[rng() % serials.size()];
        } else {
            char serial[16];
            std::snprintf(serial, sizeof serial, "SN-%05zu", serials.size());
            e.serial = serial;
            serials.push_back(serial);
        }
        const double how = uniform(rng);
        e.outcome = how < 0.76 ? "PASS" : how < 0.91 ? "FAIL" : how < 0.97 ? "ERROR" : "ABORT";
        if (e.outcome == "FAIL") std::tie(e.failingStep, e.text) = failures[rng() % failures.size()];
        if (e.outcome == "ERROR") std::tie(e.failingStep, e.text) = faults[rng() % faults.size()];
        if (e.outcome != "PASS" && !e.serial.empty()) toRetest.push_back(e.serial);

        const double high = i < aCount * 6 / 10 ? 8.0 : 7.5;
        e.measurements.push_back(Measured("tx_power", "power", "dBm", power(rng), 0.0, high, 1.0, 7.0));
        e.measurements.push_back(Measured("xtal_cal", "offset", "kHz", offset(rng), -20.0, 20.0));
        if (e.outcome != "ABORT") {
            e.measurements.push_back(Measured("rx_count", "packets", "packets", packets(rng), 95.0, {}, 97.0));
            e.measurements.push_back(
                Measured("tx_burst", "polls", "polls", std::round(polls(rng)), {}, 40.0, {}, 35.0));
            e.measurements.push_back(Measured("supply", "current", "mA", current(rng), {}, {}));
        }
        entries.push_back(e);
    }
    std::shuffle(entries.begin(), entries.end(), rng);  // the report must not depend on the order given
    return entries;
}

nlohmann::json ToJson(const std::vector<Entry>& aEntries)
{
    auto optional = [](const std::optional<double>& aValue) {
        return aValue ? nlohmann::json(*aValue) : nlohmann::json(nullptr);
    };
    nlohmann::json entries = nlohmann::json::array();
    for (const Entry& e : aEntries) {
        nlohmann::json measurements = nlohmann::json::array();
        for (const Measurement& m : e.measurements) {
            measurements.push_back({{"step", m.step}, {"name", m.name}, {"unit", m.unit}, {"value", m.value},
                                    {"low", optional(m.low)}, {"high", optional(m.high)},
                                    {"marginal_low", optional(m.marginalLow)},
                                    {"marginal_high", optional(m.marginalHigh)}, {"passed", m.passed}});
        }
        entries.push_back({{"id", e.id}, {"serial", e.serial}, {"outcome", e.outcome}, {"started", e.started},
                           {"failing_step", e.failingStep}, {"text", e.text}, {"measurements", measurements}});
    }
    return entries;
}

void ExpectClose(const std::optional<double>& aValue, const nlohmann::json& aReference, const std::string& aWhat)
{
    if (aReference.is_null()) {
        EXPECT_FALSE(aValue) << aWhat << " is " << *aValue << ", expected none";
        return;
    }
    ASSERT_TRUE(aValue) << aWhat << " is none, expected " << aReference;
    const double expected = aReference.get<double>();
    EXPECT_NEAR(*aValue, expected, 1e-6 * std::max(1.0, std::fabs(expected))) << aWhat;
}

void ExpectPareto(const station::report::Pareto& aPareto, const nlohmann::json& aReference, const std::string& aWhat)
{
    EXPECT_EQ(aPareto.attempts, aReference["attempts"].get<std::size_t>()) << aWhat;
    ASSERT_EQ(aPareto.steps.size(), aReference["steps"].size()) << aWhat;
    for (std::size_t i = 0; i < aPareto.steps.size(); ++i) {
        const auto& row = aReference["steps"][i];
        EXPECT_EQ(aPareto.steps[i].step, row[0].get<std::string>()) << aWhat << " step " << i;
        EXPECT_EQ(aPareto.steps[i].count, row[1].get<std::size_t>()) << aWhat << " step " << i;
        ExpectClose(aPareto.steps[i].share, row[2], aWhat + " share");
        ExpectClose(aPareto.steps[i].cumulative, row[3], aWhat + " cumulative");
    }
    ASSERT_EQ(aPareto.texts.size(), aReference["texts"].size()) << aWhat;
    for (std::size_t i = 0; i < aPareto.texts.size(); ++i) {
        const auto& row = aReference["texts"][i];
        EXPECT_EQ(aPareto.texts[i].step + ": " + aPareto.texts[i].text,
                  row[0].get<std::string>() + ": " + row[1].get<std::string>()) << aWhat << " text " << i;
        EXPECT_EQ(aPareto.texts[i].count, row[2].get<std::size_t>()) << aWhat << " text " << i;
        ExpectClose(aPareto.texts[i].cumulative, row[4], aWhat + " text cumulative");
    }
}

// The rows of a CSV file without quoted fields, split at commas.
std::vector<std::vector<std::string>> CsvRows(const std::string& aPath)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(ReadText(aPath));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
            cells.push_back(line.substr(start, comma - start));
        cells.push_back(line.substr(start));
        rows.push_back(cells);
    }
    return rows;
}

const MeasurementStats* Find(const Summary& aSummary, const std::string& aStep)
{
    for (const MeasurementStats& m : aSummary.measurements)
        if (m.step == aStep) return &m;
    return nullptr;
}

// Plots the page draws: a histogram per measurement with a finite value, and
// a Pareto for FAIL and one for ERROR when there were any.
std::size_t Plots(const Summary& aSummary)
{
    std::size_t plots = (aSummary.fail.attempts > 0) + (aSummary.error.attempts > 0);
    for (const MeasurementStats& m : aSummary.measurements) plots += m.count > 0;
    return plots;
}

}  // namespace

TEST(Report, FiguresEqualAnIndependentReference)
{
    TempDir dir;
    const std::vector<Entry> entries = Seeded(1000, 25);
    WriteText(dir / "entries.json", ToJson(entries).dump());
    const StationResult python =
        RunPython(dir, {Script("report_reference.py"), dir / "entries.json", dir / "reference.json"});
    ASSERT_EQ(python.status, 0) << python.output;
    const nlohmann::json reference = nlohmann::json::parse(ReadText(dir / "reference.json"));

    const Summary summary = station::report::Compute(entries);
    EXPECT_EQ(summary.entries, 1000u);
    EXPECT_EQ(summary.units, reference["units"].get<std::size_t>());
    EXPECT_EQ(summary.unitsTested, reference["units_tested"].get<std::size_t>());
    EXPECT_EQ(summary.firstPass.passed, reference["first_pass"].get<std::size_t>());
    EXPECT_EQ(summary.finalYield.passed, reference["final"].get<std::size_t>());
    EXPECT_LT(*summary.firstPass.fraction, *summary.finalYield.fraction);  // retests raise the final yield
    for (const auto& o : summary.outcomes)
        EXPECT_EQ(o.count, reference["outcomes"].value(o.outcome, std::size_t{0})) << o.outcome;
    ExpectPareto(summary.fail, reference["FAIL"], "FAIL");
    ExpectPareto(summary.error, reference["ERROR"], "ERROR");

    const auto& expected = reference["measurements"];
    ASSERT_EQ(expected.size(), 5u);
    ASSERT_EQ(summary.measurements.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const MeasurementStats& m = summary.measurements[i];
        const auto& r = expected[i];
        const std::string what = m.step + " " + m.name;
        EXPECT_EQ(what, r["step"].get<std::string>() + " " + r["name"].get<std::string>());
        EXPECT_EQ(m.count, r["count"].get<std::size_t>()) << what;
        EXPECT_EQ(m.failed, r["failed"].get<std::size_t>()) << what;
        EXPECT_EQ(m.marginal, r["marginal"].get<std::size_t>()) << what;
        ExpectClose(m.mean, r["mean"], what + " mean");
        ExpectClose(m.stdev, r["stdev"], what + " stdev");
        ExpectClose(m.min, r["min"], what + " min");
        ExpectClose(m.max, r["max"], what + " max");
        ExpectClose(m.low, r["low"], what + " low");
        ExpectClose(m.high, r["high"], what + " high");
        ExpectClose(m.cp, r["cp"], what + " Cp");
        ExpectClose(m.cpk, r["cpk"], what + " Cpk");
        std::size_t binned = 0;
        for (const auto& b : m.bins) binned += b.count;
        EXPECT_EQ(binned, m.count) << what;
    }
    // The power limit changed during the period: the latest one counts.
    ASSERT_NE(Find(summary, "tx_power"), nullptr);
    EXPECT_EQ(Find(summary, "tx_power")->high, 7.5);
    EXPECT_EQ(Find(summary, "tx_power")->limitSets, 2u);

    // The files hold the same figures, numbers that read back exactly.
    std::string error;
    ASSERT_TRUE(station::report::Write(entries, {}, dir / "report", error)) << error;
    const auto rows = CsvRows(dir / "report/measurements.csv");
    ASSERT_EQ(rows.size(), summary.measurements.size() + 1);
    const auto& head = rows[0];
    const auto column = [&](const char* aName) {
        return static_cast<std::size_t>(std::find(head.begin(), head.end(), aName) - head.begin());
    };
    for (std::size_t i = 0; i < summary.measurements.size(); ++i) {
        const MeasurementStats& m = summary.measurements[i];
        EXPECT_EQ(std::strtod(rows[i + 1].at(column("mean")).c_str(), nullptr), *m.mean);
        EXPECT_EQ(std::strtod(rows[i + 1].at(column("stdev")).c_str(), nullptr), *m.stdev);
        EXPECT_EQ(rows[i + 1].at(column("cp")).empty(), !m.cp);
    }
    const auto summaryRows = CsvRows(dir / "report/summary.csv");
    ASSERT_GE(summaryRows.size(), 3u);
    EXPECT_EQ(summaryRows[1][0], "first pass yield");
    EXPECT_EQ(std::strtod(summaryRows[1][1].c_str(), nullptr), *summary.firstPass.fraction);
}

TEST(Report, YieldCountsEachUnitByItsFirstAndLastTest)
{
    auto entry = [](std::string aId, std::string aSerial, std::string aOutcome, std::string aStarted) {
        Entry e;
        e.id = std::move(aId);
        e.serial = std::move(aSerial);
        e.outcome = std::move(aOutcome);
        e.started = "2026-03-02T08:00:" + aStarted + ".000Z";
        return e;
    };
    const std::vector<Entry> entries = {
        // A: the station's fault first, then a FAIL, then a PASS: not first-pass, final.
        entry("a3", "A", "PASS", "30"), entry("a1", "A", "ERROR", "10"), entry("a2", "A", "FAIL", "20"),
        // B: an ABORT, then a PASS: first-pass (the abort tested nothing).
        entry("b1", "B", "ABORT", "11"), entry("b2", "B", "PASS", "21"),
        // C: passed, then failed a retest: first-pass, not final.
        entry("c1", "C", "PASS", "12"), entry("c2", "C", "FAIL", "22"),
        // D: only faults and stops: not tested, in neither yield.
        entry("d1", "D", "ERROR", "13"), entry("d2", "D", "ABORT", "23"),
        // Two attempts without a serial: two units. E: two at the same
        // moment, ordered by id (e1 FAIL first).
        entry("n1", "", "PASS", "14"), entry("n2", "", "FAIL", "15"),
        entry("e2", "E", "PASS", "16"), entry("e1", "E", "FAIL", "16"),
    };
    const Summary s = station::report::Compute(entries);
    EXPECT_EQ(s.entries, 13u);
    EXPECT_EQ(s.units, 7u);
    EXPECT_EQ(s.unitsTested, 6u);
    EXPECT_EQ(s.firstPass.passed, 3u);   // B, C, n1
    EXPECT_EQ(s.finalYield.passed, 4u);  // A, B, n1, E
    EXPECT_DOUBLE_EQ(*s.firstPass.fraction, 0.5);
    EXPECT_EQ(s.firstStarted, "2026-03-02T08:00:10.000Z");
    EXPECT_EQ(s.lastStarted, "2026-03-02T08:00:30.000Z");
    ASSERT_EQ(s.outcomes.size(), 4u);
    EXPECT_EQ(s.outcomes[0].outcome + s.outcomes[3].outcome, "PASSABORT");
    EXPECT_EQ(s.outcomes[2].count, 2u);
    EXPECT_EQ(s.fail.attempts, 4u);
    EXPECT_EQ(s.error.attempts, 2u);

    // No entries: nothing to divide by, and no figure made up.
    const Summary none = station::report::Compute({});
    EXPECT_EQ(none.units, 0u);
    EXPECT_FALSE(none.firstPass.fraction);
    EXPECT_FALSE(none.finalYield.fraction);
    EXPECT_TRUE(none.fail.steps.empty());
    EXPECT_TRUE(none.measurements.empty());
}

TEST(Report, MeasurementStatisticsAtTheirEdges)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<Entry> entries(1);
    entries[0].outcome = "PASS";
    auto& ms = entries[0].measurements;
    // The same value every time: no spread, so no Cp or Cpk, one bin.
    for (int i = 0; i < 5; ++i) ms.push_back(Measured("flat", "v", "V", 3.3, 3.0, 3.6));
    // NaN and infinities are left out and counted; they change nothing else.
    for (double v : {1.0, 2.0, nan, 3.0, inf, -inf, 4.0}) ms.push_back(Measured("odd", "v", "V", v, 0.0, 10.0));
    // One value: a mean, no standard deviation.
    ms.push_back(Measured("single", "v", "V", 7.0, 0.0, 10.0));
    // Huge values: the sums would overflow a double.
    for (double v : {1e308, -1e308, 1.5e308, -1.5e308}) ms.push_back(Measured("huge", "v", "V", v, -1.7e308, 1.7e308));
    // One-sided limits, and limits given the wrong way round.
    for (double v : {1.0, 2.0, 3.0}) ms.push_back(Measured("above", "v", "V", v, 0.0, {}));
    for (double v : {1.0, 2.0, 3.0}) ms.push_back(Measured("below", "v", "V", v, {}, 5.0));
    for (double v : {1.0, 2.0, 3.0}) ms.push_back(Measured("inverted", "v", "V", v, 5.0, 0.0));
    // Ten values 0.25 to 9.25 in four bins; whole numbers a bin each.
    for (int v = 0; v < 10; ++v) ms.push_back(Measured("bins", "v", "V", v + 0.25, {}, {}));
    for (double v : {3.0, 6.0, 3.0, 4.0}) ms.push_back(Measured("whole", "v", "V", v, {}, {}));
    // The same step and name with another unit is another measurement; a
    // NaN limit is no limit.
    ms.push_back(Measured("odd", "v", "mV", 5.0, nan, 9.0));

    const Summary s = station::report::Compute(entries);
    const MeasurementStats* flat = Find(s, "flat");
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(*flat->stdev, 0.0);
    EXPECT_FALSE(flat->cp);
    EXPECT_FALSE(flat->cpk);
    ASSERT_EQ(flat->bins.size(), 1u);
    EXPECT_EQ(flat->bins[0].count, 5u);

    const MeasurementStats* odd = Find(s, "odd");
    EXPECT_EQ(odd->count, 4u);
    EXPECT_EQ(odd->skipped, 3u);
    EXPECT_EQ(*odd->mean, 2.5);
    EXPECT_NEAR(*odd->stdev, std::sqrt(5.0 / 3.0), 1e-12);
    EXPECT_EQ(*odd->min, 1.0);
    EXPECT_EQ(*odd->max, 4.0);
    EXPECT_NEAR(*odd->cp, 10.0 / (6 * std::sqrt(5.0 / 3.0)), 1e-12);
    EXPECT_EQ(s.skippedValues, 3u);
    const MeasurementStats& milli = s.measurements.back();
    EXPECT_EQ(milli.unit, "mV");
    EXPECT_FALSE(milli.low);
    EXPECT_EQ(milli.high, 9.0);

    const MeasurementStats* single = Find(s, "single");
    EXPECT_EQ(*single->mean, 7.0);
    EXPECT_FALSE(single->stdev);
    EXPECT_FALSE(single->cpk);

    const MeasurementStats* huge = Find(s, "huge");
    EXPECT_EQ(*huge->mean, 0.0);
    ASSERT_TRUE(huge->stdev);
    EXPECT_NEAR(*huge->stdev / 1e308, std::sqrt(6.5 / 3), 1e-12);
    ASSERT_TRUE(huge->cp);  // high - low does not fit a double, Cp does
    EXPECT_NEAR(*huge->cp, 1.7e308 / 3 / *huge->stdev, 1e-9);
    EXPECT_NEAR(*huge->cpk, *huge->cp, 1e-9);

    const MeasurementStats* above = Find(s, "above");
    EXPECT_FALSE(above->cp);
    EXPECT_NEAR(*above->cpk, (2.0 - 0.0) / 3.0, 1e-12);  // sigma 1
    const MeasurementStats* below = Find(s, "below");
    EXPECT_FALSE(below->cp);
    EXPECT_NEAR(*below->cpk, (5.0 - 2.0) / 3.0, 1e-12);
    const MeasurementStats* inverted = Find(s, "inverted");
    EXPECT_FALSE(inverted->cp);
    EXPECT_FALSE(inverted->cpk);
    EXPECT_EQ(inverted->failed, 3u);

    const MeasurementStats* bins = Find(s, "bins");
    ASSERT_EQ(bins->bins.size(), 4u);  // ceil(sqrt(10))
    std::vector<std::size_t> counts;
    for (const auto& b : bins->bins) counts.push_back(b.count);
    EXPECT_EQ(counts, (std::vector<std::size_t>{3, 2, 2, 3}));
    EXPECT_EQ(bins->bins[1].low, 2.5);
    EXPECT_EQ(bins->bins[3].high, 9.25);
    const MeasurementStats* whole = Find(s, "whole");
    counts.clear();
    for (const auto& b : whole->bins) counts.push_back(b.count);
    EXPECT_EQ(counts, (std::vector<std::size_t>{2, 1, 0, 1}));
    EXPECT_EQ(whole->bins[0].low, 2.5);
    EXPECT_EQ(whole->bins[3].high, 6.5);

    // Every figure and plot is written without NaN or infinity.
    TempDir dir;
    std::string error;
    ASSERT_TRUE(station::report::Write(entries, {}, dir / "out", error)) << error;
    for (const char* name : {"index.html", "measurements.csv", "histograms.csv", "summary.csv"}) {
        const std::string text = ReadText(dir / (std::string("out/") + name));
        for (const char* poison : {"nan", "inf", "NaN", "Inf"})
            EXPECT_EQ(text.find(poison), std::string::npos) << name << " holds " << poison;
    }
}

TEST(Report, HostileTextsAreEscapedInThePageAndDefusedInCsv)
{
    Entry e;
    e.id = "r/1";
    e.serial = "<b>SN</b>";
    e.outcome = "FAIL";
    e.started = "2026-03-02T08:00:00.000Z";
    e.failingStep = "<script>alert(1)</script>";
    e.text = "=HYPERLINK(\"http://x\")\x1b[2J\x01 & 'quoted', \"double\"";
    e.measurements.push_back(Measured("st<e>p", "=n&me", "\x07%", 1.0, 0.0, 2.0));
    e.measurements.push_back(Measured("st<e>p", "=n&me", "\x07%", 1.5, 0.0, 2.0));
    std::vector<Entry> entries = {e};
    e.id = "r/2";
    e.outcome = "SOMETHING <odd>";
    entries.push_back(e);

    TempDir dir;
    std::string error;
    station::report::Filter filter{"2026-03-01", "", "<plan>", "st&1"};
    ASSERT_TRUE(station::report::Write(entries, filter, dir / "out", error)) << error;
    const std::string page = ReadText(dir / "out/index.html");
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<e>"), std::string::npos);
    EXPECT_EQ(page.find("<odd>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("<h1>Yield report: plan &lt;plan&gt;, station st&amp;1, from 2026-03-01</h1>"),
              std::string::npos);
    EXPECT_NE(page.find("SOMETHING &lt;odd&gt;"), std::string::npos);
    for (const char* name : {"index.html", "pareto.csv", "measurements.csv", "histograms.csv", "summary.csv"}) {
        const std::string text = ReadText(dir / (std::string("out/") + name));
        for (char c : text) {
            EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\r')
                << name << " holds the control character " << int(c);
        }
    }
    const std::string pareto = ReadText(dir / "out/pareto.csv");
    EXPECT_NE(pareto.find("FAIL,text,<script>alert(1)</script>,\"'=HYPERLINK(\"\"http://x\"\")\\x1B[2J\\x01 & "
                          "'quoted', \"\"double\"\"\",1,1,1\r\n"),
              std::string::npos)
        << pareto;
    EXPECT_NE(ReadText(dir / "out/measurements.csv").find("st<e>p,'=n&me,\\x07%,4,"), std::string::npos);
    EXPECT_NE(ReadText(dir / "out/summary.csv").find("SOMETHING <odd> attempts,1,,"), std::string::npos);
}

TEST(Report, WriteMakesItsFolderAndNeverWritesThroughALink)
{
    TempDir dir;
    std::string error;
    // No entries: every file is written, the yields empty.
    ASSERT_TRUE(station::report::Write({}, {}, dir / "a/b", error)) << error;
    for (const char* name : {"index.html", "summary.csv", "measurements.csv", "pareto.csv", "histograms.csv"})
        EXPECT_TRUE(std::filesystem::exists(dir / (std::string("a/b/") + name))) << name;
    EXPECT_NE(ReadText(dir / "a/b/summary.csv").find("\r\nfirst pass yield,,0,0\r\nfinal yield,,0,0\r\n"),
              std::string::npos);
    EXPECT_NE(ReadText(dir / "a/b/index.html").find("<h1>Yield report: all plans, all stations, all times</h1>"),
              std::string::npos);

    WriteText(dir / "file", "x");
    EXPECT_FALSE(station::report::Write({}, {}, dir / "file", error));
    EXPECT_NE(error.find("cannot make the report folder"), std::string::npos) << error;

    // A link planted where a file goes is refused; its target stays as it was.
    std::filesystem::create_directory(dir / "c");
    WriteText(dir / "target", "kept");
    std::filesystem::create_symlink(dir / "target", dir / "c/summary.csv");
    error.clear();
    EXPECT_FALSE(station::report::Write({}, {}, dir / "c", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadText(dir / "target"), "kept");
}

TEST(Report, PageOpensInAHeadlessBrowserWithEveryPlot)
{
    TempDir dir;
    const std::vector<Entry> entries = Seeded(400, 7);
    std::string error;
    const station::report::Filter filter{"2026-03-02T00:00:00Z", "2026-03-03T00:00:00Z", "ble-final", ""};
    ASSERT_TRUE(station::report::Write(entries, filter, dir / "report", error)) << error;
    const Summary summary = station::report::Compute(entries);
    ASSERT_EQ(Plots(summary), 7u);
    // NVT_REPORT_SCREENSHOT names a file for a screenshot of the page.
    std::vector<std::string> args = {Script("report_browser.py"), dir / "report/index.html",
                                     std::to_string(Plots(summary))};
    if (const char* screenshot = std::getenv("NVT_REPORT_SCREENSHOT")) args.push_back(screenshot);
    const StationResult browser = RunPython(dir, args);
    EXPECT_EQ(browser.status, 0) << browser.output;
}
