#include "dut.h"

#include "nivoratest.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

std::string Hex(uint32_t aValue, int aDigits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", aDigits, static_cast<unsigned>(aValue));
    return text;
}

std::string Replace(std::string aText, const std::string& aFrom, const std::string& aTo)
{
    for (size_t at = aText.find(aFrom); at != std::string::npos; at = aText.find(aFrom, at + aTo.size()))
        aText.replace(at, aFrom.size(), aTo);
    return aText;
}

bool Within(double aValue, const std::optional<Limit>& aLimit)
{
    if (!aLimit) return true;
    if (aLimit->low && aValue < *aLimit->low) return false;
    if (aLimit->high && aValue > *aLimit->high) return false;
    return true;
}

std::string LimitText(const Limit& aLimit)
{
    char text[96];
    if (aLimit.low && aLimit.high)
        std::snprintf(text, sizeof text, "outside %g to %g %s", *aLimit.low, *aLimit.high, aLimit.unit.c_str());
    else if (aLimit.low)
        std::snprintf(text, sizeof text, "below %g %s", *aLimit.low, aLimit.unit.c_str());
    else
        std::snprintf(text, sizeof text, "above %g %s", aLimit.high ? *aLimit.high : 0.0, aLimit.unit.c_str());
    return text;
}

// Runs the steps on one open handle and keeps what the later steps need.
class Sequence {
public:
    Sequence(const DutJob& aJob, Record& aRecord) : mJob(aJob), mPlan(*aJob.plan), mRecord(aRecord) {}

    ~Sequence()
    {
        Release();
        if (mHandle != nullptr) nvtClose(mHandle);
    }

    void Run()
    {
        const auto t0 = Clock::now();
        Note("open");
        const int32_t rc = nvtOpen(mJob.transport.c_str(), mPlan.keyDatabase.c_str(), &mHandle);
        if (rc < 0) {
            Finish({"open", "", "", {}, {}, "ERROR", 0, rc, Text()}, t0);
            return;
        }
        uint16_t chip = 0;
        const int32_t idRc = nvtGetChipId(mHandle, &chip);
        Finish({"open", idRc >= 0 ? Hex(chip, 4) : "", "", {}, {}, idRc >= 0 ? "PASS" : "FAIL", 0, idRc,
                idRc >= 0 ? "" : Text()},
               t0);
        if (idRc < 0) return;
        uint16_t build = 0;
        if (nvtGetPtFwBuildId(mHandle, mPlan.firmware.c_str(), &build) >= 0) mRecord.firmwareBuildId = build;

        for (const Step& step : mPlan.steps) {
            if (Aborted(step.name)) return;
            Note(step.name);
            if (!RunStep(step)) return;
        }
        Settle();
    }

private:
    bool Aborted(const std::string& aStep)
    {
        if (mJob.abort == nullptr || *mJob.abort == 0) return false;
        StepRecord s;
        s.name = aStep;
        s.outcome = "ABORT";
        s.text = "stopped by the operator";
        mRecord.steps.push_back(s);
        Outcome("ABORT", s.text);
        return true;
    }

    void Note(const std::string& aStep)
    {
        if (mJob.onStep) mJob.onStep(aStep);
    }

    std::string Text() const { return mHandle != nullptr ? nvtGetLastError(mHandle) : ""; }

    void Outcome(const std::string& aOutcome, const std::string& aText)
    {
        mRecord.outcome = aOutcome;
        mRecord.text = aText;
        mStopped = true;
    }

    // Stores the step; false (the sequence stops) unless it passed.
    bool Finish(StepRecord aStep, Clock::time_point aStart)
    {
        aStep.ms = std::chrono::duration<double, std::milli>(Clock::now() - aStart).count();
        mRecord.steps.push_back(aStep);
        if (aStep.outcome == "PASS") return true;
        Outcome(aStep.outcome, aStep.name + ": " + aStep.text);
        return false;
    }

    // A library call's step: PASS, or FAIL/ERROR with the handle's text.
    bool Call(const Step& aStep, Clock::time_point aStart, int32_t aRc, const std::string& aValue,
              bool aStationFault = false)
    {
        StepRecord s;
        s.name = aStep.name;
        s.value = aValue;
        s.code = aRc;
        s.outcome = aRc >= 0 ? "PASS" : aStationFault ? "ERROR" : "FAIL";
        if (aRc < 0) s.text = Text();
        return Finish(s, aStart);
    }

    // A measured value against the step's limit.
    bool Measured(const Step& aStep, Clock::time_point aStart, double aValue, const std::string& aValueText)
    {
        StepRecord s;
        s.name = aStep.name;
        s.value = aValueText;
        if (aStep.limit) {
            s.unit = aStep.limit->unit;
            s.low = aStep.limit->low;
            s.high = aStep.limit->high;
        }
        s.outcome = Within(aValue, aStep.limit) ? "PASS" : "FAIL";
        if (s.outcome == "FAIL") s.text = aValueText + " is " + LimitText(*aStep.limit);
        return Finish(s, aStart);
    }

    bool RunStep(const Step& aStep)
    {
        const auto t0 = Clock::now();
        switch (aStep.type) {
        case StepType::CsRead: return CsRead(aStep, t0);
        case StepType::FirmwareLoad: {
            const int32_t rc = nvtLoadPtFirmware(mHandle, mPlan.firmware.c_str(), aStep.csKeys ? 1 : 0);
            return Call(aStep, t0, rc, aStep.csKeys ? "with CS keys" : "without CS keys", rc == NVT_ERR_FW_FILE);
        }
        case StepType::XtalTrim:
            return Call(aStep, t0, nvtRadSetXtalTrim(mHandle, static_cast<uint16_t>(aStep.value)), std::to_string(aStep.value));
        case StepType::Carrier: {
            int32_t rc = nvtRadCwStart(mHandle, static_cast<uint8_t>(aStep.channel), static_cast<uint16_t>(aStep.frequencyMhz));
            if (rc >= 0) rc = nvtRadStop(mHandle);
            return Call(aStep, t0, rc, "channel " + std::to_string(aStep.channel) + ", " + std::to_string(aStep.frequencyMhz) + " MHz");
        }
        case StepType::TxBurst: return TxBurst(aStep, t0);
        case StepType::RxCount: {
            int32_t rc = nvtRadRxStart(mHandle, static_cast<uint8_t>(aStep.channel));
            uint16_t packets = 0;
            for (uint32_t i = 0; rc >= 0 && i < aStep.reads; ++i) rc = nvtRadRxGetPkts(mHandle, &packets);
            if (rc < 0) return Call(aStep, t0, rc, "");
            rc = nvtRadStop(mHandle);
            if (rc < 0) return Call(aStep, t0, rc, std::to_string(packets));
            return Measured(aStep, t0, packets, std::to_string(packets));
        }
        case StepType::Pio: {
            int32_t rc = nvtPioAssign(mHandle, aStep.mask, aStep.mask);
            if (rc >= 0) rc = nvtPioSet(mHandle, aStep.levels & aStep.mask, 0);
            uint32_t a = 0, b = 0;
            if (rc >= 0) rc = nvtPioGet(mHandle, &a, &b);
            if (rc < 0) return Call(aStep, t0, rc, "");
            StepRecord s;
            s.name = aStep.name;
            s.value = Hex(a & aStep.mask, 8);
            s.outcome = (a & aStep.mask) == (aStep.levels & aStep.mask) ? "PASS" : "FAIL";
            if (s.outcome == "FAIL")
                s.text = "read back " + s.value + " under mask " + Hex(aStep.mask, 8) + ", expected " + Hex(aStep.levels & aStep.mask, 8);
            return Finish(s, t0);
        }
        case StepType::Aio: {
            int32_t rc = nvtAioSet(mHandle, static_cast<uint8_t>(aStep.channel), static_cast<uint16_t>(aStep.value));
            uint16_t value = 0;
            if (rc >= 0) rc = nvtAioGet(mHandle, static_cast<uint8_t>(aStep.channel), &value);
            if (rc < 0) return Call(aStep, t0, rc, "");
            return Measured(aStep, t0, value, std::to_string(value));
        }
        case StepType::Led:
            return Call(aStep, t0,
                        nvtLedSet(mHandle, aStep.led, static_cast<uint8_t>(aStep.mode), static_cast<uint16_t>(aStep.ledValue),
                                  static_cast<uint8_t>(aStep.brightness)),
                        "led " + std::to_string(aStep.led) + ", mode " + std::to_string(aStep.mode));
        case StepType::Uart: {
            const std::string port = Replace(Replace(aStep.port, "{slot}", std::to_string(mJob.slot)), "{bin}", mJob.binDir);
            const int32_t rc = nvtUartLbTest(mHandle, port.c_str(), aStep.baud);
            // The PC's port not opening, or a rate it does not take, is the
            // fixture's fault; data that does not come back is the DUT's.
            return Call(aStep, t0, rc, port + " @ " + std::to_string(aStep.baud),
                        rc == NVT_ERR_GENERAL || rc == NVT_ERR_INVALID_PARAM);
        }
        case StepType::CsWrite: return CsWrite(aStep, t0);
        case StepType::ReadBack: return ReadBack(aStep, t0);
        }
        return false;
    }

    bool CsRead(const Step& aStep, Clock::time_point aStart)
    {
        int32_t rc = nvtCsCacheReadFromChip(mHandle, mPlan.nvm, 0);
        StepRecord s;
        s.name = aStep.name;
        s.code = rc;
        if (rc >= 0) {
            uint16_t words[4] = {0, 0, 0, 0};
            uint16_t length = 4;
            if (nvtCsCacheReadItem(mHandle, "BLUETOOTH_ADDRESS", words, &length) >= 0 && length == 4) {
                mHeld = Address::FromWords(words);
                mHasHeld = true;
            }
            uint16_t version = 0;
            nvtCsCacheGetVersion(mHandle, &version);
            s.value = "CS version " + std::to_string(version) + (mHasHeld ? ", " + mHeld.Text() : "");
            s.outcome = "PASS";
            return Finish(s, aStart);
        }
        const std::string readText = Text();
        const bool blank = IsBlankDeviceText(readText);
        if (!blank && !mJob.repair) {
            s.outcome = "FAIL";
            s.text = readText + " (the device is left as it is; --repair overwrites it)";
            return Finish(s, aStart);
        }
        // A blank device, or a repair: the golden image, written whole later.
        rc = nvtCsCacheReadFromFile(mHandle, mPlan.blankImage.c_str());
        s.code = rc;
        if (rc < 0) {
            s.outcome = "ERROR";
            s.text = "the blank-device image cannot be used: " + Text();
            return Finish(s, aStart);
        }
        mFresh = true;
        if (!blank) mRecord.repair = true;
        s.value = blank ? "blank, golden image" : "repaired with the golden image";
        s.text = readText;
        s.outcome = "PASS";
        return Finish(s, aStart);
    }

    bool TxBurst(const Step& aStep, Clock::time_point aStart)
    {
        int32_t rc = nvtRadTxStart(mHandle, static_cast<uint8_t>(aStep.channel), static_cast<uint8_t>(aStep.length),
                                   static_cast<uint8_t>(aStep.payload), static_cast<uint16_t>(aStep.packets));
        if (rc < 0) return Call(aStep, aStart, rc, "");
        const uint32_t maxPolls = static_cast<uint32_t>(std::floor(*aStep.limit->high));
        uint16_t left = static_cast<uint16_t>(aStep.packets);
        uint32_t polls = 0;
        while (left != 0 && polls < maxPolls) {
            if (polls > 0) {
                if (mJob.abort != nullptr && *mJob.abort != 0) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(aStep.pollMs));
            }
            rc = nvtRadTxGetPkts(mHandle, &left);
            ++polls;
            if (rc < 0) return Call(aStep, aStart, rc, std::to_string(polls) + " polls");
        }
        if (left != 0) {
            // The burst goes on in the chip; stop it so the handle is usable.
            nvtRadStop(mHandle);
            if (mJob.abort != nullptr && *mJob.abort != 0) return !Aborted(aStep.name);
            StepRecord s;
            s.name = aStep.name;
            s.value = std::to_string(polls);
            s.unit = aStep.limit->unit;
            s.high = aStep.limit->high;
            s.outcome = "FAIL";
            s.text = "the counter still read " + std::to_string(left) + " after " + std::to_string(polls) + " polls";
            return Finish(s, aStart);
        }
        return Measured(aStep, aStart, polls, std::to_string(polls));
    }

    Store* OpenedStore(StepRecord& aStep)
    {
        if (mStore) return mStore.get();
        std::string error;
        mStore = OpenStore(mJob.storeUrl, error);
        if (!mStore) {
            aStep.outcome = "ERROR";
            aStep.text = error;
        }
        return mStore.get();
    }

    bool CsWrite(const Step& aStep, Clock::time_point aStart)
    {
        StepRecord s;
        s.name = aStep.name;
        Store* store = OpenedStore(s);
        if (store == nullptr) return Finish(s, aStart);
        std::string error;
        // A device that holds an address this store committed keeps it.
        if (!mFresh && mHasHeld) {
            std::string state;
            if (!store->StateOf(mHeld, state, error)) {
                s.outcome = "ERROR";
                s.text = error;
                return Finish(s, aStart);
            }
            if (state == "committed") {
                mAddress = mHeld;
                mRecord.addressSource = "retest";
            }
        }
        if (mRecord.addressSource.empty()) {
            const ReserveResult r = store->Reserve(mPlan.nap, mPlan.uap, mJob.owner, mAddress, error);
            if (r != ReserveResult::Ok) {
                s.outcome = "ERROR";
                s.text = error;
                return Finish(s, aStart);
            }
            mReserved = true;
            mRecord.addressSource = "new";
            if (mJob.onReserved) mJob.onReserved(mAddress);
            // Before the address leaves the store for the device.
            if (!store->MakeDurable(error)) {
                s.outcome = "ERROR";
                s.text = error;
                Scrap("the store could not sync: " + error);
                return Finish(s, aStart);
            }
        }
        mRecord.address = mAddress.Text();
        s.value = mAddress.Text() + (mRecord.addressSource == "retest" ? " (kept)" : "");

        uint16_t words[4];
        mAddress.ToWords(words);
        uint16_t length = 4;
        int32_t rc = nvtCsCacheWriteItem(mHandle, "BLUETOOTH_ADDRESS", words, &length);
        std::string key = "BLUETOOTH_ADDRESS";
        for (const PlanKey& k : mPlan.keys) {
            if (rc < 0) break;
            std::vector<uint16_t> value(k.words);
            length = static_cast<uint16_t>(value.size());
            key = k.name;
            rc = nvtCsCacheWriteItem(mHandle, k.name.c_str(), value.data(), &length);
        }
        if (rc >= 0) {
            key.clear();
            // A fresh image goes whole; a programmed device gets its CS block.
            rc = nvtCsCacheWriteToChip(mHandle, mPlan.nvm, mFresh ? 0 : 1);
        }
        s.code = rc;
        if (rc < 0) {
            s.outcome = "FAIL";
            s.text = (key.empty() ? "" : key + ": ") + Text();
            Scrap("CS write failed: " + s.text);
            return Finish(s, aStart);
        }
        mWritten = true;
        if (mReserved && !store->SetState(mAddress, "written", "", error)) {
            s.outcome = "ERROR";
            s.text = error;
            return Finish(s, aStart);
        }
        s.outcome = "PASS";
        return Finish(s, aStart);
    }

    bool ReadBack(const Step& aStep, Clock::time_point aStart)
    {
        StepRecord s;
        s.name = aStep.name;
        int32_t rc = nvtCsCacheReadFromChip(mHandle, mPlan.nvm, 0);
        s.code = rc;
        std::string mismatch;
        if (rc >= 0) {
            auto check = [&](const std::string& aName, std::vector<uint16_t> aExpected) {
                std::vector<uint16_t> got(aExpected.size() + 1, 0);
                uint16_t length = static_cast<uint16_t>(got.size());
                const int32_t r = nvtCsCacheReadItem(mHandle, aName.c_str(), got.data(), &length);
                got.resize(r >= 0 ? length : 0);
                if (r < 0 || got != aExpected) {
                    if (mismatch.empty()) mismatch = aName + (r < 0 ? ": " + Text() : " differs from what was written");
                }
            };
            uint16_t words[4];
            mAddress.ToWords(words);
            check("BLUETOOTH_ADDRESS", std::vector<uint16_t>(words, words + 4));
            for (const PlanKey& k : mPlan.keys) check(k.name, k.words);
        }
        if (rc < 0 || !mismatch.empty()) {
            s.outcome = "FAIL";
            s.text = rc < 0 ? Text() : mismatch;
            Scrap("read-back failed: " + s.text);
            return Finish(s, aStart);
        }
        s.value = mAddress.Text() + ", " + std::to_string(mPlan.keys.size() + 1) + " keys";
        if (mReserved) {
            std::string error;
            if (!mStore->SetState(mAddress, "verified", "", error) || !mStore->SetState(mAddress, "committed", "", error)) {
                s.outcome = "ERROR";
                s.text = error;
                return Finish(s, aStart);
            }
            mReserved = false;
            if (mJob.onSettled) mJob.onSettled();
        }
        s.outcome = "PASS";
        return Finish(s, aStart);
    }

    void Scrap(const std::string& aReason)
    {
        if (!mReserved) return;
        std::string error;
        if (mStore && mStore->SetState(mAddress, "scrapped", aReason, error)) {
            mReserved = false;
            if (mJob.onSettled) mJob.onSettled();
        }
    }

    // The end of the sequence: a reservation that was not committed is
    // scrapped with the DUT's outcome.
    void Release()
    {
        if (mReserved) Scrap(mRecord.outcome + ": " + mRecord.text);
    }

    void Settle()
    {
        if (!mStopped) Outcome("PASS", "");
    }

    const DutJob& mJob;
    const Plan& mPlan;
    Record& mRecord;
    NvtHandle mHandle = nullptr;
    std::unique_ptr<Store> mStore;
    bool mStopped = false;
    bool mFresh = false;     // the cache holds the golden image
    bool mHasHeld = false;   // the address the device held when read
    Address mHeld;
    Address mAddress;
    bool mReserved = false;  // taken from the store, not yet committed or scrapped
    bool mWritten = false;
};

}  // namespace

bool IsBlankDeviceText(const std::string& aText)
{
    // The library gives exactly this text for an erased device (its first
    // words read 0xffff); every other read failure means an image is there
    // but corrupt or unreadable, and the device is left alone.
    return aText == "The device is empty or image is invalid, read 0xffff for words 0-2";
}

Record RunDut(const DutJob& aJob, Record aBase)
{
    Record record = std::move(aBase);
    record.slot = aJob.slot;
    record.transport = aJob.transport;
    record.started = UtcNow();
    {
        Sequence sequence(aJob, record);
        sequence.Run();
    }
    record.ended = UtcNow();
    return record;
}

}  // namespace station
