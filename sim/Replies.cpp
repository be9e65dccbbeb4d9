#include "sim/Replies.h"

#include <cstdio>

#include "protocol/Commands.h"
#include "protocol/Replies.h"

namespace sim {

namespace {

// Model values go out as the protocol's unsigned 16-bit fields: their low 16 bits.
std::uint16_t Wire(int value)
{
    return static_cast<std::uint16_t>(value);
}

int CommandWord(const proto::Frame& f)
{
    return f.bytes[4] * 256 + f.bytes[5];
}

std::string Hex2(std::uint8_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

}  // namespace

Bytes StatusReply(const StatusRaw& s)
{
    return proto::EncodeReply(
        proto::StatusReply{Wire(s.currentMa), Wire(s.inputPowerRaw), Wire(s.outputPowerRaw), Wire(s.temperatureRaw)});
}

Bytes SettingsReply(const AmpSetup& setup)
{
    return proto::EncodeReply(proto::SettingsReply{
        Wire(setup.targetPowerRaw), Wire(setup.targetCurrent), Wire(setup.maxCurrent), setup.mode, setup.selector});
}

Bytes OutputReply(std::uint8_t state)
{
    return proto::EncodeReply(proto::OutputReply{state});
}

Bytes ModeReply(std::uint8_t mode)
{
    return proto::EncodeReply(proto::ModeReply{mode});
}

Bytes TargetPowerReply(int raw)
{
    return proto::EncodeReply(proto::TargetPowerReply{Wire(raw)});
}

Bytes TargetCurrentReply(int mA)
{
    return proto::EncodeReply(proto::TargetCurrentReply{Wire(mA)});
}

Answer AnswerCommand(AmpModel& model, const proto::Frame& command)
{
    const std::uint8_t code = command.bytes[3];
    const int len = command.bytes[2];
    const proto::CommandInfo* known = proto::FindCommand(code);
    if (!known)
        return {{}, "unknown command " + Hex2(code)};
    if (len != known->len)
        return {{}, "command " + Hex2(code) + " with LEN " + std::to_string(len)};

    switch (code) {
    case proto::CMD_QUERY_STATUS:
        return {StatusReply(model.Status()), {}};
    case proto::CMD_QUERY_SETTINGS:
        return {SettingsReply(model.Setup()), {}};
    case proto::CMD_QUERY_OUTPUT:
        return {OutputReply(model.Setup().output), {}};
    case proto::CMD_SET_MODE:
        return {ModeReply(model.SetMode(command.bytes[4])), {}};
    case proto::CMD_SET_OUTPUT:
        return {OutputReply(model.SetOutput(command.bytes[4])), {}};
    case proto::CMD_SET_POWER:
        return {TargetPowerReply(model.SetTargetPowerRaw(CommandWord(command))), {}};
    default:  // CMD_SET_CURRENT, CMD_SET_CURRENT_ALT
        return {TargetCurrentReply(model.SetTargetCurrent(CommandWord(command))), {}};
    }
}

}  // namespace sim
