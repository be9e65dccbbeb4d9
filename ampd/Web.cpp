#include "ampd/Web.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "protocol/Units.h"

namespace ampd {

namespace {

using nlohmann::json;

double Dbm(std::int32_t raw)
{
    return (raw - proto::kPowerRawOffset) / 100.0;
}

json Optional(const std::optional<std::uint16_t>& value)
{
    return value ? json(*value) : json(nullptr);
}

json AlarmObject(const Alarm& alarm)
{
    return json{{"name", alarm.name}, {"value", alarm.value}, {"time", proto::IsoUtc(alarm.time)}};
}

long long EpochMs(WallTime t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// One gauge or counter, with its help line and type; the value as the wire gives it (hundredths
// in two places, so 33.39 is not written 33.390000000000001).
void Metric(std::string& out, const char* name, const char* type, const char* help, const std::string& value)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " + value
        + "\n";
}

void Metric(std::string& out, const char* name, const char* type, const char* help, std::uint64_t value)
{
    Metric(out, name, type, help, std::to_string(value));
}

}  // namespace

std::string StateJson(const AmpView& view, bool tokenRequired)
{
    json state;
    const std::optional<proto::StatusReply>& r = view.reading;
    state["current_ma"] = r ? json(r->currentMa) : json(nullptr);
    state["input_dbm"] = r ? json(Dbm(r->inputPowerRaw)) : json(nullptr);
    state["output_dbm"] = r ? json(Dbm(r->outputPowerRaw)) : json(nullptr);
    state["temperature_c"] = r ? json(r->temperatureRaw / 100.0) : json(nullptr);
    state["target_current_ma"] = Optional(view.targetCurrentMa);
    state["max_current_ma"] = Optional(view.maxCurrentMa);
    state["target_power_dbm"] = view.targetPowerRaw ? json(Dbm(*view.targetPowerRaw)) : json(nullptr);
    state["mode"] = !view.mode          ? json(nullptr)
        : *view.mode == proto::kModeAcc ? json("acc")
        : *view.mode == proto::kModeApc ? json("apc")
                                        : json(nullptr);
    state["output"] = !view.output          ? json(nullptr)
        : *view.output == proto::kOutputOn  ? json("on")
        : *view.output == proto::kOutputOff ? json("off")
                                            : json(nullptr);
    state["link"] = view.linkUp ? "up" : "down";
    json alarms = json::array();
    for (const Alarm& alarm : view.alarms)
        alarms.push_back(AlarmObject(alarm));
    state["alarms"] = alarms;
    state["time"] = r ? json(proto::IsoUtc(view.readingTime)) : json(nullptr);
    state["control"] = tokenRequired ? "token" : "open";
    return state.dump();
}

std::string AlarmJson(const Alarm& alarm)
{
    return AlarmObject(alarm).dump();
}

std::string TrendJson(const std::vector<TrendPoint>& trend)
{
    json points = json::array();
    for (const TrendPoint& p : trend)
        points.push_back(json::array({EpochMs(p.time), p.reading.currentMa, Dbm(p.reading.inputPowerRaw),
            Dbm(p.reading.outputPowerRaw), p.reading.temperatureRaw / 100.0}));
    return json{{"points", points}}.dump();
}

std::string MetricsText(const AmpView& view, const Metrics& m)
{
    std::string out;
    if (const std::optional<proto::StatusReply>& r = view.reading) {
        Metric(out, "amp_pump_current_milliamps", "gauge", "Pump current, last reading.", r->currentMa);
        Metric(out, "amp_input_power_dbm", "gauge", "Optical input power, last reading.", proto::PowerText(r->inputPowerRaw));
        Metric(
            out, "amp_output_power_dbm", "gauge", "Optical output power, last reading.", proto::PowerText(r->outputPowerRaw));
        Metric(out, "amp_diode_temperature_celsius", "gauge", "Pump diode temperature, last reading.",
            proto::Hundredths(r->temperatureRaw));
    }
    if (view.targetCurrentMa)
        Metric(out, "amp_target_current_milliamps", "gauge", "Target pump current.", *view.targetCurrentMa);
    if (view.targetPowerRaw)
        Metric(out, "amp_target_power_dbm", "gauge", "Target output power.", proto::PowerText(*view.targetPowerRaw));
    if (view.output)
        Metric(out, "amp_output_on", "gauge", "1 while the amplifier reports its output on.",
            std::uint64_t{*view.output == proto::kOutputOn ? 1u : 0u});
    Metric(out, "amp_link_up", "gauge", "1 while the amplifier answers.", std::uint64_t{view.linkUp ? 1u : 0u});
    out += "# HELP amp_alarm 1 while the alarm is latched.\n# TYPE amp_alarm gauge\n";
    for (const char* name : {"MAX-TEMP", "MIN-INPUT", "MAX-OUTPUT", "MAX-CURRENT", "LINK"}) {
        bool latched = false;
        for (const Alarm& alarm : view.alarms)
            latched = latched || alarm.name == name;
        out += std::string("amp_alarm{name=\"") + name + "\"} " + (latched ? "1" : "0") + "\n";
    }
    Metric(out, "amp_frames_sent_total", "counter", "Frames written to the amplifier.", m.line.framesSent.load());
    Metric(out, "amp_frames_received_total", "counter", "Whole, checked replies from the amplifier.",
        m.line.repliesReceived.load());
    Metric(out, "amp_checksum_errors_total", "counter", "Reply frames dropped for a wrong checksum.",
        m.line.checksumErrors.load());
    Metric(out, "amp_settings_confirmed_total", "counter", "Settings the amplifier confirmed.",
        m.settingsConfirmed.load());
    Metric(out, "amp_settings_failed_total", "counter", "Settings not confirmed, refused or unanswered.",
        m.settingsFailed.load());
    Metric(out, "amp_clients_total", "counter", "Client connections accepted, SCPI and HTTP.", m.clientsTotal.load());
    Metric(out, "amp_clients", "gauge", "Client connections open now.", std::to_string(m.clientsConnected.load()));
    return out;
}

}  // namespace ampd
