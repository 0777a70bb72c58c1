// No exception leaves the library: the transport stand-in throws (option
// throw=...) and every export that meets it returns a result code, keeps a
// text in the handle and leaves nothing open.
#include "simdut.h"

#include <string>

namespace {

class ThrowingTransport : public SimDutTest {
protected:
    void TearDown() override
    {
        if (handle != nullptr) {
            EXPECT_EQ(nvtClose(handle), NVT_OK);
            handle = nullptr;
        }
        EXPECT_EQ(devsim::OpenStreams(), 0u);
    }

    int32_t Open(const std::string& aTransport) { return TryOpen(aTransport); }

    // Opens on aTransport; the firmware load then fails with aCode and aText.
    void ExpectLoadEndsWith(const std::string& aTransport, int32_t aCode, const std::string& aText)
    {
        ASSERT_EQ(Open(aTransport), NVT_OK) << Text();
        EXPECT_EQ(nvtLoadPtFirmware(handle, File({}), 0), aCode);
        EXPECT_EQ(Text(), aText);
    }
};

TEST_F(ThrowingTransport, AnExceptionWhileConnectingGivesMinusOneAndAUsableHandle)
{
    EXPECT_EQ(Open("sim:throw=identify"), NVT_ERR_GENERAL);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Text(), "Internal error in nvtOpen (simulated identification failure)");
    // The stream opened before the identification threw is closed again.
    EXPECT_EQ(devsim::OpenStreams(), 0u);
    uint16_t chipId = 0;
    EXPECT_EQ(nvtGetChipId(handle, &chipId), NVT_ERR_SEQUENCE);
}

TEST_F(ThrowingTransport, AnExceptionInAnOperationGivesMinusOneAndLeavesTheStateAlone)
{
    ExpectLoadEndsWith("sim:throw=error", NVT_ERR_GENERAL,
                       "Internal error in nvtLoadPtFirmware (simulated transport failure)");
    uint32_t api = 0;
    EXPECT_EQ(nvtGetPtFwApiVersion(handle, &api), NVT_ERR_SEQUENCE);
}

TEST_F(ThrowingTransport, OutOfMemoryGivesMinusFourWithItsStandardText)
{
    ExpectLoadEndsWith("sim:throw=alloc", NVT_ERR_OUT_OF_MEMORY, "Out of memory");
}

TEST_F(ThrowingTransport, AnUnknownThrowKindIsRefusedAtOpen)
{
    EXPECT_EQ(Open("sim:throw=sometimes"), NVT_ERR_CONNECTION);
    EXPECT_EQ(Text(), "Failed to connect to device (bad value \"sometimes\" for option \"throw\")");
}

}  // namespace
