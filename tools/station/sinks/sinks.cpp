#include "sinks/sink.h"

#include "outbox.h"
#include "text.h"

#include <filesystem>

namespace station {

std::vector<std::unique_ptr<Sink>> RunSinks(const SinkTargets& aTargets)
{
    const std::filesystem::path results(aTargets.resultsDir);
    std::vector<std::unique_ptr<Sink>> sinks;
    if (aTargets.store != nullptr || !aTargets.storeAway.empty())
        sinks.push_back(StoreSink(aTargets.store, aTargets.storeName, Outbox::PathIn(aTargets.resultsDir), aTargets.storeAway));
    sinks.push_back(JsonLinesSink((results / "records.jsonl").string()));
    // One JUnit file per run: runs and stations sharing a results folder
    // never overwrite each other's.
    sinks.push_back(JunitSink((results / ("junit-" + aTargets.runId + ".xml")).string(), aTargets.suiteName));
    if (aTargets.console != nullptr) sinks.push_back(ConsoleSink(aTargets.console));
    return sinks;
}

bool KeepRecords(const std::vector<std::unique_ptr<Sink>>& aSinks, const std::vector<Record>& aRecords,
                 std::FILE* aErrors)
{
    bool kept = true;
    std::string error;
    for (const Record& r : aRecords) {
        for (const auto& sink : aSinks) {
            if (!sink->Add(r, error)) {
                std::fprintf(aErrors, "station: ERROR: slot %d: %s\n", r.slot, TerminalSafe(error).c_str());
                kept = false;
            }
        }
    }
    for (const auto& sink : aSinks) {
        if (!sink->Close(aRecords, error)) {
            std::fprintf(aErrors, "station: ERROR: %s\n", TerminalSafe(error).c_str());
            kept = false;
        }
    }
    return kept;
}

std::string ClosingLine(const std::vector<std::unique_ptr<Sink>>& aSinks)
{
    std::string line = "records:";
    const char* separator = " ";
    for (const auto& sink : aSinks) {
        const std::string name = sink->Name();
        if (name.empty()) continue;
        line += separator + name;
        separator = ", ";
    }
    return line;
}

}  // namespace station
