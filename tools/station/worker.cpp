#include "worker.h"

#include "dut.h"
#include "platform.h"
#include "sha256.h"
#include "store.h"

#include <memory>

namespace station {

namespace {

std::string RecordLine(const Record& aRecord)
{
    return "J " + ToJson(aRecord).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void RunWorker(const RunRequest& aRequest, int aSlot, const std::function<void(const std::string&)>& aSend,
               const volatile std::sig_atomic_t* aAbort)
{
    DutJob job;
    job.plan = aRequest.plan;
    job.slot = aSlot;
    job.transport = aRequest.duts[static_cast<size_t>(aSlot - 1)];
    job.binDir = aRequest.binDir;
    job.storeUrl = aRequest.storeUrl;
    job.repair = aRequest.repair;
    job.owner = {aRequest.base.runId, aRequest.base.station, aSlot};
    job.abort = aAbort;
    job.onStep = [&aSend](const std::string& aStep) { aSend("S " + aStep); };
    job.onReserved = [&aSend](const Address& aAddress) { aSend("A " + aAddress.Text()); };
    job.onSettled = [&aSend] { aSend("C"); };
    const Record record = RunDut(job, aRequest.base);
    aSend(RecordLine(record));
}

std::string WorkerRequestLine(const RunRequest& aRequest, int aSlot)
{
    const nlohmann::json json = {
        {"plan", aRequest.plan->path},
        {"bin_dir", aRequest.binDir},
        {"slot", aSlot},
        {"transport", aRequest.duts.at(static_cast<size_t>(aSlot - 1))},
        {"store", aRequest.storeUrl},
        {"repair", aRequest.repair},
        {"base", ToJson(aRequest.base)},
    };
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ParseWorkerRequest(const std::string& aLine, WorkerRequest& aRequest, std::string& aError)
{
    const auto json = nlohmann::json::parse(aLine, nullptr, false);
    RunRequest& r = aRequest.request;
    try {
        if (json.is_discarded() || !json.is_object()) throw std::invalid_argument("not a JSON object");
        const int slot = json.at("slot").get<int>();
        if (slot < 1 || slot > 4096) throw std::invalid_argument("slot " + std::to_string(slot) + " out of range");
        aRequest.slot = slot;
        r.binDir = json.at("bin_dir").get<std::string>();
        r.storeUrl = json.at("store").get<std::string>();
        r.repair = json.at("repair").get<bool>();
        r.duts.assign(static_cast<size_t>(slot), std::string());
        r.duts.back() = json.at("transport").get<std::string>();
        if (!FromJson(json.at("base"), r.base)) throw std::invalid_argument("no record");
        const std::string planPath = json.at("plan").get<std::string>();
        if (!LoadPlan(planPath, r.binDir, aRequest.plan, aError)) {
            aError = "invalid plan: " + aError;
            return false;
        }
        if (Sha256OfFile(aRequest.plan.path) != r.base.planSha256) {
            aError = "the plan \"" + aRequest.plan.path + "\" changed after the run started";
            return false;
        }
        r.plan = &aRequest.plan;
        return true;
    } catch (const std::exception& e) {
        aError = std::string("bad worker request (") + e.what() + ")";
        return false;
    }
}

void RunRequestedWorker(const std::string& aLine, const std::function<void(const std::string&)>& aSend,
                        const volatile std::sig_atomic_t* aAbort)
{
    WorkerRequest request;
    std::string error;
    if (!ParseWorkerRequest(aLine, request, error)) {
        // The station records why this slot did not run.
        const auto& duts = request.request.duts;
        aSend(RecordLine(ErrorRecord(request.request.base, request.slot, duts.empty() ? "" : duts.back(), "", error)));
        return;
    }
    RunWorker(request.request, request.slot, aSend, aAbort);
}

Record ErrorRecord(const Record& aBase, int aSlot, const std::string& aTransport, const std::string& aStep,
                   const std::string& aText)
{
    Record r = aBase;
    r.slot = aSlot;
    r.transport = aTransport;
    r.started = r.started.empty() ? UtcNow() : r.started;
    r.ended = UtcNow();
    r.outcome = "ERROR";
    r.text = aText;
    StepRecord s;
    s.name = aStep.empty() ? "worker" : aStep;
    s.outcome = "ERROR";
    s.text = aText;
    r.steps.push_back(s);
    return r;
}

namespace {

struct Slot {
    std::unique_ptr<WorkerProcess> process;
    bool streamOpen = false;
    std::string buffer;
    std::string step;
    std::string address;     // reserved and not settled by the worker
    bool haveRecord = false;
    bool signalled = false;
    Record record;
};

class Display {
public:
    Display(std::FILE* aOut, bool aLive, size_t aSlots) : mOut(aOut), mLive(aLive), mLines(aSlots) {}

    void Set(size_t aIndex, const std::string& aText)
    {
        mLines[aIndex] = aText;
        if (!mLive) {
            std::fprintf(mOut, "slot %zu: %s\n", aIndex + 1, aText.c_str());
            std::fflush(mOut);
            return;
        }
        if (mDrawn) std::fprintf(mOut, "\033[%zuA", mLines.size());
        for (size_t i = 0; i < mLines.size(); ++i) std::fprintf(mOut, "\r\033[2Kslot %zu: %s\n", i + 1, mLines[i].c_str());
        mDrawn = true;
        std::fflush(mOut);
    }

private:
    std::FILE* mOut;
    bool mLive;
    bool mDrawn = false;
    std::vector<std::string> mLines;
};

Record DeadWorkerRecord(const RunRequest& aRequest, int aSlot, const Slot& aState, const std::string& aHow)
{
    Record r = ErrorRecord(aRequest.base, aSlot, aRequest.duts[static_cast<size_t>(aSlot - 1)], aState.step,
                           "the worker " + aHow + (aState.step.empty() ? "" : " during step " + aState.step));
    r.address = aState.address;
    return r;
}

// Takes the complete lines of what a worker sent.
void TakeLines(Slot& aSlot, Display& aDisplay, size_t aIndex)
{
    size_t nl;
    while ((nl = aSlot.buffer.find('\n')) != std::string::npos) {
        std::string line = aSlot.buffer.substr(0, nl);
        aSlot.buffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string rest = line.size() > 2 ? line.substr(2) : "";
        if (line[0] == 'S') {
            aSlot.step = rest;
            aDisplay.Set(aIndex, rest + (aSlot.address.empty() ? "" : "  " + aSlot.address));
        } else if (line[0] == 'A') {
            // The operator sees the address from the moment it is taken.
            aSlot.address = rest;
            aDisplay.Set(aIndex, aSlot.step + "  " + rest);
        } else if (line[0] == 'C') {
            aSlot.address.clear();
        } else if (line[0] == 'J') {
            const auto json = nlohmann::json::parse(rest, nullptr, false);
            aSlot.haveRecord = !json.is_discarded() && FromJson(json, aSlot.record);
        }
    }
}

}  // namespace

std::vector<Record> RunSlots(const RunRequest& aRequest, volatile std::sig_atomic_t* aAbort, std::FILE* aOut)
{
    const size_t count = aRequest.duts.size();
    std::vector<Slot> slots(count);
    Display display(aOut, aRequest.live, count);
    std::fflush(aOut);
    for (size_t i = 0; i < count; ++i) {
        const int slot = static_cast<int>(i + 1);
        std::string error;
        slots[i].process = WorkerProcess::Start(aRequest, slot, error);
        if (!slots[i].process) {
            slots[i].haveRecord = true;
            slots[i].record = DeadWorkerRecord(aRequest, slot, slots[i], "could not be started");
            slots[i].record.text = "cannot start the worker (" + error + ")";
            slots[i].record.steps.back().text = slots[i].record.text;
            continue;
        }
        slots[i].streamOpen = true;
        display.Set(i, "starting");
    }

    std::unique_ptr<Store> store;  // opened only to scrap a dead worker's address
    size_t running = 0;
    for (const Slot& s : slots) running += s.process ? 1 : 0;
    while (running > 0) {
        if (aAbort != nullptr && *aAbort != 0) {
            for (Slot& s : slots) {
                if (s.process && !s.signalled) {
                    s.process->Stop();
                    s.signalled = true;
                }
            }
        }
        std::vector<WorkerProcess*> open;
        for (Slot& s : slots)
            if (s.process && s.streamOpen) open.push_back(s.process.get());
        if (!open.empty()) WorkerProcess::WaitForAny(open, 100);
        for (size_t i = 0; i < count; ++i) {
            Slot& s = slots[i];
            if (!s.process || !s.streamOpen) continue;
            char buffer[4096];
            long n;
            while ((n = s.process->Read(buffer, sizeof buffer)) > 0) s.buffer.append(buffer, static_cast<size_t>(n));
            if (n == 0) s.streamOpen = false;
            TakeLines(s, display, i);
        }
        // Reap the workers whose pipe has ended.
        for (size_t i = 0; i < count; ++i) {
            Slot& s = slots[i];
            if (!s.process || s.streamOpen) continue;
            std::string how;
            const bool exitedCleanly = s.process->Wait(how);
            s.process.reset();
            --running;
            if (!exitedCleanly || !s.haveRecord) {
                if (exitedCleanly) how = "ended without a record (status 0)";
                const std::string address = s.address;
                s.record = DeadWorkerRecord(aRequest, static_cast<int>(i + 1), s, how);
                s.haveRecord = true;
                if (!address.empty()) {
                    // The device may hold it already: it is never handed out again.
                    std::string error;
                    if (!store) store = OpenStore(aRequest.storeUrl, error);
                    auto parsed = ParseAddress(address);
                    if (!store || !parsed || !store->SetState(*parsed, "scrapped", s.record.text, error))
                        s.record.text += "; its address " + address + " could not be scrapped (" + error + ")";
                }
            }
            display.Set(i, s.record.outcome + (s.record.address.empty() ? "" : "  " + s.record.address) +
                               (s.record.text.empty() ? "" : "  " + s.record.text));
        }
    }
    std::vector<Record> records;
    for (Slot& s : slots) records.push_back(s.record);
    return records;
}

}  // namespace station
