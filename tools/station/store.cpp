#include "store.h"

#include "platform.h"
#include "records.h"
#include "text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <unordered_map>

namespace station {

const int Store::kSchemaVersion = 3;

namespace {

// Lock key of the schema set-up and migrations, and of the records.
constexpr int64_t kSchemaLock = 0x4E565453;   // "NVTS"
constexpr int64_t kRecordsLock = 0x4E565452;  // "NVTR"

int64_t LockKey(uint16_t aNap, uint8_t aUap)
{
    return static_cast<int64_t>(aNap) << 8 | aUap;
}

int64_t LockKey(const Address& aAddress)
{
    return LockKey(aAddress.nap, aAddress.uap);
}

// The states an address may move to aState from, as an SQL list; null when
// aState is not one an address can move to.
const char* StatesBefore(const std::string& aState)
{
    return aState == "written"     ? "('reserved')"
           : aState == "verified"  ? "('written')"
           : aState == "committed" ? "('verified')"
           : aState == "scrapped"  ? "('reserved','written','verified')"
                                   : nullptr;
}

// The first version of the tables (a store made before serials were kept).
std::string SchemaVersion1(const char* aAutoId)
{
    const std::string id = aAutoId;
    return "CREATE TABLE IF NOT EXISTS ranges ("
           " id " + id + ", nap INTEGER NOT NULL, uap INTEGER NOT NULL,"
           " first_lap INTEGER NOT NULL, last_lap INTEGER NOT NULL, next_lap INTEGER NOT NULL, created TEXT NOT NULL);"
           "CREATE TABLE IF NOT EXISTS addresses ("
           " address BIGINT NOT NULL UNIQUE, text TEXT NOT NULL, range_id BIGINT NOT NULL REFERENCES ranges(id),"
           " state TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', run_id TEXT NOT NULL, station TEXT NOT NULL,"
           " slot INTEGER NOT NULL, reserved TEXT NOT NULL, updated TEXT NOT NULL);"
           "CREATE TABLE IF NOT EXISTS records ("
           " id " + id + ", run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL,"
           " address TEXT NOT NULL, outcome TEXT NOT NULL, body TEXT NOT NULL);";
}

// Version 2: an address belongs to a serial (one that is not scrapped per
// serial), keeps the digest of the CS it was committed with and a counter
// its synced commits change; every address has a history; a record is
// kept once per run and slot.
std::string SchemaVersion2(const char* aAutoId)
{
    const std::string id = aAutoId;
    return "ALTER TABLE addresses ADD COLUMN serial TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE addresses ADD COLUMN cs_digest TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE addresses ADD COLUMN durable INTEGER NOT NULL DEFAULT 0;"
           "CREATE UNIQUE INDEX addresses_live_serial ON addresses(serial) WHERE serial <> '' AND state <> 'scrapped';"
           "CREATE UNIQUE INDEX records_run_slot ON records(run_id, slot);"
           "CREATE TABLE history ("
           " id " + id + ", at TEXT NOT NULL, address TEXT NOT NULL, serial TEXT NOT NULL, event TEXT NOT NULL,"
           " text TEXT NOT NULL, run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL);"
           "CREATE INDEX history_address ON history(address);"
           "CREATE INDEX history_serial ON history(serial);"
           "CREATE TABLE station_schema (version INTEGER NOT NULL);"
           "INSERT INTO station_schema (version) VALUES (2);";
}

// Version 3: records with the columns people filter by, their
// measurements in a table of their own, and leases (blocks of addresses a
// station takes from a line's central store to keep testing without it).
// Free addresses (a lease returned what it did not use) are handed out
// before a range's next one; an address of a station's local lease store
// is marked until its use is reported to the central store.
std::string SchemaVersion3(const char* aAutoId, const char* aReal)
{
    const std::string id = aAutoId, real = aReal;
    return "ALTER TABLE records ADD COLUMN serial TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE records ADD COLUMN plan_name TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE records ADD COLUMN plan_digest TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE records ADD COLUMN started TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE records ADD COLUMN ended TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE records ADD COLUMN failing_step TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE records ADD COLUMN text TEXT NOT NULL DEFAULT '';"
           "CREATE INDEX records_started ON records(started);"
           "CREATE INDEX records_serial ON records(serial);"
           "CREATE INDEX records_plan ON records(plan_name);"
           "CREATE INDEX records_station ON records(station);"
           "CREATE TABLE measurements ("
           " id " + id + ", record_id BIGINT NOT NULL REFERENCES records(id), step TEXT NOT NULL, name TEXT NOT NULL,"
           " value " + real + " NOT NULL, unit TEXT NOT NULL, low " + real + ", high " + real + ", marginal_low " + real +
           ", marginal_high " + real + ", marginal INTEGER NOT NULL, outcome TEXT NOT NULL);"
           "CREATE INDEX measurements_record ON measurements(record_id);"
           "CREATE INDEX measurements_name ON measurements(step, name);"
           "CREATE TABLE leases ("
           " id " + id + ", station TEXT NOT NULL, nap INTEGER NOT NULL, uap INTEGER NOT NULL, size INTEGER NOT NULL,"
           " taken TEXT NOT NULL, expires TEXT NOT NULL, state TEXT NOT NULL, ended TEXT NOT NULL DEFAULT '');"
           "ALTER TABLE addresses ADD COLUMN lease_id BIGINT NOT NULL DEFAULT 0;"
           "ALTER TABLE addresses ADD COLUMN reported INTEGER NOT NULL DEFAULT 1;"
           "CREATE INDEX addresses_free ON addresses(state, address);"
           "UPDATE station_schema SET version = 3;";
}

// A reservation on a server in one statement: under the lock of its
// NAP:UAP, a free address (a lease gave it back) or the next usable LAP of
// the first range that has one, stored as reserved with its history line.
// The same steps as NextAddress and Reserve; result "ok" with the packed
// address, else "usedup" or "norange".
const char kReserveFunction[] = R"(
CREATE OR REPLACE FUNCTION station_reserve(p_nap BIGINT, p_uap BIGINT, p_run TEXT, p_station TEXT, p_slot BIGINT,
    p_serial TEXT, p_now TEXT, OUT result TEXT, OUT packed BIGINT) LANGUAGE plpgsql AS $fn$
DECLARE
    lo BIGINT := (p_nap << 32) | (p_uap << 24);
    r_id BIGINT;
    lap BIGINT;
    r_last BIGINT;
    txt TEXT;
BEGIN
    PERFORM pg_advisory_xact_lock((p_nap << 8) | p_uap);
    SELECT address INTO packed FROM addresses WHERE state = 'free' AND address >= lo AND address <= lo + 16777215
        ORDER BY address LIMIT 1;
    IF FOUND THEN
        UPDATE addresses SET state = 'reserved', run_id = p_run, station = p_station, slot = p_slot, reserved = p_now,
            updated = p_now, serial = p_serial, reported = 0 WHERE address = packed AND state = 'free' RETURNING text INTO txt;
    ELSE
        LOOP
            SELECT id, next_lap, last_lap INTO r_id, lap, r_last FROM ranges
                WHERE nap = p_nap AND uap = p_uap AND next_lap <= last_lap ORDER BY id LIMIT 1;
            IF NOT FOUND THEN
                result := CASE WHEN EXISTS (SELECT 1 FROM ranges WHERE nap = p_nap AND uap = p_uap)
                               THEN 'usedup' ELSE 'norange' END;
                packed := NULL;
                RETURN;
            END IF;
            IF lap BETWEEN 10390272 AND 10390335 THEN lap := 10390336; END IF;
            IF lap > r_last THEN
                UPDATE ranges SET next_lap = last_lap + 1 WHERE id = r_id;
                CONTINUE;
            END IF;
            UPDATE ranges SET next_lap = lap + 1 WHERE id = r_id;
            packed := lo | lap;
            INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved, updated, serial, reported)
                VALUES (packed, upper(lpad(to_hex(p_nap), 4, '0') || ':' || lpad(to_hex(p_uap), 2, '0') || ':' ||
                        lpad(to_hex(lap), 6, '0')), r_id, 'reserved', p_run, p_station, p_slot, p_now, p_now, p_serial, 0)
                RETURNING text INTO txt;
            EXIT;
        END LOOP;
    END IF;
    INSERT INTO history (at, address, serial, event, text, run_id, station, slot)
        VALUES (p_now, txt, p_serial, 'reserved', '', p_run, p_station, p_slot);
    result := 'ok';
END
$fn$;
)";

std::optional<double> OptionalReal(const SqlRow& aRow, size_t aColumn)
{
    return aRow.IsNull(aColumn) ? std::nullopt : std::optional<double>(aRow.Real(aColumn));
}

SqlValue RealValue(double aValue)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", aValue);
    return SqlValue(std::string(text));
}

SqlValue RealValue(const std::optional<double>& aValue)
{
    return aValue ? RealValue(*aValue) : SqlValue::Null();
}

const char kAddressColumns[] =
    "address, state, reason, serial, cs_digest, run_id, station, slot, reserved, updated, lease_id";

AddressInfo InfoOf(const SqlRow& aRow)
{
    AddressInfo info;
    info.address = Address::FromPacked(aRow.Int(0));
    info.state = aRow.Text(1);
    info.reason = aRow.Text(2);
    info.serial = aRow.Text(3);
    info.digest = aRow.Text(4);
    info.owner = {aRow.Text(5), aRow.Text(6), static_cast<int>(aRow.Int(7))};
    info.reserved = aRow.Text(8);
    info.updated = aRow.Text(9);
    info.leaseId = aRow.Int(10);
    return info;
}

// The LAPs from aFrom to aLast that may be handed out.
int64_t UsableLaps(uint32_t aFrom, uint32_t aLast)
{
    if (aFrom > aLast) return 0;
    int64_t n = static_cast<int64_t>(aLast) - aFrom + 1;
    const uint32_t lo = std::max(aFrom, kReservedLapFirst), hi = std::min(aLast, kReservedLapLast);
    if (lo <= hi) n -= static_cast<int64_t>(hi) - lo + 1;
    return n;
}

}  // namespace

Store::Store(std::unique_ptr<SqlConnection> aSql, const std::string& aName) : mSql(std::move(aSql)), mName(aName) {}

bool Store::Write(int64_t aLockKey, bool aSynced, const std::function<bool(std::string&)>& aBody, std::string& aError)
{
    if (!mSql->BeginWrite(aLockKey, aSynced, aError)) return false;
    if (!aBody(aError)) {
        mSql->Rollback();
        return false;
    }
    return mSql->Commit(aError);
}

bool Store::Prepare(StoreMode aMode, std::string& aError)
{
    // Several stations may start on an empty database at once.
    return Write(
        kSchemaLock, true,
        [&](std::string& aErr) {
            bool hasRanges = false, hasVersion = false;
            if (!mSql->HasTable("ranges", hasRanges, aErr) || !mSql->HasTable("station_schema", hasVersion, aErr))
                return false;
            int version = 1;
            if (!hasRanges) {
                if (aMode == StoreMode::Existing) {
                    aErr = "the store \"" + mName + "\" holds no address store (station addresses add makes one)";
                    return false;
                }
                if (!mSql->Exec(SchemaVersion1(mSql->AutoId()), aErr)) return false;
            } else if (hasVersion) {
                std::vector<SqlRow> rows;
                if (!mSql->Query("SELECT MAX(version) FROM station_schema", {}, &rows, nullptr, aErr)) return false;
                version = rows.empty() ? 1 : static_cast<int>(rows[0].Int(0));
            }
            if (version > kSchemaVersion) {
                aErr = "the store \"" + mName + "\" was made by a newer station (schema " + std::to_string(version) +
                       ", this station knows " + std::to_string(kSchemaVersion) + ")";
                return false;
            }
            return Migrate(version, aErr) && (!mSql->HasFunctions() || PrepareReserveFunction(aErr));
        },
        aError);
}

// Made or replaced only when the server does not hold this very function:
// a station's role may use the station's tables and functions without the
// right to make them (the owner's first run, or addresses add, makes it).
bool Store::PrepareReserveFunction(std::string& aError)
{
    const std::string text = kReserveFunction;
    const size_t from = text.find("$fn$"), to = text.rfind("$fn$");
    const std::string body = text.substr(from + 4, to - from - 4);
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT prosrc FROM pg_proc WHERE proname = 'station_reserve'", {}, &rows, nullptr, aError))
        return false;
    for (const SqlRow& row : rows)
        if (row.Text(0) == body) return true;
    return mSql->Exec(kReserveFunction, aError);
}

bool Store::Migrate(int aFrom, std::string& aError)
{
    if (aFrom < 2 && !mSql->Exec(SchemaVersion2(mSql->AutoId()), aError)) return false;
    if (aFrom < 3) {
        if (!mSql->Exec(SchemaVersion3(mSql->AutoId(), mSql->RealType()), aError)) return false;
        // The records kept before: their columns and measurements from their bodies.
        std::vector<SqlRow> rows;
        if (!mSql->Query("SELECT id, body FROM records ORDER BY id", {}, &rows, nullptr, aError)) return false;
        for (const SqlRow& row : rows) {
            Record r;
            const auto json = nlohmann::json::parse(row.Text(1), nullptr, false);
            if (json.is_discarded() || !FromJson(json, r)) continue;  // kept as it is, body only
            if (!FillRecord(row.Int(0), r, aError)) return false;
        }
    }
    return true;
}

bool Store::FillRecord(int64_t aId, const Record& aRecord, std::string& aError)
{
    if (!mSql->Query("UPDATE records SET serial = ?, plan_name = ?, plan_digest = ?, started = ?, ended = ?, failing_step = ?,"
                     " text = ? WHERE id = ?",
                     {aRecord.serial, aRecord.planName, aRecord.planSha256, aRecord.started, aRecord.ended,
                      FailingStep(aRecord), aRecord.text, aId},
                     nullptr, nullptr, aError))
        return false;
    for (const StepRecord& step : aRecord.steps)
        for (const Measurement& m : step.measurements)
            if (!mSql->Query("INSERT INTO measurements (record_id, step, name, value, unit, low, high, marginal_low,"
                             " marginal_high, marginal, outcome) VALUES (?,?,?,?,?,?,?,?,?,?,?)",
                             {aId, step.name, m.name, RealValue(m.value), m.unit, RealValue(m.low), RealValue(m.high),
                              RealValue(m.marginalLow), RealValue(m.marginalHigh), int64_t(m.marginal ? 1 : 0),
                              std::string(OutcomeText(m.outcome))},
                             nullptr, nullptr, aError))
                return false;
    return true;
}

bool Store::AddRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError)
{
    if (!CheckRange(aNap, aUap, aFirst, aLast, aError)) return false;
    return Write(
        LockKey(aNap, aUap), true,
        [&](std::string& aErr) {
            std::vector<SqlRow> overlap;
            if (!mSql->Query("SELECT id FROM ranges WHERE nap = ? AND uap = ? AND first_lap <= ? AND last_lap >= ?"
                             " ORDER BY id",
                             {int64_t(aNap), int64_t(aUap), int64_t(aLast), int64_t(aFirst)}, &overlap, nullptr, aErr))
                return false;
            if (!overlap.empty()) {
                aErr = "the range overlaps range " + overlap[0].Text(0) + " of the store";
                return false;
            }
            if (UsableLaps(aFirst, aLast) == 0) {
                aErr = "the range lies inside the reserved LAPs 9E8B00 to 9E8B3F and holds no address to hand out";
                return false;
            }
            return mSql->Query("INSERT INTO ranges (nap, uap, first_lap, last_lap, next_lap, created) VALUES (?,?,?,?,?,?)",
                               {int64_t(aNap), int64_t(aUap), int64_t(aFirst), int64_t(aLast),
                                int64_t(NextUsableLap(aFirst)), UtcNow()},
                               nullptr, nullptr, aErr);
        },
        aError);
}

bool Store::ListRanges(std::vector<RangeInfo>& aRanges, std::string& aError)
{
    aRanges.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT r.id, r.nap, r.uap, r.first_lap, r.last_lap, r.next_lap,"
                     " (SELECT COUNT(*) FROM addresses a WHERE a.range_id = r.id),"
                     " (SELECT COUNT(*) FROM addresses a WHERE a.range_id = r.id AND a.state = 'committed')"
                     " FROM ranges r ORDER BY r.id",
                     {}, &rows, nullptr, aError))
        return false;
    for (const SqlRow& r : rows) {
        RangeInfo info;
        info.id = r.Int(0);
        info.nap = static_cast<uint16_t>(r.Int(1));
        info.uap = static_cast<uint8_t>(r.Int(2));
        info.first = static_cast<uint32_t>(r.Int(3));
        info.last = static_cast<uint32_t>(r.Int(4));
        info.next = static_cast<uint32_t>(r.Int(5));
        info.taken = r.Int(6);
        info.committed = r.Int(7);
        aRanges.push_back(info);
    }
    return true;
}

bool Store::Free(uint16_t aNap, uint8_t aUap, int64_t& aFree, int64_t& aRanges, std::string& aError)
{
    std::vector<RangeInfo> ranges;
    if (!ListRanges(ranges, aError)) return false;
    aFree = 0;
    aRanges = 0;
    for (const RangeInfo& r : ranges) {
        if (r.nap != aNap || r.uap != aUap) continue;
        ++aRanges;
        aFree += UsableLaps(r.next, r.last);
    }
    // And the free addresses (of a local lease, or given back by one).
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT COUNT(*) FROM addresses WHERE state = 'free' AND address >= ? AND address <= ?",
                     {Address{aNap, aUap, 0}.Packed(), Address{aNap, aUap, kLapMax}.Packed()}, &rows, nullptr, aError))
        return false;
    aFree += rows.empty() ? 0 : rows[0].Int(0);
    return true;
}

bool Store::NextAddress(uint16_t aNap, uint8_t aUap, bool& aFree, Address& aAddress, int64_t& aRange, ReserveResult& aResult,
                        std::string& aError)
{
    // First an address a lease gave back (never on a device), then the
    // next of the ranges.
    const int64_t lo = Address{aNap, aUap, 0}.Packed(), hi = Address{aNap, aUap, kLapMax}.Packed();
    std::vector<SqlRow> free;
    if (!mSql->Query("SELECT address FROM addresses WHERE state = 'free' AND address >= ? AND address <= ? ORDER BY address LIMIT 1",
                     {lo, hi}, &free, nullptr, aError))
        return false;
    if (!free.empty()) {
        aFree = true;
        aAddress = Address::FromPacked(free[0].Int(0));
        return true;
    }
    aFree = false;
    for (;;) {
        std::vector<SqlRow> range;
        if (!mSql->Query("SELECT id, next_lap, last_lap FROM ranges WHERE nap = ? AND uap = ? AND next_lap <= last_lap"
                         " ORDER BY id LIMIT 1",
                         {int64_t(aNap), int64_t(aUap)}, &range, nullptr, aError))
            return false;
        if (range.empty()) {
            std::vector<SqlRow> any;
            if (!mSql->Query("SELECT COUNT(*) FROM ranges WHERE nap = ? AND uap = ?", {int64_t(aNap), int64_t(aUap)}, &any,
                             nullptr, aError))
                return false;
            aResult = !any.empty() && any[0].Int(0) > 0 ? ReserveResult::UsedUp : ReserveResult::NoRange;
            aError = aResult == ReserveResult::UsedUp ? UsedUpText(aNap, aUap) : NoRangeText(aNap, aUap);
            return false;
        }
        aRange = range[0].Int(0);
        const uint32_t lap = NextUsableLap(static_cast<uint32_t>(range[0].Int(1)));
        const uint32_t last = static_cast<uint32_t>(range[0].Int(2));
        if (lap > last) {
            if (!mSql->Query("UPDATE ranges SET next_lap = last_lap + 1 WHERE id = ?", {aRange}, nullptr, nullptr, aError))
                return false;
            continue;
        }
        if (!mSql->Query("UPDATE ranges SET next_lap = ? WHERE id = ?", {int64_t(lap) + 1, aRange}, nullptr, nullptr, aError))
            return false;
        aAddress = Address{aNap, aUap, lap};
        return true;
    }
}

ReserveResult Store::Reserve(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial,
                             Address& aAddress, std::string& aError)
{
    if (mSql->HasFunctions()) return ReserveOnServer(aNap, aUap, aOwner, aSerial, aAddress, aError);
    return ReserveLocal(aNap, aUap, aOwner, aSerial, false, aAddress, aError);
}

ReserveResult Store::ReserveDurable(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial,
                                    Address& aAddress, std::string& aError)
{
    if (!mSql->HasFunctions()) return ReserveLocal(aNap, aUap, aOwner, aSerial, true, aAddress, aError);
    const ReserveResult result = ReserveOnServer(aNap, aUap, aOwner, aSerial, aAddress, aError);
    if (result != ReserveResult::Ok || MakeDurable(aAddress, aError)) return result;
    // Not on disk, so not for a device: scrapped (never handed out again),
    // unless a serial holds it (the serial's retest gets it back).
    std::string error;
    if (aSerial.empty()) SetState(aAddress, "scrapped", "the store could not sync: " + aError, error);
    return ReserveResult::Failed;
}

ReserveResult Store::ReserveLocal(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial, bool aSynced,
                                  Address& aAddress, std::string& aError)
{
    ReserveResult result = ReserveResult::Failed;
    const bool ok = Write(
        LockKey(aNap, aUap), aSynced,
        [&](std::string& aErr) {
            bool free = false;
            int64_t range = 0;
            Address address;
            if (!NextAddress(aNap, aUap, free, address, range, result, aErr)) return false;
            const std::string now = UtcNow();
            const bool stored =
                free ? mSql->Query("UPDATE addresses SET state = 'reserved', run_id = ?, station = ?, slot = ?, reserved = ?,"
                                   " updated = ?, serial = ?, reported = 0, durable = durable + ? WHERE address = ? AND state = 'free'",
                                   {aOwner.runId, aOwner.station, aOwner.slot, now, now, aSerial, int64_t(aSynced),
                                    address.Packed()},
                                   nullptr, nullptr, aErr)
                     : mSql->Query("INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved,"
                                   " updated, serial, reported, durable) VALUES (?,?,?,'reserved',?,?,?,?,?,?,0,?)",
                                   {address.Packed(), address.Text(), range, aOwner.runId, aOwner.station, aOwner.slot, now,
                                    now, aSerial, int64_t(aSynced)},
                                   nullptr, nullptr, aErr);
            if (!stored) {
                if (!aSerial.empty() && mSql->IsUniqueViolation(aErr))
                    aErr = "the serial " + aSerial + " has an address already (taken at the same time elsewhere)";
                return false;
            }
            if (!AddHistory(address, aSerial, "reserved", "", aOwner, aErr)) return false;
            aAddress = address;
            result = ReserveResult::Ok;
            return true;
        },
        aError);
    return ok ? ReserveResult::Ok : result;
}

ReserveResult Store::ReserveOnServer(uint16_t aNap, uint8_t aUap, const Owner& aOwner, const std::string& aSerial,
                                     Address& aAddress, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT result, packed FROM station_reserve(?, ?, ?, ?, ?, ?, ?)",
                     {int64_t(aNap), int64_t(aUap), aOwner.runId, aOwner.station, aOwner.slot, aSerial, UtcNow()}, &rows,
                     nullptr, aError) ||
        rows.empty()) {
        if (rows.empty() && aError.empty()) aError = "the store's reservation gave no answer";
        if (!aSerial.empty() && mSql->IsUniqueViolation(aError))
            aError = "the serial " + aSerial + " has an address already (taken at the same time elsewhere)";
        return ReserveResult::Failed;
    }
    const std::string result = rows[0].Text(0);
    if (result == "ok") {
        aAddress = Address::FromPacked(rows[0].Int(1));
        return ReserveResult::Ok;
    }
    aError = result == "usedup" ? UsedUpText(aNap, aUap) : NoRangeText(aNap, aUap);
    return result == "usedup" ? ReserveResult::UsedUp : ReserveResult::NoRange;
}

bool Store::TakeLease(uint16_t aNap, uint8_t aUap, const std::string& aStation, int64_t aSize, int aHours,
                      LeaseInfo& aLease, std::vector<Address>& aAddresses, std::string& aError)
{
    aAddresses.clear();
    return Write(
        LockKey(aNap, aUap), true,
        [&](std::string& aErr) {
            const std::string now = UtcNow();
            aLease = LeaseInfo();
            aLease.station = aStation;
            aLease.nap = aNap;
            aLease.uap = aUap;
            aLease.taken = now;
            aLease.expires = UtcIn(std::chrono::hours(aHours));
            aLease.state = "open";
            std::vector<SqlRow> id;
            if (!mSql->Query("INSERT INTO leases (station, nap, uap, size, taken, expires, state) VALUES (?,?,?,?,?,?,'open')"
                             " RETURNING id",
                             {aStation, int64_t(aNap), int64_t(aUap), aSize, now, aLease.expires}, &id, nullptr, aErr) ||
                id.empty())
                return false;
            aLease.id = id[0].Int(0);
            const Owner owner{"lease-" + std::to_string(aLease.id), aStation, 0};
            for (int64_t i = 0; i < aSize; ++i) {
                bool free = false;
                int64_t range = 0;
                Address address;
                ReserveResult result = ReserveResult::Failed;
                std::string why;
                if (!NextAddress(aNap, aUap, free, address, range, result, why)) {
                    if (result == ReserveResult::Failed) {
                        aErr = why;
                        return false;
                    }
                    break;  // the ranges hold no more: a smaller lease
                }
                const bool stored =
                    free ? mSql->Query("UPDATE addresses SET state = 'leased', lease_id = ?, run_id = ?, station = ?, slot = 0,"
                                       " updated = ? WHERE address = ? AND state = 'free'",
                                       {aLease.id, owner.runId, aStation, now, address.Packed()}, nullptr, nullptr, aErr)
                         : mSql->Query("INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved,"
                                       " updated, lease_id) VALUES (?,?,?,'leased',?,?,0,?,?,?)",
                                       {address.Packed(), address.Text(), range, owner.runId, aStation, now, now, aLease.id},
                                       nullptr, nullptr, aErr);
                if (!stored) return false;
                aAddresses.push_back(address);
            }
            if (aAddresses.empty()) {
                aErr = UsedUpText(aNap, aUap);
                return false;
            }
            aLease.size = static_cast<int64_t>(aAddresses.size());
            return mSql->Query("UPDATE leases SET size = ? WHERE id = ?", {aLease.size, aLease.id}, nullptr, nullptr, aErr) &&
                   AddHistory(aAddresses.front(), "", "leased",
                              std::to_string(aAddresses.size()) + " addresses to " + aStation + " (lease " +
                                  std::to_string(aLease.id) + ")",
                              owner, aErr);
        },
        aError);
}

bool Store::AddLeased(const LeaseInfo& aLease, const std::vector<Address>& aAddresses, std::string& aError)
{
    if (aAddresses.empty()) return true;
    return Write(
        LockKey(aLease.nap, aLease.uap), true,
        [&](std::string& aErr) {
            // The lease's addresses as free ones of a range of their own
            // (used up, so only the free addresses are ever handed out).
            uint32_t first = kLapMax, last = 0;
            for (const Address& a : aAddresses) first = std::min(first, a.lap), last = std::max(last, a.lap);
            std::vector<SqlRow> id;
            if (!mSql->Query("INSERT INTO ranges (nap, uap, first_lap, last_lap, next_lap, created) VALUES (?,?,?,?,?,?)"
                             " RETURNING id",
                             {int64_t(aLease.nap), int64_t(aLease.uap), int64_t(first), int64_t(last), int64_t(last) + 1, UtcNow()},
                             &id, nullptr, aErr) ||
                id.empty())
                return false;
            if (!mSql->Query("INSERT INTO leases (id, station, nap, uap, size, taken, expires, state) VALUES (?,?,?,?,?,?,?,'open')",
                             {aLease.id, aLease.station, int64_t(aLease.nap), int64_t(aLease.uap), aLease.size, aLease.taken,
                              aLease.expires},
                             nullptr, nullptr, aErr))
                return false;
            const std::string now = UtcNow();
            for (const Address& a : aAddresses)
                if (!mSql->Query("INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved,"
                                 " updated, lease_id, reported) VALUES (?,?,?,'free',?,?,0,?,?,?,1)",
                                 {a.Packed(), a.Text(), id[0].Int(0), "lease-" + std::to_string(aLease.id), aLease.station,
                                  now, now, aLease.id},
                                 nullptr, nullptr, aErr))
                    return false;
            return true;
        },
        aError);
}

bool Store::Adopt(const AddressInfo& aInfo, std::string& aError)
{
    const Address& a = aInfo.address;
    return Write(
        LockKey(a), true,
        [&](std::string& aErr) {
            std::vector<SqlRow> id;
            return mSql->Query("INSERT INTO ranges (nap, uap, first_lap, last_lap, next_lap, created) VALUES (?,?,?,?,?,?)"
                               " RETURNING id",
                               {int64_t(a.nap), int64_t(a.uap), int64_t(a.lap), int64_t(a.lap), int64_t(a.lap) + 1, UtcNow()},
                               &id, nullptr, aErr) &&
                   !id.empty() &&
                   mSql->Query("INSERT INTO addresses (address, text, range_id, state, reason, serial, cs_digest, run_id,"
                               " station, slot, reserved, updated, lease_id, reported) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,1)",
                               {a.Packed(), a.Text(), id[0].Int(0), aInfo.state, aInfo.reason, aInfo.serial, aInfo.digest,
                                aInfo.owner.runId, aInfo.owner.station, int64_t(aInfo.owner.slot), aInfo.reserved,
                                aInfo.updated, aInfo.leaseId},
                               nullptr, nullptr, aErr);
        },
        aError);
}

bool Store::Unreported(std::vector<AddressInfo>& aUses, std::string& aError)
{
    aUses.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query(std::string("SELECT ") + kAddressColumns + " FROM addresses WHERE reported = 0 ORDER BY address", {},
                     &rows, nullptr, aError))
        return false;
    for (const SqlRow& r : rows) aUses.push_back(InfoOf(r));
    return true;
}

bool Store::MarkReported(const AddressInfo& aUse, std::string& aError)
{
    // Only when nothing changed since it was read: a change in between is
    // reported the next time.
    return mSql->Query("UPDATE addresses SET reported = 1 WHERE address = ? AND state = ? AND serial = ? AND updated = ?",
                       {aUse.address.Packed(), aUse.state, aUse.serial, aUse.updated}, nullptr, nullptr, aError);
}

bool Store::ReportUse(const AddressInfo& aUse, std::string& aError)
{
    // Synced: the station marks the use reported once this returns.
    return Write(
        LockKey(aUse.address), true,
        [&](std::string& aErr) {
            int64_t changed = 0;
            if (!mSql->Query("UPDATE addresses SET state = ?, serial = ?, reason = ?, cs_digest = ?, run_id = ?, station = ?,"
                             " slot = ?, reserved = ?, updated = ? WHERE address = ? AND lease_id = ? AND"
                             " state NOT IN ('committed', 'scrapped', 'free')",
                             {aUse.state, aUse.serial, aUse.reason, aUse.digest, aUse.owner.runId, aUse.owner.station,
                              aUse.owner.slot, aUse.reserved, aUse.updated, aUse.address.Packed(), aUse.leaseId},
                             nullptr, &changed, aErr)) {
                if (mSql->IsUniqueViolation(aErr))
                    aErr = "the serial " + aUse.serial + " has another address in the central store (" + aUse.address.Text() +
                           " was given to it while the server was away)";
                return false;
            }
            if (changed != 1) {
                // Already there (a report repeated after a lost answer) is fine.
                AddressInfo now;
                bool found = false;
                std::string lookup;
                if (Lookup(aUse.address, now, found, lookup) && found && now.state == aUse.state && now.serial == aUse.serial)
                    return true;
                aErr = "the central store does not hold " + aUse.address.Text() + " for lease " + std::to_string(aUse.leaseId);
                return false;
            }
            return AddHistory(aUse.address, aUse.serial, aUse.state, "reported by " + aUse.owner.station, aUse.owner, aErr);
        },
        aError);
}

bool Store::WithdrawFree(int64_t aLease, std::vector<Address>& aFree, std::string& aError)
{
    aFree.clear();
    return Write(
        kSchemaLock, false,
        [&](std::string& aErr) {
            std::vector<SqlRow> rows;
            if (!mSql->Query("SELECT address FROM addresses WHERE lease_id = ? AND state IN ('free', 'returning') ORDER BY address",
                             {aLease}, &rows, nullptr, aErr) ||
                !mSql->Query("UPDATE addresses SET state = 'returning' WHERE lease_id = ? AND state = 'free'", {aLease}, nullptr,
                             nullptr, aErr))
                return false;
            for (const SqlRow& r : rows) aFree.push_back(Address::FromPacked(r.Int(0)));
            return true;
        },
        aError);
}

bool Store::RestoreWithdrawn(int64_t aLease, std::string& aError)
{
    return mSql->Query("UPDATE addresses SET state = 'free' WHERE lease_id = ? AND state = 'returning'", {aLease}, nullptr,
                       nullptr, aError);
}

bool Store::EndLease(int64_t aLease, const std::vector<Address>& aUnused, const std::string& aState, std::string& aError)
{
    if (aUnused.empty() && aState.empty()) return true;
    const Address any = aUnused.empty() ? Address{} : aUnused.front();
    return Write(
        LockKey(any), false,
        [&](std::string& aErr) {
            const std::string now = UtcNow();
            for (const Address& a : aUnused) {
                // Central: a leased address the station never used goes back
                // (handed out again first). Local: it leaves the lease.
                if (!mSql->Query("UPDATE addresses SET state = 'free', lease_id = 0, updated = ? WHERE address = ? AND"
                                 " lease_id = ? AND state IN ('leased', 'free')",
                                 {now, a.Packed(), aLease}, nullptr, nullptr, aErr))
                    return false;
            }
            return aState.empty() ||
                   mSql->Query("UPDATE leases SET state = ?, ended = ? WHERE id = ?", {aState, now, aLease}, nullptr, nullptr, aErr);
        },
        aError);
}

bool Store::DropLocal(int64_t aLease, std::string& aError)
{
    // The local copy of a lease that ended: its free addresses are the
    // central store's again.
    return mSql->Query("DELETE FROM addresses WHERE lease_id = ? AND state IN ('free', 'returning')", {aLease}, nullptr, nullptr,
                       aError) &&
           mSql->Query("UPDATE leases SET state = 'ended', ended = ? WHERE id = ?", {UtcNow(), aLease}, nullptr, nullptr, aError);
}

bool Store::Leases(std::vector<LeaseInfo>& aLeases, std::string& aError)
{
    aLeases.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT l.id, l.station, l.nap, l.uap, l.size, l.taken, l.expires, l.state, l.ended,"
                     " (SELECT COUNT(*) FROM addresses a WHERE a.lease_id = l.id AND a.state IN ('leased', 'free')),"
                     " (SELECT COUNT(*) FROM addresses a WHERE a.lease_id = l.id AND a.state NOT IN ('leased', 'free'))"
                     " FROM leases l ORDER BY l.id",
                     {}, &rows, nullptr, aError))
        return false;
    for (const SqlRow& r : rows) {
        LeaseInfo l;
        l.id = r.Int(0);
        l.station = r.Text(1);
        l.nap = static_cast<uint16_t>(r.Int(2));
        l.uap = static_cast<uint8_t>(r.Int(3));
        l.size = r.Int(4);
        l.taken = r.Text(5);
        l.expires = r.Text(6);
        l.state = r.Text(7);
        l.ended = r.Text(8);
        l.unused = r.Int(9);
        l.used = r.Int(10);
        aLeases.push_back(l);
    }
    return true;
}

bool Store::ReclaimLease(int64_t aLease, std::string& aError)
{
    // A station that never came back: what it did not report may be on a
    // device, so nothing of its lease is handed out again; it is scrapped.
    return Write(
        kSchemaLock, false,
        [&](std::string& aErr) {
            const std::string now = UtcNow();
            return mSql->Query("UPDATE addresses SET state = 'scrapped', reason = ?, updated = ? WHERE lease_id = ? AND"
                               " state NOT IN ('committed', 'scrapped', 'free')",
                               {"lost with lease " + std::to_string(aLease) + " (its uses were never reported)", now, aLease},
                               nullptr, nullptr, aErr) &&
                   mSql->Query("UPDATE leases SET state = 'reclaimed', ended = ? WHERE id = ?", {now, aLease}, nullptr, nullptr,
                               aErr);
        },
        aError);
}

bool Store::SetState(const Address& aAddress, const std::string& aState, const std::string& aReason, std::string& aError)
{
    const char* from = StatesBefore(aState);
    if (from == nullptr) {
        aError = "unknown address state \"" + aState + "\"";
        return false;
    }
    return Write(
        LockKey(aAddress), false,
        [&](std::string& aErr) {
            std::vector<SqlRow> rows;
            if (!mSql->Query("SELECT serial, run_id, station, slot FROM addresses WHERE address = ?", {aAddress.Packed()},
                             &rows, nullptr, aErr))
                return false;
            int64_t changed = 0;
            if (!mSql->Query(std::string("UPDATE addresses SET state = ?, reason = ?, updated = ?, reported = 0 WHERE address = ? AND state IN ") + from,
                             {aState, aReason, UtcNow(), aAddress.Packed()}, nullptr, &changed, aErr))
                return false;
            if (changed != 1 || rows.empty()) {
                aErr = "the address " + aAddress.Text() + " cannot become " + aState + " from its state";
                return false;
            }
            const Owner owner{rows[0].Text(1), rows[0].Text(2), static_cast<int>(rows[0].Int(3))};
            return AddHistory(aAddress, rows[0].Text(0), aState, aReason, owner, aErr);
        },
        aError);
}

bool Store::SetDigest(const Address& aAddress, const std::string& aDigest, std::string& aError)
{
    return Write(
        LockKey(aAddress), false,
        [&](std::string& aErr) {
            return mSql->Query("UPDATE addresses SET cs_digest = ?, updated = ?, reported = 0 WHERE address = ?",
                               {aDigest, UtcNow(), aAddress.Packed()}, nullptr, nullptr, aErr);
        },
        aError);
}

bool Store::MakeDurable(const Address& aAddress, std::string& aError)
{
    // The address's own row changes (its counter), so the commit has a page
    // (SQLite) or a log record (PostgreSQL) to put on disk, and syncs it
    // with every commit before it.
    return Write(
        LockKey(aAddress), true,
        [&](std::string& aErr) {
            int64_t changed = 0;
            if (!mSql->Query("UPDATE addresses SET durable = durable + 1 WHERE address = ?", {aAddress.Packed()}, nullptr,
                             &changed, aErr))
                return false;
            if (changed != 1) aErr = "the store does not hold the address " + aAddress.Text();
            return changed == 1;
        },
        aError);
}

bool Store::Lookup(const Address& aAddress, AddressInfo& aInfo, bool& aFound, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query(std::string("SELECT ") + kAddressColumns + " FROM addresses WHERE address = ?", {aAddress.Packed()},
                     &rows, nullptr, aError))
        return false;
    aFound = !rows.empty();
    if (aFound) aInfo = InfoOf(rows[0]);
    return true;
}

bool Store::AddressOfSerial(const std::string& aSerial, AddressInfo& aInfo, bool& aFound, std::string& aError)
{
    std::vector<SqlRow> rows;
    aFound = false;
    if (aSerial.empty()) return true;
    if (!mSql->Query(std::string("SELECT ") + kAddressColumns + " FROM addresses WHERE serial = ? AND state <> 'scrapped'",
                     {aSerial}, &rows, nullptr, aError))
        return false;
    aFound = !rows.empty();
    if (aFound) aInfo = InfoOf(rows[0]);
    return true;
}

bool Store::BindSerial(const Address& aAddress, const std::string& aSerial, std::string& aError)
{
    return Write(
        LockKey(aAddress), false,
        [&](std::string& aErr) {
            int64_t changed = 0;
            std::vector<SqlRow> rows;
            if (!mSql->Query("SELECT run_id, station, slot FROM addresses WHERE address = ? AND serial = ''",
                             {aAddress.Packed()}, &rows, nullptr, aErr) ||
                !mSql->Query("UPDATE addresses SET serial = ?, updated = ?, reported = 0 WHERE address = ? AND serial = ''",
                             {aSerial, UtcNow(), aAddress.Packed()}, nullptr, &changed, aErr)) {
                if (mSql->IsUniqueViolation(aErr)) aErr = "the serial " + aSerial + " has another address";
                return false;
            }
            if (changed != 1 || rows.empty()) {
                aErr = "the address " + aAddress.Text() + " belongs to a serial already";
                return false;
            }
            const Owner owner{rows[0].Text(0), rows[0].Text(1), static_cast<int>(rows[0].Int(2))};
            return AddHistory(aAddress, aSerial, "bound", "bound to its serial when retested", owner, aErr);
        },
        aError);
}

bool Store::StateOf(const Address& aAddress, std::string& aState, std::string& aError)
{
    AddressInfo info;
    bool found = false;
    if (!Lookup(aAddress, info, found, aError)) return false;
    aState = found ? info.state : "";
    return true;
}

bool Store::Unsettled(std::vector<AddressInfo>& aAddresses, std::string& aError)
{
    aAddresses.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query(std::string("SELECT ") + kAddressColumns +
                         " FROM addresses WHERE state IN ('reserved','written','verified') ORDER BY address",
                     {}, &rows, nullptr, aError))
        return false;
    for (const SqlRow& r : rows) aAddresses.push_back(InfoOf(r));
    return true;
}

bool Store::AddHistory(const Address& aAddress, const std::string& aSerial, const std::string& aEvent,
                       const std::string& aText, const Owner& aOwner, std::string& aError)
{
    return mSql->Query("INSERT INTO history (at, address, serial, event, text, run_id, station, slot) VALUES (?,?,?,?,?,?,?,?)",
                       {UtcNow(), aAddress.Text(), aSerial, aEvent, aText, aOwner.runId, aOwner.station, aOwner.slot},
                       nullptr, nullptr, aError);
}

bool Store::Note(const Address& aAddress, const std::string& aSerial, const std::string& aEvent, const std::string& aText,
                 const Owner& aOwner, std::string& aError)
{
    return Write(
        LockKey(aAddress), false, [&](std::string& aErr) { return AddHistory(aAddress, aSerial, aEvent, aText, aOwner, aErr); },
        aError);
}

bool Store::History(const std::string& aAddress, const std::string& aSerial, std::vector<HistoryEntry>& aEntries,
                    std::string& aError)
{
    aEntries.clear();
    std::vector<SqlRow> rows;
    std::string sql = "SELECT at, address, serial, event, text, run_id, station, slot FROM history";
    std::vector<SqlValue> params;
    if (!aAddress.empty()) {
        sql += " WHERE address = ?";
        params.push_back(aAddress);
    }
    if (!aSerial.empty()) {
        sql += params.empty() ? " WHERE serial = ?" : " AND serial = ?";
        params.push_back(aSerial);
    }
    if (!mSql->Query(sql + " ORDER BY id", params, &rows, nullptr, aError)) return false;
    for (const SqlRow& r : rows)
        aEntries.push_back({r.Text(0), r.Text(1), r.Text(2), r.Text(3), r.Text(4),
                            Owner{r.Text(5), r.Text(6), static_cast<int>(r.Int(7))}});
    return true;
}

bool Store::AddRecord(const Record& aRecord, std::string& aError)
{
    // One transaction: the record, its columns and its measurements, or
    // nothing; a record the store holds already (its run and slot) is kept once.
    // Synced: the outbox forgets a record once the store took it.
    return Write(
        kRecordsLock, true,
        [&](std::string& aErr) {
            std::vector<SqlRow> rows;
            if (!mSql->Query("INSERT INTO records (run_id, station, slot, address, outcome, body) VALUES (?,?,?,?,?,?)"
                             " ON CONFLICT (run_id, slot) DO NOTHING RETURNING id",
                             {aRecord.runId, aRecord.station, aRecord.slot, aRecord.address,
                              std::string(OutcomeText(aRecord.outcome)), JsonText(aRecord)},
                             &rows, nullptr, aErr))
                return false;
            return rows.empty() || FillRecord(rows[0].Int(0), aRecord, aErr);
        },
        aError);
}

namespace {

// " WHERE ..." of a filter, with its parameters. A "to" day covers the
// whole day: "2026-12-10" holds everything started that day.
std::string Where(const RecordFilter& aFilter, std::vector<SqlValue>& aParams, const std::string& aTable = "")
{
    std::string where;
    auto add = [&](const std::string& aClause, const std::string& aValue) {
        where += (where.empty() ? " WHERE " : " AND ") + aTable + aClause;
        aParams.push_back(aValue);
    };
    if (!aFilter.from.empty()) add("started >= ?", aFilter.from);
    if (!aFilter.to.empty()) add("started <= ?", aFilter.to + "\x7f");
    if (!aFilter.plan.empty()) add("plan_name = ?", aFilter.plan);
    if (!aFilter.station.empty()) add("station = ?", aFilter.station);
    return where;
}

}  // namespace

bool Store::Attempts(const std::string& aSerial, int64_t& aCount, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT COUNT(*) FROM records WHERE serial = ? AND outcome IN ('PASS', 'FAIL')", {aSerial}, &rows, nullptr,
                     aError))
        return false;
    aCount = rows.empty() ? 0 : rows[0].Int(0);
    return true;
}

bool Store::Records(const RecordFilter& aFilter, std::vector<StoredRecord>& aRecords, std::string& aError)
{
    aRecords.clear();
    std::vector<SqlValue> params;
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT body FROM records" + Where(aFilter, params) + " ORDER BY id", params, &rows, nullptr, aError))
        return false;
    for (const SqlRow& r : rows) aRecords.push_back({r.Text(0)});
    return true;
}

bool Store::Rows(const RecordFilter& aFilter, std::vector<RecordRow>& aRows, std::string& aError)
{
    aRows.clear();
    std::vector<SqlValue> params;
    const std::string where = Where(aFilter, params);
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT id, run_id, station, slot, serial, address, plan_name, plan_digest, outcome, started, ended,"
                     " failing_step, text FROM records" + where + " ORDER BY id",
                     params, &rows, nullptr, aError))
        return false;
    std::unordered_map<int64_t, size_t> index;
    for (const SqlRow& r : rows) {
        RecordRow row;
        row.id = r.Int(0);
        row.runId = r.Text(1);
        row.station = r.Text(2);
        row.slot = static_cast<int>(r.Int(3));
        row.serial = r.Text(4);
        row.address = r.Text(5);
        row.planName = r.Text(6);
        row.planDigest = r.Text(7);
        row.outcome = r.Text(8);
        row.started = r.Text(9);
        row.ended = r.Text(10);
        row.failingStep = r.Text(11);
        row.text = r.Text(12);
        index[row.id] = aRows.size();
        aRows.push_back(std::move(row));
    }
    std::vector<SqlRow> values;
    std::vector<SqlValue> joined;
    if (!mSql->Query("SELECT m.record_id, m.step, m.name, m.value, m.unit, m.low, m.high, m.marginal_low, m.marginal_high,"
                     " m.marginal, m.outcome FROM measurements m JOIN records r ON r.id = m.record_id" +
                         Where(aFilter, joined, "r.") + " ORDER BY m.id",
                     joined, &values, nullptr, aError))
        return false;
    for (const SqlRow& v : values) {
        auto it = index.find(v.Int(0));
        if (it == index.end()) continue;
        Measurement m;
        m.name = v.Text(2);
        m.value = v.Real(3);
        m.unit = v.Text(4);
        m.low = OptionalReal(v, 5);
        m.high = OptionalReal(v, 6);
        m.marginalLow = OptionalReal(v, 7);
        m.marginalHigh = OptionalReal(v, 8);
        m.marginal = v.Int(9) != 0;
        OutcomeFromText(v.Text(10), m.outcome);
        aRows[it->second].measurements.emplace_back(v.Text(1), m);
    }
    return true;
}

bool Store::Records(std::vector<StoredRecord>& aRecords, std::string& aError)
{
    aRecords.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT body FROM records ORDER BY id", {}, &rows, nullptr, aError)) return false;
    for (const SqlRow& r : rows) aRecords.push_back({r.Text(0)});
    return true;
}

bool Store::Addresses(std::vector<std::pair<int64_t, std::string>>& aAddresses, std::string& aError)
{
    aAddresses.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT address, state FROM addresses ORDER BY address", {}, &rows, nullptr, aError)) return false;
    for (const SqlRow& r : rows) aAddresses.emplace_back(r.Int(0), r.Text(1));
    return true;
}

bool IsPostgresUrl(const std::string& aUrl)
{
    return aUrl.rfind("postgresql://", 0) == 0 || aUrl.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> OpenStore(const std::string& aUrl, StoreMode aMode, std::string& aError)
{
    if (aUrl.empty()) {
        aError = "no store given";
        return nullptr;
    }
    std::unique_ptr<SqlConnection> sql =
        IsPostgresUrl(aUrl) ? OpenPostgres(aUrl, aError) : OpenSqlite(aUrl, aMode == StoreMode::Create, aError);
    if (!sql) {
        aError = RedactSecret(aError, aUrl);
        return nullptr;
    }
    auto store = std::make_unique<Store>(std::move(sql), RedactUrl(aUrl));
    if (!store->Prepare(aMode, aError)) {
        if (aError.rfind("the store", 0) != 0) aError = "cannot use the store (" + aError + ")";
        aError = RedactSecret(aError, aUrl);
        return nullptr;
    }
    return store;
}

bool CheckRange(uint16_t, uint8_t, uint32_t aFirst, uint32_t aLast, std::string& aError)
{
    if (aFirst > kLapMax || aLast > kLapMax) {
        aError = "a LAP has 24 bits (0 to 0xFFFFFF)";
        return false;
    }
    if (aFirst > aLast) {
        aError = "the first LAP is above the last";
        return false;
    }
    return true;
}

std::string UsedUpText(uint16_t aNap, uint8_t aUap)
{
    return "the address ranges of " + Address{aNap, aUap, 0}.Text().substr(0, 7) + " are used up";
}

std::string NoRangeText(uint16_t aNap, uint8_t aUap)
{
    return "the store has no address range of " + Address{aNap, aUap, 0}.Text().substr(0, 7) +
           " (station addresses add gives it one)";
}

std::string UtcIn(std::chrono::seconds aFromNow)
{
    const auto then = std::chrono::system_clock::now() + aFromNow;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(then);
    const std::tm utc = UtcTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string UtcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm utc = UtcTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

}  // namespace station
