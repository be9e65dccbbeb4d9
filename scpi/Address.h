// ADDR:PORT as the programs write a TCP address: where ampd listens (numeric only) and where
// ampctl finds it (a host name too). What both forms share is read here once: the port number,
// the IPv6 address in brackets, the IPv4 check. Each program keeps its own rules for the host and
// its own messages. Platform-free, standard C++17 only.
#pragma once

#include <string>
#include <string_view>

namespace scpi {

// Decimal digits only, at most five, 0 ... 65535 (leading zeros allowed here).
bool ParsePort(std::string_view text, int& port);

// Dotted IPv4: four parts of one to three digits, each at most 255.
bool IsIpv4(std::string_view text);

// An IPv6 address as far as its characters go: 2 ... 45 hex digits and ':' (with the dots of an
// IPv4 tail), one ':' at least. Whether it is an address is the resolver's to say.
bool LooksLikeIpv6(std::string_view text);

struct HostPort {
    std::string host;  // without the brackets
    std::string port;  // as written, unchecked
    bool bracketed = false;
};

enum class Split {
    kDone,
    kNoColon,              // HOST without ':PORT'
    kNoCloseBracket,       // '[' without ']'
    kNoColonAfterBracket,  // [IPV6] without ':PORT' right after it
    kUnbracketedColon,     // a ':' in HOST outside brackets: IPv6 goes in brackets
};

// HOST:PORT, split at the last ':', or [IPV6]:PORT, split after the bracket.
Split SplitHostPort(std::string_view text, HostPort& parts);

}  // namespace scpi
