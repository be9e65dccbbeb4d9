#include "protocol/Commands.h"

#include <variant>

namespace proto {

namespace {

constexpr CommandInfo kCommands[] = {
    {CMD_QUERY_STATUS, 2, false, SettingKind::kOutput, 0},
    {CMD_QUERY_SETTINGS, 2, false, SettingKind::kOutput, 0},
    {CMD_QUERY_OUTPUT, 2, false, SettingKind::kOutput, 0},
    {CMD_SET_MODE, 3, true, SettingKind::kMode, CMD_QUERY_SETTINGS},
    {CMD_SET_OUTPUT, 3, true, SettingKind::kOutput, CMD_QUERY_OUTPUT},
    {CMD_SET_POWER, 4, true, SettingKind::kPower, CMD_QUERY_SETTINGS},
    {CMD_SET_CURRENT, 4, true, SettingKind::kCurrent, CMD_QUERY_SETTINGS},
    {CMD_SET_CURRENT_ALT, 4, true, SettingKind::kCurrent, CMD_QUERY_SETTINGS},
};

template <class R, class Field> std::optional<std::int32_t> FieldOf(const Reply& reply, Field R::*field)
{
    if (const R* r = std::get_if<R>(&reply))
        return r->*field;
    return std::nullopt;
}

}  // namespace

const CommandInfo* FindCommand(std::uint8_t code)
{
    for (const CommandInfo& command : kCommands)
        if (command.code == code)
            return &command;
    return nullptr;
}

std::optional<std::int32_t> EchoedValue(SettingKind kind, const Reply& reply)
{
    switch (kind) {
    case SettingKind::kCurrent:
        return FieldOf(reply, &TargetCurrentReply::targetCurrentMa);
    case SettingKind::kPower:
        return FieldOf(reply, &TargetPowerReply::targetPowerRaw);
    case SettingKind::kMode:
        return FieldOf(reply, &ModeReply::mode);
    case SettingKind::kOutput:
        return FieldOf(reply, &OutputReply::state);
    }
    return std::nullopt;
}

std::optional<std::int32_t> ReadBackValue(SettingKind kind, const Reply& reply)
{
    switch (kind) {
    case SettingKind::kCurrent:
        return FieldOf(reply, &SettingsReply::targetCurrentMa);
    case SettingKind::kPower:
        return FieldOf(reply, &SettingsReply::targetPowerRaw);
    case SettingKind::kMode:
        return FieldOf(reply, &SettingsReply::mode);
    case SettingKind::kOutput:
        return FieldOf(reply, &OutputReply::state);
    }
    return std::nullopt;
}

std::optional<SettingAsked> ReadSettingFrame(const Frame& frame)
{
    if (frame.size < 4)
        return std::nullopt;
    const CommandInfo* command = FindCommand(frame.bytes[3]);
    if (!command || !command->setting || frame.bytes[2] != command->len)
        return std::nullopt;
    SettingAsked asked;
    asked.kind = command->kind;
    asked.value = command->len == 4 ? frame.bytes[4] * 256 + frame.bytes[5] : frame.bytes[4];
    return asked;
}

Frame MakeSettingFrame(SettingKind kind, std::int32_t value)
{
    switch (kind) {
    case SettingKind::kCurrent:
        return MakeWordFrame(CMD_SET_CURRENT, value);
    case SettingKind::kPower:
        return MakeWordFrame(CMD_SET_POWER, value);
    case SettingKind::kMode:
        return MakeByteFrame(CMD_SET_MODE, static_cast<std::uint8_t>(value));
    case SettingKind::kOutput:
        break;
    }
    return MakeByteFrame(CMD_SET_OUTPUT, static_cast<std::uint8_t>(value));
}

}  // namespace proto
