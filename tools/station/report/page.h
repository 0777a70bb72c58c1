// The report as one HTML page: inline CSS and SVG, no scripts and nothing
// loaded from elsewhere, laid out for a screen, a phone and paper.
#ifndef NVT_STATION_REPORT_PAGE_H
#define NVT_STATION_REPORT_PAGE_H

#include "report/report.h"

#include <string>

namespace station::report {

// The filter as the page's title line, e.g. "Yield report: plan line3,
// all stations, from 2026-03-01 to 2026-03-08".
std::string TitleLine(const Filter& aFilter);

std::string Page(const Summary& aSummary, const Filter& aFilter);

// The page lists the most frequent texts of a Pareto and draws the
// histograms of the first measurements only, so that odd input (a text or
// a measurement name per unit) cannot make it unreadable; the CSV files
// hold them all.
constexpr std::size_t kPageTexts = 20;
constexpr std::size_t kPageHistograms = 500;

}  // namespace station::report

#endif
