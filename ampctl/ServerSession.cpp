#include "ampctl/ServerSession.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "protocol/Frames.h"

namespace ampctl {

namespace {

constexpr std::int64_t kUsPerMs = 1000;

// What ampd answers for a value it has not learnt yet (SCPI's "not a number").
constexpr const char* kNotANumber = "9.91E+37";

enum class Read { kValue, kNothingYet, kBad };

bool Digits(const std::string& text, std::size_t from, std::size_t to)
{
    if (from >= to || to > text.size())
        return false;
    for (std::size_t i = from; i < to; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// Whole milliamps as ampd prints them: 0 ... 65535, no sign, no leading zero.
Read Milliamps(const std::string& text, std::uint16_t& value)
{
    if (text == kNotANumber)
        return Read::kNothingYet;
    if (text.size() > 5 || !Digits(text, 0, text.size()) || (text.size() > 1 && text[0] == '0'))
        return Read::kBad;
    const long n = std::stol(text);
    if (n > 65535)
        return Read::kBad;
    value = static_cast<std::uint16_t>(n);
    return Read::kValue;
}

// A value in hundredths as ampd prints it, with exactly two places: "-3.21" -> -321.
bool Hundredths(const std::string& text, std::int32_t& value)
{
    const std::size_t from = (!text.empty() && text[0] == '-') ? 1 : 0;
    const std::size_t point = text.find('.');
    if (point == std::string::npos || point - from > 6 || text.size() != point + 3 || !Digits(text, from, point)
        || !Digits(text, point + 1, text.size()))
        return false;
    const std::int32_t magnitude = std::stoi(text.substr(from, point - from)) * 100 + std::stoi(text.substr(point + 1));
    value = from ? -magnitude : magnitude;
    return true;
}

// A power in dBm, as raw units 0 ... 65535.
Read PowerRaw(const std::string& text, std::uint16_t& raw)
{
    if (text == kNotANumber)
        return Read::kNothingYet;
    std::int32_t hundredths = 0;
    if (!Hundredths(text, hundredths))
        return Read::kBad;
    const std::int32_t value = hundredths + proto::kPowerRawOffset;
    if (value < 0 || value > 65535)
        return Read::kBad;
    raw = static_cast<std::uint16_t>(value);
    return Read::kValue;
}

// A temperature in degrees, as raw hundredths 0 ... 65535.
Read TemperatureRaw(const std::string& text, std::uint16_t& raw)
{
    std::int32_t hundredths = 0;
    if (!Hundredths(text, hundredths) || hundredths < 0 || hundredths > 65535)
        return Read::kBad;
    raw = static_cast<std::uint16_t>(hundredths);
    return Read::kValue;
}

// MEAS?: current, input, output, temperature.
Read Reading(const std::string& text, proto::StatusReply& status)
{
    const std::string none = std::string(kNotANumber) + "," + kNotANumber + "," + kNotANumber + "," + kNotANumber;
    if (text == none)
        return Read::kNothingYet;
    std::string fields[4];
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t comma = i < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos)
            return Read::kBad;
        fields[i] = text.substr(start, comma - start);
        start = comma + 1;
    }
    proto::StatusReply read;
    const bool good = Milliamps(fields[0], read.currentMa) == Read::kValue
        && PowerRaw(fields[1], read.inputPowerRaw) == Read::kValue
        && PowerRaw(fields[2], read.outputPowerRaw) == Read::kValue
        && TemperatureRaw(fields[3], read.temperatureRaw) == Read::kValue;
    if (!good)
        return Read::kBad;
    status = read;
    return Read::kValue;
}

Read Mode(const std::string& text, std::uint8_t& mode)
{
    if (text == "NONE")
        return Read::kNothingYet;
    if (text != "ACC" && text != "APC")
        return Read::kBad;
    mode = text == "ACC" ? proto::kModeAcc : proto::kModeApc;
    return Read::kValue;
}

Read OutputState(const std::string& text, std::uint8_t& state)
{
    if (text == kNotANumber)
        return Read::kNothingYet;
    if (text != "1" && text != "0")
        return Read::kBad;
    state = text == "1" ? proto::kOutputOn : proto::kOutputOff;
    return Read::kValue;
}

// SYST:ERR?: <code>,"<text>", the code at most six digits.
bool ErrorLine(const std::string& text, int& code, std::string& what)
{
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.size() < comma + 3 || text[comma + 1] != '"' || text.back() != '"')
        return false;
    const std::size_t from = (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (comma - from > 6 || !Digits(text, from, comma))
        return false;
    code = std::stoi(text.substr(from, comma - from)) * (text[0] == '-' ? -1 : 1);
    what = text.substr(comma + 2, text.size() - comma - 3);
    return true;
}

// ALAR?: NAME VALUE TIME, the name of capitals, digits and '-', the value a JSON number, the time
// ISO 8601 UTC to the millisecond, so that each can go into JSON as it stands.
bool AlarmEntry(const std::string& text, LatchedAlarm& alarm)
{
    const std::size_t first = text.find(' ');
    const std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second == std::string::npos)
        return false;
    const std::string name = text.substr(0, first);
    const std::string value = text.substr(first + 1, second - first - 1);
    const std::string time = text.substr(second + 1);
    if (name.empty() || name.size() > 32 || !std::isupper(static_cast<unsigned char>(name[0])))
        return false;
    for (char c : name)
        if (!std::isupper(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)) && c != '-')
            return false;
    const std::size_t from = (!value.empty() && value[0] == '-') ? 1 : 0;
    const std::size_t point = std::min(value.find('.'), value.size());
    if (value.size() > 32 || !Digits(value, from, point) || (point - from > 1 && value[from] == '0')
        || (point < value.size() && !Digits(value, point + 1, value.size())))
        return false;
    static const char kForm[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (time.size() != sizeof kForm - 1)
        return false;
    for (std::size_t i = 0; i < time.size(); ++i)
        if (kForm[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(time[i])) : time[i] != kForm[i])
            return false;
    alarm = {name, value, time};
    return true;
}

// ampd's text for a message: printable ASCII only, and not much of it.
std::string Shown(const std::string& text)
{
    constexpr std::size_t kLongest = 80;
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < kLongest; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        shown += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text.size() > kLongest ? shown + "..." : shown;
}

// A SCPI string: in double quotes, a quote inside doubled.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The number in the fewest digits that read back as the same double: ampd converts it to raw
// units as the serial path does (truncating), so the same entry gives the same raw value, which a
// number first rounded to two places need not. (std::to_chars would do it, at some 100 KiB of
// tables in the Windows program.)
std::string ShortestDecimal(double value)
{
    char text[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (proto::ParseLeadingNumber(text) == value)
            break;
    }
    return text;
}

SettingResult Refused()
{
    SettingResult result;
    result.outcome = Outcome::kRefused;
    return result;
}

}  // namespace

ServerSession::ServerSession(
    ServerLine& line, engine::Clock& clock, const std::atomic<bool>& stop, int timeoutMs, std::string name, std::string token)
    : m_line(line), m_clock(clock), m_stop(stop), m_timeoutUs(timeoutMs * kUsPerMs), m_name(std::move(name)),
      m_token(std::move(token))
{
}

ServerSession::Wait ServerSession::Receive(std::string& line, std::int64_t untilUs)
{
    for (;;) {
        if (m_stop)
            return Wait::kStopped;
        const std::int64_t leftUs = untilUs - m_clock.NowUs();
        if (leftUs <= 0)
            return Wait::kTimedOut;
        const std::int64_t waitMs = std::min<std::int64_t>((leftUs + kUsPerMs - 1) / kUsPerMs, kWaitSliceMs);
        switch (m_line.Receive(line, static_cast<int>(waitMs))) {
        case ServerLine::Got::kNothing:
            continue;
        case ServerLine::Got::kClosed:
            return Wait::kClosed;
        case ServerLine::Got::kTooLong:
            return Wait::kTooLong;
        case ServerLine::Got::kLine:
            break;
        }
        // A late answer to a query given up on belongs to that query: it would answer the wrong one.
        if (m_owed > 0) {
            --m_owed;
            continue;
        }
        m_lastLine = line;
        ++m_answers;
        return Wait::kAnswered;
    }
}

ServerSession::Wait ServerSession::Ask(const std::string& query, std::string& answer, std::int64_t untilUs)
{
    if (m_stop)
        return Wait::kStopped;
    if (!m_line.Send(query))
        return Wait::kClosed;
    const Wait wait = Receive(answer, untilUs);
    if (wait == Wait::kTimedOut)
        ++m_owed;
    // ampd turns a client away with one error line, then closes.
    const std::string turnedAway = "+" + std::to_string(kServerTooManyClients) + ",";
    if (wait == Wait::kAnswered && answer.compare(0, turnedAway.size(), turnedAway) == 0)
        return Wait::kTurnedAway;
    return wait;
}

Outcome ServerSession::Fail(Outcome outcome, const std::string& fault)
{
    m_fault = fault;
    return outcome;
}

Outcome ServerSession::Failure(Wait wait, const std::string& query)
{
    switch (wait) {
    case Wait::kAnswered:
        return Fail(Outcome::kServerFault, m_name + ": ampd sent a line nobody asked for");
    case Wait::kTimedOut:
        return Fail(Outcome::kServerFault,
            "no answer from ampd on " + m_name + " to " + query + " within " + Seconds(m_timeoutUs / 1e6));
    case Wait::kStopped:
        return Outcome::kInterrupted;
    case Wait::kClosed:
        return Fail(Outcome::kLineFailed, m_name + ": ampd closed the connection");
    case Wait::kTooLong:
        return Fail(Outcome::kServerFault, m_name + ": ampd sent a line too long to be an answer");
    case Wait::kTurnedAway:
        return Fail(Outcome::kUnreachable, m_name + ": ampd turned the connection away: " + Shown(m_lastLine));
    }
    return Outcome::kServerFault;
}

Outcome ServerSession::Unreadable(const std::string& query)
{
    // A first answer of another form: another program listens there, so ampd cannot be reached.
    if (m_answers <= 1)
        return Fail(Outcome::kUnreachable, m_name + ": that is not ampd: its answer to " + query + " cannot be read");
    return Fail(Outcome::kServerFault, m_name + ": ampd's answer to " + query + " cannot be read");
}

Outcome ServerSession::NothingYet()
{
    return Fail(Outcome::kNoAnswer, "no answer from the amplifier on " + m_name + ": ampd has none yet");
}

Outcome ServerSession::Query(const std::string& query, std::string& answer)
{
    const Wait wait = Ask(query, answer, m_clock.NowUs() + m_timeoutUs);
    return wait == Wait::kAnswered ? Outcome::kDone : Failure(wait, query);
}

Outcome ServerSession::Tell(const std::string& line)
{
    if (m_stop)
        return Outcome::kInterrupted;
    return m_line.Send(line) ? Outcome::kDone : Failure(Wait::kClosed, line);
}

Outcome ServerSession::Status(AmpSettings& amp, proto::StatusReply& status)
{
    m_fault.clear();
    std::string answer;
    Outcome outcome = Query("LINK?", answer);
    if (outcome != Outcome::kDone)
        return outcome;
    if (answer == "DOWN")
        return Fail(Outcome::kLinkDown, m_name + ": the link is down: ampd has no answer from the amplifier");
    if (answer != "UP")
        return Unreadable("LINK?");

    AmpSettings read;
    proto::StatusReply reading;
    // Each query and how its answer is read into the records.
    const std::pair<const char*, std::function<Read(const std::string&)>> steps[] = {
        {"MEAS?", [&](const std::string& a) { return Reading(a, reading); }},
        {"SOUR:CURR?", [&](const std::string& a) { return Milliamps(a, read.settings.targetCurrentMa); }},
        {"SOUR:CURR:MAX?", [&](const std::string& a) { return Milliamps(a, read.settings.maxCurrentMa); }},
        {"SOUR:POW?", [&](const std::string& a) { return PowerRaw(a, read.settings.targetPowerRaw); }},
        {"SOUR:MODE?", [&](const std::string& a) { return Mode(a, read.settings.mode); }},
        {"OUTP?", [&](const std::string& a) { return OutputState(a, read.output); }},
    };
    for (const auto& [query, into] : steps) {
        outcome = Query(query, answer);
        if (outcome != Outcome::kDone)
            return outcome;
        const Read got = into(answer);
        if (got == Read::kNothingYet)
            return NothingYet();
        if (got == Read::kBad)
            return Unreadable(query);
    }
    m_maxCurrentMa = read.settings.maxCurrentMa;
    amp = read;
    status = reading;
    return Outcome::kDone;
}

WatchResult ServerSession::Watch(
    int intervalMs, int count, const ReadingHandler& onReading, const MissedHandler& onMissed)
{
    m_fault.clear();
    WatchResult result;
    const std::int64_t start = m_clock.NowUs();
    const std::int64_t intervalUs = intervalMs * kUsPerMs;
    const auto end = [&](Outcome outcome) {
        result.outcome = outcome;
        return result;
    };
    for (std::int64_t k = 0; count == 0 || k < count; ++k) {
        // A stalled process skips the readings it missed rather than catching up in a burst.
        k = std::max(k, (m_clock.NowUs() - start) / intervalUs);
        if (count != 0 && k >= count)
            break;
        const std::int64_t slot = start + k * intervalUs;
        std::string answer;
        Wait wait = Receive(answer, slot);  // nothing is due before the slot
        if (wait != Wait::kTimedOut)
            return end(Failure(wait, ""));
        const std::int64_t untilUs = std::min(slot + intervalUs, m_clock.NowUs() + m_timeoutUs);
        Outcome missed = Outcome::kDone;
        proto::StatusReply status;
        wait = Ask("LINK?", answer, untilUs);
        if (wait == Wait::kAnswered && answer == "DOWN") {
            missed = Outcome::kLinkDown;
        } else if (wait == Wait::kAnswered && answer != "UP") {
            return end(Unreadable("LINK?"));
        } else if (wait == Wait::kAnswered) {
            wait = Ask("MEAS?", answer, untilUs);
            const Read got = wait == Wait::kAnswered ? Reading(answer, status) : Read::kValue;
            if (got == Read::kBad)
                return end(Unreadable("MEAS?"));
            if (got == Read::kNothingYet)
                missed = Outcome::kNoAnswer;
        }
        if (wait == Wait::kTimedOut)
            missed = Outcome::kNoAnswer;
        else if (wait != Wait::kAnswered)
            return end(Failure(wait, "MEAS?"));
        if (missed != Outcome::kDone) {
            ++result.missed;
            onMissed(missed);
        } else {
            ++result.answered;
            if (!onReading(status))
                return end(Outcome::kInterrupted);
        }
    }
    return result;
}

Outcome ServerSession::ReadErrors(std::vector<Error>& errors)
{
    for (int i = 0; i < kMostErrors; ++i) {
        std::string answer;
        const Outcome outcome = Query("SYST:ERR?", answer);
        if (outcome != Outcome::kDone)
            return outcome;
        Error error;
        if (!ErrorLine(answer, error.code, error.text))
            return Unreadable("SYST:ERR?");
        if (error.code == 0)
            return Outcome::kDone;
        errors.push_back(error);
    }
    return Fail(Outcome::kServerFault, m_name + ": ampd's error queue does not end");
}

Outcome ServerSession::Authenticate()
{
    Outcome outcome = Tell("SYST:AUTH " + Quoted(m_token));
    std::vector<Error> errors;
    if (outcome == Outcome::kDone)
        outcome = ReadErrors(errors);
    if (outcome != Outcome::kDone)
        return outcome;
    // Nothing that needs control goes after a token refused: it would be refused in turn.
    if (!errors.empty())
        return Meaning(errors.front(), "SYST:AUTH <token>");
    m_authenticated = true;
    return Outcome::kDone;
}

Outcome ServerSession::Control(const std::string& command, std::vector<Error>& errors)
{
    Outcome outcome = m_token.empty() || m_authenticated ? Outcome::kDone : Authenticate();
    if (outcome == Outcome::kDone)
        outcome = Tell(command);
    std::string answer;
    if (outcome == Outcome::kDone)
        outcome = Query("*OPC?", answer);
    if (outcome != Outcome::kDone)
        return outcome;
    if (answer != "1")
        return Unreadable("*OPC?");
    return ReadErrors(errors);
}

Outcome ServerSession::Meaning(const Error& error, const std::string& command)
{
    switch (error.code) {
    case kServerOutOfRange:
        return Outcome::kRefused;
    case kServerAlarmLatched:
        return Outcome::kAlarmLatched;
    case kServerNoAnswer:
        return Fail(Outcome::kNoAnswer, "no answer from the amplifier on " + m_name + " within ampd's wait");
    case kServerNotConfirmed:
        return Fail(Outcome::kNotConfirmed, "ampd reports it not confirmed");
    case kServerNotAuthorised:
        return Fail(Outcome::kNotAuthorised,
            m_name + ": control refused: "
                + (m_token.empty() ? "ampd wants its token (--token-file FILE or AMPCTL_TOKEN)"
                                   : "ampd did not accept the token"));
    case kServerLinkDown:
        return Fail(Outcome::kLinkDown, m_name + ": the link is down: ampd has no answer from the amplifier");
    default:
        return Fail(Outcome::kServerFault,
            m_name + ": ampd refused " + command + ": " + std::to_string(error.code) + ",\"" + Shown(error.text)
                + "\"");
    }
}

Outcome ServerSession::Held(SettingKind kind, std::optional<std::int32_t>& value)
{
    static const char* const kQueries[] = {"SOUR:CURR?", "SOUR:POW?", "SOUR:MODE?", "OUTP?"};
    const char* query = kQueries[static_cast<int>(kind)];
    std::string answer;
    const Outcome outcome = Query(query, answer);
    if (outcome != Outcome::kDone)
        return outcome;
    std::uint16_t word = 0;
    std::uint8_t byte = 0;
    Read got = Read::kBad;
    switch (kind) {
    case SettingKind::kCurrent:
        got = Milliamps(answer, word);
        break;
    case SettingKind::kPower:
        got = PowerRaw(answer, word);
        break;
    case SettingKind::kMode:
        got = Mode(answer, byte);
        word = byte;
        break;
    case SettingKind::kOutput:
        got = OutputState(answer, byte);
        word = byte;
        break;
    }
    if (got == Read::kBad)
        return Unreadable(query);
    value.reset();
    if (got == Read::kValue)
        value = word;
    return Outcome::kDone;
}

SettingResult ServerSession::Set(SettingKind kind, const std::string& value)
{
    m_fault.clear();
    SettingResult result;
    std::string command;
    switch (kind) {
    case SettingKind::kCurrent:
        if (!engine::CurrentEntryFits(value.c_str()))
            return Refused();
        // Whole milliamps, as the serial path sends them; ampd clamps them as it does.
        result.requested = proto::TruncateToInt32(proto::ParseLeadingNumber(value.c_str()));
        command = "SOUR:CURR " + std::to_string(result.requested);
        break;
    case SettingKind::kPower: {
        if (!engine::PowerEntryOnScale(value.c_str()))
            return Refused();
        result.requested = proto::PowerEntryToRaw(value.c_str());
        command = "SOUR:POW " + ShortestDecimal(proto::ParseLeadingNumber(value.c_str()));
        break;
    }
    case SettingKind::kMode:
        result.requested = value == "acc" ? proto::kModeAcc : proto::kModeApc;
        command = value == "acc" ? "SOUR:MODE ACC" : "SOUR:MODE APC";
        break;
    case SettingKind::kOutput:
        result.requested = value == "on" ? proto::kOutputOn : proto::kOutputOff;
        command = value == "on" ? "OUTP ON" : "OUTP OFF";
        break;
    }
    result.sent = result.requested;

    std::vector<Error> errors;
    result.outcome = Control(command, errors);
    if (result.outcome != Outcome::kDone)
        return result;
    bool clamped = false;
    for (const Error& error : errors) {
        if (error.code == kServerClamped) {
            clamped = true;
            continue;
        }
        result.outcome = Meaning(error, command);
        break;
    }
    if (kind == SettingKind::kCurrent && (clamped || result.outcome == Outcome::kNotConfirmed)) {
        // What ampd sent is the current clamped to the amplifier's range: read it back, with the range.
        std::string answer;
        std::uint16_t highest = 0;
        const Outcome asked = Query("SOUR:CURR:MAX?", answer);
        if (asked != Outcome::kDone || Milliamps(answer, highest) == Read::kBad) {
            result.outcome = asked != Outcome::kDone ? asked : Unreadable("SOUR:CURR:MAX?");
            return result;
        }
        m_maxCurrentMa = highest;
        result.sent = std::clamp(result.requested, 0, m_maxCurrentMa);
    }
    if (result.outcome == Outcome::kNotConfirmed) {
        // What the amplifier holds instead, for the message, when ampd can tell.
        const std::string fault = m_fault;
        Held(kind, result.held);
        m_fault = fault;
        return result;
    }
    if (result.outcome != Outcome::kDone)
        return result;
    if (clamped) {
        std::optional<std::int32_t> held;
        const Outcome asked = Held(kind, held);
        if (asked != Outcome::kDone || !held) {
            result.outcome = asked != Outcome::kDone ? asked : NothingYet();
            return result;
        }
        result.sent = *held;
    }
    result.confirmedBy = Confirmation::kServer;
    return result;
}

Outcome ServerSession::Alarms(std::vector<LatchedAlarm>& alarms)
{
    m_fault.clear();
    std::string answer;
    const Outcome outcome = Query("ALAR?", answer);
    if (outcome != Outcome::kDone)
        return outcome;
    std::vector<LatchedAlarm> read;
    if (answer != "NONE") {
        std::size_t start = 0;
        while (start <= answer.size()) {
            const std::size_t end = std::min(answer.find(';', start), answer.size());
            LatchedAlarm alarm;
            if (!AlarmEntry(answer.substr(start, end - start), alarm))
                return Unreadable("ALAR?");
            read.push_back(alarm);
            start = end + 1;
        }
    }
    alarms = read;
    return Outcome::kDone;
}

Outcome ServerSession::ClearAlarms()
{
    m_fault.clear();
    std::vector<Error> errors;
    const Outcome outcome = Control("ALAR:CLE", errors);
    if (outcome != Outcome::kDone)
        return outcome;
    return errors.empty() ? Outcome::kDone : Meaning(errors.front(), "ALAR:CLE");
}

}  // namespace ampctl
