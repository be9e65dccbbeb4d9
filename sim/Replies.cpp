#include "sim/Replies.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

void PutWord(Bytes& data, std::size_t pos, int value)
{
    data[pos] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    data[pos + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

// Data bytes start at frame position 4; these helpers take frame positions.
constexpr std::size_t DATA_START = 4;

void PutWordAt(Bytes& data, std::size_t framePos, int value)
{
    PutWord(data, framePos - DATA_START, value);
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

Bytes MakeReplyFrame(std::uint8_t type, const Bytes& data)
{
    Bytes f(data.size() + 5);
    f[0] = proto::REPLY_HEADER_1;
    f[1] = proto::REPLY_HEADER_2;
    f[2] = static_cast<std::uint8_t>(data.size() + 2);
    f[3] = type;
    std::copy(data.begin(), data.end(), f.begin() + 4);
    f.back() = proto::FrameChecksum(f.data(), f.size() - 1);
    return f;
}

Bytes StatusReply(const StatusRaw& s)
{
    Bytes data(STATUS_REPLY_SIZE - 5, 0);
    PutWordAt(data, 6, s.currentMa);
    PutWordAt(data, 8, s.inputPowerRaw);
    PutWordAt(data, 10, s.outputPowerRaw);
    PutWordAt(data, 14, s.temperatureRaw);
    return MakeReplyFrame(proto::REPLY_STATUS, data);
}

Bytes SettingsReply(const AmpSetup& setup)
{
    Bytes data(SETTINGS_REPLY_SIZE - 5, 0);
    PutWordAt(data, 4, setup.targetPowerRaw);
    PutWordAt(data, 8, setup.targetCurrent);
    PutWordAt(data, 12, setup.maxCurrent);
    data[16 - DATA_START] = setup.mode;
    data[17 - DATA_START] = setup.selector;
    return MakeReplyFrame(proto::REPLY_SETTINGS, data);
}

Bytes OutputReply(std::uint8_t state)
{
    return MakeReplyFrame(proto::REPLY_OUTPUT, {state});
}

Bytes ModeReply(std::uint8_t mode)
{
    return MakeReplyFrame(proto::REPLY_MODE, {mode});
}

Bytes TargetPowerReply(int raw)
{
    Bytes data(2);
    PutWord(data, 0, raw);
    return MakeReplyFrame(proto::REPLY_TARGET_POWER, data);
}

Bytes TargetCurrentReply(int mA)
{
    // The panel reads the target at positions 6-7; 4-5 are not used.
    Bytes data(4, 0);
    PutWordAt(data, 6, mA);
    return MakeReplyFrame(proto::REPLY_TARGET_CURRENT, data);
}

int ExpectedCommandLen(std::uint8_t code)
{
    switch (code) {
    case proto::CMD_QUERY_STATUS:
    case proto::CMD_QUERY_SETTINGS:
    case proto::CMD_QUERY_OUTPUT:
        return 2;
    case proto::CMD_SET_MODE:
    case proto::CMD_SET_OUTPUT:
        return 3;
    case proto::CMD_SET_POWER:
    case proto::CMD_SET_CURRENT:
    case proto::CMD_SET_CURRENT_ALT:
        return 4;
    default:
        return 0;
    }
}

Answer AnswerCommand(AmpModel& model, const proto::Frame& command)
{
    const std::uint8_t code = command.bytes[3];
    const int len = command.bytes[2];
    const int expected = ExpectedCommandLen(code);
    if (expected == 0)
        return {{}, "unknown command " + Hex2(code)};
    if (len != expected)
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
