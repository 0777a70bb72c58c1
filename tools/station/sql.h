// The little the store needs of a SQL database, so that one store serves
// SQLite (a file, one station) and PostgreSQL (a server a line shares):
// statements with '?' parameters, rows as text, write transactions that
// hold the database's write lock, and commits that are or are not synced.
#ifndef NVT_STATION_SQL_H
#define NVT_STATION_SQL_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace station {

// A statement parameter: text, a whole number, or NULL.
struct SqlValue {
    SqlValue() = default;
    SqlValue(const std::string& aText) : text(aText) {}
    SqlValue(const char* aText) : text(aText) {}
    SqlValue(int64_t aNumber) : text(std::to_string(aNumber)), number(true) {}
    SqlValue(int aNumber) : SqlValue(static_cast<int64_t>(aNumber)) {}
    SqlValue(uint32_t aNumber) : SqlValue(static_cast<int64_t>(aNumber)) {}
    static SqlValue Null()
    {
        SqlValue v;
        v.null = true;
        return v;
    }
    std::string text;
    bool number = false;
    bool null = false;
};

// One row of a result: every column as text (NULL as nullopt).
class SqlRow {
public:
    std::vector<std::optional<std::string>> columns;
    std::string Text(size_t aColumn) const;
    int64_t Int(size_t aColumn) const;
    double Real(size_t aColumn) const;
    bool IsNull(size_t aColumn) const { return aColumn >= columns.size() || !columns[aColumn]; }
};

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    // Runs one or more statements without parameters.
    virtual bool Exec(const std::string& aSql, std::string& aError) = 0;
    // Runs one statement; aRows (may be null) gets the rows, aChanged (may
    // be null) the number of rows it changed.
    virtual bool Query(const std::string& aSql, const std::vector<SqlValue>& aParams, std::vector<SqlRow>* aRows,
                       int64_t* aChanged, std::string& aError) = 0;
    // Starts a transaction that writes: it holds the database's write lock
    // (SQLite) or the lock aLockKey names (PostgreSQL) until it ends.
    // aSynced: its commit reaches the disk before it returns; otherwise a
    // crash may lose it (but never half of it).
    virtual bool BeginWrite(int64_t aLockKey, bool aSynced, std::string& aError) = 0;
    virtual bool Commit(std::string& aError) = 0;
    virtual void Rollback() = 0;
    // Whether the database has a table of that name.
    virtual bool HasTable(const std::string& aName, bool& aHas, std::string& aError) = 0;
    // The column type of an id that numbers itself, and of a real number.
    virtual const char* AutoId() const = 0;
    virtual const char* RealType() const = 0;
    // Whether the database runs the store's SQL functions (a server: one
    // round trip for what takes several statements).
    virtual bool HasFunctions() const { return false; }
    // Whether aError says a unique constraint refused the statement.
    virtual bool IsUniqueViolation(const std::string& aError) const = 0;
};

// Opens a SQLite file; aCreate makes it when it does not exist.
std::unique_ptr<SqlConnection> OpenSqlite(const std::string& aPath, bool aCreate, std::string& aError);
// Connects to a PostgreSQL server.
std::unique_ptr<SqlConnection> OpenPostgres(const std::string& aUrl, std::string& aError);

}  // namespace station

#endif
