// The station's state as JSON, as /api/status and every server-sent event
// carry it:
//
//   {"version": 12, "station": "...", "plan": "...", "fixture": "...", "stopping": false,
//    "slots": [{"slot": 1, "state": "running", "serial": "SN-0001", "step": "tx_power",
//               "value": "4.03 dBm", "limit": "-20 to 10 dBm", "marginal": false,
//               "elapsed": 2.4, "outcome": "", "text": "", "address": "",
//               "steps": [{"name": "open", "outcome": "PASS", "value": ""}, ...]}, ...],
//    "shift": {"tested": 10, "passed": 9, "failed": 1, "errors": 0, "aborted": 0,
//              "first_pass_yield": 0.9, "report_url": ""}}
//
// Texts come from devices and plans: bytes that are not UTF-8 become U+FFFD,
// and control characters are escaped, so the text is always one line of
// valid JSON.
#ifndef NVT_STATION_WEB_STATE_JSON_H
#define NVT_STATION_WEB_STATE_JSON_H

#include "web/webview.h"

#include <cstdint>
#include <string>

namespace station::web {

std::string StateJson(const StationView& aView, uint64_t aVersion);

}  // namespace station::web

#endif
