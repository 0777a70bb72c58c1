// Soak: production sequences through the fault layer, on the EEPROM and on
// the SPI flash of a simulated chip that keeps its NVM between sequences.
//
// Each sequence opens the chip through "fault:seed=N,.../sim:nvm=DIR", reads
// the CS image (a chip that holds none gets a new one from an image file),
// writes the address and trim keys, writes the CS back (whole or CS block
// only), loads the production-test firmware with the CS keys, runs the
// radio and I/O tests and closes. Checked on every call: a documented code,
// a text with every failure, no write, burn or caught flip that reports
// success. After every CS write the chip is read back through a clean
// transport: a write that reported success must have left exactly the
// cache's image, a failed one the image from before, the cache's image, or
// an image the read rejects. At the end no stream is open.
//
// NVT_SOAK_SEQUENCES=N changes the number of sequences, NVT_SOAK_SEED=N the
// first seed (printed), NVT_SOAK_FAULTS the fault rates (the options of the
// fault layer without the seed).
#include "nivoratest.h"
#include "testsupport.h"

#include "support/clock.h"
#include "devsim.h"
#include "faults.h"
#include "keydbgen.h"
#include "nvimagegen.h"
#include "xbvbuilder.h"

#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using devsim::FaultKind;

namespace {

constexpr uint16_t kCsVersion = keydbgen::kSampleBuildNew;
constexpr uint16_t kCsWords = 97;
constexpr uint16_t kCsKeysWord = 0x0640;

// Fault rates per call: high enough that most sequences meet some fault,
// low enough that many still reach the end.
const char* const kDefaultFaultRates = "open=0.02,read=0.002,write=0.002,flip=0.002,e2read=0.01,e2write=0.02,flashburn=0.05";

std::string FaultRates()
{
    const char* text = std::getenv("NVT_SOAK_FAULTS");
    return text != nullptr && *text != '\0' ? text : kDefaultFaultRates;
}

using testsupport::EnvNumber;

bool Documented(int32_t aCode)
{
    static const std::set<int32_t> codes = {1,   0,   -1,  -2,  -3,  -4,  -5,  -6,  -10, -11, -20, -21,
                                            -22, -23, -24, -30, -31, -32, -33, -34, -40, -41, -42};
    return codes.count(aCode) != 0;
}

std::string ReadText(const std::string& aPath)
{
    std::ifstream in(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const int kKinds = devsim::kFaultKinds;

class Soak {
public:
    explicit Soak(const std::string& aDir) : dir(aDir)
    {
        namespace fs = std::filesystem;
        fs::remove_all(dir);
        fs::create_directories(dir);
        keyDb = dir + "/cskey_db.xml";
        keydbgen::WriteFile(keyDb, keydbgen::ToXml(keydbgen::Sample()));
        fixtures::PtFirmwareLayout fw;
        fw.csKeysVersion = kCsVersion;
        fw.csKeysWords = kCsWords;
        fw.csKeysWord = kCsKeysWord;
        xbv = dir + "/fw.xbv";
        fixtures::WriteBytes(xbv, fixtures::BuildPtFirmware(fw));
        nvimagegen::ImagePlan plan;
        plan.csData.assign(kCsWords, 0);
        plan.csData[0] = kCsVersion;
        plan.firmware.push_back(nvimagegen::MainFirmwareBlock(2603, kCsKeysWord));
        newImage = dir + "/new.xuv";
        nvimagegen::WriteImageFile(newImage, nvimagegen::BuildImage(plan), false);
        defaults = dir + "/defaults.keyr";
        keydbgen::WriteFile(defaults, ">DECIMAL_CS_VERSION=" + std::to_string(kCsVersion) + "\n");
    }

    void Sequence(uint64_t aSeed, uint32_t aNvm)
    {
        const std::string nvm = dir + (aNvm == NVT_NVM_EEPROM ? "/eeprom" : "/flash");
        const std::string transport = "fault:seed=" + std::to_string(aSeed) + "," + FaultRates() + "/sim:nvm=" + nvm;
        NvtHandle h = nullptr;
        const devsim::FaultCounts opensBefore = devsim::InjectedFaults();
        const int32_t openRc = nvtOpen(transport.c_str(), keyDb.c_str(), &h);
        current = h;
        Note("open", openRc, Delta(opensBefore, devsim::InjectedFaults()));
        if (h == nullptr) return;
        if (openRc == 0) Production(h, aNvm, nvm);
        const int32_t closeRc = nvtClose(h);
        if (closeRc != 0) Violation("nvtClose returned " + std::to_string(closeRc));
        ++sequences;
    }

    void Report(double aSeconds) const
    {
        std::printf("soak: %llu sequences (%llu on EEPROM, %llu on SPI flash), %llu calls in %.1f s\n",
                    static_cast<unsigned long long>(sequences), static_cast<unsigned long long>(perNvm[0]),
                    static_cast<unsigned long long>(perNvm[1]), static_cast<unsigned long long>(calls), aSeconds);
        std::printf("soak: faults injected and how the calls that met them ended:\n");
        for (int k = 0; k < kKinds; ++k) {
            std::string line = "  " + std::string(devsim::FaultKindName(static_cast<FaultKind>(k))) + ": " +
                               std::to_string(injected.byKind[k]) + " injected;";
            for (const auto& r : reported[k]) line += " " + std::to_string(r.first) + ":" + std::to_string(r.second);
            std::printf("%s\n", line.c_str());
        }
        std::printf("  flips handed on by the plain read: %llu\n",
                    static_cast<unsigned long long>(injected.flipsPassedOn));
        std::printf("soak: CS writes: %llu succeeded and read back as the cache; %llu failed, read back as before "
                    "%llu, as the cache %llu, rejected %llu\n",
                    static_cast<unsigned long long>(writeOk), static_cast<unsigned long long>(writeFailed),
                    static_cast<unsigned long long>(asBefore), static_cast<unsigned long long>(asCache),
                    static_cast<unsigned long long>(asInvalid));
        std::printf("soak: sequences that reached the end: %llu; step results:", static_cast<unsigned long long>(completed));
        for (const auto& s : steps) {
            std::string line = "\n  " + s.first + ":";
            for (const auto& r : s.second) line += " " + std::to_string(r.first) + ":" + std::to_string(r.second);
            std::printf("%s", line.c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    uint64_t violations = 0;

private:
    static devsim::FaultCounts Delta(const devsim::FaultCounts& aBefore, const devsim::FaultCounts& aAfter)
    {
        devsim::FaultCounts d;
        for (int k = 0; k < kKinds; ++k) d.byKind[k] = aAfter.byKind[k] - aBefore.byKind[k];
        d.flipsPassedOn = aAfter.flipsPassedOn - aBefore.flipsPassedOn;
        return d;
    }

    void Violation(const std::string& aWhat)
    {
        ++violations;
        if (violations <= 20) ADD_FAILURE() << aWhat;
    }

    // Records a call's result against the faults it met, and checks it.
    void Note(const std::string& aStep, int32_t aRc, const devsim::FaultCounts& aFaults)
    {
        ++calls;
        ++steps[aStep][aRc];
        for (int k = 0; k < kKinds; ++k) {
            injected.byKind[k] += aFaults.byKind[k];
            if (aFaults.byKind[k] != 0) ++reported[k][aRc];
        }
        injected.flipsPassedOn += aFaults.flipsPassedOn;
        if (!Documented(aRc)) Violation(aStep + " returned " + std::to_string(aRc));
        if (aRc != 0 && current != nullptr && std::string(nvtGetLastError(current)).empty())
            Violation(aStep + " returned " + std::to_string(aRc) + " without a text");
        // A write or burn that failed, or a flip a verifying call caught,
        // must not be reported as success.
        const uint64_t caught = aFaults[FaultKind::Flip] - aFaults.flipsPassedOn;
        if (aRc == 0 && (aFaults[FaultKind::Write] + aFaults[FaultKind::E2Write] + aFaults[FaultKind::FlashBurn] +
                         aFaults[FaultKind::Read] + aFaults[FaultKind::E2Read] + caught) != 0)
            Violation(aStep + " returned 0 although a fault hit it");
    }

    // Runs one export and notes it with the faults injected during it.
    template <typename Call>
    int32_t Run(const std::string& aStep, Call aCall)
    {
        const devsim::FaultCounts before = devsim::InjectedFaults();
        const int32_t rc = aCall();
        Note(aStep, rc, Delta(before, devsim::InjectedFaults()));
        return rc;
    }

    // Whether a clean transport (no fault layer) reads an image from the
    // chip's NVM.
    bool CleanReadAccepts(const std::string& aNvm, uint32_t aType)
    {
        NvtHandle clean = nullptr;
        const bool accepted = nvtOpen(("sim:nvm=" + aNvm).c_str(), keyDb.c_str(), &clean) == 0 &&
                              nvtCsCacheReadFromChip(clean, aType, 0) == 0;
        if (clean != nullptr) nvtClose(clean);
        return accepted;
    }

    // The words of the chip's NVM as they are, from its backing file.
    static std::vector<uint16_t> RawNvm(const std::string& aNvm, uint32_t aType)
    {
        const std::string bytes = ReadText(aNvm + (aType == NVT_NVM_EEPROM ? "/eeprom.bin" : "/spiflash.bin"));
        std::vector<uint16_t> words(bytes.size() / 2);
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                             static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
        return words;
    }

    // The words of an XUV file written by the cache (word address, value).
    static std::map<uint32_t, uint16_t> XuvWords(const std::string& aText)
    {
        std::map<uint32_t, uint16_t> words;
        size_t pos = 0;
        while (pos < aText.size()) {
            size_t end = aText.find('\n', pos);
            if (end == std::string::npos) end = aText.size();
            const std::string line = aText.substr(pos, end - pos);
            pos = end + 1;
            unsigned address = 0, value = 0;
            if (std::sscanf(line.c_str(), "@%x %x", &address, &value) == 2)
                words[address] = static_cast<uint16_t>(value);
        }
        return words;
    }

    // The chip holds the cache's image: every word of the image as the cache
    // wrote it, CRCs included, and every other word as before.
    static bool HoldsImage(const std::vector<uint16_t>& aChip, const std::vector<uint16_t>& aBefore,
                           const std::map<uint32_t, uint16_t>& aImage)
    {
        if (aImage.empty() || aChip.size() != aBefore.size()) return false;
        for (size_t i = 0; i < aChip.size(); ++i) {
            auto it = aImage.find(static_cast<uint32_t>(i));
            if (aChip[i] != (it != aImage.end() ? it->second : aBefore[i])) return false;
        }
        return aImage.rbegin()->first < aChip.size();
    }

    void Production(NvtHandle h, uint32_t aNvm, const std::string& aNvmDir)
    {
        ++perNvm[aNvm == NVT_NVM_EEPROM ? 0 : 1];
        uint16_t id = 0;
        Run("chip id", [&] { return nvtGetChipId(h, &id); });
        bool whole = false;
        int32_t rc = Run("read CS", [&] { return nvtCsCacheReadFromChip(h, aNvm, 0); });
        if (rc < 0) {
            whole = true;
            rc = Run("new image", [&] { return nvtCsCacheReadFromFile(h, newImage.c_str()); });
            if (rc >= 0) rc = Run("defaults", [&] { return nvtCsCacheFileMerge(h, defaults.c_str(), 0); });
            if (rc < 0) return;
        }
        uint16_t address[4] = {};
        uint16_t length = 4;
        Run("read address", [&] { return nvtCsCacheReadItem(h, "BLUETOOTH_ADDRESS", address, &length); });
        address[1] = static_cast<uint16_t>(address[1] + 1);
        length = 4;
        Run("write address", [&] { return nvtCsCacheWriteItem(h, "BLUETOOTH_ADDRESS", address, &length); });
        uint16_t trim = static_cast<uint16_t>(sequences % 64);
        length = 1;
        Run("write trim", [&] { return nvtCsCacheWriteItem(h, "CRYSTAL_TRIM", &trim, &length); });
        if (!whole) whole = sequences % 3 == 0;

        const std::vector<uint16_t> before = RawNvm(aNvmDir, aNvm);
        rc = Run(whole ? "write CS whole" : "write CS block", [&] { return nvtCsCacheWriteToChip(h, aNvm, whole ? 0 : 1); });
        const std::string cachePath = dir + "/cache.xuv";
        std::map<uint32_t, uint16_t> cache;
        if (nvtCsCacheWriteToFile(h, cachePath.c_str()) == 0) cache = XuvWords(ReadText(cachePath));
        else Violation(std::string("the cache could not be written out: ") + nvtGetLastError(h));
        const std::vector<uint16_t> after = RawNvm(aNvmDir, aNvm);
        const bool accepted = CleanReadAccepts(aNvmDir, aNvm);
        const bool asImage = HoldsImage(after, before, cache);
        if (rc == 0) {
            ++writeOk;
            if (!asImage || !accepted)
                Violation("a CS write reported success but the chip does not hold the cache's image");
        } else {
            ++writeFailed;
            if (after == before) ++asBefore;
            else if (asImage && accepted) ++asCache;
            else if (!accepted) ++asInvalid;
            else Violation(std::string("a failed CS write (") + (whole ? "whole" : "CS block") +
                           ") left a valid image that is neither the old one nor the cache's");
        }

        rc = Run("load firmware", [&] { return nvtLoadPtFirmware(h, xbv.c_str(), 1); });
        Run("xtal trim", [&] { return nvtRadSetXtalTrim(h, 32); });
        Run("carrier on", [&] { return nvtRadCwStart(h, 19, 2440); });
        Run("carrier off", [&] { return nvtRadStop(h); });
        Run("tx start", [&] { return nvtRadTxStart(h, 19, 37, 0, 100); });
        for (int i = 0; i < 100; ++i) {
            uint16_t left = 0;
            const int32_t txRc = Run("tx packets", [&] { return nvtRadTxGetPkts(h, &left); });
            if (txRc != 0 || left == 0) break;
        }
        Run("rx start", [&] { return nvtRadRxStart(h, 19); });
        uint16_t received = 0;
        Run("rx packets", [&] { return nvtRadRxGetPkts(h, &received); });
        Run("rx stop", [&] { return nvtRadStop(h); });
        Run("pio assign", [&] { return nvtPioAssign(h, 0xFF, 0xFF); });
        Run("pio set", [&] { return nvtPioSet(h, 0xA5, 0); });
        uint32_t pioA = 0, pioB = 0;
        Run("pio get", [&] { return nvtPioGet(h, &pioA, &pioB); });
        Run("led", [&] { return nvtLedSet(h, 1, 2, 500, 80); });
        Run("aio set", [&] { return nvtAioSet(h, 1, 0x200); });
        uint16_t aio = 0;
        const int32_t last = Run("aio get", [&] { return nvtAioGet(h, 1, &aio); });
        if (rc == 0 && last == 0) ++completed;
    }

    std::string dir, keyDb, xbv, newImage, defaults;
    NvtHandle current = nullptr;
    devsim::FaultCounts injected;
    std::map<int32_t, uint64_t> reported[devsim::kFaultKinds];
    std::map<std::string, std::map<int32_t, uint64_t>> steps;
    uint64_t sequences = 0, calls = 0, completed = 0, perNvm[2] = {};
    uint64_t writeOk = 0, writeFailed = 0, asBefore = 0, asCache = 0, asInvalid = 0;
};

TEST(Soak, ProductionSequencesThroughFaultsLeaveTheChipRight)
{
    const uint64_t count = EnvNumber("NVT_SOAK_SEQUENCES", 2000);
    const uint64_t seed = EnvNumber("NVT_SOAK_SEED", 1);
    std::printf("soak: %llu sequences from seed %llu, faults %s\n", static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(seed), FaultRates().c_str());
    nvtclock::ScopedFakeClock clock;
    // Every open loads the key database, and each load initialises and ends
    // the XML parser's platform; one reference held for the whole run makes
    // that cheap.
    xercesc::XMLPlatformUtils::Initialize();
    const testsupport::ScratchDir scratch("seed" + std::to_string(seed));
    const std::string dir = scratch.path();
    ASSERT_FALSE(dir.empty()) << "cannot make a folder under " << std::filesystem::temp_directory_path();
    const size_t streams = devsim::OpenStreams();
    const auto t0 = std::chrono::steady_clock::now();
    {
        Soak soak(dir);
        for (uint64_t i = 0; i < count && soak.violations < 20; ++i)
            soak.Sequence(seed + i, i % 2 == 0 ? NVT_NVM_EEPROM : NVT_NVM_SPI_FLASH);
        soak.Report(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        EXPECT_EQ(0u, soak.violations);
    }
    EXPECT_EQ(streams, devsim::OpenStreams()) << "streams left open";
    xercesc::XMLPlatformUtils::Terminate();
}

}  // namespace
