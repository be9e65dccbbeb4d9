#include "ampctl/ServerSession.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "ampctl/ServerAnswers.h"
#include "protocol/Frames.h"
#include "scpi/Errors.h"

namespace ampctl {

namespace {

constexpr std::int64_t kUsPerMs = 1000;

using answers::Read;

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
    const std::string turnedAway = "+" + std::to_string(scpi::kTooManyClients.code) + ",";
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
        {"MEAS?", [&](const std::string& a) { return answers::Reading(a, reading); }},
        {"SOUR:CURR?", [&](const std::string& a) { return answers::Milliamps(a, read.settings.targetCurrentMa); }},
        {"SOUR:CURR:MAX?", [&](const std::string& a) { return answers::Milliamps(a, read.settings.maxCurrentMa); }},
        {"SOUR:POW?", [&](const std::string& a) { return answers::PowerRaw(a, read.settings.targetPowerRaw); }},
        {"SOUR:MODE?", [&](const std::string& a) { return answers::Mode(a, read.settings.mode); }},
        {"OUTP?", [&](const std::string& a) { return answers::OutputState(a, read.output); }},
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
            const Read got = wait == Wait::kAnswered ? answers::Reading(answer, status) : Read::kValue;
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
        if (!answers::ErrorLine(answer, error.code, error.text))
            return Unreadable("SYST:ERR?");
        if (error.code == 0)
            return Outcome::kDone;
        errors.push_back(error);
    }
    return Fail(Outcome::kServerFault, m_name + ": ampd's error queue does not end");
}

Outcome ServerSession::Authenticate()
{
    Outcome outcome = Tell("SYST:AUTH " + scpi::Quoted(m_token));
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
    case scpi::kDataOutOfRange.code:
        return Outcome::kRefused;
    case scpi::kAlarmLatched.code:
        return Outcome::kAlarmLatched;
    case scpi::kNoAnswer.code:
        return Fail(Outcome::kNoAnswer, "no answer from the amplifier on " + m_name + " within ampd's wait");
    case scpi::kNotConfirmed.code:
        return Fail(Outcome::kNotConfirmed, "ampd reports it not confirmed");
    case scpi::kNotAuthorised.code:
        return Fail(Outcome::kNotAuthorised,
            m_name + ": control refused: "
                + (m_token.empty() ? "ampd wants its token (--token-file FILE or AMPCTL_TOKEN)"
                                   : "ampd did not accept the token"));
    case scpi::kLinkDown.code:
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
        got = answers::Milliamps(answer, word);
        break;
    case SettingKind::kPower:
        got = answers::PowerRaw(answer, word);
        break;
    case SettingKind::kMode:
        got = answers::Mode(answer, byte);
        word = byte;
        break;
    case SettingKind::kOutput:
        got = answers::OutputState(answer, byte);
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
        if (error.code == scpi::kClamped.code) {
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
        if (asked != Outcome::kDone || answers::Milliamps(answer, highest) == Read::kBad) {
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
    if (!answers::Alarms(answer, alarms))
        return Unreadable("ALAR?");
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
