// A setting asked by a client, whatever the interface: checked as every interface checks it before
// it may reach the line (control rights, the value's range, the link, a latched alarm), then queued.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ampd/Amplifier.h"
#include "engine/SettingQueue.h"
#include "scpi/Errors.h"

namespace ampd {

using engine::Fate;
using engine::SettingDone;
using engine::SettingQueue;
using engine::SettingRequest;

// The errors ampd reports, SCPI's and its own, under the names the server's code has for them.
using ScpiError = scpi::Error;
using scpi::kAlarmLatched;
using scpi::kClamped;
using scpi::kLinkDown;
using scpi::kNoAnswer;
using scpi::kNotAuthorised;
using scpi::kNotConfirmed;
using scpi::kNotSentInTime;
using scpi::kStale;
using scpi::kTooManyClients;
using scpi::kTooManyPending;
using scpi::kTooMuchData;
// A setting's value beyond what the amplifier takes is SCPI's data out of range.
inline constexpr scpi::KnownError kOutOfRange = scpi::kDataOutOfRange;

inline std::string FormatScpiError(const ScpiError& error)
{
    return scpi::FormatError(error);
}

// Who may change the amplifier.
struct Access {
    bool tokenRequired = false;  // false only on loopback without a token file
    std::string token;
};

// Failed authentications across all clients: each makes the next answer to its client wait
// longer, so guessing the token is slow whatever the number of connections.
class AuthThrottle {
public:
    static constexpr int kBaseDelayMs = 500;
    static constexpr int kLongestDelayMs = 8000;
    int Failed();  // the delay before the failing client is answered again, ms
    void Succeeded();

private:
    int m_recentFailures = 0;
};

// Whether a client's token is the server's, compared in constant time.
bool TokenMatches(const std::string& given, const std::string& token);

struct SettingAsk {
    proto::SettingKind kind = proto::SettingKind::kOutput;
    double number = 0;       // current (mA) or power (dBm)
    std::uint8_t value = 0;  // mode or output, wire value
};

// Settings a client may have asked and not yet had the outcome of.
constexpr int kMostPending = 8;

struct Asker {
    std::uint64_t client = 0;
    std::string who;      // for the audit: the client's address
    std::string command;  // as written, printable
    bool hasControl = false;
    int pending = 0;  // its settings asked and not yet done with
};

// Queues the setting, or returns why it was refused (then nothing is queued and done is not called).
std::optional<ScpiError> SubmitSetting(const SettingAsk& ask, const Asker& asker, Amplifier& amp, SettingQueue& queue,
    std::function<void(const SettingDone&)> done);

// What became of a queued setting, as an error to report (none when confirmed as sent).
std::optional<ScpiError> ErrorOf(const SettingDone& done);

}  // namespace ampd
