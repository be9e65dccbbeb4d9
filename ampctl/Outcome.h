// What became of a command, whichever way the amplifier was reached: on its serial port through
// the line engine, or through ampd, which can say more (its link is down, control was refused, an
// alarm is latched, it could not be reached or read).
#pragma once

#include <cstdint>
#include <optional>

#include "engine/Session.h"

namespace ampctl {

enum class Outcome {
    kDone,
    kNoAnswer,      // the amplifier did not answer in time
    kNotConfirmed,  // a setting went out and the amplifier did not report it back as sent
    kRefused,       // a value the protocol cannot carry; nothing was sent
    kInterrupted,   // a stop request ended it; nothing more was sent
    kLineFailed,    // the port stopped working (through ampd: the connection ended)
    // Through ampd only:
    kLinkDown,       // its link to the amplifier is down
    kNotAuthorised,  // control refused for want of the right token
    kAlarmLatched,   // the output stays off while a limit alarm is latched
    kUnreachable,    // ampd turned the connection away
    kServerFault,    // ampd did not answer in time, or answered what cannot be read
};

using engine::AmpSettings;

enum class Confirmation {
    kNone,
    kEcho,
    kReadBack,
    kServer,  // ampd confirmed it, as it confirms a setting: echo or read back
};

using SettingResult = engine::BasicSettingResult<Outcome, Confirmation>;

struct WatchResult {
    Outcome outcome = Outcome::kDone;  // kDone, kInterrupted or kLineFailed
    int answered = 0;
    int missed = 0;
};

// The engine's word, as the commands take it.
Outcome FromEngine(engine::Outcome outcome);
SettingResult FromEngine(const engine::SettingResult& result);
WatchResult FromEngine(const engine::WatchResult& result);

}  // namespace ampctl
