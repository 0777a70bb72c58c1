#include "store.h"

#include "platform.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace station {

namespace {

// The states an address may move to aState from, as an SQL list; null when
// aState is not one an address can move to.
const char* StatesBefore(const std::string& aState)
{
    return aState == "written"     ? "('reserved')"
           : aState == "verified"  ? "('written')"
           : aState == "committed" ? "('verified')"
           : aState == "scrapped"  ? "('reserved','written','verified')"
                                   : nullptr;
}

}  // namespace

bool Store::SetState(const Address& aAddress, const std::string& aState, const std::string& aReason,
                     std::string& aError)
{
    const char* from = StatesBefore(aState);
    if (from == nullptr) {
        aError = "unknown address state \"" + aState + "\"";
        return false;
    }
    const int64_t changed = UpdateState(aAddress, aState, from, aReason, aError);
    if (changed < 0) return false;
    if (changed != 1) {
        aError = "the address " + aAddress.Text() + " cannot become " + aState + " from its state";
        return false;
    }
    return true;
}

bool IsPostgresUrl(const std::string& aUrl)
{
    return aUrl.rfind("postgresql://", 0) == 0 || aUrl.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> OpenStore(const std::string& aUrl, std::string& aError)
{
    if (aUrl.empty()) {
        aError = "no store given";
        return nullptr;
    }
    return IsPostgresUrl(aUrl) ? OpenPostgresStore(aUrl, aError) : OpenSqliteStore(aUrl, aError);
}

bool CheckRange(uint16_t, uint8_t, uint32_t aFirst, uint32_t aLast, std::string& aError)
{
    if (aFirst > kLapMax || aLast > kLapMax) {
        aError = "a LAP has 24 bits (0 to 0xFFFFFF)";
        return false;
    }
    if (aFirst > aLast) {
        aError = "the first LAP is above the last";
        return false;
    }
    return true;
}

const char* const kListRangesSql =
    "SELECT r.id, r.nap, r.uap, r.first_lap, r.last_lap, r.next_lap,"
    " (SELECT COUNT(*) FROM addresses a WHERE a.range_id = r.id),"
    " (SELECT COUNT(*) FROM addresses a WHERE a.range_id = r.id AND a.state = 'committed')"
    " FROM ranges r ORDER BY r.id";

std::string UsedUpText(uint16_t aNap, uint8_t aUap)
{
    return "the address ranges of " + Address{aNap, aUap, 0}.Text().substr(0, 7) + " are used up";
}

std::string UtcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm utc = UtcTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

}  // namespace station
