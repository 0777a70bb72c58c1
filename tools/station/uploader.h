// The records of a station that serves all shift. Each record is kept in
// the outbox (and, with an MES, in the MES's outbox), synced, and in
// records.jsonl before its result is shown; a thread of its own then hands
// the outbox to the store and posts the MES's outbox to the MES, each with
// back-off while it is away, until every record is taken, once (the store
// keeps one record per run and slot; the MES one per idempotency key, the
// record's id "RUN/SLOT").
#ifndef NVT_STATION_UPLOADER_H
#define NVT_STATION_UPLOADER_H

#include "mes/mes_client.h"
#include "outbox.h"
#include "records.h"
#include "store.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace station {

class Uploader {
public:
    using Clock = std::chrono::steady_clock;
    using Poster = std::function<mes::PostResult(const std::string& aId, const std::string& aJson, std::string& aError)>;
    struct Options {
        std::string resultsDir;
        // The store records go to; null while it cannot be reached (aWhy says why).
        std::function<Store*(std::string& aWhy)> store;
        std::optional<mes::MesConfig> mes;
        mes::RetrySchedule retry;
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
        Poster post;  // empty: mes::Post to the configured MES
    };

    Uploader() = default;
    ~Uploader();
    Uploader(const Uploader&) = delete;
    Uploader& operator=(const Uploader&) = delete;

    // Opens the outboxes of the results folder. False with a text.
    bool Open(const Options& aOptions, std::string& aError);
    // Keeps aRecord: in the outbox, the MES's outbox and records.jsonl,
    // synced, and wakes the thread. False with a text (the record is then
    // not known to be kept).
    bool Keep(const Record& aRecord, std::string& aError);
    // How many times aSerial was tested: the store's records and those not
    // in the store yet. False with a text when the store cannot say.
    bool Attempts(const std::string& aSerial, int64_t& aCount, std::string& aError);

    // One round: what is due now goes to the store and the MES. Returns
    // the time the next round is due.
    Clock::time_point Round();
    // Runs rounds on a thread of its own until Finish().
    void Start();
    // A last round (the store and the MES are tried once more whatever the
    // back-off says), then the thread ends.
    void Finish();

    struct State {
        int64_t storePending = 0, mesPending = 0, mesSetAside = 0;
        std::string storeProblem, mesProblem;  // the last refusal ("" when none is pending)
    };
    State Pending();

    // The store of the records is used by this object's thread: others
    // that use it (lease renewal) hold this lock.
    std::mutex& StoreLock() { return mStoreMutex; }

private:
    struct Queue {
        std::unique_ptr<Outbox> sender;  // the thread's connection
        unsigned failures = 0;
        Clock::time_point due;
        std::string problem;
        int64_t left = 0;
    };
    void RoundOf(Queue& aQueue, bool aStore, Clock::time_point aNow);

    Options mOptions;
    std::mutex mKeepMutex;  // the keeping connections
    std::unique_ptr<Outbox> mKeepStore, mKeepMes;
    std::mutex mStoreMutex;  // the store, and the store queue's sender
    std::mutex mMesMutex;    // the MES queue's sender
    Queue mStore, mMes;
    std::mutex mWakeMutex;
    std::condition_variable mWake;
    bool mKicked = false, mFinishing = false;
    std::thread mThread;
};

// The MES's outbox of a results folder.
std::string MesOutboxPath(const std::string& aResultsDir);
// A record's id, the MES's idempotency key: "RUN/SLOT".
std::string RecordId(const Record& aRecord);

}  // namespace station

#endif
