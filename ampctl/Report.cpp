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

std::string PowerDbm(std::int32_t raw)
{
    return Hundredths(raw - proto::kPowerRawOffset);
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

std::string Hundredths(std::int32_t hundredths)
{
    const long long magnitude = hundredths < 0 ? -static_cast<long long>(hundredths) : hundredths;
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", hundredths < 0 ? "-" : "", magnitude / 100, magnitude % 100);
    return text;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string IsoUtc(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const long long msOfDay = ((ms % 86400000) + 86400000) % 86400000;
    // Civil date from days since 1970-01-01 (the proleptic Gregorian calendar).
    const long long z = (ms - msOfDay) / 86400000 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month, day,
        msOfDay / 3600000, msOfDay / 60000 % 60, msOfDay / 1000 % 60, msOfDay % 1000);
    return text;
}

std::string StatusReport(const AmpSettings& amp, const proto::StatusReply& status, Format format)
{
    const proto::SettingsReply& s = amp.settings;
    if (format == Format::kJson)
        return JsonObject(
            {{"current_ma", std::to_string(status.currentMa)}, {"input_dbm", PowerDbm(status.inputPowerRaw)},
                {"output_dbm", PowerDbm(status.outputPowerRaw)}, {"temperature_c", Hundredths(status.temperatureRaw)},
                {"target_current_ma", std::to_string(s.targetCurrentMa)},
                {"max_current_ma", std::to_string(s.maxCurrentMa)}, {"target_power_dbm", PowerDbm(s.targetPowerRaw)},
                {"mode", JsonName(ModeName(s.mode))}, {"output", JsonName(OutputName(amp.output))}});
    return "pump current  " + std::to_string(status.currentMa) + " mA (target " + std::to_string(s.targetCurrentMa)
        + " mA, max " + std::to_string(s.maxCurrentMa) + " mA)\n" + "input power   " + PowerDbm(status.inputPowerRaw)
        + " dBm\n" + "output power  " + PowerDbm(status.outputPowerRaw) + " dBm (target " + PowerDbm(s.targetPowerRaw)
        + " dBm)\n" + "temperature   " + Hundredths(status.temperatureRaw) + " C\n" + "mode          "
        + TextName(ModeName(s.mode), s.mode) + "\n" + "output        " + TextName(OutputName(amp.output), amp.output);
}

std::string ReadingLine(const std::string& time, const proto::StatusReply& status, Format format)
{
    const std::string current = std::to_string(status.currentMa);
    const std::string input = PowerDbm(status.inputPowerRaw);
    const std::string output = PowerDbm(status.outputPowerRaw);
    const std::string temperature = Hundredths(status.temperatureRaw);
    switch (format) {
    case Format::kJson:
        return JsonObject({{"time", "\"" + time + "\""}, {"current_ma", current}, {"input_dbm", input},
            {"output_dbm", output}, {"temperature_c", temperature}});
    case Format::kCsv:
        return time + "," + current + "," + input + "," + output + "," + temperature;
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
        return PowerDbm(value) + " dBm";
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
        fields = {{"target_power_dbm", PowerDbm(result.sent)}};
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
