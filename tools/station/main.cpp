// station: runs a test plan on one or more DUTs, one worker process each,
// with Bluetooth addresses from the store and a record per DUT. This file
// is the command line and the wiring; the run itself is slots.h (the
// station's side), worker.h and sequence.h (a DUT's), steps.h (what each
// step does), provision.h (the address life cycle) and sinks/ (records).
//
//   station --plan PLAN (--fixture FILE [--tester HOST:PORT] | --dut T...) (--serial S... | --no-serial)
//           [--db URL] [--station NAME] [--operator NAME] [--results DIR] [--repair]
//   station serve --fixture FILE --plan PLAN [--db URL] [--results DIR] [--station NAME] [--operator NAME]
//                 [--web HOST:PORT [--token TOKEN]] [--report-url URL]       (serve.h: all shift)
//   station addresses add --db URL --nap N --uap U --first L --last L
//   station addresses list [--db URL]
//   station addresses scrap --db URL --address NAP:UAP:LAP --reason TEXT
//   station addresses history --db URL [--address NAP:UAP:LAP] [--serial S]
//   station addresses take --db URL --serial S --nap N --uap U [--station NAME]      (JSON)
//   station addresses mark --db URL --address A --state STATE [--serial S] [--reason TEXT]  (JSON)
//   station addresses show --db URL (--address A | --serial S)                       (JSON)
//   station export [--db URL] --csv FILE [--from T] [--to T] [--plan NAME] [--station NAME]
//   station report [--db URL] --out DIR [--from T] [--to T] [--plan NAME] [--station NAME]
//   station sync [--db URL] [--results DIR]
//   station status [--db URL] [--results DIR]
//   station lease list --db URL
//   station lease return --db URL [--results DIR]
//   station lease reclaim --db URL --lease ID [--force]
//
// With a postgresql:// store the station takes leases, blocks of addresses
// kept in its results folder (lease.db), and its DUTs take their addresses
// from them: it keeps testing while the server is away (line.h).
//
// Exit status: 0 every DUT passed, 1 a DUT failed, 2 a station error (also
// a bad plan or command line), 3 the operator stopped the run.
#include "nivoratest.h"

#include "fixture.h"
#include "line.h"
#include "numbergrammar.h"
#include "opening.h"
#include "outbox.h"
#include "plan.h"
#include "platform.h"
#include "report/report.h"
#include "records.h"
#include "serve.h"
#include "sha256.h"
#include "sinks/sink.h"
#include "slots.h"
#include "store.h"
#include "text.h"
#include "worker.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>

namespace {

volatile std::sig_atomic_t gAbort = 0;

using station::HasControl;

int Error(const std::string& aText)
{
    std::fprintf(stderr, "station: ERROR: %s\n", station::TerminalSafe(aText).c_str());
    return 2;
}

// A password in the store URL is visible to every user of the computer in
// the process list (this program's; its workers get the URL through a
// pipe). Say so and name the ways that keep it private, and blank it out
// of this process's own arguments as far as the system allows.
void GuardPassword(int aArgc, char** aArgv, const std::string& aDb)
{
    if (!station::UrlHasPassword(aDb)) return;
    std::fprintf(stderr,
                 "station: WARNING: the store URL holds a password, which other users of this computer can see in the "
                 "process list; give it in a password file (PGPASSFILE, ~/.pgpass), a service file (PGSERVICEFILE, "
                 "service=NAME) or PGPASSWORD instead\n");
    station::HideArgument(aArgc, aArgv, aDb, station::RedactUrl(aDb));
}

struct RunOptions {
    std::string plan;
    std::string fixture;
    std::string tester;
    std::vector<std::string> duts;
    std::string db = "station.db";
    std::string station = station::HostName();
    std::string operatorName;
    std::vector<std::string> serials;
    bool noSerial = false;
    std::string results = "results";
    bool repair = false;
    station::LeasePolicy lease;
};

// What can be known to be wrong before a DUT is touched. "" when nothing is.
std::string CheckNames(const RunOptions& aOptions, size_t aDuts)
{
    if (HasControl(aOptions.station)) return "--station has a control character";
    if (HasControl(aOptions.operatorName)) return "--operator has a control character";
    if (aOptions.noSerial && !aOptions.serials.empty()) return "--serial and --no-serial together";
    if (!aOptions.noSerial && aOptions.serials.empty())
        return "no --serial: give each DUT's serial (once per --dut, in order), or --no-serial for bench work";
    if (!aOptions.noSerial && aOptions.serials.size() != aDuts)
        return std::to_string(aOptions.serials.size()) + " --serial for " + std::to_string(aDuts) + " DUT" +
               (aDuts == 1 ? "" : "s") + ": give one per --dut";
    std::set<std::string> seen;
    for (const std::string& s : aOptions.serials) {
        if (s.empty()) return "an empty --serial";
        if (HasControl(s)) return "a --serial has a control character";
        if (!seen.insert(s).second) return "the serial " + s + " is given twice";
    }
    return "";
}

int Run(const RunOptions& aOptions)
{
    using namespace station;
    const std::string binDir = ProgramDir();
    std::string error;
    Fixture fixture;
    if (!aOptions.fixture.empty()) {
        if (!aOptions.duts.empty()) return Error("--fixture and --dut together: the fixture names the DUTs");
        if (!LoadFixture(aOptions.fixture, binDir, aOptions.tester, fixture, error)) return Error("invalid fixture: " + error);
    } else {
        if (!aOptions.tester.empty()) return Error("--tester needs a --fixture");
        fixture = AdHocFixture(aOptions.duts.empty() ? std::vector<std::string>{"sim"} : aOptions.duts);
    }
    std::vector<std::string> duts;
    for (const FixtureSlot& slot : fixture.slots) duts.push_back(slot.transport);
    if (const std::string e = CheckNames(aOptions, duts.size()); !e.empty()) return Error(e);
    Plan plan;
    if (!LoadPlan(aOptions.plan, binDir, plan, error)) return Error("invalid plan: " + error);
    if (const std::string e = CheckBench(plan, fixture); !e.empty()) return Error(e);
    RunStore stores;
    if (!OpenRunStore(aOptions.db, aOptions.results, aOptions.station, aOptions.lease, plan, fixture, binDir, stores, error))
        return Error(error);
    const bool leased = stores.Leased();

    RunRequest request = SlotsRequest(plan, fixture, stores, aOptions.db, binDir, aOptions.repair);
    request.serials = aOptions.serials;
    request.live = IsLiveTerminal(stdout);
    request.base = BaseRecord(plan, NewRunId(), aOptions.station, aOptions.operatorName);
    const Record& base = request.base;

    std::printf("station %s, run %s, plan %s, %zu DUT%s, store %s\n", base.station.c_str(), base.runId.c_str(),
                TerminalSafe(plan.path).c_str(), duts.size(), duts.size() == 1 ? "" : "s", TerminalSafe(RedactUrl(aOptions.db)).c_str());
    SetStopFlag(&gAbort);

    std::vector<Record> records = RunSlots(request, &stores.Addresses(), &gAbort, stdout);

    // A record that cannot be kept is a station error.
    SinkTargets targets;
    targets.store = stores.Records();
    if (leased && targets.store == nullptr)
        targets.storeAway = "the central store cannot be reached (" + stores.line->CentralError() + ")";
    targets.storeName = TerminalSafe(RedactUrl(aOptions.db));
    targets.resultsDir = aOptions.results;
    targets.runId = base.runId;
    targets.suiteName = "station " + base.station + " run " + base.runId;
    targets.console = stdout;
    const auto sinks = RunSinks(targets);
    const bool kept = KeepRecords(sinks, records, stderr);
    std::printf("%s\n", ClosingLine(sinks).c_str());
    if (leased) ReportUsesOrWarn(*stores.line, "the next run or \"station sync\" reports");
    return ExitStatus(records, kept);
}

int AddRange(station::Store& aStore, const std::string& aDb, uint32_t aNap, uint32_t aUap, uint32_t aFirst, uint32_t aLast)
{
    using namespace station;
    std::string error;
    const auto nap = static_cast<uint16_t>(aNap);
    const auto uap = static_cast<uint8_t>(aUap);
    if (!aStore.AddRange(nap, uap, aFirst, aLast, error)) return Error(error);
    std::printf("added %s to %s\n", (Address{nap, uap, aFirst}.Text() + " - " + Address{nap, uap, aLast}.Text().substr(8)).c_str(),
                TerminalSafe(RedactUrl(aDb)).c_str());
    return 0;
}

int ListRanges(station::Store& aStore)
{
    using namespace station;
    std::string error;
    std::vector<RangeInfo> ranges;
    if (!aStore.ListRanges(ranges, error)) return Error(error);
    std::printf("%-4s %-9s %-8s %-8s %-8s %8s %9s\n", "id", "NAP:UAP", "first", "last", "next", "taken", "committed");
    for (const RangeInfo& r : ranges) {
        char next[16];
        if (r.next > r.last) std::snprintf(next, sizeof next, "used up");
        else std::snprintf(next, sizeof next, "%06X", static_cast<unsigned>(r.next));
        std::printf("%-4lld %04X:%02X   %06X   %06X   %-8s %8lld %9lld\n", static_cast<long long>(r.id),
                    static_cast<unsigned>(r.nap), static_cast<unsigned>(r.uap), static_cast<unsigned>(r.first),
                    static_cast<unsigned>(r.last), next, static_cast<long long>(r.taken),
                    static_cast<long long>(r.committed));
    }
    // Addresses taken and not settled: a station or worker was killed, or a
    // unit keeps its address for its retest. None is handed out again.
    std::vector<AddressInfo> open;
    if (!aStore.Unsettled(open, error)) return Error(error);
    if (!open.empty()) {
        std::printf("\nnot committed (never handed out again; \"addresses scrap\" ends one):\n");
        std::printf("%-14s %-9s %-16s %-24s %-20s %s\n", "address", "state", "serial", "since", "station", "run");
        for (const AddressInfo& a : open)
            std::printf("%-14s %-9s %-16s %-24s %-20s %s slot %d\n", a.address.Text().c_str(), a.state.c_str(),
                        a.serial.empty() ? "-" : a.serial.c_str(), a.updated.c_str(), a.owner.station.c_str(),
                        a.owner.runId.c_str(), a.owner.slot);
    }
    return 0;
}

int Scrap(station::Store& aStore, const std::string& aAddress, const std::string& aReason)
{
    using namespace station;
    std::string error;
    const auto address = ParseAddress(aAddress);
    if (!address) return Error("\"" + aAddress + "\" is not an address NNNN:UU:LLLLLL");
    if (aReason.empty() || HasControl(aReason)) return Error("--reason must be a text without control characters");
    if (!aStore.SetState(*address, "scrapped", "by hand: " + aReason, error)) return Error(error);
    std::printf("scrapped %s: %s\n", address->Text().c_str(), aReason.c_str());
    return 0;
}

int History(station::Store& aStore, const std::string& aAddress, const std::string& aSerial)
{
    using namespace station;
    std::string error, address;
    if (!aAddress.empty()) {
        const auto parsed = ParseAddress(aAddress);
        if (!parsed) return Error("\"" + aAddress + "\" is not an address NNNN:UU:LLLLLL");
        address = parsed->Text();
    }
    std::vector<HistoryEntry> entries;
    if (!aStore.History(address, aSerial, entries, error)) return Error(error);
    for (const HistoryEntry& e : entries)
        std::printf("%s  %s  %-16s %-10s %s%s(%s, run %s, slot %d)\n", e.at.c_str(), e.address.c_str(),
                    e.serial.empty() ? "-" : e.serial.c_str(), e.event.c_str(), e.text.c_str(), e.text.empty() ? "" : "  ",
                    e.owner.station.c_str(), e.owner.runId.c_str(), e.owner.slot);
    return 0;
}

// The store commands for scripts answer in one line of JSON on stdout,
// an error too ({"error": "..."}, exit status 2).
int JsonError(const std::string& aText)
{
    std::printf("%s\n", nlohmann::json{{"error", aText}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return Error(aText);
}

nlohmann::json AddressJson(const station::AddressInfo& aInfo)
{
    return {{"address", aInfo.address.Text()}, {"state", aInfo.state},       {"serial", aInfo.serial},
            {"reason", aInfo.reason},          {"station", aInfo.owner.station}, {"run_id", aInfo.owner.runId},
            {"reserved", aInfo.reserved},      {"updated", aInfo.updated}};
}

int PrintJson(const nlohmann::json& aJson)
{
    std::printf("%s\n", aJson.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
}

// An address for the unit aSerial, as a station's run takes one: the one the
// serial has (not scrapped), else a new one; put on disk before it is
// printed, since the script writes it to the device next.
int Take(station::Store& aStore, const std::string& aSerial, uint32_t aNap, uint32_t aUap, const std::string& aStation)
{
    using namespace station;
    if (aSerial.empty() || HasControl(aSerial)) return JsonError("--serial must be a text without control characters");
    std::string error;
    AddressInfo info;
    bool found = false;
    if (!aStore.AddressOfSerial(aSerial, info, found, error)) return JsonError(error);
    bool fresh = false;
    if (!found) {
        Address a;
        const Owner owner{"script-" + UtcNow(), aStation, 0};
        if (aStore.Reserve(static_cast<uint16_t>(aNap), static_cast<uint8_t>(aUap), owner, aSerial, a, error) !=
                ReserveResult::Ok ||
            !aStore.Lookup(a, info, found, error))
            return JsonError(error);
        fresh = true;
    } else if (info.address.nap != aNap || info.address.uap != aUap) {
        return JsonError("the serial " + aSerial + " has " + info.address.Text() + ", not an address of the NAP:UAP asked for");
    }
    if (info.state != "committed" && !aStore.MakeDurable(info.address, error)) return JsonError(error);
    nlohmann::json json = AddressJson(info);
    json["new"] = fresh;
    return PrintJson(json);
}

int Mark(station::Store& aStore, const std::string& aAddress, const std::string& aState, const std::string& aSerial,
         const std::string& aReason)
{
    using namespace station;
    const auto address = ParseAddress(aAddress);
    if (!address) return JsonError("\"" + aAddress + "\" is not an address NNNN:UU:LLLLLL");
    if (HasControl(aReason)) return JsonError("--reason has a control character");
    std::string error;
    AddressInfo info;
    bool found = false;
    if (!aStore.Lookup(*address, info, found, error)) return JsonError(error);
    if (!found) return JsonError("the store never gave out " + address->Text());
    if (!aSerial.empty() && info.serial != aSerial)
        return JsonError(address->Text() + " belongs to " + (info.serial.empty() ? "no serial" : "serial " + info.serial) +
                         ", not to serial " + aSerial);
    if (aState == "scrapped" && aReason.empty()) return JsonError("scrapping an address needs a --reason");
    if (!aStore.SetState(*address, aState, aReason, error) || !aStore.Lookup(*address, info, found, error))
        return JsonError(error);
    return PrintJson(AddressJson(info));
}

int Show(station::Store& aStore, const std::string& aAddress, const std::string& aSerial)
{
    using namespace station;
    std::string error;
    AddressInfo info;
    bool found = false;
    if (!aAddress.empty()) {
        const auto address = ParseAddress(aAddress);
        if (!address) return JsonError("\"" + aAddress + "\" is not an address NNNN:UU:LLLLLL");
        if (!aStore.Lookup(*address, info, found, error)) return JsonError(error);
    } else if (!aSerial.empty()) {
        if (!aStore.AddressOfSerial(aSerial, info, found, error)) return JsonError(error);
    } else {
        return JsonError("give --address or --serial");
    }
    return PrintJson(found ? AddressJson(info) : nlohmann::json{{"address", nullptr}});
}

int Export(station::Store& aStore, const station::RecordFilter& aFilter, const std::string& aCsv)
{
    using namespace station;
    std::string error;
    std::vector<StoredRecord> stored;
    if (!aStore.Records(aFilter, stored, error)) return Error(error);
    std::vector<Record> records;
    for (const StoredRecord& s : stored) {
        Record r;
        const auto json = nlohmann::json::parse(s.body, nullptr, false);
        if (!json.is_discarded() && FromJson(json, r)) records.push_back(r);
    }
    if (!WriteCsv(aCsv, records, error)) return Error(error);
    std::printf("%zu records written to %s\n", records.size(), aCsv.c_str());
    return 0;
}

// The report of the records aFilter covers, into aOut.
int Report(station::Store& aStore, const station::RecordFilter& aFilter, const std::string& aOut)
{
    using namespace station;
    std::string error;
    std::vector<RecordRow> rows;
    if (!aStore.Rows(aFilter, rows, error)) return Error(error);
    std::vector<report::Entry> entries;
    entries.reserve(rows.size());
    for (const RecordRow& r : rows) {
        report::Entry e;
        e.id = r.runId + "/" + std::to_string(r.slot);
        e.runId = r.runId;
        e.station = r.station;
        e.serial = r.serial;
        e.plan = r.planName;
        e.planDigest = r.planDigest;
        e.slot = r.slot;
        e.outcome = r.outcome;
        e.started = r.started;
        e.ended = r.ended;
        e.failingStep = r.failingStep;
        // The step's own text: the record's text is "step: text".
        const std::string prefix = r.failingStep + ": ";
        e.text = r.text.rfind(prefix, 0) == 0 ? r.text.substr(prefix.size()) : r.text;
        for (const auto& [step, m] : r.measurements)
            e.measurements.push_back({step, m.name, m.value, m.unit, m.low, m.high, m.marginalLow, m.marginalHigh,
                                      m.outcome == Outcome::Pass});
        entries.push_back(std::move(e));
    }
    if (!report::Write(entries, {aFilter.from, aFilter.to, aFilter.plan, aFilter.station}, aOut, error)) return Error(error);
    std::printf("report of %zu records written to %s\n", entries.size(), TerminalSafe(aOut).c_str());
    return 0;
}

// The local lease store of a results folder, when the station took leases
// from aDb there; null (and no error) when it did not.
std::unique_ptr<station::Line> LeaseLine(const std::string& aDb, const std::string& aResults, const std::string& aStation,
                                         std::string& aError)
{
    using namespace station;
    const std::string local = Line::LocalPath(aResults);
    std::error_code ec;
    if (!IsPostgresUrl(aDb) || !std::filesystem::exists(local, ec)) return nullptr;
    auto line = std::make_unique<Line>(aDb, local, aStation, LeasePolicy{});
    if (!line->Open(aError)) return nullptr;
    return line;
}

// Uses of leased addresses the central store does not know yet: reported.
// False (with a text on stderr) when some are still not.
bool ReportLeaseUses(station::Line& aLine)
{
    int64_t left = 0;
    std::string problem;
    if (aLine.ReportUses(left, problem)) return true;
    std::fprintf(stderr, "station: ERROR: %lld use%s of leased addresses not reported (%s)\n", static_cast<long long>(left),
                 left == 1 ? "" : "s", station::TerminalSafe(problem).c_str());
    return false;
}

int Sync(station::Store& aStore, const std::string& aDb, const std::string& aResults)
{
    using namespace station;
    std::string error;
    bool usesReported = true;
    auto line = LeaseLine(aDb, aResults, HostName(), error);
    if (!error.empty()) return Error(error);
    if (line) usesReported = ReportLeaseUses(*line);
    const std::string path = Outbox::PathIn(aResults);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        std::printf("0 records stored, 0 pending (no outbox in %s)\n", aResults.c_str());
        return usesReported ? 0 : 2;
    }
    auto outbox = Outbox::Open(path, error);
    if (!outbox) return Error(error);
    int64_t stored = 0, left = 0;
    std::string refused;
    if (!outbox->Upload(aStore, stored, left, refused, error)) return Error(error);
    std::printf("%lld record%s stored, %lld pending\n", static_cast<long long>(stored), stored == 1 ? "" : "s",
                static_cast<long long>(left));
    if (left > 0) return Error("the store took no more records (" + refused + ")");
    return usesReported ? 0 : 2;
}

// What a station holds that the store does not have yet: records in the
// outbox, uses of leased addresses not reported, its leases. Works with the
// store away (that is when it matters).
int Status(const std::string& aDb, const std::string& aResults)
{
    using namespace station;
    std::string error;
    int64_t pending = 0;
    std::string lastRefusal;
    const std::string outboxPath = Outbox::PathIn(aResults);
    std::error_code ec;
    if (std::filesystem::exists(outboxPath, ec)) {
        auto outbox = Outbox::Open(outboxPath, error);
        if (!outbox || !outbox->Count(pending, error) || !outbox->LastRefusal(lastRefusal, error)) return Error(error);
    }
    std::printf("records pending: %lld%s\n", static_cast<long long>(pending), pending == 0 ? "" : (" in " + outboxPath).c_str());
    if (!lastRefusal.empty()) std::printf("last upload error: %s\n", TerminalSafe(lastRefusal).c_str());
    auto line = LeaseLine(aDb, aResults, HostName(), error);
    if (!error.empty()) return Error(error);
    if (!line) {
        std::printf("leases: none (%s)\n", IsPostgresUrl(aDb) ? "no lease store in the results folder" : "a SQLite store takes none");
        return 0;
    }
    std::vector<AddressInfo> unreported;
    std::vector<LeaseInfo> leases;
    if (!line->Local().Unreported(unreported, error) || !line->Local().Leases(leases, error)) return Error(error);
    std::printf("uses not reported: %zu\n", unreported.size());
    std::printf("central store: %s\n",
                line->Central() != nullptr ? "reachable" : ("cannot be reached (" + TerminalSafe(line->CentralError()) + ")").c_str());
    const std::string now = UtcNow();
    for (const LeaseInfo& l : leases) {
        if (l.state != "open") continue;
        std::printf("lease %lld: %04X:%02X, %lld free, %lld used, expires %s%s\n", static_cast<long long>(l.id),
                    static_cast<unsigned>(l.nap), static_cast<unsigned>(l.uap), static_cast<long long>(l.unused),
                    static_cast<long long>(l.used), l.expires.c_str(), l.expires < now ? " (expired)" : "");
    }
    return 0;
}

int ListLeases(station::Store& aStore)
{
    using namespace station;
    std::string error;
    std::vector<LeaseInfo> leases;
    if (!aStore.Leases(leases, error)) return Error(error);
    const std::string now = UtcNow();
    std::printf("%-6s %-20s %-9s %6s %8s %6s %-24s %s\n", "lease", "station", "NAP:UAP", "size", "unused", "used", "expires",
                "state");
    for (const LeaseInfo& l : leases) {
        const bool expired = l.state == "open" && l.expires < now;
        std::printf("%-6lld %-20s %04X:%02X   %6lld %8lld %6lld %-24s %s\n", static_cast<long long>(l.id),
                    TerminalSafe(l.station).c_str(), static_cast<unsigned>(l.nap), static_cast<unsigned>(l.uap),
                    static_cast<long long>(l.size), static_cast<long long>(l.unused), static_cast<long long>(l.used),
                    l.expires.c_str(), expired ? "expired" : l.state.c_str());
    }
    return 0;
}

// A station that ends cleanly reports its uses and gives back what it did
// not use.
int ReturnLeases(const std::string& aDb, const std::string& aResults)
{
    using namespace station;
    std::string error;
    auto line = LeaseLine(aDb, aResults, HostName(), error);
    if (!error.empty()) return Error(error);
    if (!line) return Error("no lease store in " + aResults + " for a postgresql:// store");
    std::vector<LeaseInfo> before;
    if (!line->Local().Leases(before, error)) return Error(error);
    if (!line->Return(error)) return Error("the leases are kept: " + error);
    int64_t returned = 0, ended = 0;
    for (const LeaseInfo& l : before)
        if (l.state == "open") returned += l.unused, ++ended;
    std::printf("%lld lease%s ended, %lld unused address%s returned\n", static_cast<long long>(ended), ended == 1 ? "" : "s",
                static_cast<long long>(returned), returned == 1 ? "" : "es");
    return 0;
}

// The lease of a station that never came back. What it did not report may
// be on a device: scrapped, never handed out again. A lease still in time
// is refused without --force (its station may be testing right now, and its
// own "lease return" gives back what it did not use).
int Reclaim(station::Store& aStore, int64_t aLease, bool aForce)
{
    using namespace station;
    std::string error;
    std::vector<LeaseInfo> leases;
    if (!aStore.Leases(leases, error)) return Error(error);
    for (const LeaseInfo& l : leases) {
        if (l.id != aLease) continue;
        if (l.state != "open") return Error("lease " + std::to_string(aLease) + " is " + l.state + " already");
        if (l.expires >= UtcNow() && !aForce)
            return Error("lease " + std::to_string(aLease) + " of station " + l.station + " runs until " + l.expires +
                         "; its station gives back what it did not use with \"station lease return\" (--force reclaims it now)");
        if (!aStore.ReclaimLease(aLease, error)) return Error(error);
        std::printf("lease %lld of station %s reclaimed: %lld address%s never reported as used scrapped\n",
                    static_cast<long long>(aLease), TerminalSafe(l.station).c_str(), static_cast<long long>(l.unused),
                    l.unused == 1 ? "" : "es");
        return 0;
    }
    return Error("the store holds no lease " + std::to_string(aLease));
}

}  // namespace

int main(int argc, char** argv)
{
    int workerStatus = 0;
    if (station::RunAsWorker(argc, argv, station::RunRequestedWorker, workerStatus)) return workerStatus;
    CLI::App app{"Production station: runs a test plan on one or more DUTs"};
    app.require_subcommand(0, 1);
    RunOptions run;
    app.add_option("--plan", run.plan, "test plan (TOML)")->check(CLI::ExistingFile);
    app.add_option("--fixture", run.fixture, "the bench: its RF tester and each slot's DUT, UART and RF port (TOML)")
        ->check(CLI::ExistingFile);
    app.add_option("--tester", run.tester, "the RF tester's HOST:PORT, in place of the fixture's");
    app.add_option("--dut", run.duts, "transport of a DUT, without a fixture; once per slot (default: sim)");
    app.add_option("--db", run.db, "address store: a SQLite file or postgresql://...")->capture_default_str();
    app.add_option("--station", run.station, "station name in the records (default: the host name)");
    app.add_option("--operator", run.operatorName, "operator in the records");
    app.add_option("--serial", run.serials, "serial number of each DUT, once per --dut in order");
    app.add_flag("--no-serial", run.noSerial, "bench work: DUTs without serials");
    app.add_option("--results", run.results, "folder of records.jsonl, the runs' JUnit files and the outbox")->capture_default_str();
    app.add_flag("--repair", run.repair, "overwrite a device whose CS cannot be read with the golden image");
    // A run and a shift take leases alike.
    const auto leaseOptions = [](CLI::App* aApp, station::LeasePolicy& aLease) {
        aApp->add_option("--lease-size", aLease.size, "postgresql:// store: addresses per lease (0: no leases)")
            ->capture_default_str()
            ->check(CLI::Range(int64_t(0), int64_t(1000000)));
        aApp->add_option("--lease-low", aLease.low, "a new lease is taken when fewer addresses are free (default: the size)")
            ->check(CLI::Range(int64_t(0), int64_t(10000000)));
        aApp->add_option("--lease-hours", aLease.hours, "how long a lease lasts")
            ->capture_default_str()
            ->check(CLI::Range(1, 24 * 366));
    };
    leaseOptions(&app, run.lease);

    station::ServeOptions serve;
    serve.station = run.station;
    CLI::App* serveCmd = app.add_subcommand("serve", "serve all shift: each slot tests the units whose serials it is given");
    serveCmd->add_option("--plan", serve.plan, "test plan (TOML)")->required()->check(CLI::ExistingFile);
    serveCmd->add_option("--fixture", serve.fixture, "the bench: slots, ports, serial policy, MES (TOML)")
        ->required()
        ->check(CLI::ExistingFile);
    serveCmd->add_option("--tester", serve.tester, "the RF tester's HOST:PORT, in place of the fixture's");
    serveCmd->add_option("--db", serve.db, "address store: a SQLite file or postgresql://...")->capture_default_str();
    serveCmd->add_option("--station", serve.station, "station name in the records (default: the host name)");
    serveCmd->add_option("--operator", serve.operatorName, "operator in the records");
    serveCmd->add_option("--results", serve.results, "folder of records.jsonl and the outboxes")->capture_default_str();
    serveCmd->add_option("--web", serve.web, "serve the operator's web view at HOST:PORT (loopback unless --token)");
    serveCmd->add_option("--token", serve.token, "the token every request to the web view must carry");
    serveCmd->add_option("--report-url", serve.reportUrl, "the yield report the page links to");
    serveCmd->add_flag("--repair", serve.repair, "overwrite a device whose CS cannot be read with the golden image");
    leaseOptions(serveCmd, serve.lease);

    std::string db = "station.db";
    CLI::App* addresses = app.add_subcommand("addresses", "address ranges and addresses of the store");
    addresses->require_subcommand(1);
    uint32_t nap = 0, uap = 0, first = 0, last = 0;
    CLI::App* add = addresses->add_subcommand("add", "add a range of LAPs under one NAP:UAP (makes the store)");
    add->add_option("--db", db, "address store")->capture_default_str();
    auto number = [add](const std::string& aName, uint32_t& aValue, uint64_t aMax, const std::string& aHelp) {
        add->add_option_function<std::string>(
               aName,
               [&aValue, aName, aMax](const std::string& aText) {
                   uint64_t v = 0;
                   if (!numbergrammar::Parse(aText, aMax, v))
                       throw CLI::ValidationError(aName, "\"" + aText + "\" is not a number from 0 to " +
                                                             std::to_string(aMax) + " (decimal or 0x hexadecimal)");
                   aValue = static_cast<uint32_t>(v);
               },
               aHelp)
            ->required();
    };
    number("--nap", nap, 0xFFFF, "NAP (16 bits)");
    number("--uap", uap, 0xFF, "UAP (8 bits)");
    number("--first", first, 0xFFFFFF, "first LAP");
    number("--last", last, 0xFFFFFF, "last LAP");
    CLI::App* list = addresses->add_subcommand("list", "list the ranges, how much of each is taken, and what is not committed");
    list->add_option("--db", db, "address store")->capture_default_str();
    std::string address, reason, serial;
    CLI::App* scrap = addresses->add_subcommand("scrap", "scrap an address that was taken and not committed");
    scrap->add_option("--db", db, "address store")->capture_default_str();
    scrap->add_option("--address", address, "the address, NAP:UAP:LAP")->required();
    scrap->add_option("--reason", reason, "why (kept in its history)")->required();
    CLI::App* history = addresses->add_subcommand("history", "what happened to an address or a serial");
    history->add_option("--db", db, "address store")->capture_default_str();
    history->add_option("--address", address, "the address, NAP:UAP:LAP");
    history->add_option("--serial", serial, "a unit's serial");
    std::string state, takeStation = run.station;
    CLI::App* take = addresses->add_subcommand("take", "take the address of a unit for a script (JSON)");
    take->add_option("--db", db, "address store")->capture_default_str();
    take->add_option("--serial", serial, "the unit's serial")->required();
    take->add_option("--station", takeStation, "station name in the store (default: the host name)");
    auto takeNumber = [take](const std::string& aName, uint32_t& aValue, uint64_t aMax, const std::string& aHelp) {
        take->add_option_function<std::string>(
               aName,
               [&aValue, aName, aMax](const std::string& aText) {
                   uint64_t v = 0;
                   if (!numbergrammar::Parse(aText, aMax, v))
                       throw CLI::ValidationError(aName, "\"" + aText + "\" is not a number from 0 to " +
                                                             std::to_string(aMax) + " (decimal or 0x hexadecimal)");
                   aValue = static_cast<uint32_t>(v);
               },
               aHelp)
            ->required();
    };
    takeNumber("--nap", nap, 0xFFFF, "NAP (16 bits)");
    takeNumber("--uap", uap, 0xFF, "UAP (8 bits)");
    CLI::App* mark = addresses->add_subcommand("mark", "move an address on: written, verified, committed or scrapped (JSON)");
    mark->add_option("--db", db, "address store")->capture_default_str();
    mark->add_option("--address", address, "the address, NAP:UAP:LAP")->required();
    mark->add_option("--state", state, "written, verified, committed or scrapped")
        ->required()
        ->check(CLI::IsMember({"written", "verified", "committed", "scrapped"}));
    mark->add_option("--serial", serial, "the unit it must belong to");
    mark->add_option("--reason", reason, "why (scrapped)");
    CLI::App* show = addresses->add_subcommand("show", "what the store knows of an address or a serial (JSON)");
    show->add_option("--db", db, "address store")->capture_default_str();
    show->add_option("--address", address, "the address, NAP:UAP:LAP");
    show->add_option("--serial", serial, "a unit's serial");
    station::RecordFilter filter;
    auto filterOptions = [&filter](CLI::App* aCommand) {
        aCommand->add_option("--from", filter.from, "records started at or after this UTC time (2026-12-10, 2026-12-10T08:00)");
        aCommand->add_option("--to", filter.to, "records started at or before this UTC time (a day: the whole day)");
        aCommand->add_option("--plan", filter.plan, "records of this plan's name");
        aCommand->add_option("--station", filter.station, "records of this station");
    };
    CLI::App* exportCmd = app.add_subcommand("export", "write the records as CSV");
    std::string csv;
    exportCmd->add_option("--db", db, "address store")->capture_default_str();
    exportCmd->add_option("--csv", csv, "CSV file to write")->required();
    filterOptions(exportCmd);
    CLI::App* reportCmd = app.add_subcommand("report", "write a yield report (HTML page and CSV files)");
    std::string out;
    reportCmd->add_option("--db", db, "address store")->capture_default_str();
    reportCmd->add_option("--out", out, "folder of index.html and the CSV files")->required();
    filterOptions(reportCmd);
    CLI::App* sync = app.add_subcommand("sync", "store the records the outbox still holds");
    std::string results = "results";
    sync->add_option("--db", db, "address store")->capture_default_str();
    sync->add_option("--results", results, "results folder of the outbox")->capture_default_str();
    CLI::App* status = app.add_subcommand("status", "records pending, uses not reported and leases of a results folder");
    status->add_option("--db", db, "address store")->capture_default_str();
    status->add_option("--results", results, "results folder")->capture_default_str();
    CLI::App* lease = app.add_subcommand("lease", "the leases of a postgresql:// store");
    lease->require_subcommand(1);
    CLI::App* leaseList = lease->add_subcommand("list", "every lease, its station, what it used and when it expires");
    leaseList->add_option("--db", db, "the central store")->required();
    CLI::App* leaseReturn = lease->add_subcommand("return", "report this station's uses and give back what it did not use");
    leaseReturn->add_option("--db", db, "the central store")->required();
    leaseReturn->add_option("--results", results, "the station's results folder")->capture_default_str();
    int64_t leaseId = 0;
    bool force = false;
    CLI::App* leaseReclaim = lease->add_subcommand("reclaim", "end the lease of a station that never came back");
    leaseReclaim->add_option("--db", db, "the central store")->required();
    leaseReclaim->add_option("--lease", leaseId, "the lease's number (lease list)")->required();
    leaseReclaim->add_flag("--force", force, "reclaim a lease that has not expired");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    GuardPassword(argc, argv, db);
    GuardPassword(argc, argv, run.db);
    GuardPassword(argc, argv, serve.db);
    // The web view's token is a secret too: out of the process list.
    if (!serve.token.empty()) station::HideArgument(argc, argv, serve.token, std::string(serve.token.size(), '*'));
    if (serveCmd->parsed()) return station::Serve(serve, &gAbort);
    const bool json = take->parsed() || mark->parsed() || show->parsed();
    if (status->parsed()) return Status(db, results);
    if (leaseReturn->parsed()) return ReturnLeases(db, results);
    if ((leaseList->parsed() || leaseReclaim->parsed()) && !station::IsPostgresUrl(db))
        return Error("leases are taken from a postgresql:// store; \"" + station::RedactUrl(db) + "\" is not one");
    if (add->parsed() || list->parsed() || scrap->parsed() || history->parsed() || exportCmd->parsed() || sync->parsed() ||
        reportCmd->parsed() || leaseList->parsed() || leaseReclaim->parsed() || json) {
        // Only "addresses add" makes a store; the other commands need one.
        std::string error;
        auto store = station::OpenStore(db, add->parsed() ? station::StoreMode::Create : station::StoreMode::Existing, error);
        if (!store) return json ? JsonError(error) : Error(error);
        if (take->parsed()) return Take(*store, serial, nap, uap, takeStation);
        if (mark->parsed()) return Mark(*store, address, state, serial, reason);
        if (show->parsed()) return Show(*store, address, serial);
        if (add->parsed()) return AddRange(*store, db, nap, uap, first, last);
        if (list->parsed()) return ListRanges(*store);
        if (scrap->parsed()) return Scrap(*store, address, reason);
        if (history->parsed()) return History(*store, address, serial);
        if (exportCmd->parsed()) return Export(*store, filter, csv);
        if (reportCmd->parsed()) return Report(*store, filter, out);
        if (leaseList->parsed()) return ListLeases(*store);
        if (leaseReclaim->parsed()) return Reclaim(*store, leaseId, force);
        return Sync(*store, db, results);
    }
    if (run.plan.empty()) {
        std::fprintf(stderr, "%s", app.help().c_str());
        return 2;
    }
    return Run(run);
}
