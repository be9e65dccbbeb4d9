#include "sim/ControlServer.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "port/FdIo.h"

namespace sim {

ControlServer::~ControlServer()
{
    for (const Client& c : m_clients)
        CloseClient(c);
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(m_socketPath.c_str());
    }
}

namespace {

// Empty when nothing listens on the socket at addr (a connection is refused, or the socket went
// meanwhile): it is stale. Otherwise why it must be left alone.
std::string WhyInUse(const sockaddr_un& addr)
{
    const std::string path = addr.sun_path;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return "cannot tell whether control socket " + path + " is in use: " + std::strerror(errno);
    const bool connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    const int error = errno;
    ::close(probe);
    // A full backlog (EAGAIN) means a listener as well.
    if (connected || error == EAGAIN)
        return "control socket " + path + " is in use: another program is listening on it";
    if (error == ECONNREFUSED || error == ENOENT)
        return {};
    return "cannot tell whether control socket " + path + " is in use: " + std::strerror(error);
}

}  // namespace

bool ControlServer::Listen(const std::string& path, std::string& error)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long: " + path;
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // A socket nobody listens on is left by an earlier run and replaced; a live one is another
    // simulator's, and any other file is not ours to remove.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        error = WhyInUse(addr);
        if (!error.empty())
            return false;
        ::unlink(path.c_str());
    }
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        error = std::string("cannot create the control socket: ") + std::strerror(errno);
        return false;
    }
    if (::bind(m_listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0
        || ::listen(m_listener, 4) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_socketPath = path;
    return true;
}

void ControlServer::WatchStdin()
{
    m_clients.push_back({STDIN_FILENO, STDOUT_FILENO, {}, false});
}

void ControlServer::AddPollFds(std::vector<pollfd>& fds)
{
    m_firstFd = fds.size();
    fds.push_back({m_listener, static_cast<short>(m_listener >= 0 ? POLLIN : 0), 0});
    for (const Client& c : m_clients)
        fds.push_back({c.in, POLLIN, 0});
}

void ControlServer::Service(const std::vector<pollfd>& fds, const Handler& handler)
{
    // Clients accepted now are polled from the next round on.
    const std::size_t polled = fds.size() - m_firstFd - 1;
    std::vector<Client> kept;
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        const bool ready = i < polled && (fds[m_firstFd + 1 + i].revents & (POLLIN | POLLHUP | POLLERR));
        if (!ready || ReadFrom(m_clients[i], handler))
            kept.push_back(m_clients[i]);
        else
            CloseClient(m_clients[i]);
    }
    m_clients.swap(kept);
    if (fds[m_firstFd].revents & POLLIN)
        Accept();
}

void ControlServer::Accept()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        m_clients.push_back({fd, fd, {}, false});
    }
}

bool ControlServer::ReadFrom(Client& client, const Handler& handler)
{
    char buf[512];
    const ssize_t n = ::read(client.in, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        // A last line without its newline is still a command; the client may be reading yet.
        if (!client.pending.empty() && !client.discarding) {
            client.pending += '\n';
            TakeLines(client, handler);
        }
        return false;
    }
    client.pending.append(buf, static_cast<std::size_t>(n));
    return TakeLines(client, handler);
}

bool ControlServer::TakeLines(Client& client, const Handler& handler)
{
    static const std::string kTooLong = "error: line too long\n";
    std::size_t eol;
    while ((eol = client.pending.find('\n')) != std::string::npos) {
        std::string line = client.pending.substr(0, eol);
        client.pending.erase(0, eol + 1);
        if (client.discarding) {
            // The end of a line answered already: none of it is a command.
            client.discarding = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string reply = line.size() > kMaxLine ? kTooLong : handler(line) + "\n";
        if (!port::WriteAll(client.out, reply))
            return false;
    }
    if (client.discarding) {
        client.pending.clear();
    } else if (client.pending.size() > kMaxLine) {
        // One error for the line; the rest of it, up to its newline, is dropped unread.
        client.pending.clear();
        client.discarding = true;
        return port::WriteAll(client.out, kTooLong);
    }
    return true;
}

void ControlServer::CloseClient(const Client& client)
{
    // Standard input stays open for the process; only sockets are ours to close.
    if (client.in != STDIN_FILENO)
        ::close(client.in);
    else
        m_inputEnded = true;
}

}  // namespace sim
