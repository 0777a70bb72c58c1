// Shared set-up of the firmware tests: a handle on a simulated chip and a
// production-test firmware file built for it.
#ifndef NVT_TESTS_PTEST_PTFIXTURE_H
#define NVT_TESTS_PTEST_PTFIXTURE_H

#include "support/clock.h"
#include "devsim.h"
#include "nivoratest.h"
#include "ptfirmware.h"
#include "xbvbuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class PtHandleTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (mHandle != nullptr) nvtClose(mHandle);
    }

    // Opens a handle on a fresh simulated chip.
    void Open(const std::string& aTransport = "sim")
    {
        ASSERT_EQ(nvtOpen(aTransport.c_str(), nullptr, &mHandle), NVT_OK);
        mChip = devsim::LastOpened();
    }

    // Writes a firmware file of the given description and keeps it until the test ends.
    const char* File(const fixtures::PtFirmwareSpec& aSpec)
    {
        mFiles.emplace_back(new fixtures::TempFile(fixtures::BuildPtFirmware(aSpec)));
        return mFiles.back()->c_str();
    }
    const char* Bytes(const std::vector<uint8_t>& aBytes)
    {
        mFiles.emplace_back(new fixtures::TempFile(aBytes));
        return mFiles.back()->c_str();
    }

    int32_t Load(const fixtures::PtFirmwareSpec& aSpec, bool aCsKeys = false)
    {
        return nvtLoadPtFirmware(mHandle, File(aSpec), aCsKeys ? 1 : 0);
    }

    std::string Text() const { return nvtGetLastError(mHandle); }
    devsim::PtFirmware* Firmware() { return mChip ? devsim::PtFirmwareOf(*mChip) : nullptr; }

    NvtHandle mHandle = nullptr;
    std::shared_ptr<devsim::Chip> mChip;
    std::vector<std::unique_ptr<fixtures::TempFile>> mFiles;
};

#endif
