// The amplifier's replies to the panel's commands.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Frames.h"
#include "sim/AmpModel.h"
#include "protocol/CommandFramer.h"

namespace sim {

using proto::Bytes;

// Whole reply frames, laid out by the protocol's reply encoder.
Bytes StatusReply(const StatusRaw& status);
Bytes SettingsReply(const AmpSetup& setup);
Bytes OutputReply(std::uint8_t state);
Bytes ModeReply(std::uint8_t mode);
Bytes TargetPowerReply(int raw);
Bytes TargetCurrentReply(int mA);

struct Answer {
    Bytes reply;          // empty: the command gets none
    std::string ignored;  // why a frame was not acted on, empty when it was
};

// Applies one command frame to the model (already advanced to the frame's time) and returns the
// reply; setting commands are answered with the value now held.
Answer AnswerCommand(AmpModel& model, const proto::Frame& command);

}  // namespace sim
