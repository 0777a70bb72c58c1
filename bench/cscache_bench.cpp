// Whole-image reads and writes of the chip's NVM through the image cache
// engine: a 64 KiB (32 Ki-word) EEPROM and a 128 KiB (64 Ki-word) SPI flash
// on the simulated chip.
//
// Each case runs with no transport latency and with 50 microseconds per
// transport call (the simulator's latency option busy-waits that long).
// Counters per operation: "calls" transport calls, "words" image words,
// "cpu_us" the processor time of the operation, "own_us" that time less the
// transport latency (library, stand-in libraries and simulator together)
// and "own_share" the share of own_us in cpu_us. Processor time is used
// because the latency is a busy wait: the measure then holds on a loaded
// machine, where wall time also counts the time others had the processor. The flash's 100 ms polls sleep through a fake clock, so
// they count as transport calls but cost no waiting.
#include "support/clock.h"
#include "cscache/cskeysinfo.h"
#include "devsim.h"
#include "keydbgen.h"
#include "cscache/nvimagecache.h"
#include "nvimagegen.h"
#include "nvm.h"
#include "quorlink.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const uint16_t kCsVersion = 5;

CCsKeysInfo& Keys()
{
    static CCsKeysInfo* keys = [] {
        auto* k = new CCsKeysInfo(TheMsgHnd::Instance().SharedHandler());
        keydbgen::Database db;
        db.builds.push_back(keydbgen::Build::Make(kCsVersion));
        db.builds.back().Add("BLUETOOTH_ADDRESS", 1, 4);
        db.builds.back().keys.back().Defaults({0, 0x5B00, 2, 0x5B}).Text("address", "address");
        db.builds.back().Add("CRYSTAL_TRIM", 2, 1);
        db.builds.back().keys.back().Defaults({32}).Text("trim", "trim");
        db.builds.back().Add("DEVICE_NAME", 3, 16);
        db.builds.back().keys.back().Defaults(std::vector<uint16_t>(16, 0x41)).Text("name", "name");
        const std::string xml = keydbgen::ToXml(db);
        k->LoadXMLFromBuffer(xml.data(), xml.size(), "bench.xml");
        k->SetInterestedVersion(kCsVersion);
        return k;
    }();
    return *keys;
}

// An image of about aWords words: header, CS block, the main firmware block
// and filler blocks. Block locations are 16-bit byte addresses, so the
// last block starts below word 0x8000 and the image ends below 0x10000.
std::vector<uint16_t> Image(uint32_t aWords)
{
    nvimagegen::ImagePlan plan;
    plan.csData = nvimagegen::BuildCsData(Keys(), kCsVersion, {}, 64);
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(1234, 0x0640, 32));
    const uint32_t used = 3 + 4 * 4 + static_cast<uint32_t>(plan.csData.size() + plan.firmware[0].words.size());
    uint32_t left = aWords - used;
    // Two fillers: the second starts just below word 0x8000 at most.
    uint32_t first = left / 2;
    if (used + first > 0x7F00) first = 0x7F00 - used;
    const uint32_t second = left - first > 0x7FFF ? 0x7FFF : left - first;
    nvimagegen::FirmwareBlock a{0x2000, std::vector<uint16_t>(first)};
    nvimagegen::FirmwareBlock b{static_cast<uint16_t>(0x2000 + first), std::vector<uint16_t>(second)};
    for (uint32_t i = 0; i < first; ++i) a.words[i] = static_cast<uint16_t>(i * 7);
    for (uint32_t i = 0; i < second; ++i) b.words[i] = static_cast<uint16_t>(i * 13);
    plan.firmware.push_back(a);
    plan.firmware.push_back(b);
    return nvimagegen::BuildImage(plan);
}

struct Case {
    int32_t memType;
    uint32_t imageWords;
    const char* option;
};

const Case kEeprom{kMemTypeEeprom, 0x8000 - 4, "eeprom=0x8000"};
const Case kFlash{kMemTypeSpiFlash, 0xFFF0, "flash=0x10000"};

void Run(benchmark::State& aState, const Case& aCase, bool aWrite)
{
    nvtclock::ScopedFakeClock clock;
    const uint32_t latency = static_cast<uint32_t>(aState.range(0));
    const std::vector<uint16_t> words = Image(aCase.imageWords);
    const std::string file = (std::filesystem::temp_directory_path() / "nvt_cscache_bench.xuv").string();
    nvimagegen::WriteImageFile(file, words, false);

    uint32_t stream = 0;
    const std::string transport = std::string("sim:") + aCase.option;
    if (qlk_stream_open(&stream, transport.c_str()) != 0) {
        aState.SkipWithError("open failed");
        return;
    }
    devsim::Chip* chip = devsim::Find(stream);
    CNvImageCache engine(&Keys(), nullptr);
    if (engine.ReadFile(file) != kCsOk || engine.WriteDevice(aCase.memType, stream, false) != kCsOk) {
        aState.SkipWithError("image set-up failed");
        qlk_stream_close(stream);
        return;
    }
    chip->SetLatencyUs(latency);

    uint64_t calls = 0;
    double seconds = 0;
    for (auto _ : aState) {
        chip->ClearCounters();
        const std::clock_t start = std::clock();
        const int32_t status = aWrite ? engine.WriteDevice(aCase.memType, stream, false)
                                      : engine.ReadDevice(aCase.memType, stream, false);
        seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        calls += chip->counters().calls;
        if (status != kCsOk) {
            aState.SkipWithError("operation failed");
            break;
        }
    }
    const double n = static_cast<double>(aState.iterations() > 0 ? aState.iterations() : 1);
    const double transportSeconds = static_cast<double>(calls) * latency * 1e-6;
    aState.counters["calls"] = static_cast<double>(calls) / n;
    aState.counters["words"] = static_cast<double>(words.size());
    aState.counters["cpu_us"] = seconds / n * 1e6;
    aState.counters["own_us"] = (seconds - transportSeconds) / n * 1e6;
    aState.counters["own_share"] = seconds > 0 ? (seconds - transportSeconds) / seconds : 0;
    qlk_stream_close(stream);
}

void BM_EepromRead(benchmark::State& aState) { Run(aState, kEeprom, false); }
void BM_EepromWrite(benchmark::State& aState) { Run(aState, kEeprom, true); }
void BM_FlashRead(benchmark::State& aState) { Run(aState, kFlash, false); }
void BM_FlashWrite(benchmark::State& aState) { Run(aState, kFlash, true); }

BENCHMARK(BM_EepromRead)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EepromWrite)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashRead)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashWrite)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
