// Several DUTs at once: one worker process per slot (the library keeps
// process-wide state and takes no locks, so two DUTs never share a
// process). The parent shows one live line per slot, passes Ctrl-C on to
// the workers, and turns a worker that dies into an ERROR record with its
// reserved address scrapped.
#ifndef NVT_STATION_WORKER_H
#define NVT_STATION_WORKER_H

#include "plan.h"
#include "records.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace station {

struct RunRequest {
    const Plan* plan = nullptr;
    std::vector<std::string> duts;  // transport per slot
    std::string storeUrl;
    std::string binDir;
    bool repair = false;
    Record base;                    // what every record of the run shares
    bool live = false;              // redraw one line per slot (a terminal)
};

// Runs every slot and returns the records in slot order.
std::vector<Record> RunSlots(const RunRequest& aRequest, volatile std::sig_atomic_t* aAbort, std::FILE* aOut);

}  // namespace station

#endif
