#include "engine/LineOwner.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "engine/Session.h"

namespace engine {

namespace {

Fate FateOf(const SettingResult& result)
{
    switch (result.outcome) {
    case Outcome::kDone:
        return Fate::kConfirmed;
    case Outcome::kNotConfirmed:
        // Neither echoed nor read back: the amplifier did not answer at all.
        return result.held ? Fate::kNotConfirmed : Fate::kNoAnswer;
    case Outcome::kInterrupted:
        return Fate::kStopped;
    case Outcome::kLineFailed:
        return Fate::kLinkDown;
    default:
        return Fate::kNoAnswer;
    }
}

bool IsOnFrame(const proto::Frame& frame)
{
    return frame.bytes[3] == proto::CMD_SET_OUTPUT && frame.bytes[4] == proto::kOutputOn;
}

}  // namespace

LineOwner::LineOwner(LineOut& line, SettingQueue& queue, LineSink& sink, const GuardLimits& limits, PanelPort* panel)
    : m_wire(line), m_queue(queue), m_sink(sink), m_guard(limits), m_panel(panel)
{
    // Latches found already set are acted on when the output is seen on; a latch set from now on
    // switches off at once.
    m_latched = m_sink.LimitAlarmLatched();
    // A client's settings withdrawn when it goes are done with as every setting is.
    m_queue.OnDropped([this](const SettingRequest& request, Fate fate) { Finish(request, SettingDone{fate, {}}); });
}

LineOwner::~LineOwner()
{
    m_queue.OnDropped(nullptr);
    HangUpPanel();
}

void LineOwner::Receive(Us now, const std::uint8_t* bytes, std::size_t n)
{
    if (m_over)
        return;
    m_wire.Receive(bytes, n, [&](const proto::Reply& reply, const std::uint8_t* whole, std::size_t size) {
        OnReply(reply, whole, size, now);
    });
    Tick(now);
}

void LineOwner::OnReply(const proto::Reply& reply, const std::uint8_t* bytes, std::size_t n, Us now)
{
    // Every reply goes to the panel whoever asked, as it came, once it is whole.
    if (m_panelOpen)
        m_panel->Write(bytes, n);
    m_lastReplyUs = now;
    m_sink.OnReply(reply);
    FollowLatch();
    if (const auto* output = std::get_if<proto::OutputReply>(&reply)) {
        m_output = output->state;
        m_outputDueUs = now + kOutputEveryUs;
        if (output->state == proto::kOutputOff) {
            m_offWanted = false;
            m_offConfirmed = m_latched;
        } else if (m_latched) {
            // The amplifier's own keys, a frame of before the latch, a restart: latched means off.
            m_offWanted = true;
            m_offConfirmed = false;
        }
    }
    // Whoever polled, the panel or we, the guard looks at every reading.
    if (const auto* status = std::get_if<proto::StatusReply>(&reply)) {
        const std::vector<Breach> breaches = m_guard.Check(*status);
        for (const Breach& breach : breaches)
            m_sink.OnBreach(breach);
        FollowLatch();
        if (!breaches.empty() && m_latched && !m_offConfirmed)
            m_offWanted = true;
    }
    if (m_exchange)
        m_exchange->Heard(reply, now);
}

// A latch set since it was last looked at switches the output off, whatever it was last seen as;
// with none latched, nothing is switched off.
void LineOwner::FollowLatch()
{
    const bool latched = m_sink.LimitAlarmLatched();
    if (latched && !m_latched) {
        m_offWanted = true;
        m_offConfirmed = false;
    }
    if (!latched)
        m_offWanted = m_offConfirmed = false;
    m_latched = latched;
}

void LineOwner::Written(Us now)
{
    if (m_over)
        return;
    m_wire.Written(now);
    if (m_exchange)
        m_exchange->Written(now);
    Tick(now);
}

void LineOwner::Tick(Us now)
{
    if (m_over)
        return;
    FollowLatch();
    ExpireOld(now);
    while (!m_over) {
        if (!m_exchange) {
            if (!StartNext(now))
                return;
            continue;
        }
        SendPending(now);
        if (!m_exchange)
            continue;
        m_exchange->Tick(now);
        if (!m_exchange->Done())
            return;
        Finished(now);
    }
}

void LineOwner::SendPending(Us now)
{
    const proto::Frame* frame = m_exchange->Pending();
    if (!frame || now < m_wire.FreeAt())
        return;
    // Each frame of an ON is looked at as it goes: an alarm latched since it was asked stops it.
    if (IsOnFrame(*frame) && m_sink.LimitAlarmLatched()) {
        if (m_doing == Doing::kPanelSetting)
            TellPanelTheOutput();
        FailCurrent(Fate::kAlarmLatched);
        m_pollFirst = true;
        return;
    }
    if (!m_wire.Send(*frame)) {
        LineFailed(now);
        return;
    }
    if (!m_wire.Writing())
        m_exchange->Written(m_wire.LastWriteUs());
}

Us LineOwner::NextWakeUs() const
{
    if (m_over)
        return kNever;
    const Us oldest = m_queue.OldestUs();
    const Us expiry = oldest == kNever ? kNever : oldest + SettingQueue::kMaxAgeUs + 1;
    if (m_exchange)
        return std::min(expiry, m_exchange->Pending() ? m_wire.FreeAt() : m_exchange->WakeUs());
    const Us poll = NextPollUs();
    const Us output = std::max(m_outputDueUs, m_wire.FreeAt());
    const bool outputFits = m_linked && output + kSpacingUs <= NextFrameUs();
    return std::min(expiry, outputFits ? std::min(output, poll) : poll);
}

Us LineOwner::NextPollUs() const
{
    if (!m_panelHeard)
        return m_nextPollUs;
    return std::max(m_nextPollUs, m_lastPanelUs + MsToUs(kPanelQuietMs));
}

// The next poll, ours or (while it polls) the panel's at its cadence.
Us LineOwner::NextFrameUs() const
{
    return m_panelHeard ? std::min(NextPollUs(), m_lastPanelUs + kPollUs) : NextPollUs();
}

// The output is asked in a slot between polls, where it holds no poll up, the panel's included.
bool LineOwner::OutputQueryFits(Us now) const
{
    return now >= m_outputDueUs && std::max(now, m_wire.FreeAt()) + kSpacingUs <= NextFrameUs();
}

bool LineOwner::Silent(Us now) const
{
    return now - m_lastReplyUs > kSilentUs;
}

bool LineOwner::StartNext(Us now)
{
    // The guard's OFF before everything; while the link is down it takes turns with the link
    // check, as OFF is always safe to send.
    if (m_offWanted && (m_linked || !m_offTriedDown)) {
        m_offTriedDown = !m_linked;
        StartGuardOff(now);
        return true;
    }
    if (!m_linked) {
        m_offTriedDown = false;
        StartProbe(now);
        return true;
    }
    // Readings go on between settings: a stream of settings does not starve the poll.
    const bool pollFirst = m_pollFirst;
    m_pollFirst = false;
    if (pollFirst && now >= NextPollUs()) {
        Begin(Doing::kPoll, std::make_unique<Query>(proto::CMD_QUERY_STATUS, kPollUs), now);
        return true;
    }
    if (m_panelOpen && Silent(now)) {
        // The panel's polls went unanswered: nobody else would notice.
        LinkDown();
        StartProbe(now);
        return true;
    }
    // A client's OFF goes ahead of the panel's queries and every other client's settings.
    std::optional<SettingRequest> request = m_queue.PopOff();
    std::optional<proto::Frame> query;
    if (!request)
        query = NextPanelQuery(now);
    if (query) {
        Begin(Doing::kForward, std::make_unique<Forward>(*query), now);
        return true;
    }
    if (!request)
        request = m_queue.Pop();
    if (request) {
        if (request->fromPanel)
            StartApplyPanel(std::move(*request), now);
        else
            StartApply(std::move(*request), now);
        return true;
    }
    if (OutputQueryFits(now)) {
        Begin(Doing::kOutput, std::make_unique<Query>(proto::CMD_QUERY_OUTPUT, kPollUs), now);
        return true;
    }
    if (now >= NextPollUs()) {
        Begin(Doing::kPoll, std::make_unique<Query>(proto::CMD_QUERY_STATUS, kPollUs), now);
        return true;
    }
    return false;
}

void LineOwner::Begin(Doing doing, std::unique_ptr<Exchange> exchange, Us now)
{
    m_doing = doing;
    m_exchange = std::move(exchange);
    m_exchange->Start(now);
}

// The panel's link check, until both its queries are answered; nothing but queries is sent, and
// settings asked meanwhile fail unsent.
void LineOwner::StartProbe(Us now)
{
    FailWaiting(Fate::kLinkDown);
    Begin(Doing::kProbe, std::make_unique<LinkCheck>(kProbeTimeoutUs, m_amp), now);
}

void LineOwner::Finished(Us now)
{
    std::unique_ptr<Exchange> exchange = std::move(m_exchange);
    const Doing doing = m_doing;
    m_doing = Doing::kNothing;
    switch (doing) {
    case Doing::kProbe:
        if (static_cast<LinkCheck&>(*exchange).Linked()) {
            m_linked = true;
            m_guard.Forget();
            // The first poll goes as soon as the spacing allows; the cadence runs from it. The
            // check has just heard the output.
            m_nextPollUs = now;
            m_outputDueUs = now + kOutputEveryUs;
            // What was asked while the link was being checked found it down: told so before the
            // link is said to be up, so that nothing asked after that can fail for it.
            FailWaiting(Fate::kLinkDown);
            m_sink.OnLink(true);
            OpenPanel();
        }
        break;
    case Doing::kPoll:
    case Doing::kOutput:
        // The cadence counts from when the query went out, which the spacing may have put off.
        if (doing == Doing::kPoll)
            m_nextPollUs = m_wire.LastWriteUs() + kPollUs;
        // The guard saw the reading as it came.
        if (!static_cast<Query&>(*exchange).Answer() && Silent(now))
            LinkDown();
        break;
    case Doing::kSetting: {
        const SettingResult& result = static_cast<Setting&>(*exchange).Result();
        const SettingRequest request = std::move(*m_request);
        m_request.reset();
        const Fate fate = FateOf(result);
        if (request.byGuard && fate == Fate::kConfirmed) {
            m_offWanted = false;
            m_offConfirmed = true;
        }
        Finish(request, SettingDone{fate, result});
        // The settings and the output, as the amplifier now holds them, for every client to read.
        Begin(Doing::kReadBack, std::make_unique<LinkCheck>(kReadBackTimeoutUs, m_amp), now);
        break;
    }
    case Doing::kReadBack:
        if (!static_cast<LinkCheck&>(*exchange).Linked() && Silent(now))
            LinkDown();
        m_pollFirst = true;
        break;
    case Doing::kPanelSetting: {
        const SettingDone done = PanelResult(*exchange);
        const SettingRequest request = std::move(*m_request);
        m_request.reset();
        m_panelApplying.reset();
        Finish(request, done);
        if (done.fate == Fate::kNoAnswer && Silent(now))
            LinkDown();
        m_pollFirst = true;
        break;
    }
    case Doing::kForward:
    case Doing::kNothing:
        break;
    }
}

void LineOwner::LineFailed(Us)
{
    if (m_over)
        return;
    m_over = true;
    FailCurrent(Fate::kLinkDown);
    FailWaiting(Fate::kLinkDown);
    if (m_linked) {
        m_linked = false;
        m_sink.OnLink(false);
    }
    HangUpPanel();
}

void LineOwner::Stop(Us)
{
    if (m_over)
        return;
    m_over = true;
    FailCurrent(Fate::kStopped);
    FailWaiting(Fate::kStopped);
    HangUpPanel();
}

// The guard's OFF is no queued setting: a link that goes down keeps it wanted.
void LineOwner::LinkDown()
{
    if (!m_linked)
        return;
    m_linked = false;
    m_sink.OnLink(false);
    // The panel sees its line go, as when its own adapter is pulled, rather than stale readouts.
    HangUpPanel();
    FailWaiting(Fate::kLinkDown);
}

}  // namespace engine
