#include "web/listen_probe.h"

#include <asio.hpp>

namespace station::web {

std::string ListenFailure(const std::string& aHost, uint16_t aPort)
{
    asio::io_context io;
    asio::error_code ec;
    asio::ip::tcp::resolver resolver(io);
    const auto endpoints = resolver.resolve(aHost, std::to_string(aPort), asio::ip::resolver_base::passive, ec);
    if (ec) return ec.message();
    if (endpoints.empty()) return "the host has no address";
    // The server binds the first address the name has; so does this probe.
    const auto endpoint = endpoints.begin()->endpoint();
    asio::ip::tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    return ec ? ec.message() : "";
}

}  // namespace station::web
