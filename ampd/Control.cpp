#include "ampd/Control.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/Session.h"

namespace ampd {

bool TokenMatches(const std::string& given, const std::string& token)
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

std::optional<ScpiError> SubmitSetting(const SettingAsk& ask, const Asker& asker, Amplifier& amp, SettingQueue& queue,
    std::function<void(const SettingDone&)> done)
{
    if (!asker.hasControl)
        return kNotAuthorised;
    SettingRequest setting;
    setting.client = asker.client;
    setting.who = asker.who;
    setting.command = asker.command;
    setting.kind = ask.kind;
    setting.value = ask.value;
    if (ask.kind == proto::SettingKind::kCurrent || ask.kind == proto::SettingKind::kPower) {
        // The session reads an entry as the panel reads typed text; the round trip keeps the double.
        char entry[64];
        std::snprintf(entry, sizeof entry, "%.17g", ask.number);
        const bool fits = ask.kind == proto::SettingKind::kCurrent ? engine::CurrentEntryFits(entry)
                                                                    : engine::PowerEntryOnScale(entry);
        if (!fits)
            return kOutOfRange;
        setting.entry = entry;
    }
    if (asker.pending >= kMostPending)
        return kTooManyPending;
    const AmpView view = amp.View();
    if (!view.linkUp)
        return kLinkDown;
    const bool on = ask.kind == proto::SettingKind::kOutput && ask.value == proto::kOutputOn;
    if (on && view.LimitAlarmLatched())
        return kAlarmLatched;
    setting.done = std::move(done);
    queue.Push(std::move(setting));
    return std::nullopt;
}

std::optional<ScpiError> ErrorOf(const SettingDone& done)
{
    switch (done.fate) {
    case Fate::kConfirmed:
        return done.result.Clamped() ? std::optional<ScpiError>(kClamped) : std::nullopt;
    case Fate::kNoAnswer:
    case Fate::kStopped:
    case Fate::kWithdrawn:
        return kNoAnswer;
    case Fate::kExpired:
        return kNotSentInTime;
    case Fate::kNotConfirmed:
        return kNotConfirmed;
    case Fate::kLinkDown:
        return kLinkDown;
    case Fate::kAlarmLatched:
        return kAlarmLatched;
    }
    return kNoAnswer;
}

}  // namespace ampd
