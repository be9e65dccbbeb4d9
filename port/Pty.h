// A pseudo-terminal that plays a serial line: the near end (master) is ours to read and write, the
// far end is the device another program opens. We hold the far end open ourselves, raw at 9600
// 8N1, so the near end never reads a hang-up while nobody else has the line open.
#pragma once

#include <string>

namespace port {

// The ends of one pseudo-terminal; both descriptors are the caller's to close.
struct PtyEnds {
    int master = -1;   // non-blocking
    int keeper = -1;   // our own hold of the far end, non-blocking; its settings are the line's
    std::string path;  // the far end's device
};

// A fresh pseudo-terminal whose far end reads a byte at a time (VMIN 1). False, with nothing left
// open and the reason in error, when it cannot be made.
bool OpenPty(PtyEnds& pty, std::string& error);

}  // namespace port
