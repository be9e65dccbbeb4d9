// ServerSession's settings and alarms: a command sent, ampd's error queue read for its outcome, and
// what each error means for ampctl's exit; the conversation itself is ServerSession.cpp's.
#include <cstdio>

#include "ampctl/ServerAnswers.h"
#include "ampctl/ServerSession.h"
#include "protocol/Frames.h"
#include "scpi/Errors.h"

namespace ampctl {

namespace {

using answers::Read;
using answers::Shown;

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
