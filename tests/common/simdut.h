// The simulated device under test as the tests drive it.
//
// SimDutTest opens a handle through the public interface on a fresh
// simulated chip, loads the production-test firmware built from a
// description, reads the CS cache, and shows what the emulated firmware
// received. LoadedDutTest does the open and the load in its set-up.
// SimStream is the same chip one layer down: a bare transport stream for
// the tests of the device targets and the stand-ins.
#ifndef NVT_TESTS_COMMON_SIMDUT_H
#define NVT_TESTS_COMMON_SIMDUT_H

#include "nivoratest.h"

#include "devsim.h"
#include "nvm.h"
#include "ptfirmware.h"
#include "quorlink.h"
#include "support/clock.h"
#include "testsupport.h"
#include "xbvbuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class SimDutTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (handle != nullptr) nvtClose(handle);
    }

    // Opens a handle on a fresh simulated chip and gives the open's result.
    int32_t TryOpen(const std::string& aTransport = "sim", const char* aKeyDb = nullptr)
    {
        const int32_t result = nvtOpen(aTransport.c_str(), aKeyDb, &handle);
        chip = devsim::LastOpened();
        return result;
    }
    // The same for an open that must succeed.
    void Open(const std::string& aTransport = "sim", const char* aKeyDb = nullptr)
    {
        ASSERT_EQ(NVT_OK, TryOpen(aTransport, aKeyDb)) << nvtGetLastError(handle);
        ASSERT_TRUE(chip);
    }

    // Writes a firmware file of the given description, or the given bytes,
    // and keeps it until the test ends.
    const char* File(const fixtures::PtFirmwareLayout& aLayout)
    {
        return Bytes(fixtures::BuildPtFirmware(aLayout));
    }
    const char* Bytes(const std::vector<uint8_t>& aBytes)
    {
        files.emplace_back(new fixtures::TempFile(aBytes));
        return files.back()->c_str();
    }

    // Loads the firmware of the description, with the cached CS keys when
    // aCsKeys is set; the running firmware is in firmware() afterwards.
    int32_t Load(const fixtures::PtFirmwareLayout& aLayout = {}, bool aCsKeys = false)
    {
        const int32_t result = nvtLoadPtFirmware(handle, File(aLayout), aCsKeys ? 1 : 0);
        firmware = chip ? devsim::PtFirmwareOf(*chip) : nullptr;
        return result;
    }

    // Reads the CS cache from the chip's NVM.
    int32_t ReadCs(int32_t aNvm = NVT_NVM_EEPROM) { return nvtCsCacheReadFromChip(handle, aNvm, 0); }

    std::string Text() const { return nvtGetLastError(handle); }
    devsim::PtFirmware* Firmware() { return chip ? devsim::PtFirmwareOf(*chip) : nullptr; }

    // Commands the firmware received since the last Forget().
    const std::vector<devsim::FwCommandRecord>& Commands() const { return firmware->log(); }
    void Forget()
    {
        if (firmware != nullptr) firmware->ClearLog();
        chip->ClearCounters();
    }

    // The one command received; fails the test when there was not exactly one.
    devsim::FwCommandRecord OnlyCommand() const
    {
        EXPECT_EQ(1u, Commands().size());
        return Commands().empty() ? devsim::FwCommandRecord() : Commands().back();
    }

    // Nothing reached the chip since the last Forget().
    void ExpectUntouched() const
    {
        if (firmware != nullptr) {
            EXPECT_TRUE(Commands().empty());
        }
        EXPECT_EQ(0u, chip->counters().reads + chip->counters().writes);
    }

    NvtHandle handle = nullptr;
    std::shared_ptr<devsim::Chip> chip;
    devsim::PtFirmware* firmware = nullptr;
    std::vector<std::unique_ptr<fixtures::TempFile>> files;
};

// A chip with the firmware loaded, on a fake clock.
class LoadedDutTest : public SimDutTest {
protected:
    // Extra transport options, e.g. "uart=short"; empty for none.
    virtual std::string TransportOptions() const { return ""; }
    virtual fixtures::PtFirmwareLayout FirmwareLayout() const { return fixtures::PtFirmwareLayout(); }

    void SetUp() override
    {
        const std::string options = TransportOptions();
        Open(options.empty() ? "sim" : "sim:" + options);
        if (HasFatalFailure()) return;
        ASSERT_EQ(NVT_OK, Load(FirmwareLayout())) << Text();
        ASSERT_NE(nullptr, firmware);
        Forget();
    }

    nvtclock::ScopedFakeClock clock;
};

// A simulated chip on an open transport stream, for the lifetime of the object.
struct SimStream {
    explicit SimStream(const std::string& aTransport = "sim")
    {
        EXPECT_EQ(0, qlk_stream_open(&stream, aTransport.c_str())) << aTransport;
        chip = devsim::Find(stream);
    }
    ~SimStream() { qlk_stream_close(stream); }
    SimStream(const SimStream&) = delete;
    SimStream& operator=(const SimStream&) = delete;

    int32_t Stream() const { return static_cast<int32_t>(stream); }
    devsim::NvmStore& Eeprom() { return chip->nvm().eeprom(); }
    devsim::NvmStore& Flash() { return chip->nvm().flash(); }

    uint32_t stream = 0;
    devsim::Chip* chip = nullptr;
};

#endif
