#include "ampctl/SerialLink.h"

namespace ampctl {

SerialLink::SerialLink(ByteStream& line, Clock& clock, const std::atomic<bool>& stop, int timeoutMs)
    : m_session(line, clock, stop, timeoutMs)
{
}

Outcome SerialLink::Status(AmpSettings& amp, proto::StatusReply& status)
{
    Outcome outcome = m_session.CheckLink();
    if (outcome == Outcome::kDone)
        outcome = m_session.ReadStatus(status);
    amp = m_session.Amp();
    return outcome;
}

WatchResult SerialLink::Watch(int intervalMs, int count, const ReadingHandler& onReading, const MissedHandler& onMissed)
{
    return m_session.Watch(intervalMs, count, onReading, [&] { onMissed(Outcome::kNoAnswer); });
}

SettingResult SerialLink::Set(SettingKind kind, const std::string& value)
{
    switch (kind) {
    case SettingKind::kCurrent:
        return m_session.SetCurrent(value.c_str());
    case SettingKind::kPower:
        return m_session.SetPower(value.c_str());
    case SettingKind::kMode:
        return m_session.SetMode(value == "acc" ? proto::kModeAcc : proto::kModeApc);
    default:
        return m_session.SetOutput(value == "on" ? proto::kOutputOn : proto::kOutputOff);
    }
}

}  // namespace ampctl
