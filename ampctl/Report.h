// What ampctl prints: status, readings and setting results as short text, JSON or CSV. Values are
// formatted from the wire's integers, so 0.01 dBm steps print exactly.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ampctl/Outcome.h"
#include "protocol/Commands.h"
#include "protocol/Replies.h"
#include "protocol/Units.h"

namespace ampctl {

enum class Format { kText, kJson, kCsv };

using SettingKind = proto::SettingKind;

// An alarm ampd has latched, as it reports it; each field checked for its form, kept as text.
struct LatchedAlarm {
    std::string name;   // MIN-INPUT
    std::string value;  // a decimal number: -40.00
    std::string time;   // ISO 8601 UTC: 2024-05-31T08:15:02.250Z
};

// A time for messages: "2 s", "0.5 s".
std::string Seconds(double seconds);

// Readings, setpoints, mode and output; no trailing newline.
std::string StatusReport(const AmpSettings& amp, const proto::StatusReply& status, Format format);
// One reading of watch, one line without its newline.
std::string ReadingLine(const std::string& time, const proto::StatusReply& status, Format format);
// A confirmed setting.
std::string SettingReport(SettingKind kind, const SettingResult& result, Format format);
// The latched alarms: one a line as NAME VALUE TIME (nothing when none), or a JSON array.
std::string AlarmsReport(const std::vector<LatchedAlarm>& alarms, Format format);
// The alarms were cleared.
std::string AlarmsClearedReport(Format format);
// The value of a setting for messages: "1200 mA", "20.50 dBm", "APC", "ON".
std::string SettingValue(SettingKind kind, std::int32_t value);

}  // namespace ampctl
