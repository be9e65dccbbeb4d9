// ampctl's command line, as README "From scripts" gives it: global options before or after the
// command, the command, its own options and its one argument. Parsed by hand with the C library
// alone (no iostreams), so the statically linked ampctl.exe stays small. Platform-free.
#pragma once

#include <string>
#include <vector>

namespace ampctl {

enum class CommandKind {
    kNone,
    kPorts,
    kStatus,
    kWatch,
    kSetCurrent,
    kSetPower,
    kMode,
    kOutput,
    kAlarms,       // through ampd only
    kClearAlarms,  // through ampd only
};

constexpr double kDefaultTimeoutS = 2.0;
constexpr double kShortestTimeoutS = 0.001;
constexpr double kDefaultIntervalS = 1.0;
constexpr double kShortestIntervalS = 0.2;
constexpr double kLongestSeconds = 86400.0;
constexpr long long kMostReadings = 1000000000;

struct Options {
    CommandKind command = CommandKind::kNone;
    std::string port;       // a serial port, or ampd as tcp://HOST:PORT
    std::string tokenFile;  // ampd's control token, in the file's first line
    bool json = false;
    double timeoutS = kDefaultTimeoutS;
    double intervalS = kDefaultIntervalS;
    int count = 0;  // 0: until Ctrl+C
    bool csv = false;
    std::string value;  // the command's argument: MA, DBM, acc|apc or on|off
};

enum class Parsed { kRun, kHelp, kVersion, kUsageError };

struct ParseResult {
    Parsed outcome = Parsed::kRun;
    Options options;
    std::string error;  // kUsageError: what is wrong, one line
};

// words: the arguments after the program's name. portFromEnvironment: AMPCTL_PORT's value, or
// nullptr when it is not set; it is the port unless -p/--port gives one.
ParseResult ParseCommandLine(const std::vector<std::string>& words, const char* portFromEnvironment);

// What --help prints, without a final newline.
extern const char* const kUsage;

}  // namespace ampctl
