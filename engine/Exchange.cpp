#include "engine/Exchange.h"

#include <algorithm>
#include <variant>

namespace engine {

void StepExchange::Start(Us now)
{
    Begin(First(now), now);
}

void StepExchange::Begin(const std::optional<Step>& step, Us now)
{
    if (!step) {
        m_phase = Phase::kDone;
        return;
    }
    m_step = *step;
    if (m_step.frame) {
        m_phase = Phase::kSending;
        return;
    }
    m_phase = Phase::kListening;
    m_listenUntil = std::min(Later(now, m_step.listenUs), m_step.untilUs);
}

const proto::Frame* StepExchange::Pending() const
{
    return m_phase == Phase::kSending ? &*m_step.frame : nullptr;
}

void StepExchange::Written(Us now)
{
    if (m_phase != Phase::kSending)
        return;
    m_phase = Phase::kListening;
    m_listenUntil = std::min(Later(now, m_step.listenUs), m_step.untilUs);
}

void StepExchange::Heard(const proto::Reply& reply, Us now)
{
    if (m_phase == Phase::kListening && Hear(reply))
        Begin(Then(true, now), now);
}

void StepExchange::Tick(Us now)
{
    while (m_phase == Phase::kListening && now >= m_listenUntil)
        Begin(Then(false, now), now);
}

Us StepExchange::WakeUs() const
{
    return m_phase == Phase::kListening ? m_listenUntil : kNever;
}

// --- the link check

StepExchange::Step LinkCheck::First(Us now)
{
    m_deadline = Later(now, m_timeoutUs);
    return Round(now);
}

StepExchange::Step LinkCheck::Round(Us now)
{
    m_round = now;
    m_outputStep = false;
    return Step{proto::MakeQueryFrame(proto::CMD_QUERY_SETTINGS), kSpacingUs, kNever};
}

std::optional<StepExchange::Step> LinkCheck::Then(bool satisfied, Us now)
{
    if (!m_outputStep) {
        m_outputStep = true;
        return Step{proto::MakeQueryFrame(proto::CMD_QUERY_OUTPUT), kNever, std::min(m_round + kProbePeriodUs, m_deadline)};
    }
    if (satisfied) {
        m_linked = true;
        return std::nullopt;
    }
    if (now < m_deadline)
        return Round(now);
    return std::nullopt;
}

bool LinkCheck::Hear(const proto::Reply& reply)
{
    if (const auto* s = std::get_if<proto::SettingsReply>(&reply)) {
        m_amp.settings = *s;
        m_settings = true;
    } else if (const auto* o = std::get_if<proto::OutputReply>(&reply)) {
        m_amp.output = o->state;
        m_output = true;
    }
    return m_outputStep && m_settings && m_output;
}

// --- a query

StepExchange::Step Query::First(Us)
{
    return Step{proto::MakeQueryFrame(m_code), m_timeoutUs, m_untilUs};
}

std::optional<StepExchange::Step> Query::Then(bool, Us)
{
    return std::nullopt;
}

bool Query::Hear(const proto::Reply& reply)
{
    const bool answers = (m_code == proto::CMD_QUERY_STATUS && std::holds_alternative<proto::StatusReply>(reply))
        || (m_code == proto::CMD_QUERY_SETTINGS && std::holds_alternative<proto::SettingsReply>(reply))
        || (m_code == proto::CMD_QUERY_OUTPUT && std::holds_alternative<proto::OutputReply>(reply));
    if (answers)
        m_answer = reply;
    return answers;
}

// --- a setting

Setting::Setting(proto::SettingKind kind, std::int32_t requested, std::int32_t sent, Us readBackUs)
    : m_kind(kind), m_frame(proto::MakeSettingFrame(kind, sent)), m_readBackUs(readBackUs)
{
    m_result.outcome = Outcome::kDone;
    m_result.requested = requested;
    m_result.sent = sent;
}

StepExchange::Step Setting::First(Us)
{
    m_stage = Stage::kFirst;
    return Step{m_frame, kSpacingUs, kNever};
}

std::optional<StepExchange::Step> Setting::Then(bool satisfied, Us)
{
    switch (m_stage) {
    case Stage::kFirst:
        // Twice, as the panel sends a setting; the echo of either counts, the later one last.
        m_stage = Stage::kSecond;
        return Step{m_frame, kSpacingUs, kNever};
    case Stage::kSecond:
        if (satisfied || m_echoed == m_result.sent) {
            m_result.confirmedBy = Confirmation::kEcho;
            return std::nullopt;
        }
        m_stage = Stage::kReadBack;
        return Step{proto::MakeQueryFrame(proto::FindCommand(m_frame.bytes[3])->readBack), m_readBackUs, kNever};
    case Stage::kReadBack:
        break;
    }
    if (m_readBack == m_result.sent) {
        m_result.confirmedBy = Confirmation::kReadBack;
    } else {
        m_result.held = m_readBack ? m_readBack : m_echoed;
        m_result.outcome = Outcome::kNotConfirmed;
    }
    return std::nullopt;
}

bool Setting::Hear(const proto::Reply& reply)
{
    if (m_stage == Stage::kReadBack) {
        m_readBack = proto::ReadBackValue(m_kind, reply);
        return m_readBack.has_value();
    }
    if (const auto value = proto::EchoedValue(m_kind, reply))
        m_echoed = value;
    return m_stage == Stage::kSecond && m_echoed == m_result.sent;
}

}  // namespace engine
