// What ampctl prints: status, readings and setting results as short text, JSON or CSV. Values are
// formatted from the wire's integers, so 0.01 dBm steps print exactly.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "ampctl/Session.h"
#include "protocol/Replies.h"

namespace ampctl {

enum class Format { kText, kJson, kCsv };

enum class SettingKind { kCurrent, kPower, kMode, kOutput };

constexpr const char* kCsvHeader = "time,current_ma,input_dbm,output_dbm,temperature_c";

// Hundredths as a decimal with two places: -1 -> "-0.01".
std::string Hundredths(std::int32_t hundredths);
// ISO 8601, UTC, milliseconds: "2024-05-31T08:15:02.250Z".
std::string IsoUtc(std::chrono::system_clock::time_point t);

// Readings, setpoints, mode and output; no trailing newline.
std::string StatusReport(const AmpSettings& amp, const proto::StatusReply& status, Format format);
// One reading of watch, one line without its newline.
std::string ReadingLine(const std::string& time, const proto::StatusReply& status, Format format);
// A confirmed setting.
std::string SettingReport(SettingKind kind, const SettingResult& result, Format format);
// The value of a setting for messages: "1200 mA", "20.50 dBm", "APC", "ON".
std::string SettingValue(SettingKind kind, std::int32_t value);

}  // namespace ampctl
