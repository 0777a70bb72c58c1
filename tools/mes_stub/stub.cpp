#include "stub.h"

#include "mes/mes_contract.h"

#include <algorithm>

namespace messtub {

namespace {

using json = nlohmann::json;

// A serial longer than this is refused before any pattern sees it (a
// regular expression on a very long text can exhaust the stack).
constexpr size_t kMaxSerialLength = 256;

Answer Error(int aStatus, const std::string& aText)
{
    return Answer{aStatus, json{{"error", aText}}, false};
}

bool IsKey(const std::string& aKey)
{
    return !aKey.empty() && aKey.size() <= station::mes::kMaxKeyLength &&
           std::all_of(aKey.begin(), aKey.end(), [](char c) {
               return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
           });
}

}  // namespace

Stub::Stub(StubConfig aConfig) : mConfig(std::move(aConfig)), mStart(std::chrono::steady_clock::now()) {}

Answer Stub::Check(const std::string& aBody)
{
    const json request = json::parse(aBody, nullptr, false);
    std::lock_guard<std::mutex> lock(mMutex);
    ++mChecks;
    if (!request.is_object()) return Error(400, "the check is not a JSON object");
    const auto serial = request.find("serial");
    if (serial == request.end() || !serial->is_string() || serial->get<std::string>().empty())
        return Error(400, "the check has no serial");
    const std::string text = serial->get<std::string>();
    std::string reason;
    if (text.size() > kMaxSerialLength) {
        reason = "the serial is longer than " + std::to_string(kMaxSerialLength) + " characters";
    } else if (std::find(mConfig.refuse.begin(), mConfig.refuse.end(), text) != mConfig.refuse.end()) {
        reason = text + " is on hold in the MES (mes_stub --refuse)";
    } else if (mConfig.refusePattern && std::regex_match(text, *mConfig.refusePattern)) {
        reason = text + " is on hold in the MES (mes_stub --refuse-pattern)";
    }
    if (reason.empty()) return Answer{200, json{{"allowed", true}}, false};
    ++mRefused;
    return Answer{200, json{{"allowed", false}, {"reason", reason}}, false};
}

Answer Stub::Post(const std::string& aKey, const std::string& aBody)
{
    const json record = json::parse(aBody, nullptr, false);
    std::lock_guard<std::mutex> lock(mMutex);
    ++mPosts;
    if (mPosts <= mConfig.unavailablePosts ||
        std::chrono::steady_clock::now() - mStart < mConfig.unavailableTime) {
        ++mUnavailable;
        return Error(503, "the MES is unavailable (mes_stub --unavailable-for)");
    }
    Answer answer;
    if (!IsKey(aKey)) {
        answer = Error(400, std::string("the record has no usable ") + station::mes::kIdempotencyHeader + " header");
    } else if (!record.is_object()) {
        answer = Error(400, "the record is not a JSON object");
    } else if (record.find("serial") == record.end() || !record["serial"].is_string()) {
        answer = Error(422, "the record has no serial");
    } else if (const auto known = mByKey.find(aKey); known != mByKey.end()) {
        if (mRecords[known->second].second != record) {
            answer = Error(409, "the key " + aKey + " was taken by another record");
        } else {
            ++mDuplicates;
            return Answer{200, json{{"kept", false}, {"duplicate", true}}, false};
        }
    } else {
        mByKey.emplace(aKey, mRecords.size());
        mRecords.emplace_back(aKey, record);
        return Answer{201, json{{"kept", true}}, true};
    }
    ++mRejected;
    return answer;
}

json Stub::Results() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    json results = json::array();
    for (const auto& [key, record] : mRecords) results.push_back({{"key", key}, {"record", record}});
    return json{{"count", mRecords.size()}, {"posts", mPosts},       {"unavailable", mUnavailable},
                {"duplicates", mDuplicates}, {"rejected", mRejected}, {"checks", mChecks},
                {"refused", mRefused},       {"results", results}};
}

}  // namespace messtub
