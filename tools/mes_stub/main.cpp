// mes_stub: a stand-in for the line's MES, for the station's tests and for
// trying the station's MES hand-off by hand.
//
//   mes_stub --listen HOST:PORT [--ready-file FILE] [--log FILE] [--token TOKEN]
//            [--refuse SERIAL]... [--refuse-pattern REGEX]
//            [--unavailable-for N|Ns] [--delay-ms MS] [--down]
//
// It serves the contract of tools/station/mes/mes_contract.h under any base
// path (POST .../units/check, POST .../results) and GET /results, every
// record it kept as JSON. Once it listens it prints "mes_stub: listening on
// HOST:PORT" (the bound port: --listen 127.0.0.1:0 takes any free one) and,
// with --ready-file, writes "HOST:PORT" to that file. It runs until SIGINT or
// SIGTERM. docs/mes.md describes every option.
#include "mes/mes_contract.h"
#include "stub.h"
#include "tester.h"

#include <CLI/CLI.hpp>
#include <asio.hpp>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace {

using json = nlohmann::json;

// The most of a body the log keeps.
constexpr size_t kMaxLoggedBody = 64 * 1024;

// Writes the file whole or not at all: a reader polling for it never sees
// half a line.
bool WriteReadyFile(const std::string& aPath, const std::string& aText)
{
    const std::string temp = aPath + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << aText << "\n";
        if (!out.flush()) return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, aPath, ec);
    return !ec;
}

std::string UtcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &now);
#else
    gmtime_r(&now, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// One JSON line per request received; the Authorization header is never
// written, only whether the request carried the right token.
class RequestLog {
public:
    bool Open(const std::string& aPath)
    {
        if (aPath.empty()) return true;
        mOut.open(aPath, std::ios::binary | std::ios::app);
        return mOut.is_open();
    }
    void Write(const httplib::Request& aRequest, int aStatus, bool aAuthorized)
    {
        if (!mOut.is_open()) return;
        json line = {{"time", UtcNow()},
                     {"method", aRequest.method},
                     {"path", aRequest.path},
                     {"status", aStatus},
                     {"authorized", aAuthorized}};
        if (aRequest.has_header(station::mes::kIdempotencyHeader))
            line["key"] = aRequest.get_header_value(station::mes::kIdempotencyHeader);
        if (!aRequest.body.empty()) {
            json body = json::parse(aRequest.body, nullptr, false);
            line["body"] = body.is_discarded() ? json(aRequest.body.substr(0, kMaxLoggedBody)) : body;
        }
        const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
        std::lock_guard<std::mutex> lock(mMutex);
        mOut << text << '\n';
        mOut.flush();
    }

private:
    std::mutex mMutex;
    std::ofstream mOut;
};

void Reply(httplib::Response& aResponse, const messtub::Answer& aAnswer)
{
    aResponse.status = aAnswer.status;
    if (aAnswer.status == 503) aResponse.set_header("Retry-After", "1");
    aResponse.set_content(aAnswer.body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// --unavailable-for: "N" result posts, or "Ns" seconds from the start.
bool ParseUnavailable(const std::string& aText, messtub::StubConfig& aConfig)
{
    if (aText.empty()) return true;
    const bool seconds = aText.back() == 's';
    const std::string number = seconds ? aText.substr(0, aText.size() - 1) : aText;
    if (number.empty() || number.size() > 9 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned value = static_cast<unsigned>(std::stoul(number));
    if (seconds) aConfig.unavailableTime = std::chrono::seconds(value);
    else aConfig.unavailablePosts = value;
    return true;
}

// --down: takes every connection and closes it at once, as an MES that is
// going down or a proxy without its server does.
int RunDown(asio::io_context& aIo, const std::string& aHost, uint16_t aPort, const std::string& aReadyFile)
{
    asio::error_code ec;
    const auto address = asio::ip::make_address(aHost == "localhost" ? "127.0.0.1" : aHost, ec);
    if (ec) {
        std::cerr << "mes_stub: --listen needs an IP address with --down, not \"" << aHost << "\"\n";
        return 2;
    }
    asio::ip::tcp::acceptor acceptor(aIo);
    const asio::ip::tcp::endpoint endpoint(address, aPort);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        std::cerr << "mes_stub: cannot listen on " << aHost << ":" << aPort << " (" << ec.message() << ")\n";
        return 1;
    }
    asio::signal_set signals(aIo, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& aError, int) {
        if (aError) return;
        asio::error_code ignored;
        acceptor.close(ignored);
    });
    const uint16_t port = acceptor.local_endpoint().port();
    const std::string shown = (aHost.find(':') != std::string::npos ? "[" + aHost + "]" : aHost) + ":" +
                              std::to_string(port);
    if (!aReadyFile.empty() && !WriteReadyFile(aReadyFile, shown)) {
        std::cerr << "mes_stub: cannot write " << aReadyFile << "\n";
        return 1;
    }
    std::cout << "mes_stub: listening on " << shown << " (down: every connection is closed at once)" << std::endl;
    std::function<void()> acceptNext = [&] {
        acceptor.async_accept([&](const asio::error_code& aError, asio::ip::tcp::socket aSocket) {
            if (aError) return;
            asio::error_code ignored;
            aSocket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            aSocket.close(ignored);
            acceptNext();
        });
    };
    acceptNext();
    aIo.run();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string listen = "127.0.0.1:8090", readyFile, logFile, token, refusePattern, unavailable;
    unsigned delayMs = 0;
    bool down = false;
    messtub::StubConfig config;

    CLI::App app{"Stub MES: answers the station's unit checks and keeps the records it posts"};
    app.add_option("--listen", listen, "address to serve, HOST:PORT (port 0: any free port)")->capture_default_str();
    app.add_option("--ready-file", readyFile, "file to write HOST:PORT to once listening");
    app.add_option("--log", logFile, "file to append one JSON line per request received to");
    app.add_option("--token", token, "bearer token every request must carry (401 without it)");
    app.add_option("--refuse", config.refuse, "refuse this serial (may be given more than once)");
    app.add_option("--refuse-pattern", refusePattern, "refuse every serial this regular expression matches whole");
    app.add_option("--unavailable-for", unavailable,
                   "answer 503 to the first N result posts (N), or to every result post for N seconds (Ns)");
    app.add_option("--delay-ms", delayMs, "wait this long before every answer")->check(CLI::Range(0u, 600000u));
    app.add_flag("--down", down, "take every connection and close it at once");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (!ParseUnavailable(unavailable, config)) {
        std::cerr << "mes_stub: --unavailable-for takes a count N or seconds Ns, not \"" << unavailable << "\"\n";
        return 2;
    }
    if (!refusePattern.empty()) {
        try {
            config.refusePattern.emplace(refusePattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            std::cerr << "mes_stub: --refuse-pattern is not a regular expression (" << e.what() << ")\n";
            return 2;
        }
    }
    std::string host;
    uint16_t port = 0;
    if (!rftester::ParseAddress(listen, host, port)) {
        std::cerr << "mes_stub: --listen takes HOST:PORT, not \"" << listen << "\"\n";
        return 2;
    }

    asio::io_context io;
    if (down) return RunDown(io, host, port, readyFile);

    RequestLog log;
    if (!log.Open(logFile)) {
        std::cerr << "mes_stub: cannot open " << logFile << "\n";
        return 1;
    }
    messtub::Stub stub(config);
    httplib::Server server;
    server.set_payload_max_length(4 * 1024 * 1024);
    auto authorized = [&](const httplib::Request& aRequest) {
        return token.empty() || aRequest.get_header_value("Authorization") == "Bearer " + token;
    };
    // --delay-ms waits are cut short when the stub stops.
    std::mutex stopMutex;
    std::condition_variable stopped;
    bool stopping = false;
    // Each request is logged before it is answered: whoever has the answer
    // finds the request in the log.
    auto respond = [&](const httplib::Request& aRequest, httplib::Response& aResponse, const messtub::Answer& aAnswer) {
        log.Write(aRequest, aAnswer.status, authorized(aRequest));
        Reply(aResponse, aAnswer);
    };
    server.set_pre_routing_handler([&](const httplib::Request& aRequest, httplib::Response& aResponse) {
        if (delayMs > 0) {
            std::unique_lock<std::mutex> lock(stopMutex);
            stopped.wait_for(lock, std::chrono::milliseconds(delayMs), [&] { return stopping; });
        }
        if (authorized(aRequest)) return httplib::Server::HandlerResponse::Unhandled;
        respond(aRequest, aResponse, messtub::Answer{401, json{{"error", "missing or wrong token"}}, false});
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Post(R"((/.*)?/units/check)", [&](const httplib::Request& aRequest, httplib::Response& aResponse) {
        respond(aRequest, aResponse, stub.Check(aRequest.body));
    });
    server.Post(R"((/.*)?/results)", [&](const httplib::Request& aRequest, httplib::Response& aResponse) {
        respond(aRequest, aResponse,
                stub.Post(aRequest.get_header_value(station::mes::kIdempotencyHeader), aRequest.body));
    });
    server.Get("/results", [&](const httplib::Request& aRequest, httplib::Response& aResponse) {
        log.Write(aRequest, 200, true);
        aResponse.set_content(stub.Results().dump(2, ' ', false, json::error_handler_t::replace), "application/json");
    });
    // Requests no handler took (the handlers' own error answers have a body).
    server.set_error_handler([&](const httplib::Request& aRequest, httplib::Response& aResponse) {
        if (!aResponse.body.empty()) return;
        log.Write(aRequest, aResponse.status, authorized(aRequest));
        aResponse.set_content(json{{"error", "no such request in the MES contract"}}.dump(), "application/json");
    });

    // The signals are waited for on a thread of their own, which stops the
    // server from there (once it runs: a stop before it runs would be lost).
    std::atomic<bool> listening{true};
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& aError, int) {
        if (aError) return;
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopping = true;
        }
        stopped.notify_all();
        while (listening && !server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.stop();
    });

    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        std::cerr << "mes_stub: cannot listen on " << listen << "\n";
        return 1;
    }
    const std::string shown =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound);
    if (!readyFile.empty() && !WriteReadyFile(readyFile, shown)) {
        std::cerr << "mes_stub: cannot write " << readyFile << "\n";
        return 1;
    }
    std::cout << "mes_stub: listening on " << shown << std::endl;

    std::thread waiter([&] { io.run(); });
    server.listen_after_bind();
    listening = false;
    io.stop();
    waiter.join();
    return 0;
}
