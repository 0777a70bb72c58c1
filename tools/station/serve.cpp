#include "serve.h"

#include "opening.h"
#include "platform.h"
#include "slots.h"
#include "text.h"
#include "uploader.h"
#include "web/state_json.h"
#include "web/viewed_station.h"
#include "web/webview.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

// One line of JSON on stdout: lines of several threads never mix.
class JsonOut {
public:
    void Line(const nlohmann::json& aJson)
    {
        const std::string text = aJson.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::lock_guard<std::mutex> lock(mMutex);
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }

private:
    std::mutex mMutex;
};

void Warn(const std::string& aText)
{
    std::fprintf(stderr, "station: WARNING: %s\n", TerminalSafe(aText).c_str());
}

nlohmann::json OutboxJson(const Uploader::State& aState)
{
    return {{"store", aState.storePending},
            {"mes", aState.mesPending},
            {"mes_set_aside", aState.mesSetAside},
            {"store_problem", aState.storeProblem},
            {"mes_problem", aState.mesProblem}};
}

// What the station serves with.
struct Shift {
    const Plan* plan = nullptr;
    const Fixture* fixture = nullptr;
    RunRequest request;  // every slot's transport and ports, the base record
    RunStore* stores = nullptr;
    Uploader* uploader = nullptr;
    JsonOut* out = nullptr;
};

class ServeStation : public web::ViewedStation {
public:
    explicit ServeStation(const Shift& aShift)
        : ViewedStation(aShift.request.base.station, static_cast<int>(aShift.fixture->slots.size())),
          mShift(aShift),
          mSlots(aShift.fixture->slots.size())
    {
        mView.plan = aShift.plan->path;
        mView.fixture = aShift.fixture->path;
    }

    ~ServeStation() override { Join(); }

    void SetReportUrl(const std::string& aUrl) { mView.shift.reportUrl = aUrl; }

    void Start()
    {
        for (size_t i = 0; i < mSlots.size(); ++i) mSlots[i].thread = std::thread([this, i] { SlotLoop(i); });
    }

    // Waits for every slot to end (after Stop()).
    void Join()
    {
        for (SlotState& s : mSlots)
            if (s.thread.joinable()) s.thread.join();
    }

    bool Stopping()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mView.stopping;
    }

    web::StationView Snapshot() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        web::StationView view = mView;
        const auto now = Clock::now();
        for (size_t i = 0; i < mSlots.size(); ++i)
            if (view.slots[i].state == "running")
                view.slots[i].elapsed = std::chrono::duration<double>(now - mSlots[i].started).count();
        return view;
    }
    std::string SubmitSerial(int aSlot, const std::string& aSerial) override
    {
        const Fixture& fixture = *mShift.fixture;
        size_t index = 0;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mView.stopping) return "the station is stopping";
            if (aSlot < 1 || static_cast<size_t>(aSlot) > mSlots.size())
                return "the station has no slot " + std::to_string(aSlot);
            index = static_cast<size_t>(aSlot - 1);
            if (const std::string problem = SerialFormatProblem(aSerial, fixture.serialPattern); !problem.empty())
                return problem;
            for (size_t i = 0; i < mSlots.size(); ++i)
                if (mSlots[i].busy && mSlots[i].serial == aSerial)
                    return aSerial + " is " + (mSlots[i].running ? "running" : "being checked") + " on slot " +
                           std::to_string(i + 1);
            if (mSlots[index].busy)
                return "slot " + std::to_string(aSlot) + " is testing " + mSlots[index].serial;
            // Held while it is checked: no other slot takes this serial,
            // and this slot no other serial.
            mSlots[index].busy = true;
            mSlots[index].serial = aSerial;
        }
        int64_t attempts = 0;
        const std::string refusal = Check(aSerial, attempts);
        std::lock_guard<std::mutex> lock(mMutex);
        SlotState& slot = mSlots[index];
        if (refusal.empty() && mView.stopping) {
            slot.busy = false;
            return "the station is stopping";
        }
        if (!refusal.empty()) {
            slot.busy = false;
            return refusal;
        }
        slot.running = true;
        slot.firstAttempt = attempts == 0;
        slot.started = Clock::now();
        slot.abort = false;
        web::SlotView& view = mView.slots[index];
        view = web::SlotView();
        view.slot = aSlot;
        view.state = "running";
        view.serial = aSerial;
        Changed();
        return "";
    }

    void Stop() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mView.stopping) return;
        mView.stopping = true;
        for (SlotState& s : mSlots) s.abort = true;
        Changed();
    }

private:
    struct SlotState {
        std::thread thread;
        bool busy = false;     // a serial is being checked or tested
        bool running = false;  // it is being tested
        bool firstAttempt = false;
        std::string serial;
        Clock::time_point started;
        std::atomic<bool> abort{false};
    };

    // The checks that need the store or the MES. "" when the unit may be
    // tested; aAttempts: its tests so far.
    std::string Check(const std::string& aSerial, int64_t& aAttempts)
    {
        const Fixture& fixture = *mShift.fixture;
        std::string error;
        if (!mShift.uploader->Attempts(aSerial, aAttempts, error)) {
            if (fixture.maxAttempts > 0)
                return "the tests of " + aSerial + " cannot be counted, so it is not tested (" + error + ")";
            aAttempts = -1;  // not known: not counted in the first-pass yield
        }
        if (fixture.maxAttempts > 0 && aAttempts >= fixture.maxAttempts)
            return aSerial + " is quarantined after " + std::to_string(aAttempts) + " attempt" + (aAttempts == 1 ? "" : "s") +
                   " (this station allows " + std::to_string(fixture.maxAttempts) + "): it is not tested again";
        if (fixture.mes) {
            std::string reason;
            switch (mes::Check(*fixture.mes, aSerial, mShift.request.base.station, mShift.plan->name, reason)) {
                case mes::CheckResult::Allowed:
                    break;
                case mes::CheckResult::Refused:
                    return "the MES refuses " + aSerial + ": " + reason;
                case mes::CheckResult::Unavailable:
                    return "the MES cannot say whether " + aSerial + " may be tested, so it is not (" + reason + ")";
            }
        }
        return "";
    }

    void SlotLoop(size_t aIndex)
    {
        const int slot = static_cast<int>(aIndex + 1);
        SlotState& state = mSlots[aIndex];
        // This slot's own connection, for a worker that dies.
        std::string error;
        std::unique_ptr<Store> store = OpenStore(mShift.request.storeUrl, StoreMode::Existing, error);
        if (!store) Warn("slot " + std::to_string(slot) + ": " + error);
        for (;;) {
            std::string serial;
            {
                std::unique_lock<std::mutex> lock(mMutex);
                mChanged.wait(lock, [&] { return mView.stopping || state.running; });
                if (!state.running) return;  // stopping
                serial = state.serial;
            }
            Record record = RunOne(slot, serial, store.get());
            std::string keepError;
            const bool kept = mShift.uploader->Keep(record, keepError);
            if (!kept) {
                // Shown as the station's fault: the result is not known to be kept.
                record.outcome = Outcome::Error;
                record.text = "the record could not be kept (" + keepError + ")";
                std::fprintf(stderr, "station: ERROR: slot %d: %s\n", slot, TerminalSafe(record.text).c_str());
            }
            Show(aIndex, record);
            mShift.out->Line({{"event", "done"},
                              {"slot", slot},
                              {"serial", serial},
                              {"outcome", OutcomeText(record.outcome)},
                              {"id", RecordId(record)},
                              {"text", record.text}});
        }
    }

    Record RunOne(int aSlot, const std::string& aSerial, Store* aStore)
    {
        const size_t index = static_cast<size_t>(aSlot - 1);
        RunRequest request = mShift.request;
        request.serials.assign(mSlots.size(), std::string());
        request.serials[index] = aSerial;
        // A run id per unit: the store keeps one record per run and slot.
        request.base.runId = mShift.request.base.runId + "." + std::to_string(++mUnits);
        if (mShift.stores->Leased()) {
            std::lock_guard<std::mutex> lock(mShift.uploader->StoreLock());
            std::string warning;
            mShift.stores->line->RetryCentral();
            mShift.stores->line->Renew(mShift.plan->nap, mShift.plan->uap, static_cast<int64_t>(mSlots.size()), warning);
            if (!warning.empty()) Warn(warning);
        }
        UnitEvents events;
        events.onStep = [this, index](const std::string& aStep) {
            std::lock_guard<std::mutex> lock(mMutex);
            web::SlotView& view = mView.slots[index];
            // The sequence stops at a step that does not pass: one that
            // started another has passed.
            if (!view.steps.empty() && view.steps.back().outcome.empty()) view.steps.back().outcome = "PASS";
            view.steps.push_back({aStep, "", ""});
            view.step = aStep;
            Changed();
        };
        events.onValue = [this, index](const std::string& aText) {
            std::lock_guard<std::mutex> lock(mMutex);
            web::SlotView& view = mView.slots[index];
            SplitValue(aText, view.value, view.limit, view.marginal);
            if (!view.steps.empty()) view.steps.back().value = view.value;
            Changed();
        };
        events.onAddress = [this, index](const std::string& aAddress) {
            std::lock_guard<std::mutex> lock(mMutex);
            mView.slots[index].address = aAddress;
            Changed();
        };
        SlotState& state = mSlots[index];
        return RunUnit(request, aSlot, aStore, [&state] { return state.abort.load(); }, events);
    }

    void Show(size_t aIndex, const Record& aRecord)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        SlotState& state = mSlots[aIndex];
        web::SlotView& view = mView.slots[aIndex];
        view.state = "done";
        view.outcome = OutcomeText(aRecord.outcome);
        view.text = aRecord.text;
        view.step.clear();
        if (!aRecord.address.empty()) view.address = aRecord.address;
        view.elapsed = std::chrono::duration<double>(Clock::now() - state.started).count();
        view.steps.clear();
        for (const StepRecord& s : aRecord.steps) {
            std::string value = s.value + (s.unit.empty() || s.value.empty() ? "" : " " + s.unit);
            view.steps.push_back({s.name, OutcomeText(s.outcome), value});
        }
        web::ShiftView& shift = mView.shift;
        ++shift.tested;
        switch (aRecord.outcome) {
            case Outcome::Pass:
                ++shift.passed;
                break;
            case Outcome::Fail:
                ++shift.failed;
                break;
            case Outcome::Error:
                ++shift.errors;
                break;
            case Outcome::Abort:
                ++shift.aborted;
                break;
        }
        // First-pass yield: of the units tested here for the first time
        // that ended PASS or FAIL, the share that passed.
        if (state.firstAttempt && (aRecord.outcome == Outcome::Pass || aRecord.outcome == Outcome::Fail)) {
            ++mFirstTested;
            if (aRecord.outcome == Outcome::Pass) ++mFirstPassed;
            shift.firstPassYield = static_cast<double>(mFirstPassed) / static_cast<double>(mFirstTested);
        }
        state.busy = state.running = false;
        state.serial.clear();
        Changed();
    }

    Shift mShift;
    std::vector<SlotState> mSlots;
    std::atomic<uint64_t> mUnits{0};
    int64_t mFirstTested = 0, mFirstPassed = 0;
};

// Lines of stdin, read by a thread of its own (a read of a console cannot
// be waited for with a time-out everywhere). The thread may still be in a
// read when the station ends; it owns nothing but its share of the queue.
class StdinLines {
public:
    StdinLines() : mQueue(std::make_shared<Queue>())
    {
        std::thread([queue = mQueue] {
            std::string line;
            while (std::getline(std::cin, line)) {
                std::lock_guard<std::mutex> lock(queue->mutex);
                queue->lines.push_back(line);
                queue->ready.notify_all();
            }
            std::lock_guard<std::mutex> lock(queue->mutex);
            queue->ended = true;
            queue->ready.notify_all();
        }).detach();
    }
    // The lines there now, after waiting at most aWait for one.
    std::deque<std::string> Take(std::chrono::milliseconds aWait)
    {
        std::unique_lock<std::mutex> lock(mQueue->mutex);
        mQueue->ready.wait_for(lock, aWait, [&] { return !mQueue->lines.empty(); });
        std::deque<std::string> lines;
        lines.swap(mQueue->lines);
        return lines;
    }

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::string> lines;
        bool ended = false;
    };
    std::shared_ptr<Queue> mQueue;
};

// One line of the JSON interface.
void Answer(const std::string& aLine, ServeStation& aStation, Uploader& aUploader, JsonOut& aOut)
{
    if (aLine.find_first_not_of(" \t\r") == std::string::npos) return;
    if (aLine.size() > 4096) {
        aOut.Line({{"error", "a line longer than 4096 bytes"}});
        return;
    }
    const auto json = nlohmann::json::parse(aLine, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        aOut.Line({{"error", "not a JSON object"}});
        return;
    }
    if (json.contains("command")) {
        const auto& command = json["command"];
        if (command == "stop") {
            aStation.Stop();
            aOut.Line({{"stopping", true}});
        } else if (command == "status") {
            const std::string state = web::StateJson(aStation.Snapshot(), aStation.Version());
            aOut.Line({{"event", "status"},
                       {"state", nlohmann::json::parse(state, nullptr, false)},
                       {"outbox", OutboxJson(aUploader.Pending())}});
        } else {
            aOut.Line({{"error", "the commands are \"status\" and \"stop\""}});
        }
        return;
    }
    if (!json.contains("slot") || !json["slot"].is_number_integer() || !json.contains("serial") || !json["serial"].is_string()) {
        aOut.Line({{"error", "a serial is {\"slot\": N, \"serial\": \"...\"}"}});
        return;
    }
    const int64_t slot64 = json["slot"].get<int64_t>();
    const int slot = slot64 < 1 || slot64 > 4096 ? 0 : static_cast<int>(slot64);
    const std::string serial = json["serial"].get<std::string>();
    const std::string refusal = aStation.SubmitSerial(slot, serial);
    aOut.Line({{"slot", slot64}, {"serial", serial}, {"accepted", refusal.empty()}, {"text", refusal}});
}

int Fail(const std::string& aText)
{
    std::fprintf(stderr, "station: ERROR: %s\n", TerminalSafe(aText).c_str());
    return 2;
}

}  // namespace

std::string SerialFormatProblem(const std::string& aSerial, const std::string& aPattern)
{
    if (aSerial.empty()) return "the serial is empty";
    if (aSerial.size() > kMaxSerialLength) return "the serial is longer than " + std::to_string(kMaxSerialLength) + " characters";
    if (HasControl(aSerial)) return "the serial has a control character";
    if (aPattern.empty()) return "";
    bool matches = false;
    try {
        matches = std::regex_match(aSerial, std::regex(aPattern, std::regex::ECMAScript));
    } catch (const std::exception&) {
        // A pattern too complex for this serial is no match.
    }
    if (!matches) return "the serial \"" + aSerial + "\" does not match the pattern " + aPattern;
    return "";
}

void SplitValue(const std::string& aText, std::string& aValue, std::string& aLimit, bool& aMarginal)
{
    aValue = aText;
    aLimit.clear();
    aMarginal = false;
    const size_t open = aText.rfind(" [");
    if (open == std::string::npos) return;
    const size_t close = aText.find(']', open);
    if (close == std::string::npos) return;
    aLimit = aText.substr(open + 2, close - open - 2);
    aMarginal = aText.compare(close + 1, std::string::npos, " marginal") == 0;
    // The measurement starts after the one before it ("], " or "marginal, ").
    const size_t before = aText.rfind(", ", open);
    const size_t previousClose = aText.rfind(']', open);
    size_t start = 0;
    if (before != std::string::npos && previousClose != std::string::npos && previousClose < before) start = before + 2;
    aValue = aText.substr(start, open - start);
}

int Serve(const ServeOptions& aOptions, volatile std::sig_atomic_t* aStop)
{
    const std::string binDir = ProgramDir();
    std::string error;
    if (aOptions.fixture.empty()) return Fail("station serve needs a --fixture: it names the slots");
    if (HasControl(aOptions.station)) return Fail("--station has a control character");
    if (HasControl(aOptions.operatorName)) return Fail("--operator has a control character");
    Fixture fixture;
    if (!LoadFixture(aOptions.fixture, binDir, aOptions.tester, fixture, error)) return Fail("invalid fixture: " + error);
    Plan plan;
    if (!LoadPlan(aOptions.plan, binDir, plan, error)) return Fail("invalid plan: " + error);
    if (const std::string e = CheckBench(plan, fixture); !e.empty()) return Fail(e);
    RunStore stores;
    if (!OpenRunStore(aOptions.db, aOptions.results, aOptions.station, aOptions.lease, plan, fixture, binDir, stores, error))
        return Fail(error);

    Shift shift;
    shift.plan = &plan;
    shift.fixture = &fixture;
    shift.request = SlotsRequest(plan, fixture, stores, aOptions.db, binDir, aOptions.repair);
    shift.request.base = BaseRecord(plan, NewRunId(), aOptions.station, aOptions.operatorName);
    shift.stores = &stores;

    Uploader uploader;
    Uploader::Options upload;
    upload.resultsDir = aOptions.results;
    upload.mes = fixture.mes;
    upload.retry = fixture.mesRetry;
    upload.retry.jitter = 0.2;
    upload.store = [&stores](std::string& aWhy) -> Store* {
        if (stores.Leased()) stores.line->RetryCentral();
        Store* store = stores.Records();
        if (store == nullptr && stores.Leased()) aWhy = stores.line->CentralError();
        return store;
    };
    if (!uploader.Open(upload, error)) return Fail(error);
    shift.uploader = &uploader;
    JsonOut out;
    shift.out = &out;

    ServeStation station(shift);
    station.SetReportUrl(aOptions.reportUrl);
    web::WebServer server;
    std::string webUrl;
    if (!aOptions.web.empty()) {
        if (!server.Start(aOptions.web, aOptions.token, station, error)) return Fail("the web view: " + error);
        webUrl = "http://" + server.Address() + "/";
    }
    SetStopFlag(aStop);
    uploader.Start();
    station.Start();
    std::fprintf(stderr, "station %s serving plan %s on %zu slot%s, run %s, store %s%s\n", shift.request.base.station.c_str(),
                 TerminalSafe(plan.path).c_str(), fixture.slots.size(), fixture.slots.size() == 1 ? "" : "s",
                 shift.request.base.runId.c_str(), TerminalSafe(RedactUrl(aOptions.db)).c_str(),
                 webUrl.empty() ? "" : (", web view " + webUrl).c_str());
    out.Line({{"event", "ready"}, {"web", webUrl}});

    StdinLines input;
    while (!station.Stopping()) {
        if (*aStop != 0) {
            station.Stop();
            break;
        }
        for (const std::string& line : input.Take(std::chrono::milliseconds(100))) Answer(line, station, uploader, out);
    }
    // Running units end ABORT at their next safe point; the page shows it.
    station.Join();
    if (!webUrl.empty()) {
        // The pages get the last state before the server closes (a page
        // that reads no more is given two seconds).
        server.Drain(std::chrono::seconds(2));
        server.Close();
    }
    uploader.Finish();
    const Uploader::State left = uploader.Pending();
    if (left.storePending > 0)
        Warn(std::to_string(left.storePending) + " record(s) not in the store yet (" + left.storeProblem + "); kept in " +
             Outbox::PathIn(aOptions.results) + ", \"station sync\" or the next shift stores them");
    if (left.mesPending > 0)
        Warn(std::to_string(left.mesPending) + " record(s) not with the MES yet (" + left.mesProblem + "); kept in " +
             MesOutboxPath(aOptions.results) + ", the next shift posts them");
    if (left.mesSetAside > 0) Warn(std::to_string(left.mesSetAside) + " record(s) refused by the MES, set aside in " + MesOutboxPath(aOptions.results));
    if (stores.Leased()) {
        std::lock_guard<std::mutex> lock(uploader.StoreLock());
        stores.line->RetryCentral();
        if (!stores.line->Return(error)) Warn("the leases are kept: " + error);
    }
    out.Line({{"event", "stopped"}, {"outbox", OutboxJson(left)}});
    return 0;
}

}  // namespace station
