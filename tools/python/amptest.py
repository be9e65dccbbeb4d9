"""What the tests and the measuring tools share: the panel's identifiers and the frames as the
simulator's log writes them; the simulator, ampd, the panel under Wine and its driver, a line-based
SCPI client and readers at 5 Hz; waits, figures, process figures, headless Chromium; and the runner
that prints PASS or FAIL for each test and the closing count.

A script finds it from its own place:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))

Every wait is 'until a condition holds or a deadline passes'."""

import json
import os
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time
import traceback

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


def write_figures(work, figures):
    """Prints the figures and keeps them in <work>/figures.txt, which the test command shows."""
    with open(os.path.join(work, "figures.txt"), "w") as out:
        for line in figures:
            print("figure: " + line)
            out.write(line + "\n")


def spacing_ms(times):
    return [(b - a) * 1000.0 for a, b in zip(times, times[1:])]


def summary(name, values):
    if not values:
        return "%s: none" % name
    worst = max(values, key=lambda v: abs(v - statistics.median(values)))
    return "%s: n=%d median %.1f ms, worst %.1f ms (min %.1f, max %.1f)" % (
        name, len(values), statistics.median(values), worst, min(values), max(values))


def slope(samples):
    """How fast (t, value) samples grow, in value units a second: the median of the slopes between
    every two of them, so a sample caught in the middle of a change makes no slope."""
    rates = [(b[1] - a[1]) / (b[0] - a[0]) for i, a in enumerate(samples) for b in samples[i + 1:] if b[0] > a[0]]
    return statistics.median(rates) if rates else 0.0


# ------------------------------------------------------------------------------------------------
# The test runner

class Results:
    """PASS or FAIL a line for each test, with its time (and its trace when it failed), then the
    closing count."""

    def __init__(self):
        self.passed = self.failed = 0

    def run(self, name, body, on_failure=None):
        started = time.monotonic()
        try:
            body()
        except Exception:  # noqa: BLE001 - every failure is reported with its trace
            self.fail(name, time.monotonic() - started)
            traceback.print_exc()
            if on_failure:
                on_failure()
            return False
        self.passed += 1
        print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        return True

    def fail(self, name, seconds=0.0):
        self.failed += 1
        print("FAIL %s (%.1f s)" % (name, seconds), flush=True)

    def close(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


def run_tests(tests, rig_for=lambda test: None):
    """Each test(rig) with a rig of its own from rig_for(test), stopped whatever happens; returns
    the exit status."""
    results = Results()
    for test in tests:
        def body():
            rig = rig_for(test)
            try:
                test(rig)
            finally:
                if rig:
                    rig.stop()
        results.run(test.__name__, body)
    return results.close()


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


# ------------------------------------------------------------------------------------------------
# ampd and its clients

class Ampd:
    """ampd on a line, started with its endpoints (free loopback ports unless told) and taken as
    up once it has said where each listens. What it says goes to <work>/ampd.err and to `lines`."""

    def __init__(self, ampd, line, work, options=(), scpi=("127.0.0.1:0",), http=(), env=None):
        self.err_path = os.path.join(work, "ampd.err")
        command = [ampd, "-p", line]
        for endpoint in scpi:
            command += ["--scpi", endpoint]
        for endpoint in http:
            command += ["--http", endpoint]
        self.err = open(self.err_path, "w")
        self.process = subprocess.Popen(command + list(options), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True, env=env)
        self.endpoints = []
        self.http = []
        self.lines = []
        deadline = time.monotonic() + 10
        while len(self.endpoints) < len(scpi) or len(self.http) < len(http):
            ready, _, _ = select.select([self.process.stderr], [], [], max(0.0, deadline - time.monotonic()))
            said = self.process.stderr.readline() if ready else ""
            if not said:
                self.stop()
                raise AssertionError("ampd did not start listening: %s" % "".join(self.lines))
            self._keep(said)
            found = re.search(r"(SCPI|HTTP) on \[?([0-9a-fA-F.:]+?)\]?:(\d+)", said)
            if found:
                (self.endpoints if found.group(1) == "SCPI" else self.http).append(
                    (found.group(2), int(found.group(3))))
        self.host, self.port = self.endpoints[0] if self.endpoints else (None, None)
        self.http_port = self.http[0][1] if self.http else None
        threading.Thread(target=self._drain, daemon=True).start()

    def _keep(self, said):
        self.lines.append(said)
        self.err.write(said)
        self.err.flush()

    def _drain(self):
        for said in self.process.stderr:
            self._keep(said)

    def said(self, text):
        return any(text in said for said in self.lines)

    def client(self, source=None):
        return ScpiClient(self.port, self.host, source)

    def running(self):
        return self.process.poll() is None

    def stop(self):
        """SIGTERM, and the clean stop it starts: exit 0 (under the sanitizers, also no leak)."""
        if self.process.poll() is None:
            if not terminate(self.process):
                raise AssertionError("ampd did not stop on SIGTERM")
            if self.process.returncode != 0:
                raise AssertionError("ampd stopped with exit %d: %s" % (self.process.returncode, self.err_path))
        self.err.close()


class ScpiClient:
    """A plain SCPI client on a socket: a line out, a line back."""

    def __init__(self, port, host="127.0.0.1", source=None, timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def send(self, line):
        self.sock.sendall(line.encode() + b"\n")

    def read(self, timeout=10):
        self.sock.settimeout(timeout)
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("ampd closed the connection")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode()

    def ask(self, line, timeout=10):
        self.send(line)
        return self.read(timeout)

    def errors(self):
        """The error queue, read until it says no error."""
        found = []
        while True:
            error = self.ask("SYST:ERR?")
            if error.startswith("0,"):
                return found
            found.append(error)

    def closed(self):
        """Whether the server has closed this connection."""
        try:
            self.sock.settimeout(0.1)
            return self.sock.recv(1) == b""
        except socket.timeout:
            return False
        except OSError:
            return True

    def close(self):
        self.sock.close()


class Readers:
    """Clients reading MEAS? at 5 Hz each, from four loopback addresses (ampd takes at most 32
    connections from one), until stopped. `answered` counts each reader's readings."""

    def __init__(self, port, count):
        self.stop_event = threading.Event()
        self.answered = [0] * count
        self.failures = []
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._read, args=(port, i, "127.0.0.%d" % (1 + i % 4), i / count))
                        for i in range(count)]
        for thread in self.threads:
            thread.start()

    @property
    def answers(self):
        return sum(self.answered)

    def _read(self, port, index, source, phase):
        try:
            client = ScpiClient(port, source=source)
            self.stop_event.wait(phase * 0.2)  # spread over the period, not all at once
            next_at = time.monotonic()
            while not self.stop_event.is_set():
                answer = client.ask("MEAS?")
                with self.lock:
                    if answer.count(",") == 3:
                        self.answered[index] += 1
                    else:
                        self.failures.append(answer)
                next_at += 0.2
                self.stop_event.wait(max(0.0, next_at - time.monotonic()))
            client.close()
        except Exception as error:  # noqa: BLE001 - reported by stop()
            with self.lock:
                self.failures.append(repr(error))

    def stop(self):
        self.stop_event.set()
        for thread in self.threads:
            thread.join(30)
        if self.failures:
            raise AssertionError("%d reader failures, first %s" % (len(self.failures), self.failures[0]))


# ------------------------------------------------------------------------------------------------
# Process figures (/proc)

CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, every thread of the process


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for process %d" % pid)


def wineserver_pid(prefix):
    """The prefix's server, or None: it runs in the server folder named after the prefix's device
    and inode."""
    info = os.stat(prefix)
    folder = "server-%x-%x" % (info.st_dev, info.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as comm:
                if not comm.read().startswith("wineserver"):  # wineserver64 on 64-bit Wine
                    continue
            if os.path.basename(os.readlink("/proc/%s/cwd" % entry)) == folder:
                return int(entry)
        except OSError:
            continue
    return None


# ------------------------------------------------------------------------------------------------
# The panel under Wine

class Driver:
    """The panel driver under Wine: one command per line, one answer per line."""

    def __init__(self, wine_run, driver_exe, env=None):
        self.process = subprocess.Popen([wine_run, driver_exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1, env=env)

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

    def port_list(self):
        items, _, _ = self("items %d" % IDC_PORT_LIST).partition(" sel ")  # noqa: F821
        return items.split(",") if items else []

    def select_port(self, name):
        names = self.port_list()
        assert name in names, "%s not in the port list %s" % (name, names)
        self("select %d %d" % (IDC_PORT_LIST, names.index(name)))  # noqa: F821

    def dismiss_error_boxes(self):
        """The port engine reports line failures in message boxes; an operator would dismiss them."""
        texts = []
        while True:
            try:
                texts.append(self("msgbox 300"))
            except AssertionError:
                return texts

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
    """Simulator on COM<COM> of the prefix, panel and driver, started fresh; stopped whatever
    happens. args: ampsim, wine_run, panel, driver, prefix, work."""

    def __init__(self, args, sim_options=()):
        self.args = args
        os.makedirs(args.work, exist_ok=True)
        self.link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
        try:
            self.sim = Simulator(args.ampsim, args.work, self.link, sim_options)
            self.start_panel()
        except BaseException:
            self.stop()  # the parts already started
            raise

    def start_panel(self):
        self.panel = Panel(self.args.wine_run, self.args.panel, self.args.work)
        self.drive = Driver(self.args.wine_run, self.args.driver)
        self.drive("find 30000")

    def stop(self):
        for part in ("drive", "panel", "ampd", "sim"):
            if getattr(self, part, None):
                getattr(self, part).stop()

    def text(self, control_id):
        return self.drive.text(control_id)

    def port_list(self):
        return self.drive.port_list()

    def select_port(self, name):
        self.drive.select_port(name)

    def type_into(self, box, text):
        """Focuses the box with a click, empties it and types the text through its key filter."""
        self.drive("click %d" % box)
        self.drive("settext %d " % box)
        self.drive("type %d %s" % (box, text))
        wait_until(lambda: self.text(box) == text, 5, "%r typed into %d" % (text, box))

    def open_and_link(self):
        self.select_port("COM%d" % COM)
        clicked = self.sim.now()
        self.drive("click %d" % IDC_OPEN_PORT)  # noqa: F821
        wait_until(lambda: self.text(IDC_OPEN_PORT) == "ClosePort", 10, "the button to read ClosePort")  # noqa: F821
        wait_until(lambda: self.sim.received(STATUS_QUERY, since=clicked), 10, "the first status poll")
        return clicked

    def dismiss_error_boxes(self):
        return self.drive.dismiss_error_boxes()


# ------------------------------------------------------------------------------------------------
# The page's browser

def chromium(profile, size=(1280, 900), binary="/usr/bin/chromium", chromedriver="/usr/bin/chromedriver",
             log_path=None, console=False, flags=()):
    """Headless Chromium through Selenium (Debian's), with a profile folder of its own."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=%d,%d" % size) + tuple(flags):
        options.add_argument(flag)
    if console:
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(chromedriver, log_path=log_path) if log_path else Service(chromedriver)
    return webdriver.Chrome(service=service, options=options)
