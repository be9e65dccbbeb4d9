// The other processes that have a serial device open, found in /proc: the programs that take no
// lock at all (Wine, screen, a plain script) show only that way. Linux only.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace port {

// A process that holds a device.
struct Holder {
    pid_t pid = 0;
    std::string command;  // its command line, argv joined by spaces; empty when it cannot be read
};

// "4711 (wine AmpPanel.exe)", or "4711" when the command is not known; several joined by ", ".
std::string DescribeHolders(const std::vector<Holder>& holders);

// The process's command line as DescribeHolders shows it: printable ASCII only, shortened when long.
std::string CommandOf(pid_t pid);

// The processes other than this one that have the device (its real path) open. For a
// pseudo-terminal, a process that holds its master side is the line itself (the simulator), not a
// user of it. Wine's server holds a device for the Wine program that opened it: when that program
// is seen too, the server is left out.
std::vector<Holder> OtherHolders(const std::string& realPath);

}  // namespace port
