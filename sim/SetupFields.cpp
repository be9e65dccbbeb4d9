#include "sim/SetupFields.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

bool ParseInt(const std::string& text, long min, long max, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    value = v;
    return true;
}

bool ParseReal(const std::string& text, double min, double max, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max)
        return false;
    value = v;
    return true;
}

namespace {

std::string Fixed2(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

std::string Range(long min, long max)
{
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string RealRange(double min, double max)
{
    return "a number from " + Fixed2(min) + " to " + Fixed2(max);
}

template <long kMin, long kMax> std::string ApplyInt(const std::string& text, int& field)
{
    long v = 0;
    if (!ParseInt(text, kMin, kMax, v))
        return "expected " + Range(kMin, kMax) + ", got '" + text + "'";
    field = static_cast<int>(v);
    return {};
}

// Power in dBm, held in raw units; the raw scale spans -70.00 ... +585.35 dBm.
std::string ApplyPower(const std::string& text, int& raw)
{
    double dBm = 0;
    if (!ParseReal(text, -70.0, 585.35, dBm))
        return "expected dBm as " + RealRange(-70.0, 585.35) + ", got '" + text + "'";
    raw = PowerRawFromDbm(dBm);
    return {};
}

// One of two names, held as its wire value.
std::string ApplyChoice(const std::string& text, const char* first, std::uint8_t firstValue, const char* second,
    std::uint8_t secondValue, std::uint8_t& field)
{
    if (text == first)
        field = firstValue;
    else if (text == second)
        field = secondValue;
    else
        return std::string("expected ") + first + " or " + second + ", got '" + text + "'";
    return {};
}

std::string ShowPower(int raw)
{
    return Fixed2(DbmFromPowerRaw(raw));
}

const std::vector<SetupField> kFields = {
    {"max-current", "MA", "highest pump current the unit allows (1..65535)",
        [](AmpSetup& s, const std::string& t) { return ApplyInt<1, 65535>(t, s.maxCurrent); },
        [](const AmpSetup& s) { return std::to_string(s.maxCurrent); }},
    {"target-current", "MA", "ACC target pump current (0..max-current)",
        [](AmpSetup& s, const std::string& t) { return ApplyInt<0, 65535>(t, s.targetCurrent); },
        [](const AmpSetup& s) { return std::to_string(s.targetCurrent); }},
    {"target-power", "DBM", "APC target output power (min-power..max-power)",
        [](AmpSetup& s, const std::string& t) { return ApplyPower(t, s.targetPowerRaw); },
        [](const AmpSetup& s) { return ShowPower(s.targetPowerRaw); }},
    {"min-power", "DBM", "lowest target power accepted; lower requests are raised to it",
        [](AmpSetup& s, const std::string& t) { return ApplyPower(t, s.minPowerRaw); },
        [](const AmpSetup& s) { return ShowPower(s.minPowerRaw); }},
    {"max-power", "DBM", "highest target power accepted; higher requests are lowered to it",
        [](AmpSetup& s, const std::string& t) { return ApplyPower(t, s.maxPowerRaw); },
        [](const AmpSetup& s) { return ShowPower(s.maxPowerRaw); }},
    {"mode", "acc|apc", "working mode: constant current or constant power",
        [](AmpSetup& s, const std::string& t) {
            return ApplyChoice(t, "acc", proto::kModeAcc, "apc", proto::kModeApc, s.mode);
        },
        [](const AmpSetup& s) { return std::string(s.mode == proto::kModeAcc ? "acc" : "apc"); }},
    {"output", "on|off", "output state",
        [](AmpSetup& s, const std::string& t) {
            return ApplyChoice(t, "on", proto::kOutputOn, "off", proto::kOutputOff, s.output);
        },
        [](const AmpSetup& s) { return std::string(s.output == proto::kOutputOn ? "on" : "off"); }},
    {"input-dbm", "DBM", "optical input power (-70..40)",
        [](AmpSetup& s, const std::string& t) {
            return ParseReal(t, -70.0, 40.0, s.inputDbm) ? std::string()
                                                         : "expected " + RealRange(-70.0, 40.0) + ", got '" + t + "'";
        },
        [](const AmpSetup& s) { return Fixed2(s.inputDbm); }},
    {"ambient-c", "C", "ambient temperature the diode settles from (-40..150)",
        [](AmpSetup& s, const std::string& t) {
            return ParseReal(t, -40.0, 150.0, s.ambientC) ? std::string()
                                                          : "expected " + RealRange(-40.0, 150.0) + ", got '" + t + "'";
        },
        [](const AmpSetup& s) { return Fixed2(s.ambientC); }},
    {"selector", "N", "current-command selector reported in settings byte 17 (0..255)",
        [](AmpSetup& s, const std::string& t) {
            int v = 0;
            std::string error = ApplyInt<0, 255>(t, v);
            if (error.empty())
                s.selector = static_cast<std::uint8_t>(v);
            return error;
        },
        [](const AmpSetup& s) { return std::to_string(s.selector); }},
    {"ramp-ma-per-s", "RATE", "pump current slew limit in mA/s (0.1..1000000)",
        [](AmpSetup& s, const std::string& t) {
            return ParseReal(t, 0.1, 1e6, s.rampMaPerS) ? std::string()
                                                        : "expected " + RealRange(0.1, 1e6) + ", got '" + t + "'";
        },
        [](const AmpSetup& s) { return Fixed2(s.rampMaPerS); }},
    {"latency-ms", "MS", "delay from a command's last byte to its reply (0..60000)",
        [](AmpSetup& s, const std::string& t) { return ApplyInt<0, 60000>(t, s.latencyMs); },
        [](const AmpSetup& s) { return std::to_string(s.latencyMs); }},
};

}  // namespace

const std::vector<SetupField>& SetupFields()
{
    return kFields;
}

const SetupField* FindSetupField(const std::string& name)
{
    for (const SetupField& f : kFields)
        if (name == f.name)
            return &f;
    return nullptr;
}

std::string CheckSetup(const AmpSetup& s)
{
    if (s.targetCurrent > s.maxCurrent)
        return "target-current " + std::to_string(s.targetCurrent) + " is above max-current "
            + std::to_string(s.maxCurrent);
    if (s.minPowerRaw > s.maxPowerRaw)
        return "min-power " + ShowPower(s.minPowerRaw) + " is above max-power " + ShowPower(s.maxPowerRaw);
    if (s.targetPowerRaw < s.minPowerRaw || s.targetPowerRaw > s.maxPowerRaw)
        return "target-power " + ShowPower(s.targetPowerRaw) + " is outside min-power " + ShowPower(s.minPowerRaw)
            + " .. max-power " + ShowPower(s.maxPowerRaw);
    return {};
}

}  // namespace sim
