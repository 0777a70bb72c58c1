// Device targets over the simulated chip's SPI flash and EEPROM.
#include "cscache/devicetargets.h"

#include "support/clock.h"
#include "simdut.h"

#include <gtest/gtest.h>

using testsupport::LastErrorText;

namespace {

class DeviceTargets : public ::testing::Test {
protected:
    void SetUp() override { testsupport::ResetErrors(); }
    nvtclock::ScopedFakeClock clock;
};

TEST_F(DeviceTargets, OnlyTheSupportedChipIsAccepted)
{
    SimStream dut("sim:chip=28");
    CSPIFTarget spi;
    EXPECT_EQ(kCsNotSupported, spi.Initialise(dut.Stream()));
    EXPECT_EQ("Not supported on this chip type", LastErrorText());
    EXPECT_EQ(0, spi.Size());
    EXPECT_EQ(dut.Stream(), spi.Stream());

    CE2Target e2;
    EXPECT_EQ(kCsNotSupported, e2.Initialise(dut.Stream()));
    // The EEPROM object was created all the same.
    EXPECT_EQ(32768, e2.Size());
}

TEST_F(DeviceTargets, FlashReadsOneBlockPerFetchAndWritesOnFlush)
{
    SimStream dut("sim:flash=0x10000");
    dut.Flash().Poke(0x1234, 0xABCD);
    dut.Flash().Poke(0x1235, 0x0102);
    CSPIFTarget spi;
    ASSERT_EQ(kCsOk, spi.Initialise(dut.Stream()));
    EXPECT_EQ(65536, spi.Size());  // 16 blocks of 4096 words
    EXPECT_GT(clock->Sleeps(), 0u);  // identify was awaited in 100 ms polls
    EXPECT_EQ(100u * clock->Sleeps(), clock->SleptMs());

    dut.chip->ClearCounters();
    uint16_t word = 0;
    ASSERT_EQ(kCsOk, spi.Read(0x1234, word));
    EXPECT_EQ(0xABCD, word);
    // One dump of 0x1000-0x1FFF: 4096 words in 256-word transfers.
    EXPECT_EQ(4096u, dut.chip->counters().wordsRead);
    EXPECT_EQ(16u, dut.chip->counters().reads);

    dut.chip->ClearCounters();
    ASSERT_EQ(kCsOk, spi.Read(0x1235, word));
    EXPECT_EQ(0x0102, word);
    ASSERT_EQ(kCsOk, spi.Read(0x1FFF, word));
    EXPECT_EQ(0u, dut.chip->counters().calls);

    ASSERT_EQ(kCsOk, spi.Write(0x10, std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(0xFFFF, dut.Flash().Peek(0x10));
    ASSERT_EQ(kCsOk, spi.Flush());
    EXPECT_EQ(1, dut.Flash().Peek(0x10));
    EXPECT_EQ(3, dut.Flash().Peek(0x12));
    EXPECT_EQ(0xFFFF, dut.Flash().Peek(0x13));
}

TEST_F(DeviceTargets, FlashFailuresGiveStatusAndText)
{
    {
        CSPIFTarget never;
        EXPECT_EQ(kCsWriteFailed, never.Flush());
        EXPECT_EQ("The image was not ready to be saved", LastErrorText());
    }
    {
        // A device that answers but is not usable: 17, with a text of its
        // own since the library has no error.
        testsupport::ResetErrors();
        SimStream dut("sim:flashfail=info");
        CSPIFTarget spi;
        EXPECT_EQ(kCsDeviceReadFailed, spi.Initialise(dut.Stream()));
        EXPECT_EQ(0, spi.Size());
        EXPECT_EQ("The SPI flash could not be used: the flash library reports no usable device", LastErrorText());
    }
    {
        SimStream dut("sim:flashfail=identify");
        CSPIFTarget spi;
        EXPECT_EQ(kCsDeviceReadFailed, spi.Initialise(dut.Stream()));
        EXPECT_EQ("The flash device could not be identified", LastErrorText());
    }
    {
        SimStream dut("sim:flashfail=dump");
        CSPIFTarget spi;
        ASSERT_EQ(kCsOk, spi.Initialise(dut.Stream()));
        std::vector<uint16_t> words;
        EXPECT_EQ(kCsDeviceReadFailed, spi.Read(0, 4, words));
        EXPECT_EQ("Reading the flash failed", LastErrorText());
    }
    {
        SimStream dut("sim:flashfail=burn");
        CSPIFTarget spi;
        ASSERT_EQ(kCsOk, spi.Initialise(dut.Stream()));
        ASSERT_EQ(kCsOk, spi.Write(0, uint16_t{7}));
        int16_t code = 0;
        EXPECT_EQ(kCsWriteFailed, spi.Flush());
        EXPECT_EQ("Programming the flash failed", LastErrorText(&code));
        EXPECT_EQ(kCsWriteFailed, code);
        EXPECT_EQ(0xFFFF, dut.Flash().Peek(0));
    }
}

// A clock that lets a stuck flash go after a number of sleeps.
class ReleasingClock : public nvtclock::FakeClock {
public:
    ReleasingClock(devsim::Nvm& aNvm, uint64_t aAfter) : mNvm(aNvm), mAfter(aAfter) {}
    void SleepMs(uint32_t aMs) override
    {
        FakeClock::SleepMs(aMs);
        if (Sleeps() == mAfter) mNvm.EndFlashBusy();
    }

private:
    devsim::Nvm& mNvm;
    uint64_t mAfter;
};

TEST_F(DeviceTargets, StuckFlashIsAwaitedWithoutLimit)
{
    SimStream dut("sim:flashbusy=stuck");
    ReleasingClock releasing(dut.chip->nvm(), 600);
    nvtclock::Install(&releasing);
    CSPIFTarget spi;
    EXPECT_EQ(kCsOk, spi.Initialise(dut.Stream()));
    nvtclock::Install(&*clock);
    EXPECT_EQ(600u, releasing.Sleeps());
    EXPECT_EQ(60000u, releasing.SleptMs());  // one minute of 100 ms polls
}

TEST_F(DeviceTargets, EepromSizeAndRangeTransfers)
{
    SimStream dut("sim:eeprom=0x8000");
    CE2Target e2;
    EXPECT_EQ(0, e2.Size());  // no object before Initialise
    std::vector<uint16_t> out;
    EXPECT_EQ(kCsDeviceReadFailed, e2.Read(0, 2, out));
    EXPECT_EQ(kCsWriteFailed, e2.Write(0, std::vector<uint16_t>{1}));
    ASSERT_EQ(kCsOk, e2.Initialise(dut.Stream()));
    EXPECT_EQ(32768, e2.Size());

    dut.chip->ClearCounters();
    ASSERT_EQ(kCsOk, e2.Write(0x10, std::vector<uint16_t>{0x1111, 0x2222, 0x3333}));
    EXPECT_EQ(1u, dut.chip->counters().writes);
    EXPECT_EQ(3u, dut.chip->counters().wordsWritten);
    EXPECT_EQ(0x2222, dut.Eeprom().Peek(0x11));

    out.assign(5, 9);
    ASSERT_EQ(kCsOk, e2.Read(0x0F, 0x14, out));
    EXPECT_EQ((std::vector<uint16_t>{0xFFFF, 0x1111, 0x2222, 0x3333, 0xFFFF}), out);
    uint16_t word = 0;
    ASSERT_EQ(kCsOk, e2.Read(0x12, word));
    EXPECT_EQ(0x3333, word);
    ASSERT_EQ(kCsOk, e2.Write(0x12, uint16_t{0x4444}));
    EXPECT_EQ(0x4444, dut.Eeprom().Peek(0x12));

    // Flush has nothing to do; a reversed range fails without any library
    // call, an empty write and an empty forward range are no error and make
    // none either.
    dut.chip->ClearCounters();
    EXPECT_EQ(kCsOk, e2.Flush());
    EXPECT_NE(kCsOk, e2.Read(0x20, 0x10, out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(kCsOk, e2.Write(0x20, std::vector<uint16_t>()));
    EXPECT_EQ(0u, dut.chip->counters().calls);
    EXPECT_EQ(kCsOk, e2.Read(0x10, 0x10, out));
}

TEST_F(DeviceTargets, EepromLibraryErrorsCarryItsText)
{
    SimStream dut("sim:e2fail=read,eeprom=0x100");
    CE2Target e2;
    ASSERT_EQ(kCsOk, e2.Initialise(dut.Stream()));
    std::vector<uint16_t> out;
    int16_t code = 0;
    EXPECT_EQ(kCsDeviceReadFailed, e2.Read(0, 4, out));
    EXPECT_EQ("EEPROM read failed", LastErrorText(&code));
    EXPECT_EQ(kCsDeviceReadFailed, code);
    // Beyond the end of a 256-word EEPROM.
    EXPECT_EQ(kCsWriteFailed, e2.Write(0xFF, std::vector<uint16_t>{1, 2}));
    EXPECT_EQ("Address range outside the EEPROM", LastErrorText(&code));
    EXPECT_EQ(kCsWriteFailed, code);

    SimStream sized("sim:e2fail=size");
    CE2Target e2s;
    ASSERT_EQ(kCsOk, e2s.Initialise(sized.Stream()));
    EXPECT_EQ(0, e2s.Size());
    EXPECT_EQ("EEPROM size could not be determined", LastErrorText(&code));
    EXPECT_EQ(kCsInternalError, code);
}

}  // namespace
