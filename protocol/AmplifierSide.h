// The amplifier's end of the line: what it holds, how each setting command changes it, and the
// reply it makes to any command frame. The simulator's model stands behind it, and so do the
// tests' fake amplifiers, so every command is answered by this one piece of code.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Frames.h"
#include "protocol/Replies.h"

namespace proto {

class AmplifierSide {
public:
    virtual ~AmplifierSide() = default;
    virtual StatusReply Status() = 0;
    virtual SettingsReply Settings() = 0;
    virtual std::uint8_t Output() = 0;
    // The setting commands; each returns the value now held, which the command's echo reports.
    virtual std::uint16_t SetTargetCurrent(std::uint16_t mA) = 0;
    virtual std::uint16_t SetTargetPower(std::uint16_t raw) = 0;
    virtual std::uint8_t SetMode(std::uint8_t mode) = 0;
    virtual std::uint8_t SetOutput(std::uint8_t state) = 0;
};

struct Answer {
    ReplyBytes reply;     // empty: the command gets none
    std::string ignored;  // why a frame was not acted on, empty when it was
};

// Acts on one checked command frame and returns the reply: queries with what is held, settings
// with the value now held. A code outside the command set, or one with another LEN than its own,
// is ignored.
Answer AnswerCommand(AmplifierSide& amp, const Frame& command);

}  // namespace proto
