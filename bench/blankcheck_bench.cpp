// What it costs to tell an erased device from a corrupt one: a read of the
// chip's NVM whose words 0-2 read 0xFFFF goes on through the whole area an
// image can occupy, in chunks of 1024 words, and stops at the first word
// that is not erased. Measured on the simulated chip's default memories, a
// 64 KiB (32 Ki-word) EEPROM and a 128 KiB (64 Ki-word) SPI flash:
//   Blank      every word erased: the whole area is read;
//   DataAt40   words 0-2 erased, word 0x40 not: the check stops in its first
//              chunk;
//   Zeros      words 0-2 read 0x0000: refused after three words, as every
//              blank device was before (the reference).
// Each case runs with no transport latency and with 50 microseconds per
// transport call. Counters per read: "calls" transport calls, "words" words
// read from the memory, "cpu_us" the processor time and "own_us" that time
// less the transport latency. The flash's 100 ms polls sleep through a fake
// clock: they count as transport calls but cost no waiting.
#include "cscache/cskeysinfo.h"
#include "cscache/nvimagecache.h"
#include "devsim.h"
#include "nvm.h"
#include "quorlink.h"
#include "support/clock.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

namespace {

enum class Content { Blank, DataAt40, Zeros };

void Run(benchmark::State& aState, int32_t aMemType, Content aContent)
{
    nvtclock::ScopedFakeClock clock;
    const uint32_t latency = static_cast<uint32_t>(aState.range(0));
    uint32_t stream = 0;
    if (qlk_stream_open(&stream, "sim") != 0) {
        aState.SkipWithError("open failed");
        return;
    }
    devsim::Chip* chip = devsim::Find(stream);
    devsim::NvmStore& store = aMemType == kMemTypeEeprom ? chip->nvm().eeprom() : chip->nvm().flash();
    if (aContent == Content::DataAt40) store.Poke(0x40, 0x1234);
    if (aContent == Content::Zeros)
        for (uint32_t w = 0; w < 3; ++w) store.Poke(w, 0);
    chip->SetLatencyUs(latency);
    // No key database: a blank device is refused before any key is placed.
    CNvImageCache engine(nullptr, nullptr);

    uint64_t calls = 0;
    uint64_t words = 0;
    double seconds = 0;
    for (auto _ : aState) {
        chip->ClearCounters();
        const std::clock_t start = std::clock();
        const int32_t status = engine.ReadDevice(aMemType, stream, false);
        seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        calls += chip->counters().calls;
        words += chip->counters().wordsRead;
        if (status != kCsImageCorrupt) {
            aState.SkipWithError("the read was not refused as an empty or corrupt image");
            break;
        }
    }
    const double n = static_cast<double>(aState.iterations() > 0 ? aState.iterations() : 1);
    const double transportSeconds = static_cast<double>(calls) * latency * 1e-6;
    aState.counters["calls"] = static_cast<double>(calls) / n;
    aState.counters["words"] = static_cast<double>(words) / n;
    aState.counters["cpu_us"] = seconds / n * 1e6;
    aState.counters["own_us"] = (seconds - transportSeconds) / n * 1e6;
    qlk_stream_close(stream);
}

void BM_EepromBlank(benchmark::State& aState) { Run(aState, kMemTypeEeprom, Content::Blank); }
void BM_EepromDataAt40(benchmark::State& aState) { Run(aState, kMemTypeEeprom, Content::DataAt40); }
void BM_EepromZeros(benchmark::State& aState) { Run(aState, kMemTypeEeprom, Content::Zeros); }
void BM_FlashBlank(benchmark::State& aState) { Run(aState, kMemTypeSpiFlash, Content::Blank); }
void BM_FlashDataAt40(benchmark::State& aState) { Run(aState, kMemTypeSpiFlash, Content::DataAt40); }
void BM_FlashZeros(benchmark::State& aState) { Run(aState, kMemTypeSpiFlash, Content::Zeros); }

BENCHMARK(BM_EepromBlank)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EepromDataAt40)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EepromZeros)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashBlank)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashDataAt40)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashZeros)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
