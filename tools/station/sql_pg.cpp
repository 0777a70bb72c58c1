// PostgreSQL under the store, for a line where several PCs share address
// ranges. A write transaction takes a transaction-level advisory lock (of
// one NAP:UAP, or of the schema) so that writers of the same addresses take
// turns; an unsynced one (and a statement outside a transaction) commits
// without waiting for its log flush
// (synchronous_commit off, so the lock is not held over a disk sync), a
// synced one waits for the flush. A connection the server dropped is made
// again before the next statement.
#include "sql.h"

#include "text.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <map>
#include <memory>

namespace station {

namespace {

struct ResultDeleter {
    void operator()(PGresult* aResult) const { PQclear(aResult); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// '?' placeholders as PostgreSQL's $1, $2, ... (the store's statements
// hold no '?' inside a string).
std::string Numbered(const std::string& aSql)
{
    std::string out;
    int n = 0;
    for (char c : aSql) {
        if (c == '?') out += "$" + std::to_string(++n);
        else out += c;
    }
    return out;
}

class PostgresConnection : public SqlConnection {
public:
    ~PostgresConnection() override
    {
        if (mConn != nullptr) PQfinish(mConn);
    }

    bool Open(const std::string& aUrl, std::string& aError)
    {
        mUrl = aUrl;
        // A server that does not answer is given up after 10 s, unless the
        // URL says otherwise (its own connect_timeout comes later and wins).
        const char* keys[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {"10", aUrl.c_str(), nullptr};
        mConn = PQconnectdbParams(keys, values, 1);
        if (mConn == nullptr || PQstatus(mConn) != CONNECTION_OK) {
            aError = "cannot connect to the store (" + Message() + ")";
            return false;
        }
        Prepare();
        return true;
    }

    bool Exec(const std::string& aSql, std::string& aError) override
    {
        Reconnect();
        Result r(PQexec(mConn, aSql.c_str()));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
        aError = "store: " + Message();
        return false;
    }

    bool Query(const std::string& aSql, const std::vector<SqlValue>& aParams, std::vector<SqlRow>* aRows,
               int64_t* aChanged, std::string& aError) override
    {
        Reconnect();
        std::vector<const char*> values;
        for (const SqlValue& p : aParams) values.push_back(p.null ? nullptr : p.text.c_str());
        const std::string* name = Prepared(aSql, static_cast<int>(values.size()));
        Result r(name != nullptr ? PQexecPrepared(mConn, name->c_str(), static_cast<int>(values.size()),
                                                  values.empty() ? nullptr : values.data(), nullptr, nullptr, 0)
                                 : PQexecParams(mConn, Numbered(aSql).c_str(), static_cast<int>(values.size()), nullptr,
                                                values.empty() ? nullptr : values.data(), nullptr, nullptr, 0));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            aError = "store: " + Message();
            return false;
        }
        if (aRows != nullptr) {
            aRows->clear();
            const int rows = PQntuples(r.get()), columns = PQnfields(r.get());
            for (int i = 0; i < rows; ++i) {
                SqlRow row;
                for (int c = 0; c < columns; ++c) {
                    if (PQgetisnull(r.get(), i, c)) row.columns.emplace_back(std::nullopt);
                    else row.columns.emplace_back(std::string(PQgetvalue(r.get(), i, c),
                                                              static_cast<size_t>(PQgetlength(r.get(), i, c))));
                }
                aRows->push_back(std::move(row));
            }
        }
        if (aChanged != nullptr) *aChanged = std::strtoll(PQcmdTuples(r.get()), nullptr, 10);
        return true;
    }

    bool BeginWrite(int64_t aLockKey, bool aSynced, std::string& aError) override
    {
        if (!Exec("BEGIN", aError)) return false;
        mInTransaction = true;
        if (!Exec(aSynced ? "SET LOCAL synchronous_commit = on" : "SET LOCAL synchronous_commit = off", aError) ||
            !Exec("SELECT pg_advisory_xact_lock(" + std::to_string(aLockKey) + ")", aError)) {
            Rollback();
            return false;
        }
        return true;
    }

    bool Commit(std::string& aError) override
    {
        const bool ok = Exec("COMMIT", aError);
        if (!ok) Rollback();
        mInTransaction = false;
        return ok;
    }

    void Rollback() override
    {
        if (mConn != nullptr && PQstatus(mConn) == CONNECTION_OK && PQtransactionStatus(mConn) != PQTRANS_IDLE) {
            Result r(PQexec(mConn, "ROLLBACK"));
        }
        mInTransaction = false;
    }

    bool HasTable(const std::string& aName, bool& aHas, std::string& aError) override
    {
        std::vector<SqlRow> rows;
        if (!Query("SELECT to_regclass(?) IS NOT NULL", {aName}, &rows, nullptr, aError)) return false;
        aHas = !rows.empty() && rows[0].Text(0) == "t";
        return true;
    }

    bool HasFunctions() const override { return true; }
    const char* RealType() const override { return "DOUBLE PRECISION"; }
    const char* AutoId() const override { return "BIGSERIAL PRIMARY KEY"; }

    bool IsUniqueViolation(const std::string& aError) const override
    {
        return aError.find("duplicate key value violates unique constraint") != std::string::npos;
    }

private:
    // The statements a station runs over and over (a reservation above
    // all) are parsed and planned once per connection. Only those that do
    // not read whole rows with "*" are kept, so a migration that changes a
    // table never meets an old plan of it.
    const std::string* Prepared(const std::string& aSql, int aParams)
    {
        if (aSql.find('*') != std::string::npos && aSql.find("COUNT(*)") == std::string::npos) return nullptr;
        auto found = mPrepared.find(aSql);
        if (found != mPrepared.end()) return &found->second;
        if (mPrepared.size() >= 200 || PQtransactionStatus(mConn) == PQTRANS_INERROR) return nullptr;
        const std::string name = "nvt" + std::to_string(++mPreparedCount);
        Result r(PQprepare(mConn, name.c_str(), Numbered(aSql).c_str(), aParams, nullptr));
        if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) return nullptr;
        return &mPrepared.emplace(aSql, name).first->second;
    }
    void Prepare()
    {
        mPrepared.clear();
        // Notices ("relation already exists, skipping") are not for the operator.
        PQsetNoticeProcessor(mConn, [](void*, const char*) {}, nullptr);
        // A lock another station holds is waited for, but not for ever. A
        // statement outside a write transaction (a reservation, which is
        // not synced) commits without waiting for its log flush; a synced
        // write transaction says so itself.
        Result r(PQexec(mConn, "SET lock_timeout = '30s'; SET synchronous_commit = off"));
    }
    // A connection the server dropped (a restart) is made again between
    // transactions; inside one, the failure stands and the caller sees it.
    void Reconnect()
    {
        if (mInTransaction || PQstatus(mConn) == CONNECTION_OK) return;
        PQreset(mConn);
        if (PQstatus(mConn) == CONNECTION_OK) Prepare();
    }
    // The server's or libpq's text, never with the URL's password in it.
    std::string Message() const
    {
        std::string text = mConn != nullptr ? PQerrorMessage(mConn) : "out of memory";
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return RedactSecret(text, mUrl);
    }

    PGconn* mConn = nullptr;
    std::map<std::string, std::string> mPrepared;
    int mPreparedCount = 0;
    std::string mUrl;
    bool mInTransaction = false;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& aUrl, std::string& aError)
{
    auto connection = std::make_unique<PostgresConnection>();
    if (!connection->Open(aUrl, aError)) return nullptr;
    return connection;
}

}  // namespace station
