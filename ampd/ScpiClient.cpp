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
    for (scpi::Item& item : scpi::ParseLine(line))
        m_waiting.push_back(std::move(item));
    Run();
}

void ScpiClient::Run()
{
    while (!m_waiting.empty() && !m_throttled) {
        if (const ScpiError* error = std::get_if<ScpiError>(&m_waiting.front())) {
            Queue(*error);
        } else if (!Execute(std::get<scpi::Request>(m_waiting.front()))) {
            return;
        }
        m_waiting.pop_front();
    }
}

void ScpiClient::Queue(const ScpiError& error)
{
    // A full queue keeps its oldest errors; its last place tells that some were lost.
    if (m_errors.size() >= kMaxErrors) {
        m_errors.back() = scpi::kQueueOverflow;
        return;
    }
    m_errors.push_back(error);
}

bool ScpiClient::Execute(const scpi::Request& request)
{
    if (request.command == scpi::Command::kOperationComplete && m_pending > 0)
        return false;  // comes back once the last pending setting is done
    if (request.query)
        Query(request, m_amp.View());
    else if (request.command == scpi::Command::kAuthenticate)
        Authenticate(request);
    else
        Set(request);
    return true;
}

void ScpiClient::Query(const scpi::Request& request, const AmpView& view)
{
    // A reading only while it is live; a setpoint as last reported, said to be stale while the
    // link is down.
    const std::optional<proto::StatusReply>& r = view.live;
    switch (request.command) {
    case scpi::Command::kMeasureCurrent:
    case scpi::Command::kMeasureInput:
    case scpi::Command::kMeasureOutput:
    case scpi::Command::kMeasureTemperature:
    case scpi::Command::kMeasureAll:
        if (!r)
            Queue(kStale);
        break;
    case scpi::Command::kCurrent:
    case scpi::Command::kCurrentMaximum:
    case scpi::Command::kPower:
    case scpi::Command::kMode:
    case scpi::Command::kOutput:
        if (!view.linkUp)
            Queue(kStale);
        break;
    default:
        break;
    }
    std::string answer;
    switch (request.command) {
    case scpi::Command::kIdentify:
        answer = "Lumacore,AMP-10W,0," + m_version;
        break;
    case scpi::Command::kOperationComplete:
        answer = "1";
        break;
    case scpi::Command::kMeasureCurrent:
        answer = r ? std::to_string(r->currentMa) : kNothingYet;
        break;
    case scpi::Command::kMeasureInput:
        answer = r ? proto::PowerText(r->inputPowerRaw) : kNothingYet;
        break;
    case scpi::Command::kMeasureOutput:
        answer = r ? proto::PowerText(r->outputPowerRaw) : kNothingYet;
        break;
    case scpi::Command::kMeasureTemperature:
        answer = r ? proto::Hundredths(r->temperatureRaw) : kNothingYet;
        break;
    case scpi::Command::kMeasureAll:
        answer = r ? std::to_string(r->currentMa) + "," + proto::PowerText(r->inputPowerRaw) + ","
                + proto::PowerText(r->outputPowerRaw) + "," + proto::Hundredths(r->temperatureRaw)
                   : std::string(kNothingYet) + "," + kNothingYet + "," + kNothingYet + "," + kNothingYet;
        break;
    case scpi::Command::kCurrent:
        answer = Milliamps(view.targetCurrentMa);
        break;
    case scpi::Command::kCurrentMaximum:
        answer = Milliamps(view.maxCurrentMa);
        break;
    case scpi::Command::kPower:
        answer = view.targetPowerRaw ? proto::PowerText(*view.targetPowerRaw) : kNothingYet;
        break;
    case scpi::Command::kMode:
        answer = !view.mode                 ? "NONE"
            : *view.mode == proto::kModeAcc ? "ACC"
            : *view.mode == proto::kModeApc ? "APC"
                                            : "NONE";
        break;
    case scpi::Command::kOutput:
        answer = view.output ? std::to_string(*view.output == proto::kOutputOn ? 1 : 0) : kNothingYet;
        break;
    case scpi::Command::kError:
        if (m_errors.empty()) {
            answer = FormatScpiError(scpi::kNoError);
        } else {
            answer = FormatScpiError(m_errors.front());
            m_errors.pop_front();
        }
        break;
    case scpi::Command::kLink:
        answer = view.linkUp ? "UP" : "DOWN";
        break;
    case scpi::Command::kAlarm:
        for (const Alarm& alarm : view.alarms)
            answer += (answer.empty() ? "" : ";") + AlarmLine(alarm);
        if (answer.empty())
            answer = "NONE";
        break;
    default:
        Queue(scpi::kUndefinedHeader);
        return;
    }
    m_host.Send(answer);
}

void ScpiClient::Authenticate(const scpi::Request& request)
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

void ScpiClient::Set(const scpi::Request& request)
{
    if (request.command == scpi::Command::kAlarmClear) {
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
    case scpi::Command::kCurrent:
        ask.kind = proto::SettingKind::kCurrent;
        ask.number = request.number.value_or(0);
        break;
    case scpi::Command::kPower:
        ask.kind = proto::SettingKind::kPower;
        ask.number = request.number.value_or(0);
        break;
    case scpi::Command::kMode:
        ask.kind = proto::SettingKind::kMode;
        ask.value = request.mode.value_or(proto::kModeAcc);
        break;
    case scpi::Command::kOutput:
        ask.kind = proto::SettingKind::kOutput;
        ask.value = request.on.value_or(false) ? proto::kOutputOn : proto::kOutputOff;
        break;
    default:
        Queue(scpi::kUndefinedHeader);
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
