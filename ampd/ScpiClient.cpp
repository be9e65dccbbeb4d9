#include "ampd/ScpiClient.h"

#include <cstdio>
#include <utility>
#include <variant>

#include "ampctl/Report.h"

namespace ampd {

namespace {

// What a query answers when there is nothing to answer with yet (SCPI's "not a number").
constexpr const char* kNothingYet = "9.91E+37";

std::string Milliamps(const std::optional<std::uint16_t>& value)
{
    return value ? std::to_string(*value) : kNothingYet;
}

std::string PowerDbm(std::int32_t raw)
{
    return ampctl::Hundredths(raw - proto::kPowerRawOffset);
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
    return alarm.name + " " + value + " " + ampctl::IsoUtc(alarm.time);
}

bool SameToken(const std::string& given, const std::string& token)
{
    // Every byte of the longer one is looked at, whatever matches: the time says nothing of the token.
    const std::size_t n = std::max(given.size(), token.size());
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < token.size() ? static_cast<unsigned char>(token[i]) : 0;
        differ |= static_cast<unsigned char>(a ^ b);
    }
    return differ == 0 && !token.empty();
}

std::string Outcome(const ScpiError& error)
{
    return "refused: " + FormatScpiError(error);
}

}  // namespace

int AuthThrottle::Failed()
{
    ++m_recentFailures;
    int delay = kBaseDelayMs;
    for (int i = 1; i < m_recentFailures && delay < kLongestDelayMs; ++i)
        delay *= 2;
    return std::min(delay, kLongestDelayMs);
}

void AuthThrottle::Succeeded()
{
    m_recentFailures = 0;
}

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
    const AmpView view = m_amp.View();
    if (request.query)
        Query(request, view);
    else if (request.command == ScpiCommand::kAuthenticate)
        Authenticate(request);
    else
        Set(request, view);
    return true;
}

void ScpiClient::Query(const ScpiRequest& request, const AmpView& view)
{
    const std::optional<proto::StatusReply>& r = view.reading;
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
        answer = r ? PowerDbm(r->inputPowerRaw) : kNothingYet;
        break;
    case ScpiCommand::kMeasureOutput:
        answer = r ? PowerDbm(r->outputPowerRaw) : kNothingYet;
        break;
    case ScpiCommand::kMeasureTemperature:
        answer = r ? ampctl::Hundredths(r->temperatureRaw) : kNothingYet;
        break;
    case ScpiCommand::kMeasureAll:
        answer = r ? std::to_string(r->currentMa) + "," + PowerDbm(r->inputPowerRaw) + "," + PowerDbm(r->outputPowerRaw)
                + "," + ampctl::Hundredths(r->temperatureRaw)
                   : std::string(kNothingYet) + "," + kNothingYet + "," + kNothingYet + "," + kNothingYet;
        break;
    case ScpiCommand::kCurrent:
        answer = Milliamps(view.targetCurrentMa);
        break;
    case ScpiCommand::kCurrentMaximum:
        answer = Milliamps(view.maxCurrentMa);
        break;
    case ScpiCommand::kPower:
        answer = view.targetPowerRaw ? PowerDbm(*view.targetPowerRaw) : kNothingYet;
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
    if (SameToken(request.token, m_access.token)) {
        m_authenticated = true;
        m_throttle.Succeeded();
        m_host.Audit(request.text, "control given");
        return;
    }
    m_authenticated = false;
    Queue(ScpiError{kNotAuthorisedCode, "Not authorised"});
    m_host.Audit(request.text, "refused: wrong token");
    // Nothing more from this client is answered until the delay has passed.
    m_throttled = true;
    m_host.After(m_throttle.Failed(), [this] {
        m_throttled = false;
        Run();
    });
}

void ScpiClient::Set(const ScpiRequest& request, const AmpView& view)
{
    const auto refuse = [&](const ScpiError& error) {
        Queue(error);
        m_host.Audit(request.text, Outcome(error));
    };
    if (!HasControl())
        return refuse(ScpiError{kNotAuthorisedCode, "Not authorised"});
    if (request.command == ScpiCommand::kAlarmClear) {
        m_amp.ClearAlarms();
        m_host.Audit(request.text, "cleared");
        return;
    }
    SettingRequest setting;
    setting.client = m_id;
    setting.who = m_address;
    setting.command = request.text;
    switch (request.command) {
    case ScpiCommand::kCurrent: {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%.17g", request.number.value_or(0));
        if (!ampctl::CurrentEntryFits(entry))
            return refuse(ScpiError{-222, "Data out of range"});
        setting.kind = ampctl::SettingKind::kCurrent;
        setting.entry = entry;
        break;
    }
    case ScpiCommand::kPower: {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%.17g", request.number.value_or(0));
        if (!ampctl::PowerEntryOnScale(entry))
            return refuse(ScpiError{-222, "Data out of range"});
        setting.kind = ampctl::SettingKind::kPower;
        setting.entry = entry;
        break;
    }
    case ScpiCommand::kMode:
        setting.kind = ampctl::SettingKind::kMode;
        setting.value = request.mode.value_or(proto::kModeAcc);
        break;
    case ScpiCommand::kOutput:
        setting.kind = ampctl::SettingKind::kOutput;
        setting.value = request.on.value_or(false) ? proto::kOutputOn : proto::kOutputOff;
        break;
    default:
        return Queue(ScpiError{-113, "Undefined header"});
    }
    if (!view.linkUp)
        return refuse(ScpiError{kLinkDownCode, "Link down"});
    const bool on = setting.kind == ampctl::SettingKind::kOutput && setting.value == proto::kOutputOn;
    if (on && view.LimitAlarmLatched())
        return refuse(ScpiError{kAlarmLatchedCode, "Alarm latched"});

    ++m_pending;
    const Poster post = m_post;
    setting.done = [this, post](const SettingDone& done) { post([this, done] { Done(done); }); };
    m_queue.Push(std::move(setting));
}

// Back on the client's thread: the outcome goes to the error queue, and what waited for it runs.
void ScpiClient::Done(const SettingDone& done)
{
    --m_pending;
    switch (done.fate) {
    case Fate::kConfirmed:
        if (done.result.Clamped())
            Queue(kClamped);
        break;
    case Fate::kNoAnswer:
    case Fate::kStopped:
        Queue(ScpiError{kNoAnswerCode, "No answer from the amplifier"});
        break;
    case Fate::kNotConfirmed:
        Queue(ScpiError{kNotConfirmedCode, "Setting not confirmed"});
        break;
    case Fate::kLinkDown:
        Queue(ScpiError{kLinkDownCode, "Link down"});
        break;
    case Fate::kAlarmLatched:
        Queue(ScpiError{kAlarmLatchedCode, "Alarm latched"});
        break;
    }
    Run();
}

}  // namespace ampd
