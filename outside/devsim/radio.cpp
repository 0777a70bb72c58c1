// The simulated chip's radio (see radio.h).
#include "radio.h"

#include "rflink.h"

#include <cmath>

namespace devsim {

namespace radiomodel {

double PullPpm(double aPullScale, unsigned aTrim)
{
    return aPullScale * kPullA * (1.0 / (kPullOffset + aTrim) - 1.0 / (kPullOffset + kDefaultTrim));
}

double CarrierHz(const RadioParameters& aRadio, double aCentreHz, unsigned aTrim)
{
    return aCentreHz * (1.0 + (aRadio.xtalPpm + PullPpm(aRadio.pullScale, aTrim)) * 1e-6);
}

double PacketErrorRate(double aLevelDbm, double aSensDbm)
{
    // c = ln((1 - 0.308) / 0.308) puts 30.8 % at the sensitivity.
    static const double c = std::log(0.692 / 0.308);
    return 1.0 / (1.0 + std::exp((aLevelDbm - aSensDbm) / kPerWidthDb + c));
}

RadioParameters Draw(const RadioOptions& aOptions)
{
    auto draw = [&](uint64_t aStream, const Spread& aSpread) {
        simrandom::Random random(simrandom::Mix(aOptions.seed, aStream));
        return random.Normal(aSpread.mean, aSpread.sigma, aSpread.limit);
    };
    RadioParameters r;
    r.xtalPpm = aOptions.xtalPpm ? *aOptions.xtalPpm : draw(1, kXtalPpm);
    r.pullScale = draw(2, kPullScale);
    r.txDbm = aOptions.txDbm ? *aOptions.txDbm : draw(3, kTxDbm);
    r.driftKhz = aOptions.driftKhz ? *aOptions.driftKhz : draw(4, kDriftKhz);
    r.sensDbm = aOptions.sensDbm ? *aOptions.sensDbm : draw(5, kSensDbm);
    return r;
}

}  // namespace radiomodel

namespace {
constexpr uint64_t kLossStream = 100;
}

Radio::Radio(const RadioOptions& aOptions)
    : mOptions(aOptions), mParameters(radiomodel::Draw(aOptions)), mLoss(simrandom::Mix(aOptions.seed, kLossStream))
{
}

Radio::~Radio()
{
    Disconnect();
}

bool Radio::Connect(std::string& aError)
{
    if (mOptions.testerHost.empty()) return true;
    std::unique_ptr<RfLink> link(new RfLink(
        [this](const rflinkwire::GeneratorRun& aRun) { return OnGenerator(aRun.channel, aRun.levelDbm, aRun.count); }));
    if (!link->Connect(mOptions.testerHost, mOptions.testerPort, mOptions.testerRfPort, aError)) return false;
    mLink = std::move(link);
    // The tester starts the port with nothing on air, as the chip is now.
    mPublished = rflinkwire::Emission();
    return true;
}

void Radio::Disconnect()
{
    mLink.reset();
}

bool Radio::cabled() const
{
    return mLink && mLink->up();
}

rflinkwire::Emission Radio::EmissionLocked() const
{
    rflinkwire::Emission e;
    if (mTransmit == Transmit::Off) return e;
    e.mode = mTransmit == Transmit::Carrier ? rflinkwire::Mode::Carrier : rflinkwire::Mode::Burst;
    e.frequencyHz = radiomodel::CarrierHz(mParameters, mCentreHz, mTrim);
    e.powerDbm = mParameters.txDbm;
    // A carrier holds its frequency; a burst moves over the packet.
    e.driftHz = mTransmit == Transmit::Burst ? mParameters.driftKhz * 1000.0 : 0.0;
    return e;
}

rflinkwire::Emission Radio::emission() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return EmissionLocked();
}

void Radio::Publish()
{
    const rflinkwire::Emission now = emission();
    if (!mLink) return;
    if (now.mode == mPublished.mode && now.frequencyHz == mPublished.frequencyHz &&
        now.powerDbm == mPublished.powerDbm && now.driftHz == mPublished.driftHz)
        return;
    // Without the tester's acknowledgement it may still show the old state;
    // the next change tries again.
    if (mLink->Emit(now)) mPublished = now;
}

void Radio::SetTrim(unsigned aTrim)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTrim = aTrim > radiomodel::kTrimMax ? radiomodel::kTrimMax : aTrim;
    }
    Publish();
}

void Radio::Carrier(double aCentreHz)
{
    StartTransmit(Transmit::Carrier, aCentreHz);
}

void Radio::Burst(double aCentreHz)
{
    StartTransmit(Transmit::Burst, aCentreHz);
}

void Radio::StartTransmit(Transmit aTransmit, double aCentreHz)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTransmit = aTransmit;
        mCentreHz = aCentreHz;
        mReceiving = false;
    }
    Publish();
}

void Radio::Receive(unsigned aChannel)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTransmit = Transmit::Off;
        mReceiving = true;
        mRxChannel = aChannel;
        mReceived = 0;
    }
    Publish();
}

void Radio::Off()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTransmit = Transmit::Off;
        mReceiving = false;
    }
    Publish();
}

unsigned Radio::trim() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mTrim;
}

uint64_t Radio::received() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mReceived;
}

uint64_t Radio::OnGenerator(unsigned aChannel, double aLevelDbm, uint64_t aCount)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mReceiving || aChannel != mRxChannel) return 0;
    const double per = radiomodel::PacketErrorRate(aLevelDbm, mParameters.sensDbm);
    uint64_t received = 0;
    for (uint64_t i = 0; i < aCount; ++i)
        if (mLoss.Uniform() >= per) ++received;
    mReceived += received;
    return received;
}

}  // namespace devsim
