// The line owner's settings: the one it makes of its own (the guard's OFF), the clients' in their
// turn, checked against a latch and clamped, and how each ends: done with, withdrawn or expired,
// failed with the line.
#include "engine/LineOwner.h"
#include "engine/Session.h"

namespace engine {

// The one setting the owner makes of its own: output OFF, twice and confirmed, tried again until it
// is, with no link check first.
void LineOwner::StartGuardOff(Us now)
{
    SettingRequest off;
    off.kind = proto::SettingKind::kOutput;
    off.value = proto::kOutputOff;
    off.byGuard = true;
    off.who = "guard";
    off.command = "OUTP OFF";
    off.askedUs = now;
    m_request = std::move(off);
    Begin(Doing::kSetting,
        std::make_unique<Setting>(proto::SettingKind::kOutput, proto::kOutputOff, proto::kOutputOff, kConfirmTimeoutUs),
        now);
}

void LineOwner::StartApply(SettingRequest request, Us now)
{
    const bool on = request.kind == proto::SettingKind::kOutput && request.value == proto::kOutputOn;
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

// Nothing goes out late: what was not started in time fails, unsent.
void LineOwner::ExpireOld(Us now)
{
    for (const SettingRequest& request : m_queue.TakeAskedBefore(now - SettingQueue::kMaxAgeUs)) {
        if (request.fromPanel)
            ForgetPanelSetting(request);
        Finish(request, SettingDone{Fate::kExpired, {}});
    }
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
