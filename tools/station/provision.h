// The address life cycle of one DUT, in one place: read the device's CS
// (a blank device gets the golden image; a device whose CS cannot be read
// is left alone unless the run repairs), decide its address, write it with
// the plan's keys, read the whole image back, and commit it.
//
// The station does not believe the device. With serials (production), an
// address belongs to a unit: a unit keeps the address bound to its serial
// across retests, repairs and interrupted writes, and a device that holds
// an address of another unit, or one the store never gave out, fails with
// both named. Without serials (bench work), a retest keeps the device's
// address only when its whole CS, apart from the keys the plan writes, is
// the CS committed with that address. A failed write is tried again from
// the image the cache holds before it counts.
#ifndef NVT_STATION_PROVISION_H
#define NVT_STATION_PROVISION_H

#include "csimage.h"
#include "job.h"
#include "records.h"
#include "store.h"

#include "nivoratest.h"

#include <memory>
#include <string>
#include <vector>

namespace station {

class Provisioning {
public:
    // How often a CS write that fails is tried in all.
    static const int kWriteAttempts = 3;

    Provisioning(const DutJob& aJob, Record& aRecord);
    ~Provisioning();
    Provisioning(const Provisioning&) = delete;
    Provisioning& operator=(const Provisioning&) = delete;

    // cs_read: the device's CS into the library's cache.
    StepRecord ReadDevice(NvtHandle aHandle);
    // cs_write: the address and the plan's keys written to the device.
    StepRecord Write(NvtHandle aHandle);
    // read_back: the whole image read from the device and compared with
    // what was written, the keys checked, then the address committed.
    StepRecord ReadBack(NvtHandle aHandle);
    // The DUT's run has ended with the record's outcome: an address taken
    // without a serial and not committed is scrapped with it.
    void End();
    // A key value this DUT's run found (a calibration): written at cs_write
    // with the plan's keys, in place of the plan's value of that key.
    void SetKey(const std::string& aName, uint32_t aOffset, const std::vector<uint16_t>& aWords);

private:
    Store* OpenedStore(StepRecord& aStep);
    // Which address the device gets: false with the step failed (aStep).
    bool ChooseAddress(NvtHandle aHandle, Store& aStore, StepRecord& aStep);
    // The local store's answer, or with leases the central store's for an
    // address or serial the local one does not know (then kept locally).
    bool LookupAnywhere(Store& aStore, const Address& aAddress, AddressInfo& aInfo, bool& aFound, std::string& aError);
    bool SerialAnywhere(Store& aStore, const std::string& aSerial, AddressInfo& aInfo, bool& aFound, std::string& aError);
    Store* Central(std::string& aError);
    bool Refuse(Store& aStore, StepRecord& aStep, const std::string& aEvent, const std::string& aText);
    // The cache saved and read back as words (the file is removed).
    bool CacheImage(NvtHandle aHandle, const std::string& aName, std::vector<uint16_t>& aWords, std::string& aError);
    // The keys written: the plan's, with the values this run found.
    std::vector<PlanKey> Keys() const;
    // The keys a digest leaves out: the address and the keys written.
    std::vector<KeySpan> WrittenKeys() const;
    void Scrap(const std::string& aReason);

    const DutJob& mJob;
    const Plan& mPlan;
    Record& mRecord;
    std::unique_ptr<Store> mStore;  // opened at the first use, once per worker
    std::unique_ptr<Store> mCentral;  // with leases, opened when first needed
    std::string mCentralError;
    std::string mTempDir;           // this worker's images, removed at the end
    bool mFresh = false;            // the cache holds the golden image
    bool mHasHeld = false;          // the device held an address when read
    Address mHeld;
    Address mAddress;
    std::string mState;             // the address's state in the store when chosen
    bool mTaken = false;            // chosen, and neither committed nor scrapped yet
    std::vector<uint16_t> mWritten; // the image written to the device
    std::vector<PlanKey> mFound;    // key values this run found (SetKey)
};

// Whether a library text says the device's NVM is erased: the only case in
// which the station writes the golden image without --repair.
bool IsBlankDeviceText(const std::string& aText);

}  // namespace station

#endif
