// The address store: address ranges, every address given out with its
// state and the serial of the unit it belongs to, the history of every
// address, and the records of every DUT. SQLite (a file, WAL mode) for one
// station; PostgreSQL ("postgresql://...") where several PCs share ranges.
// One implementation over both (sql.h).
//
// An address is taken in one transaction that moves the range's next LAP
// on and inserts the address under a unique constraint, so it can never be
// handed out twice, whatever processes run at once. It then moves through
// reserved -> written -> verified -> committed, or ends scrapped with a
// reason; a scrapped address is never handed out again. An address taken
// for a serial stays that serial's: a unit has at most one address that is
// not scrapped (a unique constraint again), and its retests get it back.
#ifndef NVT_STATION_STORE_H
#define NVT_STATION_STORE_H

#include "address.h"
#include "records.h"
#include "sql.h"

#include <chrono>
#include <cstdint>
#include <functional>
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

// What the store knows of one address it gave out.
struct AddressInfo {
    Address address;
    std::string state;   // reserved, written, verified, committed or scrapped
    std::string reason;  // why it was scrapped
    std::string serial;  // the unit it belongs to; empty for a run without serials
    std::string digest;  // of the CS committed with it (a run without serials)
    Owner owner;         // who took it
    std::string reserved;
    std::string updated;
    int64_t leaseId = 0; // the lease it belongs to (0: none)
};

// A block of addresses a station took from the central store.
struct LeaseInfo {
    int64_t id = 0;
    std::string station;
    uint16_t nap = 0;
    uint8_t uap = 0;
    int64_t size = 0;
    std::string taken, expires;
    std::string state;   // open, ended, reclaimed
    std::string ended;
    int64_t unused = 0;  // not yet used (leased, or free in a local store)
    int64_t used = 0;    // reported used (central) or used (local)
};

// One line of an address's history.
struct HistoryEntry {
    std::string at;
    std::string address;
    std::string serial;
    std::string event;  // a state it moved to, or what a station found
    std::string text;
    Owner owner;
};

// Outcome of Reserve: an address, the ranges are used up, the store has no
// range of that NAP:UAP, or a store failure.
enum class ReserveResult { Ok, UsedUp, NoRange, Failed };

// Whether OpenStore may make a new store.
enum class StoreMode { Existing, Create };

struct StoredRecord {
    std::string body;  // the JSON object
};

// Which records a query or an export covers: started from/to (UTC text, a
// prefix like "2026-12-10" is a day), a plan's name, a station. Empty: any.
struct RecordFilter {
    std::string from, to, plan, station;
};

// A record as its columns hold it, with its measurements.
struct RecordRow {
    int64_t id = 0;
    std::string runId, station, serial, address, planName, planDigest, outcome, started, ended, failingStep, text;
    int slot = 0;
    std::vector<std::pair<std::string, Measurement>> measurements;  // (step, measurement)
};

class Store {
public:
    explicit Store(std::unique_ptr<SqlConnection> aSql, const std::string& aName);

    // Makes or brings up to date the tables (in one transaction).
    bool Prepare(StoreMode aMode, std::string& aError);

    // Adds a range; refused when it overlaps one the store holds or lies
    // wholly inside the inquiry access codes.
    bool AddRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError);
    bool ListRanges(std::vector<RangeInfo>& aRanges, std::string& aError);
    // How many addresses of NAP:UAP can still be handed out; false with a
    // text when the store cannot say. aRanges: how many ranges it has.
    bool Free(uint16_t aNap, uint8_t aUap, int64_t& aFree, int64_t& aRanges, std::string& aError);
    // Takes a new address, bound to aSerial when it is not empty (a serial
    // that already has one that is not scrapped is refused: Failed).
    ReserveResult Reserve(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial,
                          Address& aAddress, std::string& aError);
    ReserveResult Reserve(uint16_t aNap, uint8_t aUap, const Owner& aOwner, Address& aAddress, std::string& aError)
    {
        return Reserve(aNap, aUap, aOwner, "", aAddress, aError);
    }
    // Reserve, with the reservation on disk when it returns, as an address
    // must be before it goes to a device: one synced transaction where the
    // store allows (SQLite), else the reservation and then MakeDurable.
    ReserveResult ReserveDurable(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial,
                                 Address& aAddress, std::string& aError);
    // Leases. The central store gives a station aSize addresses of
    // NAP:UAP for aHours (synced: the station may hand them out at once).
    bool TakeLease(uint16_t aNap, uint8_t aUap, const std::string& aStation, int64_t aSize, int aHours, LeaseInfo& aLease,
                   std::vector<Address>& aAddresses, std::string& aError);
    // A station's local store keeps them, free for its DUTs.
    bool AddLeased(const LeaseInfo& aLease, const std::vector<Address>& aAddresses, std::string& aError);
    // Local: the addresses whose use the central store does not know yet,
    // and, once it does, that it does.
    bool Unreported(std::vector<AddressInfo>& aUses, std::string& aError);
    bool MarkReported(const AddressInfo& aUse, std::string& aError);
    // Central: a station's use of a leased address (a report repeated is fine).
    bool ReportUse(const AddressInfo& aUse, std::string& aError);
    // Local: the addresses of a lease not used yet, taken out of the DUTs'
    // reach in one transaction (a run of the station at the same time must
    // not take one while it goes back to the central store).
    bool WithdrawFree(int64_t aLease, std::vector<Address>& aFree, std::string& aError);
    // Local: what WithdrawFree took is free again (it could not go back).
    bool RestoreWithdrawn(int64_t aLease, std::string& aError);
    // Central: the unused addresses of a lease go back (and are handed out
    // again first); the lease ends with aState ("ended"). Only after every
    // use of the lease is reported.
    bool EndLease(int64_t aLease, const std::vector<Address>& aUnused, const std::string& aState, std::string& aError);
    // Local: a lease that ended leaves the local store.
    bool DropLocal(int64_t aLease, std::string& aError);
    // Local: an address the central store gave out elsewhere (a unit tested
    // at another station comes here for its retest), as the central store
    // knows it; its changes are reported like a leased address's.
    bool Adopt(const AddressInfo& aInfo, std::string& aError);
    bool Leases(std::vector<LeaseInfo>& aLeases, std::string& aError);
    // Central: a lease of a station that never came back ends; what it did
    // not report is scrapped, never handed out again.
    bool ReclaimLease(int64_t aLease, std::string& aError);

    // Moves an address on: "written", "verified", "committed" or "scrapped"
    // (with a reason). A committed or scrapped address does not move again.
    bool SetState(const Address& aAddress, const std::string& aState, const std::string& aReason,
                  std::string& aError);
    // Keeps the digest of the CS a device was committed with.
    bool SetDigest(const Address& aAddress, const std::string& aDigest, std::string& aError);
    // Puts aAddress and every address reserved before it on disk; called
    // before an address is written to a device (a reservation itself is not
    // synced, so that many stations can take addresses at once).
    bool MakeDurable(const Address& aAddress, std::string& aError);
    // What the store knows of an address; aFound false when it never gave it out.
    bool Lookup(const Address& aAddress, AddressInfo& aInfo, bool& aFound, std::string& aError);
    // The address of a serial that is not scrapped; aFound false when it has none.
    bool AddressOfSerial(const std::string& aSerial, AddressInfo& aInfo, bool& aFound, std::string& aError);
    // Binds an address given out without a serial to aSerial (a unit
    // programmed before serials were kept).
    bool BindSerial(const Address& aAddress, const std::string& aSerial, std::string& aError);
    // The state of an address; empty when the store never gave it out.
    bool StateOf(const Address& aAddress, std::string& aState, std::string& aError);
    // Addresses taken and neither committed nor scrapped (left by a station
    // or worker that was killed, or kept for a unit that will be retested).
    bool Unsettled(std::vector<AddressInfo>& aAddresses, std::string& aError);
    // What happened to an address or to a serial, oldest first (both empty: everything).
    bool History(const std::string& aAddress, const std::string& aSerial, std::vector<HistoryEntry>& aEntries,
                 std::string& aError);
    // Notes what a station found (a device with an address that is not its).
    bool Note(const Address& aAddress, const std::string& aSerial, const std::string& aEvent, const std::string& aText,
              const Owner& aOwner, std::string& aError);
    // Keeps a record, its columns (run, station, slot, serial, address,
    // plan name and digest, outcome, times, failing step and text) and its
    // measurements; a record the store already holds (its run and slot) is
    // kept once.
    bool AddRecord(const Record& aRecord, std::string& aError);
    bool Records(std::vector<StoredRecord>& aRecords, std::string& aError);
    // How many times a unit was tested: the records of aSerial that ended
    // PASS or FAIL (an ERROR is the station's, an ABORT the operator's).
    bool Attempts(const std::string& aSerial, int64_t& aCount, std::string& aError);
    bool Records(const RecordFilter& aFilter, std::vector<StoredRecord>& aRecords, std::string& aError);
    // The records aFilter covers, by their columns, with their measurements.
    bool Rows(const RecordFilter& aFilter, std::vector<RecordRow>& aRows, std::string& aError);
    // Every address the store gave out, for checks: packed address and state.
    bool Addresses(std::vector<std::pair<int64_t, std::string>>& aAddresses, std::string& aError);

    // The schema version this program writes.
    static const int kSchemaVersion;

private:
    bool Write(int64_t aLockKey, bool aSynced, const std::function<bool(std::string&)>& aBody, std::string& aError);
    bool AddHistory(const Address& aAddress, const std::string& aSerial, const std::string& aEvent,
                    const std::string& aText, const Owner& aOwner, std::string& aError);
    bool PrepareReserveFunction(std::string& aError);
    bool Migrate(int aFrom, std::string& aError);
    // Reserve in one statement on a server (its SQL function).
    ReserveResult ReserveLocal(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial, bool aSynced,
                               Address& aAddress, std::string& aError);
    ReserveResult ReserveOnServer(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial,
                                  Address& aAddress, std::string& aError);
    // The next address of NAP:UAP to hand out: a free one (aFree), else the
    // next of a range (aRange, moved on). False with aResult and a text.
    bool NextAddress(uint16_t aNap, uint8_t aUap, bool& aFree, Address& aAddress, int64_t& aRange, ReserveResult& aResult,
                     std::string& aError);
    bool FillRecord(int64_t aId, const Record& aRecord, std::string& aError);

    std::unique_ptr<SqlConnection> mSql;
    std::string mName;
};

bool IsPostgresUrl(const std::string& aUrl);
// Opens the store aUrl names (a PostgreSQL URL, else a SQLite file path),
// making it with StoreMode::Create. Null with a text in aError.
std::unique_ptr<Store> OpenStore(const std::string& aUrl, StoreMode aMode, std::string& aError);

// The text for a Reserve that finds every range of NAP:UAP used up.
std::string UsedUpText(uint16_t aNap, uint8_t aUap);
// The text for a store without a range of NAP:UAP.
std::string NoRangeText(uint16_t aNap, uint8_t aUap);

// Checks a new range before it is stored.
bool CheckRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError);
// The UTC time now as "YYYY-MM-DDTHH:MM:SS.mmmZ", and in aFromNow.
std::string UtcNow();
std::string UtcIn(std::chrono::seconds aFromNow);

}  // namespace station

#endif
