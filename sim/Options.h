// The simulator's command line.
#pragma once

#include <string>
#include <vector>

#include "sim/AmpModel.h"

namespace sim {

struct Options {
    AmpSetup setup;
    std::string linkPath;    // symbolic link to the pty slave (e.g. a Wine prefix's dosdevices/com5)
    std::string devicePath;  // a real serial device instead of a pty
    std::string logPath;
    std::string controlPath;  // Unix stream socket for control commands
    bool useStdin = false;    // control commands on standard input as well
    bool verbose = false;     // frame log on standard error as well
    bool help = false;
    bool version = false;
};

enum class ParseStatus { kRun, kHelp, kVersion, kBad };

// args excludes the program name. "--" ends the options; ampsim takes no operands, so anything
// after it is refused. On kBad, error says what is wrong.
ParseStatus ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

std::string HelpText();

}  // namespace sim
