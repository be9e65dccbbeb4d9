#include "engine/LineOwner.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <variant>

#include "engine/Session.h"
#include "protocol/Units.h"

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

// A panel's setting as SCPI would say it, for the audit.
std::string CommandText(const proto::SettingAsked& setting)
{
    switch (setting.kind) {
    case proto::SettingKind::kCurrent:
        return "SOUR:CURR " + std::to_string(setting.value);
    case proto::SettingKind::kPower:
        return "SOUR:POW " + proto::PowerText(setting.value);
    case proto::SettingKind::kMode:
        return std::string("SOUR:MODE ") + (setting.value == proto::kModeAcc ? "ACC" : "APC");
    case proto::SettingKind::kOutput:
        break;
    }
    return std::string("OUTP ") + (setting.value == proto::kOutputOn ? "ON" : "OFF");
}

bool IsOn(proto::SettingKind kind, std::int32_t value)
{
    return kind == proto::SettingKind::kOutput && value == proto::kOutputOn;
}

}  // namespace

// The panel's frames as they came, its pair kept a pair; confirmed by the echo the panel sees too,
// with no read-back of ours. Once the panel moves on, its next frame is not held back for this
// one's echo: the panel goes on by its own clock, as it does on the line.
class LineOwner::PanelExchange : public Exchange {
public:
    explicit PanelExchange(LineOwner& owner) : m_owner(owner), m_frames(*owner.m_panelApplying) {}

    void Start(Us now) override
    {
        m_now = now;
        m_pairUntil = m_frames.arrivedUs + kPairWindowUs;
        m_sending = true;
    }
    const proto::Frame* Pending() const override { return m_sending ? &m_frames.frame : nullptr; }
    void Written(Us now) override
    {
        if (!m_sending)
            return;
        m_sending = false;
        m_secondSent = m_firstSent;
        m_firstSent = true;
        m_echoUntil = now + kConfirmTimeoutUs;
    }
    void Heard(const proto::Reply& reply, Us) override
    {
        if (const auto echoed = proto::EchoedValue(m_frames.setting.kind, reply))
            m_echo = echoed;
    }
    void Tick(Us now) override
    {
        m_now = now;
        if (m_sending || m_done)
            return;
        if (m_frames.second && !m_secondSent) {
            m_sending = true;
            return;
        }
        if (!PairOpen() && (Confirmed() || MovedOn() || now >= m_echoUntil))
            m_done = true;
    }
    Us WakeUs() const override
    {
        if (m_sending || m_done)
            return kNever;
        return PairOpen() ? std::min(m_pairUntil, m_echoUntil) : m_echoUntil;
    }
    bool Done() const override { return m_done; }

    SettingDone Result() const
    {
        SettingDone done;
        done.result.requested = done.result.sent = m_frames.setting.value;
        if (Confirmed()) {
            done.fate = Fate::kConfirmed;
            done.result.outcome = Outcome::kDone;
            done.result.confirmedBy = Confirmation::kEcho;
        } else {
            done.result.held = m_echo;
            done.result.outcome = Outcome::kNotConfirmed;
            done.fate = m_echo ? Fate::kNotConfirmed : Fate::kNoAnswer;
        }
        return done;
    }

private:
    bool MovedOn() const { return !m_owner.m_panelQueries.empty() || !m_owner.m_panelSettings.empty(); }
    bool PairOpen() const { return !m_secondSent && !MovedOn() && m_now < m_pairUntil; }
    bool Confirmed() const { return m_echo == m_frames.setting.value; }

    LineOwner& m_owner;
    const PanelFrames& m_frames;
    Us m_now = 0;
    Us m_pairUntil = 0;
    Us m_echoUntil = kNever;
    bool m_sending = false;
    bool m_firstSent = false;
    bool m_secondSent = false;
    bool m_done = false;
    std::optional<std::int32_t> m_echo;
};

LineOwner::LineOwner(LineOut& line, SettingQueue& queue, LineSink& sink, const GuardLimits& limits, PanelPort* panel)
    : m_wire(line), m_queue(queue), m_sink(sink), m_guard(limits), m_panel(panel)
{
}

LineOwner::~LineOwner()
{
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
    if (const auto* output = std::get_if<proto::OutputReply>(&reply))
        m_output = output->state;
    m_sink.OnReply(reply);
    // Whoever polled, the panel or we, the guard looks at every reading.
    if (const auto* status = std::get_if<proto::StatusReply>(&reply)) {
        bool latched = false;
        for (const Breach& breach : m_guard.Check(*status))
            latched = m_sink.OnBreach(breach) || latched;
        if (latched) {
            SettingRequest off;
            off.kind = proto::SettingKind::kOutput;
            off.value = proto::kOutputOff;
            off.byGuard = true;
            m_queue.Push(std::move(off));
        }
    }
    if (m_exchange)
        m_exchange->Heard(reply, now);
}

void LineOwner::PanelReceive(Us now, const std::uint8_t* bytes, std::size_t n)
{
    if (!m_panelOpen || m_over)
        return;
    for (std::size_t i = 0; i < n; ++i)
        if (m_panelFramer.Push(bytes[i]))
            OnPanelFrame(m_panelFramer.Frame(), now);
    m_panelFramer.TakeJunk();
    Tick(now);
}

void LineOwner::OnPanelFrame(const proto::Frame& frame, Us now)
{
    m_lastPanelUs = now;
    m_panelHeard = true;
    const std::optional<proto::SettingAsked> setting = proto::ReadSettingFrame(frame);
    if (!setting) {
        m_panelQueries.push_back(frame);
        return;
    }
    if (IsOn(setting->kind, setting->value) && m_sink.LimitAlarmLatched()) {
        // Never on the line: the panel hears the output as it is, so its switch stays true.
        const proto::ReplyBytes reply = proto::EncodeReply(proto::OutputReply{m_output.value_or(proto::kOutputOff)});
        m_panel->Write(reply.data(), reply.size());
        // The pair's second is the same refusal: audited once.
        const bool second = m_lastRefused == frame && now - m_lastRefusedUs <= kPairWindowUs;
        m_lastRefused = frame;
        m_lastRefusedUs = now;
        if (!second) {
            SettingRequest refused;
            refused.client = kPanelClient;
            refused.kind = setting->kind;
            refused.value = static_cast<std::uint8_t>(setting->value);
            refused.fromPanel = true;
            refused.who = "panel";
            refused.command = CommandText(*setting);
            Finish(refused, SettingDone{Fate::kAlarmLatched, {}});
        }
        return;
    }
    // The pair's second joins its first, wherever that is: waiting its turn or on the line.
    const auto joins = [&](PanelFrames& first) {
        return !first.second && first.frame == frame && now - first.arrivedUs <= kPairWindowUs;
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
    request.command = CommandText(*setting);
    m_queue.Push(std::move(request));
}

void LineOwner::OpenPanel()
{
    if (!m_panel || m_panelOpen)
        return;
    m_panelFramer.Reset();
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
    while (!m_over) {
        if (!m_exchange) {
            if (!StartNext(now))
                return;
            continue;
        }
        if (m_exchange->Pending() && now >= m_wire.FreeAt()) {
            if (!m_wire.Send(*m_exchange->Pending())) {
                LineFailed(now);
                return;
            }
            if (!m_wire.Writing())
                m_exchange->Written(m_wire.LastWriteUs());
        }
        m_exchange->Tick(now);
        if (!m_exchange->Done())
            return;
        Finished(now);
    }
}

Us LineOwner::NextWakeUs() const
{
    if (m_over)
        return kNever;
    if (m_exchange)
        return m_exchange->Pending() ? m_wire.FreeAt() : m_exchange->WakeUs();
    return NextPollUs();
}

Us LineOwner::NextPollUs() const
{
    if (!m_panelHeard)
        return m_nextPollUs;
    return std::max(m_nextPollUs, m_lastPanelUs + MsToUs(kPanelQuietMs));
}

bool LineOwner::Silent(Us now) const
{
    return now - m_lastReplyUs > kSilentUs;
}

bool LineOwner::StartNext(Us now)
{
    if (!m_linked) {
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
    if (!m_panelQueries.empty()) {
        const proto::Frame query = m_panelQueries.front();
        m_panelQueries.pop_front();
        Begin(Doing::kForward, std::make_unique<Forward>(query), now);
        return true;
    }
    if (std::optional<SettingRequest> request = m_queue.Pop()) {
        if (request->fromPanel)
            StartApplyPanel(std::move(*request), now);
        else
            StartApply(std::move(*request), now);
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

void LineOwner::StartApply(SettingRequest request, Us now)
{
    const bool on = IsOn(request.kind, request.value);
    if (on && m_sink.LimitAlarmLatched()) {
        Finish(request, SettingDone{Fate::kAlarmLatched, {}});
        m_pollFirst = true;
        return;
    }
    const char* entry = request.entry.c_str();
    SettingValue value{request.value, request.value};
    bool fits = true;
    if (request.kind == proto::SettingKind::kCurrent) {
        fits = CurrentEntryFits(entry);
        value = CurrentFromEntry(entry, m_amp.settings.maxCurrentMa);
    } else if (request.kind == proto::SettingKind::kPower) {
        fits = PowerEntryOnScale(entry);
        value = PowerFromEntry(entry);
    }
    if (!fits) {
        Finish(request, SettingDone{Fate::kNoAnswer, {}});
        m_pollFirst = true;
        return;
    }
    m_request = std::move(request);
    Begin(Doing::kSetting, std::make_unique<Setting>(m_request->kind, value.requested, value.sent, kConfirmTimeoutUs),
        now);
}

void LineOwner::StartApplyPanel(SettingRequest request, Us now)
{
    if (m_panelSettings.empty()) {
        Finish(request, SettingDone{Fate::kLinkDown, {}});
        m_pollFirst = true;
        return;
    }
    m_panelApplying = m_panelSettings.front();
    m_panelSettings.pop_front();
    m_request = std::move(request);
    Begin(Doing::kPanelSetting, std::make_unique<PanelExchange>(*this), now);
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
            // The first poll goes as soon as the spacing allows; the cadence runs from it.
            m_nextPollUs = now;
            m_sink.OnLink(true);
            OpenPanel();
            // What was asked while the link was being checked found it down.
            FailWaiting(Fate::kLinkDown);
        }
        break;
    case Doing::kPoll:
        // The cadence counts from when the query went out, which the spacing may have put off.
        m_nextPollUs = m_wire.LastWriteUs() + kPollUs;
        // The guard saw the reading as it came.
        if (!static_cast<Query&>(*exchange).Answer() && Silent(now))
            LinkDown();
        break;
    case Doing::kSetting: {
        const SettingResult& result = static_cast<Setting&>(*exchange).Result();
        const SettingRequest request = std::move(*m_request);
        m_request.reset();
        Finish(request, SettingDone{FateOf(result), result});
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
        const SettingDone done = static_cast<PanelExchange&>(*exchange).Result();
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

void LineOwner::LinkDown()
{
    m_linked = false;
    m_sink.OnLink(false);
    // The panel sees its line go, as when its own adapter is pulled, rather than stale readouts.
    HangUpPanel();
    FailWaiting(Fate::kLinkDown);
}

void LineOwner::FailCurrent(Fate fate)
{
    m_exchange.reset();
    m_doing = Doing::kNothing;
    m_panelApplying.reset();
    if (m_request) {
        const SettingRequest request = std::move(*m_request);
        m_request.reset();
        Finish(request, SettingDone{fate, {}});
    }
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

}  // namespace engine
