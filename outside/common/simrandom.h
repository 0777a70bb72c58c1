// The seeded random numbers of the simulators: the simulated chip draws its
// radio from them and the simulated RF tester its measurement noise.
//
// The generator is splitmix64, written out here rather than taken from
// <random>, so that a seed gives the same numbers with every standard
// library (the chip may run in a Windows build of the simulator and the
// tester on Linux). Header-only, like the other helpers of outside/common.
#ifndef NVT_OUTSIDE_SIMRANDOM_H
#define NVT_OUTSIDE_SIMRANDOM_H

#include <cmath>
#include <cstdint>

namespace simrandom {

// Mixes two values into one seed, so that one seed can give independent
// streams (per purpose, per port).
inline uint64_t Mix(uint64_t aA, uint64_t aB)
{
    uint64_t z = aA + 0x9E3779B97F4A7C15ull * (aB + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class Random {
public:
    explicit Random(uint64_t aSeed = 0) : mState(aSeed) {}

    uint64_t Next()
    {
        uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

    // Standard normal (Box-Muller; one value per call).
    double Gaussian()
    {
        const double u1 = 1.0 - Uniform();  // (0, 1]: the logarithm stays finite
        const double u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

    // Normal with a mean and a standard deviation, drawn again until it lies
    // within aLimit of the mean (a population without absurd outliers).
    double Normal(double aMean, double aSigma, double aLimit)
    {
        for (;;) {
            const double x = aSigma * Gaussian();
            if (std::fabs(x) <= aLimit) return aMean + x;
        }
    }

private:
    uint64_t mState;
};

}  // namespace simrandom

#endif
