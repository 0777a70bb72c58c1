#include "worker.h"

#include "sequence.h"
#include "sha256.h"

namespace station {

namespace {

std::string RecordLine(const Record& aRecord)
{
    return "J " + JsonText(aRecord);
}

template <class T>
T At(const std::vector<T>& aValues, int aSlot, T aNone)
{
    const size_t index = static_cast<size_t>(aSlot - 1);
    return index < aValues.size() ? aValues[index] : aNone;
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
    job.centralUrl = aRequest.centralUrl;
    job.repair = aRequest.repair;
    job.owner = {aRequest.base.runId, aRequest.base.station, aSlot};
    job.abort = aAbort;
    job.onStep = [&aSend](const std::string& aStep) { aSend("S " + aStep); };
    job.serial = At<std::string>(aRequest.serials, aSlot, "");
    job.uart = At<std::string>(aRequest.uarts, aSlot, "");
    job.rfPort = At(aRequest.rfPorts, aSlot, 0);
    job.tester = aRequest.tester;
    job.onValue = [&aSend](const std::string& aText) { aSend("V " + aText); };
    job.onAddress = [&aSend](const Address& aAddress, bool aScrapIfLost) {
        aSend((aScrapIfLost ? "A " : "B ") + aAddress.Text());
    };
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
        {"serial", At<std::string>(aRequest.serials, aSlot, "")},
        {"uart", At<std::string>(aRequest.uarts, aSlot, "")},
        {"rf_port", At(aRequest.rfPorts, aSlot, 0)},
        {"tester", aRequest.tester ? nlohmann::json{{"address", aRequest.tester->address}, {"identity", aRequest.tester->identity}}
                                   : nlohmann::json(nullptr)},
        {"store", aRequest.storeUrl},
        {"central", aRequest.centralUrl},
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
        r.centralUrl = json.value("central", "");
        r.repair = json.at("repair").get<bool>();
        r.duts.assign(static_cast<size_t>(slot), std::string());
        r.duts.back() = json.at("transport").get<std::string>();
        const std::string serial = json.value("serial", "");
        if (!serial.empty()) {
            r.serials.assign(static_cast<size_t>(slot), std::string());
            r.serials.back() = serial;
        }
        r.uarts.assign(static_cast<size_t>(slot), std::string());
        r.uarts.back() = json.value("uart", "");
        r.rfPorts.assign(static_cast<size_t>(slot), 0);
        r.rfPorts.back() = json.value("rf_port", 0);
        if (json.contains("tester") && json.at("tester").is_object())
            r.tester = TesterSetup{json.at("tester").at("address").get<std::string>(),
                                  json.at("tester").at("identity").get<std::string>()};
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
    r.outcome = Outcome::Error;
    r.text = aText;
    StepRecord s;
    s.name = aStep.empty() ? "worker" : aStep;
    s.outcome = Outcome::Error;
    s.text = aText;
    r.steps.push_back(s);
    return r;
}

}  // namespace station
