#include "engine/Session.h"

#include <algorithm>
#include <variant>

namespace engine {

namespace {

// The raw power scale, 0 ... 65535, in dBm.
constexpr double kLowestPowerDbm = (0 - proto::kPowerRawOffset) / 100.0;
constexpr double kHighestPowerDbm = (65535 - proto::kPowerRawOffset) / 100.0;

// What the C runtime's truncation to 32 bits keeps whole.
constexpr double kBelowInt32 = -2147483649.0;
constexpr double kAboveInt32 = 2147483648.0;

Outcome Failed(Outcome run)
{
    return run == Outcome::kDone ? Outcome::kNoAnswer : run;
}

}  // namespace

bool PowerEntryOnScale(const char* entry)
{
    const double dBm = proto::ParseLeadingNumber(entry);
    return dBm >= kLowestPowerDbm && dBm <= kHighestPowerDbm;
}

bool CurrentEntryFits(const char* entry)
{
    const double mA = proto::ParseLeadingNumber(entry);
    return mA > kBelowInt32 && mA < kAboveInt32;
}

SettingValue CurrentFromEntry(const char* entry, std::int32_t maxCurrentMa)
{
    return {proto::TruncateToInt32(proto::ParseLeadingNumber(entry)), proto::CurrentEntryToMilliamps(entry, maxCurrentMa)};
}

SettingValue PowerFromEntry(const char* entry)
{
    const std::int32_t raw = proto::PowerEntryToRaw(entry);
    return {raw, raw};
}

Session::Session(ByteStream& line, Clock& clock, const std::atomic<bool>& stop, int timeoutMs)
    : m_line(line), m_clock(clock), m_stop(stop), m_timeoutUs(MsToUs(timeoutMs)), m_out(line, clock), m_wire(m_out)
{
}

Outcome Session::Run(Exchange& exchange)
{
    std::uint8_t bytes[64];
    exchange.Start(m_clock.NowUs());
    for (;;) {
        if (m_stop)
            return Outcome::kInterrupted;
        const Us now = m_clock.NowUs();
        if (exchange.Pending() && now >= m_wire.FreeAt()) {
            if (!m_wire.Send(*exchange.Pending()))
                return Outcome::kLineFailed;
            exchange.Written(m_wire.LastWriteUs());
        }
        exchange.Tick(m_clock.NowUs());
        if (exchange.Done())
            return Outcome::kDone;
        const Us wake = exchange.Pending() ? m_wire.FreeAt() : exchange.WakeUs();
        const Us leftUs = std::max<Us>(wake - m_clock.NowUs(), 0);
        const int waitMs = static_cast<int>(std::min<Us>((leftUs + kUsPerMs - 1) / kUsPerMs, kWaitSliceMs));
        const int n = m_line.Read(bytes, sizeof bytes, waitMs);
        if (n < 0)
            return Outcome::kLineFailed;
        m_wire.Receive(bytes, static_cast<std::size_t>(n), [&](const proto::Reply& reply, const std::uint8_t*, std::size_t) {
            exchange.Heard(reply, m_clock.NowUs());
        });
        if (exchange.Done())
            return Outcome::kDone;
    }
}

Outcome Session::CheckLink()
{
    LinkCheck check(m_timeoutUs, m_amp);
    const Outcome run = Run(check);
    m_linked = run == Outcome::kDone && check.Linked();
    return m_linked ? Outcome::kDone : Failed(run);
}

Outcome Session::ReadStatus(proto::StatusReply& status)
{
    Query query(proto::CMD_QUERY_STATUS, m_timeoutUs);
    const Outcome run = Run(query);
    if (run != Outcome::kDone || !query.Answer())
        return Failed(run);
    status = std::get<proto::StatusReply>(*query.Answer());
    return Outcome::kDone;
}

SettingResult Session::Apply(proto::SettingKind kind, const std::function<SettingValue(const AmpSettings&)>& value)
{
    SettingResult result;
    result.outcome = m_linked ? Outcome::kDone : CheckLink();
    if (result.outcome != Outcome::kDone) {
        const SettingValue asked = value(m_amp);
        result.requested = result.sent = asked.requested;
        return result;
    }
    const SettingValue asked = value(m_amp);
    Setting setting(kind, asked.requested, asked.sent, m_timeoutUs);
    const Outcome run = Run(setting);
    if (run != Outcome::kDone) {
        result = setting.Result();
        result.outcome = run;
        result.confirmedBy = Confirmation::kNone;
        return result;
    }
    return setting.Result();
}

SettingResult Session::SetCurrent(const char* entry)
{
    if (!CurrentEntryFits(entry)) {
        SettingResult refused;
        refused.outcome = Outcome::kRefused;
        return refused;
    }
    return Apply(proto::SettingKind::kCurrent,
        [entry](const AmpSettings& amp) { return CurrentFromEntry(entry, amp.settings.maxCurrentMa); });
}

SettingResult Session::SetPower(const char* entry)
{
    if (!PowerEntryOnScale(entry)) {
        SettingResult refused;
        refused.outcome = Outcome::kRefused;
        return refused;
    }
    return Apply(proto::SettingKind::kPower, [entry](const AmpSettings&) { return PowerFromEntry(entry); });
}

SettingResult Session::SetMode(std::uint8_t mode)
{
    return Apply(proto::SettingKind::kMode, [mode](const AmpSettings&) { return SettingValue{mode, mode}; });
}

SettingResult Session::SetOutput(std::uint8_t state)
{
    return Apply(proto::SettingKind::kOutput, [state](const AmpSettings&) { return SettingValue{state, state}; });
}

WatchResult Session::Watch(int intervalMs, int count, const std::function<bool(const proto::StatusReply&)>& onReading,
    const std::function<void()>& onMissed)
{
    WatchResult result;
    const Us start = m_clock.NowUs();
    const Us intervalUs = MsToUs(intervalMs);
    for (std::int64_t k = 0; count == 0 || k < count; ++k) {
        // A stalled process skips the readings it missed rather than catching up in a burst.
        k = std::max<std::int64_t>(k, (m_clock.NowUs() - start) / intervalUs);
        if (count != 0 && k >= count)
            break;
        const Us slot = start + k * intervalUs;
        Pause pause(slot);
        Outcome run = Run(pause);
        std::optional<proto::Reply> answer;
        if (run == Outcome::kDone) {
            Query query(proto::CMD_QUERY_STATUS, m_timeoutUs, slot + intervalUs);
            run = Run(query);
            answer = query.Answer();
        }
        if (run != Outcome::kDone) {
            result.outcome = run;
            return result;
        }
        if (!answer) {
            ++result.missed;
            onMissed();
            continue;
        }
        ++result.answered;
        if (!onReading(std::get<proto::StatusReply>(*answer))) {
            result.outcome = Outcome::kInterrupted;
            return result;
        }
    }
    return result;
}

}  // namespace engine
