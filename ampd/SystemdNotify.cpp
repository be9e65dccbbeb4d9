#include "ampd/SystemdNotify.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ampd {

namespace {

// A decimal number as systemd writes one; anything else (signs, blanks, overflow) is none.
std::optional<std::uint64_t> Decimal(const char* text)
{
    if (!text || !*text)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(*c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// A path (with room for its terminating zero) or an abstract name that fits sun_path.
bool UsableSocket(const std::string& socket)
{
    constexpr std::size_t kRoom = sizeof(sockaddr_un::sun_path);
    if (socket.size() < 2)
        return false;
    if (socket[0] == '/')
        return socket.size() < kRoom && socket.find('\0') == std::string::npos;
    return socket[0] == '@' && socket.size() <= kRoom;
}

}  // namespace

SystemdNotify::SystemdNotify(const char* socket, const char* watchdogUsec, const char* watchdogPid, pid_t self)
{
    if (socket && UsableSocket(socket))
        m_socket = socket;
    if (m_socket.empty())
        return;
    // As sd_watchdog_enabled: a timeout of 0 or "infinity" (all ones) is none, and a WATCHDOG_PID
    // that is set must name this process (a child that inherited the environment has no watchdog).
    const std::optional<std::uint64_t> usec = Decimal(watchdogUsec);
    if (!usec || *usec == 0 || *usec == std::numeric_limits<std::uint64_t>::max())
        return;
    if (watchdogPid) {
        const std::optional<std::uint64_t> pid = Decimal(watchdogPid);
        if (!pid || *pid == 0 || *pid != static_cast<std::uint64_t>(self))
            return;
    }
    // Half the timeout, as systemd advises; never 0, which would spin the timer.
    const std::uint64_t half = *usec / 2 > 0 ? *usec / 2 : 1;
    if (half > static_cast<std::uint64_t>(std::numeric_limits<std::chrono::microseconds::rep>::max()))
        return;
    m_watchdog = std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(half));
}

SystemdNotify SystemdNotify::FromEnvironment()
{
    return SystemdNotify(
        std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), getpid());
}

bool SystemdNotify::Ready()
{
    return Send("READY=1");
}

bool SystemdNotify::Status(const std::string& text)
{
    // One assignment a line: a line end inside would start another.
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\0')
            c = ' ';
    return Send("STATUS=" + line);
}

bool SystemdNotify::Watchdog()
{
    return Send("WATCHDOG=1");
}

bool SystemdNotify::Stopping()
{
    return Send("STOPPING=1");
}

bool SystemdNotify::Reloading(std::chrono::microseconds monotonicNow)
{
    return Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonicNow.count()));
}

std::chrono::microseconds SystemdNotify::MonotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::microseconds(now.tv_nsec / 1000);
}

bool SystemdNotify::Send(const std::string& message) const
{
    if (m_socket.empty())
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_socket.data(), m_socket.size());
    // An abstract name is the bytes after its leading zero, no terminator; a path counts its zero.
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_socket.size());
    if (m_socket[0] == '@')
        address.sun_path[0] = '\0';
    else
        ++length;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Never waits: the line's thread tells its news too, and must not stall on the service manager.
    const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
        reinterpret_cast<const sockaddr*>(&address), length);
    close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

}  // namespace ampd
