#include "ampctl/Session.h"

#include <algorithm>
#include <variant>

namespace ampctl {

namespace {

constexpr std::int64_t kUsPerMs = 1000;
constexpr std::int64_t kSpacingUs = proto::kFrameSpacingMs * kUsPerMs;

// The raw power scale, 0 ... 65535, in dBm.
constexpr double kLowestPowerDbm = (0 - proto::kPowerRawOffset) / 100.0;
constexpr double kHighestPowerDbm = (65535 - proto::kPowerRawOffset) / 100.0;

// What the C runtime's truncation to 32 bits keeps whole.
constexpr double kBelowInt32 = -2147483649.0;
constexpr double kAboveInt32 = 2147483648.0;

template <class T> struct MemberOf;
template <class R, class F> struct MemberOf<F R::*> {
    using Reply = R;
};

// The field's value when the reply is of the field's type.
template <auto Field> std::optional<std::int32_t> Reported(const proto::Reply& reply)
{
    using R = typename MemberOf<decltype(Field)>::Reply;
    if (const R* r = std::get_if<R>(&reply))
        return r->*Field;
    return std::nullopt;
}

// The decoder reads each field at its frame position whatever LEN says, as the panel must: a reply
// shorter than its type's whole frame would hand ampctl the bytes an earlier frame left behind, so
// here it counts for nothing. The encoder's frames are the whole ones.
bool IsWhole(const proto::RxFramer& framer, const proto::Reply& reply)
{
    const std::size_t received = framer.Byte(2) + std::size_t{3};  // ED FA LEN ... checksum
    return received >= proto::EncodeReply(reply).size();
}

Outcome OutcomeOf(bool stopped, bool failed)
{
    if (failed)
        return Outcome::kLineFailed;
    return stopped ? Outcome::kInterrupted : Outcome::kNoAnswer;
}

}  // namespace

// How one kind of setting goes out and how the amplifier reports it back.
struct SettingPlan {
    std::uint8_t command;
    bool word;  // a 16-bit value, else one byte
    std::uint8_t readBackQuery;
    // The setting's value as the amplifier reports it, in its echo and when read back.
    std::optional<std::int32_t> (*echo)(const proto::Reply&);
    std::optional<std::int32_t> (*readBack)(const proto::Reply&);
};

namespace {

// A typed current always goes with the plain set-current code, as the panel sends it.
constexpr SettingPlan kCurrentPlan{proto::CMD_SET_CURRENT, true, proto::CMD_QUERY_SETTINGS,
    Reported<&proto::TargetCurrentReply::targetCurrentMa>, Reported<&proto::SettingsReply::targetCurrentMa>};
constexpr SettingPlan kPowerPlan{proto::CMD_SET_POWER, true, proto::CMD_QUERY_SETTINGS,
    Reported<&proto::TargetPowerReply::targetPowerRaw>, Reported<&proto::SettingsReply::targetPowerRaw>};
constexpr SettingPlan kModePlan{proto::CMD_SET_MODE, false, proto::CMD_QUERY_SETTINGS,
    Reported<&proto::ModeReply::mode>, Reported<&proto::SettingsReply::mode>};
constexpr SettingPlan kOutputPlan{proto::CMD_SET_OUTPUT, false, proto::CMD_QUERY_OUTPUT,
    Reported<&proto::OutputReply::state>, Reported<&proto::OutputReply::state>};

SettingResult Refused()
{
    SettingResult result;
    result.outcome = Outcome::kRefused;
    return result;
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

Session::Session(ByteStream& line, Clock& clock, const std::atomic<bool>& stop, int timeoutMs)
    : m_line(line), m_clock(clock), m_stop(stop), m_timeoutUs(timeoutMs * kUsPerMs)
{
}

Session::Wait Session::Pump(std::int64_t untilUs, const ReplyHandler& handler, std::atomic<bool>* wake)
{
    std::uint8_t bytes[64];
    for (;;) {
        if (m_stop)
            return Wait::kStopped;
        if (wake && wake->exchange(false))
            return Wait::kWoken;
        const std::int64_t leftUs = untilUs - m_clock.NowUs();
        if (leftUs <= 0)
            return Wait::kTimedOut;
        const std::int64_t waitMs = std::min<std::int64_t>((leftUs + kUsPerMs - 1) / kUsPerMs, kWaitSliceMs);
        const int n = m_line.Read(bytes, sizeof bytes, static_cast<int>(waitMs));
        if (n < 0)
            return Wait::kFailed;
        for (int i = 0; i < n; ++i) {
            const int at = m_framer.Index();
            if (!m_framer.Push(bytes[i])) {
                // Past the LEN byte, the only way back to hunting without a frame is a bad checksum.
                if (m_counters && at >= 3 && m_framer.Index() == 0)
                    ++m_counters->checksumErrors;
                continue;
            }
            const proto::Reply reply = proto::DecodeReply(m_framer);
            // A reply shorter than its type is no answer: its fields beyond its end are an earlier
            // frame's.
            if (!IsWhole(m_framer, reply))
                continue;
            if (m_counters)
                ++m_counters->repliesReceived;
            if (m_observer)
                m_observer(reply);
            if (handler(reply))
                return Wait::kSatisfied;
        }
    }
}

Session::Wait Session::Send(const proto::Frame& frame)
{
    // Settings only ever follow a passed link check; queries are LEN 2.
    if (frame.bytes[2] != 2 && !m_linked)
        return Wait::kFailed;
    if (m_written) {
        const Wait wait = Pump(m_lastWriteUs + kSpacingUs, [](const proto::Reply&) { return false; });
        if (wait != Wait::kTimedOut)
            return wait;
    }
    if (m_stop)
        return Wait::kStopped;
    // Spacing counts from the start of a write, as the panel's wait counts from its hand-over.
    const std::int64_t startUs = m_clock.NowUs();
    if (!m_line.Write(frame.bytes, frame.size))
        return Wait::kFailed;
    m_lastWriteUs = startUs;
    m_written = true;
    if (m_counters)
        ++m_counters->framesSent;
    return Wait::kSatisfied;
}

Session::Wait Session::Ask(std::uint8_t query, const ReplyHandler& handler)
{
    const Wait sent = Send(proto::MakeQueryFrame(query));
    if (sent != Wait::kSatisfied)
        return sent;
    return Pump(m_clock.NowUs() + m_timeoutUs, handler);
}

Outcome Session::CheckLink()
{
    const std::int64_t deadline = m_clock.NowUs() + m_timeoutUs;
    bool settings = false;
    bool output = false;
    const ReplyHandler heard = [&](const proto::Reply& reply) {
        if (const auto* s = std::get_if<proto::SettingsReply>(&reply)) {
            m_amp.settings = *s;
            settings = true;
        } else if (const auto* o = std::get_if<proto::OutputReply>(&reply)) {
            m_amp.output = o->state;
            output = true;
        }
        return settings && output;
    };
    const ReplyHandler hearAll = [&](const proto::Reply& reply) {
        heard(reply);
        return false;
    };

    Wait wait = Wait::kTimedOut;
    while (wait == Wait::kTimedOut && m_clock.NowUs() < deadline) {
        const std::int64_t round = m_clock.NowUs();
        wait = Send(proto::MakeQueryFrame(proto::CMD_QUERY_SETTINGS));
        if (wait == Wait::kSatisfied)
            wait = Pump(m_lastWriteUs + kSpacingUs, hearAll);
        if (wait == Wait::kTimedOut)
            wait = Send(proto::MakeQueryFrame(proto::CMD_QUERY_OUTPUT));
        if (wait == Wait::kSatisfied)
            wait = Pump(std::min(round + kProbePeriodMs * kUsPerMs, deadline), heard);
    }
    m_linked = wait == Wait::kSatisfied;
    return m_linked ? Outcome::kDone : OutcomeOf(wait == Wait::kStopped, wait == Wait::kFailed);
}

Outcome Session::ReadStatus(proto::StatusReply& status)
{
    const Wait wait = Ask(proto::CMD_QUERY_STATUS, [&](const proto::Reply& reply) {
        if (const auto* s = std::get_if<proto::StatusReply>(&reply)) {
            status = *s;
            return true;
        }
        return false;
    });
    return wait == Wait::kSatisfied ? Outcome::kDone : OutcomeOf(wait == Wait::kStopped, wait == Wait::kFailed);
}

SettingResult Session::Apply(const SettingPlan& plan, std::int32_t requested, const Limit& limit)
{
    SettingResult result;
    result.requested = result.sent = requested;
    result.outcome = m_linked ? Outcome::kDone : CheckLink();
    if (result.outcome != Outcome::kDone)
        return result;
    if (limit)
        result.sent = limit(m_amp);
    const proto::Frame frame = plan.word ? proto::MakeWordFrame(plan.command, result.sent)
                                         : proto::MakeByteFrame(plan.command, static_cast<std::uint8_t>(result.sent));

    // An echo of another value than the one sent may answer an earlier frame (a late echo of the
    // setting before), so it ends nothing: the setting is then read back, and what the amplifier
    // reports when asked is final.
    std::optional<std::int32_t> echoed;  // the last echo heard
    const auto listen = [&](bool untilConfirmed) -> ReplyHandler {
        return [&, untilConfirmed](const proto::Reply& reply) {
            if (const auto value = plan.echo(reply))
                echoed = value;
            return untilConfirmed && echoed == result.sent;
        };
    };

    // Twice, as the panel sends a setting; the echo of either counts, the later one last.
    Wait wait = Send(frame);
    if (wait == Wait::kSatisfied)
        wait = Pump(m_lastWriteUs + kSpacingUs, listen(false));
    if (wait == Wait::kTimedOut)
        wait = Send(frame);
    if (wait == Wait::kSatisfied)
        wait = Pump(m_lastWriteUs + kSpacingUs, listen(true));
    if (wait == Wait::kSatisfied || (wait == Wait::kTimedOut && echoed == result.sent)) {
        result.confirmedBy = Confirmation::kEcho;
        return result;
    }
    std::optional<std::int32_t> readBack;
    if (wait == Wait::kTimedOut)
        wait = Ask(plan.readBackQuery, [&](const proto::Reply& reply) {
            readBack = plan.readBack(reply);
            return readBack.has_value();
        });
    if (wait == Wait::kStopped || wait == Wait::kFailed) {
        result.outcome = OutcomeOf(wait == Wait::kStopped, wait == Wait::kFailed);
        return result;
    }
    if (readBack == result.sent) {
        result.confirmedBy = Confirmation::kReadBack;
        return result;
    }
    result.held = readBack ? readBack : echoed;
    result.outcome = Outcome::kNotConfirmed;
    return result;
}

SettingResult Session::SetCurrent(const char* entry)
{
    if (!CurrentEntryFits(entry))
        return Refused();
    return Apply(kCurrentPlan, proto::TruncateToInt32(proto::ParseLeadingNumber(entry)),
        [entry](const AmpSettings& amp) { return proto::CurrentEntryToMilliamps(entry, amp.settings.maxCurrentMa); });
}

SettingResult Session::SetPower(const char* entry)
{
    if (!PowerEntryOnScale(entry))
        return Refused();
    return Apply(kPowerPlan, proto::PowerEntryToRaw(entry), {});
}

SettingResult Session::SetMode(std::uint8_t mode)
{
    return Apply(kModePlan, mode, {});
}

SettingResult Session::SetOutput(std::uint8_t state)
{
    return Apply(kOutputPlan, state, {});
}

void Session::SetTimeoutMs(int timeoutMs)
{
    m_timeoutUs = timeoutMs * kUsPerMs;
}

Outcome Session::Listen(std::int64_t untilUs, std::atomic<bool>& wake)
{
    const Wait wait = Pump(
        untilUs, [](const proto::Reply&) { return false; }, &wake);
    if (wait == Wait::kTimedOut || wait == Wait::kWoken)
        return Outcome::kDone;
    return OutcomeOf(wait == Wait::kStopped, wait == Wait::kFailed);
}

WatchResult Session::Watch(int intervalMs, int count, const std::function<bool(const proto::StatusReply&)>& onReading,
    const std::function<void()>& onMissed)
{
    WatchResult result;
    const std::int64_t start = m_clock.NowUs();
    const std::int64_t intervalUs = intervalMs * kUsPerMs;
    const ReplyHandler ignore = [](const proto::Reply&) { return false; };
    for (std::int64_t k = 0; count == 0 || k < count; ++k) {
        // A stalled process skips the readings it missed rather than catching up in a burst.
        k = std::max(k, (m_clock.NowUs() - start) / intervalUs);
        if (count != 0 && k >= count)
            break;
        const std::int64_t slot = start + k * intervalUs;
        proto::StatusReply status;
        Wait wait = Pump(slot, ignore);
        if (wait == Wait::kTimedOut)
            wait = Send(proto::MakeQueryFrame(proto::CMD_QUERY_STATUS));
        if (wait == Wait::kSatisfied)
            wait = Pump(std::min(slot + intervalUs, m_clock.NowUs() + m_timeoutUs), [&](const proto::Reply& reply) {
                const auto* s = std::get_if<proto::StatusReply>(&reply);
                if (s)
                    status = *s;
                return s != nullptr;
            });
        if (wait == Wait::kSatisfied) {
            ++result.answered;
            if (!onReading(status)) {
                result.outcome = Outcome::kInterrupted;
                return result;
            }
        } else if (wait == Wait::kTimedOut) {
            ++result.missed;
            onMissed();
        } else {
            result.outcome = OutcomeOf(wait == Wait::kStopped, wait == Wait::kFailed);
            return result;
        }
    }
    return result;
}

}  // namespace ampctl
