// The command set as one table: each command's code, its LEN, whether it is a setting and of
// which kind, and how the amplifier reports a setting back (its echo, and the query that reads it
// back). The panel link, the simulator, the line engine and the tests all read it from here.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/Frames.h"
#include "protocol/Replies.h"

namespace proto {

enum class SettingKind { kCurrent, kPower, kMode, kOutput };

struct CommandInfo {
    std::uint8_t code;
    std::uint8_t len;  // LEN: 2 for a query, 3 for one data byte, 4 for a 16-bit value
    bool setting;
    SettingKind kind;          // a setting's
    std::uint8_t readBack;     // a setting's: the query whose reply holds it
};

// The command of this code, or null for a code the amplifier does not know.
const CommandInfo* FindCommand(std::uint8_t code);

// The value a reply reports for this kind of setting when the reply is the setting's echo (the
// reply a setting command gets), or when it is the answer to the setting's read-back query.
std::optional<std::int32_t> EchoedValue(SettingKind kind, const Reply& reply);
std::optional<std::int32_t> ReadBackValue(SettingKind kind, const Reply& reply);

// What a setting frame asks, in wire units (mA, raw power, mode or output byte).
struct SettingAsked {
    SettingKind kind = SettingKind::kOutput;
    std::int32_t value = 0;
};

// Empty for a query, or for a frame outside the command set.
std::optional<SettingAsked> ReadSettingFrame(const Frame& frame);

// The frame a setting goes in; a current goes with the plain set-current code.
Frame MakeSettingFrame(SettingKind kind, std::int32_t value);

}  // namespace proto
