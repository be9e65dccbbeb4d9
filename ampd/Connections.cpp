#include "ampd/Connections.h"

#include "ampd/Records.h"

namespace ampd {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

Connection::Connection(Connections& owner, const tcp::socket& socket, std::uint64_t id, std::size_t maxUnsent)
    : m_owner(owner), m_id(id), m_maxUnsent(maxUnsent), m_timer(owner.m_io)
{
    error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    m_peer = peer.address();
    m_address = ec
        ? "?"
        : (m_peer.is_v6() ? "[" + m_peer.to_string() + "]" : m_peer.to_string()) + ":" + std::to_string(peer.port());
}

void Connection::Close()
{
    if (m_closed)
        return;
    m_closed = true;
    error_code ec;
    m_timer.cancel();
    Socket().shutdown(tcp::socket::shutdown_both, ec);
    Socket().close(ec);
    m_owner.Forget(this);
}

void Connection::Write(std::string text)
{
    if (m_closed)
        return;
    m_unsent += text.size();
    if (m_unsent > m_maxUnsent) {
        Close();
        return;
    }
    m_out.push_back(std::move(text));
    if (m_out.size() == 1 && !m_held)
        WriteNext();
}

void Connection::Refuse(std::string text)
{
    Write(std::move(text));
    CloseWhenSent();
}

void Connection::CloseWhenSent()
{
    m_closeWhenSent = true;
    if (m_out.empty())
        Close();
}

void Connection::Release()
{
    m_held = false;
    if (!m_out.empty())
        WriteNext();
}

void Connection::WriteOut(const std::string& text, Completion done)
{
    asio::async_write(
        Socket(), asio::buffer(text), [done = std::move(done)](const error_code& ec, std::size_t) { done(ec); });
}

void Connection::WriteNext()
{
    WriteOut(m_out.front(), [self = shared_from_this()](const error_code& ec) {
        if (ec || self->m_closed) {
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

void Connection::Later(int delayMs, std::function<void()> work)
{
    m_timer.expires_after(std::chrono::milliseconds(delayMs));
    m_timer.async_wait([self = shared_from_this(), work = std::move(work)](const error_code& ec) {
        if (!ec && !self->m_closed)
            work();
    });
}

std::function<void(std::function<void()>)> Connection::PostBack()
{
    const std::weak_ptr<Connection> weak = weak_from_this();
    asio::io_context& io = m_owner.m_io;
    return [weak, &io](std::function<void()> work) {
        asio::post(io, [weak, work = std::move(work)] {
            if (const std::shared_ptr<Connection> self = weak.lock())
                if (!self->m_closed)
                    work();
        });
    };
}

void Connection::Audit(const std::string& command, const std::string& outcome)
{
    m_owner.m_audit.Write(AuditLine(m_owner.m_amp.Now(), m_address, command, outcome));
}

Connections::Connections(asio::io_context& io, const Amplifier& amp, LineFile& audit, Metrics& metrics, Limits limits,
    std::uint64_t firstId, Make make)
    : m_io(io), m_amp(amp), m_audit(audit), m_metrics(metrics), m_limits(std::move(limits)), m_make(std::move(make)),
      m_nextId(firstId)
{
}

Connections::~Connections()
{
    Stop();
}

int Connections::Listen(const std::string& address, int port, std::string& error)
{
    error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        error = address + ": " + ec.message();
        return 0;
    }
    auto acceptor = std::make_unique<tcp::acceptor>(m_io);
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
        return 0;
    }
    const unsigned short bound = acceptor->local_endpoint(ec).port();
    m_acceptors.push_back(std::move(acceptor));
    Accept(*m_acceptors.back());
    return bound;
}

void Connections::Accept(tcp::acceptor& acceptor)
{
    acceptor.async_accept([this, &acceptor](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec)
            Admit(std::move(socket));
        Accept(acceptor);
    });
}

void Connections::Admit(tcp::socket socket)
{
    error_code ec;
    const asio::ip::address peer = socket.remote_endpoint(ec).address();
    const std::string* refusal = nullptr;
    if (m_members.size() >= m_limits.total)
        refusal = &m_limits.tooMany;
    else if (m_limits.perAddress > 0 && From(peer) >= m_limits.perAddress)
        refusal = &m_limits.tooManyFromOne;
    if (refusal && refusal->empty())
        return;  // let go unanswered: the socket closes here
    const std::shared_ptr<Connection> connection = m_make(std::move(socket), m_nextId++);
    m_members.insert(connection);
    ++m_metrics.clientsTotal;
    ++m_metrics.clientsConnected;
    if (refusal)
        connection->Refuse(*refusal);
    else
        connection->Start();
}

void Connections::Forget(Connection* connection)
{
    for (auto it = m_members.begin(); it != m_members.end(); ++it) {
        if (it->get() == connection) {
            m_members.erase(it);
            --m_metrics.clientsConnected;
            return;
        }
    }
}

std::size_t Connections::From(const asio::ip::address& address) const
{
    std::size_t n = 0;
    for (const auto& connection : m_members)
        n += connection->Peer() == address ? 1 : 0;
    return n;
}

void Connections::ForEach(const std::function<void(Connection&)>& each) const
{
    // A copy: what is done to one may close it.
    const auto members = m_members;
    for (const auto& connection : members)
        each(*connection);
}

void Connections::Stop()
{
    for (auto& acceptor : m_acceptors) {
        error_code ec;
        acceptor->close(ec);
    }
    m_acceptors.clear();
    ForEach([](Connection& connection) { connection.Close(); });
}

}  // namespace ampd
