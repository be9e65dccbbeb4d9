#include "ampctl/Report.h"

#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

namespace ampctl {

namespace {

using Fields = std::vector<std::pair<const char*, std::string>>;

std::string JsonObject(const Fields& fields)
{
    std::string out = "{";
    for (const auto& [key, value] : fields) {
        if (out.size() > 1)
            out += ',';
        out += '"';
        out += key;
        out += "\":";
        out += value;
    }
    return out + "}";
}

// Wire names of the mode and the output state; nullptr for a value outside them.
const char* ModeName(std::int32_t mode)
{
    return mode == proto::kModeAcc ? "acc" : mode == proto::kModeApc ? "apc" : nullptr;
}

const char* OutputName(std::int32_t state)
{
    return state == proto::kOutputOn ? "on" : state == proto::kOutputOff ? "off" : nullptr;
}

std::string JsonName(const char* name)
{
    return name ? std::string("\"") + name + "\"" : "null";
}

std::string TextName(const char* name, std::int32_t value)
{
    if (!name)
        return "unknown (" + std::to_string(value) + ")";
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

}  // namespace

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string StatusReport(const AmpSettings& amp, const proto::StatusReply& status, Format format)
{
    const proto::SettingsReply& s = amp.settings;
    if (format == Format::kJson)
        return JsonObject(
            {{"current_ma", std::to_string(status.currentMa)}, {"input_dbm", proto::PowerText(status.inputPowerRaw)},
                {"output_dbm", proto::PowerText(status.outputPowerRaw)}, {"temperature_c", proto::Hundredths(status.temperatureRaw)},
                {"target_current_ma", std::to_string(s.targetCurrentMa)},
                {"max_current_ma", std::to_string(s.maxCurrentMa)}, {"target_power_dbm", proto::PowerText(s.targetPowerRaw)},
                {"mode", JsonName(ModeName(s.mode))}, {"output", JsonName(OutputName(amp.output))}});
    return "pump current  " + std::to_string(status.currentMa) + " mA (target " + std::to_string(s.targetCurrentMa)
        + " mA, max " + std::to_string(s.maxCurrentMa) + " mA)\n" + "input power   " + proto::PowerText(status.inputPowerRaw)
        + " dBm\n" + "output power  " + proto::PowerText(status.outputPowerRaw) + " dBm (target " + proto::PowerText(s.targetPowerRaw)
        + " dBm)\n" + "temperature   " + proto::Hundredths(status.temperatureRaw) + " C\n" + "mode          "
        + TextName(ModeName(s.mode), s.mode) + "\n" + "output        " + TextName(OutputName(amp.output), amp.output);
}

std::string ReadingLine(const std::string& time, const proto::StatusReply& status, Format format)
{
    const std::string current = std::to_string(status.currentMa);
    const std::string input = proto::PowerText(status.inputPowerRaw);
    const std::string output = proto::PowerText(status.outputPowerRaw);
    const std::string temperature = proto::Hundredths(status.temperatureRaw);
    switch (format) {
    case Format::kJson:
        return JsonObject({{"time", "\"" + time + "\""}, {"current_ma", current}, {"input_dbm", input},
            {"output_dbm", output}, {"temperature_c", temperature}});
    case Format::kCsv:
        return proto::ReadingCsv(time, status);
    default:
        return time + "  " + current + " mA  in " + input + " dBm  out " + output + " dBm  " + temperature + " C";
    }
}

std::string SettingValue(SettingKind kind, std::int32_t value)
{
    switch (kind) {
    case SettingKind::kCurrent:
        return std::to_string(value) + " mA";
    case SettingKind::kPower:
        return proto::PowerText(value) + " dBm";
    case SettingKind::kMode:
        return TextName(ModeName(value), value);
    default:
        return TextName(OutputName(value), value);
    }
}

std::string SettingReport(SettingKind kind, const SettingResult& result, Format format)
{
    const Confirmation by = result.confirmedBy;
    if (format != Format::kJson) {
        static const char* const kWhat[] = {"target current", "target power", "mode", "output"};
        return std::string(kWhat[static_cast<int>(kind)]) + " " + SettingValue(kind, result.sent)
            + (by == Confirmation::kEcho          ? ", confirmed by the amplifier's echo"
                    : by == Confirmation::kServer ? ", confirmed by ampd"
                                                  : ", confirmed by reading it back");
    }
    Fields fields;
    switch (kind) {
    case SettingKind::kCurrent:
        fields = {{"target_current_ma", std::to_string(result.sent)},
            {"requested_ma", std::to_string(result.requested)}, {"clamped", result.Clamped() ? "true" : "false"}};
        break;
    case SettingKind::kPower:
        fields = {{"target_power_dbm", proto::PowerText(result.sent)}};
        break;
    case SettingKind::kMode:
        fields = {{"mode", JsonName(ModeName(result.sent))}};
        break;
    default:
        fields = {{"output", JsonName(OutputName(result.sent))}};
        break;
    }
    fields.push_back({"confirmed_by",
        by == Confirmation::kEcho         ? "\"echo\""
            : by == Confirmation::kServer ? "\"ampd\""
                                          : "\"readback\""});
    return JsonObject(fields);
}

std::string AlarmsReport(const std::vector<LatchedAlarm>& alarms, Format format)
{
    std::string out;
    for (const LatchedAlarm& alarm : alarms) {
        if (format == Format::kJson)
            out += (out.empty() ? "" : ",")
                + JsonObject(
                    {{"name", "\"" + alarm.name + "\""}, {"value", alarm.value}, {"time", "\"" + alarm.time + "\""}});
        else
            out += (out.empty() ? "" : "\n") + alarm.name + " " + alarm.value + " " + alarm.time;
    }
    return format == Format::kJson ? "[" + out + "]" : out;
}

std::string AlarmsClearedReport(Format format)
{
    return format == Format::kJson ? JsonObject({{"cleared", "true"}}) : "alarms cleared";
}

}  // namespace ampctl
