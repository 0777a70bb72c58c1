// SQLite under the store: one file in WAL mode, so readers never wait for
// the writer. Commits are not synced one by one (synchronous=NORMAL); a
// synced write transaction syncs the write-ahead log after its commit, and
// with it every commit before it. That sync runs after the write lock is
// released, so the other processes of a station write while one waits for
// the disk, and their syncs overlap (a station's DUTs together hand out far
// more synced addresses per second than one of them alone). Without WAL (a
// file system without shared memory) a synced transaction runs under
// synchronous=FULL instead. Several processes share the file: a writer
// that finds it locked retries at once, then every 20-200 us, says so on
// the console after a second, and gives up after the lock time-out (30 s,
// or NVT_STORE_LOCK_TIMEOUT_MS).
#include "sql.h"

#include "platform.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <unordered_map>

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
    // A writer holds the lock for well under a millisecond (its sync comes
    // after), so the first waits are short: yields for 2 ms, then 20 us
    // sleeps (a sleep takes longer than asked), then 200 us once the wait
    // is long.
    if (waited < std::chrono::milliseconds(2)) std::this_thread::yield();
    else std::this_thread::sleep_for(std::chrono::microseconds(waited < std::chrono::milliseconds(5) ? 20 : 200));
    return 1;
}

// A prepared statement of the connection's cache, reset and unbound when
// the query is done with it (so no read stays open behind the caller).
class Statement {
public:
    explicit Statement(sqlite3_stmt* aStmt) : mStmt(aStmt) {}
    ~Statement()
    {
        if (mStmt == nullptr) return;
        sqlite3_reset(mStmt);
        sqlite3_clear_bindings(mStmt);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return mStmt != nullptr; }
    sqlite3_stmt* get() const { return mStmt; }

private:
    sqlite3_stmt* mStmt = nullptr;
};

class SqliteConnection : public SqlConnection {
public:
    ~SqliteConnection() override
    {
        for (auto& cached : mStatements) sqlite3_finalize(cached.second);
        sqlite3_close(mDb);
    }

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
        std::vector<SqlRow> mode;
        if (!Query("PRAGMA journal_mode=WAL", {}, &mode, nullptr, aError) || !Exec("PRAGMA synchronous=NORMAL", aError) ||
            !Exec("PRAGMA foreign_keys=ON", aError)) {
            aError = "cannot use the store \"" + aPath + "\" (" + aError + ")";
            return false;
        }
        mWal = !mode.empty() && mode[0].Text(0) == "wal";
        if (mWal) sqlite3_wal_hook(mDb, WalHook, this);
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
        Statement s(Prepared(aSql));
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
        if (!TakeWriterLock(aError)) return false;
        if (aSynced && !mWal && !Exec("PRAGMA synchronous=FULL", aError)) {
            ReleaseWriterLock();
            return false;
        }
        mSynced = aSynced;
        if (!Exec("BEGIN IMMEDIATE", aError)) {
            RestoreSync();
            ReleaseWriterLock();
            return false;
        }
        return true;
    }

    bool Commit(std::string& aError) override
    {
        const bool ok = Exec("COMMIT", aError);
        if (!ok) Rollback();
        const bool syncLog = ok && mSynced && mWal;
        const uint64_t ticket = syncLog && mLock ? mLock->Written() : 0;
        RestoreSync();
        ReleaseWriterLock();
        return ok && (!syncLog || SyncLog(ticket, aError));
    }

    void Rollback() override
    {
        if (!sqlite3_get_autocommit(mDb)) sqlite3_exec(mDb, "ROLLBACK", nullptr, nullptr, nullptr);
        RestoreSync();
        ReleaseWriterLock();
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
    // The store runs a few dozen distinct statements over and over (an
    // address reservation is five of them); each is parsed once per
    // connection, which is most of what a reservation costs otherwise.
    sqlite3_stmt* Prepared(const std::string& aSql)
    {
        auto found = mStatements.find(aSql);
        if (found != mStatements.end()) return found->second;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(mDb, aSql.c_str(), static_cast<int>(aSql.size()), SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        // Statements made from caller text one at a time (none today) would
        // grow the cache without bound; past a limit they are not kept.
        if (mStatements.size() >= kMaxStatements) {
            for (auto& cached : mStatements) sqlite3_finalize(cached.second);
            mStatements.clear();
        }
        mStatements.emplace(aSql, stmt);
        return stmt;
    }
    // Writers of the store take turns on a lock of their own (named by a
    // file beside it) before they ask SQLite for its write lock. SQLite's
    // own wait is a poll that also reads and locks the log's index on every
    // try, which slows the writer it waits for; a station's processes writing at once (its DUTs taking
    // addresses) hand out half as many again this way. SQLite's lock still
    // keeps the store right: when the lock cannot be made (a folder only
    // readable, a link there), writers go without it.
    bool TakeWriterLock(std::string& aError)
    {
        if (!mWal) return true;
        if (!mLockTried) {
            mLockTried = true;
            std::string ignored;
            mLock = std::make_unique<ProcessLock>();
            if (!mLock->Open(mBusy.path + "-lock", ignored)) mLock.reset();
        }
        if (!mLock) return true;
        // Waited for in steps, so a long wait is said on the console and
        // given up after the lock time-out as SQLite's own is.
        if (!mLock->Lock(0)) {
            for (int count = 0;; ++count) {
                if (BusyHandler(&mBusy, count) == 0) {
                    aError = Message("the lock is held");
                    return false;
                }
                if (mLock->Lock(100)) break;
            }
        }
        mLocked = true;
        return true;
    }
    void ReleaseWriterLock()
    {
        if (!mLocked) return;
        mLock->Unlock();
        mLocked = false;
    }
    // Checkpoints in place of SQLite's automatic ones. Those are tried
    // after every commit once the log holds 1000 pages, and while another
    // process of the station is in a transaction the log cannot start over,
    // so each commit would copy and sync again (two syncs more per
    // address). Here a checkpoint is tried once per 1000 pages the log grows.
    static int WalHook(void* aSelf, sqlite3* aDb, const char* aName, int aFrames)
    {
        auto* self = static_cast<SqliteConnection*>(aSelf);
        if (aFrames < kCheckpointFrames) {
            self->mNextCheckpoint = kCheckpointFrames;
        } else if (aFrames >= self->mNextCheckpoint) {
            sqlite3_wal_checkpoint_v2(aDb, aName, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            self->mNextCheckpoint = aFrames + kCheckpointFrames;
        }
        return SQLITE_OK;
    }
    // Puts the write-ahead log on disk through SQLite's own file (so the
    // same call serves every platform). The commit's frames are in it: a
    // checkpoint copies them to the database and syncs it before the log
    // is ever started over. The processes sharing the writers' lock sync
    // together: a sync that began after this commit serves it too, so
    // commits made while one process waits for the disk share the next sync.
    bool SyncLog(uint64_t aTicket, std::string& aError)
    {
        sqlite3_file* log = nullptr;
        if (sqlite3_file_control(mDb, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK || log == nullptr ||
            log->pMethods == nullptr) {
            aError = "store: the write-ahead log of \"" + mBusy.path + "\" is not open, so the commit cannot be synced";
            return false;
        }
        int rc = SQLITE_OK;
        const auto sync = [&] {
            rc = log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
            return rc == SQLITE_OK;
        };
        if (mLock ? mLock->SyncUpTo(aTicket, sync, kSyncWaitMs) : sync()) return true;
        aError = "store: cannot sync the write-ahead log of \"" + mBusy.path + "\" (" + sqlite3_errstr(rc) + ")";
        return false;
    }
    void RestoreSync()
    {
        const bool full = mSynced && !mWal;
        mSynced = false;
        if (!full) return;
        sqlite3_exec(mDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }

    static constexpr size_t kMaxStatements = 200;
    static constexpr int kCheckpointFrames = 1000;
    // A process syncing for the others is waited for this long at most
    // (it may be stopped); then this one syncs itself.
    static constexpr int kSyncWaitMs = 1000;
    int mNextCheckpoint = kCheckpointFrames;
    sqlite3* mDb = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> mStatements;
    BusyState mBusy;
    bool mSynced = false;  // this transaction is synced (WAL: after its commit)
    bool mWal = false;
    std::unique_ptr<ProcessLock> mLock;  // none when it cannot be made
    bool mLockTried = false, mLocked = false;
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
