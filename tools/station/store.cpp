#include "store.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace station {

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

std::string UtcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

}  // namespace station
