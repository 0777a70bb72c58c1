// The station's JSON contract with the line's manufacturing execution
// system (MES), over HTTP, shared by the station's client and the stub MES:
//
//   POST {url}/units/check   {"serial", "station", "plan", "operation"}
//        200 {"allowed": true} | 200 {"allowed": false, "reason": "..."}
//   POST {url}/results       the record as records.jsonl holds it, with the
//        header Idempotency-Key: the record's id (run id and slot); 2xx once
//        the MES has it (a repeated key is answered 2xx and kept once)
//
// docs/mes.md describes the answers and what the station does with each.
#ifndef NVT_STATION_MES_MES_CONTRACT_H
#define NVT_STATION_MES_MES_CONTRACT_H

#include <cstddef>

namespace station::mes {

inline constexpr const char* kCheckPath = "/units/check";
inline constexpr const char* kResultsPath = "/results";
inline constexpr const char* kIdempotencyHeader = "Idempotency-Key";
// An idempotency key is printable ASCII without spaces, at most this long.
inline constexpr size_t kMaxKeyLength = 200;

}  // namespace station::mes

#endif
