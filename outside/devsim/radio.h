// The physical radio of the simulated chip.
//
// Each chip has a crystal error, a crystal trim curve, an output power, a
// carrier drift over a burst and a receiver sensitivity, drawn from a seed
// (option rfseed) or pinned by options. The emulated firmware drives the
// radio as the hardware's registers would be driven: it sets the trim,
// starts a carrier or a burst on a frequency, listens on a channel, stops.
// What the antenna sends follows from that and from the chip's physics;
// what it receives comes from the generator of the simulated RF tester the
// chip is cabled to (option rf=HOST:PORT/N), each packet lost with a
// probability that follows its level against the sensitivity.
//
// The formulas (also in docs/rf-tester.md):
//   pull(t)     = k * A * (1 / (a + t) - 1 / (a + 32))  ppm, t = trim 0..63,
//                 A = 7600, a = 24: falls with t, steps larger at low trims
//   carrier     = centre * (1 + (xtal_ppm + pull(t)) * 1e-6)
//   PER(L)      = 1 / (1 + exp((L - sens) / w + c)), w = 0.7 dB,
//                 c = ln(0.692 / 0.308): 30.8 % at the sensitivity
#ifndef DEVSIM_RADIO_H
#define DEVSIM_RADIO_H

#include "options.h"
#include "rflinkwire.h"
#include "simrandom.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace devsim {

// One chip's radio.
struct RadioParameters {
    double xtalPpm = 0;    // crystal error
    double pullScale = 1;  // the chip's factor k of the trim curve
    double txDbm = 0;      // output power
    double driftKhz = 0;   // carrier drift over a burst
    double sensDbm = 0;    // level at which 30.8 % of packets are lost
};

namespace radiomodel {

constexpr unsigned kTrimMax = 63;
// The trim a chip runs at until something sets it: mid-scale, where the
// curve pulls nothing.
constexpr unsigned kDefaultTrim = 32;
constexpr double kPullA = 7600.0;     // ppm * trim codes
constexpr double kPullOffset = 24.0;  // trim codes
constexpr double kPerWidthDb = 0.7;

// The default population: mean, standard deviation and the largest
// distance from the mean drawn.
struct Spread {
    double mean, sigma, limit;
};
constexpr Spread kXtalPpm = {0.0, 15.0, 40.0};
constexpr Spread kPullScale = {1.0, 0.04, 0.1};
constexpr Spread kTxDbm = {4.0, 1.0, 3.0};
constexpr Spread kDriftKhz = {0.0, 3.0, 10.0};
constexpr Spread kSensDbm = {-90.0, 1.5, 4.5};

// How far the trim pulls the crystal, in ppm (positive: faster).
DEVSIM_API double PullPpm(double aPullScale, unsigned aTrim);
// The carrier of a chip on a nominal centre frequency at a trim, in Hz.
DEVSIM_API double CarrierHz(const RadioParameters& aRadio, double aCentreHz, unsigned aTrim);
// The share of packets lost at a level, 0 to 1.
DEVSIM_API double PacketErrorRate(double aLevelDbm, double aSensDbm);
// A chip's radio: drawn from the seed, pinned values taken as they are.
// Each value has its own stream of the seed, so pinning one leaves the
// others as the seed drew them.
DEVSIM_API RadioParameters Draw(const RadioOptions& aOptions);

}  // namespace radiomodel

class RfLink;

class DEVSIM_API Radio {
public:
    explicit Radio(const RadioOptions& aOptions);
    ~Radio();
    Radio(const Radio&) = delete;
    Radio& operator=(const Radio&) = delete;

    // Cables the chip to the tester port the options name (nothing to do
    // without the option). False with a text when the tester cannot be
    // reached or refuses the port.
    bool Connect(std::string& aError);
    // Unplugs the cable; the tester then sees nothing from this chip.
    void Disconnect();
    bool cabled() const;

    const RadioParameters& parameters() const { return mParameters; }

    // The hardware as the firmware drives it. A change of what the antenna
    // sends reaches the tester before these return.
    void SetTrim(unsigned aTrim);
    void Carrier(double aCentreHz);
    void Burst(double aCentreHz);
    void Receive(unsigned aChannel);
    void Off();  // neither sends nor receives

    unsigned trim() const;
    rflinkwire::Emission emission() const;
    // Packets received since the last Receive.
    uint64_t received() const;

    // A run of the tester's generator reached the antenna: the packets
    // received of it (none unless listening on its channel).
    uint64_t OnGenerator(unsigned aChannel, double aLevelDbm, uint64_t aCount);

private:
    enum class Transmit { Off, Carrier, Burst };
    rflinkwire::Emission EmissionLocked() const;
    void StartTransmit(Transmit aTransmit, double aCentreHz);
    // Sends what the antenna sends now to the tester, when it changed.
    void Publish();

    const RadioOptions mOptions;
    const RadioParameters mParameters;
    mutable std::mutex mMutex;  // the link's thread counts packets
    simrandom::Random mLoss;
    unsigned mTrim = radiomodel::kDefaultTrim;
    Transmit mTransmit = Transmit::Off;
    double mCentreHz = 0;
    bool mReceiving = false;
    unsigned mRxChannel = 0;
    uint64_t mReceived = 0;
    rflinkwire::Emission mPublished;
    std::unique_ptr<RfLink> mLink;
};

}  // namespace devsim

#endif
