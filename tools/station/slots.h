// The station's side of a run: one worker process per slot (worker.h), a
// live line per slot while they run (or one unit on one slot at a time, for
// a station that serves all shift), Ctrl-C passed on to the workers, and a
// worker that dies turned into an ERROR record with its reserved address
// scrapped.
#ifndef NVT_STATION_SLOTS_H
#define NVT_STATION_SLOTS_H

#include "records.h"
#include "store.h"
#include "worker.h"

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace station {

// Runs every slot and returns the records in slot order. aStore is the
// station's open store, where a dead worker's address is scrapped.
std::vector<Record> RunSlots(const RunRequest& aRequest, Store* aStore, volatile std::sig_atomic_t* aAbort, std::FILE* aOut);

// What a worker tells of one unit as it runs: the step that starts, a value
// it measured with its limit ("4.03 dBm [-20 to 10 dBm]"), the address
// going to the device.
struct UnitEvents {
    std::function<void(const std::string&)> onStep;
    std::function<void(const std::string&)> onValue;
    std::function<void(const std::string&)> onAddress;
};

// Runs one unit on slot aSlot of aRequest (its serial at aRequest.serials
// [aSlot - 1]) in a worker of its own and returns its record, an ERROR
// record when the worker died. Once aStopped() is true the worker is asked
// to stop (the unit ends ABORT at its next safe point).
Record RunUnit(const RunRequest& aRequest, int aSlot, Store* aStore, const std::function<bool()>& aStopped,
               const UnitEvents& aEvents);

}  // namespace station

#endif
