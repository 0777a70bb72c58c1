#include "slots.h"

#include "platform.h"
#include "text.h"

#include <functional>
#include <memory>

namespace station {

namespace {

struct Slot {
    std::unique_ptr<WorkerProcess> process;
    bool streamOpen = false;
    std::string buffer;
    std::string step;
    std::string address;     // to scrap should the worker die before it settles it
    std::string shown;       // the address on the slot's line
    bool haveRecord = false;
    bool signalled = false;
    Record record;
};

class Display {
public:
    Display(std::FILE* aOut, bool aLive, size_t aSlots) : mOut(aOut), mLive(aLive), mLines(aSlots) {}

    void Set(size_t aIndex, const std::string& aText)
    {
        // Step names come from the plan and texts from devices: neither
        // reaches the terminal with a control character in it.
        mLines[aIndex] = TerminalSafe(aText);
        if (!mLive) {
            std::fprintf(mOut, "slot %zu: %s\n", aIndex + 1, mLines[aIndex].c_str());
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
    const size_t index = static_cast<size_t>(aSlot - 1);
    Record r = ErrorRecord(aRequest.base, aSlot, aRequest.duts[index], aState.step,
                           "the worker " + aHow + (aState.step.empty() ? "" : " during step " + aState.step));
    r.serial = index < aRequest.serials.size() ? aRequest.serials[index] : "";
    r.address = aState.shown;
    if (aState.address.empty() && !aState.shown.empty() && !r.serial.empty())
        r.text += "; its address " + aState.shown + " stays with serial " + r.serial;
    return r;
}

// A worker that died may have taken an address it did not get to report:
// the store knows what it took (this run, this slot). An address without a
// serial may be on the device already and is never handed out again; one
// bound to a serial stays the unit's.
void ScrapWhatTheWorkerLeft(const RunRequest& aRequest, int aSlot, Store* aStore, Record& aRecord)
{
    std::string error;
    std::vector<AddressInfo> left;
    if (aStore == nullptr || !aStore->Unsettled(left, error)) {
        aRecord.text += "; what it took could not be looked up (" + (aStore == nullptr ? std::string("no store") : error) + ")";
        return;
    }
    for (const AddressInfo& a : left) {
        if (a.owner.runId != aRequest.base.runId || a.owner.slot != aSlot || !a.serial.empty()) continue;
        aRecord.address = a.address.Text();
        if (!aStore->SetState(a.address, "scrapped", aRecord.text, error))
            aRecord.text += "; its address " + a.address.Text() + " could not be scrapped (" + error + ")";
    }
}

// Takes the complete lines of what a worker sent; aShow gets the slot's
// line as it changes, aEvents (when given) each step, value and address.
void TakeLines(Slot& aSlot, const std::function<void(const std::string&)>& aShow, const UnitEvents* aEvents)
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
            aShow(rest + (aSlot.shown.empty() ? "" : "  " + aSlot.shown));
            if (aEvents != nullptr && aEvents->onStep) aEvents->onStep(rest);
        } else if (line[0] == 'V') {
            // The value the step measured, with its limit.
            aShow(aSlot.step + "  " + rest + (aSlot.shown.empty() ? "" : "  " + aSlot.shown));
            if (aEvents != nullptr && aEvents->onValue) aEvents->onValue(rest);
        } else if (line[0] == 'A' || line[0] == 'B') {
            // The operator sees the address from the moment it is taken; an
            // address of a run without serials is scrapped should the
            // worker die, one bound to a serial stays the unit's.
            if (line[0] == 'A') aSlot.address = rest;
            aSlot.shown = rest;
            aShow(aSlot.step + "  " + rest);
            if (aEvents != nullptr && aEvents->onAddress) aEvents->onAddress(rest);
        } else if (line[0] == 'C') {
            aSlot.address.clear();
        } else if (line[0] == 'J') {
            const auto json = nlohmann::json::parse(rest, nullptr, false);
            aSlot.haveRecord = !json.is_discarded() && FromJson(json, aSlot.record);
        }
    }
}

// The record of a worker whose pipe has ended: its own, or an ERROR record
// of how it ended (with what it took scrapped).
Record Reap(const RunRequest& aRequest, int aSlot, Store* aStore, Slot& aState)
{
    std::string how;
    const bool exitedCleanly = aState.process->Wait(how);
    aState.process.reset();
    if (!exitedCleanly || !aState.haveRecord) {
        if (exitedCleanly) how = "ended without a record (status 0)";
        aState.record = DeadWorkerRecord(aRequest, aSlot, aState, how);
        aState.haveRecord = true;
        ScrapWhatTheWorkerLeft(aRequest, aSlot, aStore, aState.record);
    }
    return aState.record;
}

Record NotStarted(const RunRequest& aRequest, int aSlot, Slot& aState, const std::string& aError)
{
    Record r = DeadWorkerRecord(aRequest, aSlot, aState, "could not be started");
    r.text = "cannot start the worker (" + aError + ")";
    r.steps.back().text = r.text;
    return r;
}

}  // namespace

std::vector<Record> RunSlots(const RunRequest& aRequest, Store* aStore, volatile std::sig_atomic_t* aAbort, std::FILE* aOut)
{
    const size_t count = aRequest.duts.size();
    std::vector<Slot> slots(count);
    Display display(aOut, aRequest.live, count);
    std::fflush(aOut);
    for (size_t i = 0; i < count; ++i) {
        const int slot = static_cast<int>(i + 1);
        std::string error;
        slots[i].process = WorkerProcess::Start(WorkerRequestLine(aRequest, slot), error);
        if (!slots[i].process) {
            slots[i].haveRecord = true;
            slots[i].record = NotStarted(aRequest, slot, slots[i], error);
            continue;
        }
        slots[i].streamOpen = true;
        display.Set(i, "starting");
    }

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
            TakeLines(s, [&display, i](const std::string& aText) { display.Set(i, aText); }, nullptr);
        }
        // Reap the workers whose pipe has ended.
        for (size_t i = 0; i < count; ++i) {
            Slot& s = slots[i];
            if (!s.process || s.streamOpen) continue;
            Reap(aRequest, static_cast<int>(i + 1), aStore, s);
            --running;
            display.Set(i, OutcomeText(s.record.outcome) + (s.record.address.empty() ? "" : "  " + s.record.address) +
                               (s.record.text.empty() ? "" : "  " + s.record.text));
        }
    }
    std::vector<Record> records;
    for (Slot& s : slots) records.push_back(s.record);
    return records;
}

Record RunUnit(const RunRequest& aRequest, int aSlot, Store* aStore, const std::function<bool()>& aStopped,
               const UnitEvents& aEvents)
{
    Slot state;
    std::string error;
    state.process = WorkerProcess::Start(WorkerRequestLine(aRequest, aSlot), error);
    if (!state.process) return NotStarted(aRequest, aSlot, state, error);
    const auto ignore = [](const std::string&) {};
    for (bool open = true; open;) {
        if (!state.signalled && aStopped && aStopped()) {
            state.process->Stop();
            state.signalled = true;
        }
        WorkerProcess::WaitForAny({state.process.get()}, 100);
        char buffer[4096];
        long n;
        while ((n = state.process->Read(buffer, sizeof buffer)) > 0) state.buffer.append(buffer, static_cast<size_t>(n));
        if (n == 0) open = false;
        TakeLines(state, ignore, &aEvents);
    }
    return Reap(aRequest, aSlot, aStore, state);
}

}  // namespace station
