// The address store: address ranges, every address given out with its
// state, and the records of every DUT. SQLite (a file, WAL mode) for one
// station; PostgreSQL ("postgresql://...") where several PCs share ranges.
//
// An address is taken in one transaction that moves the range's next LAP
// on and inserts the address under a unique constraint, so it can never be
// handed out twice, whatever processes run at once. It then moves through
// reserved -> written -> verified -> committed, or ends scrapped with a
// reason; a scrapped address is never handed out again.
#ifndef NVT_STATION_STORE_H
#define NVT_STATION_STORE_H

#include "address.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace station {

struct RangeInfo {
    int64_t id = 0;
    uint16_t nap = 0;
    uint8_t uap = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t next = 0;      // next LAP to try; last + 1 when used up
    int64_t taken = 0;      // addresses handed out from the range
    int64_t committed = 0;
};

struct Owner {
    std::string runId;
    std::string station;
    int slot = 0;
};

// Outcome of Reserve: an address, the range is used up, or a store failure.
enum class ReserveResult { Ok, UsedUp, Failed };

struct StoredRecord {
    std::string body;  // the JSON object
};

class Store {
public:
    virtual ~Store() = default;
    // Adds a range; refused when it overlaps one the store holds.
    virtual bool AddRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError) = 0;
    virtual bool ListRanges(std::vector<RangeInfo>& aRanges, std::string& aError) = 0;
    virtual ReserveResult Reserve(uint16_t aNap, uint8_t aUap, const Owner& aOwner, Address& aAddress,
                                  std::string& aError) = 0;
    // Moves an address on: "written", "verified", "committed" or "scrapped"
    // (with a reason). A committed or scrapped address does not move again.
    bool SetState(const Address& aAddress, const std::string& aState, const std::string& aReason,
                  std::string& aError);
    // Puts every address reserved so far on disk; called before an address
    // is written to a device (a reservation itself is not synced, so that
    // many stations can take addresses at once).
    virtual bool MakeDurable(std::string& aError) = 0;
    // The state of an address; empty when the store never gave it out.
    virtual bool StateOf(const Address& aAddress, std::string& aState, std::string& aError) = 0;
    virtual bool AddRecord(const std::string& aRunId, const std::string& aStation, int aSlot,
                           const std::string& aAddress, const std::string& aOutcome, const std::string& aBody,
                           std::string& aError) = 0;
    virtual bool Records(std::vector<StoredRecord>& aRecords, std::string& aError) = 0;
    // Every address the store gave out, for checks: packed address and state.
    virtual bool Addresses(std::vector<std::pair<int64_t, std::string>>& aAddresses, std::string& aError) = 0;

protected:
    // Sets aAddress to aState with aReason where its present state is one of
    // aFrom (an SQL list such as "('reserved')"). The number of addresses
    // changed, or -1 with a text in aError when the store fails.
    virtual int64_t UpdateState(const Address& aAddress, const std::string& aState, const char* aFrom,
                                const std::string& aReason, std::string& aError) = 0;
};

bool IsPostgresUrl(const std::string& aUrl);
// Opens (and on first use creates) the store aUrl names: a PostgreSQL URL,
// else a SQLite file path. Null with a text in aError when it cannot.
std::unique_ptr<Store> OpenStore(const std::string& aUrl, std::string& aError);

// A new store of type Concrete opened on aWhere by its Open; null with a
// text in aError when it cannot be opened.
template <class Concrete>
std::unique_ptr<Store> OpenAs(const std::string& aWhere, std::string& aError)
{
    auto store = std::make_unique<Concrete>();
    if (!store->Open(aWhere, aError)) return nullptr;
    return store;
}
std::unique_ptr<Store> OpenSqliteStore(const std::string& aPath, std::string& aError);
std::unique_ptr<Store> OpenPostgresStore(const std::string& aUrl, std::string& aError);

// The SQL that lists the ranges with their counts, in the column order
// RangeFromColumns reads.
extern const char* const kListRangesSql;
// A range from one row of kListRangesSql; aColumn(i) gives column i.
template <class Column>
RangeInfo RangeFromColumns(Column aColumn)
{
    RangeInfo info;
    info.id = aColumn(0);
    info.nap = static_cast<uint16_t>(aColumn(1));
    info.uap = static_cast<uint8_t>(aColumn(2));
    info.first = static_cast<uint32_t>(aColumn(3));
    info.last = static_cast<uint32_t>(aColumn(4));
    info.next = static_cast<uint32_t>(aColumn(5));
    info.taken = aColumn(6);
    info.committed = aColumn(7);
    return info;
}

// The text for a Reserve that finds every range of NAP:UAP used up.
std::string UsedUpText(uint16_t aNap, uint8_t aUap);

// Checks a new range before it is stored.
bool CheckRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError);
// The UTC time now as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcNow();

}  // namespace station

#endif
