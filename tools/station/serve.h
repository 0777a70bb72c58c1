// `station serve`: a station that runs all shift. Each slot waits for a
// serial (typed or scanned on the web view, or a line of JSON on stdin),
// checks it (the fixture's serial_pattern, not running on another slot,
// the fixture's max_attempts counted from the store's records, and the
// MES's release when the fixture has an [mes] table), runs the plan on the
// slot's DUT in a worker of its own, keeps the record (outbox, synced)
// before it shows the result, and waits for the next unit. Slots run
// independently; a thread of its own hands the records to the store and
// the MES (uploader.h).
//
// The JSON-lines interface, one object per line:
//   stdin:  {"slot": 1, "serial": "SN-1"}   a serial for slot 1
//           {"command": "status"}           the state, as /api/status has it
//           {"command": "stop"}             ends the station
//   stdout: {"event": "ready", "web": "http://HOST:PORT/"}   ("" without --web)
//           {"slot": 1, "serial": "SN-1", "accepted": true|false, "text": "why not"}
//           {"event": "done", "slot": 1, "serial": "SN-1", "outcome": "PASS", "id": "RUN/1", "text": ""}
//           {"event": "status", "state": {...}, "outbox": {"store": 0, "mes": 0, "mes_set_aside": 0}}
//           {"event": "stopped", "outbox": {...}}
//           {"error": "..."}                a line that is not understood
// Everything for people goes to stderr.
#ifndef NVT_STATION_SERVE_H
#define NVT_STATION_SERVE_H

#include "line.h"

#include <csignal>
#include <string>

namespace station {

struct ServeOptions {
    std::string plan;
    std::string fixture;
    std::string tester;  // replaces the fixture's tester address
    std::string db = "station.db";
    std::string station;
    std::string operatorName;
    std::string results = "results";
    std::string web;  // HOST:PORT of the web view ("": none)
    std::string token;
    std::string reportUrl;
    bool repair = false;
    LeasePolicy lease;
};

// Runs the station until a stop (the web view, stdin, or *aStop set by a
// signal). 0 after a clean stop, 2 when it could not start.
int Serve(const ServeOptions& aOptions, volatile std::sig_atomic_t* aStop);

// Why a serial typed for a slot cannot be taken as it is written: empty,
// too long, a control character, or not matching aPattern (ECMAScript,
// whole; "" matches any). "" when it can.
std::string SerialFormatProblem(const std::string& aSerial, const std::string& aPattern);

// A worker's value line "4.03 dBm [-20 to 10 dBm]" (the last of several
// "a 1 [..], b 2 [..] marginal") as the value, its limit and whether it is
// marginal.
void SplitValue(const std::string& aText, std::string& aValue, std::string& aLimit, bool& aMarginal);

}  // namespace station

#endif
