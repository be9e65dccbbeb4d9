#include "ampd/ScpiServer.h"

namespace ampd {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// One client: lines in, each handed to its ScpiClient, answers out through the connection's
// bounded queue.
class ScpiServer::Session : public Connection, public ClientHost {
public:
    Session(tcp::socket socket, ScpiServer& server, std::uint64_t id)
        : Connection(server.m_connections, socket, id, kMaxUnsent), m_socket(std::move(socket)), m_server(server)
    {
    }

    void Start() override
    {
        m_client = std::make_unique<ScpiClient>(Id(), Address(), m_server.m_amp, m_server.m_queue, m_server.m_access,
            m_server.m_throttle, *this, PostBack(), m_server.m_version);
        ReadLine();
    }

    void Send(const std::string& line) override { Write(line + "\n"); }
    void After(int delayMs, std::function<void()> work) override { Later(delayMs, std::move(work)); }
    void Audit(const std::string& command, const std::string& outcome) override { Connection::Audit(command, outcome); }

private:
    tcp::socket& Socket() override { return m_socket; }

    void ReadLine()
    {
        asio::async_read_until(m_socket, asio::dynamic_buffer(m_in, kMaxLine + 2), '\n',
            [self = shared_from_this(), this](const error_code& ec, std::size_t n) { OnLine(ec, n); });
    }

    void OnLine(const error_code& ec, std::size_t n)
    {
        if (Closed())
            return;
        if (ec == asio::error::not_found) {
            Refuse("-223,\"Too much data;line longer than 4096 bytes\"\n");
            return;
        }
        if (ec) {
            Close();  // the client went away (or reset): its settings already queued still go
            return;
        }
        std::string line = m_in.substr(0, n - 1);
        m_in.erase(0, n);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m_client->Line(line);
        if (!Ending())
            ReadLine();
    }

    tcp::socket m_socket;
    ScpiServer& m_server;
    // Bytes received and not yet taken as lines. A string, not an asio::streambuf: a stream buffer
    // brings the C++ library's locales, every facet, into a static ampd.exe (over half its size).
    std::string m_in;
    std::unique_ptr<ScpiClient> m_client;
};

ScpiServer::ScpiServer(asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
    AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::string version)
    : m_amp(amp), m_queue(queue), m_access(access), m_throttle(throttle), m_version(std::move(version)),
      m_connections(io, amp, audit, metrics,
          {kMaxClients, kMaxClientsPerAddress, "+240,\"Too many clients;at most 128\"\n",
              "+240,\"Too many clients;at most 32 from one address\"\n"},
          1, [this](tcp::socket socket, std::uint64_t id) {
              return std::make_shared<Session>(std::move(socket), *this, id);
          })
{
}

}  // namespace ampd
