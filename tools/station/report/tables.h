// The report's CSV files: one header row, CRLF line ends, numbers as plain
// numbers that read back exactly, texts with formulas defused.
#ifndef NVT_STATION_REPORT_TABLES_H
#define NVT_STATION_REPORT_TABLES_H

#include "report/report.h"

#include <string>

namespace station::report {

// figure,value,count,of: the yields (value a fraction from 0 to 1, count
// of units passed of units tested), then counts of attempts and units.
std::string SummaryCsv(const Summary& aSummary);
// One row per measurement: its figures, limits, Cp and Cpk.
std::string MeasurementsCsv(const Summary& aSummary);
// outcome,by,step,text,count,share,cumulative: the FAIL and ERROR Paretos
// by step, then by step and text.
std::string ParetoCsv(const Summary& aSummary);
// One row per histogram bin of every measurement.
std::string HistogramsCsv(const Summary& aSummary);

}  // namespace station::report

#endif
