#include "ampctl/Commands.h"

#include <cctype>
#include <cmath>

#include "ampctl/ServerLine.h"

namespace ampctl {

namespace {

class Command {
public:
    Command(const Options& options, AmpLink& amp, Console& console) : m_options(options), m_amp(amp), m_console(console)
    {
    }

    int Status()
    {
        AmpSettings amp;
        proto::StatusReply status;
        const Outcome outcome = m_amp.Status(amp, status);
        if (outcome != Outcome::kDone)
            return Failed(outcome);
        m_console.Print(StatusReport(amp, status, Format()));
        return kExitDone;
    }

    int Watch()
    {
        const ampctl::Format format = m_options.csv ? Format::kCsv : Format();
        if (format == Format::kCsv && !m_console.Print(proto::kCsvHeader))
            return kExitDone;
        const auto now = [&] { return proto::IsoUtc(m_console.Now()); };
        const WatchResult result = m_amp.Watch(
            static_cast<int>(std::lround(m_options.intervalS * 1000)), m_options.count,
            [&](const proto::StatusReply& status) { return m_console.Print(ReadingLine(now(), status, format)); },
            [&](Outcome why) {
                m_console.Error(now()
                    + (why == Outcome::kLinkDown ? ": the link is down, reading skipped"
                                                 : ": no answer to the status query, reading skipped"));
            });
        // Ctrl+C is how a watch without a count ends.
        if (result.outcome != Outcome::kDone && result.outcome != Outcome::kInterrupted)
            return Failed(result.outcome);
        return result.missed > 0 ? kExitNoAnswer : kExitDone;
    }

    int Set(SettingKind kind)
    {
        const SettingResult result = m_amp.Set(kind, m_options.value);
        if (kind == SettingKind::kCurrent && result.Clamped())
            m_console.Error("note: " + std::to_string(result.requested) + " mA is outside 0 ... "
                + std::to_string(m_amp.MaxCurrentMa())
                + " mA, the amplifier's range: " + SettingValue(kind, result.sent) + " sent instead");
        if (result.outcome == Outcome::kNotConfirmed) {
            const std::string fault = m_amp.Fault();
            m_console.Error("the amplifier did not confirm " + SettingValue(kind, result.sent)
                + (result.held          ? ": it reports " + SettingValue(kind, *result.held)
                        : fault.empty() ? ": no echo, and no answer when read back"
                                        : ": " + fault));
            return kExitNoAnswer;
        }
        if (result.outcome != Outcome::kDone)
            return Failed(result.outcome);
        m_console.Print(SettingReport(kind, result, Format()));
        return kExitDone;
    }

    int Alarms()
    {
        std::vector<LatchedAlarm> alarms;
        const Outcome outcome = m_amp.Alarms(alarms);
        if (outcome != Outcome::kDone)
            return Failed(outcome);
        // No alarms in text: nothing at all, not an empty line.
        if (!alarms.empty() || Format() == Format::kJson)
            m_console.Print(AlarmsReport(alarms, Format()));
        return kExitDone;
    }

    int ClearAlarms()
    {
        const Outcome outcome = m_amp.ClearAlarms();
        if (outcome != Outcome::kDone)
            return Failed(outcome);
        m_console.Print(AlarmsClearedReport(Format()));
        return kExitDone;
    }

private:
    ampctl::Format Format() const { return m_options.json ? Format::kJson : Format::kText; }

    // The message is the link's own where it has one (ampd's faults); the exit code is the
    // outcome's, however the amplifier was reached.
    int Failed(Outcome outcome) const
    {
        const std::string fault = m_amp.Fault();
        const auto error = [&](const std::string& ours) { m_console.Error(fault.empty() ? ours : fault); };
        switch (outcome) {
        case Outcome::kNoAnswer:
            error("no answer from the amplifier on " + m_options.port + " within " + Seconds(m_options.timeoutS));
            return kExitNoAnswer;
        case Outcome::kLineFailed:
            error(m_options.port + ": the port stopped working");
            return kExitNoAnswer;
        case Outcome::kInterrupted:
            m_console.Error("interrupted");
            return kExitNoAnswer;
        case Outcome::kRefused:
            error("refused: nothing was sent");
            return kExitUsage;
        case Outcome::kLinkDown:
            error(m_options.port + ": the link to the amplifier is down");
            return kExitPort;
        case Outcome::kNotAuthorised:
            error(m_options.port + ": control refused: the token is wrong or missing");
            return kExitPort;
        case Outcome::kUnreachable:
            error(m_options.port + ": ampd cannot be reached");
            return kExitPort;
        case Outcome::kAlarmLatched:
            error("refused: an alarm is latched (ampctl alarms; clear-alarms)");
            return kExitNoAnswer;
        default:
            error(m_options.port + ": ampd failed");
            return kExitNoAnswer;
        }
    }

    const Options& m_options;
    AmpLink& m_amp;
    Console& m_console;
};

const char* CommandName(CommandKind kind)
{
    return kind == CommandKind::kAlarms ? "alarms" : "clear-alarms";
}

}  // namespace

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

std::string UsageError(const Options& options)
{
    const CommandKind kind = options.command;
    const bool setsNumber = kind == CommandKind::kSetCurrent || kind == CommandKind::kSetPower;
    if (kind == CommandKind::kWatch && options.csv && options.json)
        return "--csv and --json exclude each other (ampctl --help)";
    if (setsNumber && !IsDecimal(options.value))
        return "'" + options.value + "' is not a number (ampctl --help)";
    if (kind == CommandKind::kSetCurrent && !engine::CurrentEntryFits(options.value.c_str()))
        return "refused: " + options.value + " mA is out of range";
    if (kind == CommandKind::kSetPower && !engine::PowerEntryOnScale(options.value.c_str()))
        return "refused: " + options.value + " dBm is outside the amplifier's scale, -70.00 ... +585.35 dBm";
    // Only ampd latches alarms; a serial port has none to tell.
    if ((kind == CommandKind::kAlarms || kind == CommandKind::kClearAlarms) && !IsServerPort(options.port))
        return std::string(CommandName(kind)) + " needs ampd: give -p tcp://HOST:PORT";
    if (options.port.empty())
        return "no port: give -p PORT or set AMPCTL_PORT (ampctl --help)";
    ServerAddress address;
    std::string error;
    if (IsServerPort(options.port) && !ParseServerAddress(options.port, address, error))
        return error + " (ampctl --help)";
    return {};
}

int RunCommand(const Options& options, AmpLink& amp, Console& console)
{
    Command command(options, amp, console);
    switch (options.command) {
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
    case CommandKind::kOutput:
        return command.Set(SettingKind::kOutput);
    case CommandKind::kAlarms:
        return command.Alarms();
    case CommandKind::kClearAlarms:
        return command.ClearAlarms();
    default:
        return kExitUsage;
    }
}

}  // namespace ampctl
