#include "ampd/ScpiClient.h"

#include <cstdio>
#include <utility>
#include <variant>

#include "protocol/Units.h"

namespace ampd {

namespace {

// What a query answers when there is nothing to answer with yet (SCPI's "not a number").
constexpr const char* kNothingYet = "9.91E+37";

std::string Milliamps(const std::optional<std::uint16_t>& value)
{
    return value ? std::to_string(*value) : kNothingYet;
}

std::string AlarmLine(const Alarm& alarm)
{
    char value[32];
    if (alarm.name == "MAX-CURRENT")
        std::snprintf(value, sizeof value, "%.0f", alarm.value);
    else if (alarm.name == "LINK")
        std::snprintf(value, sizeof value, "%.1f", alarm.value);
    else
        std::snprintf(value, sizeof value, "%.2f", alarm.value);
    return alarm.name + " " + value + " " + proto::IsoUtc(alarm.time);
}

}  // namespace

ScpiClient::ScpiClient(std::uint64_t id, std::string address, Amplifier& amp, SettingQueue& queue, const Access& access,
    AuthThrottle& throttle, ClientHost& host, Poster post, std::string version)
    : m_id(id), m_address(std::move(address)), m_post(std::move(post)), m_amp(amp), m_queue(queue), m_access(access),
      m_throttle(throttle), m_host(host), m_version(std::move(version))
{
}

void ScpiClient::Line(std::string_view line)
{
    for (ScpiItem& item : ParseScpiLine(line))
        m_waiting.push_back(std::move(item));
    Run();
}

void ScpiClient::Run()
{
    while (!m_waiting.empty() && !m_throttled) {
        if (const ScpiError* error = std::get_if<ScpiError>(&m_waiting.front())) {
            Queue(*error);
        } else if (!Execute(std::get<ScpiRequest>(m_waiting.front()))) {
            return;
        }
        m_waiting.pop_front();
    }
}

void ScpiClient::Queue(const ScpiError& error)
{
    // A full queue keeps its oldest errors; its last place tells that some were lost.
    if (m_errors.size() >= kMaxErrors) {
        m_errors.back() = ScpiError{-350, "Queue overflow"};
        return;
    }
    m_errors.push_back(error);
}

bool ScpiClient::Execute(const ScpiRequest& request)
{
    if (request.command == ScpiCommand::kOperationComplete && m_pending > 0)
        return false;  // comes back once the last pending setting is done
    if (request.query)
        Query(request, m_amp.View());
    else if (request.command == ScpiCommand::kAuthenticate)
        Authenticate(request);
    else
        Set(request);
    return true;
}

void ScpiClient::Query(const ScpiRequest& request, const AmpView& view)
{
    // A reading only while it is live; a setpoint as last reported, said to be stale while the
    // link is down.
    const std::optional<proto::StatusReply>& r = view.live;
    switch (request.command) {
    case ScpiCommand::kMeasureCurrent:
    case ScpiCommand::kMeasureInput:
    case ScpiCommand::kMeasureOutput:
    case ScpiCommand::kMeasureTemperature:
    case ScpiCommand::kMeasureAll:
        if (!r)
            Queue(kStale);
        break;
    case ScpiCommand::kCurrent:
    case ScpiCommand::kCurrentMaximum:
    case ScpiCommand::kPower:
    case ScpiCommand::kMode:
    case ScpiCommand::kOutput:
        if (!view.linkUp)
            Queue(kStale);
        break;
    default:
        break;
    }
    std::string answer;
    switch (request.command) {
    case ScpiCommand::kIdentify:
        answer = "Lumacore,AMP-10W,0," + m_version;
        break;
    case ScpiCommand::kOperationComplete:
        answer = "1";
        break;
    case ScpiCommand::kMeasureCurrent:
        answer = r ? std::to_string(r->currentMa) : kNothingYet;
        break;
    case ScpiCommand::kMeasureInput:
        answer = r ? proto::PowerText(r->inputPowerRaw) : kNothingYet;
        break;
    case ScpiCommand::kMeasureOutput:
        answer = r ? proto::PowerText(r->outputPowerRaw) : kNothingYet;
        break;
    case ScpiCommand::kMeasureTemperature:
        answer = r ? proto::Hundredths(r->temperatureRaw) : kNothingYet;
        break;
    case ScpiCommand::kMeasureAll:
        answer = r ? std::to_string(r->currentMa) + "," + proto::PowerText(r->inputPowerRaw) + "," + proto::PowerText(r->outputPowerRaw)
                + "," + proto::Hundredths(r->temperatureRaw)
                   : std::string(kNothingYet) + "," + kNothingYet + "," + kNothingYet + "," + kNothingYet;
        break;
    case ScpiCommand::kCurrent:
        answer = Milliamps(view.targetCurrentMa);
        break;
    case ScpiCommand::kCurrentMaximum:
        answer = Milliamps(view.maxCurrentMa);
        break;
    case ScpiCommand::kPower:
        answer = view.targetPowerRaw ? proto::PowerText(*view.targetPowerRaw) : kNothingYet;
        break;
    case ScpiCommand::kMode:
        answer = !view.mode                 ? "NONE"
            : *view.mode == proto::kModeAcc ? "ACC"
            : *view.mode == proto::kModeApc ? "APC"
                                            : "NONE";
        break;
    case ScpiCommand::kOutput:
        answer = view.output ? std::to_string(*view.output == proto::kOutputOn ? 1 : 0) : kNothingYet;
        break;
    case ScpiCommand::kError:
        if (m_errors.empty()) {
            answer = "0,\"No error\"";
        } else {
            answer = FormatScpiError(m_errors.front());
            m_errors.pop_front();
        }
        break;
    case ScpiCommand::kLink:
        answer = view.linkUp ? "UP" : "DOWN";
        break;
    case ScpiCommand::kAlarm:
        for (const Alarm& alarm : view.alarms)
            answer += (answer.empty() ? "" : ";") + AlarmLine(alarm);
        if (answer.empty())
            answer = "NONE";
        break;
    default:
        Queue(ScpiError{-113, "Undefined header"});
        return;
    }
    m_host.Send(answer);
}

void ScpiClient::Authenticate(const ScpiRequest& request)
{
    // Without a token file every client has control already: a script that sends its token anyway
    // is not refused for it.
    if (!m_access.tokenRequired || TokenMatches(request.token, m_access.token)) {
        m_authenticated = true;
        m_throttle.Succeeded();
        m_host.Audit(request.text, "control given");
        return;
    }
    m_authenticated = false;
    Queue(kNotAuthorised);
    m_host.Audit(request.text, "refused: wrong token");
    // Nothing more from this client is answered until the delay has passed.
    m_throttled = true;
    m_host.After(m_throttle.Failed(), [this] {
        m_throttled = false;
        Run();
    });
}

void ScpiClient::Set(const ScpiRequest& request)
{
    if (request.command == ScpiCommand::kAlarmClear) {
        if (!HasControl()) {
            Queue(kNotAuthorised);
            m_host.Audit(request.text, "refused: " + FormatScpiError(kNotAuthorised));
            return;
        }
        m_amp.ClearAlarms();
        m_host.Audit(request.text, "cleared");
        return;
    }
    SettingAsk ask;
    switch (request.command) {
    case ScpiCommand::kCurrent:
        ask.kind = proto::SettingKind::kCurrent;
        ask.number = request.number.value_or(0);
        break;
    case ScpiCommand::kPower:
        ask.kind = proto::SettingKind::kPower;
        ask.number = request.number.value_or(0);
        break;
    case ScpiCommand::kMode:
        ask.kind = proto::SettingKind::kMode;
        ask.value = request.mode.value_or(proto::kModeAcc);
        break;
    case ScpiCommand::kOutput:
        ask.kind = proto::SettingKind::kOutput;
        ask.value = request.on.value_or(false) ? proto::kOutputOn : proto::kOutputOff;
        break;
    default:
        Queue(ScpiError{-113, "Undefined header"});
        return;
    }
    const Poster post = m_post;
    const Asker asker{m_id, m_address, request.text, HasControl(), m_pending};
    const std::optional<ScpiError> refused = SubmitSetting(
        ask, asker, m_amp, m_queue, [this, post](const SettingDone& done) { post([this, done] { Done(done); }); });
    if (refused) {
        Queue(*refused);
        m_host.Audit(request.text, "refused: " + FormatScpiError(*refused));
        return;
    }
    ++m_pending;
}

// Back on the client's thread: the outcome goes to the error queue, and what waited for it runs.
void ScpiClient::Done(const SettingDone& done)
{
    --m_pending;
    if (const std::optional<ScpiError> error = ErrorOf(done))
        Queue(*error);
    Run();
}

}  // namespace ampd
