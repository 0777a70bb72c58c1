// The stub MES's state and its answers to the station's contract
// (tools/station/mes/mes_contract.h), apart from HTTP: which serials it
// refuses, how many result posts it answers 503 first, and every record it
// took, once per idempotency key. Thread-safe: the HTTP server calls it
// from several threads.
#ifndef NVT_MES_STUB_STUB_H
#define NVT_MES_STUB_STUB_H

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace messtub {

struct StubConfig {
    std::vector<std::string> refuse;          // serials refused by name
    std::optional<std::regex> refusePattern;  // serials refused when the whole serial matches
    unsigned unavailablePosts = 0;            // the first N result posts are answered 503
    std::chrono::seconds unavailableTime{0};  // result posts are answered 503 for this long from the start
};

struct Answer {
    int status = 200;
    nlohmann::json body;
    bool kept = false;  // a record was kept by this answer
};

class Stub {
public:
    explicit Stub(StubConfig aConfig);

    // POST /units/check with its body.
    Answer Check(const std::string& aBody);
    // POST /results with its idempotency key ("" when the header was missing) and body.
    Answer Post(const std::string& aKey, const std::string& aBody);
    // GET /results: every record kept, in the order they came, and counts.
    nlohmann::json Results() const;

private:
    StubConfig mConfig;
    std::chrono::steady_clock::time_point mStart;
    mutable std::mutex mMutex;
    std::vector<std::pair<std::string, nlohmann::json>> mRecords;
    std::map<std::string, size_t> mByKey;
    unsigned mChecks = 0, mRefused = 0, mPosts = 0, mUnavailable = 0, mDuplicates = 0, mRejected = 0;
};

}  // namespace messtub

#endif
