#include "instruments/scpi_client.h"

#include <asio.hpp>

#include <cmath>
#include <cstdlib>

namespace station {

namespace {

// Longest answer line the station accepts from an instrument.
constexpr size_t kMaxLine = 64 * 1024;

}  // namespace

struct ScpiClient::Impl {
    asio::io_context io;
    asio::ip::tcp::socket socket{io};
    std::string buffer;  // read and not yet handed out

    // Runs the context until aDone or the time-out; false on time-out (the
    // operation is then cancelled).
    bool RunUntil(const bool& aDone, std::chrono::milliseconds aTimeout)
    {
        io.restart();
        const auto end = std::chrono::steady_clock::now() + aTimeout;
        while (!aDone) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            io.run_one_for(left);
        }
        if (aDone) return true;
        asio::error_code ignored;
        socket.cancel(ignored);
        io.restart();
        io.run_for(std::chrono::milliseconds(100));  // let the cancelled handler run
        return false;
    }
};

ScpiClient::ScpiClient() : mImpl(std::make_unique<Impl>()) {}

ScpiClient::~ScpiClient() = default;

bool ScpiClient::Connect(const std::string& aAddress, std::chrono::milliseconds aTimeout, std::string& aError)
{
    mAddress = aAddress;
    const size_t colon = aAddress.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == aAddress.size()) {
        aError = "the tester address \"" + aAddress + "\" is not HOST:PORT";
        return false;
    }
    const std::string host = aAddress.substr(0, colon), port = aAddress.substr(colon + 1);
    asio::error_code ec;
    asio::ip::tcp::resolver resolver(mImpl->io);
    const auto endpoints = resolver.resolve(host, port, ec);
    if (ec) {
        aError = "cannot find the tester " + aAddress + " (" + ec.message() + ")";
        return false;
    }
    bool done = false;
    asio::error_code result;
    asio::async_connect(mImpl->socket, endpoints, [&](const asio::error_code& aEc, const asio::ip::tcp::endpoint&) {
        result = aEc;
        done = true;
    });
    if (!mImpl->RunUntil(done, aTimeout)) {
        aError = "the tester at " + aAddress + " does not answer (no connection within " +
                 std::to_string(aTimeout.count()) + " ms)";
        return false;
    }
    if (result) {
        aError = "cannot reach the tester at " + aAddress + " (" + result.message() + ")";
        return false;
    }
    mImpl->socket.set_option(asio::ip::tcp::no_delay(true), ec);
    return true;
}

bool ScpiClient::Send(const std::string& aCommand, std::string& aError)
{
    if (!mImpl->socket.is_open()) {
        aError = "the tester is not connected";
        return false;
    }
    const std::string line = aCommand + "\n";
    bool done = false;
    asio::error_code result;
    asio::async_write(mImpl->socket, asio::buffer(line), [&](const asio::error_code& aEc, size_t) {
        result = aEc;
        done = true;
    });
    if (!mImpl->RunUntil(done, mTimeout) || result) {
        aError = "the tester at " + mAddress + " dropped the connection (sending \"" + aCommand + "\"" +
                 (result ? ": " + result.message() : "") + ")";
        mImpl->socket.close();
        return false;
    }
    return true;
}

bool ScpiClient::ReadLine(std::string& aLine, std::string& aError)
{
    for (;;) {
        const size_t nl = mImpl->buffer.find('\n');
        if (nl != std::string::npos) {
            aLine = mImpl->buffer.substr(0, nl);
            mImpl->buffer.erase(0, nl + 1);
            if (!aLine.empty() && aLine.back() == '\r') aLine.pop_back();
            return true;
        }
        if (mImpl->buffer.size() > kMaxLine) {
            aError = "the tester at " + mAddress + " sent an answer longer than " + std::to_string(kMaxLine) + " bytes";
            return false;
        }
        char chunk[4096];
        bool done = false;
        size_t got = 0;
        asio::error_code result;
        mImpl->socket.async_read_some(asio::buffer(chunk), [&](const asio::error_code& aEc, size_t aN) {
            result = aEc;
            got = aN;
            done = true;
        });
        if (!mImpl->RunUntil(done, mTimeout)) {
            aError = "the tester at " + mAddress + " did not answer within " + std::to_string(mTimeout.count()) + " ms";
            return false;
        }
        if (result) {
            aError = "the tester at " + mAddress + " dropped the connection (" + result.message() + ")";
            mImpl->socket.close();
            return false;
        }
        mImpl->buffer.append(chunk, got);
    }
}

bool ScpiClient::Query(const std::string& aQuery, std::string& aAnswer, std::string& aError)
{
    if (!Send(aQuery, aError)) return false;
    if (!ReadLine(aAnswer, aError)) {
        aError += " (asked \"" + aQuery + "\")";
        return false;
    }
    return true;
}

bool ScpiClient::QueryNumber(const std::string& aQuery, double& aValue, std::string& aError)
{
    std::string answer;
    if (!Query(aQuery, answer, aError)) return false;
    char* end = nullptr;
    const double value = std::strtod(answer.c_str(), &end);
    if (end == answer.c_str() || *end != '\0' || !std::isfinite(value) || std::fabs(value) >= 9.9e37) {
        // The instrument says why in its error queue.
        std::string why;
        if (!CheckErrors(why)) aError = why + " (asked \"" + aQuery + "\")";
        else aError = "the tester at " + mAddress + " answered \"" + answer + "\" to \"" + aQuery + "\", not a number";
        return false;
    }
    aValue = value;
    return true;
}

bool ScpiClient::CheckErrors(std::string& aError)
{
    std::string first;
    for (int i = 0; i < 32; ++i) {
        std::string answer;
        if (!Query("SYST:ERR?", answer, aError)) return false;
        const int code = std::atoi(answer.c_str());
        if (code == 0) break;
        if (first.empty()) first = answer;
    }
    if (first.empty()) return true;
    aError = "the tester at " + mAddress + " reports an error: " + first;
    return false;
}

bool ScpiClient::Identify(const std::string& aExpected, std::string& aIdentity, std::string& aError)
{
    if (!Query("*IDN?", aIdentity, aError)) return false;
    if (!aExpected.empty() && aIdentity.rfind(aExpected, 0) != 0) {
        aError = "the instrument at " + mAddress + " is \"" + aIdentity + "\", not the tester the fixture names (\"" +
                 aExpected + "\")";
        return false;
    }
    return true;
}

}  // namespace station
