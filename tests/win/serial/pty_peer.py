#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a pseudo-terminal peer on a serial port.

The runner links a pseudo-terminal into the Wine prefix as COM<n> and plays the line's far end,
which the program drives through a local TCP socket (port in AMP_PEER_PORT): one request line,
one answer line (see Peer.answer). The exit status is the program's; the link is removed however
the run ends.
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


class Peer:
    def __init__(self, prefix, port):
        self.prefix = prefix
        self.link = os.path.join(prefix, "dosdevices", "com%d" % port)
        if os.path.exists(self.link) and not os.path.islink(self.link):
            raise SystemExit("pty_peer: %s exists and is not a link" % self.link)
        self.master = None
        self.plug()
        self.server = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=self.serve, daemon=True).start()

    def plug(self):
        """A fresh line: a new pseudo-terminal linked as the COM port."""
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave, termios.TCSANOW)  # as a serial device set up for binary data
        self.path = os.ttyname(self.slave)
        if os.path.islink(self.link):
            os.unlink(self.link)  # left over from an interrupted run, or a hung-up line
        os.symlink(self.path, self.link)

    def serve(self):
        while True:  # one connection at a time: the program opens one per test
            try:
                connection, _ = self.server.accept()
            except OSError:
                return  # the runner is ending
            with connection, connection.makefile("rwb", buffering=0) as stream:
                for request in stream:
                    words = request.decode().split()
                    try:
                        answer = self.answer(words[0].upper(), words[1:])
                    except (IndexError, ValueError, OSError) as error:
                        answer = "ERR %s" % error
                    stream.write((answer + "\n").encode())

    def answer(self, command, args):
        """SEND <hex>; RECV <n> <ms> -> DATA <hex>; DISCARD what the program wrote; LINE -> its settings; IXON
        (flow control on, as a new terminal has it); STOP / START its output; HOLDERS -> who has the line open;
        STREAM <ms>: bytes at the line's rate for that long, in the background; HANGUP: the far end goes away; NOTALINE: the port becomes a device that is no line (every call on it
        fails); either lasts until START plugs a fresh line in."""
        if command == "START" and self.master is None:
            os.close(self.slave)
            self.plug()
        if command == "SEND":
            data = memoryview(bytes.fromhex(args[0]))
            while data:
                data = data[os.write(self.master, data):]
        elif command == "RECV":
            return "DATA " + self.receive(int(args[0]), time.monotonic() + int(args[1]) / 1000.0).hex()
        elif command == "DISCARD":
            while select.select([self.master], [], [], 0)[0]:
                os.read(self.master, 4096)
        elif command == "LINE":
            # Linux keeps a pty's speed and stop bits but forces 8 data bits and no parity on it.
            iflag, _, cflag, _, speed, _, _ = termios.tcgetattr(self.slave)
            bauds = {getattr(termios, "B%d" % b): b for b in (4800, 9600, 19200)}
            return "LINE baud=%s stopbits=%d ixon=%d" % (
                bauds.get(speed, "other"), 2 if cflag & termios.CSTOPB else 1, 1 if iflag & termios.IXON else 0)
        elif command == "IXON":
            attrs = termios.tcgetattr(self.slave)
            attrs[0] |= termios.IXON | termios.IXOFF
            termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        elif command in ("STOP", "START"):
            termios.tcflow(self.slave, termios.TCOOFF if command == "STOP" else termios.TCOON)
        elif command == "STREAM":  # bytes at the line's rate for <ms>, in the background
            threading.Thread(target=self.stream, args=(int(args[0]) / 1000.0,), daemon=True).start()
        elif command == "HANGUP":
            os.close(self.master)
            self.master = None
        elif command == "NOTALINE":  # the port's device is no serial line: every call on it fails
            os.close(self.master)
            self.master = None
            os.unlink(self.link)
            os.symlink("/dev/null", self.link)
        elif command == "HOLDERS":
            pids = [int(p) for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid()]
            return "HOLDERS %d" % sum(self.holds_line(pid) for pid in pids)
        else:
            return "ERR unknown command %s" % command
        return "OK"

    def stream(self, seconds):
        end = time.monotonic() + seconds
        value = 0
        while time.monotonic() < end and self.master is not None:
            os.write(self.master, bytes([0x40 + value % 64]))  # no header byte among them
            value += 1
            time.sleep(1 / 960.0)

    def receive(self, count, deadline):
        data = b""
        while len(data) < count and select.select([self.master], [], [], max(0, deadline - time.monotonic()))[0]:
            data += os.read(self.master, count - len(data))
        return data

    def holds_line(self, pid):
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
            return any(os.readlink("/proc/%d/fd/%s" % (pid, fd)) == self.path for fd in fds)
        except OSError:
            return False

    def close(self):
        self.server.close()
        if os.path.islink(self.link):
            os.unlink(self.link)
        # Closing the line while the prefix's wineserver still has it open would hang it up.
        subprocess.run(["timeout", "20", "wineserver", "-w"], env=dict(os.environ, WINEPREFIX=self.prefix))
        os.close(self.slave)
        if self.master is not None:
            os.close(self.master)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True, help="the Wine prefix the program runs in")
    parser.add_argument("--wine-run", required=True, help="the build's Wine wrapper")
    parser.add_argument("--port", type=int, required=True, help="COM port number of the line")
    parser.add_argument("--shim", default="", help="pty shim the wrapper preloads; must exist")
    parser.add_argument("--no-shim", action="store_true", help="run without the pty shim")
    parser.add_argument("program", nargs=argparse.REMAINDER, help="-- program [arguments]")
    options = parser.parse_args()
    program = options.program[1:] if options.program[:1] == ["--"] else options.program
    if not options.no_shim and not os.path.isfile(options.shim):
        sys.exit("pty_peer: the pty shim %r is missing; build amp_ptyshim in the native build "
                 "(AMP_NATIVE_BUILD) or pass --no-shim" % options.shim)

    peer = Peer(options.prefix, options.port)
    env = dict(os.environ, AMP_TEST_COM_PORT=str(options.port), AMP_PEER_PORT=str(peer.server.getsockname()[1]),
               AMP_NO_PTY_SHIM="1" if options.no_shim else "")
    try:
        process = subprocess.Popen([options.wine_run] + program, env=env)
        try:
            return process.wait(timeout=120)
        except subprocess.TimeoutExpired:
            process.kill()
            sys.exit("pty_peer: the program ran longer than 120 s (a call that hangs?); stopped it")
    finally:
        peer.close()


if __name__ == "__main__":
    sys.exit(main())
