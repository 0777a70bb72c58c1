#include "core/chiptable.h"
#include "api/handleregistry.h"
#include "core/lasterror.h"
#include "support/hextext.h"
#include "nivoratest.h"

#include <gtest/gtest.h>

namespace {

TEST(LastError, StandardTextsAndUnknownCodes)
{
    CLastError e;
    EXPECT_STREQ("", e.Text());
    EXPECT_EQ(-7, e.SetErrorCode(-7));
    EXPECT_STREQ("Unknown error code", e.Text());
    EXPECT_EQ(NVT_OK, e.SetErrorCode(NVT_OK));
    EXPECT_STREQ("", e.Text());
    EXPECT_EQ(NVT_ERR_FW_FILE, e.SetErrorCode(NVT_ERR_FW_FILE));
    EXPECT_STREQ("Firmware XVB file error", e.Text());
    EXPECT_EQ(NVT_ERR_CS_NOT_INIT, e.SetErrorCode(NVT_ERR_CS_NOT_INIT));
    EXPECT_STREQ("CS cache is not initialised (Read from chip / file required)", e.Text());
    EXPECT_EQ(NVT_WARNING, e.SetErrorCode(NVT_WARNING));
    EXPECT_STREQ("Unspecified warning", e.Text());
    EXPECT_EQ(NVT_ERR_BUFFER_TOO_SMALL, e.SetErrorCode(NVT_ERR_BUFFER_TOO_SMALL));
    EXPECT_STREQ("A buffer (array) parameter is too small to contain the requested data", e.Text());
}

TEST(LastError, DetailReplacesTheText)
{
    CLastError e;
    EXPECT_EQ(NVT_ERR_CONNECTION, e.SetError(NVT_ERR_CONNECTION, "Failed to connect to device (x)"));
    EXPECT_STREQ("Failed to connect to device (x)", e.Text());
    EXPECT_EQ(NVT_ERR_TEST_FAILED, e.SetError(NVT_ERR_TEST_FAILED, ""));
    EXPECT_STREQ("", e.Text());
}

TEST(LastError, SystemMessageLosesOnlyTheLastLineBreak)
{
    EXPECT_EQ("The system cannot find the file specified.",
              TrimSystemMessage("The system cannot find the file specified.\r\n"));
    EXPECT_EQ("first\r\nsecond", TrimSystemMessage("first\r\nsecond\r\n"));
    EXPECT_EQ("no break", TrimSystemMessage("no break"));
    EXPECT_EQ("", TrimSystemMessage("\r\n"));
}

TEST(LastError, CommandCodesAreFourUpperCaseDigits)
{
    EXPECT_EQ("0x0303", hextext::Hex4Upper(0x303));
    EXPECT_EQ("0xFABC", hextext::Hex4Upper(0xFABC));
    EXPECT_EQ("0x0000", hextext::Hex4Upper(0x10000));
}

TEST(Registry, AddContainsRemove)
{
    CHandleRegistry r;
    auto* a = reinterpret_cast<CDeviceHandle*>(0x10);
    auto* b = reinterpret_cast<CDeviceHandle*>(0x20);
    EXPECT_EQ(1, r.Add(nullptr));
    EXPECT_FALSE(r.Contains(nullptr));
    EXPECT_EQ(0, r.Add(a));
    EXPECT_TRUE(r.Contains(a));
    EXPECT_FALSE(r.Contains(b));
    EXPECT_EQ(0, r.Add(a));  // the same object twice
    EXPECT_EQ(3, r.Remove(a)) << "two entries went away";
    EXPECT_FALSE(r.Contains(a));
    EXPECT_EQ(3, r.Remove(b)) << "nothing went away";
    EXPECT_EQ(1, r.Remove(nullptr));
}

TEST(Registry, HoldsAtMostOneHundred)
{
    CHandleRegistry r;
    for (uintptr_t i = 1; i <= 100; ++i) ASSERT_EQ(0, r.Add(reinterpret_cast<CDeviceHandle*>(i * 8)));
    EXPECT_EQ(2, r.Add(reinterpret_cast<CDeviceHandle*>(0x1000)));
    EXPECT_EQ(100u, r.Size());
}

TEST(ChipTable, NamesAndFamilies)
{
    EXPECT_STREQ("Dusken (pok)", ChipName(29));
    EXPECT_EQ(3, ChipFamily(29));
    EXPECT_STREQ("Unknown device", ChipName(0));
    EXPECT_STREQ("Nalden (baj)", ChipName(39));
    EXPECT_EQ(4, ChipFamily(39));
    EXPECT_EQ(2, ChipFamily(19));
    for (int32_t outside : {-1, 40, 77, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ("Unknown device", ChipName(outside));
        EXPECT_EQ(0, ChipFamily(outside));
    }
    int supported = 0;
    for (int32_t i = 0; i < kChipTableRows; ++i) supported += ChipFamily(i) == 3;
    EXPECT_EQ(1, supported);
}

}  // namespace
