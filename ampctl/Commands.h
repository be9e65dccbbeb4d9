// ampctl's commands, whichever way the amplifier is reached: the checks made before anything is
// opened, what each command prints and its exit code. Platform-free: the program gives it the
// amplifier and its standard streams.
#pragma once

#include <chrono>
#include <string>

#include "ampctl/AmpLink.h"
#include "ampctl/CommandLine.h"

namespace ampctl {

enum Exit { kExitDone = 0, kExitNoAnswer = 1, kExitUsage = 2, kExitPort = 3 };

// Where a command's lines go.
class Console {
public:
    virtual ~Console() = default;
    // One line to standard output. False once standard output is gone (a closed pipe).
    virtual bool Print(const std::string& text) = 0;
    // One line to standard error, after "ampctl: ".
    virtual void Error(const std::string& line) = 0;
    virtual std::chrono::system_clock::time_point Now() = 0;
};

// A decimal number and nothing else: sign, digits with at most one point, optional exponent.
bool IsDecimal(const std::string& text);

// What is wrong with a parsed command line before any port is opened (exit 2), or empty.
std::string UsageError(const Options& options);

// Runs a checked command line's command (not ports) against the amplifier; the exit code.
int RunCommand(const Options& options, AmpLink& amp, Console& console);

}  // namespace ampctl
