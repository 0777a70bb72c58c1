// A SCPI client over a raw TCP socket, as LAN instruments speak it: one
// command or query per line, newline-terminated, answers one line each.
// Every wait has a time-out; a connection that drops, an answer that does
// not come and an error in the instrument's queue end with a text that
// names the instrument and what was asked.
#ifndef NVT_STATION_INSTRUMENTS_SCPI_CLIENT_H
#define NVT_STATION_INSTRUMENTS_SCPI_CLIENT_H

#include <chrono>
#include <memory>
#include <string>

namespace station {

class ScpiClient {
public:
    ScpiClient();
    ~ScpiClient();
    ScpiClient(const ScpiClient&) = delete;
    ScpiClient& operator=(const ScpiClient&) = delete;

    // Connects to "HOST:PORT". False with a text.
    bool Connect(const std::string& aAddress, std::chrono::milliseconds aTimeout, std::string& aError);
    // Asks *IDN? and checks that the answer starts with aExpected (when not empty).
    bool Identify(const std::string& aExpected, std::string& aIdentity, std::string& aError);
    // Sends a command (no answer).
    bool Send(const std::string& aCommand, std::string& aError);
    // Sends a query and reads its one-line answer.
    bool Query(const std::string& aQuery, std::string& aAnswer, std::string& aError);
    // A query whose answer is a number; SCPI's "not a number" (9.91E37) and
    // anything that is not a finite number is an error.
    bool QueryNumber(const std::string& aQuery, double& aValue, std::string& aError);
    // Reads the error queue (SYST:ERR?) to its end: false with the first
    // error's text when it held any.
    bool CheckErrors(std::string& aError);
    const std::string& Address() const { return mAddress; }
    // The time-out of each answer (5 s unless set).
    void SetTimeout(std::chrono::milliseconds aTimeout) { mTimeout = aTimeout; }

private:
    bool ReadLine(std::string& aLine, std::string& aError);
    struct Impl;
    std::unique_ptr<Impl> mImpl;
    std::string mAddress;
    std::chrono::milliseconds mTimeout{5000};
};

}  // namespace station

#endif
