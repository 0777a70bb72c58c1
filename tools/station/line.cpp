#include "line.h"

#include <filesystem>

namespace station {

std::string Line::LocalPath(const std::string& aResultsDir)
{
    return (std::filesystem::path(aResultsDir) / "lease.db").string();
}

Line::Line(const std::string& aCentralUrl, const std::string& aLocalPath, const std::string& aStation, const LeasePolicy& aPolicy)
    : mCentralUrl(aCentralUrl), mLocalPath(aLocalPath), mStation(aStation), mPolicy(aPolicy)
{
    if (mPolicy.low <= 0) mPolicy.low = mPolicy.size;
}

bool Line::Open(std::string& aError)
{
    mLocal = OpenStore(mLocalPath, StoreMode::Create, aError);
    if (!mLocal) return false;
    Central();
    return true;
}

Store* Line::Central()
{
    if (mCentral) return mCentral.get();
    // Tried once per process: a server that is away stays away for this run.
    if (mTried) return nullptr;
    mTried = true;
    mCentral = OpenStore(mCentralUrl, StoreMode::Existing, mCentralError);
    return mCentral.get();
}

bool Line::ReportUses(int64_t& aLeft, std::string& aProblem)
{
    aLeft = 0;
    std::vector<AddressInfo> uses;
    if (!mLocal->Unreported(uses, aProblem)) return false;
    aLeft = static_cast<int64_t>(uses.size());
    Store* central = Central();
    if (central == nullptr) {
        if (aLeft > 0) aProblem = "the central store cannot be reached (" + mCentralError + ")";
        return aLeft == 0;
    }
    for (const AddressInfo& use : uses) {
        std::string error;
        if (!central->ReportUse(use, error)) {
            aProblem = error;
            continue;
        }
        if (!mLocal->MarkReported(use, error)) {
            aProblem = error;
            continue;
        }
        --aLeft;
    }
    return aLeft == 0;
}

void Line::Renew(uint16_t aNap, uint8_t aUap, int64_t aNeeded, std::string& aWarning)
{
    const int64_t want = std::max(aNeeded, mPolicy.low);
    for (int round = 0; round < 100; ++round) {
        int64_t free = 0, ranges = 0;
        std::string error;
        if (!mLocal->Free(aNap, aUap, free, ranges, error)) {
            aWarning = error;
            return;
        }
        if (free >= want) return;
        Store* central = Central();
        if (central == nullptr) {
            aWarning = std::to_string(free) + " leased address" + (free == 1 ? "" : "es") +
                       " left, and no new lease: the central store cannot be reached (" + mCentralError + ")";
            return;
        }
        LeaseInfo lease;
        std::vector<Address> addresses;
        if (!central->TakeLease(aNap, aUap, mStation, mPolicy.size, mPolicy.hours, lease, addresses, error) ||
            !mLocal->AddLeased(lease, addresses, error)) {
            aWarning = "no new lease (" + error + ")";
            return;
        }
    }
}

bool Line::Return(std::string& aError)
{
    int64_t left = 0;
    if (!ReportUses(left, aError)) {
        if (left > 0) aError = std::to_string(left) + " use" + (left == 1 ? "" : "s") + " not reported (" + aError + ")";
        return false;
    }
    Store* central = Central();
    if (central == nullptr) {
        aError = "the central store cannot be reached (" + mCentralError + ")";
        return false;
    }
    std::vector<LeaseInfo> leases;
    if (!mLocal->Leases(leases, aError)) return false;
    for (const LeaseInfo& lease : leases) {
        if (lease.state != "open") continue;
        // Out of the DUTs' reach first, so a run at the same time cannot
        // take an address the central store hands out again.
        std::vector<Address> unused;
        if (!mLocal->WithdrawFree(lease.id, unused, aError)) return false;
        if (!central->EndLease(lease.id, unused, "ended", aError)) {
            std::string error;
            mLocal->RestoreWithdrawn(lease.id, error);
            return false;
        }
        if (!mLocal->DropLocal(lease.id, aError)) return false;
    }
    return true;
}

}  // namespace station
