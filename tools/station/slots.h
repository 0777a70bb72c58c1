// The station's side of a run: one worker process per slot (worker.h), a
// live line per slot while they run, Ctrl-C passed on to the workers, and a
// worker that dies turned into an ERROR record with its reserved address
// scrapped.
#ifndef NVT_STATION_SLOTS_H
#define NVT_STATION_SLOTS_H

#include "records.h"
#include "store.h"
#include "worker.h"

#include <csignal>
#include <cstdio>
#include <vector>

namespace station {

// Runs every slot and returns the records in slot order. aStore is the
// station's open store, where a dead worker's address is scrapped.
std::vector<Record> RunSlots(const RunRequest& aRequest, Store* aStore, volatile std::sig_atomic_t* aAbort, std::FILE* aOut);

}  // namespace station

#endif
