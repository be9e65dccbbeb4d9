#include "engine/Guard.h"

#include <cmath>
#include <cstdlib>

namespace engine {

namespace {

struct Rule {
    const char* name;
    std::optional<double> GuardLimits::*limit;
};

constexpr Rule kRules[] = {
    {"max-temp", &GuardLimits::maxTempC},
    {"min-input", &GuardLimits::minInputDbm},
    {"max-output", &GuardLimits::maxOutputDbm},
    {"max-current", &GuardLimits::maxCurrentMa},
};

bool ParseNumber(const std::string& text, double& value)
{
    if (text.empty() || text.size() > 32)
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value)
        && text.find_first_of("xXnNiI") == std::string::npos;  // no hexadecimal, nan or inf
}

// Counts a poll: true when it is broken and so are enough of the last few.
bool Counted(bool broken, unsigned& recent)
{
    recent = ((recent << 1) | (broken ? 1u : 0u)) & ((1u << Guard::kPollsLooked) - 1);
    int count = 0;
    for (unsigned bits = recent; bits != 0; bits >>= 1)
        count += static_cast<int>(bits & 1u);
    return broken && count >= Guard::kPollsBroken;
}

}  // namespace

bool ParseGuardRules(const std::string& rules, GuardLimits& limits, std::string& error)
{
    limits = GuardLimits();
    std::size_t start = 0;
    while (start <= rules.size()) {
        const std::size_t comma = std::min(rules.find(',', start), rules.size());
        const std::string item = rules.substr(start, comma - start);
        start = comma + 1;
        const std::size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        const Rule* rule = nullptr;
        for (const Rule& r : kRules)
            if (name == r.name)
                rule = &r;
        if (!rule) {
            error = "unknown limit '" + name + "' (max-temp, min-input, max-output, max-current)";
            return false;
        }
        double value = 0;
        if (equals == std::string::npos || !ParseNumber(item.substr(equals + 1), value)) {
            error = name + " needs a number, as " + name + "=45";
            return false;
        }
        if (limits.*(rule->limit)) {
            error = name + " given twice";
            return false;
        }
        limits.*(rule->limit) = value;
    }
    return true;
}

std::vector<Breach> Guard::Check(const proto::StatusReply& r)
{
    const double temp = r.temperatureRaw * 0.01;
    const double input = (r.inputPowerRaw - proto::kPowerRawOffset) * 0.01;
    const double output = (r.outputPowerRaw - proto::kPowerRawOffset) * 0.01;
    const double current = r.currentMa;
    std::vector<Breach> breaches;
    const auto check
        = [&](const std::optional<double>& limit, bool broken, unsigned& recent, const char* name, double value) {
              if (limit && Counted(broken, recent))
                  breaches.push_back(Breach{name, value});
          };
    check(m_limits.maxTempC, m_limits.maxTempC && temp > *m_limits.maxTempC, m_recent.temp, "MAX-TEMP", temp);
    check(m_limits.minInputDbm, m_limits.minInputDbm && input < *m_limits.minInputDbm, m_recent.input, "MIN-INPUT",
        input);
    check(m_limits.maxOutputDbm, m_limits.maxOutputDbm && output > *m_limits.maxOutputDbm, m_recent.output,
        "MAX-OUTPUT", output);
    check(m_limits.maxCurrentMa, m_limits.maxCurrentMa && current > *m_limits.maxCurrentMa, m_recent.current,
        "MAX-CURRENT", current);
    return breaches;
}

void Guard::Forget()
{
    m_recent = Recent();
}

}  // namespace engine
