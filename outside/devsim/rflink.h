// The chip's end of the cable to a port of the simulated RF tester (the
// protocol is in rflinkwire.h). A thread of the link reads what the tester
// sends, so that a generator run is counted while the host is busy
// elsewhere (waiting for the tester, for instance); the host's thread sends
// what the antenna emits and waits for the tester's acknowledgement.
// Sockets through standalone asio, on Linux and Windows alike.
#ifndef DEVSIM_RFLINK_H
#define DEVSIM_RFLINK_H

#include "rflinkwire.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace devsim {

class RfLink {
public:
    // Called on the link's thread for each generator run; returns the
    // packets received.
    using GeneratorHandler = std::function<uint64_t(const rflinkwire::GeneratorRun&)>;

    explicit RfLink(GeneratorHandler aOnGenerator);
    ~RfLink();
    RfLink(const RfLink&) = delete;
    RfLink& operator=(const RfLink&) = delete;

    // Connects to the tester and joins its RF port; false with a text.
    bool Connect(const std::string& aHost, uint16_t aPort, uint32_t aRfPort, std::string& aError);
    // Tells the tester what the antenna sends and waits for its
    // acknowledgement; false when the link is down or the tester did not
    // acknowledge in time.
    bool Emit(const rflinkwire::Emission& aEmission);
    bool up() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

}  // namespace devsim

#endif
