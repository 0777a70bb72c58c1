// SQLite under the store: one file in WAL mode, so readers never wait for
// the writer. Commits are not synced one by one (synchronous=NORMAL); a
// synced write transaction runs under synchronous=FULL, so its commit syncs
// the write-ahead log, and with it every commit before it. Several
// processes share the file: a writer that finds it locked retries every
// 50-200 us, says so on the console after a second, and gives up after the
// lock time-out (30 s, or NVT_STORE_LOCK_TIMEOUT_MS).
#include "sql.h"

#include "platform.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds LockTimeout()
{
    const char* text = std::getenv("NVT_STORE_LOCK_TIMEOUT_MS");
    if (text != nullptr) {
        char* end = nullptr;
        const long ms = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && ms >= 0 && ms <= 3600000) return std::chrono::milliseconds(ms);
    }
    return std::chrono::seconds(30);
}

struct BusyState {
    std::string path;
    Clock::time_point start;
    bool told = false;
    bool timedOut = false;
};

int BusyHandler(void* aState, int aCount)
{
    auto* state = static_cast<BusyState*>(aState);
    const auto now = Clock::now();
    if (aCount == 0) {
        state->start = now;
        state->told = false;
        state->timedOut = false;
    }
    const auto waited = now - state->start;
    const auto timeout = LockTimeout();
    // Said after a second of waiting (sooner when the time-out is short).
    if (!state->told && waited > std::min<std::chrono::nanoseconds>(std::chrono::seconds(1), timeout / 10)) {
        std::fprintf(stderr, "station: waiting for the store \"%s\": another station or worker is writing to it\n",
                     state->path.c_str());
        state->told = true;
    }
    if (waited > timeout) {
        state->timedOut = true;
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(aCount < 20 ? 50 : 200));
    return 1;
}

class Statement {
public:
    Statement(sqlite3* aDb, const std::string& aSql)
    {
        mRc = sqlite3_prepare_v2(aDb, aSql.c_str(), static_cast<int>(aSql.size()), &mStmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(mStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return mRc == SQLITE_OK; }
    sqlite3_stmt* get() const { return mStmt; }

private:
    sqlite3_stmt* mStmt = nullptr;
    int mRc = SQLITE_ERROR;
};

class SqliteConnection : public SqlConnection {
public:
    ~SqliteConnection() override { sqlite3_close(mDb); }

    bool Open(const std::string& aPath, bool aCreate, std::string& aError)
    {
        mBusy.path = aPath;
        std::error_code ec;
        if (!aCreate && !std::filesystem::exists(aPath, ec)) {
            aError = "cannot open the store \"" + aPath + "\": it does not exist (station addresses add makes a store)";
            return false;
        }
        // A new store (or outbox) is readable by its user and group only; a
        // link at the store's name is never followed.
        if (aCreate && !CreatePrivateFile(aPath, aError)) {
            aError = "cannot open the store \"" + aPath + "\" (" + aError + ")";
            return false;
        }
        const int flags = SQLITE_OPEN_READWRITE | (aCreate ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
        if (sqlite3_open_v2(aPath.c_str(), &mDb, flags, nullptr) != SQLITE_OK) {
            aError = "cannot open the store \"" + aPath + "\" (" + (mDb ? sqlite3_errmsg(mDb) : "out of memory") + ")";
            return false;
        }
        sqlite3_busy_handler(mDb, BusyHandler, &mBusy);
        sqlite3_extended_result_codes(mDb, 1);
        if (!Exec("PRAGMA journal_mode=WAL", aError) || !Exec("PRAGMA synchronous=NORMAL", aError) ||
            !Exec("PRAGMA foreign_keys=ON", aError)) {
            aError = "cannot use the store \"" + aPath + "\" (" + aError + ")";
            return false;
        }
        return true;
    }

    bool Exec(const std::string& aSql, std::string& aError) override
    {
        char* message = nullptr;
        if (sqlite3_exec(mDb, aSql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
        aError = Message(message != nullptr ? message : sqlite3_errmsg(mDb));
        sqlite3_free(message);
        return false;
    }

    bool Query(const std::string& aSql, const std::vector<SqlValue>& aParams, std::vector<SqlRow>* aRows,
               int64_t* aChanged, std::string& aError) override
    {
        Statement s(mDb, aSql);
        if (!s.ok()) return Failed(aError);
        for (size_t i = 0; i < aParams.size(); ++i) {
            const SqlValue& v = aParams[i];
            const int index = static_cast<int>(i + 1);
            if (v.null) sqlite3_bind_null(s.get(), index);
            else if (v.number) sqlite3_bind_int64(s.get(), index, std::strtoll(v.text.c_str(), nullptr, 10));
            else sqlite3_bind_text(s.get(), index, v.text.c_str(), static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
        }
        if (aRows != nullptr) aRows->clear();
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            if (aRows == nullptr) continue;
            SqlRow row;
            const int n = sqlite3_column_count(s.get());
            for (int c = 0; c < n; ++c) {
                const unsigned char* text = sqlite3_column_text(s.get(), c);
                if (text == nullptr) row.columns.emplace_back(std::nullopt);
                else row.columns.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                                          static_cast<size_t>(sqlite3_column_bytes(s.get(), c))));
            }
            aRows->push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) return Failed(aError);
        if (aChanged != nullptr) *aChanged = sqlite3_changes(mDb);
        return true;
    }

    bool BeginWrite(int64_t, bool aSynced, std::string& aError) override
    {
        if (aSynced && !Exec("PRAGMA synchronous=FULL", aError)) return false;
        mSynced = aSynced;
        if (!Exec("BEGIN IMMEDIATE", aError)) {
            RestoreSync();
            return false;
        }
        return true;
    }

    bool Commit(std::string& aError) override
    {
        const bool ok = Exec("COMMIT", aError);
        if (!ok) Rollback();
        RestoreSync();
        return ok;
    }

    void Rollback() override
    {
        if (!sqlite3_get_autocommit(mDb)) sqlite3_exec(mDb, "ROLLBACK", nullptr, nullptr, nullptr);
        RestoreSync();
    }

    bool HasTable(const std::string& aName, bool& aHas, std::string& aError) override
    {
        std::vector<SqlRow> rows;
        if (!Query("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?", {aName}, &rows, nullptr, aError))
            return false;
        aHas = !rows.empty();
        return true;
    }

    const char* RealType() const override { return "REAL"; }
    const char* AutoId() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }

    bool IsUniqueViolation(const std::string& aError) const override
    {
        return aError.find("UNIQUE constraint failed") != std::string::npos;
    }

private:
    std::string Message(const std::string& aText) const
    {
        if (mBusy.timedOut)
            return "store: the store \"" + mBusy.path + "\" stayed locked by another writer (" + aText + ")";
        return "store: " + aText;
    }
    bool Failed(std::string& aError)
    {
        aError = Message(sqlite3_errmsg(mDb));
        return false;
    }
    void RestoreSync()
    {
        if (!mSynced) return;
        mSynced = false;
        sqlite3_exec(mDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }

    sqlite3* mDb = nullptr;
    BusyState mBusy;
    bool mSynced = false;
};

}  // namespace

std::string SqlRow::Text(size_t aColumn) const
{
    return aColumn < columns.size() && columns[aColumn] ? *columns[aColumn] : std::string();
}

int64_t SqlRow::Int(size_t aColumn) const
{
    return std::strtoll(Text(aColumn).c_str(), nullptr, 10);
}

double SqlRow::Real(size_t aColumn) const
{
    return std::strtod(Text(aColumn).c_str(), nullptr);
}

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& aPath, bool aCreate, std::string& aError)
{
    auto connection = std::make_unique<SqliteConnection>();
    if (!connection->Open(aPath, aCreate, aError)) return nullptr;
    return connection;
}

}  // namespace station
