// The bench's RF tester as a station worker uses it: one connection per
// worker, its identity checked against the fixture, its RF port selected
// once; every measurement and generator run is followed by a look at the
// tester's error queue, so a tester fault is never taken for a value.
#ifndef NVT_STATION_INSTRUMENTS_TESTER_H
#define NVT_STATION_INSTRUMENTS_TESTER_H

#include "instruments/scpi_client.h"

#include <cstdint>
#include <string>

namespace station {

// Where the tester is and what it must answer to *IDN? (a prefix; empty: anything).
struct TesterSetup {
    std::string address;
    std::string identity;
};

class Tester {
public:
    // Connects, identifies, resets the session, selects aPort. False with a text.
    bool Open(const TesterSetup& aTester, int aPort, std::string& aError);
    // Output power of what the DUT transmits on aChannel, dBm.
    bool Power(int aChannel, double& aDbm, std::string& aError);
    // Carrier frequency offset from the channel's centre, Hz.
    bool Offset(int aChannel, double& aHz, std::string& aError);
    // Drift over a burst, Hz.
    bool Drift(int aChannel, double& aHz, std::string& aError);
    // Sends aPackets packets at aLevelDbm on aChannel to the DUT and waits
    // until they are sent.
    bool Generate(int aChannel, double aLevelDbm, uint32_t aPackets, std::string& aError);

private:
    bool Channel(int aChannel, std::string& aError);
    bool Measure(int aChannel, const char* aQuery, double& aValue, std::string& aError);

    ScpiClient mClient;
    int mChannel = -1;
};

}  // namespace station

#endif
