#include "instruments/tester.h"

#include <chrono>
#include <cstdio>

namespace station {

bool Tester::Open(const TesterSetup& aTester, int aPort, std::string& aError)
{
    std::string identity;
    return mClient.Connect(aTester.address, std::chrono::seconds(5), aError) &&
           mClient.Identify(aTester.identity, identity, aError) && mClient.Send("*RST;*CLS", aError) &&
           mClient.Send("ROUT:PORT " + std::to_string(aPort), aError) && mClient.CheckErrors(aError);
}

bool Tester::Channel(int aChannel, std::string& aError)
{
    if (aChannel == mChannel) return true;
    if (!mClient.Send("CONF:CHAN " + std::to_string(aChannel), aError)) return false;
    mChannel = aChannel;
    return true;
}

bool Tester::Measure(int aChannel, const char* aQuery, double& aValue, std::string& aError)
{
    return Channel(aChannel, aError) && mClient.QueryNumber(aQuery, aValue, aError) && mClient.CheckErrors(aError);
}

bool Tester::Power(int aChannel, double& aDbm, std::string& aError)
{
    return Measure(aChannel, "READ:POW?", aDbm, aError);
}

bool Tester::Offset(int aChannel, double& aHz, std::string& aError)
{
    return Measure(aChannel, "READ:FREQ:OFFS?", aHz, aError);
}

bool Tester::Drift(int aChannel, double& aHz, std::string& aError)
{
    return Measure(aChannel, "READ:FREQ:DRIF?", aHz, aError);
}

bool Tester::Generate(int aChannel, double aLevelDbm, uint32_t aPackets, std::string& aError)
{
    char level[32];
    std::snprintf(level, sizeof level, "%.2f", aLevelDbm);
    std::string done;
    if (!Channel(aChannel, aError) || !mClient.Send(std::string("SOUR:POW ") + level, aError) ||
        !mClient.Send("SOUR:PACK:COUN " + std::to_string(aPackets), aError) || !mClient.Send("INIT:GEN", aError))
        return false;
    // A run of 65535 packets takes its time on a real tester: wait longer.
    mClient.SetTimeout(std::chrono::seconds(60));
    const bool ok = mClient.Query("*OPC?", done, aError);
    mClient.SetTimeout(std::chrono::seconds(5));
    if (!ok) return false;
    if (done != "1") {
        aError = "the tester at " + mClient.Address() + " answered \"" + done + "\" to *OPC?";
        return false;
    }
    return mClient.CheckErrors(aError);
}

}  // namespace station
