// How ampctl reaches ampd, the server that owns the amplifier's port: its address as a port name
// (tcp://HOST:PORT), the control token, and the line-based conversation the server session stands
// on. Platform-free, so the session runs the same over TCP and against a fake server in virtual
// time.
#pragma once

#include <cstddef>
#include <string>

namespace ampctl {

constexpr const char* kServerScheme = "tcp://";

// A port name that names ampd rather than a serial port.
bool IsServerPort(const std::string& port);

struct ServerAddress {
    std::string host;  // a name, IPv4 dotted, or IPv6 (given in brackets, kept without them)
    int port = 0;      // 1 ... 65535
    bool ipv6 = false;
};

// tcp://HOST:PORT exactly: HOST a name of letters, digits, '-' and '.', an IPv4 address, or an IPv6
// address in brackets; PORT decimal 1 ... 65535. False, with what is wrong in error, otherwise.
bool ParseServerAddress(const std::string& port, ServerAddress& address, std::string& error);

// The longest token ampctl sends: far below ampd's line limit.
constexpr std::size_t kMaxTokenBytes = 1024;

// The control token from the file's first line (tokenFile non-empty) or else from the environment
// variable's value (nullptr when unset), its line end and surrounding blanks removed, as ampd reads
// its own file. False, with the reason in error, when the file cannot be read, or the token is empty,
// too long or holds control characters; no message ever carries the token. found: whether a token
// was given at all.
bool LoadToken(
    const std::string& tokenFile, const char* fromEnvironment, std::string& token, bool& found, std::string& error);

// One line of a SCPI conversation: written whole, read whole. Waits are bounded by the caller.
class ServerLine {
public:
    enum class Got {
        kLine,     // a whole line, without its end
        kNothing,  // no whole line in time
        kTooLong,  // a line longer than the bound: the conversation cannot go on
        kClosed,   // the connection has ended
    };

    virtual ~ServerLine() = default;
    // Writes the line and its end. False when the connection is gone or the write did not finish
    // in time.
    virtual bool Send(const std::string& line) = 0;
    // Waits at most timeoutMs for a whole line.
    virtual Got Receive(std::string& line, int timeoutMs) = 0;
};

}  // namespace ampctl
