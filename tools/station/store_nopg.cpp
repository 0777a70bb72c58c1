// A station built without libpq keeps its addresses in SQLite only; a
// PostgreSQL URL is refused before anything is touched.
#include "store.h"

namespace station {

std::unique_ptr<Store> OpenPostgresStore(const std::string& aUrl, std::string& aError)
{
    aError = "cannot open the store \"" + aUrl + "\": this station is built without PostgreSQL (give a SQLite file)";
    return nullptr;
}

}  // namespace station
