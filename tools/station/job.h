// What one worker needs to run a plan on one DUT.
#ifndef NVT_STATION_JOB_H
#define NVT_STATION_JOB_H

#include "address.h"
#include "plan.h"
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

}  // namespace station

#endif
