// Cost of the firmware download and of one mailbox command on the
// simulated chip with zero latency: wall time and transport calls.
//
// BM_MailboxCommand and BM_TransportOnly make the same four transport calls
// (command write, command read, alive read, answer read) against the same
// emulated firmware; their difference is the library's own time per command.
#include "api/devicehandle.h"
#include "devsim.h"
#include "ptest/mailbox.h"
#include "ptest/session.h"
#include "nivoratest.h"
#include "xbvbuilder.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

struct Station {
    Station()
    {
        nvtOpen("sim", nullptr, &handle);
        chip = devsim::LastOpened();
        fixtures::PtFirmwareLayout plan;
        plan.firmwareWords = 0x8000;  // 32 Ki words
        file.reset(new fixtures::TempFile(fixtures::BuildPtFirmware(plan)));
    }
    ~Station() { nvtClose(handle); }
    CDeviceHandle& device() { return *static_cast<CDeviceHandle*>(handle); }

    NvtHandle handle = nullptr;
    std::shared_ptr<devsim::Chip> chip;
    std::unique_ptr<fixtures::TempFile> file;
};

void BM_LoadPtFirmware32KWords(benchmark::State& aState)
{
    Station s;
    uint64_t calls = 0, words = 0;
    for (auto _ : aState) {
        s.chip->ClearCounters();
        if (nvtLoadPtFirmware(s.handle, s.file->c_str(), 0) != NVT_OK) {
            aState.SkipWithError(nvtGetLastError(s.handle));
            break;
        }
        calls = s.chip->counters().calls;
        words = s.chip->counters().wordsWritten;
    }
    aState.counters["transport_calls"] = static_cast<double>(calls);
    aState.counters["words_written"] = static_cast<double>(words);
}
BENCHMARK(BM_LoadPtFirmware32KWords)->Unit(benchmark::kMillisecond);

void BM_MailboxCommand(benchmark::State& aState)
{
    Station s;
    nvtLoadPtFirmware(s.handle, s.file->c_str(), 0);
    CDeviceHandle& d = s.device();
    s.chip->ClearCounters();
    uint64_t commands = 0;
    for (auto _ : aState) {
        CMailbox mailbox = d.session->Mailbox();
        benchmark::DoNotOptimize(mailbox.SendCommand(kCmdRadStop));
        ++commands;
    }
    aState.counters["transport_calls_per_command"] =
        static_cast<double>(s.chip->counters().calls) / static_cast<double>(commands ? commands : 1);
}
BENCHMARK(BM_MailboxCommand);

void BM_TransportOnly(benchmark::State& aState)
{
    Station s;
    nvtLoadPtFirmware(s.handle, s.file->c_str(), 0);
    const uint32_t stream = s.device().session->Stream();
    const PtFirmwareTables& t = s.device().session->Tables();
    uint16_t word = 0;
    for (auto _ : aState) {
        qlk_stream_writegp_verify(stream, t.commandLocation, kCmdRadStop);
        qlk_stream_readgp_verify(stream, t.commandLocation, &word);
        qlk_stream_readgp(stream, t.aliveTick, &word);
        qlk_stream_readgp_verify(stream, t.commandLocation, &word);
        benchmark::DoNotOptimize(word);
    }
}
BENCHMARK(BM_TransportOnly);

}  // namespace

BENCHMARK_MAIN();
