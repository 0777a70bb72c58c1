// The simulated chip's radio model: the crystal trim curve, the carrier it
// gives, the packet error rate against the level, the seeded population,
// and a full sweep of the trim of 100 seeded chips through the tester
// showing that each has its best trim inside 0-63.
#include "radio.h"
#include "rftesterfixture.h"
#include "simdut.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace {

using devsim::RadioOptions;
using devsim::RadioParameters;
namespace model = devsim::radiomodel;

TEST(RadioModel, TheTrimCurveFallsWithStepsLargerAtTheLowEnd)
{
    for (double k : {0.9, 1.0, 1.1}) {
        EXPECT_NEAR(0.0, model::PullPpm(k, 32), 1e-9);
        double lastStep = INFINITY;
        for (unsigned t = 0; t < 63; ++t) {
            const double step = model::PullPpm(k, t) - model::PullPpm(k, t + 1);
            EXPECT_GT(step, 0.0) << "trim " << t;
            EXPECT_LT(step, lastStep) << "trim " << t;  // not linear: every step smaller than the last
            lastStep = step;
        }
        EXPECT_GT(model::PullPpm(k, 0) - model::PullPpm(k, 1), 8 * (model::PullPpm(k, 62) - model::PullPpm(k, 63)));
        // Whatever the chip's factor, the trim covers the population's crystal errors.
        EXPECT_GT(model::PullPpm(k, 0), model::kXtalPpm.limit);
        EXPECT_LT(model::PullPpm(k, 63), -model::kXtalPpm.limit);
    }
}

TEST(RadioModel, ThePacketErrorRateIs30Point8PercentAtTheSensitivity)
{
    EXPECT_NEAR(0.308, model::PacketErrorRate(-90, -90), 1e-9);
    EXPECT_LT(model::PacketErrorRate(-87, -90), 0.01);
    EXPECT_GT(model::PacketErrorRate(-93, -90), 0.95);
    double last = 1.0;
    for (double level = -100; level <= -80; level += 0.5) {
        const double per = model::PacketErrorRate(level, -90);
        EXPECT_LE(per, last) << level;
        last = per;
    }
    EXPECT_EQ(0.0, model::PacketErrorRate(1000, -90));
    EXPECT_EQ(1.0, model::PacketErrorRate(-1000, -90));
}

TEST(RadioModel, TheSeedDrawsAReproduciblePopulationAndPinsStandAlone)
{
    RadioOptions options;
    options.seed = 7;
    const RadioParameters a = model::Draw(options);
    const RadioParameters again = model::Draw(options);
    EXPECT_EQ(a.xtalPpm, again.xtalPpm);
    EXPECT_EQ(a.sensDbm, again.sensDbm);
    options.seed = 8;
    EXPECT_NE(a.xtalPpm, model::Draw(options).xtalPpm);

    options.seed = 7;
    options.xtalPpm = 5.5;
    options.sensDbm = -70;
    const RadioParameters pinned = model::Draw(options);
    EXPECT_EQ(5.5, pinned.xtalPpm);
    EXPECT_EQ(-70, pinned.sensDbm);
    EXPECT_EQ(a.pullScale, pinned.pullScale);
    EXPECT_EQ(a.txDbm, pinned.txDbm);
    EXPECT_EQ(a.driftKhz, pinned.driftKhz);

    // The default population keeps to its documented spread.
    struct Sum {
        double sum = 0, squares = 0;
        void Add(double v) { sum += v, squares += v * v; }
        double Mean(int n) const { return sum / n; }
        double Sigma(int n) const { return std::sqrt(squares / n - Mean(n) * Mean(n)); }
    } xtal, tx, sens;
    const int n = 2000;
    for (int seed = 1; seed <= n; ++seed) {
        RadioOptions o;
        o.seed = static_cast<uint64_t>(seed);
        const RadioParameters r = model::Draw(o);
        auto within = [](double aValue, const model::Spread& aSpread) {
            return std::fabs(aValue - aSpread.mean) <= aSpread.limit;
        };
        ASSERT_TRUE(within(r.xtalPpm, model::kXtalPpm) && within(r.pullScale, model::kPullScale) &&
                    within(r.txDbm, model::kTxDbm) && within(r.driftKhz, model::kDriftKhz) &&
                    within(r.sensDbm, model::kSensDbm))
            << "seed " << seed;
        xtal.Add(r.xtalPpm);
        tx.Add(r.txDbm);
        sens.Add(r.sensDbm);
    }
    EXPECT_NEAR(0.0, xtal.Mean(n), 1.5);
    EXPECT_NEAR(14.5, xtal.Sigma(n), 1.0);  // a sigma of 15 cut at 40
    EXPECT_NEAR(4.0, tx.Mean(n), 0.1);
    EXPECT_NEAR(-90.0, sens.Mean(n), 0.15);
}

// The carrier offset of every trim 0-63, measured by the tester with the
// carrier on: the sweep a calibration's bounded search is checked against.
std::array<double, 64> SweepTrims(NvtHandle aHandle, rftest::LineClient& aClient, unsigned aChannel)
{
    std::array<double, 64> offsets{};
    EXPECT_EQ(NVT_OK, nvtRadCwStart(aHandle, static_cast<int>(aChannel), 0));
    aClient.Send("CONF:CHAN " + std::to_string(aChannel));
    for (unsigned trim = 0; trim < 64; ++trim) {
        EXPECT_EQ(NVT_OK, nvtRadSetXtalTrim(aHandle, static_cast<int>(trim)));
        offsets[trim] = aClient.Number("READ:FREQ:OFFS?");
    }
    EXPECT_EQ(NVT_OK, nvtRadStop(aHandle));
    return offsets;
}

TEST(RadioModel, EverySeededChipHasItsBestTrimInsideTheRange)
{
    nvtclock::ScopedFakeClock clock;
    rftest::InProcessTester tester;
    rftest::LineClient client(tester.port());
    const fixtures::TempFile firmware(fixtures::BuildPtFirmware(fixtures::PtFirmwareLayout()));
    const unsigned channel = 19;
    const double noise = 3 * rftester::kFrequencyNoiseHz;
    for (unsigned seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE("rfseed " + std::to_string(seed));
        NvtHandle handle = nullptr;
        ASSERT_EQ(NVT_OK,
                  nvtOpen(("sim:rfseed=" + std::to_string(seed) + "," + tester.Cable(1)).c_str(), nullptr, &handle));
        ASSERT_EQ(NVT_OK, nvtLoadPtFirmware(handle, firmware.c_str(), 0)) << nvtGetLastError(handle);
        const std::array<double, 64> offsets = SweepTrims(handle, client, channel);
        const RadioParameters radio = devsim::LastOpened()->radio().parameters();
        nvtClose(handle);

        unsigned best = 0;
        for (unsigned t = 1; t < 64; ++t)
            if (std::fabs(offsets[t]) < std::fabs(offsets[best])) best = t;
        // The offset falls through zero between two trims inside the range...
        unsigned cross = 64;
        for (unsigned t = 0; t < 63; ++t) {
            ASSERT_GT(offsets[t], offsets[t + 1]) << "trim " << t;
            if (offsets[t] >= 0 && offsets[t + 1] < 0) cross = t;
        }
        ASSERT_LT(cross, 63u);
        ASSERT_TRUE(best == cross || best == cross + 1) << "best " << best << ", crossing at " << cross;
        // ...and the best of the two leaves at most half that step.
        const double step = offsets[cross] - offsets[cross + 1];
        EXPECT_LE(std::fabs(offsets[best]), step / 2 + noise);
        // The model agrees, up to the measurement's noise.
        const double centre = rflinkwire::ChannelHz(channel);
        EXPECT_NEAR(model::CarrierHz(radio, centre, best) - centre, offsets[best], noise);
        EXPECT_LE(
            std::fabs(model::CarrierHz(radio, centre, best) - centre),
            (model::CarrierHz(radio, centre, cross) - model::CarrierHz(radio, centre, cross + 1)) / 2 + 2 * noise);
    }
}

}  // namespace
