#include "provision.h"

#include "platform.h"

#include <filesystem>

namespace station {

namespace {

const char kAddressKey[] = "BLUETOOTH_ADDRESS";

std::string LastError(NvtHandle aHandle)
{
    return aHandle != nullptr ? nvtGetLastError(aHandle) : "";
}

}  // namespace

Provisioning::Provisioning(const DutJob& aJob, Record& aRecord) : mJob(aJob), mPlan(*aJob.plan), mRecord(aRecord) {}

Provisioning::~Provisioning()
{
    if (!mTempDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(mTempDir, ec);
    }
}

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
    mStore = OpenStore(mJob.storeUrl, StoreMode::Existing, error);
    if (!mStore) {
        aStep.outcome = Outcome::Error;
        aStep.text = error;
    }
    return mStore.get();
}

Store* Provisioning::Central(std::string& aError)
{
    if (!mCentral && mCentralError.empty()) {
        mCentral = OpenStore(mJob.centralUrl, StoreMode::Existing, mCentralError);
        if (!mCentral && mCentralError.empty()) mCentralError = "the central store cannot be opened";
    }
    if (!mCentral) aError = mCentralError;
    return mCentral.get();
}

bool Provisioning::LookupAnywhere(Store& aStore, const Address& aAddress, AddressInfo& aInfo, bool& aFound,
                                  std::string& aError)
{
    if (!aStore.Lookup(aAddress, aInfo, aFound, aError)) return false;
    if (aFound || mJob.centralUrl.empty()) return true;
    std::string error;
    Store* central = Central(error);
    if (central == nullptr) {
        aError = "the device holds " + aAddress.Text() +
                 ", which this station's store does not know, and the central store cannot be reached to check it (" +
                 error + ")";
        return false;
    }
    if (!central->Lookup(aAddress, aInfo, aFound, aError)) return false;
    if (!aFound || aInfo.state == "free") {
        aFound = false;  // never used, as far as the line knows
        return true;
    }
    if (aInfo.state == "leased") {
        aError = "the device holds " + aAddress.Text() + ", leased to station " + aInfo.owner.station +
                 ", which has not reported its use yet (\"station sync\" there, then test it again)";
        return false;
    }
    return aStore.Adopt(aInfo, aError);
}

bool Provisioning::SerialAnywhere(Store& aStore, const std::string& aSerial, AddressInfo& aInfo, bool& aFound,
                                  std::string& aError)
{
    if (!aStore.AddressOfSerial(aSerial, aInfo, aFound, aError)) return false;
    if (aFound || aSerial.empty() || mJob.centralUrl.empty()) return true;
    // With the central store away, a unit it knows gets a new address here;
    // the central store refuses that use when it is reported, and the
    // station's status names it.
    std::string error;
    Store* central = Central(error);
    if (central == nullptr) return true;
    // A server that goes away during the lookup is away as well.
    if (!central->AddressOfSerial(aSerial, aInfo, aFound, error)) {
        aInfo = AddressInfo();
        aFound = false;
        return true;
    }
    if (!aFound) return true;
    bool local = false;
    AddressInfo mine;
    if (!aStore.Lookup(aInfo.address, mine, local, aError)) return false;
    if (local) {
        aInfo = mine;
        return true;
    }
    return aStore.Adopt(aInfo, aError);
}

bool Provisioning::Refuse(Store& aStore, StepRecord& aStep, const std::string& aEvent, const std::string& aText)
{
    aStep.outcome = Outcome::Fail;
    aStep.text = aText + "; the device is left as it is";
    // The store's history keeps what this station found.
    std::string error;
    if (!aStore.Note(mHeld, mJob.serial, aEvent, aText, mJob.owner, error))
        aStep.text += " (the store could not note it: " + error + ")";
    return false;
}

bool Provisioning::ChooseAddress(NvtHandle aHandle, Store& aStore, StepRecord& aStep)
{
    const std::string& serial = mJob.serial;
    std::string error;
    auto storeError = [&] {
        aStep.outcome = Outcome::Error;
        aStep.text = error;
        return false;
    };
    if (!mFresh && mHasHeld) {
        // The device holds an address: believe it only as far as the store does.
        AddressInfo info;
        bool found = false;
        if (!LookupAnywhere(aStore, mHeld, info, found, error)) return storeError();
        const std::string held = "the device holds " + mHeld.Text();
        if (!found) return Refuse(aStore, aStep, "foreign", held + ", which the store never gave out");
        if (info.state == "scrapped") return Refuse(aStore, aStep, "foreign", held + ", which the store scrapped (" + info.reason + ")");
        if (!serial.empty()) {
            if (info.serial.empty()) {
                if (info.state != "committed")
                    return Refuse(aStore, aStep, "foreign", held + ", which the store never committed");
                // A unit programmed before serials were kept: its address
                // becomes its serial's, unless the serial has another.
                AddressInfo mine;
                bool has = false;
                if (!SerialAnywhere(aStore, serial, mine, has, error)) return storeError();
                if (has)
                    return Refuse(aStore, aStep, "conflict",
                                  held + ", but serial " + serial + " has " + mine.address.Text());
                if (!aStore.BindSerial(mHeld, serial, error)) return storeError();
            } else if (info.serial != serial) {
                return Refuse(aStore, aStep, "conflict",
                              held + ", which belongs to serial " + info.serial + ", not to serial " + serial);
            }
        } else {
            if (!info.serial.empty())
                return Refuse(aStore, aStep, "conflict",
                              held + ", which belongs to serial " + info.serial + " (test it with --serial " + info.serial + ")");
            if (info.state != "committed") return Refuse(aStore, aStep, "foreign", held + ", which the store never committed");
            // Without a serial, only the CS committed with the address is believed.
            if (!info.digest.empty()) {
                std::vector<uint16_t> image, data;
                if (!CacheImage(aHandle, "device", image, error) || !CsData(image, data, error)) return storeError();
                if (CsDigest(data, WrittenKeys()) != info.digest)
                    return Refuse(aStore, aStep, "differs", held + ", but its CS differs from the one committed with it");
            }
        }
        mAddress = mHeld;
        mState = info.state;
        mRecord.addressSource = AddressSource::Retest;
        return true;
    }
    if (!serial.empty()) {
        // A unit keeps its address: a repair, or a retest after a write that
        // did not finish, gets it back.
        AddressInfo mine;
        bool has = false;
        if (!SerialAnywhere(aStore, serial, mine, has, error)) return storeError();
        if (has) {
            mAddress = mine.address;
            mState = mine.state;
            mRecord.addressSource = AddressSource::Retest;
            return true;
        }
    }
    // Taken for the device write that follows: on disk when it returns.
    if (aStore.ReserveDurable(mPlan.nap, mPlan.uap, mJob.owner, serial, mAddress, error) != ReserveResult::Ok)
        return storeError();
    mState = "reserved";
    mRecord.addressSource = AddressSource::New;
    return true;
}

void Provisioning::SetKey(const std::string& aName, uint32_t aOffset, const std::vector<uint16_t>& aWords)
{
    for (PlanKey& k : mFound) {
        if (k.name == aName) {
            k.words = aWords;
            return;
        }
    }
    mFound.push_back({aName, aOffset, aWords});
}

std::vector<PlanKey> Provisioning::Keys() const
{
    std::vector<PlanKey> keys;
    for (const PlanKey& k : mPlan.keys) {
        bool found = false;
        for (const PlanKey& f : mFound) found |= f.name == k.name;
        if (!found) keys.push_back(k);
    }
    keys.insert(keys.end(), mFound.begin(), mFound.end());
    return keys;
}

std::vector<KeySpan> Provisioning::WrittenKeys() const
{
    std::vector<KeySpan> keys = {{mPlan.addressOffset, 4}};
    for (const PlanKey& k : Keys()) keys.push_back({k.offset, static_cast<uint32_t>(k.words.size())});
    return keys;
}

bool Provisioning::CacheImage(NvtHandle aHandle, const std::string& aName, std::vector<uint16_t>& aWords,
                              std::string& aError)
{
    if (mTempDir.empty()) {
        mTempDir = PrivateTempDir("nvt-station-", aError);
        if (mTempDir.empty()) return false;
    }
    const std::string path = mTempDir + "/" + aName + ".xuv";
    if (nvtCsCacheWriteToFile(aHandle, path.c_str()) < 0) {
        aError = "cannot save the image to compare (" + LastError(aHandle) + ")";
        return false;
    }
    const bool ok = ReadXuvWords(path, aWords, aError);
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return ok;
}

StepRecord Provisioning::Write(NvtHandle aHandle)
{
    StepRecord s;
    Store* store = OpenedStore(s);
    if (store == nullptr) return s;
    if (!ChooseAddress(aHandle, *store, s)) return s;
    std::string error;
    mTaken = mState != "committed";
    const bool scrapIfLost = mJob.serial.empty() && mState == "reserved";
    if (mJob.onAddress) mJob.onAddress(mAddress, scrapIfLost);
    // Before the address leaves the store for the device (a new one was
    // reserved on disk).
    if (mTaken && mRecord.addressSource != AddressSource::New && !store->MakeDurable(mAddress, error)) {
        s.outcome = Outcome::Error;
        s.text = error;
        Scrap("the store could not sync: " + error);
        return s;
    }
    mRecord.address = mAddress.Text();
    s.value = mAddress.Text() + (mRecord.addressSource == AddressSource::Retest ? " (kept)" : "");

    uint16_t words[4];
    mAddress.ToWords(words);
    uint16_t length = 4;
    int32_t rc = nvtCsCacheWriteItem(aHandle, kAddressKey, words, &length);
    std::string key = kAddressKey;
    const std::vector<PlanKey> keys = Keys();
    for (const PlanKey& k : keys) {
        if (rc < 0) break;
        std::vector<uint16_t> value(k.words);
        length = static_cast<uint16_t>(value.size());
        key = k.name;
        rc = nvtCsCacheWriteItem(aHandle, k.name.c_str(), value.data(), &length);
    }
    int attempt = 0;
    std::string firstFailure;
    if (rc >= 0) {
        key.clear();
        // A fresh image goes whole; a programmed device gets its CS block.
        // The library writes in an order that leaves the device as it was,
        // as written, or detectably invalid, so a failed write is tried
        // again from the image the cache still holds.
        while (++attempt <= kWriteAttempts) {
            rc = nvtCsCacheWriteToChip(aHandle, mPlan.nvm, mFresh ? 0 : 1);
            if (rc >= 0) break;
            if (firstFailure.empty()) firstFailure = LastError(aHandle);
        }
    }
    s.code = rc;
    if (rc < 0) {
        s.outcome = Outcome::Fail;
        s.text = (key.empty() ? "" : key + ": ") + LastError(aHandle);
        if (attempt > 1) s.text += " (tried " + std::to_string(kWriteAttempts) + " times)";
        if (!mJob.serial.empty()) s.text += "; " + mAddress.Text() + " stays with serial " + mJob.serial;
        Scrap("CS write failed: " + s.text);
        return s;
    }
    if (attempt > 1) {
        s.value += " (written at attempt " + std::to_string(attempt) + ")";
        s.text = "attempt 1: " + firstFailure;
    }
    if (!CacheImage(aHandle, "written", mWritten, error)) {
        s.outcome = Outcome::Error;
        s.text = error;
        Scrap("the image written cannot be kept: " + error);
        return s;
    }
    if (mState == "reserved") {
        if (!store->SetState(mAddress, "written", "", error)) {
            s.outcome = Outcome::Error;
            s.text = error;
            return s;
        }
        mState = "written";
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
    std::vector<uint16_t> read;
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
        for (const PlanKey& k : Keys()) check(k.name, k.words);
        // Every word of the image, not only the keys the plan wrote.
        std::string error;
        if (mismatch.empty()) {
            if (!CacheImage(aHandle, "read", read, error)) mismatch = error;
            else if (const std::string d = FirstDifference(mWritten, read); !d.empty())
                mismatch = "the image read back differs from the one written: " + d;
        }
    }
    if (rc < 0 || !mismatch.empty()) {
        s.outcome = Outcome::Fail;
        s.text = rc < 0 ? LastError(aHandle) : mismatch;
        if (!mJob.serial.empty()) s.text += "; " + mAddress.Text() + " stays with serial " + mJob.serial;
        Scrap("read-back failed: " + s.text);
        return s;
    }
    s.value = mAddress.Text() + ", " + std::to_string(Keys().size() + 1) + " keys";
    std::string error;
    std::vector<uint16_t> data;
    bool ok = CsData(read, data, error);
    if (ok && mState == "written") ok = mStore->SetState(mAddress, "verified", "", error) && (mState = "verified", true);
    if (ok && mState == "verified") ok = mStore->SetState(mAddress, "committed", "", error) && (mState = "committed", true);
    // The CS committed with the address, for a retest without a serial.
    if (ok) ok = mStore->SetDigest(mAddress, CsDigest(data, WrittenKeys()), error);
    if (!ok) {
        s.outcome = Outcome::Error;
        s.text = error;
        return s;
    }
    if (mTaken) {
        mTaken = false;
        if (mJob.onSettled) mJob.onSettled();
    }
    s.outcome = Outcome::Pass;
    return s;
}

void Provisioning::Scrap(const std::string& aReason)
{
    // With a serial, an address stays its unit's: the retest of the serial
    // gets it back, whatever the device holds now.
    if (!mTaken || !mJob.serial.empty()) return;
    std::string error;
    if (mStore && mStore->SetState(mAddress, "scrapped", aReason, error)) {
        mTaken = false;
        if (mJob.onSettled) mJob.onSettled();
    }
}

void Provisioning::End()
{
    if (mTaken) Scrap(std::string(OutcomeText(mRecord.outcome)) + ": " + mRecord.text);
}

bool IsBlankDeviceText(const std::string& aText)
{
    // The library gives exactly this text for an erased device (its whole
    // image area reads 0xffff); every other read failure means an image is
    // there but corrupt or unreadable, and the device is left alone.
    return aText == "The device is empty or image is invalid, read 0xffff for words 0-2";
}

}  // namespace station
