#include "outbox.h"

#include <filesystem>

namespace station {

std::string Outbox::PathIn(const std::string& aResultsDir)
{
    return (std::filesystem::path(aResultsDir) / "outbox.db").string();
}

std::unique_ptr<Outbox> Outbox::Open(const std::string& aPath, std::string& aError)
{
    auto sql = OpenSqlite(aPath, true, aError);
    if (!sql) return nullptr;
    if (!sql->Exec(std::string("CREATE TABLE IF NOT EXISTS pending (id ") + sql->AutoId() +
                       ", run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL, address TEXT NOT NULL,"
                       " outcome TEXT NOT NULL, body TEXT NOT NULL, added TEXT NOT NULL, tries INTEGER NOT NULL DEFAULT 0,"
                       " last_error TEXT NOT NULL DEFAULT '')",
                   aError)) {
        aError = "cannot use the outbox \"" + aPath + "\" (" + aError + ")";
        return nullptr;
    }
    return std::make_unique<Outbox>(std::move(sql), aPath);
}

Outbox::Outbox(std::unique_ptr<SqlConnection> aSql, const std::string& aPath) : mSql(std::move(aSql)), mPath(aPath) {}

bool Outbox::Add(const PendingRecord& aRecord, int64_t& aId, std::string& aError)
{
    if (!mSql->BeginWrite(0, true, aError)) return false;
    std::vector<SqlRow> rows;
    if (!mSql->Query("INSERT INTO pending (run_id, station, slot, address, outcome, body, added) VALUES (?,?,?,?,?,?,?)",
                     {aRecord.runId, aRecord.station, aRecord.slot, aRecord.address, aRecord.outcome, aRecord.body, UtcNow()},
                     nullptr, nullptr, aError) ||
        !mSql->Query("SELECT MAX(id) FROM pending", {}, &rows, nullptr, aError)) {
        mSql->Rollback();
        return false;
    }
    aId = rows.empty() ? 0 : rows[0].Int(0);
    return mSql->Commit(aError);
}

bool Outbox::Upload(Store& aStore, int64_t& aStored, int64_t& aLeft, std::string& aLastError, std::string& aError)
{
    aStored = 0;
    aLeft = 0;
    aLastError.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT id, run_id, station, slot, address, outcome, body FROM pending ORDER BY id", {}, &rows, nullptr,
                     aError))
        return false;
    for (const SqlRow& r : rows) {
        std::string refused;
        Record record;
        const auto json = nlohmann::json::parse(r.Text(6), nullptr, false);
        if (json.is_discarded() || !FromJson(json, record)) {
            // Kept by this program itself, so it always reads back; a file
            // changed by hand keeps the record here and says so.
            refused = "the outbox holds a record that does not read (id " + r.Text(0) + ")";
        }
        if (!aLastError.empty() || !refused.empty() || !aStore.AddRecord(record, refused)) {
            // A store that refuses one record is not asked for the rest now.
            ++aLeft;
            if (aLastError.empty()) {
                aLastError = refused;
                if (!mSql->Query("UPDATE pending SET tries = tries + 1, last_error = ? WHERE id = ?", {refused, r.Int(0)},
                                 nullptr, nullptr, aError))
                    return false;
            }
            continue;
        }
        // Stored (or already there): it leaves the outbox.
        if (!mSql->Query("DELETE FROM pending WHERE id = ?", {r.Int(0)}, nullptr, nullptr, aError)) return false;
        ++aStored;
    }
    return true;
}

bool Outbox::Count(int64_t& aCount, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT COUNT(*) FROM pending", {}, &rows, nullptr, aError)) return false;
    aCount = rows.empty() ? 0 : rows[0].Int(0);
    return true;
}

bool Outbox::LastRefusal(std::string& aText, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT last_error FROM pending WHERE tries > 0 ORDER BY id DESC LIMIT 1", {}, &rows, nullptr, aError))
        return false;
    aText = rows.empty() ? "" : rows[0].Text(0);
    return true;
}

}  // namespace station
