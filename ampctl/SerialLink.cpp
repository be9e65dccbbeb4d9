#include "ampctl/SerialLink.h"

namespace ampctl {

Outcome FromEngine(engine::Outcome outcome)
{
    switch (outcome) {
    case engine::Outcome::kDone:
        return Outcome::kDone;
    case engine::Outcome::kNoAnswer:
        return Outcome::kNoAnswer;
    case engine::Outcome::kNotConfirmed:
        return Outcome::kNotConfirmed;
    case engine::Outcome::kRefused:
        return Outcome::kRefused;
    case engine::Outcome::kInterrupted:
        return Outcome::kInterrupted;
    case engine::Outcome::kLineFailed:
        break;
    }
    return Outcome::kLineFailed;
}

SettingResult FromEngine(const engine::SettingResult& result)
{
    SettingResult out;
    out.outcome = FromEngine(result.outcome);
    out.requested = result.requested;
    out.sent = result.sent;
    out.confirmedBy = result.confirmedBy == engine::Confirmation::kEcho ? Confirmation::kEcho
        : result.confirmedBy == engine::Confirmation::kReadBack         ? Confirmation::kReadBack
                                                                        : Confirmation::kNone;
    out.held = result.held;
    return out;
}

WatchResult FromEngine(const engine::WatchResult& result)
{
    return WatchResult{FromEngine(result.outcome), result.answered, result.missed};
}

SerialLink::SerialLink(engine::ByteStream& line, engine::Clock& clock, const std::atomic<bool>& stop, int timeoutMs)
    : m_session(line, clock, stop, timeoutMs)
{
}

Outcome SerialLink::Status(AmpSettings& amp, proto::StatusReply& status)
{
    engine::Outcome outcome = m_session.CheckLink();
    if (outcome == engine::Outcome::kDone)
        outcome = m_session.ReadStatus(status);
    amp = m_session.Amp();
    return FromEngine(outcome);
}

WatchResult SerialLink::Watch(int intervalMs, int count, const ReadingHandler& onReading, const MissedHandler& onMissed)
{
    return FromEngine(m_session.Watch(intervalMs, count, onReading, [&] { onMissed(Outcome::kNoAnswer); }));
}

SettingResult SerialLink::Set(SettingKind kind, const std::string& value)
{
    switch (kind) {
    case SettingKind::kCurrent:
        return FromEngine(m_session.SetCurrent(value.c_str()));
    case SettingKind::kPower:
        return FromEngine(m_session.SetPower(value.c_str()));
    case SettingKind::kMode:
        return FromEngine(m_session.SetMode(value == "acc" ? proto::kModeAcc : proto::kModeApc));
    default:
        return FromEngine(m_session.SetOutput(value == "on" ? proto::kOutputOn : proto::kOutputOff));
    }
}

}  // namespace ampctl
