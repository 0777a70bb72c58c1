// The station's outbox: every record goes here first, durably (a local
// SQLite file in the results folder, synced), and leaves it once the store
// holds it. A store that is away (a server restart, a network outage) then
// loses nothing: what is pending is stored by the next run or by
// "station sync", exactly once (the store keeps one record per run and
// slot).
#ifndef NVT_STATION_OUTBOX_H
#define NVT_STATION_OUTBOX_H

#include "sql.h"
#include "store.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace station {

struct PendingRecord {
    int64_t id = 0;
    std::string runId;
    std::string station;
    int slot = 0;
    std::string address;
    std::string outcome;
    std::string body;
};

// What became of a record handed on: taken, not now (kept, tried again
// later), or refused for good (set aside with the reason, never sent again).
enum class Delivery { Done, Retry, Rejected };

class Outbox {
public:
    // The outbox file of a results folder.
    static std::string PathIn(const std::string& aResultsDir);
    // Opens (and on first use makes) the outbox at aPath.
    static std::unique_ptr<Outbox> Open(const std::string& aPath, std::string& aError);

    explicit Outbox(std::unique_ptr<SqlConnection> aSql, const std::string& aPath);
    const std::string& Path() const { return mPath; }

    // Keeps a record until the store has it; synced before it returns.
    bool Add(const PendingRecord& aRecord, int64_t& aId, std::string& aError);
    // Hands every pending record to aStore: those it keeps leave the
    // outbox. aStored and aLeft count them; aLastError is the store's last
    // refusal ("" when it took everything).
    bool Upload(Store& aStore, int64_t& aStored, int64_t& aLeft, std::string& aLastError, std::string& aError);
    // Hands the pending records to aDeliver, oldest first: those it takes
    // leave the outbox, those it rejects are set aside; at the first one it
    // does not take now, the rest wait. aDone and aLeft count them.
    using Deliverer = std::function<Delivery(const PendingRecord& aRecord, std::string& aText)>;
    bool Deliver(const Deliverer& aDeliver, int64_t& aDone, int64_t& aLeft, std::string& aLastError, std::string& aError);
    // How many pending records of aSerial ended PASS or FAIL.
    bool Attempts(const std::string& aSerial, int64_t& aCount, std::string& aError);
    // How many records were set aside.
    bool SetAside(int64_t& aCount, std::string& aError);
    bool Count(int64_t& aCount, std::string& aError);
    // The store's last refusal of a pending record ("" when none is pending).
    bool LastRefusal(std::string& aText, std::string& aError);

private:
    std::unique_ptr<SqlConnection> mSql;
    std::string mPath;
};

}  // namespace station

#endif
