// The operator's web view of a long-running station: one page with a panel
// per slot (serial, the step running, the last value against its limit,
// elapsed time, the result, the unit's steps and a serial entry), the
// shift's counts and first-pass yield, and a Stop button. The page follows
// the station by server-sent events; scripts read the same state as JSON.
//
// The station side is a Controller: the server only asks it for snapshots
// and hands it serials and the stop. What the HTTP side accepts (loopback
// by default, a token otherwise, the Host and Origin checks) is in
// access.h; the page itself in assets.cpp.
#ifndef NVT_STATION_WEB_WEBVIEW_H
#define NVT_STATION_WEB_WEBVIEW_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace station::web {

struct StepLine {
    std::string name, outcome, value;  // outcome "", "PASS", "FAIL", "ERROR", "ABORT"
};

struct SlotView {
    int slot = 0;
    std::string state;  // "waiting" (for a serial), "running", "done"
    std::string serial;
    std::string step;   // the step running
    std::string value;  // the last measured value, with its unit ("4.03 dBm")
    std::string limit;  // its limit ("-20 to 10 dBm")
    bool marginal = false;
    double elapsed = 0;   // seconds since the unit started
    std::string outcome;  // of the last unit: "", "PASS", "FAIL", "ERROR", "ABORT"
    std::string text;     // why it did not pass
    std::string address;
    std::vector<StepLine> steps;  // of the unit running or last run
};

struct ShiftView {
    int tested = 0, passed = 0, failed = 0, errors = 0, aborted = 0;
    double firstPassYield = 0;  // 0..1
    std::string reportUrl;      // a link to the yield report ("" when none)
};

struct StationView {
    std::string station, plan, fixture;
    bool stopping = false;
    std::vector<SlotView> slots;
    ShiftView shift;
};

class Controller {
public:
    virtual ~Controller() = default;
    virtual StationView Snapshot() = 0;  // thread-safe
    virtual uint64_t Version() = 0;      // grows with every change
    // Waits until Version() > aSince or the time-out; returns the version.
    virtual uint64_t WaitForChange(uint64_t aSince, std::chrono::milliseconds aTimeout) = 0;
    // A serial typed or scanned for a slot: "" when accepted, else why not
    // (shown on the page as it is: "SN-1 is running on slot 2", "quarantined after 5 attempts", ...).
    virtual std::string SubmitSerial(int aSlot, const std::string& aSerial) = 0;
    virtual void Stop() = 0;  // ends the station cleanly
};

// The HTTP server: runs on threads of its own until Close().
//
//   GET  /            the page (and /app.css, /app.js, /favicon.svg)
//   GET  /events      text/event-stream: the whole state as JSON at once and
//                     after every change, a comment every 15 s between
//   GET  /api/status  the same state as JSON
//   POST /api/serial  {"slot": 1, "serial": "SN-0001"}: {"accepted": true|false, "text": why not}
//   POST /api/stop    ends the station: {"stopping": true}
//
// A POST must carry Content-Type: application/json, so that a form of
// another site cannot send one.
class WebServer {
public:
    WebServer();
    ~WebServer();  // closes
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // aListen "HOST:PORT" ("[::1]:PORT" for an IPv6 address; port 0: any
    // free one). A host other than localhost, 127.x.x.x or ::1 needs a
    // non-empty aToken; a token, once given, is needed by every request: as
    // a header "Authorization: Bearer TOKEN", or as "?token=TOKEN" once,
    // which sets a cookie the page then sends. False with a text.
    bool Start(const std::string& aListen, const std::string& aToken, Controller& aController, std::string& aError);
    std::string Address() const;  // "HOST:PORT" it listens on
    // Waits until every live page has been sent the station's latest
    // state, at most aMost (a page that reads no more is not waited for
    // longer): before Close(), so that the pages show how the station
    // ended. False when a page was still behind.
    bool Drain(std::chrono::milliseconds aMost);
    // Ends every live stream and stops listening; waits for the server's
    // threads (at most about a second, for an idle keep-alive connection).
    // Safe to call more than once, but not from inside a Controller call:
    // those run on the server's threads, which Close() waits for.
    void Close();
    // How many pages follow the live state now.
    size_t LiveStreams() const;

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

}  // namespace station::web

#endif
