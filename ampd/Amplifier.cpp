#include "ampd/Amplifier.h"

#include <algorithm>
#include <variant>

namespace ampd {

bool AmpView::LimitAlarmLatched() const
{
    return std::any_of(alarms.begin(), alarms.end(), [](const Alarm& a) { return a.Limit(); });
}

Amplifier::Amplifier(Clock wallClock, SteadyClock steadyClock)
    : m_wallClock(std::move(wallClock)), m_steadyClock(std::move(steadyClock))
{
}

AmpView Amplifier::View() const
{
    AmpView view = m_view;
    if (view.reading) {
        const auto age = m_steadyClock() - m_readingAt;
        view.readingAgeS = std::chrono::duration<double>(age).count();
        if (view.linkUp && age <= kReadingValid)
            view.live = view.reading;
    }
    return view;
}

void Amplifier::SetLink(bool up)
{
    m_view.linkUp = up;
    if (!up)
        return;
    // An outage that was recorded ends: its alarm keeps how long it lasted.
    if (m_downSince) {
        for (Alarm& alarm : m_view.alarms)
            if (alarm.name == "LINK" && alarm.time == *m_downSince)
                alarm.value = std::chrono::duration<double>(m_wallClock() - *m_downSince).count();
    }
    m_downSince.reset();
}

void Amplifier::Apply(const proto::Reply& reply)
{
    AmpView& v = m_view;
    std::visit(proto::Overloaded{
                   [&](const proto::StatusReply& r) {
                       v.reading = r;
                       v.readingTime = m_wallClock();
                       m_readingAt = m_steadyClock();
                       AddToTrend(v.readingTime, r);
                   },
                   [&](const proto::SettingsReply& r) {
                       v.targetPowerRaw = r.targetPowerRaw;
                       v.targetCurrentMa = r.targetCurrentMa;
                       v.maxCurrentMa = r.maxCurrentMa;
                       v.mode = r.mode;
                   },
                   [&](const proto::TargetPowerReply& r) { v.targetPowerRaw = r.targetPowerRaw; },
                   [&](const proto::ModeReply& r) { v.mode = r.mode; },
                   [&](const proto::TargetCurrentReply& r) { v.targetCurrentMa = r.targetCurrentMa; },
                   [&](const proto::OutputReply& r) { v.output = r.state; },
                   [](const proto::OtherReply&) {},
               },
        reply);
}

std::vector<TrendPoint> Amplifier::Trend() const
{
    return std::vector<TrendPoint>(m_trend.begin(), m_trend.end());
}

void Amplifier::AddToTrend(WallTime time, const proto::StatusReply& reading)
{
    if (!m_trend.empty() && time - m_trend.back().time < kTrendStep)
        return;
    m_trend.push_back(TrendPoint{time, reading});
    while (!m_trend.empty() && time - m_trend.front().time > kTrendSpan)
        m_trend.pop_front();
}

bool Amplifier::Latch(const Alarm& alarm)
{
    for (const Alarm& latched : m_view.alarms)
        if (latched.name == alarm.name)
            return false;
    m_view.alarms.push_back(alarm);
    return true;
}

void Amplifier::RecordOutage(WallTime since)
{
    if (m_view.linkUp || m_downSince == since)
        return;
    m_downSince = since;
    Alarm link{"LINK", std::chrono::duration<double>(m_wallClock() - since).count(), since};
    // One LINK alarm: a later outage replaces an earlier one not yet cleared.
    m_view.alarms.erase(
        std::remove_if(m_view.alarms.begin(), m_view.alarms.end(), [](const Alarm& a) { return a.name == "LINK"; }),
        m_view.alarms.end());
    m_view.alarms.push_back(link);
}

void Amplifier::ClearAlarms()
{
    m_view.alarms.clear();
    m_downSince.reset();
}

}  // namespace ampd
