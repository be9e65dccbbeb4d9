// The service manager's side of a Type=notify service (systemd), without libsystemd: each message
// is one datagram to $NOTIFY_SOCKET, read as sd_notify reads it (a path, or an abstract socket
// when it starts with '@'). Without NOTIFY_SOCKET nothing is sent. Linux only.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <sys/types.h>

namespace ampd {

class SystemdNotify {
public:
    // The values of NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID (null when unset), and the
    // process number the watchdog must name to be ours.
    SystemdNotify(const char* socket, const char* watchdogUsec, const char* watchdogPid, pid_t self);
    // From this process's environment.
    static SystemdNotify FromEnvironment();

    // How often to send Watchdog(): half the time systemd waits for one. None when there is no
    // socket, WATCHDOG_USEC is unset, zero or malformed, or WATCHDOG_PID names another process.
    std::optional<std::chrono::microseconds> WatchdogInterval() const { return m_watchdog; }

    // Each sends one datagram and says whether it went; a message that cannot go is dropped, as
    // nothing of the server's depends on it. None of them waits, and any thread may call them.
    bool Ready();
    bool Status(const std::string& text);  // one line: systemctl status shows it
    bool Watchdog();
    bool Stopping();
    // A reload has begun; Ready() says when it is done. systemd pairs the two by the monotonic time.
    bool Reloading(std::chrono::microseconds monotonicNow = MonotonicNow());

    static std::chrono::microseconds MonotonicNow();

private:
    bool Send(const std::string& message) const;

    std::string m_socket;  // empty: nothing is sent
    std::optional<std::chrono::microseconds> m_watchdog;
};

}  // namespace ampd
