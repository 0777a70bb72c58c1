// The sequence one worker runs on one DUT: the plan's steps in order through
// the public library, the address taken from the store only after the tests
// passed, written, read back and committed, and a record of every step.
#ifndef NVT_STATION_DUT_H
#define NVT_STATION_DUT_H

#include "address.h"
#include "plan.h"
#include "records.h"
#include "store.h"

#include <csignal>
#include <functional>
#include <string>

namespace station {

struct DutJob {
    const Plan* plan = nullptr;
    int slot = 0;
    std::string transport;
    std::string binDir;
    std::string storeUrl;
    bool repair = false;
    Owner owner;
    // Set from a signal handler: the operator stopped the run.
    const volatile std::sig_atomic_t* abort = nullptr;
    // Progress for the parent: the step that starts now.
    std::function<void(const std::string&)> onStep;
    // The address taken for this DUT, and that the store no longer needs the
    // parent to scrap it (committed or scrapped by the worker).
    std::function<void(const Address&)> onReserved;
    std::function<void()> onSettled;
};

// Runs the plan on one DUT and returns its record, which starts as aBase
// (run, station, operator, file hashes) and gains the steps and outcome.
Record RunDut(const DutJob& aJob, Record aBase);

// Whether a library text says the device's NVM is erased: the only case in
// which the station writes the golden image without --repair.
bool IsBlankDeviceText(const std::string& aText);

}  // namespace station

#endif
