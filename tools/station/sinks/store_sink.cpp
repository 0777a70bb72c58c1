// The store keeps each record as its JSON object, with the run, station,
// slot, address and outcome beside it. A record goes first to the outbox of
// the results folder (synced), then to the store; what the store cannot
// take now stays in the outbox, is counted on the closing line, and is
// stored by the next run or "station sync".
#include "sinks/sink.h"

#include "outbox.h"
#include "text.h"

#include <cstdio>

namespace station {

namespace {

class StoreRecords : public Sink {
public:
    StoreRecords(Store* aStore, const std::string& aName, const std::string& aOutbox, const std::string& aAway)
        : mStore(aStore), mName(aName), mOutboxPath(aOutbox), mAway(aAway)
    {
    }
    std::string Name() const override
    {
        if (!mKept) return "";
        if (mLeft == 0) return "store " + mName;
        return "store " + mName + " (" + std::to_string(mLeft) + " record" + (mLeft == 1 ? "" : "s") + " pending in " +
               mOutboxPath + ")";
    }
    bool Add(const Record& aRecord, std::string& aError) override
    {
        std::string error;
        if (!mOutbox) mOutbox = Outbox::Open(mOutboxPath, error);
        int64_t id = 0;
        if (mOutbox &&
            mOutbox->Add({0, aRecord.runId, aRecord.station, aRecord.slot, aRecord.address, OutcomeText(aRecord.outcome),
                          JsonText(aRecord)},
                         id, error)) {
            mKept = true;
            return true;
        }
        aError = "the record is not in the store (" + error + ")";
        return false;
    }
    bool Close(const std::vector<Record>&, std::string& aError) override
    {
        if (!mOutbox) return true;
        int64_t stored = 0;
        std::string refused, error;
        if (mStore == nullptr) {
            refused = mAway;
            if (!mOutbox->Count(mLeft, error)) {
                aError = "the outbox " + mOutboxPath + " cannot be read (" + error + ")";
                return false;
            }
        } else if (!mOutbox->Upload(*mStore, stored, mLeft, refused, error)) {
            aError = "the outbox " + mOutboxPath + " cannot be read (" + error + ")";
            return false;
        }
        if (mLeft > 0)
            std::fprintf(stderr, "station: WARNING: %lld record%s not in the store yet (%s); kept in %s\n",
                         static_cast<long long>(mLeft), mLeft == 1 ? " is" : "s are", TerminalSafe(refused).c_str(), mOutboxPath.c_str());
        return true;
    }

private:
    Store* mStore;
    std::string mName;
    std::string mOutboxPath;
    std::string mAway;
    std::unique_ptr<Outbox> mOutbox;
    int64_t mLeft = 0;
    bool mKept = false;
};

}  // namespace

std::unique_ptr<Sink> StoreSink(Store* aStore, const std::string& aName, const std::string& aOutbox, const std::string& aAway)
{
    return std::make_unique<StoreRecords>(aStore, aName, aOutbox, aAway);
}

}  // namespace station
