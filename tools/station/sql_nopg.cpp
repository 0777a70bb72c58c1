// A station built without libpq keeps its addresses in SQLite only; a
// PostgreSQL URL is refused before anything is touched.
#include "sql.h"

#include "text.h"

namespace station {

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& aUrl, std::string& aError)
{
    aError = "cannot open the store \"" + RedactUrl(aUrl) + "\": this station is built without PostgreSQL (give a SQLite file)";
    return nullptr;
}

}  // namespace station
