// The line owner's side towards a panel on ampd's panel link: the panel's frames framed as the
// amplifier frames them, its queries passed on (at most one of each kind waiting, none late), its
// settings queued as whole pairs and confirmed by the echo it sees too, its ON refused while an
// alarm is latched, and every whole reply passed on to it.
#include <algorithm>
#include <variant>

#include "engine/LineOwner.h"
#include "protocol/Units.h"

namespace engine {

namespace {

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

bool IsOn(const proto::SettingAsked& setting)
{
    return setting.kind == proto::SettingKind::kOutput && setting.value == proto::kOutputOn;
}

SettingRequest PanelRequest(const proto::SettingAsked& setting)
{
    SettingRequest request;
    request.client = kPanelClient;
    request.kind = setting.kind;
    request.value = static_cast<std::uint8_t>(setting.value);
    request.entry = std::to_string(setting.value);
    request.fromPanel = true;
    request.who = "panel";
    request.command = CommandText(setting);
    return request;
}

bool Asks(const SettingRequest& request, const proto::SettingAsked& setting)
{
    return request.kind == setting.kind && request.entry == std::to_string(setting.value);
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

SettingDone LineOwner::PanelResult(const Exchange& exchange)
{
    return static_cast<const PanelExchange&>(exchange).Result();
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
        // One of each kind waiting is enough: its reply reaches the panel whoever asked.
        const bool waiting = std::any_of(m_panelQueries.begin(), m_panelQueries.end(),
            [&](const PanelQuery& q) { return q.frame == frame; });
        if (!waiting)
            m_panelQueries.push_back(PanelQuery{frame, now});
        return;
    }
    if (IsOn(*setting) && m_sink.LimitAlarmLatched()) {
        RefusePanelOn(frame, *setting, now);
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
    for (PanelFrames& waiting : m_panelSettings) {
        if (joins(waiting)) {
            waiting.second = true;
            return;
        }
    }
    m_panelSettings.push_back(PanelFrames{frame, *setting, now, false});
    m_queue.Push(PanelRequest(*setting));
}

// Never on the line: the panel hears the output as it is, so its switch stays true. The pair's
// second is the same refusal, audited once.
void LineOwner::RefusePanelOn(const proto::Frame& frame, const proto::SettingAsked& setting, Us now)
{
    TellPanelTheOutput();
    const bool second = m_lastRefused == frame && now - m_lastRefusedUs <= kPairWindowUs;
    m_lastRefused = frame;
    m_lastRefusedUs = now;
    if (!second)
        Finish(PanelRequest(setting), SettingDone{Fate::kAlarmLatched, {}});
}

void LineOwner::TellPanelTheOutput()
{
    if (!m_panelOpen)
        return;
    const proto::ReplyBytes reply = proto::EncodeReply(proto::OutputReply{m_output.value_or(proto::kOutputOff)});
    m_panel->Write(reply.data(), reply.size());
}

std::optional<proto::Frame> LineOwner::NextPanelQuery(Us now)
{
    while (!m_panelQueries.empty()) {
        const PanelQuery query = m_panelQueries.front();
        m_panelQueries.pop_front();
        if (now - query.arrivedUs <= SettingQueue::kMaxAgeUs)
            return query.frame;
    }
    return std::nullopt;
}

void LineOwner::StartApplyPanel(SettingRequest request, Us now)
{
    const auto frames = std::find_if(m_panelSettings.begin(), m_panelSettings.end(),
        [&](const PanelFrames& f) { return Asks(request, f.setting); });
    if (frames == m_panelSettings.end()) {
        Finish(request, SettingDone{Fate::kLinkDown, {}});
        m_pollFirst = true;
        return;
    }
    const PanelFrames applying = *frames;
    m_panelSettings.erase(frames);
    // A latch since the panel asked: its ON is refused at its turn as at its coming.
    if (IsOn(applying.setting) && m_sink.LimitAlarmLatched()) {
        TellPanelTheOutput();
        Finish(request, SettingDone{Fate::kAlarmLatched, {}});
        m_pollFirst = true;
        return;
    }
    m_panelApplying = applying;
    m_request = std::move(request);
    Begin(Doing::kPanelSetting, std::make_unique<PanelExchange>(*this), now);
}

void LineOwner::ForgetPanelSetting(const SettingRequest& request)
{
    const auto frames = std::find_if(m_panelSettings.begin(), m_panelSettings.end(),
        [&](const PanelFrames& f) { return Asks(request, f.setting); });
    if (frames != m_panelSettings.end())
        m_panelSettings.erase(frames);
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

}  // namespace engine
