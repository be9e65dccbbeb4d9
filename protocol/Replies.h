// The amplifier's replies as typed values, and back: which bytes of which reply mean what, stated
// once for the panel, the simulator, the tests and ampctl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"

namespace proto {

// 16-bit fields are unsigned on the wire, high byte first. Powers in raw units
// (dBm x 100 + 7000), currents in mA, temperature in hundredths of a degree Celsius.
struct StatusReply {
    std::uint16_t currentMa = 0;
    std::uint16_t inputPowerRaw = 0;
    std::uint16_t outputPowerRaw = 0;
    std::uint16_t temperatureRaw = 0;
};

struct SettingsReply {
    std::uint16_t targetPowerRaw = 0;
    std::uint16_t targetCurrentMa = 0;
    std::uint16_t maxCurrentMa = 0;
    std::uint8_t mode = 0;
    std::uint8_t currentCmdSelect = 0;
};

struct TargetPowerReply {
    std::uint16_t targetPowerRaw = 0;
};

struct ModeReply {
    std::uint8_t mode = 0;
};

struct TargetCurrentReply {
    std::uint16_t targetCurrentMa = 0;
};

struct OutputReply {
    std::uint8_t state = 0;
};

// A checked frame of a type outside the six; nobody acts on it.
struct OtherReply {
    std::uint8_t type = 0;
};

using Reply = std::variant<OtherReply, StatusReply, SettingsReply, TargetPowerReply, ModeReply, TargetCurrentReply,
    OutputReply>;

// The frame the framer has just completed, each field read at its frame position in the framer's
// buffer whatever the frame's LEN: a short frame reads what earlier frames left beyond its end.
Reply DecodeReply(const RxFramer& framer);

using ReplyBytes = std::vector<std::uint8_t>;

// Whole frames as the amplifier sends them (17, 19, 7, 6, 9 and 6 bytes); unused positions are 0.
// R is one of the six typed replies.
template <class R> ReplyBytes EncodeReply(const R& reply);
// OtherReply gives a frame of its type without data.
ReplyBytes EncodeReply(const Reply& reply);

// Any reply frame: ED FA LEN type data... checksum, LEN = data bytes + 2.
ReplyBytes MakeReplyFrame(std::uint8_t type, const ReplyBytes& data);

// Lets std::visit take one lambda per reply type.
template <class... Handlers> struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers> Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace proto
