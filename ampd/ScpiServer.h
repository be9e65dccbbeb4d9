// SCPI over TCP: one acceptor per listening address, one short chain of asynchronous steps per
// connection (read a line, hand it to the client's ScpiClient, write its answers), a limit and a
// clear error beside every read from outside. It knows nothing of frames.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ampd/Metrics.h"
#include "ampd/ScpiClient.h"

namespace ampd {

class LineFile;

class ScpiServer {
public:
    // Clients from one address: one host cannot take every place. The server as a whole takes more,
    // so that a lab's many readers fit.
    static constexpr std::size_t kMaxClientsPerAddress = 32;
    static constexpr std::size_t kMaxClients = 128;
    static constexpr std::size_t kMaxLine = 4096;  // bytes of a line, without its end
    // A client that does not read its answers is let go before it costs the server memory.
    static constexpr std::size_t kMaxUnsent = 256 * 1024;

    ScpiServer(boost::asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
        AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::string version);
    ~ScpiServer();

    // The port listened on (port 0 takes any free one), or 0 with the reason when the address
    // cannot be listened on.
    int Listen(const std::string& address, int port, std::string& error);
    void Stop();
    std::size_t Clients() const { return m_connections.size(); }

    class Connection;

private:
    void Accept(boost::asio::ip::tcp::acceptor& acceptor);
    void Forget(Connection* connection);
    std::size_t ClientsFrom(const boost::asio::ip::address& address) const;

    boost::asio::io_context& m_io;
    Amplifier& m_amp;
    SettingQueue& m_queue;
    const Access& m_access;
    AuthThrottle& m_throttle;
    LineFile& m_audit;
    Metrics& m_metrics;
    const std::string m_version;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> m_acceptors;
    std::set<std::shared_ptr<Connection>> m_connections;
    std::uint64_t m_nextId = 1;
};

}  // namespace ampd
