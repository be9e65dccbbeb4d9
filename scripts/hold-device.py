#!/usr/bin/env python3
"""Holds flock on a serial device for scripts/panel.sh while the panel runs (Wine takes no lock of
its own), until its standard input, the script's end of a pipe, closes: however the script ends.

    hold-device.py DEVICE

Prints "held" once the lock is taken, "busy" when another process has it, or why the device could
not be opened. It never reads nor writes the line."""

import fcntl
import os
import sys


def main():
    try:
        # Without waiting for a carrier, which a shell's own open would.
        fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print("busy", flush=True)
        return 3
    except OSError as e:
        print(e.strerror, flush=True)
        return 1
    print("held", flush=True)
    sys.stdin.read()
    return 0


if __name__ == "__main__":
    sys.exit(main())
