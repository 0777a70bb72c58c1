// station: runs a test plan on one or more DUTs, one worker process each,
// with Bluetooth addresses from the store and a record per DUT. This file
// is the command line and the wiring; the run itself is slots.h (the
// station's side), worker.h and sequence.h (a DUT's), steps.h (what each
// step does), provision.h (the address life cycle) and sinks/ (records).
//
//   station --plan PLAN [--dut T]... [--db URL] [--station NAME] [--operator NAME]
//           [--serial S]... [--results DIR] [--repair]
//   station addresses add --db URL --nap N --uap U --first L --last L
//   station addresses list [--db URL]
//   station export [--db URL] --csv FILE
//
// Exit status: 0 every DUT passed, 1 a DUT failed, 2 a station error (also
// a bad plan or command line), 3 the operator stopped the run.
#include "nivoratest.h"

#include "numbergrammar.h"
#include "plan.h"
#include "platform.h"
#include "records.h"
#include "sha256.h"
#include "sinks/sink.h"
#include "slots.h"
#include "store.h"
#include "worker.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>

namespace {

volatile std::sig_atomic_t gAbort = 0;

std::string NewRunId()
{
    std::random_device random;
    char text[64];
    const std::string now = station::UtcNow();  // 2026-12-09T17:20:00.123Z
    std::string compact;
    for (char c : now)
        if (c != '-' && c != ':' && c != '.') compact += c;
    std::snprintf(text, sizeof text, "%s-%d-%08x", compact.c_str(), static_cast<int>(station::ProcessId()), random());
    return text;
}

int Error(const std::string& aText)
{
    std::fprintf(stderr, "station: ERROR: %s\n", aText.c_str());
    return 2;
}

std::string LibraryVersion()
{
    uint8_t v[4] = {0, 0, 0, 0};
    nvtGetVersion(&v[0], &v[1], &v[2], &v[3]);
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

struct RunOptions {
    std::string plan;
    std::vector<std::string> duts;
    std::string db = "station.db";
    std::string station = station::HostName();
    std::string operatorName;
    std::vector<std::string> serials;
    std::string results = "results";
    bool repair = false;
};

int Run(const RunOptions& aOptions)
{
    using namespace station;
    const std::string binDir = ProgramDir();
    Plan plan;
    std::string error;
    if (!LoadPlan(aOptions.plan, binDir, plan, error)) return Error("invalid plan: " + error);
    std::vector<std::string> duts = aOptions.duts.empty() ? std::vector<std::string>{"sim"} : aOptions.duts;
    if (aOptions.serials.size() > duts.size()) return Error("more --serial than --dut");
    // The store must work before any DUT is touched; this process keeps it
    // open for the run (its workers open their own).
    auto store = OpenStore(aOptions.db, error);
    if (!store) return Error(error);
    std::error_code ec;
    std::filesystem::create_directories(aOptions.results, ec);
    if (ec) return Error("cannot make the results folder \"" + aOptions.results + "\" (" + ec.message() + ")");

    RunRequest request;
    request.plan = &plan;
    request.duts = duts;
    request.storeUrl = aOptions.db;
    request.binDir = binDir;
    request.repair = aOptions.repair;
    request.live = IsLiveTerminal(stdout);
    Record& base = request.base;
    base.runId = NewRunId();
    base.station = aOptions.station;
    base.operatorName = aOptions.operatorName;
    base.libraryVersion = LibraryVersion();
    base.plan = plan.path;
    base.planSha256 = Sha256OfFile(plan.path);
    base.firmwareSha256 = Sha256OfFile(plan.firmware);
    base.keyDatabaseSha256 = Sha256OfFile(plan.keyDatabase);

    std::printf("station %s, run %s, plan %s, %zu DUT%s, store %s\n", base.station.c_str(), base.runId.c_str(),
                plan.path.c_str(), duts.size(), duts.size() == 1 ? "" : "s", aOptions.db.c_str());
    SetStopFlag(&gAbort);

    std::vector<Record> records = RunSlots(request, store.get(), &gAbort, stdout);
    for (size_t i = 0; i < records.size() && i < aOptions.serials.size(); ++i) records[i].serial = aOptions.serials[i];

    // A record that cannot be kept is a station error.
    SinkTargets targets;
    targets.store = store.get();
    targets.storeName = aOptions.db;
    targets.resultsDir = aOptions.results;
    targets.suiteName = "station " + base.station + " run " + base.runId;
    targets.console = stdout;
    const auto sinks = RunSinks(targets);
    const bool kept = KeepRecords(sinks, records, stderr);
    std::printf("%s\n", ClosingLine(sinks).c_str());
    return ExitStatus(records, kept);
}

int Addresses(station::Store& aStore, const std::string& aDb, bool aAdd, uint32_t aNap, uint32_t aUap, uint32_t aFirst,
              uint32_t aLast)
{
    using namespace station;
    std::string error;
    if (aAdd) {
        const auto nap = static_cast<uint16_t>(aNap);
        const auto uap = static_cast<uint8_t>(aUap);
        if (!aStore.AddRange(nap, uap, aFirst, aLast, error)) return Error(error);
        std::printf("added %s to %s\n",
                    (Address{nap, uap, aFirst}.Text() + " - " + Address{nap, uap, aLast}.Text().substr(8)).c_str(),
                    aDb.c_str());
        return 0;
    }
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
    return 0;
}

int Export(station::Store& aStore, const std::string& aCsv)
{
    using namespace station;
    std::string error;
    std::vector<StoredRecord> stored;
    if (!aStore.Records(stored, error)) return Error(error);
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

}  // namespace

int main(int argc, char** argv)
{
    int workerStatus = 0;
    if (station::RunAsWorker(argc, argv, station::RunRequestedWorker, workerStatus)) return workerStatus;
    CLI::App app{"Production station: runs a test plan on one or more DUTs"};
    app.require_subcommand(0, 1);
    RunOptions run;
    app.add_option("--plan", run.plan, "test plan (TOML)")->check(CLI::ExistingFile);
    app.add_option("--dut", run.duts, "transport of a DUT; give it once per slot (default: sim)");
    app.add_option("--db", run.db, "address store: a SQLite file or postgresql://...")->capture_default_str();
    app.add_option("--station", run.station, "station name in the records (default: the host name)");
    app.add_option("--operator", run.operatorName, "operator in the records");
    app.add_option("--serial", run.serials, "DUT serial number, once per slot in order");
    app.add_option("--results", run.results, "folder of records.jsonl and junit.xml")->capture_default_str();
    app.add_flag("--repair", run.repair, "overwrite a device whose CS cannot be read with the golden image");

    CLI::App* addresses = app.add_subcommand("addresses", "address ranges of the store");
    addresses->require_subcommand(1);
    std::string db = "station.db";
    uint32_t nap = 0, uap = 0, first = 0, last = 0;
    CLI::App* add = addresses->add_subcommand("add", "add a range of LAPs under one NAP:UAP");
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
    CLI::App* list = addresses->add_subcommand("list", "list the ranges and how much of each is taken");
    list->add_option("--db", db, "address store")->capture_default_str();
    CLI::App* exportCmd = app.add_subcommand("export", "write the records as CSV");
    std::string csv;
    exportCmd->add_option("--db", db, "address store")->capture_default_str();
    exportCmd->add_option("--csv", csv, "CSV file to write")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    if (*add || *list || *exportCmd) {
        // The store commands all work on the store --db names.
        std::string error;
        auto store = station::OpenStore(db, error);
        if (!store) return Error(error);
        if (*exportCmd) return Export(*store, csv);
        return Addresses(*store, db, add->parsed(), nap, uap, first, last);
    }
    if (run.plan.empty()) {
        std::fprintf(stderr, "%s", app.help().c_str());
        return 2;
    }
    return Run(run);
}
