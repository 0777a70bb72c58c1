// What one worker needs to run a plan on one DUT.
#ifndef NVT_STATION_JOB_H
#define NVT_STATION_JOB_H

#include "address.h"
#include "instruments/tester.h"
#include "plan.h"
#include "store.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>

namespace station {

struct DutJob {
    const Plan* plan = nullptr;
    int slot = 0;
    std::string transport;
    std::string binDir;
    std::string storeUrl;
    // With leases: storeUrl is the station's local store, and this is the
    // line's central one, asked about an address or serial the local store
    // does not know (a unit tested at another station).
    std::string centralUrl;
    // The unit's serial; empty in a run without serials (--no-serial).
    std::string serial;
    // What the fixture wires to this slot: the PC's UART port (empty: the
    // plan's), the RF tester and the tester's port the DUT is cabled to.
    std::string uart;
    std::optional<TesterSetup> tester;
    int rfPort = 0;
    bool repair = false;
    Owner owner;
    // Set from a signal handler: the operator stopped the run.
    const volatile std::sig_atomic_t* abort = nullptr;
    // Progress for the parent: the step that starts now.
    std::function<void(const std::string&)> onStep;
    // The address taken or kept for this DUT, as it goes to the device.
    // aScrapIfLost: the parent scraps it should the worker die (a run
    // without serials; with serials an address stays its unit's).
    std::function<void(const Address& aAddress, bool aScrapIfLost)> onAddress;
    // The address is committed or scrapped: nothing for the parent to do.
    std::function<void()> onSettled;
    // A value the step running has measured, for the operator's live line.
    std::function<void(const std::string&)> onValue;
};

}  // namespace station

#endif
