// Yield report over a large period: 100,000 records of 4 measurements
// each (about 25,000 units, retests, every outcome), computed alone and
// computed and written (page and CSV files) into a temporary folder.
#include "report/report.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <unistd.h>

namespace {

using station::report::Entry;
using station::report::Measurement;

const std::vector<Entry>& Entries()
{
    static const std::vector<Entry> entries = [] {
        std::mt19937 rng(2026);
        std::uniform_real_distribution<double> uniform(0, 1);
        std::normal_distribution<double> power(4.0, 0.6), offset(2.0, 6.0), polls(20.0, 4.0), current(12.5, 0.3);
        const char* const steps[] = {"tx_power", "rx_count", "xtal_cal", "uart", "aio"};
        std::vector<Entry> out;
        out.reserve(100000);
        for (std::size_t i = 0; i < 100000; ++i) {
            Entry e;
            e.id = "run-" + std::to_string(i / 4) + "/" + std::to_string(i % 4 + 1);
            e.serial = "SN-" + std::to_string(uniform(rng) < 0.2 ? i / 8 : i / 2);
            const long s = static_cast<long>(i) * 7;
            char started[40];
            std::snprintf(started, sizeof started, "2026-03-%02ldT%02ld:%02ld:%02ld.000Z", 1 + s / 86400, s / 3600 % 24,
                          s / 60 % 60, s % 60);
            e.started = started;
            const double how = uniform(rng);
            e.outcome = how < 0.8 ? "PASS" : how < 0.93 ? "FAIL" : how < 0.98 ? "ERROR" : "ABORT";
            if (e.outcome == "FAIL" || e.outcome == "ERROR") {
                e.failingStep = steps[rng() % 5];
                e.text = "value " + std::to_string(rng() % 50) + " is outside the limit";
            }
            e.measurements = {
                {"tx_power", "power", power(rng), "dBm", 0.0, 8.0, 1.0, 7.0, true},
                {"xtal_cal", "offset", offset(rng), "kHz", -20.0, 20.0, {}, {}, true},
                {"tx_burst", "polls", std::round(polls(rng)), "polls", {}, 40.0, {}, 35.0, true},
                {"supply", "current", current(rng), "mA", {}, {}, {}, {}, true},
            };
            out.push_back(std::move(e));
        }
        return out;
    }();
    return entries;
}

void ReportCompute(benchmark::State& aState)
{
    const auto& entries = Entries();
    for (auto _ : aState) benchmark::DoNotOptimize(station::report::Compute(entries));
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * entries.size()));
}

void ReportComputeAndWrite(benchmark::State& aState)
{
    const auto& entries = Entries();
    const std::string dir = (std::filesystem::temp_directory_path() / ("report-bench-" + std::to_string(getpid()))).string();
    std::string error;
    for (auto _ : aState) {
        if (!station::report::Write(entries, {"2026-03-01", "2026-03-10", "ble-final", ""}, dir, error)) {
            aState.SkipWithError(error.c_str());
            break;
        }
    }
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * entries.size()));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(ReportCompute)->Unit(benchmark::kMillisecond);
BENCHMARK(ReportComputeAndWrite)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
