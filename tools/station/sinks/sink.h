// Where records go: one interface for every output of a run, each in a
// file of its own, and the one list (sinks.cpp) that says which a run
// writes, in order. A sink takes every DUT's final record as it comes, and
// the whole run at its end; the closing line of a run names what each sink
// wrote.
#ifndef NVT_STATION_SINKS_SINK_H
#define NVT_STATION_SINKS_SINK_H

#include "records.h"
#include "store.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace station {

class Sink {
public:
    virtual ~Sink() = default;
    // How the closing line names what this sink wrote; empty for none.
    virtual std::string Name() const = 0;
    // One DUT's final record. False with a text when it could not be kept.
    virtual bool Add(const Record& aRecord, std::string& aError) = 0;
    // The run has ended with aRecords (in slot order). False with a text.
    virtual bool Close(const std::vector<Record>& aRecords, std::string& aError) = 0;
};

// What the sinks of a run write to.
struct SinkTargets {
    Store* store = nullptr;        // the station's open store
    std::string storeAway;         // with no store: why it cannot be reached (records wait in the outbox)
    std::string storeName;         // as the operator named it (--db)
    std::string resultsDir;        // records.jsonl and the run's JUnit file
    std::string runId;             // names the run's JUnit file: junit-RUN.xml
    std::string suiteName;         // the run's name in JUnit XML
    std::FILE* console = nullptr;  // one line per DUT at the end
};

// The sinks of a run, in the order they are written: the store, JSON
// Lines, JUnit XML, the console.
std::vector<std::unique_ptr<Sink>> RunSinks(const SinkTargets& aTargets);

// Hands every record to every sink, then closes them. A record or file that
// cannot be kept is reported on aErrors; false when anything was not kept.
bool KeepRecords(const std::vector<std::unique_ptr<Sink>>& aSinks, const std::vector<Record>& aRecords,
                 std::FILE* aErrors);
// "records: " and the names of what the sinks wrote.
std::string ClosingLine(const std::vector<std::unique_ptr<Sink>>& aSinks);

// aStore null: the store is away (aAway says why); records wait in the outbox.
std::unique_ptr<Sink> StoreSink(Store* aStore, const std::string& aName, const std::string& aOutbox, const std::string& aAway);
std::unique_ptr<Sink> JsonLinesSink(const std::string& aPath);
std::unique_ptr<Sink> JunitSink(const std::string& aPath, const std::string& aSuiteName);
std::unique_ptr<Sink> ConsoleSink(std::FILE* aOut);

// The formats behind the file sinks.
// Appends one line with one write and syncs it. False with a text.
bool AppendJsonLine(const std::string& aPath, const nlohmann::json& aJson, std::string& aError);
// Writes the records of a run as one JUnit test suite per slot.
bool WriteJunit(const std::string& aPath, const std::string& aSuiteName, const std::vector<Record>& aRecords,
                std::string& aError);

}  // namespace station

#endif
