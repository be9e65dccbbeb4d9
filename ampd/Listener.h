// An acceptor listening on one address, as both of ampd's servers open theirs.
#pragma once

#include <boost/asio.hpp>

#include <memory>
#include <string>

namespace ampd {

// Listens on address:port (port 0 takes any free one; an IPv6 address alone, without its IPv4
// twin). Null, with the reason, when it cannot.
std::unique_ptr<boost::asio::ip::tcp::acceptor> OpenListener(
    boost::asio::io_context& io, const std::string& address, int port, std::string& error);

}  // namespace ampd
