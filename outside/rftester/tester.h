// The simulated RF tester: a LAN instrument with N RF ports, each cabled to
// one simulated chip, serving SCPI over a raw TCP socket (one line per
// program message, as LAN instruments do).
//
// One TCP address serves two kinds of connection, told apart by their first
// line: a chip's cable opens with the hello of rflinkwire.h, anything else
// is an SCPI client. Every client has its own session: its selected port,
// channel, generator settings and error queue, so several station workers
// can share the tester. Everything runs on one asio context; modelled
// delays (a measurement time, the generator's packet time) are timers, so a
// slow measurement of one client never holds up another.
//
// The command reference is in docs/rf-tester.md.
#ifndef RFTESTER_TESTER_H
#define RFTESTER_TESTER_H

#include <asio.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace rftester {

struct TesterConfig {
    unsigned ports = 4;                                  // at least 1
    uint64_t seed = 0;                                   // measurement noise
    uint32_t measureMs = 0;                              // time a READ takes
    uint32_t packetUs = 0;                               // time the generator takes per packet
    std::string identity = "NivoraTest,rftester,0,1.0";  // the *IDN? answer
    // Faults for tests of an instrument client: the canonical header of a
    // command ("INIT:GEN", "READ:POW?") on which the client's connection is
    // closed, or which fails with an execution error.
    std::set<std::string> dropOn;
    std::set<std::string> failOn;
};

// Noise of the measurements (one standard deviation).
constexpr double kPowerNoiseDb = 0.1;
constexpr double kFrequencyNoiseHz = 100.0;
constexpr double kDriftNoiseHz = 200.0;
// A signal further than this from the configured channel's centre is not
// on that channel.
constexpr double kCaptureHz = 1e6;

class Tester {
public:
    Tester(asio::io_context& aIo, const TesterConfig& aConfig);
    ~Tester();
    Tester(const Tester&) = delete;
    Tester& operator=(const Tester&) = delete;

    // Binds and listens (port 0: any free port); false with a text.
    bool Listen(const std::string& aHost, uint16_t aPort, std::string& aError);
    // The bound TCP port.
    uint16_t port() const;
    // Closes the listener and every connection; the context then runs out.
    void Stop();

    struct Impl;

private:
    std::shared_ptr<Impl> mImpl;
};

// "HOST:PORT" ("[::1]:5025" for IPv6); false when it is not one.
bool ParseAddress(const std::string& aText, std::string& aHost, uint16_t& aPort);

}  // namespace rftester

#endif
