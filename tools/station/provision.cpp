#include "provision.h"

namespace station {

namespace {

const char kAddressKey[] = "BLUETOOTH_ADDRESS";

std::string LastError(NvtHandle aHandle)
{
    return aHandle != nullptr ? nvtGetLastError(aHandle) : "";
}

}  // namespace

Provisioning::Provisioning(const DutJob& aJob, Record& aRecord) : mJob(aJob), mPlan(*aJob.plan), mRecord(aRecord) {}

StepRecord Provisioning::ReadDevice(NvtHandle aHandle)
{
    StepRecord s;
    int32_t rc = nvtCsCacheReadFromChip(aHandle, mPlan.nvm, 0);
    s.code = rc;
    if (rc >= 0) {
        uint16_t words[4] = {0, 0, 0, 0};
        uint16_t length = 4;
        if (nvtCsCacheReadItem(aHandle, kAddressKey, words, &length) >= 0 && length == 4) {
            mHeld = Address::FromWords(words);
            mHasHeld = true;
        }
        uint16_t version = 0;
        nvtCsCacheGetVersion(aHandle, &version);
        s.value = "CS version " + std::to_string(version) + (mHasHeld ? ", " + mHeld.Text() : "");
        s.outcome = Outcome::Pass;
        return s;
    }
    const std::string readText = LastError(aHandle);
    const bool blank = IsBlankDeviceText(readText);
    if (!blank && !mJob.repair) {
        s.outcome = Outcome::Fail;
        s.text = readText + " (the device is left as it is; --repair overwrites it)";
        return s;
    }
    // A blank device, or a repair: the golden image, written whole later.
    rc = nvtCsCacheReadFromFile(aHandle, mPlan.blankImage.c_str());
    s.code = rc;
    if (rc < 0) {
        s.outcome = Outcome::Error;
        s.text = "the blank-device image cannot be used: " + LastError(aHandle);
        return s;
    }
    mFresh = true;
    if (!blank) mRecord.repair = true;
    s.value = blank ? "blank, golden image" : "repaired with the golden image";
    s.text = readText;
    s.outcome = Outcome::Pass;
    return s;
}

Store* Provisioning::OpenedStore(StepRecord& aStep)
{
    if (mStore) return mStore.get();
    std::string error;
    mStore = OpenStore(mJob.storeUrl, error);
    if (!mStore) {
        aStep.outcome = Outcome::Error;
        aStep.text = error;
    }
    return mStore.get();
}

StepRecord Provisioning::Write(NvtHandle aHandle)
{
    StepRecord s;
    Store* store = OpenedStore(s);
    if (store == nullptr) return s;
    std::string error;
    // A device that holds an address this store committed keeps it.
    if (!mFresh && mHasHeld) {
        std::string state;
        if (!store->StateOf(mHeld, state, error)) {
            s.outcome = Outcome::Error;
            s.text = error;
            return s;
        }
        if (state == "committed") {
            mAddress = mHeld;
            mRecord.addressSource = AddressSource::Retest;
        }
    }
    if (mRecord.addressSource == AddressSource::None) {
        const ReserveResult r = store->Reserve(mPlan.nap, mPlan.uap, mJob.owner, mAddress, error);
        if (r != ReserveResult::Ok) {
            s.outcome = Outcome::Error;
            s.text = error;
            return s;
        }
        mReserved = true;
        mRecord.addressSource = AddressSource::New;
        if (mJob.onReserved) mJob.onReserved(mAddress);
        // Before the address leaves the store for the device.
        if (!store->MakeDurable(error)) {
            s.outcome = Outcome::Error;
            s.text = error;
            Scrap("the store could not sync: " + error);
            return s;
        }
    }
    mRecord.address = mAddress.Text();
    s.value = mAddress.Text() + (mRecord.addressSource == AddressSource::Retest ? " (kept)" : "");

    uint16_t words[4];
    mAddress.ToWords(words);
    uint16_t length = 4;
    int32_t rc = nvtCsCacheWriteItem(aHandle, kAddressKey, words, &length);
    std::string key = kAddressKey;
    for (const PlanKey& k : mPlan.keys) {
        if (rc < 0) break;
        std::vector<uint16_t> value(k.words);
        length = static_cast<uint16_t>(value.size());
        key = k.name;
        rc = nvtCsCacheWriteItem(aHandle, k.name.c_str(), value.data(), &length);
    }
    if (rc >= 0) {
        key.clear();
        // A fresh image goes whole; a programmed device gets its CS block.
        rc = nvtCsCacheWriteToChip(aHandle, mPlan.nvm, mFresh ? 0 : 1);
    }
    s.code = rc;
    if (rc < 0) {
        s.outcome = Outcome::Fail;
        s.text = (key.empty() ? "" : key + ": ") + LastError(aHandle);
        Scrap("CS write failed: " + s.text);
        return s;
    }
    if (mReserved && !store->SetState(mAddress, "written", "", error)) {
        s.outcome = Outcome::Error;
        s.text = error;
        return s;
    }
    s.outcome = Outcome::Pass;
    return s;
}

StepRecord Provisioning::ReadBack(NvtHandle aHandle)
{
    StepRecord s;
    int32_t rc = nvtCsCacheReadFromChip(aHandle, mPlan.nvm, 0);
    s.code = rc;
    std::string mismatch;
    if (rc >= 0) {
        auto check = [&](const std::string& aName, std::vector<uint16_t> aExpected) {
            std::vector<uint16_t> got(aExpected.size() + 1, 0);
            uint16_t length = static_cast<uint16_t>(got.size());
            const int32_t r = nvtCsCacheReadItem(aHandle, aName.c_str(), got.data(), &length);
            got.resize(r >= 0 ? length : 0);
            if (r < 0 || got != aExpected) {
                if (mismatch.empty()) mismatch = aName + (r < 0 ? ": " + LastError(aHandle) : " differs from what was written");
            }
        };
        uint16_t words[4];
        mAddress.ToWords(words);
        check(kAddressKey, std::vector<uint16_t>(words, words + 4));
        for (const PlanKey& k : mPlan.keys) check(k.name, k.words);
    }
    if (rc < 0 || !mismatch.empty()) {
        s.outcome = Outcome::Fail;
        s.text = rc < 0 ? LastError(aHandle) : mismatch;
        Scrap("read-back failed: " + s.text);
        return s;
    }
    s.value = mAddress.Text() + ", " + std::to_string(mPlan.keys.size() + 1) + " keys";
    if (mReserved) {
        std::string error;
        if (!mStore->SetState(mAddress, "verified", "", error) || !mStore->SetState(mAddress, "committed", "", error)) {
            s.outcome = Outcome::Error;
            s.text = error;
            return s;
        }
        mReserved = false;
        if (mJob.onSettled) mJob.onSettled();
    }
    s.outcome = Outcome::Pass;
    return s;
}

void Provisioning::Scrap(const std::string& aReason)
{
    if (!mReserved) return;
    std::string error;
    if (mStore && mStore->SetState(mAddress, "scrapped", aReason, error)) {
        mReserved = false;
        if (mJob.onSettled) mJob.onSettled();
    }
}

void Provisioning::End()
{
    if (mReserved) Scrap(std::string(OutcomeText(mRecord.outcome)) + ": " + mRecord.text);
}

bool IsBlankDeviceText(const std::string& aText)
{
    // The library gives exactly this text for an erased device (its first
    // words read 0xffff); every other read failure means an image is there
    // but corrupt or unreadable, and the device is left alone.
    return aText == "The device is empty or image is invalid, read 0xffff for words 0-2";
}

}  // namespace station
