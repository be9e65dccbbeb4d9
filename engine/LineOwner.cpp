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
    const GuardLimits& limits, const std::atomic<bool>& stop, PanelPort* panel)
    : m_tap(*this, line), m_clock(clock), m_queue(queue), m_sink(sink), m_guard(limits), m_stop(stop),
      m_session(m_tap, clock, stop, kProbeTimeoutMs), m_panel(panel)
{
    m_session.ObserveReplies([this](const proto::Reply& reply) { OnReply(reply); });
    // Every reply goes to the panel whoever asked, as it came, once it is whole.
    m_session.ObserveFrames([this](const std::uint8_t* bytes, std::size_t n) {
        if (m_panelOpen)
            m_panel->Write(bytes, n);
    });
}

LineOwner::~LineOwner()
{
    HangUpPanel();
}

int LineOwner::Tap::Read(std::uint8_t* into, std::size_t max, int timeoutMs)
{
    m_owner.TakePanelBytes();
    const int n = m_line.Read(into, max, m_owner.m_panelOpen ? std::min(timeoutMs, kPanelSliceMs) : timeoutMs);
    m_owner.TakePanelBytes();
    return n;
}

void LineOwner::OnReply(const proto::Reply& reply)
{
    m_lastReplyUs = m_clock.NowUs();
    if (const auto* output = std::get_if<proto::OutputReply>(&reply))
        m_output = output->state;
    if (m_panelApplying)
        if (const auto echoed = EchoedValue(m_panelApplying->setting.kind, reply))
            m_panelEcho = echoed;
    m_sink.OnReply(reply);
    // Whoever polled, the panel or we, the guard looks at every reading.
    if (const auto* status = std::get_if<proto::StatusReply>(&reply)) {
        bool latched = false;
        for (const Breach& breach : m_guard.Check(*status))
            latched = m_sink.OnBreach(breach) || latched;
        if (latched) {
            SettingRequest off;
            off.kind = ampctl::SettingKind::kOutput;
            off.value = proto::kOutputOff;
            off.byGuard = true;
            m_queue.Push(std::move(off));
        }
    }
}

void LineOwner::TakePanelBytes()
{
    if (!m_panelOpen)
        return;
    std::uint8_t bytes[64];
    for (int n = m_panel->Read(bytes, sizeof bytes); n > 0; n = m_panel->Read(bytes, sizeof bytes))
        for (int i = 0; i < n; ++i)
            if (m_panelFramer.Push(bytes[i]))
                OnPanelFrame(m_panelFramer.Frame());
}

void LineOwner::OnPanelFrame(const proto::Frame& frame)
{
    const std::int64_t now = m_clock.NowUs();
    m_lastPanelUs = now;
    m_panelHeard = true;
    m_queue.Wake() = true;
    const std::optional<PanelSetting> setting = ReadPanelSetting(frame);
    if (!setting) {
        m_panelQueries.push_back(frame);
        return;
    }
    const bool on = setting->kind == ampctl::SettingKind::kOutput && setting->value == proto::kOutputOn;
    if (on && m_sink.LimitAlarmLatched()) {
        // Never on the line: the panel hears the output as it is, so its switch stays true.
        const proto::ReplyBytes reply = proto::EncodeReply(proto::OutputReply{m_output.value_or(proto::kOutputOff)});
        m_panel->Write(reply.data(), reply.size());
        // The pair's second is the same refusal: audited once.
        const bool second = m_lastRefused == frame && now - m_lastRefusedUs <= kPairWindowMs * kUsPerMs;
        m_lastRefused = frame;
        m_lastRefusedUs = now;
        if (!second) {
            SettingRequest refused;
            refused.client = kPanelClient;
            refused.kind = setting->kind;
            refused.value = static_cast<std::uint8_t>(setting->value);
            refused.fromPanel = true;
            refused.who = "panel";
            refused.command = setting->command;
            Finish(refused, SettingDone{Fate::kAlarmLatched, {}});
        }
        return;
    }
    // The pair's second joins its first, wherever that is: waiting its turn or on the line.
    const auto joins = [&](PanelFrames& first) {
        return !first.second && first.frame == frame && now - first.arrivedUs <= kPairWindowMs * kUsPerMs;
    };
    if (m_panelApplying && joins(*m_panelApplying)) {
        m_panelApplying->second = true;
        return;
    }
    if (!m_panelSettings.empty() && joins(m_panelSettings.back())) {
        m_panelSettings.back().second = true;
        return;
    }
    m_panelSettings.push_back(PanelFrames{frame, *setting, now, false});
    SettingRequest request;
    request.client = kPanelClient;
    request.kind = setting->kind;
    request.value = static_cast<std::uint8_t>(setting->value);
    request.entry = std::to_string(setting->value);
    request.fromPanel = true;
    request.who = "panel";
    request.command = setting->command;
    m_queue.Push(std::move(request));
}

void LineOwner::OpenPanel()
{
    if (!m_panel || m_panelOpen)
        return;
    m_panelFramer = PanelFramer();
    m_panelHeard = false;
    m_panelOpen = m_panel->Open();
}

void LineOwner::HangUpPanel()
{
    if (!m_panelOpen)
        return;
    m_panel->HangUp();
    m_panelOpen = false;
    m_panelHeard = false;
    m_panelQueries.clear();
}

std::int64_t LineOwner::NextPollUs() const
{
    if (!m_panelHeard)
        return m_nextPollUs;
    return std::max(m_nextPollUs, m_lastPanelUs + kPanelQuietMs * kUsPerMs);
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
        TakePanelBytes();
        if (!m_linked) {
            outcome = Probe();
        } else if (m_panelOpen && Silent()) {
            // The panel's polls went unanswered: nobody else would notice.
            LinkDown();
        } else if (!m_panelQueries.empty()) {
            const proto::Frame query = m_panelQueries.front();
            m_panelQueries.pop_front();
            outcome = m_session.Forward(query);
        } else if (std::optional<SettingRequest> request = m_queue.Pop()) {
            outcome = request->fromPanel ? ApplyPanel(*request) : Apply(*request);
            // Readings go on between settings: a stream of settings does not starve the poll.
            if (!Ends(outcome) && m_linked && m_clock.NowUs() >= NextPollUs())
                outcome = Poll();
        } else if (m_clock.NowUs() >= NextPollUs()) {
            outcome = Poll();
        } else {
            outcome = m_session.Listen(NextPollUs(), m_queue.Wake());
        }
        if (Ends(outcome)) {
            const bool failed = outcome == ampctl::Outcome::kLineFailed;
            FailWaiting(failed ? Fate::kLinkDown : Fate::kStopped);
            if (m_linked && failed)
                LinkDown();
            HangUpPanel();
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
    OpenPanel();
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
    // The guard saw the reading as it came.
    if (outcome != ampctl::Outcome::kDone && !Ends(outcome) && Silent()) {
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

// The panel's frames as they came, its pair kept a pair; confirmed by the echo the panel sees too,
// with no read-back of ours.
ampctl::Outcome LineOwner::ApplyPanel(SettingRequest& request)
{
    if (m_panelSettings.empty()) {
        Finish(request, SettingDone{Fate::kLinkDown, {}});
        return ampctl::Outcome::kDone;
    }
    m_panelApplying = m_panelSettings.front();
    m_panelSettings.pop_front();
    m_panelEcho.reset();
    SettingDone done;
    done.result.requested = done.result.sent = m_panelApplying->setting.value;
    done.result.confirmedBy = ampctl::Confirmation::kEcho;
    ampctl::Outcome outcome = m_session.Forward(m_panelApplying->frame);
    bool secondSent = false;
    const std::int64_t pairUntil = m_panelApplying->arrivedUs + kPairWindowMs * kUsPerMs;
    std::int64_t echoUntil = m_session.LastWriteUs() + kConfirmTimeoutMs * kUsPerMs;
    while (outcome == ampctl::Outcome::kDone) {
        if (m_panelApplying->second && !secondSent) {
            outcome = m_session.Forward(m_panelApplying->frame);
            secondSent = true;
            echoUntil = m_session.LastWriteUs() + kConfirmTimeoutMs * kUsPerMs;
            continue;
        }
        // Once the panel moves on, its next frame is not held back for this one's echo: the
        // panel goes on by its own clock, as it does on the line.
        const bool movedOn = !m_panelQueries.empty() || !m_panelSettings.empty();
        const bool pairOpen = !secondSent && !movedOn && m_clock.NowUs() < pairUntil;
        const bool confirmed = m_panelEcho == done.result.sent;
        if (!pairOpen && (confirmed || movedOn || m_clock.NowUs() >= echoUntil))
            break;
        outcome = m_session.Listen(pairOpen ? std::min(pairUntil, echoUntil) : echoUntil, m_queue.Wake());
    }
    if (Ends(outcome)) {
        done.fate = outcome == ampctl::Outcome::kLineFailed ? Fate::kLinkDown : Fate::kStopped;
        done.result.outcome = outcome;
    } else if (m_panelEcho == done.result.sent) {
        done.fate = Fate::kConfirmed;
        done.result.outcome = ampctl::Outcome::kDone;
    } else {
        done.result.held = m_panelEcho;
        done.result.outcome = ampctl::Outcome::kNotConfirmed;
        done.fate = m_panelEcho ? Fate::kNotConfirmed : Fate::kNoAnswer;
    }
    m_panelApplying.reset();
    Finish(request, done);
    if (!Ends(outcome) && done.fate == Fate::kNoAnswer && Silent())
        LinkDown();
    return outcome;
}

void LineOwner::LinkDown()
{
    m_linked = false;
    m_sink.OnLink(false);
    // The panel sees its line go, as when its own adapter is pulled, rather than stale readouts.
    HangUpPanel();
    FailWaiting(Fate::kLinkDown);
}

void LineOwner::FailWaiting(Fate fate)
{
    for (const SettingRequest& request : m_queue.TakeAll())
        Finish(request, SettingDone{fate, {}});
    m_panelSettings.clear();
}

void LineOwner::Finish(const SettingRequest& request, const SettingDone& done)
{
    m_sink.OnSettingDone(request, done);
    if (request.done)
        request.done(done);
}

}  // namespace ampd
