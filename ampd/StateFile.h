// What must outlive ampd, kept in a file: the latched alarms that hold the output off (a limit's,
// a lease's, a lost state's; the LINK alarm is not kept, as a new start checks the link anew).
// Each change is written whole before it is reported: a temporary file beside it, flushed to disk,
// then renamed over it. Platform-free but for the flush and the default place.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ampd/Amplifier.h"

namespace ampd {

// The name of the state STATE latches under when the file cannot be read or written.
constexpr const char* kStateAlarm = "STATE";

// Where a port's state is kept unless --state says: under systemd $STATE_DIRECTORY/<port>.state;
// otherwise ${XDG_STATE_HOME:-~/.local/state}/ampd/<port>.state on Linux and
// %ProgramData%\ampd\<port>.state on Windows. <port> is the port's name without /dev/, its
// slashes as '_' (ttyUSB0, serial_by-id_usb-FTDI..., COM3).
std::string DefaultStatePath(const std::string& port);

// The folder a state file goes in, made if it is not there; false with the reason when it cannot be.
bool MakeStateFolder(const std::string& path, std::string& error);

// The alarms kept; a missing file is none. False, with the reason, for a file that cannot be read
// or is not what ampd writes: that is never taken as "no alarms".
bool LoadState(const std::string& path, std::vector<Alarm>& alarms, std::string& error);
// Writes the alarms that are kept (LINK left out); false with the reason when they could not be.
bool SaveState(const std::string& path, const std::vector<Alarm>& alarms, std::string& error);

// The record's alarms kept at path from now on: those kept before restored, and each change
// written before it is reported. A file that cannot be read latches STATE (it is kept beside, as
// <path>.unreadable); so does a write that fails later. tell: each such trouble, in words. False,
// with the reason, only when the state's folder cannot be made.
bool KeepAlarms(Amplifier& amp, const std::string& path, std::function<void(const std::string&)> tell,
    std::string& error);

}  // namespace ampd
