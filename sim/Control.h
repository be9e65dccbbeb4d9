// Control commands, one line in, one line out:
//   state                       -> one line of JSON
//   set NAME VALUE              -> ok NAME VALUE (refused when the limits would conflict)
//   unplug | replug             -> ok unplugged | ok line PATH
//   hold on | hold off          -> ok hold on | ok hold off
//   announce target-current MA  -> ok announce target-current MA (a reply no command asked for)
//   fault KIND [VALUE] [N|on]   -> ok fault ...
//   fault clear [KIND]          -> ok fault clear ...
//   quit                        -> ok quit
// Anything wrong gives "error: <why>".
#pragma once

#include <string>

#include "sim/Engine.h"

namespace sim {

// What the control channel may do to the line and to the program, beyond the engine.
class LineControl {
public:
    virtual ~LineControl() = default;
    virtual bool Plugged() const = 0;
    // The line served: the pty slave or the device, and the link when there is one.
    virtual std::string LinePath() const = 0;
    virtual std::string LinkPath() const = 0;
    // Each returns an error message, empty on success.
    virtual std::string Unplug(SimTime now) = 0;
    virtual std::string Replug(SimTime now) = 0;
    // Holds the panel's writes up (or lets them go again), as an adapter whose flow control says
    // stop holds them: they wait on the panel's side and nothing of them reaches the amplifier.
    virtual std::string Hold(SimTime now, bool held) = 0;
    virtual void Quit(SimTime now) = 0;
};

std::string StateJson(Engine& engine, SimTime now, const LineControl& line);

// Carries out one command line at `now`; returns the reply line without its newline. Every line,
// a blank one too, gets one.
std::string ExecuteControl(const std::string& command, SimTime now, Engine& engine, LineControl& line);

}  // namespace sim
