// The PostgreSQL store, for a line where several PCs share address ranges.
// Addresses of one NAP:UAP are taken one at a time under a transaction-level
// advisory lock; the reservation commits without waiting for its log flush
// (synchronous_commit off, so the lock is not held over a disk sync), and
// MakeDurable commits a synced transaction before an address goes to a
// device, which flushes the log past every reservation before it.
#include "store.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>

namespace station {

namespace {

struct ResultDeleter {
    void operator()(PGresult* aResult) const { PQclear(aResult); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS ranges ("
    " id BIGSERIAL PRIMARY KEY, nap INTEGER NOT NULL, uap INTEGER NOT NULL,"
    " first_lap INTEGER NOT NULL, last_lap INTEGER NOT NULL, next_lap INTEGER NOT NULL, created TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS addresses ("
    " address BIGINT NOT NULL UNIQUE, text TEXT NOT NULL, range_id BIGINT NOT NULL REFERENCES ranges(id),"
    " state TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', run_id TEXT NOT NULL, station TEXT NOT NULL,"
    " slot INTEGER NOT NULL, reserved TEXT NOT NULL, updated TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS records ("
    " id BIGSERIAL PRIMARY KEY, run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL,"
    " address TEXT NOT NULL, outcome TEXT NOT NULL, body TEXT NOT NULL);";

// Lock key of the schema set-up and of the reservations of one NAP:UAP.
constexpr long long kSchemaLock = 0x4E565453;  // "NVTS"

class PostgresStore : public Store {
public:
    ~PostgresStore() override
    {
        if (mConn != nullptr) PQfinish(mConn);
    }

    bool Open(const std::string& aUrl, std::string& aError)
    {
        mConn = PQconnectdb(aUrl.c_str());
        if (mConn == nullptr || PQstatus(mConn) != CONNECTION_OK) {
            aError = "cannot connect to the store (" + Message() + ")";
            return false;
        }
        // Notices ("relation already exists, skipping") are not for the operator.
        PQsetNoticeProcessor(mConn, [](void*, const char*) {}, nullptr);
        // Several stations may start on an empty database at once.
        if (!Exec("BEGIN", aError) || !Exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")", aError) ||
            !Exec(kSchema, aError) || !Exec("COMMIT", aError)) {
            Exec("ROLLBACK", aError);
            aError = "cannot use the store (" + Message() + ")";
            return false;
        }
        return true;
    }

    bool AddRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError) override
    {
        if (!CheckRange(aNap, aUap, aFirst, aLast, aError)) return false;
        if (!Exec("BEGIN", aError) || !Exec("SELECT pg_advisory_xact_lock(" + LockKey(aNap, aUap) + ")", aError))
            return Abort(aError);
        Result overlap = Query("SELECT id FROM ranges WHERE nap = $1 AND uap = $2 AND first_lap <= $3 AND last_lap >= $4",
                               {std::to_string(aNap), std::to_string(aUap), std::to_string(aLast), std::to_string(aFirst)});
        if (!Ok(overlap, PGRES_TUPLES_OK, aError)) return Abort(aError);
        if (PQntuples(overlap.get()) > 0) {
            const std::string id = PQgetvalue(overlap.get(), 0, 0);
            Abort(aError);
            aError = "the range overlaps range " + id + " of the store";
            return false;
        }
        Result insert = Query("INSERT INTO ranges (nap, uap, first_lap, last_lap, next_lap, created) VALUES ($1,$2,$3,$4,$5,$6)",
                              {std::to_string(aNap), std::to_string(aUap), std::to_string(aFirst), std::to_string(aLast),
                               std::to_string(NextUsableLap(aFirst)), UtcNow()});
        if (!Ok(insert, PGRES_COMMAND_OK, aError)) return Abort(aError);
        return Exec("COMMIT", aError) || Abort(aError);
    }

    bool ListRanges(std::vector<RangeInfo>& aRanges, std::string& aError) override
    {
        aRanges.clear();
        Result r = Query(kListRangesSql, {});
        if (!Ok(r, PGRES_TUPLES_OK, aError)) return false;
        for (int i = 0; i < PQntuples(r.get()); ++i)
            aRanges.push_back(RangeFromColumns([&](int aColumn) { return Int(r, i, aColumn); }));
        return true;
    }

    ReserveResult Reserve(uint16_t aNap, uint8_t aUap, const Owner& aOwner, Address& aAddress,
                          std::string& aError) override
    {
        if (!Exec("BEGIN", aError) || !Exec("SET LOCAL synchronous_commit = off", aError) ||
            !Exec("SELECT pg_advisory_xact_lock(" + LockKey(aNap, aUap) + ")", aError))
            return Abort(aError), ReserveResult::Failed;
        for (;;) {
            Result range = Query("SELECT id, next_lap, last_lap FROM ranges WHERE nap = $1 AND uap = $2 AND"
                                 " next_lap <= last_lap ORDER BY id LIMIT 1",
                                 {std::to_string(aNap), std::to_string(aUap)});
            if (!Ok(range, PGRES_TUPLES_OK, aError)) return Abort(aError), ReserveResult::Failed;
            if (PQntuples(range.get()) == 0) {
                Exec("COMMIT", aError);
                aError = UsedUpText(aNap, aUap);
                return ReserveResult::UsedUp;
            }
            const std::string id = PQgetvalue(range.get(), 0, 0);
            const uint32_t lap = NextUsableLap(static_cast<uint32_t>(Int(range, 0, 1)));
            const uint32_t last = static_cast<uint32_t>(Int(range, 0, 2));
            if (lap > last) {
                Result used = Query("UPDATE ranges SET next_lap = last_lap + 1 WHERE id = $1", {id});
                if (!Ok(used, PGRES_COMMAND_OK, aError)) return Abort(aError), ReserveResult::Failed;
                continue;
            }
            const Address address{aNap, aUap, lap};
            const std::string now = UtcNow();
            Result insert = Query("INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved, updated)"
                                  " VALUES ($1,$2,$3,'reserved',$4,$5,$6,$7,$8)",
                                  {std::to_string(address.Packed()), address.Text(), id, aOwner.runId, aOwner.station,
                                   std::to_string(aOwner.slot), now, now});
            if (!Ok(insert, PGRES_COMMAND_OK, aError)) return Abort(aError), ReserveResult::Failed;
            Result move = Query("UPDATE ranges SET next_lap = $1 WHERE id = $2", {std::to_string(lap + 1ull), id});
            if (!Ok(move, PGRES_COMMAND_OK, aError)) return Abort(aError), ReserveResult::Failed;
            if (!Exec("COMMIT", aError)) return Abort(aError), ReserveResult::Failed;
            aAddress = address;
            return ReserveResult::Ok;
        }
    }

    int64_t UpdateState(const Address& aAddress, const std::string& aState, const char* aFrom,
                        const std::string& aReason, std::string& aError) override
    {
        Result r = Query(std::string("UPDATE addresses SET state = $1, reason = $2, updated = $3 WHERE address = $4 AND state IN ") + aFrom,
                         {aState, aReason, UtcNow(), std::to_string(aAddress.Packed())});
        if (!Ok(r, PGRES_COMMAND_OK, aError)) return -1;
        return std::strtoll(PQcmdTuples(r.get()), nullptr, 10);
    }

    bool MakeDurable(std::string& aError) override
    {
        // Any synced commit flushes the log past every earlier commit.
        return Exec("BEGIN", aError) && Exec("SELECT txid_current()", aError) && Exec("COMMIT", aError);
    }

    bool StateOf(const Address& aAddress, std::string& aState, std::string& aError) override
    {
        Result r = Query("SELECT state FROM addresses WHERE address = $1", {std::to_string(aAddress.Packed())});
        if (!Ok(r, PGRES_TUPLES_OK, aError)) return false;
        aState = PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
        return true;
    }

    bool AddRecord(const std::string& aRunId, const std::string& aStation, int aSlot, const std::string& aAddress,
                   const std::string& aOutcome, const std::string& aBody, std::string& aError) override
    {
        Result r = Query("INSERT INTO records (run_id, station, slot, address, outcome, body) VALUES ($1,$2,$3,$4,$5,$6)",
                         {aRunId, aStation, std::to_string(aSlot), aAddress, aOutcome, aBody});
        return Ok(r, PGRES_COMMAND_OK, aError);
    }

    bool Records(std::vector<StoredRecord>& aRecords, std::string& aError) override
    {
        aRecords.clear();
        Result r = Query("SELECT body FROM records ORDER BY id", {});
        if (!Ok(r, PGRES_TUPLES_OK, aError)) return false;
        for (int i = 0; i < PQntuples(r.get()); ++i) aRecords.push_back({PQgetvalue(r.get(), i, 0)});
        return true;
    }

    bool Addresses(std::vector<std::pair<int64_t, std::string>>& aAddresses, std::string& aError) override
    {
        aAddresses.clear();
        Result r = Query("SELECT address, state FROM addresses ORDER BY address", {});
        if (!Ok(r, PGRES_TUPLES_OK, aError)) return false;
        for (int i = 0; i < PQntuples(r.get()); ++i) aAddresses.emplace_back(Int(r, i, 0), PQgetvalue(r.get(), i, 1));
        return true;
    }

private:
    std::string Message() const
    {
        std::string text = mConn != nullptr ? PQerrorMessage(mConn) : "out of memory";
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }
    static std::string LockKey(uint16_t aNap, uint8_t aUap)
    {
        return std::to_string(static_cast<long long>(aNap) << 8 | aUap);
    }
    static int64_t Int(const Result& aResult, int aRow, int aColumn)
    {
        return std::strtoll(PQgetvalue(aResult.get(), aRow, aColumn), nullptr, 10);
    }
    Result Query(const std::string& aSql, const std::vector<std::string>& aParams)
    {
        std::vector<const char*> values;
        for (const std::string& p : aParams) values.push_back(p.c_str());
        return Result(PQexecParams(mConn, aSql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.empty() ? nullptr : values.data(), nullptr, nullptr, 0));
    }
    bool Ok(const Result& aResult, ExecStatusType aWanted, std::string& aError)
    {
        if (aResult && PQresultStatus(aResult.get()) == aWanted) return true;
        aError = "store: " + Message();
        return false;
    }
    bool Exec(const std::string& aSql, std::string& aError)
    {
        Result r(PQexec(mConn, aSql.c_str()));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
        aError = "store: " + Message();
        return false;
    }
    bool Abort(std::string& aError)
    {
        std::string ignored;
        const std::string keep = aError;
        if (PQtransactionStatus(mConn) != PQTRANS_IDLE) Exec("ROLLBACK", ignored);
        aError = keep;
        return false;
    }

    PGconn* mConn = nullptr;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& aUrl, std::string& aError)
{
    return OpenAs<PostgresStore>(aUrl, aError);
}

}  // namespace station
