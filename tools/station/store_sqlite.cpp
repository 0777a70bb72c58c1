// The SQLite store: one file in WAL mode, so readers never wait for the
// writer. Reservations are not synced one by one (synchronous=NORMAL);
// MakeDurable commits one synced transaction, which syncs the write-ahead
// log with every commit before it, before an address goes to a device. What a device holds is therefore always on
// disk, and a power cut can only lose reservations no device ever saw.
// Several processes share the file; a writer that finds it locked retries
// every 50-200 us for up to 30 s.
#include "store.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace station {

namespace {

constexpr auto kBusyLimit = std::chrono::seconds(30);

int BusyHandler(void* aStart, int aCount)
{
    auto* start = static_cast<std::chrono::steady_clock::time_point*>(aStart);
    if (aCount == 0) *start = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::now() - *start > kBusyLimit) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(aCount < 20 ? 50 : 200));
    return 1;
}

class Statement {
public:
    Statement(sqlite3* aDb, const char* aSql) { mRc = sqlite3_prepare_v2(aDb, aSql, -1, &mStmt, nullptr); }
    ~Statement() { sqlite3_finalize(mStmt); }
    bool ok() const { return mRc == SQLITE_OK; }
    Statement& Bind(int aIndex, int64_t aValue)
    {
        sqlite3_bind_int64(mStmt, aIndex, aValue);
        return *this;
    }
    Statement& Bind(int aIndex, const std::string& aValue)
    {
        sqlite3_bind_text(mStmt, aIndex, aValue.c_str(), static_cast<int>(aValue.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return sqlite3_step(mStmt); }
    void Reset() { sqlite3_reset(mStmt); }
    int64_t Int(int aColumn) { return sqlite3_column_int64(mStmt, aColumn); }
    std::string Text(int aColumn)
    {
        const unsigned char* text = sqlite3_column_text(mStmt, aColumn);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }

private:
    sqlite3_stmt* mStmt = nullptr;
    int mRc = SQLITE_ERROR;
};

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS ranges ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, nap INTEGER NOT NULL, uap INTEGER NOT NULL,"
    " first_lap INTEGER NOT NULL, last_lap INTEGER NOT NULL, next_lap INTEGER NOT NULL, created TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS addresses ("
    " address INTEGER NOT NULL UNIQUE, text TEXT NOT NULL, range_id INTEGER NOT NULL REFERENCES ranges(id),"
    " state TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', run_id TEXT NOT NULL, station TEXT NOT NULL,"
    " slot INTEGER NOT NULL, reserved TEXT NOT NULL, updated TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS records ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL,"
    " address TEXT NOT NULL, outcome TEXT NOT NULL, body TEXT NOT NULL);";

class SqliteStore : public Store {
public:
    ~SqliteStore() override { sqlite3_close(mDb); }

    bool Open(const std::string& aPath, std::string& aError)
    {
        mPath = aPath;
        if (sqlite3_open_v2(aPath.c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            aError = "cannot open the store \"" + aPath + "\" (" + (mDb ? sqlite3_errmsg(mDb) : "out of memory") + ")";
            return false;
        }
        sqlite3_busy_handler(mDb, BusyHandler, &mBusyStart);
        sqlite3_extended_result_codes(mDb, 1);
        if (!Exec("PRAGMA journal_mode=WAL", aError) || !Exec("PRAGMA synchronous=NORMAL", aError) ||
            !Exec("PRAGMA foreign_keys=ON", aError) || !Exec(kSchema, aError)) {
            aError = "cannot use the store \"" + aPath + "\" (" + aError + ")";
            return false;
        }
        return true;
    }

    bool AddRange(uint16_t aNap, uint8_t aUap, uint32_t aFirst, uint32_t aLast, std::string& aError) override
    {
        if (!CheckRange(aNap, aUap, aFirst, aLast, aError)) return false;
        if (!Exec("BEGIN IMMEDIATE", aError)) return false;
        Statement overlap(mDb, "SELECT id FROM ranges WHERE nap = ? AND uap = ? AND first_lap <= ? AND last_lap >= ?");
        overlap.Bind(1, aNap).Bind(2, aUap).Bind(3, aLast).Bind(4, aFirst);
        const int rc = overlap.Step();
        if (rc == SQLITE_ROW) {
            overlap.Reset();
            Rollback();
            aError = "the range overlaps range " + std::to_string(overlap.Int(0)) + " of the store";
            return false;
        }
        if (rc != SQLITE_DONE) return Failed(aError);
        Statement insert(mDb, "INSERT INTO ranges (nap, uap, first_lap, last_lap, next_lap, created) VALUES (?,?,?,?,?,?)");
        insert.Bind(1, aNap).Bind(2, aUap).Bind(3, aFirst).Bind(4, aLast).Bind(5, NextUsableLap(aFirst)).Bind(6, UtcNow());
        if (insert.Step() != SQLITE_DONE) return Failed(aError);
        return Exec("COMMIT", aError) || Failed(aError);
    }

    bool ListRanges(std::vector<RangeInfo>& aRanges, std::string& aError) override
    {
        aRanges.clear();
        Statement s(mDb, kListRangesSql);
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW)
            aRanges.push_back(RangeFromColumns([&](int aColumn) { return s.Int(aColumn); }));
        return rc == SQLITE_DONE || Error(aError);
    }

    ReserveResult Reserve(uint16_t aNap, uint8_t aUap, const Owner& aOwner, Address& aAddress,
                          std::string& aError) override
    {
        if (!Exec("BEGIN IMMEDIATE", aError)) return ReserveResult::Failed;
        for (;;) {
            Statement range(mDb,
                            "SELECT id, next_lap, last_lap FROM ranges WHERE nap = ? AND uap = ? AND next_lap <= last_lap"
                            " ORDER BY id LIMIT 1");
            range.Bind(1, aNap).Bind(2, aUap);
            const int rc = range.Step();
            if (rc == SQLITE_DONE) {
                Exec("COMMIT", aError);
                aError = UsedUpText(aNap, aUap);
                return ReserveResult::UsedUp;
            }
            if (rc != SQLITE_ROW) return Failed(aError), ReserveResult::Failed;
            const int64_t id = range.Int(0);
            const uint32_t lap = NextUsableLap(static_cast<uint32_t>(range.Int(1)));
            const uint32_t last = static_cast<uint32_t>(range.Int(2));
            range.Reset();
            if (lap > last) {
                Statement used(mDb, "UPDATE ranges SET next_lap = last_lap + 1 WHERE id = ?");
                used.Bind(1, id);
                if (used.Step() != SQLITE_DONE) return Failed(aError), ReserveResult::Failed;
                continue;
            }
            Address address{aNap, aUap, lap};
            const std::string now = UtcNow();
            Statement insert(mDb,
                             "INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved, updated)"
                             " VALUES (?,?,?,'reserved',?,?,?,?,?)");
            insert.Bind(1, address.Packed()).Bind(2, address.Text()).Bind(3, id).Bind(4, aOwner.runId)
                .Bind(5, aOwner.station).Bind(6, aOwner.slot).Bind(7, now).Bind(8, now);
            Statement move(mDb, "UPDATE ranges SET next_lap = ? WHERE id = ?");
            move.Bind(1, static_cast<int64_t>(lap) + 1).Bind(2, id);
            if (insert.Step() != SQLITE_DONE || move.Step() != SQLITE_DONE) return Failed(aError), ReserveResult::Failed;
            if (!Exec("COMMIT", aError)) return Failed(aError), ReserveResult::Failed;
            aAddress = address;
            return ReserveResult::Ok;
        }
    }

    int64_t UpdateState(const Address& aAddress, const std::string& aState, const char* aFrom,
                        const std::string& aReason, std::string& aError) override
    {
        const std::string sql = std::string("UPDATE addresses SET state = ?, reason = ?, updated = ? WHERE address = ? AND state IN ") + aFrom;
        Statement s(mDb, sql.c_str());
        s.Bind(1, aState).Bind(2, aReason).Bind(3, UtcNow()).Bind(4, aAddress.Packed());
        if (s.Step() != SQLITE_DONE) {
            Error(aError);
            return -1;
        }
        return sqlite3_changes(mDb);
    }

    bool MakeDurable(std::string& aError) override
    {
        // A commit under synchronous=FULL syncs the log, and with it every
        // commit before it. (Opening the database files here to sync them
        // would drop this process's locks on them when closed.)
        const bool ok = Exec("PRAGMA synchronous=FULL", aError) && Exec("BEGIN IMMEDIATE", aError) &&
                        Exec("UPDATE ranges SET created = created WHERE id = (SELECT MIN(id) FROM ranges)", aError) &&
                        Exec("COMMIT", aError);
        if (!ok) Rollback();
        std::string ignored;
        Exec("PRAGMA synchronous=NORMAL", ignored);
        return ok;
    }

    bool StateOf(const Address& aAddress, std::string& aState, std::string& aError) override
    {
        Statement s(mDb, "SELECT state FROM addresses WHERE address = ?");
        s.Bind(1, aAddress.Packed());
        const int rc = s.Step();
        aState = rc == SQLITE_ROW ? s.Text(0) : "";
        return rc == SQLITE_ROW || rc == SQLITE_DONE || Error(aError);
    }

    bool AddRecord(const std::string& aRunId, const std::string& aStation, int aSlot, const std::string& aAddress,
                   const std::string& aOutcome, const std::string& aBody, std::string& aError) override
    {
        Statement s(mDb, "INSERT INTO records (run_id, station, slot, address, outcome, body) VALUES (?,?,?,?,?,?)");
        s.Bind(1, aRunId).Bind(2, aStation).Bind(3, aSlot).Bind(4, aAddress).Bind(5, aOutcome).Bind(6, aBody);
        return s.Step() == SQLITE_DONE || Error(aError);
    }

    bool Records(std::vector<StoredRecord>& aRecords, std::string& aError) override
    {
        aRecords.clear();
        Statement s(mDb, "SELECT body FROM records ORDER BY id");
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) aRecords.push_back({s.Text(0)});
        return rc == SQLITE_DONE || Error(aError);
    }

    bool Addresses(std::vector<std::pair<int64_t, std::string>>& aAddresses, std::string& aError) override
    {
        aAddresses.clear();
        Statement s(mDb, "SELECT address, state FROM addresses ORDER BY address");
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) aAddresses.emplace_back(s.Int(0), s.Text(1));
        return rc == SQLITE_DONE || Error(aError);
    }

private:
    bool Exec(const char* aSql, std::string& aError)
    {
        char* message = nullptr;
        if (sqlite3_exec(mDb, aSql, nullptr, nullptr, &message) == SQLITE_OK) return true;
        aError = message != nullptr ? message : sqlite3_errmsg(mDb);
        sqlite3_free(message);
        return false;
    }
    bool Error(std::string& aError)
    {
        aError = std::string("store: ") + sqlite3_errmsg(mDb);
        return false;
    }
    void Rollback()
    {
        if (!sqlite3_get_autocommit(mDb)) sqlite3_exec(mDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool Failed(std::string& aError)
    {
        Error(aError);
        Rollback();
        return false;
    }

    sqlite3* mDb = nullptr;
    std::string mPath;
    std::chrono::steady_clock::time_point mBusyStart;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& aPath, std::string& aError)
{
    return OpenAs<SqliteStore>(aPath, aError);
}

}  // namespace station
