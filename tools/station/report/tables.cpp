#include "report/tables.h"

#include "report/format.h"

namespace station::report {

namespace {

const char kEnd[] = "\r\n";

std::string Count(std::size_t aCount)
{
    return std::to_string(aCount);
}

std::string Row(const std::string& aFigure, const std::string& aValue, const std::string& aCount = "",
                const std::string& aOf = "")
{
    return CsvText(aFigure) + "," + aValue + "," + aCount + "," + aOf + kEnd;
}

std::string YieldRow(const char* aFigure, const Yield& aYield)
{
    return Row(aFigure, CsvNumber(aYield.fraction), Count(aYield.passed), Count(aYield.units));
}

// The columns every row of a measurement starts with.
std::string Named(const MeasurementStats& aStats)
{
    return CsvText(aStats.step) + "," + CsvText(aStats.name) + "," + CsvText(aStats.unit);
}

void AddPareto(std::string& aCsv, const char* aOutcome, const char* aBy, const std::vector<ParetoRow>& aRows)
{
    for (const ParetoRow& row : aRows) {
        aCsv += std::string(aOutcome) + "," + aBy + "," + CsvText(row.step) + "," + CsvText(row.text) + "," +
                Count(row.count) + "," + CsvNumber(row.share) + "," + CsvNumber(row.cumulative) + kEnd;
    }
}

}  // namespace

std::string SummaryCsv(const Summary& aSummary)
{
    std::string csv = std::string("figure,value,count,of") + kEnd;
    csv += YieldRow("first pass yield", aSummary.firstPass);
    csv += YieldRow("final yield", aSummary.finalYield);
    csv += Row("attempts", Count(aSummary.entries));
    for (const OutcomeCount& o : aSummary.outcomes) csv += Row(o.outcome + " attempts", Count(o.count));
    csv += Row("units", Count(aSummary.units));
    csv += Row("units tested", Count(aSummary.unitsTested));
    csv += Row("units not tested", Count(aSummary.units - aSummary.unitsTested));
    csv += Row("values not a number", Count(aSummary.skippedValues));
    csv += Row("first started", CsvText(aSummary.firstStarted));
    csv += Row("last started", CsvText(aSummary.lastStarted));
    return csv;
}

std::string MeasurementsCsv(const Summary& aSummary)
{
    std::string csv = std::string("step,name,unit,count,not_a_number,failed,marginal,mean,stdev,min,max,low,high,"
                                  "marginal_low,marginal_high,cp,cpk,limit_sets") + kEnd;
    for (const MeasurementStats& m : aSummary.measurements) {
        csv += Named(m) + "," + Count(m.count) + "," + Count(m.skipped) + "," + Count(m.failed) + "," +
               Count(m.marginal) + "," + CsvNumber(m.mean) + "," + CsvNumber(m.stdev) + "," + CsvNumber(m.min) + "," +
               CsvNumber(m.max) + "," + CsvNumber(m.low) + "," + CsvNumber(m.high) + "," + CsvNumber(m.marginalLow) +
               "," + CsvNumber(m.marginalHigh) + "," + CsvNumber(m.cp) + "," + CsvNumber(m.cpk) + "," +
               Count(m.limitSets) + kEnd;
    }
    return csv;
}

std::string ParetoCsv(const Summary& aSummary)
{
    std::string csv = std::string("outcome,by,step,text,count,share,cumulative") + kEnd;
    AddPareto(csv, "FAIL", "step", aSummary.fail.steps);
    AddPareto(csv, "FAIL", "text", aSummary.fail.texts);
    AddPareto(csv, "ERROR", "step", aSummary.error.steps);
    AddPareto(csv, "ERROR", "text", aSummary.error.texts);
    return csv;
}

std::string HistogramsCsv(const Summary& aSummary)
{
    std::string csv = std::string("step,name,unit,bin,low,high,count") + kEnd;
    for (const MeasurementStats& m : aSummary.measurements) {
        const std::string named = Named(m);
        for (std::size_t i = 0; i < m.bins.size(); ++i) {
            csv += named + "," + Count(i + 1) + "," + CsvNumber(m.bins[i].low) + "," + CsvNumber(m.bins[i].high) +
                   "," + Count(m.bins[i].count) + kEnd;
        }
    }
    return csv;
}

}  // namespace station::report
