#include "sim/Options.h"

#include <algorithm>

#include "sim/SetupFields.h"

namespace sim {

namespace {

struct PathOption {
    const char* name;
    std::string Options::*field;
};

const PathOption kPathOptions[] = {
    {"link", &Options::linkPath},
    {"device", &Options::devicePath},
    {"log", &Options::logPath},
    {"control", &Options::controlPath},
};

struct FlagOption {
    const char* name;
    bool Options::*field;
};

const FlagOption kFlagOptions[] = {
    {"stdin", &Options::useStdin},
    {"verbose", &Options::verbose},
    {"help", &Options::help},
    {"version", &Options::version},
};

const PathOption* FindPathOption(const std::string& name)
{
    for (const PathOption& o : kPathOptions)
        if (name == o.name)
            return &o;
    return nullptr;
}

const FlagOption* FindFlagOption(const std::string& name)
{
    for (const FlagOption& o : kFlagOptions)
        if (name == o.name)
            return &o;
    return nullptr;
}

}  // namespace

ParseStatus ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--" && i + 1 == args.size())
            break;  // the end of the options, with nothing after it
        if (arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg == "--" || arg.rfind("--", 0) != 0) {
            // An operand, after "--" or without it; ampsim takes none.
            error = "unexpected argument '" + (arg == "--" ? args[i + 1] : arg) + "'";
            return ParseStatus::kBad;
        }
        // Both "--name value" and "--name=value".
        std::string name = arg.substr(2);
        std::string value;
        const std::size_t eq = name.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }

        if (const FlagOption* flag = FindFlagOption(name)) {
            if (inlineValue) {
                error = "--" + name + " takes no value";
                return ParseStatus::kBad;
            }
            options.*(flag->field) = true;
            continue;
        }

        const PathOption* path = FindPathOption(name);
        const SetupField* field = FindSetupField(name);
        if (path == nullptr && field == nullptr) {
            error = "unknown option '--" + name + "'";
            return ParseStatus::kBad;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "--" + name + " needs a value";
                return ParseStatus::kBad;
            }
            value = args[++i];
        }
        if (path != nullptr) {
            if (value.empty()) {
                error = "--" + name + " needs a path";
                return ParseStatus::kBad;
            }
            options.*(path->field) = value;
            continue;
        }
        const std::string fieldError = field->apply(options.setup, value);
        if (!fieldError.empty()) {
            error = "--" + name + ": " + fieldError;
            return ParseStatus::kBad;
        }
    }

    if (options.help)
        return ParseStatus::kHelp;
    if (options.version)
        return ParseStatus::kVersion;
    const std::string setupError = CheckSetup(options.setup);
    if (!setupError.empty()) {
        error = setupError;
        return ParseStatus::kBad;
    }
    return ParseStatus::kRun;
}

std::string HelpText()
{
    std::string text
        = "Usage: ampsim [options]\n"
          "Plays a 10 W fibre amplifier on a serial line at 9600 8N1, replies paced at the line rate.\n"
          "Prints the line it serves as 'ampsim: line <path>' on standard output.\n"
          "\n"
          "Line:\n"
          "  --link PATH        make PATH a symbolic link to the pseudo-terminal (replaces an existing\n"
          "                     link, removed on exit), e.g. $WINEPREFIX/dosdevices/com5\n"
          "  --device PATH      use a real serial device (e.g. /dev/ttyUSB0) instead of a pseudo-terminal\n"
          "\n"
          "Control and log:\n"
          "  --control PATH     accept control commands on a Unix stream socket at PATH (a socket left\n"
          "                     by an earlier run is replaced; one in use is refused)\n"
          "  --stdin            accept control commands on standard input, replies on standard output;\n"
          "                     the end of the input ends the simulator as 'quit' does\n"
          "  --log PATH         append the frame log to PATH\n"
          "  --verbose          write the frame log to standard error as well\n"
          "  -h, --help         show this text\n"
          "  --version          show the version\n"
          "\n"
          "Amplifier (also settable at run time with the control command 'set NAME VALUE'):\n";
    const AmpSetup defaults;
    for (const SetupField& f : SetupFields()) {
        std::string left = std::string("  --") + f.name + " " + f.valueHelp;
        left.resize(std::max<std::size_t>(left.size() + 1, 28), ' ');
        text += left + f.help + " [" + f.show(defaults) + "]\n";
    }
    text += "\n"
            "Control commands (one reply line each: JSON, 'ok ...' or 'error: ...'):\n"
            "  state                        the whole state as one line of JSON\n"
            "  set NAME VALUE               change one of the amplifier values above\n"
            "  unplug | replug              make the line vanish / come back (new pty, same link)\n"
            "  fault KIND [VALUE] [N|on]    fault the next N replies (default 1) or until cleared:\n"
            "                               no-reply, late MS, bad-checksum, truncate, split MS,\n"
            "                               garbage, no-settings, selector N\n"
            "  fault clear [KIND]           clear one fault kind or all\n"
            "  quit                         end the simulator\n"
            "\n"
            "Log lines: '<seconds> RX|RX-BAD|TX <hex bytes>' and '<seconds> EVENT <text>'.\n";
    return text;
}

}  // namespace sim
