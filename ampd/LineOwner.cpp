#include "ampd/LineOwner.h"

#include <algorithm>
#include <utility>
#include <variant>

namespace ampd {

namespace {

constexpr std::int64_t kUsPerMs = 1000;

Fate FateOf(const ampctl::SettingResult& result)
{
    switch (result.outcome) {
    case ampctl::Outcome::kDone:
        return Fate::kConfirmed;
    case ampctl::Outcome::kNotConfirmed:
        // Neither echoed nor read back: the amplifier did not answer at all.
        return result.held ? Fate::kNotConfirmed : Fate::kNoAnswer;
    case ampctl::Outcome::kInterrupted:
        return Fate::kStopped;
    case ampctl::Outcome::kLineFailed:
        return Fate::kLinkDown;
    default:
        return Fate::kNoAnswer;
    }
}

// Failures that end the hold on this line.
bool Ends(ampctl::Outcome outcome)
{
    return outcome == ampctl::Outcome::kLineFailed || outcome == ampctl::Outcome::kInterrupted;
}

}  // namespace

LineOwner::LineOwner(ampctl::ByteStream& line, ampctl::Clock& clock, SettingQueue& queue, LineSink& sink,
    const GuardLimits& limits, const std::atomic<bool>& stop)
    : m_clock(clock), m_queue(queue), m_sink(sink), m_guard(limits), m_stop(stop),
      m_session(line, clock, stop, kProbeTimeoutMs)
{
    m_session.ObserveReplies([this](const proto::Reply& reply) { OnReply(reply); });
}

void LineOwner::OnReply(const proto::Reply& reply)
{
    m_lastReplyUs = m_clock.NowUs();
    m_sink.OnReply(reply);
}

bool LineOwner::Silent() const
{
    return m_clock.NowUs() - m_lastReplyUs > kSilentMs * kUsPerMs;
}

ampctl::Outcome LineOwner::Run()
{
    for (;;) {
        if (m_stop) {
            FailWaiting(Fate::kStopped);
            return ampctl::Outcome::kInterrupted;
        }
        ampctl::Outcome outcome = ampctl::Outcome::kDone;
        if (!m_linked) {
            outcome = Probe();
        } else if (std::optional<SettingRequest> request = m_queue.Pop()) {
            outcome = Apply(*request);
            // Readings go on between settings: a stream of settings does not starve the poll.
            if (!Ends(outcome) && m_linked && m_clock.NowUs() >= m_nextPollUs)
                outcome = Poll();
        } else if (m_clock.NowUs() >= m_nextPollUs) {
            outcome = Poll();
        } else {
            outcome = m_session.Listen(m_nextPollUs, m_queue.Wake());
        }
        if (Ends(outcome)) {
            const bool failed = outcome == ampctl::Outcome::kLineFailed;
            FailWaiting(failed ? Fate::kLinkDown : Fate::kStopped);
            if (m_linked && failed)
                LinkDown();
            return outcome;
        }
    }
}

// The panel's link check, until both its queries are answered; nothing but queries is sent, and
// settings asked meanwhile fail unsent.
ampctl::Outcome LineOwner::Probe()
{
    FailWaiting(Fate::kLinkDown);
    m_session.SetTimeoutMs(kProbeTimeoutMs);
    const ampctl::Outcome outcome = m_session.CheckLink();
    if (outcome != ampctl::Outcome::kDone)
        return outcome == ampctl::Outcome::kNoAnswer ? ampctl::Outcome::kDone : outcome;
    m_linked = true;
    m_guard.Forget();
    // The first poll goes as soon as the spacing allows; the cadence runs from it.
    m_nextPollUs = m_clock.NowUs();
    m_sink.OnLink(true);
    // What was asked while the link was being checked found it down.
    FailWaiting(Fate::kLinkDown);
    return outcome;
}

ampctl::Outcome LineOwner::Poll()
{
    m_session.SetTimeoutMs(kPollMs);
    proto::StatusReply status;
    const ampctl::Outcome outcome = m_session.ReadStatus(status);
    // The cadence counts from when the query went out, which the spacing may have put off.
    m_nextPollUs = m_session.LastWriteUs() + kPollMs * kUsPerMs;
    if (outcome == ampctl::Outcome::kDone) {
        bool latched = false;
        for (const Breach& breach : m_guard.Check(status))
            latched = m_sink.OnBreach(breach) || latched;
        if (latched) {
            SettingRequest off;
            off.kind = ampctl::SettingKind::kOutput;
            off.value = proto::kOutputOff;
            off.byGuard = true;
            m_queue.Push(std::move(off));
        }
    } else if (!Ends(outcome) && Silent()) {
        LinkDown();
    }
    return Ends(outcome) ? outcome : ampctl::Outcome::kDone;
}

ampctl::Outcome LineOwner::Apply(SettingRequest& request)
{
    const bool on = request.kind == ampctl::SettingKind::kOutput && request.value == proto::kOutputOn;
    if (on && m_sink.LimitAlarmLatched()) {
        Finish(request, SettingDone{Fate::kAlarmLatched, {}});
        return ampctl::Outcome::kDone;
    }
    m_session.SetTimeoutMs(kConfirmTimeoutMs);
    ampctl::SettingResult result;
    switch (request.kind) {
    case ampctl::SettingKind::kCurrent:
        result = m_session.SetCurrent(request.entry.c_str());
        break;
    case ampctl::SettingKind::kPower:
        result = m_session.SetPower(request.entry.c_str());
        break;
    case ampctl::SettingKind::kMode:
        result = m_session.SetMode(request.value);
        break;
    case ampctl::SettingKind::kOutput:
        result = m_session.SetOutput(request.value);
        break;
    }
    Finish(request, SettingDone{FateOf(result), result});
    if (Ends(result.outcome))
        return result.outcome;
    // The settings and the output, as the amplifier now holds them, for every client to read.
    m_session.SetTimeoutMs(kReadBackTimeoutMs);
    const ampctl::Outcome readBack = m_session.CheckLink();
    if (Ends(readBack))
        return readBack;
    if (readBack != ampctl::Outcome::kDone && Silent())
        LinkDown();
    return ampctl::Outcome::kDone;
}

void LineOwner::LinkDown()
{
    m_linked = false;
    m_sink.OnLink(false);
    FailWaiting(Fate::kLinkDown);
}

void LineOwner::FailWaiting(Fate fate)
{
    for (const SettingRequest& request : m_queue.TakeAll())
        Finish(request, SettingDone{fate, {}});
}

void LineOwner::Finish(const SettingRequest& request, const SettingDone& done)
{
    m_sink.OnSettingDone(request, done);
    if (request.done)
        request.done(done);
}

}  // namespace ampd
