#include "ampd/ScpiServer.h"

#include <deque>

#include "ampd/Listener.h"
#include "ampd/Records.h"

namespace ampd {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

class ScpiServer::Connection : public std::enable_shared_from_this<Connection>, public ClientHost {
public:
    Connection(tcp::socket socket, ScpiServer& server, std::uint64_t id)
        : m_socket(std::move(socket)), m_server(server), m_id(id), m_timer(server.m_io)
    {
        error_code ec;
        const tcp::endpoint peer = m_socket.remote_endpoint(ec);
        m_peer = peer.address();
        m_address = ec ? "?"
                       : (peer.address().is_v6() ? "[" + peer.address().to_string() + "]" : peer.address().to_string())
                + ":" + std::to_string(peer.port());
    }

    void Start()
    {
        const std::weak_ptr<Connection> weak = weak_from_this();
        asio::io_context& io = m_server.m_io;
        Poster post = [weak, &io](std::function<void()> work) {
            asio::post(io, [weak, work = std::move(work)] {
                if (const std::shared_ptr<Connection> self = weak.lock())
                    if (!self->m_closing)
                        work();
            });
        };
        m_client = std::make_unique<ScpiClient>(m_id, m_address, m_server.m_amp, m_server.m_queue, m_server.m_access,
            m_server.m_throttle, *this, std::move(post), m_server.m_version);
        ReadLine();
    }

    // One error line, then the connection closes.
    void Refuse(const std::string& line)
    {
        Send(line);
        m_closeWhenSent = true;
    }

    void Close()
    {
        if (m_closing)
            return;
        m_closing = true;
        error_code ec;
        m_timer.cancel();
        m_socket.shutdown(tcp::socket::shutdown_both, ec);
        m_socket.close(ec);
        m_server.Forget(this);
    }

    void Send(const std::string& line) override
    {
        if (m_closing)
            return;
        m_unsent += line.size() + 1;
        if (m_unsent > kMaxUnsent) {
            Close();
            return;
        }
        m_out.push_back(line + "\n");
        if (m_out.size() == 1)
            WriteNext();
    }

    void After(int delayMs, std::function<void()> work) override
    {
        m_timer.expires_after(std::chrono::milliseconds(delayMs));
        m_timer.async_wait([self = shared_from_this(), work = std::move(work)](const error_code& ec) {
            if (!ec && !self->m_closing)
                work();
        });
    }

    void Audit(const std::string& command, const std::string& outcome) override
    {
        m_server.m_audit.Write(AuditLine(m_server.m_amp.Now(), m_address, command, outcome));
    }

private:
    void ReadLine()
    {
        asio::async_read_until(m_socket, asio::dynamic_buffer(m_in, kMaxLine + 2), '\n',
            [self = shared_from_this()](const error_code& ec, std::size_t n) { self->OnLine(ec, n); });
    }

    void OnLine(const error_code& ec, std::size_t n)
    {
        if (m_closing)
            return;
        if (ec == asio::error::not_found) {
            Refuse("-223,\"Too much data;line longer than 4096 bytes\"");
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
        if (!m_closeWhenSent)
            ReadLine();
    }

    void WriteNext()
    {
        asio::async_write(
            m_socket, asio::buffer(m_out.front()), [self = shared_from_this()](const error_code& ec, std::size_t) {
                if (ec || self->m_closing) {
                    self->Close();
                    return;
                }
                self->m_unsent -= self->m_out.front().size();
                self->m_out.pop_front();
                if (!self->m_out.empty())
                    self->WriteNext();
                else if (self->m_closeWhenSent)
                    self->Close();
            });
    }

public:
    boost::asio::ip::address Peer() const { return m_peer; }

private:
    tcp::socket m_socket;
    asio::ip::address m_peer;
    ScpiServer& m_server;
    const std::uint64_t m_id;
    std::string m_address;
    // Bytes received and not yet taken as lines. A string, not an asio::streambuf: a stream buffer
    // brings the C++ library's locales, every facet, into a static ampd.exe (over half its size).
    std::string m_in;
    asio::steady_timer m_timer;
    std::unique_ptr<ScpiClient> m_client;
    std::deque<std::string> m_out;
    std::size_t m_unsent = 0;
    bool m_closing = false;
    bool m_closeWhenSent = false;
};

ScpiServer::ScpiServer(asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
    AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::string version)
    : m_io(io), m_amp(amp), m_queue(queue), m_access(access), m_throttle(throttle), m_audit(audit), m_metrics(metrics),
      m_version(std::move(version))
{
}

ScpiServer::~ScpiServer()
{
    Stop();
}

int ScpiServer::Listen(const std::string& address, int port, std::string& error)
{
    std::unique_ptr<tcp::acceptor> acceptor = OpenListener(m_io, address, port, error);
    if (!acceptor)
        return 0;
    boost::system::error_code ec;
    const unsigned short bound = acceptor->local_endpoint(ec).port();
    m_acceptors.push_back(std::move(acceptor));
    Accept(*m_acceptors.back());
    return bound;
}

void ScpiServer::Accept(tcp::acceptor& acceptor)
{
    acceptor.async_accept([this, &acceptor](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec) {
            auto connection = std::make_shared<Connection>(std::move(socket), *this, m_nextId++);
            const bool room = m_connections.size() < kMaxClients;
            const bool roomForIt = ClientsFrom(connection->Peer()) < kMaxClientsPerAddress;
            m_connections.insert(connection);
            ++m_metrics.clientsTotal;
            ++m_metrics.clientsConnected;
            if (!room)
                connection->Refuse("+240,\"Too many clients;at most 128\"");
            else if (!roomForIt)
                connection->Refuse("+240,\"Too many clients;at most 32 from one address\"");
            else
                connection->Start();
        }
        Accept(acceptor);
    });
}

void ScpiServer::Forget(Connection* connection)
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == connection) {
            // Its pending handlers hold it until they have run.
            m_connections.erase(it);
            --m_metrics.clientsConnected;
            return;
        }
    }
}

std::size_t ScpiServer::ClientsFrom(const asio::ip::address& address) const
{
    std::size_t n = 0;
    for (const auto& connection : m_connections)
        n += connection->Peer() == address ? 1 : 0;
    return n;
}

void ScpiServer::Stop()
{
    for (auto& acceptor : m_acceptors) {
        error_code ec;
        acceptor->close(ec);
    }
    m_acceptors.clear();
    const auto connections = m_connections;
    for (const auto& connection : connections)
        connection->Close();
}

}  // namespace ampd
