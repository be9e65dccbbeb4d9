#!/usr/bin/env python3
"""ampd as systemd sees a Type=notify service, against a datagram socket this test owns in the place
of systemd's: READY=1 once it listens, before any amplifier is there; WATCHDOG=1 at the rate
WATCHDOG_USEC asks; STATUS= following the link (the simulator plugged in, unplugged through its
control socket, plugged in again); a reload (SIGHUP) said with RELOADING=1 and its monotonic time
and ended with READY=1, the files reopened; STOPPING=1 on SIGTERM. Every datagram must come from
ampd's own process, as NotifyAccess=main wants.

With --strace, ampd runs under strace, and every system call it made must pass the unit's
SystemCallFilter= (packaging/deb/ampd@.service), as systemd-analyze expands its groups.

    notify_test.py --ampd EXE --ampsim SIM --unit FILE --work DIR [--strace]

Every wait is 'until a condition holds or a deadline passes'; times between datagrams are the
kernel's arrival times, not this process's."""

import argparse
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import Simulator, wait_until  # noqa: E402

WATCHDOG_USEC = 1000000
SO_TIMESTAMP = 29  # Linux's (asm-generic/socket.h), which Python's socket module does not name
STATUS = re.compile(r"STATUS=link (up|down), clients: (\d+), alarms latched: (\d+)$")

args = None


class NotifySocket:
    """Where NOTIFY_SOCKET points: each datagram kept with its arrival time and its sender."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="ampd-notify-")  # a socket's path is short
        self.path = os.path.join(self.folder, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
        self.sock.bind(self.path)
        self.seen = []  # (arrival, sender pid, text), in order
        self.read = 0  # how many of them next() has handed out

    def _receive(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not ready:
            return False
        data, ancillary, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(12) + socket.CMSG_SPACE(16))
        arrival, pid = None, None
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMP:
                seconds, micros = struct.unpack("qq", value[:16])
                arrival = seconds + micros / 1e6
            elif level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                pid = struct.unpack("iII", value[:12])[0]
        self.seen.append((arrival, pid, data.decode()))
        return True

    def next(self, predicate, timeout, what):
        """The next datagram (after those already handed out) for which predicate holds."""
        deadline = time.monotonic() + timeout
        while True:
            while self.read < len(self.seen):
                message = self.seen[self.read]
                self.read += 1
                if predicate(message[2]):
                    return message
            if not self._receive(deadline - time.monotonic()):
                raise AssertionError("timed out after %.1f s waiting for %s; got %s"
                                     % (timeout, what, [m[2] for m in self.seen]))

    def close(self):
        self.sock.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rw", newline="\n")

    def ask(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        return self.file.readline().rstrip("\n")

    def close(self):
        self.sock.close()


def lines_of(path):
    with open(path) as f:
        return f.read().splitlines()


def run():
    work = args.work
    link = os.path.join(work, "amp")  # made only when the simulator starts
    audit = os.path.join(work, "audit.log")
    readings = os.path.join(work, "readings.csv")
    notify = NotifySocket()
    env = dict(os.environ, NOTIFY_SOCKET=notify.path, WATCHDOG_USEC=str(WATCHDOG_USEC))
    env.pop("WATCHDOG_PID", None)
    command = [args.ampd, "-p", link, "--scpi", "127.0.0.1:0", "--audit", audit, "--log", readings]
    trace = os.path.join(work, "syscalls.txt")
    if args.strace:
        command = ["strace", "-f", "-qq", "-c", "-o", trace] + command
    err = []
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    threading.Thread(target=lambda: err.extend(process.stderr), daemon=True).start()
    sim = None
    client = None
    try:
        # Ready before any amplifier: the line's device does not exist yet.
        _, ampd_pid, first = notify.next(lambda m: True, 10, "ampd's first datagram")
        assert first == "READY=1", "ampd said %r before it was ready" % first
        assert not os.path.exists(link)
        said = wait_until(lambda: next((line for line in err if "SCPI on" in line), None), 5, "the SCPI port")
        client = Client(int(re.search(r"SCPI on 127\.0\.0\.1:(\d+)", said).group(1)))
        assert client.ask("LINK?") == "DOWN"
        _, _, status = notify.next(lambda m: m.startswith("STATUS="), 5, "the first STATUS=")
        assert STATUS.match(status) and STATUS.match(status).group(1, 3) == ("down", "0"), status
        print("ready before the amplifier; then %r" % status)

        # The watchdog at half WATCHDOG_USEC, never later than WATCHDOG_USEC.
        pings = [notify.next(lambda m: m == "WATCHDOG=1", 5, "WATCHDOG=1")[0] for _ in range(4)]
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        print("watchdog gaps (s): %s, asked %.2f" % (", ".join("%.3f" % g for g in gaps), WATCHDOG_USEC / 2e6))
        assert all(g < WATCHDOG_USEC / 1e6 for g in gaps), "a ping later than systemd waits: %s" % gaps
        assert all(g > WATCHDOG_USEC / 4e6 for g in gaps), "pings faster than asked: %s" % gaps

        # The link in the status: up with the simulator, down when it is unplugged, and up again
        # with the outage latched as an alarm.
        sim = Simulator(args.ampsim, work, link, ["--output", "on"])
        up = lambda m: STATUS.match(m) and STATUS.match(m).group(1) == "up"  # noqa: E731
        down = lambda m: STATUS.match(m) and STATUS.match(m).group(1) == "down"  # noqa: E731
        _, _, status = notify.next(up, 10, "STATUS= with the link up")
        # The start, with no amplifier for over a second, was an outage too.
        alarms = client.ask("ALAR?")
        latched = 0 if alarms == "NONE" else len(alarms.split(";"))
        assert STATUS.match(status).group(2, 3) == ("1", str(latched)), (status, alarms)
        client.ask("ALAR:CLE;*OPC?")
        assert client.ask("ALAR?") == "NONE"
        sim.control("unplug")
        _, _, status = notify.next(down, 10, "STATUS= with the link down")
        assert STATUS.match(status).group(2, 3) == ("1", "0"), status
        wait_until(lambda: client.ask("ALAR?").startswith("LINK "), 5, "the outage latched")
        sim.control("replug")
        _, _, status = notify.next(up, 10, "STATUS= with the link back")
        assert STATUS.match(status).group(2, 3) == ("1", "1"), status
        print("link followed: up, down, up with the outage latched (%r)" % status)

        # A reload: the files moved away (as logrotate does) are made anew.
        wait_until(lambda: os.path.exists(readings) and len(lines_of(readings)) > 1, 5, "readings logged")
        header = lines_of(readings)[0]
        os.rename(audit, audit + ".1")
        os.rename(readings, readings + ".1")
        before = time.monotonic()
        os.kill(ampd_pid, signal.SIGHUP)
        _, _, reloading = notify.next(lambda m: m.startswith("RELOADING="), 5, "RELOADING=1")
        after = time.monotonic()
        found = re.fullmatch(r"RELOADING=1\nMONOTONIC_USEC=(\d+)", reloading)
        assert found and before * 1e6 <= int(found.group(1)) <= after * 1e6, (reloading, before, after)
        notify.next(lambda m: not m.startswith(("WATCHDOG=", "STATUS=")), 5, "READY=1 after the reload")
        assert notify.seen[notify.read - 1][2] == "READY=1", notify.seen[notify.read - 1]
        wait_until(lambda: os.path.exists(readings) and len(lines_of(readings)) > 1, 5, "readings in a new file")
        assert lines_of(readings)[0] == header, lines_of(readings)[:2]
        assert client.ask("SOUR:CURR 1000;*OPC?") == "1"
        assert any("\tSOUR:CURR 1000\tconfirmed" in line for line in lines_of(audit)), lines_of(audit)
        assert not any("SOUR:CURR 1000" in line for line in lines_of(audit + ".1"))
        print("reloaded: RELOADING=1 with its monotonic time, READY=1, both files made anew")

        client.close()
        client = None
        os.kill(ampd_pid, signal.SIGTERM)
        notify.next(lambda m: m == "STOPPING=1", 10, "STOPPING=1")
        assert process.wait(15) == 0, "ampd did not stop cleanly: %s" % "".join(err)
        senders = {pid for _, pid, _ in notify.seen}
        assert senders == {ampd_pid}, "datagrams from %s, not ampd's process %d alone" % (senders, ampd_pid)
        if not args.strace:
            assert ampd_pid == process.pid
    finally:
        if client:
            client.close()
        if process.poll() is None:
            process.kill()
            process.wait()
        if sim:
            sim.stop()
        notify.close()
    if args.strace:
        check_syscalls(trace)


def filter_groups():
    """Each group of systemd's syscall filter with what it holds (names and other groups)."""
    listing = subprocess.run(["systemd-analyze", "syscall-filter"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, check=True).stdout
    groups = {}
    current = None
    for line in listing.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), set())
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.add(line.strip())
    return groups


def expand(names, groups):
    out = set()
    for name in names:
        out |= expand(groups[name], groups) if name.startswith("@") else {name}
    return out


def check_syscalls(trace):
    """Every call ampd made is one the unit lets through (systemd would answer the rest EPERM)."""
    groups = filter_groups()
    allowed, denied = set(), set()
    with open(args.unit) as unit:
        for line in unit:
            value = line.strip()
            if value.startswith("SystemCallFilter="):
                words = value.split("=", 1)[1].split()
                if words and words[0].startswith("~"):
                    denied |= expand([words[0][1:]] + words[1:], groups)
                else:
                    allowed |= expand(words, groups)
    assert allowed, "the unit has no SystemCallFilter= allow list"
    made = set()
    with open(trace) as f:
        for line in f:  # "% time  seconds  usecs/call  calls  errors syscall", one call a line
            word = line.split()
            if word and re.fullmatch(r"[0-9.]+", word[0]) and word[-1] != "total":
                made.add(word[-1])
    assert len(made) > 20, "strace counted too few calls: %s" % sorted(made)
    refused = sorted(name for name in made if name not in allowed or name in denied)
    assert not refused, "ampd made calls the unit's SystemCallFilter= refuses: %s" % refused
    print("system calls: the %d that ampd made are all in the unit's filter" % len(made))


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--ampd", required=True)
    parser.add_argument("--ampsim", required=True)
    parser.add_argument("--unit", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--strace", action="store_true")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    start = time.monotonic()
    run()
    print("notify test: passed in %.1f s" % (time.monotonic() - start))


if __name__ == "__main__":
    main()
