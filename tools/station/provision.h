// The address life cycle of one DUT, in one place: read the device's CS
// (a blank device gets the golden image; a device whose CS cannot be read
// is left alone unless the run repairs), take an address (or keep the one
// a retested device holds), write it with the plan's keys, read it back,
// and commit it, or scrap it with the reason when anything on the way
// fails. The measurement sequence calls it through the three CS steps and
// ends it when the DUT's run ends.
#ifndef NVT_STATION_PROVISION_H
#define NVT_STATION_PROVISION_H

#include "job.h"
#include "records.h"
#include "store.h"

#include "nivoratest.h"

#include <memory>
#include <string>

namespace station {

class Provisioning {
public:
    Provisioning(const DutJob& aJob, Record& aRecord);
    Provisioning(const Provisioning&) = delete;
    Provisioning& operator=(const Provisioning&) = delete;

    // cs_read: the device's CS into the library's cache.
    StepRecord ReadDevice(NvtHandle aHandle);
    // cs_write: the address and the plan's keys written to the device.
    StepRecord Write(NvtHandle aHandle);
    // read_back: what was written read from the device and compared, then
    // the address committed.
    StepRecord ReadBack(NvtHandle aHandle);
    // The DUT's run has ended with the record's outcome: an address taken
    // and not committed is scrapped with it.
    void End();

private:
    Store* OpenedStore(StepRecord& aStep);
    void Scrap(const std::string& aReason);

    const DutJob& mJob;
    const Plan& mPlan;
    Record& mRecord;
    std::unique_ptr<Store> mStore;  // opened at the first use, once per worker
    bool mFresh = false;            // the cache holds the golden image
    bool mHasHeld = false;          // the device held an address when read
    Address mHeld;
    Address mAddress;
    bool mReserved = false;         // taken from the store, not yet committed or scrapped
};

// Whether a library text says the device's NVM is erased: the only case in
// which the station writes the golden image without --repair.
bool IsBlankDeviceText(const std::string& aText);

}  // namespace station

#endif
