// The fault layer of the transport and memory stand-ins ("fault:OPTIONS/INNER"):
// what each kind of fault does to a call, that a seed repeats its faults,
// and that every fault is counted.
#include "nivoratest.h"

#include "devsim.h"
#include "e2.h"
#include "faults.h"
#include "flash.h"
#include "nvm.h"
#include "quorlink.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

using devsim::FaultKind;

namespace {

std::string TransportError()
{
    const char* text = nullptr;
    qlk_get_last_error(0, &text);
    return text != nullptr ? text : "";
}

struct Stream {
    explicit Stream(const std::string& aTransport)
    {
        rc = qlk_stream_open(&id, aTransport.c_str());
        chip = rc == 0 ? devsim::Find(id) : nullptr;
    }
    ~Stream()
    {
        if (rc == 0) qlk_stream_close(id);
    }
    uint32_t id = 0;
    int32_t rc = -1;
    devsim::Chip* chip = nullptr;
};

const GenericPointer kRam{4, 0x0800};

// Which of aCalls plain reads fail on a fresh stream of the transport.
std::vector<bool> ReadFailures(const std::string& aTransport, int aCalls)
{
    Stream s(aTransport);
    EXPECT_EQ(0, s.rc) << TransportError();
    std::vector<bool> failed;
    uint16_t w = 0;
    for (int i = 0; i < aCalls; ++i) failed.push_back(qlk_stream_readgp(s.id, kRam, &w) != 0);
    EXPECT_EQ(static_cast<uint64_t>(std::count(failed.begin(), failed.end(), true)),
              devsim::FaultsOf(s.id)[FaultKind::Read]);
    return failed;
}

TEST(FaultLayer, TheSameSeedGivesTheSameFaults)
{
    const auto a = ReadFailures("fault:seed=42,read=0.3/sim", 400);
    const auto b = ReadFailures("fault:seed=42,read=0.3/sim", 400);
    const auto c = ReadFailures("fault:seed=43,read=0.3/sim", 400);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    const auto failed = std::count(a.begin(), a.end(), true);
    EXPECT_GT(failed, 80);
    EXPECT_LT(failed, 160);
}

TEST(FaultLayer, FailedCallsTouchNothingAndSayWhy)
{
    Stream s("fault:read=1,write=1/sim");
    ASSERT_EQ(0, s.rc);
    s.chip->Poke(4, kRam.address / 2, 0x1111);
    uint16_t w = 0;
    uint16_t block[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, qlk_stream_readgp(s.id, kRam, &w));
    EXPECT_EQ("injected fault: the transport read failed", TransportError());
    EXPECT_EQ(1, qlk_stream_readgp_verify(s.id, kRam, &w));
    EXPECT_EQ(1, qlk_stream_readgp_block_verify(s.id, kRam, 4, block));
    EXPECT_EQ(1, qlk_stream_read_verify(s.id, 0x400, &w));
    EXPECT_EQ(1, qlk_stream_writegp_verify(s.id, kRam, 0x2222));
    EXPECT_EQ("injected fault: the transport write failed", TransportError());
    EXPECT_EQ(1, qlk_stream_writegp_block_verify(s.id, kRam, 4, block));
    EXPECT_EQ(0x1111, s.chip->Peek(4, kRam.address / 2));
    EXPECT_EQ(0u, s.chip->counters().reads + s.chip->counters().writes);
    const devsim::FaultCounts counts = devsim::FaultsOf(s.id);
    EXPECT_EQ(4u, counts[FaultKind::Read]);
    EXPECT_EQ(2u, counts[FaultKind::Write]);
    EXPECT_EQ(6u, counts.Total());
}

TEST(FaultLayer, VerifyingCallsCatchAFlippedWordAndThePlainReadHandsItOn)
{
    Stream s("fault:flip=1/sim");
    ASSERT_EQ(0, s.rc);
    s.chip->Poke(4, kRam.address / 2, 0x5A5A);
    uint16_t w = 0;
    ASSERT_EQ(0, qlk_stream_readgp(s.id, kRam, &w));
    EXPECT_EQ(1, __builtin_popcount(static_cast<unsigned>(w ^ 0x5A5A))) << std::hex << w;
    EXPECT_EQ(1, qlk_stream_readgp_verify(s.id, kRam, &w));
    EXPECT_EQ("memory read failed verification: a word changed on the wire", TransportError());
    uint16_t block[8] = {};
    EXPECT_EQ(1, qlk_stream_readgp_block_verify(s.id, kRam, 8, block));
    EXPECT_EQ(1, qlk_stream_read_verify(s.id, 0x400, &w));

    // The verifying write leaves the word as it arrived and reports it.
    EXPECT_EQ(1, qlk_stream_writegp_verify(s.id, kRam, 0x00FF));
    EXPECT_EQ(1, __builtin_popcount(static_cast<unsigned>(s.chip->Peek(4, kRam.address / 2) ^ 0x00FF)));
    const uint16_t words[3] = {7, 7, 7};
    EXPECT_EQ(1, qlk_stream_writegp_block_verify(s.id, kRam, 3, words));
    int changed = 0;
    for (uint32_t i = 0; i < 3; ++i) changed += s.chip->Peek(4, kRam.address / 2 + i) != 7;
    EXPECT_EQ(1, changed);

    const devsim::FaultCounts counts = devsim::FaultsOf(s.id);
    EXPECT_EQ(6u, counts[FaultKind::Flip]);
    EXPECT_EQ(1u, counts.flipsPassedOn);
}

TEST(FaultLayer, BadStringsAndFailedOpensAreReported)
{
    uint32_t id = 0;
    EXPECT_EQ(1, qlk_stream_open(&id, "fault:read=0.1"));
    EXPECT_NE(std::string::npos, TransportError().find("names no inner transport")) << TransportError();
    EXPECT_EQ(1, qlk_stream_open(&id, "fault:read=1.5/sim"));
    EXPECT_EQ("bad value \"1.5\" for fault option \"read\"", TransportError());
    EXPECT_EQ(1, qlk_stream_open(&id, "fault:read=0.5x/sim"));
    EXPECT_EQ(1, qlk_stream_open(&id, "fault:seed=x/sim"));
    EXPECT_EQ(1, qlk_stream_open(&id, "fault:loud=1/sim"));
    EXPECT_EQ(0u, TransportError().find("unknown fault option \"loud\"")) << TransportError();
    EXPECT_EQ(1, qlk_stream_open(&id, "fault:read=0/usb"));
    EXPECT_EQ(0u, TransportError().find("unknown transport \"usb\"")) << TransportError();

    const uint64_t opens = devsim::InjectedFaults()[FaultKind::Open];
    const size_t streams = devsim::OpenStreams();
    NvtHandle h = nullptr;
    EXPECT_EQ(NVT_ERR_CONNECTION, nvtOpen("fault:open=1/sim", nullptr, &h));
    EXPECT_NE(std::string::npos, std::string(nvtGetLastError(h)).find("(injected fault: the open failed)"))
        << nvtGetLastError(h);
    EXPECT_EQ(NVT_OK, nvtClose(h));
    EXPECT_EQ(opens + 1, devsim::InjectedFaults()[FaultKind::Open]);
    EXPECT_EQ(streams, devsim::OpenStreams());
}

TEST(FaultLayer, LayersStackAndEndWithTheirStream)
{
    Stream s("fault:read=1/fault:write=1/sim:name=stacked");
    ASSERT_EQ(0, s.rc) << TransportError();
    EXPECT_TRUE(devsim::FindByName("stacked"));
    uint16_t w = 0;
    EXPECT_EQ(1, qlk_stream_readgp(s.id, kRam, &w));
    EXPECT_EQ(1, qlk_stream_writegp_verify(s.id, kRam, 1));
    EXPECT_EQ(2u, devsim::FaultsOf(s.id).Total());

    // A stream without layers draws nothing; a closed stream has no layers.
    Stream plain("sim");
    EXPECT_EQ(0, qlk_stream_readgp(plain.id, kRam, &w));
    EXPECT_EQ(0u, devsim::FaultsOf(plain.id).Total());
    const uint32_t gone = s.id;
    qlk_stream_close(s.id);
    s.rc = -1;
    EXPECT_EQ(0u, devsim::FaultsOf(gone).Total());
}

TEST(FaultLayer, EepromTransfersStopPartWay)
{
    // With e2write=1 the first page already fails; with a seed that lets
    // some pages through, a long write stops after whole pages.
    Stream s("fault:seed=5,e2read=1,e2write=0.2/sim");
    ASSERT_EQ(0, s.rc);
    esquared e2(s.id);
    std::vector<uint16_t> words(32 * 40, 0x3C3C);
    EXPECT_EQ(ESQUARED_WRITE_FAILED, e2.Write(0, words.data(), static_cast<uint32_t>(words.size() * 2)));
    devsim::NvmStore& eeprom = s.chip->nvm().eeprom();
    uint32_t written = 0;
    while (written < words.size() && eeprom.Peek(written) == 0x3C3C) ++written;
    EXPECT_EQ(0u, written % 32);
    EXPECT_LT(written, words.size());
    EXPECT_EQ(0xFFFF, eeprom.Peek(written));
    EXPECT_EQ(ESQUARED_READ_FAILED, e2.Read(0, words.data(), 4));
    const devsim::FaultCounts counts = devsim::FaultsOf(s.id);
    EXPECT_EQ(1u, counts[FaultKind::E2Write]);
    EXPECT_EQ(1u, counts[FaultKind::E2Read]);
}

TEST(FaultLayer, FlashBurnsFailPerPage)
{
    Stream s("fault:flashburn=1/sim:flashbusy=0");
    ASSERT_EQ(0, s.rc);
    flash fl(s.id);
    FlashImage image(1024);
    fl.SetFlashTarget(FLASH_TARGET_SPI);
    ASSERT_NE(0, fl.flash_identify());
    while (fl.IsBusy()) {
    }
    fl.UseImage(&image);
    image.Write(0x10, 0x1234);
    ASSERT_NE(0, fl.flash_burn());
    while (fl.IsBusy()) {
    }
    EXPECT_EQ(FLASH_BURN_FAILED, fl.GetErrorCode());
    EXPECT_EQ(0xFFFF, s.chip->nvm().flash().Peek(0x10));
    EXPECT_EQ(1u, devsim::FaultsOf(s.id)[FaultKind::FlashBurn]);
}

}  // namespace
