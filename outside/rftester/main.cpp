// rftester: the simulated RF tester as a program.
//
//   rftester [--listen HOST:PORT] [--ports N] [--seed N] [--measure-ms MS]
//            [--packet-us US] [--idn TEXT] [--ready-file FILE]
//            [--fail-on HEADER]... [--drop-on HEADER]...
//
// Once it listens it prints "rftester: listening on HOST:PORT with N RF
// ports" (the bound port, so --listen 127.0.0.1:0 takes any free one) and,
// with --ready-file, writes "HOST:PORT" to that file. It runs until SIGINT
// or SIGTERM.
#include "tester.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace {

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

}  // namespace

int main(int argc, char** argv)
{
    rftester::TesterConfig config;
    std::string listen = "127.0.0.1:5025";
    std::string readyFile;
    std::vector<std::string> failOn, dropOn;

    CLI::App app{"Simulated RF tester: SCPI over TCP, RF ports cabled to simulated chips"};
    app.add_option("--listen", listen, "address to serve, HOST:PORT (port 0: any free port)")->capture_default_str();
    app.add_option("--ports", config.ports, "number of RF ports")->check(CLI::Range(1u, 64u))->capture_default_str();
    app.add_option("--seed", config.seed, "seed of the measurement noise")->capture_default_str();
    app.add_option("--measure-ms", config.measureMs, "time one READ takes, ms")
        ->check(CLI::Range(0u, 10000u))
        ->capture_default_str();
    app.add_option("--packet-us", config.packetUs, "time the generator takes per packet, us")
        ->check(CLI::Range(0u, 100000u))
        ->capture_default_str();
    app.add_option("--idn", config.identity, "the *IDN? answer")->capture_default_str();
    app.add_option("--ready-file", readyFile, "file to write HOST:PORT to once listening");
    app.add_option("--fail-on", failOn, "test fault: this command (e.g. INIT:GEN) fails with an execution error");
    app.add_option("--drop-on", dropOn, "test fault: this command (e.g. READ:POW?) closes the client's connection");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    config.failOn.insert(failOn.begin(), failOn.end());
    config.dropOn.insert(dropOn.begin(), dropOn.end());

    std::string host;
    uint16_t port = 0;
    if (!rftester::ParseAddress(listen, host, port)) {
        std::cerr << "rftester: --listen takes HOST:PORT, not \"" << listen << "\"\n";
        return 2;
    }

    asio::io_context io;
    rftester::Tester tester(io, config);
    std::string error;
    if (!tester.Listen(host, port, error)) {
        std::cerr << "rftester: " << error << "\n";
        return 1;
    }
    const std::string address =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(tester.port());
    if (!readyFile.empty() && !WriteReadyFile(readyFile, address)) {
        std::cerr << "rftester: cannot write " << readyFile << "\n";
        return 1;
    }
    std::cout << "rftester: listening on " << address << " with " << config.ports << " RF ports" << std::endl;

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code& aError, int) {
        if (aError) return;
        tester.Stop();
    });
    io.run();
    return 0;
}
