// The report's plots as inline SVG (no scripts, no fonts or files from
// elsewhere): a measurement's histogram with its limits and marginal band
// drawn, and a Pareto of failing steps. Each scales to the width it is
// given, so a phone shows it whole.
#ifndef NVT_STATION_REPORT_PLOTS_H
#define NVT_STATION_REPORT_PLOTS_H

#include "report/report.h"

#include <string>

namespace station::report {

// The histogram of a measurement; "" when it has no finite value.
std::string HistogramSvg(const MeasurementStats& aStats);
// The Pareto's steps as horizontal bars with their cumulative share;
// "" when it counts no attempt. aLabel names the plot for screen readers.
std::string ParetoSvg(const Pareto& aPareto, const std::string& aLabel);

// How many steps the Pareto plot shows; the rest are in pareto.csv.
constexpr std::size_t kParetoBars = 15;

}  // namespace station::report

#endif
