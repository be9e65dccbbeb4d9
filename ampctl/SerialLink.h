// The amplifier on its serial port: the session's link check, queries and settings behind the
// interface the commands use. Platform-free: it talks through a ByteStream and a Clock.

#pragma once

#include "ampctl/AmpLink.h"

namespace ampctl {

class SerialLink : public AmpLink {
public:
    SerialLink(engine::ByteStream& line, engine::Clock& clock, const std::atomic<bool>& stop, int timeoutMs);

    Outcome Status(AmpSettings& amp, proto::StatusReply& status) override;
    WatchResult Watch(
        int intervalMs, int count, const ReadingHandler& onReading, const MissedHandler& onMissed) override;
    SettingResult Set(SettingKind kind, const std::string& value) override;
    std::int32_t MaxCurrentMa() const override { return m_session.Amp().settings.maxCurrentMa; }
    // Only ampd latches alarms; the commands refuse these before a port is opened.
    Outcome Alarms(std::vector<LatchedAlarm>&) override { return Outcome::kRefused; }
    Outcome ClearAlarms() override { return Outcome::kRefused; }

private:
    engine::Session m_session;
};

}  // namespace ampctl
