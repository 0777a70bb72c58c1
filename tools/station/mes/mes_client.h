// The station's client of the line's MES (see mes_contract.h): it asks
// whether a unit may be tested here and hands over the record of a tested
// unit. One HTTP request per call, no connection kept, every phase bounded
// by the configured time-out; https when the HTTP library is built with TLS
// (Linux), http only otherwise (the Windows build).
//
// The bearer token is sent in the Authorization header and appears in no
// text this client returns, even when the MES repeats it in an answer.
#ifndef NVT_STATION_MES_MES_CLIENT_H
#define NVT_STATION_MES_MES_CLIENT_H

#include <chrono>
#include <cstdint>
#include <string>

namespace station::mes {

struct MesConfig {
    std::string url;        // "http://mes.line3:8080/api": the paths of the contract are added to it
    std::string token;      // bearer token; empty: none sent
    std::string operation;  // this station's operation in the MES's routing ("rf-test")
    std::chrono::milliseconds timeout{5000};
};

// Whether the url can be used: http or https (https only where TLS is
// built in), a host, an optional port and base path, no user or password,
// query or fragment. False with a text.
bool CheckUrl(const std::string& aUrl, std::string& aError);
// True when this build speaks https.
bool HasTls();

enum class CheckResult {
    Allowed,
    Refused,     // aReason: the MES's reason, for the operator
    Unavailable  // aReason: why no answer could be had (the station's fault: the unit is not tested)
};
CheckResult Check(const MesConfig&, const std::string& aSerial, const std::string& aStation, const std::string& aPlan,
                  std::string& aReason);

enum class PostResult {
    Accepted,  // the MES has the record (also when it had it before)
    Retry,     // no answer, 408, 429, 5xx, or an answer that says the station is set up wrong
               // (a redirect, 401, 403, 404, 405): post it again later
    Rejected   // any other 4xx, or a record that is not a JSON object: the record itself is bad
};
// aRecordId is the idempotency key (run id and slot).
PostResult Post(const MesConfig&, const std::string& aRecordId, const std::string& aRecordJson, std::string& aError);

// When to post again after failed attempts: exponential back-off with a cap,
// computed, not slept (the caller keeps the time of its last attempt).
struct RetrySchedule {
    std::chrono::milliseconds first{1000};  // the wait after the first failure
    std::chrono::milliseconds cap{300000};  // never longer than this
    double factor = 2.0;                    // each failure multiplies the wait (at least 1)
    double jitter = 0.0;                    // 0..1: up to this share of a wait is taken off,
                                            // by aSalt, so that stations do not retry in step
    // The wait after aFailures failed attempts in a row (0: none).
    std::chrono::milliseconds Delay(unsigned aFailures, uint64_t aSalt = 0) const;
    // The time of the next attempt after one made at aLast.
    std::chrono::steady_clock::time_point Next(std::chrono::steady_clock::time_point aLast, unsigned aFailures,
                                               uint64_t aSalt = 0) const;
};

}  // namespace station::mes

#endif
