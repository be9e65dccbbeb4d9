#include "sim/Control.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "protocol/Replies.h"
#include "sim/SetupFields.h"
#include "sim/Text.h"

namespace sim {

namespace {

std::string Num(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::string Error(const std::string& why)
{
    return "error: " + why;
}

std::string Set(const std::vector<std::string>& w, SimTime now, Engine& engine)
{
    if (w.size() != 3)
        return Error("usage: set NAME VALUE");
    const SetupField* field = FindSetupField(w[1]);
    if (field == nullptr)
        return Error("unknown field '" + w[1] + "'");
    AmpModel& model = engine.Model();
    model.AdvanceTo(now);
    AmpSetup next = model.Setup();
    const std::string why = field->apply(next, w[2]);
    if (!why.empty())
        return Error(w[1] + ": " + why);
    // What the command line refuses is refused here too, and nothing changes; only the panel's
    // own commands are held to the limits.
    const std::string conflict = CheckSetup(next);
    if (!conflict.empty())
        return Error(conflict);
    model.ChangeSetup(next);
    const std::string held = field->show(model.Setup());
    engine.Log().Event(now, "set " + w[1] + " " + held);
    return "ok " + w[1] + " " + held;
}

std::string FaultClear(const std::vector<std::string>& w, SimTime now, Engine& engine)
{
    FaultSet& faults = engine.Faults();
    if (w.size() == 2) {
        faults.ClearAll();
        engine.Log().Event(now, "fault clear");
        return "ok fault clear";
    }
    FaultKind kind;
    if (w.size() != 3 || !ParseFaultKind(w[2], kind))
        return Error("usage: fault clear [KIND]");
    faults.Clear(kind);
    engine.Log().Event(now, "fault clear " + w[2]);
    return "ok fault clear " + w[2];
}

std::string Fault(const std::vector<std::string>& w, SimTime now, Engine& engine)
{
    if (w.size() < 2)
        return Error("usage: fault KIND [VALUE] [N|on] or fault clear [KIND]");
    if (w[1] == "clear")
        return FaultClear(w, now, engine);
    FaultKind kind;
    if (!ParseFaultKind(w[1], kind))
        return Error("unknown fault '" + w[1] + "'");

    std::size_t next = 2;
    long value = 0;
    const char* valueName = FaultValueName(kind);
    if (valueName != nullptr) {
        const long max = kind == FaultKind::kSelector ? 255 : 60000;
        if (w.size() <= next || !ParseInt(w[next], 0, max, value))
            return Error("fault " + w[1] + " needs " + valueName + " from 0 to " + std::to_string(max));
        ++next;
    }
    long count = 1;
    if (w.size() > next) {
        if (w[next] == "on")
            count = FaultSet::kUntilCleared;
        else if (!ParseInt(w[next], 1, 1000000, count))
            return Error("fault count must be 1 to 1000000 or 'on', got '" + w[next] + "'");
        ++next;
    }
    if (w.size() > next)
        return Error("unexpected '" + w[next] + "'");

    engine.Faults().Set(kind, static_cast<int>(value), static_cast<int>(count));
    std::string text = std::string("fault ") + w[1];
    if (valueName != nullptr)
        text += " " + std::to_string(value);
    text += count == FaultSet::kUntilCleared ? " on" : " " + std::to_string(count);
    engine.Log().Event(now, text);
    return "ok " + text;
}

std::string Unplug(SimTime now, LineControl& line)
{
    if (!line.Plugged())
        return Error("already unplugged");
    const std::string why = line.Unplug(now);
    return why.empty() ? "ok unplugged" : Error(why);
}

std::string Replug(SimTime now, LineControl& line)
{
    if (line.Plugged())
        return Error("already plugged");
    const std::string why = line.Replug(now);
    return why.empty() ? "ok line " + line.LinePath() : Error(why);
}

// Every command but a bare state; the reply as plain text, not yet made printable.
std::string Execute(const std::vector<std::string>& w, SimTime now, Engine& engine, LineControl& line)
{
    if (w.empty())
        return Error("empty command");
    const std::string& verb = w[0];
    const bool bare = w.size() == 1;
    if (verb == "set")
        return Set(w, now, engine);
    if (verb == "fault")
        return Fault(w, now, engine);
    if (verb == "unplug" && bare)
        return Unplug(now, line);
    if (verb == "replug" && bare)
        return Replug(now, line);
    if (verb == "hold" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        const std::string why = line.Hold(now, w[1] == "on");
        return why.empty() ? "ok hold " + w[1] : Error(why);
    }
    if (verb == "hold")
        return Error("hold takes on or off");
    if (verb == "announce") {
        long ma = 0;
        if (w.size() != 3 || w[1] != "target-current" || !ParseInt(w[2], 0, 65535, ma))
            return Error("announce takes target-current and a current from 0 to 65535");
        engine.Announce(now, proto::EncodeReply(proto::TargetCurrentReply{static_cast<std::uint16_t>(ma)}));
        engine.Log().Event(now, "announce target-current " + w[2]);
        return "ok announce target-current " + w[2];
    }
    if (verb == "quit" && bare) {
        line.Quit(now);
        return "ok quit";
    }
    if (verb == "state" || verb == "unplug" || verb == "replug" || verb == "quit")
        return Error(verb + " takes no arguments");
    return Error("unknown command '" + verb + "'");
}

}  // namespace

std::string StateJson(Engine& engine, SimTime now, const LineControl& line)
{
    AmpModel& model = engine.Model();
    model.AdvanceTo(now);
    const AmpSetup& s = model.Setup();
    const StatusRaw status = model.Status();
    const FrameCounts& n = engine.Counts();

    std::string j = "{";
    j += "\"time\":" + FormatTime(now);
    j += ",\"plugged\":" + std::string(line.Plugged() ? "true" : "false");
    j += ",\"line\":" + JsonString(line.LinePath());
    j += ",\"link\":" + JsonString(line.LinkPath());
    j += ",\"mode\":\"" + std::string(s.mode == proto::kModeAcc ? "acc" : "apc") + "\"";
    j += ",\"output\":\"" + std::string(s.output == proto::kOutputOn ? "on" : "off") + "\"";
    j += ",\"target_current_ma\":" + std::to_string(s.targetCurrent);
    j += ",\"current_ma\":" + std::to_string(status.currentMa);
    j += ",\"max_current_ma\":" + std::to_string(s.maxCurrent);
    j += ",\"target_power_dbm\":" + Num(DbmFromPowerRaw(s.targetPowerRaw));
    j += ",\"target_power_raw\":" + std::to_string(s.targetPowerRaw);
    j += ",\"min_power_dbm\":" + Num(DbmFromPowerRaw(s.minPowerRaw));
    j += ",\"max_power_dbm\":" + Num(DbmFromPowerRaw(s.maxPowerRaw));
    j += ",\"input_dbm\":" + Num(DbmFromPowerRaw(status.inputPowerRaw));
    j += ",\"input_raw\":" + std::to_string(status.inputPowerRaw);
    j += ",\"output_dbm\":" + Num(DbmFromPowerRaw(status.outputPowerRaw));
    j += ",\"output_raw\":" + std::to_string(status.outputPowerRaw);
    j += ",\"temperature_c\":" + Num(status.temperatureRaw * 0.01);
    j += ",\"temperature_raw\":" + std::to_string(status.temperatureRaw);
    j += ",\"ambient_c\":" + Num(s.ambientC);
    j += ",\"selector\":" + std::to_string(s.selector);
    j += ",\"ramp_ma_per_s\":" + Num(s.rampMaPerS);
    j += ",\"latency_ms\":" + std::to_string(s.latencyMs);
    j += ",\"faults\":" + engine.Faults().Json();
    j += ",\"frames\":{\"rx\":" + std::to_string(n.rx) + ",\"rx_bad\":" + std::to_string(n.rxBad)
        + ",\"tx\":" + std::to_string(n.tx) + "}";
    const std::string& logError = engine.Log().WriteError();
    j += ",\"log_error\":" + (logError.empty() ? std::string("null") : JsonString(logError));
    return j + "}";
}

std::string ExecuteControl(const std::string& command, SimTime now, Engine& engine, LineControl& line)
{
    const std::vector<std::string> w = Words(command);
    if (w.size() == 1 && w[0] == "state")
        return StateJson(engine, now, line);
    // The other replies echo what came in (names, values, paths): made printable in one place.
    return PrintableText(Execute(w, now, engine, line));
}

}  // namespace sim
