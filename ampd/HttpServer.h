// HTTP beside SCPI (Boost.Beast on the same io_context, on the connections both share): per
// connection a short chain of asynchronous steps (read a request within its limits, hand it to
// HttpRoutes, write the answer), the event stream, and the close that lets a client read its
// answer first. What is answered is HttpRoutes'; this knows the connection, and nothing of frames.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "ampd/Connections.h"
#include "ampd/HttpRoutes.h"

namespace ampd {

class LineFile;

class HttpServer {
public:
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kMaxBody = 4096;
    static constexpr std::size_t kMaxHeader = 8192;
    // An event stream that falls this far behind is closed: a slow reader costs no memory.
    static constexpr std::size_t kMaxUnsentEvents = 256 * 1024;

    HttpServer(boost::asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
        AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::vector<WebAsset> assets);

    // The port listened on (0 takes any free one), or 0 with the reason.
    int Listen(const std::string& address, int port, std::string& error)
    {
        return m_connections.Listen(address, port, error);
    }
    void Stop() { m_connections.Stop(); }
    // Sends an event to every open event stream (on the network's thread).
    void Publish(const std::string& event, const std::string& data);

    class Session;

private:
    const HttpRoutes m_routes;
    Connections m_connections;  // last: its connections use the routes until they are closed
};

}  // namespace ampd
