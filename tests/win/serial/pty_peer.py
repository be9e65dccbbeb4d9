#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a pseudo-terminal peer on a serial port.

The runner creates a pseudo-terminal, links it into the Wine prefix as COM<n>, and plays the far
end of the line. The test program drives the far end through a line protocol on a local TCP
socket whose port it finds in the environment variable AMP_PEER_PORT:

  SEND <hex>          write the bytes to the line                     -> OK
  RECV <n> <ms>       read until n bytes arrived or ms passed          -> DATA <hex>
  DISCARD             drop whatever the line has delivered so far      -> OK <count>
  LINE                the line settings the program set   -> LINE baud= stopbits= databits= ...
  STOP / START        suspend / resume the program's output on the line -> OK
  HOLDERS             processes other than the runner with the line open -> HOLDERS <n>
  CPU <ms>            CPU use of the test process and the wineserver   -> CPU <test%> <server%>

Everything the runner makes (links, pseudo-terminals, socket) is removed when it ends, pass or
fail; its exit status is the test program's.
"""
import argparse
import os
import select
import socket
import subprocess
import sys
import termios
import threading
import time
import tty

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Line:
    """One pseudo-terminal: the runner holds both ends, the program opens the slave by name."""

    def __init__(self, prefix, port, raw):
        self.master, self.slave = os.openpty()
        if raw:
            # As a serial device configured for binary data: no flow-control characters.
            tty.setraw(self.slave, termios.TCSANOW)
        self.link = os.path.join(prefix, "dosdevices", "com%d" % port)
        if os.path.islink(self.link):
            os.unlink(self.link)  # left over from an interrupted run
        elif os.path.exists(self.link):
            raise SystemExit("pty_peer: %s exists and is not a link" % self.link)
        os.symlink(os.ttyname(self.slave), self.link)
        self.lock = threading.Lock()

    def close(self):
        if os.path.islink(self.link):
            os.unlink(self.link)
        os.close(self.slave)
        os.close(self.master)

    def send(self, data):
        view = memoryview(data)
        while view:
            written = os.write(self.master, view)
            view = view[written:]

    def receive(self, count, deadline):
        data = bytearray()
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                data += os.read(self.master, count - len(data))
        return bytes(data)

    def discard(self):
        dropped = 0
        while select.select([self.master], [], [], 0)[0]:
            dropped += len(os.read(self.master, 4096))
        return dropped

    def holders(self):
        """Processes other than this one that have the program's end of the line open."""
        path = os.ttyname(self.slave)
        found = set()
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                for fd in os.listdir("/proc/%s/fd" % entry):
                    if os.readlink("/proc/%s/fd/%s" % (entry, fd)) == path:
                        found.add(entry)
                        break
            except OSError:
                continue
        return len(found)

    def settings(self):
        iflag, _, cflag, _, ispeed, _, _ = termios.tcgetattr(self.slave)
        parity = "N"
        if cflag & termios.PARENB:
            stick = cflag & getattr(termios, "CMSPAR", 0o10000000000)
            odd = cflag & termios.PARODD
            parity = ("M" if odd else "S") if stick else ("O" if odd else "E")
        sizes = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}
        speeds = {getattr(termios, "B%d" % b): b for b in (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}
        # Linux keeps a pty's speed and stop bits but forces 8 data bits and no parity on it.
        return "LINE baud=%s stopbits=%d databits=%d parity=%s ixon=%d" % (
            speeds.get(ispeed, "other"), 2 if cflag & termios.CSTOPB else 1,
            sizes[cflag & termios.CSIZE], parity, 1 if iflag & termios.IXON else 0)


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    except (OSError, IndexError, ValueError):
        return None


def wineserver_pid(prefix):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as comm:
                if not comm.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if b"WINEPREFIX=" + os.fsencode(prefix) + b"\0" in environ.read() + b"\0":
                    return int(entry)
        except OSError:
            continue
    return None


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            return cmdline.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except (OSError, TypeError):
        return "?"


def measure_cpu(test_pid, prefix, milliseconds):
    server = wineserver_pid(prefix)
    pids = [test_pid, server]
    print("pty_peer: measuring CPU of %s and %s" % (command_line(test_pid), command_line(server)),
          file=sys.stderr)
    before = [cpu_ticks(p) if p else None for p in pids]
    start = time.monotonic()
    time.sleep(milliseconds / 1000.0)  # the measuring window itself
    elapsed = time.monotonic() - start
    after = [cpu_ticks(p) if p else None for p in pids]
    shares = []
    for b, a in zip(before, after):
        shares.append("-1" if b is None or a is None else "%.1f" % (100.0 * (a - b) / CLOCK_TICKS / elapsed))
    return "CPU %s %s" % tuple(shares)


class Peer:
    def __init__(self, line, prefix):
        self.line = line
        self.prefix = prefix
        self.test_pid = None
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(4)
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        with connection, connection.makefile("rwb", buffering=0) as stream:
            for request in stream:
                stream.write((self.answer(request.decode().split()) + "\n").encode())

    def answer(self, words):
        if not words:
            return "ERR empty"
        command, args = words[0].upper(), words[1:]
        try:
            with self.line.lock:
                if command == "SEND":
                    self.line.send(bytes.fromhex(args[0] if args else ""))
                    return "OK"
                if command == "RECV":
                    deadline = time.monotonic() + int(args[1]) / 1000.0
                    return "DATA " + self.line.receive(int(args[0]), deadline).hex()
                if command == "DISCARD":
                    return "OK %d" % self.line.discard()
                if command == "LINE":
                    return self.line.settings()
                if command == "HOLDERS":
                    return "HOLDERS %d" % self.line.holders()
                if command == "IXON":  # software flow control on, as a new terminal has it
                    attrs = termios.tcgetattr(self.line.slave)
                    attrs[0] |= termios.IXON | termios.IXOFF
                    termios.tcsetattr(self.line.slave, termios.TCSANOW, attrs)
                    return "OK"
                if command == "STOP":
                    termios.tcflow(self.line.slave, termios.TCOOFF)
                    return "OK"
                if command == "START":
                    termios.tcflow(self.line.slave, termios.TCOON)
                    return "OK"
            if command == "CPU":
                return measure_cpu(self.test_pid, self.prefix, int(args[0]))
        except (IndexError, ValueError, OSError) as error:
            return "ERR %s" % error
        return "ERR unknown command %s" % command

    def close(self):
        self.server.close()


def wait_for_wineserver(prefix, seconds):
    """Waits until the prefix's wineserver has gone, so closing the line does not hang it up."""
    env = dict(os.environ, WINEPREFIX=prefix)
    try:
        subprocess.run(["wineserver", "-w"], env=env, timeout=seconds, check=False)
    except subprocess.TimeoutExpired:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True, help="the Wine prefix the program runs in")
    parser.add_argument("--wine-run", required=True, help="the build's Wine wrapper")
    parser.add_argument("--port", type=int, required=True, help="COM port number of the line")
    parser.add_argument("--shim", default="", help="pty shim the wrapper preloads; must exist")
    parser.add_argument("--no-shim", action="store_true", help="run without the pty shim")
    parser.add_argument("--not-raw", action="store_true", help="leave the line's settings as a new pty has them")
    parser.add_argument("--timeout", type=float, default=240, help="seconds the program may run")
    parser.add_argument("program", nargs=argparse.REMAINDER, help="-- program [arguments]")
    options = parser.parse_args()
    program = options.program[1:] if options.program[:1] == ["--"] else options.program
    if not program:
        parser.error("no program given")

    env = dict(os.environ)
    if options.no_shim:
        env["AMP_NO_PTY_SHIM"] = "1"
    elif not options.shim or not os.path.isfile(options.shim):
        print("pty_peer: the pty shim %r is missing; build amp_ptyshim in the native build "
              "(AMP_NATIVE_BUILD) or pass --no-shim" % options.shim, file=sys.stderr)
        return 2

    line = Line(options.prefix, options.port, raw=not options.not_raw)
    peer = Peer(line, options.prefix)
    env["AMP_PEER_PORT"] = str(peer.port)
    env["AMP_TEST_COM_PORT"] = str(options.port)
    try:
        process = subprocess.Popen([options.wine_run] + program, env=env)
        peer.test_pid = process.pid
        try:
            return process.wait(timeout=options.timeout)
        except subprocess.TimeoutExpired:
            print("pty_peer: the program ran longer than %.0f s; stopping it" % options.timeout,
                  file=sys.stderr)
            process.kill()
            process.wait()
            return 1
    finally:
        peer.close()
        if os.path.islink(line.link):
            os.unlink(line.link)
        wait_for_wineserver(options.prefix, 20)
        line.close()


if __name__ == "__main__":
    sys.exit(main())
