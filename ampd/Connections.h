// The part of ampd's network both servers share, as Asio's own examples build a server: an acceptor
// per listening address, each accepted socket made a connection of the server's own kind unless a
// limit says no, and per connection a close that happens once, a timer, the audit and a bounded
// queue of outgoing text. What a connection reads, and what it makes of it, is its server's.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ampd/Amplifier.h"
#include "ampd/Metrics.h"

namespace ampd {

class Connections;
class LineFile;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    using tcp = boost::asio::ip::tcp;
    using Completion = std::function<void(const boost::system::error_code&)>;

    // The peer is read from the socket before the server's side takes it over.
    Connection(Connections& owner, const tcp::socket& socket, std::uint64_t id, std::size_t maxUnsent);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    virtual ~Connection() = default;

    virtual void Start() = 0;
    // Once: the timer stopped, the socket shut and closed, the connection out of its set (its
    // pending handlers hold it until they have run).
    void Close();
    bool Closed() const { return m_closed; }
    // Closed, or to be closed once what is queued is out.
    bool Ending() const { return m_closed || m_closeWhenSent; }

    const boost::asio::ip::address& Peer() const { return m_peer; }
    const std::string& Address() const { return m_address; }  // "127.0.0.1:40312", "[::1]:40312"
    std::uint64_t Id() const { return m_id; }

    // Queues text to go out in order. A client with more than the limit unsent is closed: one that
    // does not read costs the server no memory.
    void Write(std::string text);
    // What is queued goes out, then the connection closes: the client is told why.
    void Refuse(std::string text);
    void CloseWhenSent();
    // Nothing queued goes out until Release (an HTTP response's head goes first).
    void Hold() { m_held = true; }
    void Release();

    // Work on the connection's timer, one at a time; dropped once it has closed.
    void Later(int delayMs, std::function<void()> work);
    // Runs work on the network's thread, callable from any thread; dropped once it has closed.
    std::function<void(std::function<void()>)> PostBack();
    void Audit(const std::string& command, const std::string& outcome);

protected:
    virtual tcp::socket& Socket() = 0;
    // How one queued text goes on the wire: as it is, unless the server frames it.
    virtual void WriteOut(const std::string& text, Completion done);

private:
    void WriteNext();

    Connections& m_owner;
    const std::uint64_t m_id;
    const std::size_t m_maxUnsent;
    boost::asio::ip::address m_peer;
    std::string m_address;
    boost::asio::steady_timer m_timer;
    std::deque<std::string> m_out;
    std::size_t m_unsent = 0;
    bool m_closed = false;
    bool m_closeWhenSent = false;
    bool m_held = false;
};

// Every connection of one server, on one io_context.
class Connections {
public:
    using tcp = boost::asio::ip::tcp;
    using Make = std::function<std::shared_ptr<Connection>(tcp::socket socket, std::uint64_t id)>;

    struct Limits {
        std::size_t total = 0;
        std::size_t perAddress = 0;  // 0: none of its own, one host may take every place
        // What a client over a limit is told, as it goes on the wire, before it is let go; empty:
        // it is let go unanswered and uncounted.
        std::string tooMany;
        std::string tooManyFromOne;
    };

    Connections(boost::asio::io_context& io, const Amplifier& amp, LineFile& audit, Metrics& metrics, Limits limits,
        std::uint64_t firstId, Make make);
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;
    ~Connections();

    // The port listened on (port 0 takes any free one; an IPv6 address alone, without its IPv4
    // twin), or 0 with the reason when the address cannot be listened on.
    int Listen(const std::string& address, int port, std::string& error);
    void Stop();
    std::size_t Size() const { return m_members.size(); }
    void ForEach(const std::function<void(Connection&)>& each) const;

private:
    friend class Connection;

    void Accept(tcp::acceptor& acceptor);
    void Admit(tcp::socket socket);
    void Forget(Connection* connection);
    std::size_t From(const boost::asio::ip::address& address) const;

    boost::asio::io_context& m_io;
    const Amplifier& m_amp;
    LineFile& m_audit;
    Metrics& m_metrics;
    const Limits m_limits;
    const Make m_make;
    std::vector<std::unique_ptr<tcp::acceptor>> m_acceptors;
    std::set<std::shared_ptr<Connection>> m_members;
    std::uint64_t m_nextId;
};

}  // namespace ampd
