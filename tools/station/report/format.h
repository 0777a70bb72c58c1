// How the report writes numbers and texts: CSV numbers exact and
// locale-independent, shorter numbers for people, and text made safe for
// HTML (and SVG inside it) and for CSV cells.
#ifndef NVT_STATION_REPORT_FORMAT_H
#define NVT_STATION_REPORT_FORMAT_H

#include <optional>
#include <string>

namespace station::report {

// The shortest text that reads back as the same double ("0.1", "2.5e+300");
// "" for none. Never depends on the locale.
std::string CsvNumber(const std::optional<double>& aValue);
// aDigits significant digits for people ("2.402e+09", "0.1235").
std::string ShownNumber(double aValue, int aDigits = 4);
// A fraction as a percentage with one decimal ("97.5 %").
std::string Percent(double aFraction);

// Text as HTML: control characters as \xNN, then & < > " ' as references.
std::string Html(const std::string& aText);
// Text as a CSV cell: control characters as \xNN, formulas defused, quoted
// when it must be.
std::string CsvText(const std::string& aText);
// The first aChars characters of UTF-8 text, and "..." when it has more.
std::string Shortened(const std::string& aText, std::size_t aChars);

}  // namespace station::report

#endif
