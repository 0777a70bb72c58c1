// The worker's side of a run: one worker process per slot (the library
// keeps process-wide state and takes no locks, so two DUTs never share a
// process) runs the plan on its DUT and reports what happens in lines. The
// station's side of the same pipe is slots.h.
#ifndef NVT_STATION_WORKER_H
#define NVT_STATION_WORKER_H

#include "instruments/tester.h"
#include "plan.h"
#include "records.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct RunRequest {
    const Plan* plan = nullptr;
    std::vector<std::string> duts;  // transport per slot
    std::vector<std::string> serials;  // serial per slot; none in a run without serials
    std::vector<std::string> uarts;    // the fixture's UART port per slot (empty: the plan's)
    std::vector<int> rfPorts;          // the tester's RF port per slot (0: none)
    std::optional<TesterSetup> tester;  // the bench's RF tester
    std::string storeUrl;
    std::string centralUrl;  // with leases: the line's central store
    std::string binDir;
    bool repair = false;
    Record base;                    // what every record of the run shares
    bool live = false;              // redraw one line per slot (a terminal)
};

// The worker's side: runs slot aSlot and reports on aSend, one line at a
// time without its newline: "S step" as a step starts, "V text" with a value
// the step measured (and its limit), "A address" when an
// address the station must scrap should the worker die goes to the device,
// "B address" when the address going to the device stays the unit's
// whatever happens, "C" once the worker has settled it, and last
// "J record" with the record as JSON.
void RunWorker(const RunRequest& aRequest, int aSlot, const std::function<void(const std::string&)>& aSend,
               const volatile std::sig_atomic_t* aAbort);

// What a worker started as a program of its own needs of its request for
// slot aSlot, as one JSON line, and back. The worker reads the plan again
// and refuses it when it is no longer the file the run started with.
std::string WorkerRequestLine(const RunRequest& aRequest, int aSlot);
struct WorkerRequest {
    WorkerRequest() = default;
    WorkerRequest(const WorkerRequest&) = delete;
    WorkerRequest& operator=(const WorkerRequest&) = delete;
    Plan plan;
    RunRequest request;  // plan points at the plan above; duts[slot - 1] is the slot's transport
    int slot = 0;
};
bool ParseWorkerRequest(const std::string& aLine, WorkerRequest& aRequest, std::string& aError);
// A worker started as a program: runs the request aLine, or reports an
// ERROR record of why it cannot, on aSend as RunWorker does.
void RunRequestedWorker(const std::string& aLine, const std::function<void(const std::string&)>& aSend,
                        const volatile std::sig_atomic_t* aAbort);

// An ERROR record of slot aSlot from the run's aBase: ended now, with one
// step aStep ("worker" when empty) that failed with aText.
Record ErrorRecord(const Record& aBase, int aSlot, const std::string& aTransport, const std::string& aStep,
                   const std::string& aText);

}  // namespace station

#endif
