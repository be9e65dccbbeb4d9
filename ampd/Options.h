// ampd's command line:
//   ampd -p PORT [--scpi ADDR:PORT]... [--http [ADDR:PORT]]... [--token-file FILE] [--guard RULES]
//        [--log FILE] [--audit FILE] [--panel-link PATH] [-h/--help] [--version]
// Platform-free; checked whole before anything is opened.
#pragma once

#include <string>
#include <vector>

#include "engine/Guard.h"

namespace ampd {

constexpr int kDefaultScpiPort = 5025;
constexpr int kDefaultHttpPort = 8080;

struct Endpoint {
    std::string address;  // numeric IPv4 or IPv6, as given (without brackets)
    int port = 0;
    bool Loopback() const;
};

struct Options {
    std::string port;  // the amplifier's serial port
    std::vector<Endpoint> scpi;
    std::vector<Endpoint> http;  // none: no HTTP
    std::string tokenFile;
    engine::GuardLimits guard;
    std::string guardRules;  // as given, for the start-up line
    std::string log;
    std::string audit;
    std::string state;      // where the latched alarms are kept; empty: the default for the port
    std::string panelLink;  // where the panel's pseudo-terminal is linked; empty: none
};

enum class Parsed { kRun, kHelp, kVersion, kUsageError };

struct ParseResult {
    Parsed outcome = Parsed::kRun;
    Options options;
    std::string error;
};

// words: the arguments after the program's name.
ParseResult ParseCommandLine(const std::vector<std::string>& words);

// "127.0.0.1:5025", "[::1]:5025", "0.0.0.0:5025"; false for anything else.
bool ParseEndpoint(const std::string& text, Endpoint& endpoint);

extern const char* const kUsage;

}  // namespace ampd
