// The line engine's vocabulary: time in microseconds, what became of a conversation with the
// amplifier, what a setting came to, what the link check learnt, and what crossed the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>

#include "protocol/Frames.h"
#include "protocol/Replies.h"

namespace engine {

// Microseconds on the caller's monotonic clock.
using Us = std::int64_t;
constexpr Us kNever = std::numeric_limits<Us>::max();
constexpr Us kUsPerMs = 1000;
constexpr Us kSpacingUs = proto::kFrameSpacingMs * kUsPerMs;

constexpr Us MsToUs(std::int64_t ms)
{
    return ms * kUsPerMs;
}

// a + b, held at kNever.
constexpr Us Later(Us a, Us b)
{
    return b >= kNever - a ? kNever : a + b;
}

enum class Outcome {
    kDone,
    kNoAnswer,      // the amplifier did not answer in time
    kNotConfirmed,  // a setting went out and the amplifier did not report it back as sent
    kRefused,       // a value the protocol cannot carry; nothing was sent
    kInterrupted,   // a stop request ended it; nothing more was sent
    kLineFailed,    // the line stopped working
};

// What crossed the line, counted as it goes: for a server's metrics.
struct LineCounters {
    std::atomic<std::uint64_t> framesSent{0};
    std::atomic<std::uint64_t> repliesReceived{0};  // whole, checked replies
    std::atomic<std::uint64_t> checksumErrors{0};
};

// What the link check learnt.
struct AmpSettings {
    proto::SettingsReply settings;
    std::uint8_t output = 0;
};

enum class Confirmation { kNone, kEcho, kReadBack };

// What a setting came to; a client of the engine that can say more keeps its own outcomes.
template <class OutcomeT, class ConfirmationT> struct BasicSettingResult {
    OutcomeT outcome = OutcomeT::kNoAnswer;
    // In wire units: mA, raw power, mode or output byte.
    std::int32_t requested = 0;
    std::int32_t sent = 0;  // requested, or a current clamped to the amplifier's range
    ConfirmationT confirmedBy = ConfirmationT::kNone;
    std::optional<std::int32_t> held;  // what the amplifier reported instead, when it did

    bool Clamped() const { return sent != requested; }
};

using SettingResult = BasicSettingResult<Outcome, Confirmation>;

}  // namespace engine
