// The amplifier's line settings on POSIX, for every end of it we hold: the serial port ampctl and
// ampd open, the simulator's device or pseudo-terminal, ampd's pseudo-terminal for the panel.
#pragma once

#include <termios.h>

namespace port {

// Raw 9600 8N1: no echo, no line editing, no translation, no flow control of either kind, modem
// lines ignored, the receiver on. A read waits for minBytes (VMIN; 0 returns at once with what is
// there) and has no timer of its own (VTIME 0). False when the speed cannot be set.
bool MakeRawLine(termios& t, cc_t minBytes);

// The same on an open terminal, from its present settings; false (errno says why) when it is none
// or refuses them.
bool SetRawLine(int fd, cc_t minBytes);

}  // namespace port
