// What a batch run and a long-running station share before the first DUT:
// a run id, the library's version, name checks, what the plan needs of the
// bench and of the line, the store (or, with a postgresql:// store, the
// local lease store and the central one), and the fields every record of
// the run shares.
#ifndef NVT_STATION_OPENING_H
#define NVT_STATION_OPENING_H

#include "fixture.h"
#include "line.h"
#include "plan.h"
#include "records.h"
#include "store.h"
#include "worker.h"

#include <memory>
#include <string>

namespace station {

// A new run id: UTC time, process id and a random part.
std::string NewRunId();
// The library's version as "a.b.c.d".
std::string LibraryVersion();
// A name that goes into records and onto terminals holds no control
// characters (a serial scanned with a stray escape, a name pasted with a
// line break).
bool HasControl(const std::string& aText);

// What the plan needs of the bench: a tester and an RF port for every slot
// when it has RF steps, a UART port for every slot when it has a uart step.
// "" when it has it.
std::string CheckBench(const Plan& aPlan, const Fixture& aFixture);
// What the plan needs of the line: free addresses for every slot, a
// results folder that takes files, the folders of the UART ports. "" when
// all is there.
std::string CheckLine(const Plan& aPlan, Store& aStore, const Fixture& aFixture, const std::string& aResults,
                      const std::string& aBinDir);

// The store a station runs on: the store aDb names, or with a postgresql://
// store and leases, the local lease store renewed from the central one.
struct RunStore {
    std::unique_ptr<Store> store;  // without leases
    std::unique_ptr<Line> line;    // with leases
    std::string leaseWarning;      // why the leases could not be renewed ("" when they were)
    bool Leased() const { return line != nullptr; }
    // The store the DUTs take their addresses from.
    Store& Addresses() { return line ? line->Local() : *store; }
    // Where records go: null while the central store cannot be reached.
    Store* Records() { return line ? line->Central() : store.get(); }
    // The store URL the workers open.
    std::string WorkerUrl(const std::string& aDb) const { return line ? line->LocalPathName() : aDb; }
};
// Opens the store for aSlots slots and checks the line (CheckLine). False
// with a text; warnings go to stderr.
bool OpenRunStore(const std::string& aDb, const std::string& aResults, const std::string& aStation,
                  const LeasePolicy& aLease, const Plan& aPlan, const Fixture& aFixture, const std::string& aBinDir,
                  RunStore& aStore, std::string& aError);
// Reports the uses of leased addresses the central store does not know yet;
// a warning on stderr (ending with aLater) when some are left.
void ReportUsesOrWarn(Line& aLine, const std::string& aLater);

// The request of a run on every slot of aFixture, its workers on the
// store aStores gives them (no serials, no base record yet).
RunRequest SlotsRequest(const Plan& aPlan, const Fixture& aFixture, const RunStore& aStores, const std::string& aDb,
                        const std::string& aBinDir, bool aRepair);

// What every record of a run shares.
Record BaseRecord(const Plan& aPlan, const std::string& aRunId, const std::string& aStation, const std::string& aOperator);

}  // namespace station

#endif
