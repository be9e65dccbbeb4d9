"""Plumbing for the end-to-end tests: the simulator on a pseudo-terminal linked as a COM port of
the test's Wine prefix, the real panel under Wine, and a driver program that works the panel from a
second process. Every wait is 'until a condition holds or a deadline passes'."""

import json
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import time

def _resource_names():
    """The panel's control identifiers and caption, as res/resource.h defines them."""
    names = {}
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res", "resource.h")
    with open(path) as header:
        for line in header:
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == "#define" and parts[1].startswith(("IDC_", "PANEL_")):
                value = parts[2].strip()
                names[parts[1]] = value.strip('"') if value.startswith('"') else int(value.strip("()"))
    return names


globals().update(_resource_names())
CAPTION = PANEL_CAPTION  # noqa: F821 - defined from the header just above
COM = 5
STATUS_QUERY = "EF EF 02 00 E0"
SETTINGS_QUERY = "EF EF 02 02 E2"
OUTPUT_QUERY = "EF EF 02 25 05"


def wait_until(condition, timeout, what, interval=0.02):
    """Polls condition() until it returns something truthy; fails with `what` at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def write_figures(work, figures):
    """Prints the figures and keeps them in <work>/figures.txt, which the test command shows."""
    with open(os.path.join(work, "figures.txt"), "w") as out:
        for line in figures:
            print("figure: " + line)
            out.write(line + "\n")


class Frame:
    def __init__(self, t, direction, data):
        self.t = t
        self.direction = direction
        self.data = data

    def hex(self):
        return " ".join("%02X" % b for b in self.data)

    def __repr__(self):
        return "%.6f %s %s" % (self.t, self.direction, self.hex())


class Simulator:
    def __init__(self, ampsim, work, link, options=()):
        self.work = work
        self.log_path = os.path.join(work, "frames.log")
        # A socket's path is limited to 107 bytes, which a deep work folder can pass: it lives in a
        # short private folder of its own instead.
        self.control_dir = tempfile.mkdtemp(prefix="ampsim-")
        self.control_path = os.path.join(self.control_dir, "control")
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)
        err_path = os.path.join(work, "ampsim.err")
        with open(err_path, "w") as err:
            self.process = subprocess.Popen(
                [ampsim, "--link", link, "--log", self.log_path, "--control", self.control_path] + list(options),
                stdout=subprocess.PIPE, stderr=err, text=True)
        try:
            line = self._read_line(10)
            if not line.startswith("ampsim: line "):
                with open(err_path) as err:
                    raise AssertionError("simulator did not start: %r %s" % (line, err.read().strip()))
            wait_until(lambda: os.path.exists(self.control_path), 10, "the simulator's control socket")
        except BaseException:
            self.stop()
            raise

    def _read_line(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        return self.process.stdout.readline().strip() if ready else ""

    def control(self, command):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.control_path)
            s.sendall((command + "\n").encode())
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
        reply = reply.decode().strip()
        if reply.startswith("error"):
            raise AssertionError("simulator refused %r: %s" % (command, reply))
        return reply

    def state(self):
        return json.loads(self.control("state"))

    def frames(self, direction=None):
        out = []
        with open(self.log_path) as f:
            for line in f:
                parts = line.split()
                if len(parts) < 2 or parts[1] not in ("RX", "TX", "RX-BAD"):
                    continue
                frame = Frame(float(parts[0]), parts[1], bytes(int(x, 16) for x in parts[2:]))
                if direction is None or frame.direction == direction:
                    out.append(frame)
        return out

    def received(self, hexbytes=None, since=0.0):
        """Frames the panel sent, optionally only those equal to hexbytes, from time `since` on."""
        return [f for f in self.frames("RX") if f.t >= since and (hexbytes is None or f.hex() == hexbytes)]

    def now(self):
        """The simulator's clock, as its log writes it: marks a moment in the log's time."""
        return float(self.state()["time"])

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        shutil.rmtree(self.control_dir, ignore_errors=True)


class Driver:
    """The panel driver under Wine: one command per line, one answer per line."""

    def __init__(self, wine_run, driver_exe):
        self.process = subprocess.Popen([wine_run, driver_exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1)

    def __call__(self, command, timeout=30):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise AssertionError("driver gave no answer to %r" % command)
        answer = self.process.stdout.readline().rstrip("\n")
        if not answer.startswith("ok"):
            raise AssertionError("driver: %r -> %r" % (command, answer))
        return answer[3:]

    def text(self, control_id):
        return self("text %d" % control_id)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()


class Panel:
    """The real program under Wine."""

    def __init__(self, wine_run, panel_exe, work):
        self.process = subprocess.Popen([wine_run, panel_exe], stdout=open(os.path.join(work, "panel.out"), "w"),
                                        stderr=subprocess.STDOUT)

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
            self.process.wait(10)


def spacing_ms(times):
    gaps = [(b - a) * 1000.0 for a, b in zip(times, times[1:])]
    return gaps


def summary(name, values):
    if not values:
        return "%s: none" % name
    worst = max(values, key=lambda v: abs(v - statistics.median(values)))
    return "%s: n=%d median %.1f ms, worst %.1f ms (min %.1f, max %.1f)" % (
        name, len(values), statistics.median(values), worst, min(values), max(values))


def screen_pixel(x, y):
    """The colour at a point of the X display, read from a screenshot (not from Wine)."""
    out = subprocess.run(["import", "-silent", "-window", "root", "-crop", "1x1+%d+%d" % (x, y), "-depth", "8", "txt:-"],
                         capture_output=True, text=True, timeout=30).stdout
    # "0,0: (255,0,0)  #FF0000  red"
    for line in out.splitlines():
        if line.startswith("0,0:"):
            rgb = line.split("(")[1].split(")")[0].split(",")
            return tuple(int(float(v)) for v in rgb[:3])
    raise AssertionError("could not read the screen: %r" % out)


class Rig:
    """Simulator, panel and driver, started fresh; stopped whatever happens."""

    def __init__(self, args, sim_options=()):
        self.args = args
        os.makedirs(args.work, exist_ok=True)
        self.link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
        try:
            self.sim = Simulator(args.ampsim, args.work, self.link, sim_options)
            self.panel = Panel(args.wine_run, args.panel, args.work)
            self.drive = Driver(args.wine_run, args.driver)
            self.drive("find 30000")
        except BaseException:
            self.stop()  # the parts already started
            raise

    def stop(self):
        for part in (getattr(self, "drive", None), getattr(self, "panel", None), getattr(self, "sim", None)):
            if part:
                part.stop()

    def text(self, control_id):
        return self.drive.text(control_id)

    def select_port(self, name):
        names = self.port_list()
        assert name in names, "%s not in the port list %s" % (name, names)
        self.drive("select %d %d" % (IDC_PORT_LIST, names.index(name)))

    def port_list(self):
        items, _, _ = self.drive("items %d" % IDC_PORT_LIST).partition(" sel ")
        return items.split(",") if items else []

    def type_into(self, box, text):
        """Focuses the box with a click, empties it and types the text through its key filter."""
        self.drive("click %d" % box)
        self.drive("settext %d " % box)
        self.drive("type %d %s" % (box, text))
        wait_until(lambda: self.text(box) == text, 5, "%r typed into %d" % (text, box))

    def open_and_link(self):
        self.select_port("COM%d" % COM)
        clicked = self.sim.now()
        self.drive("click %d" % IDC_OPEN_PORT)
        wait_until(lambda: self.text(IDC_OPEN_PORT) == "ClosePort", 10, "the button to read ClosePort")
        wait_until(lambda: self.sim.received(STATUS_QUERY, since=clicked), 10, "the first status poll")
        return clicked

    def dismiss_error_boxes(self):
        """The port engine reports line failures in message boxes; an operator would dismiss them."""
        texts = []
        while True:
            try:
                texts.append(self.drive("msgbox 300"))
            except AssertionError:
                return texts
