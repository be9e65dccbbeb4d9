// The model behind the amplifier's end of the line: the protocol's reply code answers each command
// from it.
#pragma once

#include "protocol/AmplifierSide.h"
#include "protocol/CommandFramer.h"
#include "sim/AmpModel.h"

namespace sim {

using proto::Answer;
using proto::Bytes;

// Applies one command frame to the model (already advanced to the frame's time) and returns the
// reply; setting commands are answered with the value now held.
Answer AnswerCommand(AmpModel& model, const proto::Frame& command);

}  // namespace sim
