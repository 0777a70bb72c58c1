#include "report/page.h"

#include "report/format.h"
#include "report/plots.h"

#include <algorithm>

namespace station::report {

namespace {

const char kStyle[] = R"(
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",sans-serif;color:#222;line-height:1.4;
  margin:0 auto;max-width:1000px;padding:12px;overflow-wrap:break-word}
h1{font-size:1.35em;margin:.2em 0 .4em}
h2{font-size:1.15em;border-bottom:1px solid #bbb;margin-top:1.6em}
h3{font-size:1em;margin:1.2em 0 .3em}
table{border-collapse:collapse;font-size:.9em;margin:.4em 0}
th,td{border:1px solid #ddd;padding:3px 6px;text-align:left;vertical-align:top}
th{background:#f2f2f2}
td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.scroll{overflow-x:auto;max-width:100%}
.row{display:flex;flex-wrap:wrap;gap:0 2em;align-items:flex-start}
.yield{font-size:1.5em;font-weight:600}
.note{color:#555;font-size:.9em}
svg{display:block;max-width:100%;height:auto}
figure{margin:1em 0;break-inside:avoid;page-break-inside:avoid}
figcaption{font-size:.9em;margin-bottom:.3em}
@media print{body{max-width:none;padding:0}h2,h3{break-after:avoid;page-break-after:avoid}
  *{-webkit-print-color-adjust:exact;print-color-adjust:exact}.scroll{overflow:visible}}
)";

std::string Cell(const std::string& aHtml, bool aNumber = false)
{
    return aNumber ? "<td class=\"n\">" + aHtml + "</td>" : "<td>" + aHtml + "</td>";
}

std::string NumberCell(const std::optional<double>& aValue, int aDigits = 6)
{
    return Cell(aValue ? Html(ShownNumber(*aValue, aDigits)) : "", true);
}

std::string CountCell(std::size_t aCount)
{
    return Cell(std::to_string(aCount), true);
}

std::string Heads(std::initializer_list<const char*> aNames)
{
    std::string row = "<tr>";
    for (const char* name : aNames) row += std::string("<th>") + name + "</th>";
    return row + "</tr>";
}

std::string YieldSection(const Summary& aSummary)
{
    // The yields and the outcomes side by side where there is room.
    std::string html = "<section><h2>Yield</h2><div class=\"row\"><div class=\"scroll\"><table>";
    auto row = [&](const char* aName, const Yield& aYield) {
        html += "<tr><th>" + std::string(aName) + "</th>";
        html += Cell(aYield.fraction ? "<span class=\"yield\">" + Percent(*aYield.fraction) + "</span>" : "none", true);
        html += Cell(std::to_string(aYield.passed) + " of " + std::to_string(aYield.units) + " units") + "</tr>";
    };
    row("First pass yield", aSummary.firstPass);
    row("Final yield", aSummary.finalYield);
    html += "</table></div><div class=\"scroll\"><table>" + Heads({"outcome", "attempts", "share"});
    for (const OutcomeCount& o : aSummary.outcomes) {
        const std::string share =
            aSummary.entries > 0 ? Percent(static_cast<double>(o.count) / static_cast<double>(aSummary.entries)) : "";
        html += "<tr>" + Cell(Html(o.outcome)) + CountCell(o.count) + Cell(share, true) + "</tr>";
    }
    html += "</table></div></div>";
    html += "<p>" + std::to_string(aSummary.entries) + " attempts of " + std::to_string(aSummary.units) + " units; " +
            std::to_string(aSummary.unitsTested) + " units had a PASS or FAIL attempt";
    if (aSummary.units > aSummary.unitsTested)
        html += ", " + std::to_string(aSummary.units - aSummary.unitsTested) + " only ERROR or ABORT attempts";
    html += ".";
    if (!aSummary.firstStarted.empty())
        html += " Started from " + Html(aSummary.firstStarted) + " to " + Html(aSummary.lastStarted) + ".";
    html += "</p><p class=\"note\">A unit is a serial (an attempt without a serial is a unit of its own). Its first "
            "and last PASS or FAIL attempt decide the first pass and the final yield; ERROR (the station's fault) "
            "and ABORT (an operator's stop) attempts are not tests of the unit.</p>";
    return html + "</section>";
}

std::string ParetoSection(const Pareto& aPareto, const char* aOutcome, const char* aWhose)
{
    std::string html = std::string("<section><h2>") + aOutcome + " attempts by step (" + aWhose + ")</h2>";
    if (aPareto.attempts == 0) return html + "<p>No " + aOutcome + " attempts.</p></section>";
    html += "<figure>" + ParetoSvg(aPareto, std::string("Pareto of the steps of ") + aOutcome + " attempts") +
            "</figure>";
    const std::size_t shown = std::min(aPareto.texts.size(), kPageTexts);
    html += "<h3>Most frequent texts</h3><div class=\"scroll\"><table>" +
            Heads({"step", "text", "attempts", "share", "cumulative"});
    for (std::size_t i = 0; i < shown; ++i) {
        const ParetoRow& row = aPareto.texts[i];
        html += "<tr>" + Cell(Html(row.step)) + Cell(Html(row.text)) + CountCell(row.count) +
                Cell(Percent(row.share), true) + Cell(Percent(row.cumulative), true) + "</tr>";
    }
    html += "</table></div>";
    if (aPareto.texts.size() > shown)
        html += "<p class=\"note\">" + std::to_string(aPareto.texts.size() - shown) +
                " less frequent texts are in pareto.csv.</p>";
    return html + "</section>";
}

std::string Named(const MeasurementStats& aStats)
{
    std::string name = aStats.step + " " + aStats.name;
    if (!aStats.unit.empty()) name += " (" + aStats.unit + ")";
    return name;
}

std::string MeasurementSection(const Summary& aSummary)
{
    std::string html = "<section><h2>Measurements</h2>";
    if (aSummary.measurements.empty()) return html + "<p>No measurements.</p></section>";
    html += "<div class=\"scroll\"><table>" +
            Heads({"step", "name", "unit", "values", "mean", "stdev", "min", "max", "low", "high", "Cp", "Cpk",
                   "failed", "marginal", "not a number"});
    for (const MeasurementStats& m : aSummary.measurements) {
        html += "<tr>" + Cell(Html(m.step)) + Cell(Html(m.name)) + Cell(Html(m.unit)) + CountCell(m.count) +
                NumberCell(m.mean) + NumberCell(m.stdev) + NumberCell(m.min) + NumberCell(m.max) +
                NumberCell(m.low) + NumberCell(m.high) + NumberCell(m.cp, 4) + NumberCell(m.cpk, 4) +
                CountCell(m.failed) + CountCell(m.marginal) + CountCell(m.skipped) + "</tr>";
    }
    html += "</table></div><p class=\"note\">Standard deviation of the sample (n - 1). Cp = (high - low) / "
            "6&#963;, Cpk = min(high - mean, mean - low) / 3&#963;; with one limit, Cpk from that side and no Cp; "
            "none without a limit or a spread. Limits and marginal band are those of the latest attempt. Histograms: "
            "limits in red (outside shaded), the marginal band in orange, the mean dotted.</p>";
    const std::size_t shown = std::min(aSummary.measurements.size(), kPageHistograms);
    for (std::size_t i = 0; i < shown; ++i) {
        const MeasurementStats& m = aSummary.measurements[i];
        html += "<figure><figcaption><b>" + Html(Named(m)) + "</b>: " + std::to_string(m.count) + " values";
        if (m.mean) html += ", mean " + Html(ShownNumber(*m.mean, 6));
        if (m.stdev) html += ", stdev " + Html(ShownNumber(*m.stdev, 6));
        if (m.cp) html += ", Cp " + Html(ShownNumber(*m.cp, 4));
        if (m.cpk) html += ", Cpk " + Html(ShownNumber(*m.cpk, 4));
        if (m.skipped > 0) html += ", " + std::to_string(m.skipped) + " not a number";
        if (m.limitSets > 1)
            html += "; the limits changed in the period (" + std::to_string(m.limitSets) + " sets), the latest are shown";
        html += "</figcaption>";
        const std::string svg = HistogramSvg(m);
        html += svg.empty() ? "<p>No numeric values.</p>" : svg;
        html += "</figure>";
    }
    if (aSummary.measurements.size() > shown)
        html += "<p class=\"note\">The histograms of " + std::to_string(aSummary.measurements.size() - shown) +
                " more measurements are in histograms.csv.</p>";
    return html + "</section>";
}

}  // namespace

std::string TitleLine(const Filter& aFilter)
{
    std::string title = "Yield report: ";
    title += aFilter.plan.empty() ? "all plans" : "plan " + aFilter.plan;
    title += aFilter.station.empty() ? ", all stations" : ", station " + aFilter.station;
    if (!aFilter.from.empty()) title += ", from " + aFilter.from;
    if (!aFilter.to.empty()) title += (aFilter.from.empty() ? ", up to " : " to ") + aFilter.to;
    if (aFilter.from.empty() && aFilter.to.empty()) title += ", all times";
    return title;
}

std::string Page(const Summary& aSummary, const Filter& aFilter)
{
    const std::string title = Html(TitleLine(aFilter));
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<link rel=\"icon\" href=\"data:,\"><title>" +
                       title + "</title><style>" + kStyle + "</style></head>\n<body><h1>" + title + "</h1>\n";
    html += YieldSection(aSummary) + "\n";
    html += ParetoSection(aSummary.fail, "FAIL", "the unit's faults") + "\n";
    html += ParetoSection(aSummary.error, "ERROR", "the station's faults") + "\n";
    html += MeasurementSection(aSummary) + "\n";
    html += "<p class=\"note\">The figures are also in summary.csv, pareto.csv, measurements.csv and "
            "histograms.csv beside this page.</p></body></html>\n";
    return html;
}

}  // namespace station::report
