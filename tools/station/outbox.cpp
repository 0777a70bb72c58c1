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
                   aError) ||
        !sql->Exec(std::string("CREATE TABLE IF NOT EXISTS set_aside (id ") + sql->AutoId() +
                       ", run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL, body TEXT NOT NULL,"
                       " reason TEXT NOT NULL, at TEXT NOT NULL)",
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
    return Deliver(
        [&aStore](const PendingRecord& aPending, std::string& aText) {
            Record record;
            const auto json = nlohmann::json::parse(aPending.body, nullptr, false);
            if (json.is_discarded() || !FromJson(json, record)) {
                // Kept by this program itself, so it always reads back; a file
                // changed by hand keeps the record here and says so.
                aText = "the outbox holds a record that does not read (id " + std::to_string(aPending.id) + ")";
                return Delivery::Retry;
            }
            // Stored (or already there): it leaves the outbox.
            return aStore.AddRecord(record, aText) ? Delivery::Done : Delivery::Retry;
        },
        aStored, aLeft, aLastError, aError);
}

bool Outbox::Deliver(const Deliverer& aDeliver, int64_t& aDone, int64_t& aLeft, std::string& aLastError, std::string& aError)
{
    aDone = 0;
    aLeft = 0;
    aLastError.clear();
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT id, run_id, station, slot, address, outcome, body FROM pending ORDER BY id", {}, &rows, nullptr,
                     aError))
        return false;
    for (const SqlRow& r : rows) {
        if (!aLastError.empty()) {
            // One that is not taken now: the rest are not asked for now.
            ++aLeft;
            continue;
        }
        const PendingRecord pending{r.Int(0), r.Text(1), r.Text(2), static_cast<int>(r.Int(3)), r.Text(4), r.Text(5), r.Text(6)};
        std::string text;
        const Delivery delivery = aDeliver(pending, text);
        if (delivery == Delivery::Retry) {
            ++aLeft;
            aLastError = text.empty() ? "not taken" : text;
            if (!mSql->Query("UPDATE pending SET tries = tries + 1, last_error = ? WHERE id = ?", {aLastError, pending.id},
                             nullptr, nullptr, aError))
                return false;
            continue;
        }
        if (!mSql->BeginWrite(0, true, aError)) return false;
        if ((delivery == Delivery::Rejected &&
             !mSql->Query("INSERT INTO set_aside (run_id, station, slot, body, reason, at) VALUES (?,?,?,?,?,?)",
                          {pending.runId, pending.station, pending.slot, pending.body, text, UtcNow()}, nullptr, nullptr,
                          aError)) ||
            !mSql->Query("DELETE FROM pending WHERE id = ?", {pending.id}, nullptr, nullptr, aError)) {
            mSql->Rollback();
            return false;
        }
        if (!mSql->Commit(aError)) return false;
        if (delivery == Delivery::Done) ++aDone;
    }
    return true;
}

bool Outbox::Attempts(const std::string& aSerial, int64_t& aCount, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT COUNT(*) FROM pending WHERE outcome IN ('PASS', 'FAIL') AND json_extract(body, '$.serial') = ?",
                     {aSerial}, &rows, nullptr, aError))
        return false;
    aCount = rows.empty() ? 0 : rows[0].Int(0);
    return true;
}

bool Outbox::SetAside(int64_t& aCount, std::string& aError)
{
    std::vector<SqlRow> rows;
    if (!mSql->Query("SELECT COUNT(*) FROM set_aside", {}, &rows, nullptr, aError)) return false;
    aCount = rows.empty() ? 0 : rows[0].Int(0);
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
