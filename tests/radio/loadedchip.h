// A simulated chip with the production-test firmware loaded through the
// public interface, and access to what the emulated firmware received.
#ifndef TESTS_RADIO_LOADEDCHIP_H
#define TESTS_RADIO_LOADEDCHIP_H

#include "nivoratest.h"

#include "support/clock.h"
#include "devsim.h"
#include "ptfirmware.h"
#include "xbvbuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class LoadedChipTest : public ::testing::Test {
protected:
    // Extra transport options, e.g. "uart=short"; empty for none.
    virtual std::string TransportOptions() const { return ""; }
    virtual fixtures::PtFirmwareSpec FirmwareSpec() const { return fixtures::PtFirmwareSpec(); }

    void SetUp() override
    {
        static int serial = 0;
        const std::string name = "radio-" + std::to_string(++serial);
        std::string transport = "sim:name=" + name;
        if (!TransportOptions().empty()) transport += "," + TransportOptions();
        ASSERT_EQ(NVT_OK, nvtOpen(transport.c_str(), nullptr, &handle)) << nvtGetLastError(handle);
        chip = devsim::FindByName(name);
        ASSERT_TRUE(chip);
        image.reset(new fixtures::TempFile(fixtures::BuildPtFirmware(FirmwareSpec())));
        ASSERT_EQ(NVT_OK, nvtLoadPtFirmware(handle, image->c_str(), 0)) << nvtGetLastError(handle);
        firmware = devsim::PtFirmwareOf(*chip);
        ASSERT_NE(nullptr, firmware);
        Forget();
    }

    void TearDown() override
    {
        if (handle != nullptr) nvtClose(handle);
    }

    // Commands the firmware received since the last Forget().
    const std::vector<devsim::FwCommandRecord>& Commands() const { return firmware->log(); }
    void Forget()
    {
        firmware->ClearLog();
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
        EXPECT_TRUE(Commands().empty());
        EXPECT_EQ(0u, chip->counters().reads + chip->counters().writes);
    }

    std::string LastError() const { return nvtGetLastError(handle); }

    nvtclock::ScopedFakeClock clock;
    NvtHandle handle = nullptr;
    std::shared_ptr<devsim::Chip> chip;
    std::unique_ptr<fixtures::TempFile> image;
    devsim::PtFirmware* firmware = nullptr;
};

using Words = std::vector<uint16_t>;

#endif
