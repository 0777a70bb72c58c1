// The store keeps each record as its JSON object, with the run, station,
// slot, address and outcome beside it.
#include "sinks/sink.h"

namespace station {

namespace {

class StoreRecords : public Sink {
public:
    StoreRecords(Store& aStore, const std::string& aName) : mStore(aStore), mName(aName) {}
    std::string Name() const override { return "store " + mName; }
    bool Add(const Record& aRecord, std::string& aError) override
    {
        std::string error;
        if (mStore.AddRecord(aRecord.runId, aRecord.station, aRecord.slot, aRecord.address, OutcomeText(aRecord.outcome),
                             JsonText(aRecord), error))
            return true;
        aError = "the record is not in the store (" + error + ")";
        return false;
    }
    bool Close(const std::vector<Record>&, std::string&) override { return true; }

private:
    Store& mStore;
    std::string mName;
};

}  // namespace

std::unique_ptr<Sink> StoreSink(Store& aStore, const std::string& aName)
{
    return std::make_unique<StoreRecords>(aStore, aName);
}

}  // namespace station
