#include "ampctl/ServerSession.h"

#include <algorithm>
#include <utility>

#include "ampctl/ServerAnswers.h"
#include "scpi/Errors.h"

namespace ampctl {

namespace {

constexpr std::int64_t kUsPerMs = 1000;

using answers::Read;
using answers::Shown;

}  // namespace

ServerSession::ServerSession(ServerLine& line, engine::Clock& clock, const std::atomic<bool>& stop, int timeoutMs,
    std::string name, std::string token)
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

}  // namespace ampctl
