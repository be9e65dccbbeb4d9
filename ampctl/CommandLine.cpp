#include "ampctl/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ampctl {

const char* const kUsage
    = "ampctl: the Lumacore 10 W fibre amplifier from scripts, over its serial line or through ampd.\n"
      "\n"
      "Usage: ampctl [-p PORT | --port PORT] [--json] [--timeout SECONDS] [--token-file FILE]\n"
      "              COMMAND [ARGS]\n"
      "  -p, --port PORT      a device path on Linux (/dev/ttyUSB0), COMn on Windows, or ampd, the\n"
      "                       server that owns the amplifier's port, as tcp://HOST:PORT (IPv6 as\n"
      "                       tcp://[::1]:5025); default: the environment variable AMPCTL_PORT\n"
      "  --json               JSON: one object, or one object a line for watch\n"
      "  --timeout SECONDS    seconds to wait for the amplifier's answers, and for ampd's: the\n"
      "                       connection and each answer (default 2)\n"
      "  --token-file FILE    ampd's control token, the file's first line; default: the environment\n"
      "                       variable AMPCTL_TOKEN. Needed for settings and clear-alarms when ampd\n"
      "                       has a token; reading needs none\n"
      "  -h, --help           this help\n"
      "  --version            ampctl's version\n"
      "\n"
      "Commands:\n"
      "  ports                the serial ports of this computer, one a line (whatever PORT is)\n"
      "  status               readings, setpoints, mode and output, read once\n"
      "  watch [--interval S] [--count N] [--csv]\n"
      "                       readings every S seconds (default 1, at least 0.2) until N readings\n"
      "                       or Ctrl+C; --csv: CSV with a header line\n"
      "  set-current MA       target pump current, clamped to the amplifier's range\n"
      "  set-power DBM        target output power, -70.00 ... +585.35 dBm\n"
      "  mode acc|apc         working mode\n"
      "  output on|off        switch the output\n"
      "  alarms               the alarms ampd has latched, one a line: NAME VALUE TIME (ampd only)\n"
      "  clear-alarms         clear ampd's latched alarms (ampd only)\n"
      "\n"
      "Exit codes: 0 done; 1 the amplifier did not answer, or a setting was not confirmed; 2 usage;\n"
      "3 the port cannot be opened (missing or busy), ampd cannot be reached, its link to the\n"
      "amplifier is down, or it refused control for want of the right token.";

namespace {

struct CommandName {
    const char* name;
    CommandKind kind;
    bool takesValue;
};

constexpr CommandName kCommands[] = {
    {"ports", CommandKind::kPorts, false},
    {"status", CommandKind::kStatus, false},
    {"watch", CommandKind::kWatch, false},
    {"set-current", CommandKind::kSetCurrent, true},
    {"set-power", CommandKind::kSetPower, true},
    {"mode", CommandKind::kMode, true},
    {"output", CommandKind::kOutput, true},
    {"alarms", CommandKind::kAlarms, false},
    {"clear-alarms", CommandKind::kClearAlarms, false},
};

// What a command's one argument is called in messages.
const char* ValueName(CommandKind kind)
{
    switch (kind) {
    case CommandKind::kSetCurrent:
        return "MA";
    case CommandKind::kSetPower:
        return "DBM";
    case CommandKind::kMode:
        return "MODE (acc or apc)";
    default:
        return "STATE (on or off)";
    }
}

// A negative number is a value, not an option: set-power -3.5, --timeout -1.
bool IsOption(const std::string& word)
{
    if (word.size() < 2 || word[0] != '-')
        return false;
    const auto next = static_cast<unsigned char>(word[1]);
    const bool number
        = std::isdigit(next) || (next == '.' && word.size() > 2 && std::isdigit(static_cast<unsigned char>(word[2])));
    return !number;
}

// Seconds: a finite decimal number within [lowest, kLongestSeconds].
bool ParseSeconds(const std::string& text, double lowest, double& seconds)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(value) || value < lowest || value > kLongestSeconds)
        return false;
    seconds = value;
    return true;
}

// A count: decimal digits (a leading + allowed) within [1, kMostReadings].
bool ParseCount(const std::string& text, int& count)
{
    const std::size_t digitsFrom = (!text.empty() && text[0] == '+') ? 1 : 0;
    if (digitsFrom == text.size())
        return false;
    for (std::size_t i = digitsFrom; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < 1 || value > kMostReadings)
        return false;
    count = static_cast<int>(value);
    return true;
}

class Parser {
public:
    explicit Parser(const std::vector<std::string>& words) : m_words(words) {}

    ParseResult Run(const char* portFromEnvironment)
    {
        // Help and the version win wherever they stand before "--", as they did with the earlier
        // parser, so that "ampctl status --help" helps rather than complaining.
        for (const std::string& word : m_words) {
            if (word == "--")
                break;
            if (word == "-h" || word == "--help")
                return Outcome(Parsed::kHelp);
            if (word == "--version")
                return Outcome(Parsed::kVersion);
        }
        for (m_next = 0; m_next < m_words.size() && m_error.empty();)
            Step();
        if (m_error.empty())
            Finish();
        if (!m_error.empty())
            return Outcome(Parsed::kUsageError);
        if (!m_portGiven && portFromEnvironment)
            m_options.port = portFromEnvironment;
        return Outcome(Parsed::kRun);
    }

private:
    ParseResult Outcome(Parsed outcome) const
    {
        ParseResult result;
        result.outcome = outcome;
        result.options = m_options;
        result.error = m_error;
        return result;
    }

    void Step()
    {
        const std::string& word = m_words[m_next++];
        if (!m_afterDashes && word == "--") {
            m_afterDashes = true;
            return;
        }
        if (!m_afterDashes && IsOption(word)) {
            Option(word);
            return;
        }
        if (m_options.command == CommandKind::kNone) {
            Command(word);
            return;
        }
        if (!m_valueWanted || m_valueGiven) {
            m_error = "unexpected argument '" + word + "'";
            return;
        }
        m_options.value = word;
        m_valueGiven = true;
    }

    void Command(const std::string& word)
    {
        if (!m_afterDashes) {
            for (const CommandName& command : kCommands) {
                if (word == command.name) {
                    m_options.command = command.kind;
                    m_valueWanted = command.takesValue;
                    return;
                }
            }
        }
        m_error
            = m_afterDashes ? "'" + word + "' after --: the command goes before it" : "unknown command '" + word + "'";
    }

    void Option(const std::string& word)
    {
        // --name=value, -pVALUE, or the value in the next word.
        std::string name = word;
        std::string value;
        bool attached = false;
        if (word.compare(0, 2, "--") == 0) {
            const std::size_t equals = word.find('=');
            if (equals != std::string::npos) {
                name = word.substr(0, equals);
                value = word.substr(equals + 1);
                attached = true;
            }
        } else if (word.size() > 2) {
            name = word.substr(0, 2);
            value = word.substr(2);
            attached = true;
        }

        const bool watch = m_options.command == CommandKind::kWatch;
        if (name == "--json" || (name == "--csv" && watch)) {
            if (attached)
                m_error = name + " takes no value";
            else
                (name == "--json" ? m_options.json : m_options.csv) = true;
            return;
        }
        bool* given = nullptr;
        if (name == "-p" || name == "--port")
            given = &m_portGiven;
        else if (name == "--timeout")
            given = &m_timeoutGiven;
        else if (name == "--token-file")
            given = &m_tokenFileGiven;
        else if (name == "--interval" && watch)
            given = &m_intervalGiven;
        else if (name == "--count" && watch)
            given = &m_countGiven;
        if (!given) {
            const bool ofWatch = name == "--csv" || name == "--interval" || name == "--count";
            m_error = ofWatch ? name + " is an option of watch: give it after watch" : "unknown option '" + name + "'";
            return;
        }
        if (*given) {
            m_error = name + " given twice";
            return;
        }
        *given = true;
        if (!attached) {
            if (m_next == m_words.size() || IsOption(m_words[m_next])) {
                m_error = name + " needs a value";
                return;
            }
            value = m_words[m_next++];
        }

        if (given == &m_portGiven) {
            m_options.port = value;
        } else if (given == &m_tokenFileGiven) {
            m_options.tokenFile = value;
            if (value.empty())
                m_error = "--token-file needs a file";
        } else if (given == &m_timeoutGiven) {
            if (!ParseSeconds(value, kShortestTimeoutS, m_options.timeoutS))
                m_error = "--timeout: '" + value + "' is not a number of seconds from 0.001 to 86400";
        } else if (given == &m_intervalGiven) {
            if (!ParseSeconds(value, kShortestIntervalS, m_options.intervalS))
                m_error = "--interval: '" + value + "' is not a number of seconds from 0.2 to 86400";
        } else if (!ParseCount(value, m_options.count)) {
            m_error = "--count: '" + value + "' is not a whole number from 1 to 1000000000";
        }
    }

    void Finish()
    {
        const CommandKind command = m_options.command;
        if (command == CommandKind::kNone) {
            m_error = "no command given";
        } else if (m_valueWanted && !m_valueGiven) {
            m_error = std::string(ValueName(command)) + " is required";
        } else if (command == CommandKind::kMode && m_options.value != "acc" && m_options.value != "apc") {
            m_error = "mode: '" + m_options.value + "' is neither acc nor apc";
        } else if (command == CommandKind::kOutput && m_options.value != "on" && m_options.value != "off") {
            m_error = "output: '" + m_options.value + "' is neither on nor off";
        }
    }

    const std::vector<std::string>& m_words;
    std::size_t m_next = 0;
    Options m_options;
    std::string m_error;
    bool m_afterDashes = false;
    bool m_valueWanted = false;
    bool m_valueGiven = false;
    bool m_portGiven = false;
    bool m_timeoutGiven = false;
    bool m_tokenFileGiven = false;
    bool m_intervalGiven = false;
    bool m_countGiven = false;
};

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& words, const char* portFromEnvironment)
{
    return Parser(words).Run(portFromEnvironment);
}

}  // namespace ampctl
