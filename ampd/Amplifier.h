// What the server knows of the amplifier: the link, the last reading, the settings and the output
// as last reported, and the latched alarms. The line and the network share one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Replies.h"

namespace ampd {

using WallTime = std::chrono::system_clock::time_point;

struct Alarm {
    std::string name;  // MAX-TEMP, MIN-INPUT, MAX-OUTPUT, MAX-CURRENT, or LINK
    double value = 0;  // the reading that broke the limit; for LINK, the seconds the link was down
    WallTime time;     // when it latched; for LINK, when the link went down
    bool Limit() const { return name != "LINK"; }
};

// One point of the trend: at most one a second, the last hour kept.
struct TrendPoint {
    WallTime time;
    proto::StatusReply reading;
};

struct AmpView {
    bool linkUp = false;
    std::optional<proto::StatusReply> reading;  // the last, however old
    WallTime readingTime;
    // The reading while it is valid: the link up and the reading at most a second old; a frozen
    // value is never passed on as live.
    std::optional<proto::StatusReply> live;
    std::optional<double> readingAgeS;  // none before the first reading
    // Each from whichever reply last carried it.
    std::optional<std::uint16_t> targetCurrentMa, maxCurrentMa, targetPowerRaw;
    std::optional<std::uint8_t> mode, output;
    std::vector<Alarm> alarms;

    bool LimitAlarmLatched() const;
};

class Amplifier {
public:
    using Clock = std::function<WallTime()>;
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    // The longest a reading counts as live.
    static constexpr auto kReadingValid = std::chrono::seconds(1);

    // wallClock stamps what clients see; steadyClock ages the readings, whatever the wall clock does.
    explicit Amplifier(Clock wallClock = [] { return std::chrono::system_clock::now(); },
        SteadyClock steadyClock = [] { return std::chrono::steady_clock::now(); });

    AmpView View() const;
    std::vector<TrendPoint> Trend() const;

    void SetLink(bool up);
    void Apply(const proto::Reply& reply);
    // True when it latched a new alarm (none of that name was latched).
    bool Latch(const Alarm& alarm);
    // The link has been down since `since` for longer than a blip: recorded once per outage, its
    // length kept up to date until it is back.
    void RecordOutage(WallTime since);
    void ClearAlarms();
    WallTime Now() const { return m_wallClock(); }

    static constexpr auto kTrendStep = std::chrono::seconds(1);
    static constexpr auto kTrendSpan = std::chrono::hours(1);

private:
    void AddToTrend(WallTime time, const proto::StatusReply& reading);

    Clock m_wallClock;
    SteadyClock m_steadyClock;
    std::chrono::steady_clock::time_point m_readingAt;
    AmpView m_view;
    std::deque<TrendPoint> m_trend;
    std::optional<WallTime> m_downSince;  // of the outage being recorded
};

}  // namespace ampd
