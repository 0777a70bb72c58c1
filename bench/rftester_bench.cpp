// What the simulated RF tester and the chip's cable cost a station: an SCPI
// round trip, a measurement, a radio command that must reach the tester
// before it returns, and a generator run counted by the chip. The tester
// runs in this process on a thread of its own, with no modelled delays, so
// the figures are the simulation's own cost over loopback TCP.
#include "nivoratest.h"
#include "tester.h"
#include "xbvbuilder.h"

#include <asio.hpp>
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>

namespace {

class Bench {
public:
    Bench() : mTester(mIo, rftester::TesterConfig()), mFirmware(fixtures::BuildPtFirmware(fixtures::PtFirmwareLayout()))
    {
        std::string error;
        mTester.Listen("127.0.0.1", 0, error);
        mPort = mTester.port();
        mThread = std::thread([this] { mIo.run(); });
        mClient.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), mPort));
        mClient.set_option(asio::ip::tcp::no_delay(true));
    }
    ~Bench()
    {
        if (mDut != nullptr) nvtClose(mDut);
        // Stop closes the listener and every connection; the context runs
        // their last handlers and then runs out. (Stopping the context at
        // once would leave the connections to be destroyed with it, after
        // the tester, which Windows' sockets do not survive.)
        asio::post(mIo, [this] { mTester.Stop(); });
        mThread.join();
    }

    std::string Query(const std::string& aLine)
    {
        asio::write(mClient, asio::buffer(aLine + "\n"));
        const size_t length = asio::read_until(mClient, mInput, '\n');
        std::string line(asio::buffers_begin(mInput.data()), asio::buffers_begin(mInput.data()) + length - 1);
        mInput.consume(length);
        return line;
    }
    void Send(const std::string& aLine) { asio::write(mClient, asio::buffer(aLine + "\n")); }

    // A chip with the firmware running; cabled to port 1 unless aCabled is false.
    NvtHandle Dut(bool aCabled)
    {
        const std::string transport = aCabled ? "sim:rf=127.0.0.1:" + std::to_string(mPort) + "/1" : "sim";
        if (nvtOpen(transport.c_str(), nullptr, &mDut) != NVT_OK ||
            nvtLoadPtFirmware(mDut, mFirmware.c_str(), 0) != NVT_OK)
            return nullptr;
        return mDut;
    }

private:
    asio::io_context mIo;
    rftester::Tester mTester;
    uint16_t mPort = 0;
    std::thread mThread;
    asio::io_context mClientIo;
    asio::ip::tcp::socket mClient{mClientIo};
    asio::streambuf mInput;
    fixtures::TempFile mFirmware;
    NvtHandle mDut = nullptr;
};

void ScpiQuery(benchmark::State& aState)
{
    Bench bench;
    for (auto _ : aState) benchmark::DoNotOptimize(bench.Query("*IDN?"));
}
BENCHMARK(ScpiQuery)->Unit(benchmark::kMicrosecond);

void CarrierOffsetMeasurement(benchmark::State& aState)
{
    Bench bench;
    NvtHandle dut = bench.Dut(true);
    if (dut == nullptr || nvtRadCwStart(dut, 19, 0) != NVT_OK) aState.SkipWithError("no cabled DUT");
    bench.Send("CONF:CHAN 19");
    for (auto _ : aState) benchmark::DoNotOptimize(bench.Query("READ:FREQ:OFFS?"));
}
BENCHMARK(CarrierOffsetMeasurement)->Unit(benchmark::kMicrosecond);

// A trim change with the carrier on waits for the tester's acknowledgement;
// without a cable it costs only the firmware's mailbox.
void TrimWithCarrierOn(benchmark::State& aState)
{
    Bench bench;
    NvtHandle dut = bench.Dut(aState.range(0) != 0);
    if (dut == nullptr || nvtRadCwStart(dut, 19, 0) != NVT_OK) aState.SkipWithError("no DUT");
    int trim = 0;
    for (auto _ : aState) nvtRadSetXtalTrim(dut, (trim++ & 1) != 0 ? 20 : 40);
}
BENCHMARK(TrimWithCarrierOn)->Arg(0)->Arg(1)->ArgName("cabled")->Unit(benchmark::kMicrosecond);

// One generator run of N packets to a receiving chip, *OPC? and the counter read.
void GeneratorRun(benchmark::State& aState)
{
    Bench bench;
    NvtHandle dut = bench.Dut(true);
    if (dut == nullptr || nvtRadRxStart(dut, 3) != NVT_OK) aState.SkipWithError("no cabled DUT");
    bench.Send("CONF:CHAN 3;:SOUR:POW -70;:SOUR:PACK:COUN " + std::to_string(aState.range(0)));
    for (auto _ : aState) {
        bench.Query("INIT:GEN;*OPC?");
        uint16_t packets = 0;
        nvtRadRxGetPkts(dut, &packets);
        benchmark::DoNotOptimize(packets);
    }
}
BENCHMARK(GeneratorRun)->Arg(100)->Arg(1500)->ArgName("packets")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
