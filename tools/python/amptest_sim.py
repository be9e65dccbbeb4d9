"""The panel's identifiers and the frames as the simulator's log writes them, waits, and the
simulator itself; part of amptest (which the tests import)."""

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _resource_names():
    """The panel's control identifiers and caption, as res/resource.h defines them."""
    names = {}
    with open(os.path.join(ROOT, "res", "resource.h")) as header:
        for line in header:
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == "#define" and parts[1].startswith(("IDC_", "PANEL_")):
                value = parts[2].strip()
                names[parts[1]] = value.strip('"') if value.startswith('"') else int(value.strip("()"))
    return names


globals().update(_resource_names())
CAPTION = PANEL_CAPTION  # noqa: F821 - defined from the header just above
COM = 5  # the panel's port in the end-to-end tests


def frame(command, *data):
    """A command frame as the panel sends it and the simulator logs it: EF EF LEN CMD DATA... SUM."""
    body = [0xEF, 0xEF, 2 + len(data), command] + list(data)
    return " ".join("%02X" % b for b in body + [sum(body) & 0xFF])


def word_frame(command, value):
    return frame(command, value >> 8, value & 0xFF)


STATUS_QUERY = frame(0x00)
SETTINGS_QUERY = frame(0x02)
OUTPUT_QUERY = frame(0x25)
QUERIES = {STATUS_QUERY, SETTINGS_QUERY, OUTPUT_QUERY}
OUTPUT_ON = frame(0x26, 1)
OUTPUT_OFF = frame(0x26, 0)
MODE_ACC = frame(0x06, 1)
MODE_APC = frame(0x06, 0)


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


def read_text(path):
    with open(path) as f:
        return f.read()


# ------------------------------------------------------------------------------------------------
# The simulator

def terminate(process, seconds=10, how=signal.SIGTERM):
    """A stop signal to a process of ours and a wait for its end; killed when it outlasts that
    (False)."""
    if process.poll() is not None:
        return True
    process.send_signal(how)
    try:
        process.wait(seconds)
        return True
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(10)
        return False


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
            ready, _, _ = select.select([self.process.stdout], [], [], 10)
            line = self.process.stdout.readline().strip() if ready else ""
            if not line.startswith("ampsim: line "):
                raise AssertionError("simulator did not start: %r %s" % (line, read_text(err_path).strip()))
            wait_until(lambda: os.path.exists(self.control_path), 10, "the simulator's control socket")
        except BaseException:
            self.stop()
            raise

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
        """Frames sent to the amplifier, optionally only those equal to hexbytes, from `since` on."""
        return [f for f in self.frames("RX") if f.t >= since and (hexbytes is None or f.hex() == hexbytes)]

    def now(self):
        """The simulator's clock, as its log writes it: marks a moment in the log's time."""
        return float(self.state()["time"])

    def stop(self):
        terminate(self.process)
        shutil.rmtree(self.control_dir, ignore_errors=True)


def frame_rate(frames):
    """Frames a second, from the first frame's time to the last's (so a window's edges do not
    count)."""
    return (len(frames) - 1) / (frames[-1].t - frames[0].t) if len(frames) >= 2 else 0.0


def frames_per_second(sim, seconds):
    """The rate of the frames sent to the amplifier over the next `seconds`."""
    start = sim.now()
    time.sleep(seconds)  # the wire is measured over this span
    return frame_rate(sim.received(since=start))
