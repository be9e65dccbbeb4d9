// A setting a client asks of the amplifier through the line's owner, and what became of it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/Types.h"
#include "protocol/Commands.h"

namespace engine {

enum class Fate {
    kConfirmed,     // the amplifier reported the value sent
    kNoAnswer,      // it did not answer in time
    kNotConfirmed,  // it answered with another value
    kLinkDown,      // the link was down: nothing was sent
    kAlarmLatched,  // output ON while a limit alarm is latched: nothing was sent
    kStopped,       // the server is stopping: nothing more was sent
    kWithdrawn,     // the client went before its turn: nothing was sent
    kExpired,       // not started in time: nothing was sent
};

struct SettingDone {
    Fate fate = Fate::kNoAnswer;
    SettingResult result;  // what was sent and how the amplifier reported it
};

// The panel's turns are taken under this client number, which no network client gets.
constexpr std::uint64_t kPanelClient = ~std::uint64_t{0};

struct SettingRequest {
    std::uint64_t client = 0;  // turns are taken client by client
    proto::SettingKind kind = proto::SettingKind::kOutput;
    // A current or power as the client gave it (a decimal number); mode and output: the wire value.
    std::string entry;
    std::uint8_t value = 0;
    bool byGuard = false;    // the guard's own OFF: goes before everything
    bool fromPanel = false;  // the panel's frames, forwarded as they came, take this setting's turn
    // For the audit: who asked (an address, "guard", "panel") and the command as written.
    std::string who;
    std::string command;
    Us askedUs = 0;  // when it was asked, on the line's clock: stamped by the queue
    // Called once when the setting is done with, whatever became of it.
    std::function<void(const SettingDone&)> done;
};

}  // namespace engine
