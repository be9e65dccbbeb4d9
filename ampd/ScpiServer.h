// SCPI over TCP: the connections ampd shares with HTTP (Connections), and per connection one short
// chain of asynchronous steps (read a line, hand it to the client's ScpiClient, write its answers),
// a limit and a clear error beside every read from outside. It knows nothing of frames.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <string>

#include "ampd/Connections.h"
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

    // The port listened on (port 0 takes any free one), or 0 with the reason when the address
    // cannot be listened on.
    int Listen(const std::string& address, int port, std::string& error)
    {
        return m_connections.Listen(address, port, error);
    }
    void Stop() { m_connections.Stop(); }
    std::size_t Clients() const { return m_connections.Size(); }

    class Session;

private:
    Amplifier& m_amp;
    SettingQueue& m_queue;
    const Access& m_access;
    AuthThrottle& m_throttle;
    const std::string m_version;
    Connections m_connections;  // last: its connections use the rest until they are closed
};

}  // namespace ampd
