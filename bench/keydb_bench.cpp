// Key database: load time of a large database against xmllint parsing the
// same file in the same run, and the cost of a key lookup by name.
#include "cscache/cskeysinfo.h"
#include "keydbgen.h"
#include "support/msghandler.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

// An observer that drops everything: the handler then has all channels
// installed and every debug category off, as after the API layer starts.
class QuietObserver : public CObserver {
public:
    int32_t OnMessage(int32_t, int32_t, const char*) override { return 0; }
    void OnProgress(int32_t, int32_t, uint16_t) override {}
};

QuietObserver& Observer()
{
    static QuietObserver observer;
    return observer;
}

CMessageHandler& Handler()
{
    CMessageHandler& handler = TheMsgHnd::Instance().SharedHandler();
    static bool ready = false;
    if (!ready) {
        handler.SetErrorHolder(false);
        handler.SetStatusStream(nullptr);
        handler.SetObserver(&Observer());
        ready = true;
    }
    return handler;
}

const std::string& File(uint16_t aBuilds, uint16_t aKeys)
{
    static std::string large;
    static std::string single;
    std::string& path = aBuilds > 1 ? large : single;
    if (path.empty()) {
        path = (fs::temp_directory_path() /
                ("nvt_keydb_bench_" + std::to_string(aBuilds) + "x" + std::to_string(aKeys) + ".xml"))
                   .string();
        keydbgen::WriteFile(path, keydbgen::ToXml(keydbgen::Generated(aBuilds, aKeys)));
    }
    return path;
}

void BM_KeyDbLoad_50x300(benchmark::State& state)
{
    const std::string& path = File(50, 300);
    CCsKeysInfo keys(Handler());
    for (auto _ : state) {
        if (keys.LoadXML(path) != 0) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(path)));
}
BENCHMARK(BM_KeyDbLoad_50x300)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: a C parser that only checks well-formedness, including the
// start of its process.
void BM_XmllintNoout_50x300(benchmark::State& state)
{
    const std::string command = "xmllint --noout \"" + File(50, 300) + "\"";
#if defined(__unix__)
    // The parser runs in a child process: its processor time is reported
    // as a counter, to compare with the loader's CPU column on a busy host.
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
#endif
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("xmllint failed or is missing");
    }
#if defined(__unix__)
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    auto ms = [](const timeval& aTime) { return aTime.tv_sec * 1000.0 + aTime.tv_usec / 1000.0; };
    const double childMs = ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
    state.counters["child_cpu_ms"] = benchmark::Counter(childMs / static_cast<double>(state.iterations()));
#endif
}
BENCHMARK(BM_XmllintNoout_50x300)->Unit(benchmark::kMillisecond)->UseRealTime();

void LookupByName(benchmark::State& state, const std::string& aName)
{
    CCsKeysInfo keys(Handler());
    if (keys.LoadXML(File(1, 300)) != 0 || keys.SetInterestedVersion(1) != 0) {
        state.SkipWithError("load failed");
        return;
    }
    uint16_t id = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(keys.KeyIdFromName(aName, id));
        benchmark::DoNotOptimize(id);
    }
}

// The last of 300 keys, in other letter case: the longest scan.
void BM_KeyIdFromName_Last_300(benchmark::State& state)
{
    LookupByName(state, "generated_key_299");
}
BENCHMARK(BM_KeyIdFromName_Last_300);

void BM_KeyIdFromName_Middle_300(benchmark::State& state)
{
    LookupByName(state, "GENERATED_KEY_150");
}
BENCHMARK(BM_KeyIdFromName_Middle_300);

void BM_KeyDetailsFromId_Last_300(benchmark::State& state)
{
    CCsKeysInfo keys(Handler());
    keys.LoadXML(File(1, 300));
    keys.SetInterestedVersion(1);
    CsKeyDetails details;
    for (auto _ : state) benchmark::DoNotOptimize(keys.KeyDetailsFromId(399, details));
}
BENCHMARK(BM_KeyDetailsFromId_Last_300);

}  // namespace

BENCHMARK_MAIN();
