// A station on a line: the line's central store (PostgreSQL, the system of
// record, shared by the line's stations) and the station's local store (a
// SQLite file beside its results) with leases, blocks of addresses taken
// from the central store in one transaction. The station's DUTs take their
// addresses from the local store, so a station keeps testing while the
// server is away, as long as its leases last; every use is reported to the
// central store as soon as it can be, and only then does a lease end.
#ifndef NVT_STATION_LINE_H
#define NVT_STATION_LINE_H

#include "store.h"

#include <memory>
#include <string>

namespace station {

struct LeasePolicy {
    int64_t size = 100;  // addresses per lease (0: no leases, the central store directly)
    int64_t low = 0;     // a new lease is taken when fewer are free (0: the size)
    int hours = 24;      // a lease's time
};

class Line {
public:
    // The local store of a results folder.
    static std::string LocalPath(const std::string& aResultsDir);

    Line(const std::string& aCentralUrl, const std::string& aLocalPath, const std::string& aStation, const LeasePolicy& aPolicy);

    // Opens the local store (made on first use) and tries the central one;
    // false only when the local store cannot be used.
    bool Open(std::string& aError);
    Store& Local() { return *mLocal; }
    const std::string& LocalPathName() const { return mLocalPath; }
    // The central store, or null while it cannot be reached (Error says why).
    Store* Central();
    const std::string& CentralError() const { return mCentralError; }
    // A station that runs all shift asks again for a central store that was
    // away (Central() tries it once).
    void RetryCentral()
    {
        if (!mCentral) mTried = false;
    }

    // Reports every use the central store does not know yet. aLeft: how
    // many are still unreported (the central store away, or refusing one:
    // aProblem says why).
    bool ReportUses(int64_t& aLeft, std::string& aProblem);
    // Takes new leases of NAP:UAP while fewer than aNeeded (at least the
    // policy's low mark) are free locally and the central store is there.
    // A warning text when it could not.
    void Renew(uint16_t aNap, uint8_t aUap, int64_t aNeeded, std::string& aWarning);
    // Reports every use, then gives the unused addresses of every open lease
    // back to the central store and ends the leases. False with a text when
    // a use could not be reported (nothing is given back then).
    bool Return(std::string& aError);

private:
    std::string mCentralUrl, mLocalPath, mStation;
    LeasePolicy mPolicy;
    std::unique_ptr<Store> mLocal;
    std::unique_ptr<Store> mCentral;
    std::string mCentralError;
    bool mTried = false;
};

}  // namespace station

#endif
