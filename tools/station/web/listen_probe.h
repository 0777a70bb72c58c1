// Why an address cannot be listened on, in the system's words: the HTTP
// server says only that it failed, so the same bind is tried once more
// with a socket library that tells why ("Address already in use").
#ifndef NVT_STATION_WEB_LISTEN_PROBE_H
#define NVT_STATION_WEB_LISTEN_PROBE_H

#include <cstdint>
#include <string>

namespace station::web {

// The reason aHost:aPort cannot be listened on, or "" when it now can.
std::string ListenFailure(const std::string& aHost, uint16_t aPort);

}  // namespace station::web

#endif
