// Station benchmarks: the cycle of one DUT on the simulated chip with no
// transport latency and no firmware delays (the TX poll interval set to 0),
// the throughput of the station program with 1, 2 and 4 DUTs in parallel
// (shipped plan, its 10 ms TX polls included), and address allocations per
// second from concurrent processes on SQLite and on a private PostgreSQL
// server, checked for duplicates.
#include "line.h"
#include "plan.h"
#include "sequence.h"
#include "store.h"
#include "support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace stationtest;

namespace {

void StationCycle(benchmark::State& aState)
{
    TempDir dir;
    const std::string planPath = WritePlan(dir, "plan", {{"poll_ms = 10", "poll_ms = 0"}});
    station::Plan plan;
    std::string error;
    if (!station::LoadPlan(planPath, BinDir(), plan, error)) {
        aState.SkipWithError(error.c_str());
        return;
    }
    const std::string db = dir / "cycle.db";
    {
        auto store = station::OpenStore(db, station::StoreMode::Create, error);
        if (!store || !store->AddRange(0x5B, 0x02, 0, 0xFFFFFF, error)) {
            aState.SkipWithError(error.c_str());
            return;
        }
    }
    station::DutJob job;
    job.plan = &plan;
    job.slot = 1;
    job.transport = "sim:uartlink=" + (dir / "plan-uart1");
    job.binDir = BinDir();
    job.storeUrl = db;
    job.owner = {"bench", "bench", 1};
    double totalMs = 0;
    int failed = 0;
    for (auto _ : aState) {
        const station::Record r = station::RunDut(job, station::Record());
        if (r.outcome != station::Outcome::Pass) ++failed;
        for (const auto& s : r.steps) totalMs += s.ms;
    }
    aState.counters["step_ms"] = benchmark::Counter(totalMs / static_cast<double>(aState.iterations()));
    aState.counters["failed"] = failed;
}
BENCHMARK(StationCycle)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The station program on N blank DUTs (in-memory NVM), one run per iteration.
void StationThroughput(benchmark::State& aState)
{
    const int duts = static_cast<int>(aState.range(0));
    TempDir dir;
    const std::string plan = WritePlan(dir, "plan");
    const std::string db = dir / "throughput.db";
    Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0", "--last", "0xFFFFFF"});
    std::vector<std::string> args = {"--plan", plan, "--db", db, "--results", dir / "results", "--no-serial"};
    for (int d = 1; d <= duts; ++d) {
        args.push_back("--dut");
        args.push_back("sim:uartlink=" + (dir / ("plan-uart" + std::to_string(d))));
    }
    int failed = 0;
    for (auto _ : aState) {
        if (Station(args).status != 0) ++failed;
    }
    aState.counters["dut_per_s"] =
        benchmark::Counter(static_cast<double>(duts) * static_cast<double>(aState.iterations()), benchmark::Counter::kIsRate);
    aState.counters["failed"] = failed;
}
BENCHMARK(StationThroughput)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The RF plan (plans/sim.toml) on N blank DUTs sharing one simulated tester,
// one station run per iteration, with no transport latency: DUTs per second,
// and where a DUT's time goes (mean milliseconds of each step).
void StationRfThroughput(benchmark::State& aState)
{
    const int duts = static_cast<int>(aState.range(0));
    TesterProcess tester({"--ports", "8"});
    if (!tester.ok()) {
        aState.SkipWithError("the RF tester did not start");
        return;
    }
    TempDir dir;
    const std::string db = dir / "rf.db";
    Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0", "--last", "0xFFFFFF"});
    std::vector<std::tuple<std::string, std::string, int>> slots;
    std::vector<std::string> args = {"--plan", std::string(STATION_SOURCE_DIR) + "/plans/sim.toml", "--db", db, "--results",
                                     dir / "results"};
    for (int d = 1; d <= duts; ++d) {
        // In-memory NVM: every run meets a blank chip.
        const std::string uart = dir / ("u" + std::to_string(d));
        slots.push_back({"sim:uartlink=" + uart + ",rf=" + tester.Address() + "/" + std::to_string(d) +
                             ",rfseed=" + std::to_string(d),
                         uart, d});
        args.insert(args.end(), {"--serial", "B-" + std::to_string(d)});
    }
    args.insert(args.end(), {"--fixture", WriteFixture(dir, "bench", tester.Address(), slots)});
    int failed = 0;
    for (auto _ : aState)
        if (Station(args).status != 0) ++failed;
    aState.counters["dut_per_s"] =
        benchmark::Counter(static_cast<double>(duts) * static_cast<double>(aState.iterations()), benchmark::Counter::kIsRate);
    aState.counters["failed"] = failed;
    std::map<std::string, std::pair<double, int>> steps;
    for (const station::Record& r : ReadJsonl(dir / "results/records.jsonl"))
        for (const station::StepRecord& s : r.steps) {
            steps[s.name].first += s.ms;
            ++steps[s.name].second;
        }
    for (const auto& [name, sum] : steps) aState.counters["ms_" + name] = sum.first / sum.second;
}
BENCHMARK(StationRfThroughput)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// Runs aBody(p) in aProcesses child processes at once (p from 0); the
// number of them that did not end with status 0.
int InProcesses(int aProcesses, const std::function<int(int)>& aBody)
{
    std::vector<pid_t> children;
    for (int p = 0; p < aProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) _exit(aBody(p));
        children.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : children)
        if (Wait(pid) != 0) ++failed;
    return failed;
}

// aCount addresses of 005B:02 from the store at aUrl, each synced as before
// a device write when aDurable: the process's exit status.
int TakeAddresses(const std::string& aUrl, station::StoreMode aMode, const station::Owner& aOwner, int aCount, bool aDurable)
{
    std::string e;
    auto store = station::OpenStore(aUrl, aMode, e);
    if (!store) return 2;
    for (int i = 0; i < aCount; ++i) {
        station::Address a;
        if ((aDurable ? store->ReserveDurable(0x5B, 0x02, aOwner, "", a, e) : store->Reserve(0x5B, 0x02, aOwner, a, e)) !=
            station::ReserveResult::Ok)
            return 1;
    }
    return 0;
}

// aProcesses processes take aEach addresses each from one store; with
// aDurable each allocation is also synced as before a device write.
void Allocations(benchmark::State& aState, const std::string& aUrl, int aProcesses, int aEach, bool aDurable)
{
    std::string error;
    {
        auto store = station::OpenStore(aUrl, station::StoreMode::Create, error);
        if (!store || !store->AddRange(0x5B, 0x02, 0, 0xFFFFFF, error)) {
            aState.SkipWithError(error.c_str());
            return;
        }
    }
    int64_t total = 0;
    for (auto _ : aState) {
        const int failed = InProcesses(aProcesses, [&](int p) {
            return TakeAddresses(aUrl, station::StoreMode::Create, {"bench", "p" + std::to_string(p), 1}, aEach, aDurable);
        });
        if (failed != 0) aState.SkipWithError("a client failed");
        total += static_cast<int64_t>(aProcesses) * aEach;
    }
    auto store = station::OpenStore(aUrl, station::StoreMode::Create, error);
    std::vector<std::pair<int64_t, std::string>> all;
    if (!store || !store->Addresses(all, error)) return;
    std::set<int64_t> distinct;
    for (const auto& a : all) distinct.insert(a.first);
    aState.counters["alloc_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    aState.counters["duplicates"] = static_cast<double>(all.size() - distinct.size());
    aState.counters["taken"] = static_cast<double>(all.size());
}

void SqliteAllocations(benchmark::State& aState)
{
    TempDir dir;
    Allocations(aState, dir / "alloc.db", 4, 500, aState.range(0) != 0);
}
BENCHMARK(SqliteAllocations)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void PostgresAllocations(benchmark::State& aState)
{
    if (!Postgres().ok()) {
        aState.SkipWithError(Postgres().error().c_str());
        return;
    }
    Allocations(aState, Postgres().NewDatabase(), 8, 500, aState.range(0) != 0);
}
BENCHMARK(PostgresAllocations)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// A station's DUTs take addresses from its local lease store (a SQLite
// file), with the first Arg 1 each one synced before it would go to a
// device, by as many processes as the second Arg (a station's slots, each
// a process of its own): the rate one station can hand out addresses at
// without the central store.
void LeaseAllocations(benchmark::State& aState)
{
    constexpr int kEach = 2400;
    const bool durable = aState.range(0) != 0;
    const int slots = static_cast<int>(aState.range(1));
    TempDir dir;
    std::string error;
    auto central = station::OpenStore(dir / "central.db", station::StoreMode::Create, error);
    if (!central || !central->AddRange(0x5B, 0x02, 0, 0xFFFFFF, error)) {
        aState.SkipWithError(error.c_str());
        return;
    }
    station::Line line(dir / "central.db", dir / "lease.db", "bench", {50000, 0, 24});
    std::string warning;
    if (!line.Open(error)) {
        aState.SkipWithError(error.c_str());
        return;
    }
    int64_t total = 0;
    int failed = 0;
    for (auto _ : aState) {
        aState.PauseTiming();
        line.Renew(0x5B, 0x02, kEach, warning);
        aState.ResumeTiming();
        failed += InProcesses(slots, [&](int p) {
            return TakeAddresses(dir / "lease.db", station::StoreMode::Existing, {"bench", "bench", p + 1}, kEach / slots, durable);
        });
        total += kEach;
    }
    aState.counters["alloc_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    aState.counters["failed"] = failed;
}
BENCHMARK(LeaseAllocations)
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Args({1, 4})
    ->Args({1, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The disk under the benchmarks, for reading the allocation figures: how
// many 8 KiB writes, each synced (fdatasync), N processes make per second
// in one file of the temporary folder. A synced allocation cannot be
// faster than one of these.
void DiskSyncs(benchmark::State& aState)
{
    constexpr int kEach = 1000;
    const int processes = static_cast<int>(aState.range(0));
    TempDir dir;
    const std::string path = dir / "syncs";
    int64_t total = 0;
    for (auto _ : aState) {
        const int failed = InProcesses(processes, [&](int p) {
            const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
            std::vector<char> block(8192, 'x');
            for (int i = 0; fd >= 0 && i < kEach; ++i) {
                const off_t at = static_cast<off_t>((p * 64 + (i % 32) * 2) * 4096);
                if (pwrite(fd, block.data(), block.size(), at) != static_cast<ssize_t>(block.size()) || fdatasync(fd) != 0)
                    return 1;
            }
            return fd >= 0 ? 0 : 2;
        });
        if (failed != 0) aState.SkipWithError("a writer failed");
        total += static_cast<int64_t>(processes) * kEach;
    }
    aState.counters["syncs_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(DiskSyncs)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
