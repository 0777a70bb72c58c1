// The simulated chip cabled to the simulated RF tester, driven through the
// public library as a station drives it: what the tester measures follows
// the channel, the crystal and the trim; a start has reached the tester
// when it returns, a stop, a reset or a close leaves nothing on air; the
// receiver counts the generator's packets by their level, and *OPC? answers
// only once the chip has counted them.
#include "keydatabase.h"
#include "radio.h"
#include "rftesterfixture.h"
#include "simdut.h"

#include <cmath>

namespace {

using devsim::radiomodel::CarrierHz;
using rflinkwire::ChannelHz;

// Six standard deviations of the tester's frequency noise.
constexpr double kOffsetTolerance = 6 * rftester::kFrequencyNoiseHz;
constexpr double kPowerTolerance = 6 * rftester::kPowerNoiseDb;

class CabledChip : public SimDutTest {
protected:
    // Opens a chip cabled to RF port aRfPort with further options, and loads
    // the firmware.
    void OpenCabled(const std::string& aOptions, unsigned aRfPort = 1)
    {
        Open("sim:" + tester.Cable(aRfPort) + (aOptions.empty() ? "" : "," + aOptions));
        if (HasFatalFailure()) return;
        ASSERT_EQ(NVT_OK, Load()) << Text();
        client.Send("ROUT:PORT " + std::to_string(aRfPort));
    }

    double Measured(const char* aQuery, unsigned aChannel)
    {
        client.Send("CONF:CHAN " + std::to_string(aChannel));
        return client.Number(aQuery);
    }
    double Offset(unsigned aChannel) { return Measured("READ:FREQ:OFFS?", aChannel); }

    // The offset the radio model gives this chip on a channel at a trim.
    double ModelOffset(unsigned aChannel, unsigned aTrim)
    {
        return CarrierHz(chip->radio().parameters(), ChannelHz(aChannel), aTrim) - ChannelHz(aChannel);
    }

    // Nothing is on air at the client's port: the tester says so in its queue.
    void ExpectNothingOnAir(const std::string& aWhen)
    {
        EXPECT_EQ("9.91E37", client.Query("READ:POW?")) << aWhen;
        EXPECT_EQ(0u, client.Query("SYST:ERR?").rfind("-200,\"Execution error;nothing transmitting", 0)) << aWhen;
    }

    // One generator run on the client's port, answered by *OPC?.
    void Generate(unsigned aChannel, double aLevelDbm, unsigned aPackets)
    {
        EXPECT_EQ(
            "1", client.Query(":CONF:CHAN " + std::to_string(aChannel) + ";:SOUR:POW " + rflinkwire::Number(aLevelDbm) +
                              ";:SOUR:PACK:COUN " + std::to_string(aPackets) + ";:INIT:GEN;*OPC?"));
    }
    uint16_t Received()
    {
        uint16_t packets = 0xAAAA;
        EXPECT_EQ(NVT_OK, nvtRadRxGetPkts(handle, &packets)) << Text();
        return packets;
    }

    nvtclock::ScopedFakeClock clock;
    rftest::InProcessTester tester;
    rftest::LineClient client{tester.port()};
};

TEST_F(CabledChip, AnUnreachableTesterOrAMissingPortFailsTheOpenWithAClearText)
{
    uint16_t closedPort = 0;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        closedPort = probe.local_endpoint().port();
    }
    const std::string at = "127.0.0.1:" + std::to_string(closedPort);
    EXPECT_EQ(NVT_ERR_CONNECTION, TryOpen("sim:rf=" + at + "/1"));
    EXPECT_EQ(0u, Text().rfind("Failed to connect to device (cannot reach the RF tester at " + at + " (", 0)) << Text();

    nvtClose(handle);
    handle = nullptr;
    EXPECT_EQ(NVT_ERR_CONNECTION, TryOpen("sim:" + tester.Cable(9)));
    EXPECT_EQ("Failed to connect to device (the RF tester at 127.0.0.1:" + std::to_string(tester.port()) +
                  " refused RF port 9: RF port 9 does not exist (this tester has ports 1 to 4))",
              Text());
}

TEST_F(CabledChip, TheCarrierFollowsTheChannelTheCrystalAndTheTrim)
{
    OpenCabled("xtal_ppm=12.5,tx_dbm=3.25", 2);
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 19, 0)) << Text();
    // No trim set yet: mid-scale, where the trim pulls nothing.
    EXPECT_NEAR(2440e6 * 12.5e-6, Offset(19), kOffsetTolerance);
    EXPECT_NEAR(3.25, client.Number("READ:POW?"), kPowerTolerance);

    // A trim set while the carrier is on moves it before the call returns.
    ASSERT_EQ(NVT_OK, nvtRadSetXtalTrim(handle, 50));
    EXPECT_EQ(50u, chip->radio().trim());
    EXPECT_GT(std::fabs(ModelOffset(19, 50) - ModelOffset(19, 32)), 10000.0);
    EXPECT_NEAR(ModelOffset(19, 50), Offset(19), kOffsetTolerance);

    // A frequency, when given, is where the carrier sits.
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 0, 2480));
    EXPECT_NEAR(ModelOffset(39, 50), Offset(39), kOffsetTolerance);
    EXPECT_EQ("9.91E37", client.Query("CONF:CHAN 38;:READ:POW?"));
    EXPECT_EQ(0u, client.Query("SYST:ERR?").rfind("-200,\"Execution error;no signal on channel 38", 0));
}

TEST_F(CabledChip, ABurstShowsItsPowerOffsetAndDriftUntilItsLastPacket)
{
    OpenCabled("rfseed=4,drift_khz=-8.5,tx_dbm=-1");
    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 10, 37, 0, 30)) << Text();
    EXPECT_NEAR(-8500.0, Measured("READ:FREQ:DRIF?", 10), 6 * rftester::kDriftNoiseHz);
    EXPECT_NEAR(ModelOffset(10, 32), Offset(10), kOffsetTolerance);
    EXPECT_NEAR(-1.0, client.Number("READ:POW?"), kPowerTolerance);
    uint16_t left = 0;
    ASSERT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &left));
    EXPECT_EQ(5, left);
    EXPECT_NEAR(-1.0, client.Number("READ:POW?"), kPowerTolerance);
    ASSERT_EQ(NVT_OK, nvtRadTxGetPkts(handle, &left));
    EXPECT_EQ(0, left);
    ExpectNothingOnAir("after the last packet");
}

TEST_F(CabledChip, AStopAFirmwareReloadAndACloseLeaveNothingOnAir)
{
    OpenCabled("");
    client.Send("CONF:CHAN 1");
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 1, 0));
    EXPECT_FALSE(std::isnan(client.Number("READ:POW?")));
    ASSERT_EQ(NVT_OK, nvtRadStop(handle));
    ExpectNothingOnAir("after the stop");

    ASSERT_EQ(NVT_OK, nvtRadTxStart(handle, 1, 37, 0, 1000));
    ASSERT_EQ(NVT_OK, Load()) << Text();
    ExpectNothingOnAir("after a firmware load");

    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 1, 0));
    nvtClose(handle);
    handle = nullptr;
    ExpectNothingOnAir("after the close");
    EXPECT_FALSE(chip->radio().cabled());
}

TEST_F(CabledChip, TheReceiverCountsTheGeneratorsPacketsByTheirLevel)
{
    OpenCabled("rfseed=9,sens_dbm=-88", 3);
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 3));
    // A cabled chip counts only what was sent to it.
    EXPECT_EQ(0, Received());
    Generate(3, -70, 1500);
    EXPECT_EQ(1500, Received());
    Generate(3, -70, 500);
    EXPECT_EQ(2000, Received());
    // Another channel than the receiver's passes it by.
    Generate(4, -70, 500);
    EXPECT_EQ(2000, Received());

    // At the sensitivity 30.8 % are lost; a few dB below, nearly all.
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 3));
    EXPECT_EQ(0, Received());
    Generate(3, -88, 1500);
    EXPECT_NEAR(1500 * (1 - 0.308), Received(), 5 * std::sqrt(1500 * 0.308 * 0.692));
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 3));
    Generate(3, -94, 1500);
    EXPECT_LT(Received(), 30);

    // The 16-bit counter stops when full instead of wrapping to a small count.
    ASSERT_EQ(NVT_OK, nvtRadRxStart(handle, 3));
    Generate(3, -70, 65535);
    Generate(3, -70, 2);
    EXPECT_EQ(0xFFFF, Received());
}

TEST_F(CabledChip, TheFirmwareStartsAtTheCrystalTrimOfItsCsKeys)
{
    testsupport::ScratchDir scratch;
    const std::string db = cstest::WriteTestDatabase(scratch.path());
    Open("sim:" + tester.Cable(1) + ",xtal_ppm=-20", db.c_str());
    testsupport::WriteWholeFile(scratch.File("trim.keyr"), ">DECIMAL_CS_VERSION=5\n&TRIM = 1e\n");
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, scratch.File("trim.keyr").c_str())) << Text();
    fixtures::PtFirmwareLayout layout;
    layout.csKeysVersion = 5;
    ASSERT_EQ(NVT_OK, Load(layout, true)) << Text();
    EXPECT_EQ(0x1Eu, chip->radio().trim());
    EXPECT_EQ(0x1E, firmware->registers().xtalTrim);
    ASSERT_EQ(NVT_OK, nvtRadCwStart(handle, 5, 0));
    EXPECT_NEAR(ModelOffset(5, 0x1E), Offset(5), kOffsetTolerance);

    // Without the CS keys the block holds no trim of 0-63: mid-scale.
    ASSERT_EQ(NVT_OK, Load(layout, false)) << Text();
    EXPECT_EQ(32u, chip->radio().trim());
}

// Radio commands written straight into the mailbox, past the library's checks.
TEST_F(CabledChip, TheFirmwareRefusesRadioValuesTheHardwareCannotTake)
{
    OpenCabled("");
    const fixtures::PtFirmwareLayout layout;
    auto answer = [&](uint16_t aCode, std::vector<uint16_t> aParameters) {
        EXPECT_TRUE(
            chip->Write(4, layout.parametersWord * 2u, static_cast<uint32_t>(aParameters.size()), aParameters.data()));
        EXPECT_TRUE(chip->Write(4, layout.commandWord * 2u, 1, &aCode));
        uint16_t word = 0;
        EXPECT_TRUE(chip->Read(4, layout.commandWord * 2u, 1, &word));
        return word;
    };
    EXPECT_EQ(0x8001, answer(0x0303, {64}));
    EXPECT_EQ(0x8001, answer(0x0300, {40, 0}));
    EXPECT_EQ(0x8001, answer(0x0300, {0, 2401}));
    EXPECT_EQ(0x8001, answer(0x0302, {40, 37, 0, 1}));
    EXPECT_EQ(0x8001, answer(0x0304, {40}));
    EXPECT_EQ(32u, chip->radio().trim());
    ExpectNothingOnAir("after refused starts");
    EXPECT_EQ(0x8000, answer(0x0303, {63}));
    EXPECT_EQ(63u, chip->radio().trim());
}

}  // namespace
