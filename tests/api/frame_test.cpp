// The call frame of the public interface: handles, registry, versions,
// transports and the last-error texts, driven through the public header on
// the simulated device.
#include "nivoratest.h"

#include "devsim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Closes a handle at the end of a test.
struct Handle {
    NvtHandle h = nullptr;
    ~Handle() { nvtClose(h); }
};

TEST(Frame, VersionIsOnePointThreeZeroSixtyEight)
{
    uint8_t a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(NVT_OK, nvtGetVersion(&a, &b, &c, &d));
    EXPECT_EQ(1, a);
    EXPECT_EQ(3, b);
    EXPECT_EQ(0, c);
    EXPECT_EQ(68, d);
    EXPECT_EQ(NVT_OK, nvtGetVersion(nullptr, nullptr, nullptr, nullptr));
    uint8_t only = 0;
    EXPECT_EQ(NVT_OK, nvtGetVersion(nullptr, nullptr, nullptr, &only));
    EXPECT_EQ(68, only);
}

TEST(Frame, InvalidHandlesGiveMinusThreeAndTheFixedText)
{
    EXPECT_STREQ("The NivoraTest handle is invalid (nvtOpen must be called first).", nvtGetLastError(nullptr));
    int foreign = 0;
    EXPECT_STREQ("The NivoraTest handle is invalid (nvtOpen must be called first).", nvtGetLastError(&foreign));
    uint16_t id = 0;
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtGetChipId(nullptr, &id));
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtGetChipId(&foreign, &id));
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtClose(nullptr));
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtClose(&foreign));
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtRadStop(&foreign));
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtCsCacheGetVersion(&foreign, &id));
}

TEST(Frame, OpenWithNullOutPointerCreatesNothing)
{
    size_t before = devsim::OpenStreams();
    EXPECT_EQ(NVT_OK, nvtOpen("sim", nullptr, nullptr));
    EXPECT_EQ(before, devsim::OpenStreams());
}

TEST(Frame, OpenSimConnectsAndCloseReleases)
{
    NvtHandle h = nullptr;
    ASSERT_EQ(NVT_OK, nvtOpen("sim", nullptr, &h));
    ASSERT_NE(nullptr, h);
    uint16_t id = 0;
    EXPECT_EQ(NVT_OK, nvtGetChipId(h, &id));
    EXPECT_EQ(0x4B2D, id);
    EXPECT_EQ(1u, devsim::OpenStreams());
    EXPECT_EQ(NVT_OK, nvtClose(h));
    EXPECT_EQ(0u, devsim::OpenStreams());
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtClose(h));
}

TEST(Frame, ChipIdReportsTheSecondIdentificationWord)
{
    Handle h;
    ASSERT_EQ(NVT_OK, nvtOpen("sim:id2=0xBEEF", nullptr, &h.h));
    uint16_t id = 0;
    EXPECT_EQ(NVT_OK, nvtGetChipId(h.h, &id));
    EXPECT_EQ(0xBEEF, id);
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtGetChipId(h.h, nullptr));
    EXPECT_STREQ("Invalid parameter(s)", nvtGetLastError(h.h));
    // A later success keeps the failure's text.
    EXPECT_EQ(NVT_OK, nvtGetChipId(h.h, &id));
    EXPECT_STREQ("Invalid parameter(s)", nvtGetLastError(h.h));
}

TEST(Frame, HundredAndFirstOpenFailsAndLeavesTheHandleNull)
{
    std::vector<NvtHandle> handles(100, nullptr);
    for (auto& h : handles) ASSERT_EQ(NVT_OK, nvtOpen("sim", nullptr, &h));
    NvtHandle extra = reinterpret_cast<NvtHandle>(0x1);
    EXPECT_EQ(NVT_ERR_GENERAL, nvtOpen("sim", nullptr, &extra));
    EXPECT_EQ(nullptr, extra);
    EXPECT_EQ(100u, devsim::OpenStreams());
    for (auto h : handles) EXPECT_EQ(NVT_OK, nvtClose(h));
    // Room again after closing.
    Handle again;
    EXPECT_EQ(NVT_OK, nvtOpen("sim", nullptr, &again.h));
}

TEST(Frame, RefusedChipShowsItsIdentificationAndName)
{
    Handle h;
    EXPECT_EQ(NVT_ERR_UNSUPPORTED_DEVICE, nvtOpen("sim:chip=28,id1=0x1234", nullptr, &h.h));
    ASSERT_NE(nullptr, h.h);
    EXPECT_STREQ("Unsupported device (ID = 0x00001234, type = \"Corlan (wir)\")", nvtGetLastError(h.h));
    EXPECT_EQ(0u, devsim::OpenStreams()) << "the refused chip's stream is closed";
    uint16_t id = 0;
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtGetChipId(h.h, &id));
    EXPECT_STREQ("Invalid sequence: Must be connected", nvtGetLastError(h.h));
}

TEST(Frame, IdentificationFallsBackToTheSecondWordShiftedUp)
{
    Handle h;
    EXPECT_EQ(NVT_ERR_UNSUPPORTED_DEVICE, nvtOpen("sim:chip=1,id1=0,id2=0xab", nullptr, &h.h));
    EXPECT_STREQ("Unsupported device (ID = 0x00ab0000, type = \"Arvel (neq)\")", nvtGetLastError(h.h));
}

TEST(Frame, ChipIndexOutsideTheTableIsRefusedSafely)
{
    for (const char* t : {"sim:chip=77", "sim:chip=40", "sim:chip=2147483647"}) {
        Handle h;
        EXPECT_EQ(NVT_ERR_UNSUPPORTED_DEVICE, nvtOpen(t, nullptr, &h.h)) << t;
        EXPECT_STREQ("Unsupported device (ID = 0x0000012b, type = \"Unknown device\")", nvtGetLastError(h.h));
    }
}

TEST(Frame, AbsentDeviceGivesAUsableHandleInStateZero)
{
    NvtHandle h = nullptr;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen("sim:present=0", nullptr, &h));
    ASSERT_NE(nullptr, h);
    std::string text = nvtGetLastError(h);
    EXPECT_EQ(0u, text.find("Failed to connect to device (")) << text;
    EXPECT_NE(std::string::npos, text.find("available transports: sim")) << text;
    EXPECT_EQ(')', text.back());
    uint16_t id = 0;
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtGetChipId(h, &id));
    EXPECT_EQ(NVT_OK, nvtClose(h));
    EXPECT_EQ(NVT_ERR_INVALID_HANDLE, nvtClose(h));
}

TEST(Frame, UnknownTransportNamesTheTransportsThatExist)
{
    Handle h;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen("usb:0", nullptr, &h.h));
    EXPECT_STREQ("Failed to connect to device (unknown transport \"usb:0\"; available transports: sim, "
                 "sim:<key>=<value>,...)",
                 nvtGetLastError(h.h));
    Handle n;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen(nullptr, nullptr, &n.h));
    Handle bad;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen("sim:chip=abc", nullptr, &bad.h));
    EXPECT_STREQ("Failed to connect to device (bad value \"abc\" for option \"chip\")", nvtGetLastError(bad.h));
    Handle text;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen("sim:openerror=cable unplugged", nullptr, &text.h));
    EXPECT_STREQ("Failed to connect to device (cable unplugged)", nvtGetLastError(text.h));
}

TEST(Frame, SequenceChecksComeBeforeArgumentChecks)
{
    Handle h;
    ASSERT_EQ(NVT_ERR_CONNECTION, nvtOpen("sim:present=0", nullptr, &h.h));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtGetChipId(h.h, nullptr));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtLoadPtFirmware(h.h, nullptr, 0));
    EXPECT_STREQ("Invalid sequence: Must be connected", nvtGetLastError(h.h));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtCsCacheReadFromChip(h.h, 0, 0));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtCsCacheWriteToChip(h.h, 0, 0));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtGetPtFwApiVersion(h.h, nullptr));
    EXPECT_STREQ("Invalid sequence: Ptest firmware must be loaded", nvtGetLastError(h.h));
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtRadRxGetPkts(h.h, nullptr));
    EXPECT_STREQ("Invalid sequence: RX must be started", nvtGetLastError(h.h));
}

TEST(Frame, TransportListNeverOverflowsTheCallersBuffer)
{
    uintptr_t count = 0, needed = 0;
    EXPECT_EQ(NVT_ERR_GENERAL, nvtGetTransports(nullptr, 0, &count, &needed));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(5u, needed);  // "sim", its NUL and the closing NUL

    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(NVT_ERR_GENERAL, nvtGetTransports(small, sizeof(small), nullptr, nullptr));
    EXPECT_EQ(std::string("xxxx"), std::string(small, 4)) << "nothing written when it does not fit";

    char buffer[5];
    EXPECT_EQ(NVT_OK, nvtGetTransports(buffer, sizeof(buffer), &count, nullptr));
    EXPECT_STREQ("sim", buffer);
    EXPECT_EQ('\0', buffer[4]);
    EXPECT_EQ(NVT_ERR_GENERAL, nvtGetTransports(nullptr, 16, nullptr, nullptr));
}

TEST(Frame, NvmFolderIsMadeOnOpenOrTheOpenFails)
{
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / ("nvt_frame_nvm_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(base);
    const fs::path fresh = base / "line1" / "dut7";
    {
        Handle h;
        EXPECT_EQ(NVT_OK, nvtOpen(("sim:nvm=" + fresh.string()).c_str(), nullptr, &h.h));
        EXPECT_TRUE(fs::is_directory(fresh));
    }
    const fs::path file = base / "plain";
    std::ofstream(file.string()) << "x";
    Handle bad;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen(("sim:nvm=" + (file / "dut").string()).c_str(), nullptr, &bad.h));
    std::string text = nvtGetLastError(bad.h);
    EXPECT_EQ(0u, text.find("Failed to connect to device (cannot use NVM folder \"" + (file / "dut").string() + "\"")) << text;
    fs::remove_all(base);
}

}  // namespace
