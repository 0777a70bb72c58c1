// Throughput of the memory-image files and the image CRC.
//
// A 512 KiB image (256 Ki words) is read and written as an XUV file, both by
// the image class alone and through the file target that the engine uses.
// For comparison the same run times srec_cat (from the srecord package)
// converting an Intel HEX file of the same data: one whole conversion, its
// own process start included; these are timed on the wall clock, since
// srec_cat runs in a child process. CRC throughput is measured over 1 MiB.
#include "cscache/nvimagehdr.h"
#include "cscache/targets.h"
#include "cscache/xvimage.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kImageWords = 256 * 1024;

std::vector<uint16_t> ImageData()
{
    std::vector<uint16_t> words(kImageWords);
    uint32_t state = 0x12345678;
    for (auto& w : words) {
        state = state * 1664525u + 1013904223u;
        w = static_cast<uint16_t>(state >> 16);
    }
    return words;
}

std::string Scratch(const std::string& aName)
{
    const auto dir = std::filesystem::temp_directory_path() / "nvt_image_bench";
    std::filesystem::create_directories(dir);
    return (dir / aName).string();
}

// The XUV file of the image, written once.
const std::string& XuvFile()
{
    static const std::string path = [] {
        const std::string p = Scratch("image.xuv");
        XVImage image;
        const std::vector<uint16_t> words = ImageData();
        for (uint32_t i = 0; i < kImageWords; ++i) image.SetWord(i, words[i]);
        image.WriteFile(p, 0, 6, 0, 0);
        return p;
    }();
    return path;
}

// The same data as an Intel HEX file (16 data bytes per record, extended
// linear address records at every 64 KiB), written once.
const std::string& HexFile()
{
    static const std::string path = [] {
        const std::string p = Scratch("image.hex");
        const std::vector<uint16_t> words = ImageData();
        std::vector<uint8_t> bytes;
        for (uint16_t w : words) {
            bytes.push_back(static_cast<uint8_t>(w & 0xFF));
            bytes.push_back(static_cast<uint8_t>(w >> 8));
        }
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        auto record = [&out](uint8_t aType, uint16_t aAddress, const uint8_t* aData, uint8_t aCount) {
            char line[80];
            int n = std::snprintf(line, sizeof line, ":%02X%04X%02X", aCount, aAddress, aType);
            uint8_t sum = static_cast<uint8_t>(aCount + (aAddress >> 8) + (aAddress & 0xFF) + aType);
            for (uint8_t i = 0; i < aCount; ++i) {
                n += std::snprintf(line + n, sizeof line - n, "%02X", aData[i]);
                sum = static_cast<uint8_t>(sum + aData[i]);
            }
            std::snprintf(line + n, sizeof line - n, "%02X\n", static_cast<uint8_t>(0x100 - sum) & 0xFF);
            out << line;
        };
        for (size_t offset = 0; offset < bytes.size(); offset += 16) {
            if (offset % 0x10000 == 0) {
                const uint8_t upper[2] = {static_cast<uint8_t>(offset >> 24), static_cast<uint8_t>(offset >> 16)};
                record(4, 0, upper, 2);
            }
            record(0, static_cast<uint16_t>(offset & 0xFFFF), bytes.data() + offset, 16);
        }
        record(1, 0, nullptr, 0);
        return p;
    }();
    return path;
}

void BM_XuvRead(benchmark::State& aState)
{
    const std::string& path = XuvFile();
    for (auto _ : aState) {
        XVImage image;
        benchmark::DoNotOptimize(image.ReadFile(path, -1, 0x7FFFFFF));
        if (image.WordCount() != kImageWords) aState.SkipWithError("short read");
    }
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations()) * kImageWords * 2);
}
BENCHMARK(BM_XuvRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_XuvTargetRead(benchmark::State& aState)
{
    const std::string& path = XuvFile();
    for (auto _ : aState) {
        CXUVTarget target;
        if (target.Initialise(path, false) != kCsOk) aState.SkipWithError("read failed");
        benchmark::DoNotOptimize(target.Size());
    }
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations()) * kImageWords * 2);
}
BENCHMARK(BM_XuvTargetRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_XuvWrite(benchmark::State& aState)
{
    XVImage image;
    const std::vector<uint16_t> words = ImageData();
    for (uint32_t i = 0; i < kImageWords; ++i) image.SetWord(i, words[i]);
    const std::string path = Scratch("written.xuv");
    for (auto _ : aState) {
        if (!image.WriteFile(path, 0, 6, 0, 0)) aState.SkipWithError("write failed");
    }
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations()) * kImageWords * 2);
}
BENCHMARK(BM_XuvWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// Words written through a file target (the engine's path, capped by the
// target's 16-bit addresses at 64 Ki words), then flushed.
void BM_XuvTargetWrite64Ki(benchmark::State& aState)
{
    std::vector<uint16_t> words = ImageData();
    words.resize(0xFFFF);
    const std::string path = Scratch("target.xuv");
    for (auto _ : aState) {
        CXUVTarget target;
        if (target.Initialise(path, true) != kCsOk) aState.SkipWithError("initialise failed");
        target.Write(0, words);
        if (target.Flush() != kCsOk) aState.SkipWithError("flush failed");
    }
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations()) * 0xFFFF * 2);
}
BENCHMARK(BM_XuvTargetWrite64Ki)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SrecCatConvertHex(benchmark::State& aState)
{
    const std::string& in = HexFile();
    const std::string out = Scratch("converted.hex");
    const std::string command = "srec_cat \"" + in + "\" -Intel -o \"" + out + "\" -Intel > /dev/null 2>&1";
    if (std::system("srec_cat -VERsion > /dev/null 2>&1") != 0) {
        aState.SkipWithError("srec_cat is not installed");
        return;
    }
    for (auto _ : aState) {
        if (std::system(command.c_str()) != 0) aState.SkipWithError("srec_cat failed");
    }
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations()) * kImageWords * 2);
}
BENCHMARK(BM_SrecCatConvertHex)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImageCrc1MiB(benchmark::State& aState)
{
    std::vector<uint8_t> data(1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    for (auto _ : aState) benchmark::DoNotOptimize(CNvImageHdr::CalculateCrc16(data.data(), data.size()));
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations()) * static_cast<int64_t>(data.size()));
}
// Measured in CPU time: the figure that does not depend on what else the machine runs.
BENCHMARK(BM_ImageCrc1MiB)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
