// The chip's end of the cable to the simulated RF tester (see rflink.h).
#include "rflink.h"

#include <asio.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace devsim {

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(3);
constexpr auto kReplyTimeout = std::chrono::seconds(5);

using asio::ip::tcp;

}  // namespace

struct RfLink::Impl {
    explicit Impl(GeneratorHandler aOnGenerator) : onGenerator(std::move(aOnGenerator)) {}

    // Runs the context until aDone is set or the time is up; what is still
    // pending then is cancelled and drained, so no handler outlives the
    // caller's variables. False on time-out.
    bool RunUntil(const bool& aDone, std::chrono::steady_clock::duration aTimeout)
    {
        const auto until = std::chrono::steady_clock::now() + aTimeout;
        // run_one_until gives 0 when the time is up or nothing is left to run.
        while (!aDone && io.run_one_until(until) != 0) {
        }
        if (!aDone) {
            std::error_code ignored;
            resolver.cancel();
            socket.close(ignored);
            io.restart();
            io.run();
        }
        io.restart();
        return aDone;
    }

    // Takes one line out of the input buffer (without its newline).
    std::string TakeLine(size_t aLength)
    {
        std::string line(asio::buffers_begin(input.data()), asio::buffers_begin(input.data()) + aLength);
        input.consume(aLength);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        return line;
    }

    // The link's thread: blocking reads until the cable goes. Blocking
    // reads and writes on one socket may run on two threads at once; the
    // host's thread writes its EMIT lines itself, so an acknowledgement
    // costs one wake-up less than a hand-over to this thread would.
    void ReadLoop()
    {
        for (;;) {
            std::error_code error;
            const size_t length = asio::read_until(socket, input, '\n', error);
            if (error) break;
            const std::vector<std::string> words = rflinkwire::Words(TakeLine(length));
            uint64_t seq = 0, unused = 0;
            rflinkwire::GeneratorRun run;
            if (rflinkwire::ParseReply(words, "ACK", seq, unused)) {
                std::lock_guard<std::mutex> lock(mutex);
                if (seq > acked) acked = seq;
                changed.notify_all();
            } else if (!rflinkwire::ParseGen(words, run) ||
                       !Send(rflinkwire::ReceivedLine(run.seq, onGenerator(run)))) {
                // Not the tester's protocol, or the answer did not go out: the
                // cable is unplugged rather than guessing what was meant.
                break;
            }
        }
        Down();
    }

    // Writes one line whole; false (and the link down) when it failed.
    bool Send(const std::string& aLine)
    {
        std::error_code error;
        {
            std::lock_guard<std::mutex> lock(writing);
            asio::write(socket, asio::buffer(aLine), error);
        }
        if (error) Down();
        return !error;
    }

    void Down()
    {
        std::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        std::lock_guard<std::mutex> lock(mutex);
        down = true;
        changed.notify_all();
    }

    GeneratorHandler onGenerator;
    asio::io_context io;
    tcp::resolver resolver{io};
    tcp::socket socket{io};
    asio::streambuf input{rflinkwire::kMaxLine};
    std::mutex writing;  // one line at a time from either thread
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable changed;
    uint64_t nextSeq = 1;
    uint64_t acked = 0;
    bool down = true;
};

RfLink::RfLink(GeneratorHandler aOnGenerator) : mImpl(new Impl(std::move(aOnGenerator))) {}

RfLink::~RfLink()
{
    Impl& d = *mImpl;
    if (d.thread.joinable()) {
        // The blocking read ends when the socket is shut down.
        std::error_code ignored;
        d.socket.shutdown(tcp::socket::shutdown_both, ignored);
        d.thread.join();
    }
}

bool RfLink::Connect(const std::string& aHost, uint16_t aPort, uint32_t aRfPort, std::string& aError)
{
    Impl& d = *mImpl;
    const std::string where = "the RF tester at " + aHost + ":" + std::to_string(aPort);

    bool done = false;
    std::error_code result;
    d.resolver.async_resolve(aHost, std::to_string(aPort),
                             [&](const std::error_code& aResolved, const tcp::resolver::results_type& aEndpoints) {
                                 if (aResolved) {
                                     result = aResolved;
                                     done = true;
                                     return;
                                 }
                                 asio::async_connect(d.socket, aEndpoints,
                                                     [&](const std::error_code& aConnected, const tcp::endpoint&) {
                                                         result = aConnected;
                                                         done = true;
                                                     });
                             });
    if (!d.RunUntil(done, kConnectTimeout)) {
        aError = "cannot reach " + where + " (no answer within 3 s)";
        return false;
    }
    if (result) {
        aError = "cannot reach " + where + " (" + result.message() + ")";
        return false;
    }
    std::error_code ignored;
    d.socket.set_option(tcp::no_delay(true), ignored);

    // The hello, and the tester's answer to it.
    const std::string hello = rflinkwire::HelloLine(aRfPort);
    done = false;
    std::string answer;
    asio::async_write(d.socket, asio::buffer(hello), [&](const std::error_code& aWritten, size_t) {
        if (aWritten) {
            result = aWritten;
            done = true;
            return;
        }
        asio::async_read_until(d.socket, d.input, '\n', [&](const std::error_code& aRead, size_t aLength) {
            result = aRead;
            if (!aRead) answer = d.TakeLine(aLength);
            done = true;
        });
    });
    if (!d.RunUntil(done, kConnectTimeout)) {
        aError = where + " did not answer the RF port request within 3 s";
        return false;
    }
    if (result) {
        aError = where + " closed the link (" + result.message() + ")";
        return false;
    }
    const std::vector<std::string> words = rflinkwire::Words(answer);
    if (words.empty() || words[0] != "OK") {
        const std::string reason = words.size() > 1 && words[0] == "ERR" ? answer.substr(4) : "\"" + answer + "\"";
        aError = where + " refused RF port " + std::to_string(aRfPort) + ": " + reason;
        d.socket.close(ignored);
        return false;
    }

    d.down = false;
    d.thread = std::thread([&d] { d.ReadLoop(); });
    return true;
}

bool RfLink::Emit(const rflinkwire::Emission& aEmission)
{
    Impl& d = *mImpl;
    uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.down) return false;
        seq = d.nextSeq++;
    }
    if (!d.Send(rflinkwire::EmitLine(seq, aEmission))) return false;
    std::unique_lock<std::mutex> lock(d.mutex);
    d.changed.wait_for(lock, kReplyTimeout, [&] { return d.down || d.acked >= seq; });
    return d.acked >= seq;
}

bool RfLink::up() const
{
    std::lock_guard<std::mutex> lock(mImpl->mutex);
    return !mImpl->down;
}

}  // namespace devsim
