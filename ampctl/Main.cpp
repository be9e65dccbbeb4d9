// ampctl: the amplifier from scripts. Parses the command line, opens the port, runs one command
// through the session and maps its outcome to the exit code.
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ampctl/CommandLine.h"
#include "ampctl/Report.h"
#include "ampctl/SerialPort.h"
#include "ampctl/Session.h"

namespace {

using namespace ampctl;

enum Exit { kExitDone = 0, kExitNoAnswer = 1, kExitUsage = 2, kExitPort = 3 };

void Error(const std::string& line)
{
    std::fprintf(stderr, "ampctl: %s\n", line.c_str());
    std::fflush(stderr);
}

// One write per line, flushed at once, so a reader never sees half a line. False once standard
// output is gone (a closed pipe).
bool Print(const std::string& text)
{
    const std::string line = text + "\n";
    return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
}

// A decimal number and nothing else: sign, digits with at most one point, optional exponent.
bool IsDecimal(const std::string& text)
{
    std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    std::size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (std::isdigit(c))
            ++digits;
        else if (c == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        const std::size_t exponentStart = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == exponentStart)
            return false;
    }
    return i == text.size();
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

class Command {
public:
    Command(const Options& options, SerialPort& port, const std::atomic<bool>& stop)
        : m_options(options), m_clock(),
          m_session(port, m_clock, stop, static_cast<int>(std::lround(options.timeoutS * 1000)))
    {
    }

    int Status()
    {
        Outcome outcome = m_session.CheckLink();
        proto::StatusReply status;
        if (outcome == Outcome::kDone)
            outcome = m_session.ReadStatus(status);
        if (outcome != Outcome::kDone)
            return Failed(outcome);
        Print(StatusReport(m_session.Amp(), status, Format()));
        return kExitDone;
    }

    int Watch()
    {
        const ampctl::Format format = m_options.csv ? Format::kCsv : Format();
        if (format == Format::kCsv && !Print(kCsvHeader))
            return kExitDone;
        const auto now = [] { return IsoUtc(std::chrono::system_clock::now()); };
        const WatchResult result = m_session.Watch(
            static_cast<int>(std::lround(m_options.intervalS * 1000)), m_options.count,
            [&](const proto::StatusReply& status) { return Print(ReadingLine(now(), status, format)); },
            [&] { Error(now() + ": no answer to the status query, reading skipped"); });
        if (result.outcome == Outcome::kLineFailed)
            return Failed(result.outcome);
        // Ctrl+C is how a watch without a count ends.
        return result.missed > 0 ? kExitNoAnswer : kExitDone;
    }

    int Set(SettingKind kind)
    {
        const char* entry = m_options.value.c_str();
        SettingResult result;
        switch (kind) {
        case SettingKind::kCurrent:
            result = m_session.SetCurrent(entry);
            break;
        case SettingKind::kPower:
            result = m_session.SetPower(entry);
            break;
        case SettingKind::kMode:
            result = m_session.SetMode(m_options.value == "acc" ? proto::kModeAcc : proto::kModeApc);
            break;
        case SettingKind::kOutput:
            result = m_session.SetOutput(m_options.value == "on" ? proto::kOutputOn : proto::kOutputOff);
            break;
        }
        if (kind == SettingKind::kCurrent && m_session.Linked() && result.Clamped())
            Error("note: " + std::to_string(result.requested) + " mA is outside 0 ... "
                + std::to_string(m_session.Amp().settings.maxCurrentMa)
                + " mA, the amplifier's range: " + SettingValue(kind, result.sent) + " sent instead");
        if (result.outcome == Outcome::kNotConfirmed) {
            Error("the amplifier did not confirm " + SettingValue(kind, result.sent)
                + (result.held ? ": it reports " + SettingValue(kind, *result.held)
                               : ": no echo, and no answer when read back"));
            return kExitNoAnswer;
        }
        if (result.outcome != Outcome::kDone)
            return Failed(result.outcome);
        Print(SettingReport(kind, result, Format()));
        return kExitDone;
    }

private:
    ampctl::Format Format() const { return m_options.json ? Format::kJson : Format::kText; }

    int Failed(Outcome outcome) const
    {
        switch (outcome) {
        case Outcome::kNoAnswer:
            Error("no answer from the amplifier on " + m_options.port + " within " + Seconds(m_options.timeoutS));
            return kExitNoAnswer;
        case Outcome::kLineFailed:
            Error(m_options.port + ": the port stopped working");
            return kExitNoAnswer;
        case Outcome::kInterrupted:
            Error("interrupted");
            return kExitNoAnswer;
        case Outcome::kRefused:
            Error("refused: nothing was sent");
            return kExitUsage;
        default:
            return kExitNoAnswer;
        }
    }

    const Options& m_options;
    SteadyClock m_clock;
    Session m_session;
};

int Run(int argc, char** argv)
{
    const ParseResult parsed
        = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::getenv("AMPCTL_PORT"));
    switch (parsed.outcome) {
    case Parsed::kHelp:
        Print(kUsage);
        return kExitDone;
    case Parsed::kVersion:
        Print("ampctl " AMPCTL_VERSION);
        return kExitDone;
    case Parsed::kUsageError:
        Error(parsed.error + " (ampctl --help)");
        return kExitUsage;
    case Parsed::kRun:
        break;
    }
    const Options& options = parsed.options;
    const CommandKind kind = options.command;
    const bool setsNumber = kind == CommandKind::kSetCurrent || kind == CommandKind::kSetPower;

    if (kind == CommandKind::kPorts) {
        for (const std::string& name : ListSerialPorts())
            Print(name);
        return kExitDone;
    }
    if (kind == CommandKind::kWatch && options.csv && options.json) {
        Error("--csv and --json exclude each other (ampctl --help)");
        return kExitUsage;
    }
    if (setsNumber && !IsDecimal(options.value)) {
        Error("'" + options.value + "' is not a number (ampctl --help)");
        return kExitUsage;
    }
    if (kind == CommandKind::kSetCurrent && !CurrentEntryFits(options.value.c_str())) {
        Error("refused: " + options.value + " mA is out of range");
        return kExitUsage;
    }
    if (kind == CommandKind::kSetPower && !PowerEntryOnScale(options.value.c_str())) {
        Error("refused: " + options.value + " dBm is outside the amplifier's scale, -70.00 ... +585.35 dBm");
        return kExitUsage;
    }
    if (options.port.empty()) {
        Error("no port: give -p PORT or set AMPCTL_PORT (ampctl --help)");
        return kExitUsage;
    }

    static std::atomic<bool> stop{false};
    CatchStopRequests(stop);
    std::string error;
    std::string note;
    const std::unique_ptr<SerialPort> port = SerialPort::Open(options.port, error, note);
    if (!note.empty())
        Error(note);
    if (!port) {
        Error(error);
        return kExitPort;
    }
    Command command(options, *port, stop);
    switch (kind) {
    case CommandKind::kStatus:
        return command.Status();
    case CommandKind::kWatch:
        return command.Watch();
    case CommandKind::kSetCurrent:
        return command.Set(SettingKind::kCurrent);
    case CommandKind::kSetPower:
        return command.Set(SettingKind::kPower);
    case CommandKind::kMode:
        return command.Set(SettingKind::kMode);
    default:
        return command.Set(SettingKind::kOutput);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Error(e.what());
        return kExitNoAnswer;
    }
}
