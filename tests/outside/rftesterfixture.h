// What the tests of the simulated RF tester share: a line client (an SCPI
// client, or a hand-made chip cable) with time-outs, and a tester running
// in the test's own process on a thread of its own.
#ifndef NVT_TESTS_OUTSIDE_RFTESTERFIXTURE_H
#define NVT_TESTS_OUTSIDE_RFTESTERFIXTURE_H

#include "tester.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

namespace rftest {

// Newline-terminated lines over TCP. A read that gets nothing within the
// time-out gives "<timeout>", a closed connection "<closed>".
class LineClient {
public:
    explicit LineClient(uint16_t aPort, const std::string& aHost = "127.0.0.1")
    {
        std::error_code ec;
        mSocket.connect(asio::ip::tcp::endpoint(asio::ip::make_address(aHost), aPort), ec);
        EXPECT_FALSE(ec) << "connect to " << aHost << ":" << aPort << ": " << ec.message();
        mSocket.set_option(asio::ip::tcp::no_delay(true), ec);
    }

    void Send(const std::string& aLine)
    {
        std::error_code ec;
        asio::write(mSocket, asio::buffer(aLine + "\n"), ec);
        EXPECT_FALSE(ec) << ec.message();
    }

    std::string Read(std::chrono::milliseconds aTimeout = std::chrono::milliseconds(5000))
    {
        bool done = false;
        std::error_code result;
        size_t length = 0;
        asio::async_read_until(mSocket, mInput, '\n', [&](const std::error_code& aError, size_t aLength) {
            result = aError;
            length = aLength;
            done = true;
        });
        mIo.restart();
        mIo.run_for(aTimeout);
        if (!done) {
            // Nothing came: the pending read is cancelled and drained; what
            // arrived of a line stays for the next read.
            std::error_code ignored;
            mSocket.cancel(ignored);
            mIo.restart();
            mIo.run();
            if (result == asio::error::operation_aborted) return "<timeout>";
        }
        if (result) return "<closed>";
        std::string line(asio::buffers_begin(mInput.data()), asio::buffers_begin(mInput.data()) + length);
        mInput.consume(length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        return line;
    }

    std::string Query(const std::string& aLine)
    {
        Send(aLine);
        return Read();
    }

    // A query's answer as a number (NaN when it is none).
    double Number(const std::string& aLine)
    {
        const std::string text = Query(aLine);
        try {
            size_t used = 0;
            const double value = std::stod(text, &used);
            return used == text.size() ? value : std::nan("");
        } catch (...) {
            return std::nan("");
        }
    }

    void Close()
    {
        std::error_code ignored;
        mSocket.close(ignored);
    }

private:
    asio::io_context mIo;
    asio::ip::tcp::socket mSocket{mIo};
    asio::streambuf mInput;
};

// A tester on 127.0.0.1 at a free port, served by a thread of its own.
class InProcessTester {
public:
    explicit InProcessTester(const rftester::TesterConfig& aConfig = rftester::TesterConfig()) : mTester(mIo, aConfig)
    {
        std::string error;
        EXPECT_TRUE(mTester.Listen("127.0.0.1", 0, error)) << error;
        mPort = mTester.port();
        mThread = std::thread([this] { mIo.run(); });
    }
    ~InProcessTester()
    {
        // Stop closes the listener and every connection; the context runs
        // their last handlers and then runs out. (Stopping the context at
        // once would leave the connections to be destroyed with it, after
        // the tester, which Windows' sockets do not survive.)
        asio::post(mIo, [this] { mTester.Stop(); });
        mThread.join();
    }
    InProcessTester(const InProcessTester&) = delete;
    InProcessTester& operator=(const InProcessTester&) = delete;

    uint16_t port() const { return mPort; }
    // The transport option that cables a chip to RF port aRfPort.
    std::string Cable(unsigned aRfPort) const
    {
        return "rf=127.0.0.1:" + std::to_string(port()) + "/" + std::to_string(aRfPort);
    }

private:
    asio::io_context mIo;
    rftester::Tester mTester;
    uint16_t mPort = 0;
    std::thread mThread;
};

}  // namespace rftest

#endif
