// The e2 and flash stand-ins over the simulated chip's NVM: what the device
// targets rely on beyond their own tests (argument checks, transfer sizes,
// the flash info layout, burns that keep the rest of a sector, backing files).
#include "simdut.h"
#include "e2.h"
#include "flash.h"

#include <cstdio>
#include <cstring>
#include <vector>


namespace {

// Polls like a caller would, with a bound so that a broken stand-in fails
// the test instead of hanging it.
bool WaitIdle(flash& aFlash, int aMaxPolls = 100)
{
    for (int i = 0; i < aMaxPolls; ++i)
        if (!aFlash.IsBusy()) return true;
    return false;
}

// A flash object on a chip, identified and working on its own image buffer.
struct IdentifiedFlash {
    explicit IdentifiedFlash(const std::string& aTransport) : dut(aTransport), fl(dut.stream)
    {
        fl.SetFlashTarget(FLASH_TARGET_SPI);
        EXPECT_NE(0, fl.flash_identify());
        EXPECT_TRUE(WaitIdle(fl));
        fl.UseImage(&image);
    }
    SimStream dut;
    flash fl;
    FlashImage image{1024};
};

TEST(E2StandIn, RejectsBadArgumentsAndRanges)
{
    SimStream dut("sim:eeprom=0x100");
    esquared e2(dut.stream);
    uint16_t w[2] = {0, 0};
    EXPECT_EQ(ESQUARED_BAD_PARAMETER, e2.Read(1, w, 2));
    EXPECT_EQ(ESQUARED_BAD_PARAMETER, e2.Read(0, w, 3));
    EXPECT_EQ(ESQUARED_BAD_PARAMETER, e2.Write(0, nullptr, 2));
    EXPECT_EQ(ESQUARED_OUT_OF_RANGE, e2.Read(0x1FE, w, 4));
    // An end beyond 32 bits of words must not wrap around.
    EXPECT_EQ(ESQUARED_OUT_OF_RANGE, e2.Write(0xFFFFFFFE, w, 4));

    esquared gone(9999);
    EXPECT_EQ(ESQUARED_NO_DEVICE, gone.Read(0, w, 2));
}

TEST(E2StandIn, TransfersInPagesAndInjectsFaults)
{
    SimStream dut("sim:e2fail=write:2");
    esquared e2(dut.stream);
    std::vector<uint16_t> image(0x8000, 0x1234);
    dut.chip->ClearCounters();
    ASSERT_EQ(ESQUARED_OK, e2.Read(0, image.data(), 0x10000));
    EXPECT_EQ(512u, dut.chip->counters().calls);  // 64 words per call

    dut.chip->ClearCounters();
    ASSERT_EQ(ESQUARED_OK, e2.Write(0x3C, image.data(), 8));  // crosses a 32-word page
    EXPECT_EQ(2u, dut.chip->counters().writes);
    EXPECT_EQ(ESQUARED_WRITE_FAILED, e2.Write(0, image.data(), 2));  // only the second write fails
    EXPECT_EQ(ESQUARED_OK, e2.Write(0, image.data(), 2));
}

TEST(NvmOptions, BadFaultValuesFailTheOpen)
{
    uint32_t stream = 0;
    EXPECT_NE(0, qlk_stream_open(&stream, "sim:e2fail=erase"));
    EXPECT_NE(0, qlk_stream_open(&stream, "sim:flashfail=dump:0"));
    EXPECT_NE(0, qlk_stream_open(&stream, "sim:flashbusy=soon"));
    ASSERT_EQ(0, qlk_stream_open(&stream, "sim:flashbusy=stuck,flashfail=burn:3,e2fail=read"));
    qlk_stream_close(stream);
}

TEST(NvmBacking, ContentsSurviveInTheDirectoryAsLittleEndianWords)
{
    const testsupport::ScratchDir scratch;
    const std::filesystem::path dir = scratch.path();
    const std::string transport = "sim:nvm=" + dir.string() + ",eeprom=0x400,flash=0x2000";
    const uint16_t in[2] = {0xA55A, 0x0102};
    {
        SimStream dut(transport);
        esquared e2(dut.stream);
        ASSERT_EQ(ESQUARED_OK, e2.Write(0x100, in, 4));
        dut.Flash().Poke(0x1FFF, 0x7777);
    }
    EXPECT_EQ(0x800u, std::filesystem::file_size(dir / "eeprom.bin"));
    EXPECT_EQ(0x4000u, std::filesystem::file_size(dir / "spiflash.bin"));
    std::FILE* f = std::fopen((dir / "eeprom.bin").string().c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::fseek(f, 0x100, SEEK_SET);
    unsigned char bytes[4] = {0, 0, 0, 0};
    ASSERT_EQ(4u, std::fread(bytes, 1, 4, f));
    std::fclose(f);
    EXPECT_EQ(0x5A, bytes[0]);
    EXPECT_EQ(0xA5, bytes[1]);
    EXPECT_EQ(0x02, bytes[2]);

    SimStream again(transport);
    uint16_t out[2] = {0, 0};
    esquared e2(again.stream);
    ASSERT_EQ(ESQUARED_OK, e2.Read(0x100, out, 4));
    EXPECT_EQ(0xA55A, out[0]);
    EXPECT_EQ(0x0102, out[1]);
    EXPECT_EQ(0x7777, again.Flash().Peek(0x1FFF));
    EXPECT_EQ(0xFFFF, again.Flash().Peek(0));
}

TEST(FlashStandIn, IdentifyIsAsynchronousAndReportsTheSizeAtOffsetFour)
{
    SimStream dut("sim:flash=0x10000,flashbusy=3");
    flash fl(dut.stream);
    fl.SetFlashTarget(FLASH_TARGET_SPI);
    ASSERT_NE(0, fl.flash_identify());
    flash_info_t info{};
    fl.GetFlashInfo(info);
    EXPECT_EQ(0u, info.status);  // not known before the operation ended
    for (int poll = 0; poll < 3; ++poll) EXPECT_TRUE(fl.IsBusy());
    EXPECT_FALSE(fl.IsBusy());
    EXPECT_EQ(FLASH_OK, fl.GetErrorCode());
    fl.GetFlashInfo(info);
    EXPECT_EQ(1u, info.status);
    uint16_t atFour = 0;
    std::memcpy(&atFour, reinterpret_cast<const unsigned char*>(&info) + 4, 2);
    EXPECT_EQ(16, atFour);
}

TEST(FlashStandIn, DumpChecksItsRangeAndBurnKeepsTheRestOfTheSector)
{
    IdentifiedFlash f("sim:flash=0x10000");
    devsim::NvmStore& store = f.dut.Flash();
    store.Poke(0x1234, 0x4321);
    store.Poke(0x1235, 0x5555);

    EXPECT_EQ(0, f.fl.flash_dump_to_image_partial(0x2000, 0x1000));
    EXPECT_EQ(FLASH_OUT_OF_RANGE, f.fl.GetErrorCode());
    EXPECT_EQ(0, f.fl.flash_dump_to_image_partial(0xF000, 0x11000));
    ASSERT_EQ(0x1000, f.fl.flash_dump_to_image_partial(0x1000, 0x2000));
    EXPECT_FALSE(f.image.IsUsed(0x1234));  // nothing moves before the end
    ASSERT_TRUE(WaitIdle(f.fl));
    EXPECT_TRUE(f.image.IsUsed(0x1FFF));
    EXPECT_FALSE(f.image.IsUsed(0x2000));

    f.image.Write(0x1235, 0x6666);
    f.image.Write(0x3000, 0x0001);
    ASSERT_NE(0, f.fl.flash_burn());
    ASSERT_TRUE(WaitIdle(f.fl));
    EXPECT_EQ(FLASH_OK, f.fl.GetErrorCode());
    EXPECT_EQ(0x6666, store.Peek(0x1235));
    EXPECT_EQ(0x4321, store.Peek(0x1234));
    EXPECT_EQ(0x0001, store.Peek(0x3000));
    EXPECT_EQ(0xFFFF, store.Peek(0x3001));
    EXPECT_FALSE(f.image.IsDirty(0x3000));
}

TEST(FlashStandIn, UnusableOrBusyFlashRefusesWork)
{
    IdentifiedFlash unusable("sim:flashfail=info");
    EXPECT_EQ(0, unusable.fl.flash_burn());
    EXPECT_EQ(FLASH_NOT_IDENTIFIED, unusable.fl.GetErrorCode());

    SimStream dut("sim:flashbusy=stuck");
    flash fl(dut.stream);
    fl.SetFlashTarget(FLASH_TARGET_SPI);
    ASSERT_NE(0, fl.flash_identify());
    EXPECT_EQ(0, fl.flash_identify());  // a second start is refused
    EXPECT_EQ(FLASH_BUSY, fl.GetErrorCode());
}

}  // namespace
