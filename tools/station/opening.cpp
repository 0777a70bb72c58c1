#include "opening.h"

#include "nivoratest.h"

#include "platform.h"
#include "sha256.h"
#include "text.h"

#include <cstdio>
#include <filesystem>
#include <random>

namespace station {

std::string NewRunId()
{
    std::random_device random;
    char text[64];
    const std::string now = UtcNow();  // 2026-12-09T17:20:00.123Z
    std::string compact;
    for (char c : now)
        if (c != '-' && c != ':' && c != '.') compact += c;
    std::snprintf(text, sizeof text, "%s-%d-%08x", compact.c_str(), static_cast<int>(ProcessId()), random());
    return text;
}

std::string LibraryVersion()
{
    uint8_t v[4] = {0, 0, 0, 0};
    nvtGetVersion(&v[0], &v[1], &v[2], &v[3]);
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

bool HasControl(const std::string& aText)
{
    for (unsigned char c : aText)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::string CheckBench(const Plan& aPlan, const Fixture& aFixture)
{
    for (const Step& step : aPlan.steps) {
        for (size_t i = 0; i < aFixture.slots.size(); ++i) {
            const std::string where = "step \"" + step.name + "\" (plan line " + std::to_string(step.line) + ")";
            if (step.row->needsTester && !aFixture.tester)
                return where + " measures through an RF tester, but " +
                       (aFixture.path.empty() ? std::string("no fixture names one (--fixture)") : "the fixture names none");
            if (step.row->needsTester && aFixture.slots[i].rfPort == 0)
                return where + " needs an RF port for slot " + std::to_string(i + 1) + " in the fixture";
            if (step.texts.count("port") == 0 && std::string(step.row->name) == "uart" && aFixture.slots[i].uart.empty())
                return where + " needs a UART port for slot " + std::to_string(i + 1) + " (in the fixture or the plan)";
        }
    }
    return "";
}

std::string CheckLine(const Plan& aPlan, Store& aStore, const Fixture& aFixture, const std::string& aResults,
                      const std::string& aBinDir)
{
    const size_t aDuts = aFixture.slots.size();
    std::string error;
    int64_t free = 0, ranges = 0;
    if (!aStore.Free(aPlan.nap, aPlan.uap, free, ranges, error)) return error;
    if (ranges == 0) return NoRangeText(aPlan.nap, aPlan.uap);
    if (free < static_cast<int64_t>(aDuts))
        return (free == 0 ? UsedUpText(aPlan.nap, aPlan.uap)
                          : "the address ranges of " + Address{aPlan.nap, aPlan.uap, 0}.Text().substr(0, 7) + " hold " +
                                std::to_string(free) + " free address" + (free == 1 ? "" : "es") + " for " +
                                std::to_string(aDuts) + " DUTs");
    std::error_code ec;
    std::filesystem::create_directories(aResults, ec);
    if (ec) return "cannot make the results folder \"" + aResults + "\" (" + ec.message() + ")";
    // The folder must take files, not only exist.
    const std::string probe = (std::filesystem::path(aResults) / ".station-probe").string();
    if (!WriteFileAtomically(probe, "", error)) return "the results folder \"" + aResults + "\" is not writable (" + error + ")";
    std::filesystem::remove(probe, ec);
    for (const Step& step : aPlan.steps) {
        if (std::string(step.row->name) != "uart") continue;
        for (size_t slot = 1; slot <= aDuts; ++slot) {
            const std::string& wired = aFixture.slots[slot - 1].uart;
            const std::filesystem::path port = !wired.empty() ? wired : UartPort(step, static_cast<int>(slot), aBinDir);
            const std::filesystem::path folder = port.parent_path();
            if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
                return "step \"" + step.name + "\" of slot " + std::to_string(slot) + ": the port's folder \"" +
                       folder.string() + "\" does not exist";
        }
    }
    return "";
}

bool OpenRunStore(const std::string& aDb, const std::string& aResults, const std::string& aStation,
                  const LeasePolicy& aLease, const Plan& aPlan, const Fixture& aFixture, const std::string& aBinDir,
                  RunStore& aStore, std::string& aError)
{
    // The store must work before any DUT is touched; this process keeps it
    // open for the run (its workers open their own). With leases that is
    // the local store, renewed from the central one first.
    aStore = RunStore();
    const bool leased = IsPostgresUrl(aDb) && aLease.size > 0;
    if (leased) {
        std::error_code ec;
        std::filesystem::create_directories(aResults, ec);
        const std::string local = std::filesystem::absolute(Line::LocalPath(aResults), ec).string();
        aStore.line = std::make_unique<Line>(aDb, local, aStation, aLease);
        if (!aStore.line->Open(aError)) return false;
        ReportUsesOrWarn(*aStore.line, "");
        aStore.line->Renew(aPlan.nap, aPlan.uap, static_cast<int64_t>(aFixture.slots.size()), aStore.leaseWarning);
        if (!aStore.leaseWarning.empty())
            std::fprintf(stderr, "station: WARNING: %s\n", TerminalSafe(aStore.leaseWarning).c_str());
    } else {
        aStore.store = OpenStore(aDb, StoreMode::Existing, aError);
        if (!aStore.store) return false;
    }
    if (std::string e = CheckLine(aPlan, aStore.Addresses(), aFixture, aResults, aBinDir); !e.empty()) {
        // Without a lease the local store has no range: say why there is
        // none rather than how a range is added to a store.
        if (leased && !aStore.leaseWarning.empty() && e.find("no address range") != std::string::npos)
            e = "no leased addresses of this plan's NAP:UAP to test with: " + aStore.leaseWarning;
        else if (leased)
            e = "leased addresses: " + e + (aStore.leaseWarning.empty() ? "" : " (" + aStore.leaseWarning + ")");
        aError = e;
        return false;
    }
    return true;
}

void ReportUsesOrWarn(Line& aLine, const std::string& aLater)
{
    int64_t left = 0;
    std::string problem;
    if (!aLine.ReportUses(left, problem) && left > 0)
        std::fprintf(stderr, "station: WARNING: %lld use%s of leased addresses not reported to the central store yet (%s)%s\n",
                     static_cast<long long>(left), left == 1 ? "" : "s", TerminalSafe(problem).c_str(),
                     aLater.empty() ? "" : ("; " + aLater + (left == 1 ? " it" : " them")).c_str());
}

RunRequest SlotsRequest(const Plan& aPlan, const Fixture& aFixture, const RunStore& aStores, const std::string& aDb,
                        const std::string& aBinDir, bool aRepair)
{
    RunRequest request;
    request.plan = &aPlan;
    for (const FixtureSlot& slot : aFixture.slots) {
        request.duts.push_back(slot.transport);
        request.uarts.push_back(slot.uart);
        request.rfPorts.push_back(slot.rfPort);
    }
    request.tester = aFixture.tester;
    request.storeUrl = aStores.WorkerUrl(aDb);
    if (aStores.Leased()) request.centralUrl = aDb;
    request.binDir = aBinDir;
    request.repair = aRepair;
    return request;
}

Record BaseRecord(const Plan& aPlan, const std::string& aRunId, const std::string& aStation, const std::string& aOperator)
{
    Record base;
    base.runId = aRunId;
    base.station = aStation;
    base.operatorName = aOperator;
    base.libraryVersion = LibraryVersion();
    base.plan = aPlan.path;
    base.planName = aPlan.name;
    base.planSha256 = Sha256OfFile(aPlan.path);
    base.firmwareSha256 = Sha256OfFile(aPlan.firmware);
    base.keyDatabaseSha256 = Sha256OfFile(aPlan.keyDatabase);
    return base;
}

}  // namespace station
