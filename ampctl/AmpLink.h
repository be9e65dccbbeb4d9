// The amplifier as a command reaches it: on its serial port through the session (SerialLink), or
// through ampd, the server that owns the port (ServerSession). Both give the same records in wire
// units, so the commands, what they print and their exit codes are one code. Platform-free.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ampctl/Report.h"
#include "ampctl/Outcome.h"

namespace ampctl {

class AmpLink {
public:
    using ReadingHandler = std::function<bool(const proto::StatusReply&)>;
    // Why a reading was skipped: kNoAnswer, or kLinkDown through ampd.
    using MissedHandler = std::function<void(Outcome why)>;

    virtual ~AmpLink() = default;

    // The settings, the output and one reading.
    virtual Outcome Status(AmpSettings& amp, proto::StatusReply& status) = 0;
    // A reading every intervalMs counted from the start; count 0 runs until a stop request.
    // onReading returning false ends it as a stop request does.
    virtual WatchResult Watch(int intervalMs, int count, const ReadingHandler& onReading, const MissedHandler& onMissed)
        = 0;
    // value: the command's argument, checked: a decimal number for a current or a power, acc|apc,
    // on|off.
    virtual SettingResult Set(SettingKind kind, const std::string& value) = 0;
    // The amplifier's highest current, as last learnt: what a clamped current was clamped to.
    virtual std::int32_t MaxCurrentMa() const = 0;
    virtual Outcome Alarms(std::vector<LatchedAlarm>& alarms) = 0;
    virtual Outcome ClearAlarms() = 0;
    // The last failure in words where only this link can tell it (ampd's), else empty.
    virtual std::string Fault() const { return {}; }
};

}  // namespace ampctl
