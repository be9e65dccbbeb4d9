#include "protocol/AmplifierSide.h"

#include <cstdio>

#include "protocol/Commands.h"

namespace proto {

namespace {

std::string Hex2(std::uint8_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

}  // namespace

Answer AnswerCommand(AmplifierSide& amp, const Frame& command)
{
    const std::uint8_t code = command.bytes[3];
    const int len = command.bytes[2];
    const CommandInfo* known = FindCommand(code);
    if (!known)
        return {{}, "unknown command " + Hex2(code)};
    if (len != known->len)
        return {{}, "command " + Hex2(code) + " with LEN " + std::to_string(len)};

    const auto word = static_cast<std::uint16_t>(command.bytes[4] * 256 + command.bytes[5]);
    switch (code) {
    case CMD_QUERY_STATUS:
        return {EncodeReply(amp.Status()), {}};
    case CMD_QUERY_SETTINGS:
        return {EncodeReply(amp.Settings()), {}};
    case CMD_QUERY_OUTPUT:
        return {EncodeReply(OutputReply{amp.Output()}), {}};
    case CMD_SET_MODE:
        return {EncodeReply(ModeReply{amp.SetMode(command.bytes[4])}), {}};
    case CMD_SET_OUTPUT:
        return {EncodeReply(OutputReply{amp.SetOutput(command.bytes[4])}), {}};
    case CMD_SET_POWER:
        return {EncodeReply(TargetPowerReply{amp.SetTargetPower(word)}), {}};
    default:  // CMD_SET_CURRENT, CMD_SET_CURRENT_ALT
        return {EncodeReply(TargetCurrentReply{amp.SetTargetCurrent(word)}), {}};
    }
}

}  // namespace proto
