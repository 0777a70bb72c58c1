#include "report/report.h"

#include "platform.h"
#include "report/page.h"
#include "report/tables.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace station::report {

bool Write(const std::vector<Entry>& aEntries, const Filter& aFilter, const std::string& aOutDir, std::string& aError)
{
    std::error_code ec;
    std::filesystem::create_directories(aOutDir, ec);
    if (ec || !std::filesystem::is_directory(aOutDir, ec)) {
        aError = "cannot make the report folder \"" + aOutDir + "\"" + (ec ? " (" + ec.message() + ")" : "");
        return false;
    }
    const Summary summary = Compute(aEntries);
    // The page last: it is written only once the files it points to are.
    const std::pair<const char*, std::string> files[] = {
        {"summary.csv", SummaryCsv(summary)},
        {"measurements.csv", MeasurementsCsv(summary)},
        {"pareto.csv", ParetoCsv(summary)},
        {"histograms.csv", HistogramsCsv(summary)},
        {"index.html", Page(summary, aFilter)},
    };
    for (const auto& [name, contents] : files) {
        if (!WriteFileAtomically((std::filesystem::path(aOutDir) / name).string(), contents, aError)) return false;
    }
    return true;
}

}  // namespace station::report
