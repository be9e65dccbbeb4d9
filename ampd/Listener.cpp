#include "ampd/Listener.h"

namespace ampd {

std::unique_ptr<boost::asio::ip::tcp::acceptor> OpenListener(
    boost::asio::io_context& io, const std::string& address, int port, std::string& error)
{
    namespace asio = boost::asio;
    using tcp = asio::ip::tcp;
    boost::system::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        error = address + ": " + ec.message();
        return nullptr;
    }
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    acceptor->open(endpoint.protocol(), ec);
    if (!ec)
        acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec && ip.is_v6())
        acceptor->set_option(asio::ip::v6_only(true), ec);
    if (!ec)
        acceptor->bind(endpoint, ec);
    if (!ec)
        acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = (ip.is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(port) + ": " + ec.message();
        return nullptr;
    }
    return acceptor;
}

}  // namespace ampd
