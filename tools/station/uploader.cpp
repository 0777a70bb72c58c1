#include "uploader.h"

#include "sinks/sink.h"

#include <algorithm>
#include <filesystem>

namespace station {

std::string MesOutboxPath(const std::string& aResultsDir)
{
    return (std::filesystem::path(aResultsDir) / "mes-outbox.db").string();
}

std::string RecordId(const Record& aRecord)
{
    return aRecord.runId + "/" + std::to_string(aRecord.slot);
}

Uploader::~Uploader()
{
    Finish();
}

bool Uploader::Open(const Options& aOptions, std::string& aError)
{
    mOptions = aOptions;
    if (!mOptions.post && mOptions.mes) {
        const mes::MesConfig config = *mOptions.mes;
        mOptions.post = [config](const std::string& aId, const std::string& aJson, std::string& aText) {
            return mes::Post(config, aId, aJson, aText);
        };
    }
    std::error_code ec;
    std::filesystem::create_directories(mOptions.resultsDir, ec);
    const std::string storePath = Outbox::PathIn(mOptions.resultsDir);
    if (!(mKeepStore = Outbox::Open(storePath, aError)) || !(mStore.sender = Outbox::Open(storePath, aError))) return false;
    if (mOptions.mes) {
        const std::string mesPath = MesOutboxPath(mOptions.resultsDir);
        if (!(mKeepMes = Outbox::Open(mesPath, aError)) || !(mMes.sender = Outbox::Open(mesPath, aError))) return false;
    }
    // What an earlier shift left is due at once.
    mStore.due = mMes.due = mOptions.now();
    return true;
}

bool Uploader::Keep(const Record& aRecord, std::string& aError)
{
    const PendingRecord pending{0, aRecord.runId, aRecord.station, aRecord.slot, aRecord.address,
                                OutcomeText(aRecord.outcome), JsonText(aRecord)};
    int64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mKeepMutex);
        if (!mKeepStore->Add(pending, id, aError)) {
            aError = "the record is not in the outbox (" + aError + ")";
            return false;
        }
        if (mKeepMes && !mKeepMes->Add(pending, id, aError)) {
            aError = "the record is not in the MES's outbox (" + aError + ")";
            return false;
        }
    }
    if (!AppendJsonLine((std::filesystem::path(mOptions.resultsDir) / "records.jsonl").string(), ToJson(aRecord), aError))
        return false;
    {
        std::lock_guard<std::mutex> lock(mWakeMutex);
        mKicked = true;
    }
    mWake.notify_all();
    return true;
}

bool Uploader::Attempts(const std::string& aSerial, int64_t& aCount, std::string& aError)
{
    // Under the store's lock: a record moving from the outbox to the store
    // is counted in one place, never in both or neither.
    std::lock_guard<std::mutex> storeLock(mStoreMutex);
    std::string why;
    Store* store = mOptions.store ? mOptions.store(why) : nullptr;
    if (store == nullptr) {
        aError = "the store cannot be reached (" + why + ")";
        return false;
    }
    int64_t stored = 0, pending = 0;
    if (!store->Attempts(aSerial, stored, aError)) return false;
    std::lock_guard<std::mutex> keepLock(mKeepMutex);
    if (!mKeepStore->Attempts(aSerial, pending, aError)) return false;
    aCount = stored + pending;
    return true;
}

void Uploader::RoundOf(Queue& aQueue, bool aStore, Clock::time_point aNow)
{
    int64_t done = 0;
    std::string error;
    bool ok;
    if (aStore) {
        std::string why;
        Store* store = mOptions.store ? mOptions.store(why) : nullptr;
        if (store != nullptr) {
            ok = aQueue.sender->Upload(*store, done, aQueue.left, aQueue.problem, error);
        } else {
            ok = aQueue.sender->Count(aQueue.left, error);
            aQueue.problem = aQueue.left > 0 ? "the store cannot be reached (" + why + ")" : "";
        }
    } else {
        ok = aQueue.sender->Deliver(
            [this](const PendingRecord& aPending, std::string& aText) {
                const std::string id = aPending.runId + "/" + std::to_string(aPending.slot);
                switch (mOptions.post(id, aPending.body, aText)) {
                    case mes::PostResult::Accepted:
                        return Delivery::Done;
                    case mes::PostResult::Rejected:
                        return Delivery::Rejected;
                    default:
                        return Delivery::Retry;
                }
            },
            done, aQueue.left, aQueue.problem, error);
    }
    if (!ok) aQueue.problem = error;
    if (!ok || aQueue.left > 0) {
        ++aQueue.failures;
        aQueue.due = mOptions.retry.Next(aNow, aQueue.failures);
    } else {
        // Nothing pending: the next record wakes the thread.
        aQueue.failures = 0;
        aQueue.due = Clock::time_point::max();
    }
}

Uploader::Clock::time_point Uploader::Round()
{
    bool kicked;
    {
        std::lock_guard<std::mutex> lock(mWakeMutex);
        kicked = mKicked;
        mKicked = false;
    }
    const Clock::time_point now = mOptions.now();
    {
        std::lock_guard<std::mutex> lock(mStoreMutex);
        // A new record is tried at once when the store took the last one;
        // while it refuses, the back-off holds.
        if (mStore.sender && (now >= mStore.due || (kicked && mStore.failures == 0))) RoundOf(mStore, true, now);
    }
    std::lock_guard<std::mutex> lock(mMesMutex);
    if (mMes.sender && (now >= mMes.due || (kicked && mMes.failures == 0))) RoundOf(mMes, false, now);
    return mMes.sender ? std::min(mStore.due, mMes.due) : mStore.due;
}

void Uploader::Start()
{
    if (mThread.joinable()) return;
    mThread = std::thread([this] {
        for (;;) {
            const Clock::time_point due = Round();
            std::unique_lock<std::mutex> lock(mWakeMutex);
            if (mFinishing) return;
            const auto wake = [this] { return mKicked || mFinishing; };
            if (due == Clock::time_point::max()) mWake.wait(lock, wake);
            else mWake.wait_until(lock, due, wake);
            if (mFinishing) return;
        }
    });
}

void Uploader::Finish()
{
    {
        std::lock_guard<std::mutex> lock(mWakeMutex);
        if (mFinishing) return;
        mFinishing = true;
    }
    mWake.notify_all();
    if (mThread.joinable()) mThread.join();
    if (!mStore.sender) return;
    // The last round: everything is tried once more.
    const Clock::time_point now = mOptions.now();
    {
        std::lock_guard<std::mutex> lock(mStoreMutex);
        RoundOf(mStore, true, now);
    }
    std::lock_guard<std::mutex> lock(mMesMutex);
    if (mMes.sender) RoundOf(mMes, false, now);
}

Uploader::State Uploader::Pending()
{
    State state;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(mStoreMutex);
        state.storeProblem = mStore.problem;
    }
    {
        std::lock_guard<std::mutex> lock(mMesMutex);
        state.mesProblem = mMes.problem;
    }
    std::lock_guard<std::mutex> lock(mKeepMutex);
    if (mKeepStore) mKeepStore->Count(state.storePending, error);
    if (mKeepMes) {
        mKeepMes->Count(state.mesPending, error);
        mKeepMes->SetAside(state.mesSetAside, error);
    }
    return state;
}

}  // namespace station
