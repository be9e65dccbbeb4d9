#!/usr/bin/env python3
"""The figures of scripts/bench.sh, each beside its reference measured in the same run.

    bench.py --root DIR --wine-run W --prefix P --work DIR [--no-win32] [--only PARTS] [counts...]

DIR is the checkout (its build/native, build/win64 and build/win32 are used as built); W is a
wine-run wrapper whose prefix is P, with X already on DISPLAY (the ampd part runs natively and
needs neither). Prints one table and writes it to
WORK/bench.txt. Times are printed, never checked: the exit status is 1 only when a figure could
not be measured at all. Every wait is 'until a condition holds or a deadline passes'."""

import argparse
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from amptest import (CAPTION, CLK_TCK, COM, IDC_INPUT_POWER, IDC_OPEN_PORT, STATUS_QUERY, Ampd, Driver,  # noqa: E402
                     Readers, ScpiClient, Simulator, chromium, cpu_ticks, vm_rss_kib, wait_until, wineserver_pid)

LINE_BYTES_PER_S = 960.0           # 9600 baud, 10 bits a byte
BYTE_S = 1.0 / LINE_BYTES_PER_S
STATUS_REPLY_BYTES = 17
QUERY_BYTES = 5
CURRENT_SETTING_BYTES = 7          # the setting frame, sent twice
CURRENT_ECHO_BYTES = 9             # the amplifier's target current reply
POLL_PERIOD_MS = 200.0
PROBE_DELAY_MS = 500.0             # from the open click to the first probe
FRAME_SPACING_MS = 100.0
OUTPUT_REPLY_BYTES = 6
REFERENCE_CAPTION = "AmpPanel bench: empty dialog"  # tools/emptydlg.cpp
PARTS = ("framer", "delivery", "panel", "shared", "startup", "ampctl", "ampd", "page", "sizes")

rows = []      # (figure, measured, reference, note)
failures = []  # what could not be measured


def row(figure, measured, reference, note):
    rows.append((figure, measured, reference, note))


def not_measured(figure, why):
    failures.append(figure)
    row(figure, "not measured", "", why)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


class Started:
    """Processes this run starts; each is ended by its own id, and simulators are recorded in a file
    so that bench.sh can end them should this program itself be killed."""

    def __init__(self, work):
        self.pids_path = os.path.join(work, "started.pids")
        open(self.pids_path, "w").close()
        self.processes = []

    def popen(self, command, env=None, log=None):
        process = subprocess.Popen(command, env=env, stdout=log or subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def simulator(self, root, work, link, options=()):
        os.makedirs(work, exist_ok=True)
        sim = Simulator(os.path.join(root, "build/native/linux/ampsim"), work, link, list(options))
        self.record(sim.process.pid)
        return sim

    def record(self, pid):
        with open(self.pids_path, "a") as pids:
            pids.write("%d\n" % pid)

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.kill()
        process.wait(10)


# ------------------------------------------------------------------------------------------------
# Clocks and CPU

def clock_offset(sim, tries=15):
    """time.monotonic() minus the simulator's log time, from the state reply with the shortest
    round trip; both are CLOCK_MONOTONIC here, the simulator's counted from its start."""
    best = None
    for _ in range(tries):
        before = time.monotonic()
        at = sim.now()
        after = time.monotonic()
        if best is None or after - before < best[1]:
            best = ((before + after) / 2.0 - at, after - before)
    return best[0], best[1] / 2.0  # offset, its uncertainty either way


def cpu_percent(pids, seconds):
    """Share of one core each process used over the next `seconds`."""
    before = [cpu_ticks(p) for p in pids]
    started = time.monotonic()
    time.sleep(seconds)  # the measuring window itself, not a wait for a condition
    elapsed = time.monotonic() - started
    return [(cpu_ticks(p) - b) / CLK_TCK / elapsed * 100.0 for p, b in zip(pids, before)]


# ------------------------------------------------------------------------------------------------
# Native and port-engine figures

def framer_figure(root):
    rates = []
    for _ in range(3):
        out = subprocess.run([os.path.join(root, "build/native/tools/framerbench"), "1"], capture_output=True,
                             text=True, timeout=60)
        if out.returncode != 0:
            raise AssertionError("framerbench: %s" % (out.stderr.strip() or out.stdout.strip()))
        rates.append(float(out.stdout.split()[-2]))
    rate = statistics.median(rates)
    row("framer throughput (native)", "{:,.0f} bytes/s".format(rate), "%.0f bytes/s" % LINE_BYTES_PER_S,
        "status replies, median of %d one-second runs; %.0fx the line" % (len(rates), rate / LINE_BYTES_PER_S))


def delivery_figures(args, shim):
    """The port engine's figures (serial_port_tests, CommPortFigures.*: not among the tests), run
    through pty_peer.py as the tests run it."""
    command = ["python3", os.path.join(args.root, "tests/win/serial/pty_peer.py"), "--prefix", args.prefix,
               "--wine-run", args.wine_run, "--port", "7", "--shim", args.shim]
    if not shim:
        command.append("--no-shim")
    command += ["--", os.path.join(args.root, "build/win64/tests/win/serial/serial_port_tests.exe"),
                "--gtest_filter=CommPortFigures.*"]
    out = subprocess.run(command, capture_output=True, text=True, timeout=300)
    with open(os.path.join(args.work, "delivery-%s.log" % ("shim" if shim else "noshim")), "w") as log:
        log.write(out.stdout + out.stderr)
    tag = "shim %s" % ("on" if shim else "off")
    found = 0
    for line in out.stdout.splitlines():
        words = line.split()
        # "[ figure   ] delivered 4800 bytes in 0.270 s: 17778 bytes/s (the line carries 960)"
        if "] delivered " in line:
            row("port engine delivery (Wine)", "%.0f bytes/s" % float(words[words.index("bytes/s") - 1]),
                "%.0f bytes/s" % LINE_BYTES_PER_S, "%s; %s bytes written at once by the peer, timed to the owner "
                "window (CommPortFigures)" % (tag, words[words.index("delivered") + 1]))
        # "[ figure   ] idle monitored port: the test process uses 0.4% of a core"
        elif "] idle monitored port:" in line:
            row("port engine CPU, idle monitored port (Wine)", words[words.index("uses") + 1], "",
                "%s; the test process over 5 s, %% of one core (CommPortFigures)" % tag)
        # "[ figure   ] 300 bursts of 17 bytes: private memory +0 kB, 0 threads started"
        elif "] " in line and " bursts of " in line:
            row("port engine memory, %s bursts of 17 bytes (Wine)" % words[3], " ".join(words[10:12]).rstrip(","),
                "%s threads started" % words[12], "%s; private bytes before and after (CommPortFigures)" % tag)
        else:
            continue
        found += 1
    if found != 3 or out.returncode != 0:
        raise AssertionError("%d of the 3 port engine figures (exit %d; log in %s)" % (found, out.returncode, args.work))


# ------------------------------------------------------------------------------------------------
# The panel linked to the simulator

class PanelRun:
    """The simulator on COM<COM> of the prefix and the panel, with or without the pty shim; or,
    through ampd, the simulator on a line of its own and ampd's panel link as COM<COM>."""

    def __init__(self, args, started, drive, shim, through_ampd=False):
        self.args, self.started, self.drive, self.shim = args, started, drive, shim
        self.work = os.path.join(args.work, "panel-ampd" if through_ampd else "panel-shim" if shim else "panel-noshim")
        os.makedirs(self.work, exist_ok=True)
        link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
        self.ampd = None
        if through_ampd:
            line = os.path.join(self.work, "amp")
            self.sim = started.simulator(args.root, self.work, line, ["--output", "on"])
            self.ampd = start_ampd(args.root, started, line, self.work, ["--panel-link", link])
            wait_until(lambda: os.path.exists(link), 15, "ampd's panel link")
        else:
            self.sim = started.simulator(args.root, self.work, link, ["--output", "on"])
        env = dict(os.environ, AMP_NO_PTY_SHIM="" if shim else "1")
        self.panel = started.popen([args.wine_run, os.path.join(args.root, "build/win64/app/AmpPanel.exe")], env,
                                   open(os.path.join(self.work, "panel.out"), "w"))
        try:
            self.drive("find 60000", timeout=90)
            # wine-run and wine exec the loader: the process started is the panel's own.
            with open("/proc/%d/cmdline" % self.panel.pid) as cmdline:
                assert "AmpPanel.exe" in cmdline.read(), "process %d is not the panel" % self.panel.pid
            with open("/proc/%d/maps" % self.panel.pid) as maps:
                loaded = "libamp_ptyshim.so" in maps.read()
            assert loaded == shim, "the pty shim is %sloaded in the panel" % ("" if loaded else "not ")
            self.server = wineserver_pid(args.prefix)
            assert self.server, "no wineserver runs for %s" % args.prefix
        except BaseException:
            self.stop()
            raise

    def cpu(self, seconds):
        return cpu_percent([self.panel.pid, self.server], seconds)

    def link_up(self):
        """Opens COM<COM> in the panel; returns the simulator's time of the click."""
        self.drive.select_port("COM%d" % COM)
        clicked = self.sim.now()
        self.drive("click %d" % IDC_OPEN_PORT)
        wait_until(lambda: self.sim.received(STATUS_QUERY, since=clicked), 15, "the first status poll")
        return clicked

    def latencies(self, count, offset):
        """From the last byte of the first status reply that carries a new input power to the
        moment the panel's readout shows it, read back by the driver in a tight loop."""
        values = []
        for i in range(count):
            dbm = -5.0 - 0.1 * (i % 50)
            text = "%.1f" % dbm
            raw = int(round(dbm * 100)) + 7000
            since = time.monotonic() - offset - 0.05
            self.sim.control("set input-dbm %s" % text)
            self.drive("waittext %d %s 5000" % (IDC_INPUT_POWER, text))
            seen = time.monotonic()
            replies = [f for f in self.sim.frames("TX") if f.t >= since and len(f.data) == STATUS_REPLY_BYTES
                       and f.data[3] == 0x00 and f.data[8] * 256 + f.data[9] == raw]
            assert replies, "no status reply carried %s dBm" % text
            last_byte = offset + replies[0].t + STATUS_REPLY_BYTES * BYTE_S
            values.append((seen - last_byte) * 1000.0)
            time.sleep(0.05 + 0.037 * (i % 5))  # spread the samples over the poll's phase
        return values

    def stop(self):
        Started.end(self.panel)
        if self.ampd:
            self.ampd.stop()  # a stop it sees: it removes its panel link
        self.sim.stop()


def shared_figures(args, started, drive, seconds):
    """The panel's reply-to-display latency through ampd's panel link, beside the same directly
    on the line (the panel part's, when measured in this run)."""
    run = PanelRun(args, started, drive, True, through_ampd=True)
    try:
        run.link_up()
        time.sleep(1.0)
        offset, uncertainty = clock_offset(run.sim)
        latencies = run.latencies(seconds["latency_n"], offset)
        direct = [r[1] for r in rows if r[0] == "reply-to-display latency, median"]
        row("reply-to-display latency through ampd, median", "%.1f ms" % statistics.median(latencies),
            ("%s direct" % direct[0]) if direct else "direct not measured in this run",
            "shim on; n=%d; from the reply's last byte on the amplifier's line to the panel's readout: ampd passes "
            "a reply on whole (one frame time after it began); clocks matched +-%.2f ms; worst %.1f ms" % (
                len(latencies), uncertainty * 1000.0, max(latencies)))
    finally:
        run.stop()


def panel_figures(args, started, drive, shim, seconds):
    """CPU idle and linked, poll cadence, reply-to-display latency; one panel run."""
    tag = "shim %s" % ("on" if shim else "off")
    run = PanelRun(args, started, drive, shim)
    try:
        time.sleep(2.0)  # past the start-up's own work before the idle window
        panel, server = run.cpu(seconds["idle"])
        row("panel CPU, idle (port closed)", "%.1f%%" % panel, "wineserver %.1f%%" % server,
            "%s; %.0f s window; %% of one core" % (tag, seconds["idle"]))

        clicked = run.link_up()
        reply = next(f for f in run.sim.frames("TX") if f.t >= clicked and f.data[3] == 0x25)
        first_poll = run.sim.received(STATUS_QUERY, since=clicked)[0]
        row("open click to the first poll", "%.0f ms" % ((first_poll.t - clicked) * 1000),
            "%.0f ms floor" % (PROBE_DELAY_MS + FRAME_SPACING_MS + OUTPUT_REPLY_BYTES * BYTE_S * 1000 + POLL_PERIOD_MS),
            "%s; the output reply complete %.0f ms after the click; floor: the first probe at 500 ms, its output "
            "query 100 ms on, the reply's 6 bytes, a poll tick" % (
                tag, (reply.t + OUTPUT_REPLY_BYTES * BYTE_S - clicked) * 1000))
        time.sleep(1.0)
        window_start = run.sim.now()
        panel, server = run.cpu(seconds["linked"])
        window_end = run.sim.now()
        row("panel CPU, polling (linked)", "%.1f%%" % panel, "wineserver %.1f%%" % server,
            "%s; %.0f s window; %% of one core" % (tag, seconds["linked"]))

        polls = [f.t for f in run.sim.received(STATUS_QUERY, since=window_start) if f.t <= window_end]
        gaps = [(b - a) * 1000.0 for a, b in zip(polls, polls[1:])]
        if len(gaps) < 2:
            raise AssertionError("only %d status queries in the window" % len(polls))
        note = "%s; n=%d gaps over the CPU window, driver quiet" % (tag, len(gaps))
        row("poll gap, median", "%.1f ms" % statistics.median(gaps), "%.0f ms" % POLL_PERIOD_MS, note)
        row("poll gap, p95", "%.1f ms" % percentile(gaps, 95), "%.0f ms" % POLL_PERIOD_MS, note)
        row("poll gap, worst", "%.1f ms" % max(gaps), "%.0f ms" % POLL_PERIOD_MS,
            note + "; shortest %.1f ms" % min(gaps))

        offset, uncertainty = clock_offset(run.sim)
        latencies = run.latencies(seconds["latency_n"], offset)
        drift = (clock_offset(run.sim)[0] - offset) * 1000.0
        wire = STATUS_REPLY_BYTES * BYTE_S * 1000.0
        note = "%s; n=%d; from the reply's first-byte stamp + 17 byte times; clocks matched +-%.2f ms, drift %.2f ms" \
            % (tag, len(latencies), uncertainty * 1000.0, drift)
        row("reply-to-display latency, median", "%.1f ms" % statistics.median(latencies), "%.1f ms wire" % wire, note)
        row("reply-to-display latency, worst", "%.1f ms" % max(latencies), "%.1f ms wire" % wire, note)
    finally:
        run.stop()


# ------------------------------------------------------------------------------------------------
# Start-up, ampctl, sizes

def answers(drive, caption):
    try:
        drive("waitwindow 0 %s" % caption)
        return True
    except AssertionError:
        return False


def startup_figure(args, started, drive, starts):
    """Process start to the first answered WM_NULL after the window appears, the panel beside the
    empty dialog that probes the same ports; the wineserver stays warm (the driver holds it)."""
    link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
    sim = started.simulator(args.root, os.path.join(args.work, "startup"), link)
    programs = [("panel", os.path.join(args.root, "build/win64/app/AmpPanel.exe"), CAPTION),
                ("reference", os.path.join(args.root, "build/win64/tools/emptydlg.exe"), REFERENCE_CAPTION)]
    times = {name: [] for name, _, _ in programs}
    try:
        for attempt in range(starts + 1):  # the first start of each warms the file cache; not counted
            for name, exe, caption in programs:
                if answers(drive, caption):
                    raise AssertionError("a window captioned %r answers before its program starts" % caption)
                began = time.monotonic()
                process = started.popen([args.wine_run, exe])
                try:
                    drive("waitwindow 60000 %s" % caption, timeout=90)
                    answered = time.monotonic()
                finally:
                    Started.end(process)
                if attempt:
                    times[name].append((answered - began) * 1000.0)
    finally:
        sim.stop()
    row("start-up to an answering window", "%.0f ms" % statistics.median(times["panel"]),
        "%.0f ms empty dialog" % statistics.median(times["reference"]),
        "median of %d starts each, warm wineserver; panel %s, empty dialog %s ms" % (
            starts, "/".join("%.0f" % t for t in times["panel"]), "/".join("%.0f" % t for t in times["reference"])))


def ampctl_figure(args, started, runs):
    work = os.path.join(args.work, "ampctl")
    link = os.path.join(work, "amp")
    # Replies at once: what is left beside the floor is ampctl's own.
    sim = started.simulator(args.root, work, link, ["--latency-ms", "0"])
    ampctl = os.path.join(args.root, "build/native/ampctl/ampctl")
    times = []
    try:
        for attempt in range(runs + 1):  # the first warms the file cache; not counted
            began = time.monotonic()
            out = subprocess.run([ampctl, "-p", link, "status"], capture_output=True, text=True, timeout=30)
            elapsed = (time.monotonic() - began) * 1000.0
            if out.returncode != 0:
                raise AssertionError("ampctl status exited %d: %s" % (out.returncode, out.stderr.strip()))
            if attempt:
                times.append(elapsed)
    finally:
        sim.stop()
    floor = 2 * FRAME_SPACING_MS + (QUERY_BYTES + STATUS_REPLY_BYTES) * BYTE_S * 1000.0
    row("ampctl status (native)", "%.0f ms" % statistics.median(times), "%.1f ms floor" % floor,
        "median of %d runs (%.0f..%.0f); floor: two 100 ms gaps + 5 + 17 bytes; simulator latency 0" % (
            len(times), min(times), max(times)))


# ------------------------------------------------------------------------------------------------
# ampd natively against the simulator

def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def spread(values, unit="ms", digits=1):
    return "/".join("%.*f" % (digits, v) for v in (min(values), statistics.median(values), max(values))) + " " + unit


def start_ampd(root, started, link, work, options=(), http=()):
    """ampd on the simulator's line, listening on free loopback ports, ended by this run."""
    ampd = Ampd(os.path.join(root, "build/native/ampd/ampd"), link, work, options, http=http)
    started.processes.append(ampd.process)
    started.record(ampd.process.pid)
    return ampd


def ampd_window(ampd, sim, seconds):
    """Over `seconds`: the frames ampd sent per second (the simulator's log, its own clock), ampd's
    CPU as % of one core, and its VmRSS at the end."""
    ticks = cpu_ticks(ampd.process.pid)
    began, sim_began = time.monotonic(), sim.now()
    time.sleep(seconds)  # the measuring window itself, not a wait for a condition
    elapsed, sim_ended = time.monotonic() - began, sim.now()
    cpu = (cpu_ticks(ampd.process.pid) - ticks) / CLK_TCK / elapsed * 100.0
    frames = [f for f in sim.received(since=sim_began) if f.t <= sim_ended]
    return len(frames) / (sim_ended - sim_began), cpu, vm_rss_kib(ampd.process.pid)


def ampd_figures(args, started, counts):
    work = os.path.join(args.work, "ampd")
    link = os.path.join(work, "amp")
    # Replies at once, as for ampctl's figure: what is left beside the floor is the programs' own.
    sim = started.simulator(args.root, work, link, ["--latency-ms", "0", "--output", "on"])
    ampd = None
    try:
        # The same reading with ampctl on the port, before ampd holds it.
        ampctl = os.path.join(args.root, "build/native/ampctl/ampctl")
        ampctl_ms = []
        for attempt in range(counts["ampctl_runs"] + 1):  # the first warms the file cache; not counted
            began = time.monotonic()
            out = subprocess.run([ampctl, "-p", link, "status"], capture_output=True, text=True, timeout=30)
            if out.returncode != 0:
                raise AssertionError("ampctl status exited %d: %s" % (out.returncode, out.stderr.strip()))
            if attempt:
                ampctl_ms.append((time.monotonic() - began) * 1000.0)
        floor = 2 * FRAME_SPACING_MS + (QUERY_BYTES + STATUS_REPLY_BYTES) * BYTE_S * 1000.0

        ampd = start_ampd(args.root, started, link, work)
        pid = ampd.process.pid
        client = ScpiClient(ampd.port)
        wait_until(lambda: client.ask("LINK?") == "UP" and "E+37" not in client.ask("MEAS?"), 15,
                   "ampd's link and its first reading")
        client.close()

        # The wire, CPU and memory with no client, one reader and a hundred.
        seconds = counts["window_s"]
        fps_none, cpu_none, rss_none = ampd_window(ampd, sim, seconds)
        fds_idle = open_fds(pid)
        readers = Readers(ampd.port, 1)
        fps_one = ampd_window(ampd, sim, seconds)[0]
        readers.stop()
        readers = Readers(ampd.port, 100)
        answers = readers.answers
        fps_many, cpu_many, rss_many = ampd_window(ampd, sim, seconds)
        answers = readers.answers - answers
        readers.stop()
        note = "frames ampd sent (the simulator's log, its clock), %.0f s a window" % seconds
        row("frames/s on the wire, 1 reader at 5 Hz", "%.2f" % fps_one, "%.2f no client" % fps_none, note)
        row("frames/s on the wire, 100 readers at 5 Hz", "%.2f" % fps_many, "%.2f 1 reader" % fps_one,
            note + "; readers 25 each from 127.0.0.1..4, %.0f answers/s" % (answers / seconds))
        row("ampd CPU, 100 readers at 5 Hz", "%.1f%%" % cpu_many, "%.1f%% no client" % cpu_none,
            "utime+stime over the window; % of one core")
        row("ampd VmRSS, 100 readers at 5 Hz", "%d KiB" % rss_many, "%d KiB no client" % rss_none,
            "at the end of each window")

        # A reading: answered from the last poll, never from the line.
        client = ScpiClient(ampd.port)
        reads = []
        for _ in range(counts["reads"]):
            began = time.perf_counter()
            answer = client.ask("MEAS?")
            reads.append((time.perf_counter() - began) * 1e6)
            if answer.count(",") != 3:
                raise AssertionError("MEAS? answered %r" % answer)
        row("reading via ampd (MEAS? over TCP)", spread(reads, "us", 0),
            "ampctl status %.0f ms; floor %.1f ms" % (statistics.median(ampctl_ms), floor),
            "min/median/max of %d round trips on one connection; ampctl: median of %d runs on the port "
            "(%.0f..%.0f ms), floor: two 100 ms gaps + 5 + 17 bytes; simulator latency 0" % (
                len(reads), len(ampctl_ms), min(ampctl_ms), max(ampctl_ms)))

        # A setting: sent twice a gap apart, confirmed by the echo of the second. Each sample starts
        # after the one before is read back, at a different point of the 200 ms poll.
        settings = []
        for i in range(counts["settings"]):
            value = 1400 if i % 2 == 0 else 1600  # each one a change
            time.sleep(0.4 + 0.023 * (i % 9))  # the read-back's two queries, then a spread phase
            began = time.perf_counter()
            answer = client.ask("SOUR:CURR %d;*OPC?" % value)
            settings.append((time.perf_counter() - began) * 1000.0)
            if answer != "1" or client.ask("SYST:ERR?") != '0,"No error"':
                raise AssertionError("SOUR:CURR %d was not confirmed (*OPC? %r)" % (value, answer))
        # The gap counts from the start of a write, and on the simulator's pseudo-terminal the frames
        # sent take no time (its replies are paced): a gap and the echo, one more gap at most when a
        # poll has just been written.
        echo_ms = CURRENT_ECHO_BYTES * BYTE_S * 1000.0
        row("setting via ampd (SOUR:CURR x;*OPC?)", spread(settings),
            "%.1f ms floor; %.1f after a poll" % (FRAME_SPACING_MS + echo_ms, 2 * FRAME_SPACING_MS + echo_ms),
            "min/median/max of %d, 1400 and 1600 mA in turn; floor: the 100 ms gap between the two frames + the "
            "echo's 9 bytes (on a real line + the second frame's 7: %.1f ms); simulator latency 0" % (
                len(settings), FRAME_SPACING_MS + (CURRENT_SETTING_BYTES + CURRENT_ECHO_BYTES) * BYTE_S * 1000.0))
        client.close()

        # Connections that come and go leave nothing behind. ampd sees each close as the end of that
        # connection's read, soon but not at once: each count is taken once the descriptors are
        # back to where they were with no client, or after 5 s (then it is what is left).
        def settled_fds():
            deadline = time.monotonic() + 5
            while open_fds(pid) > fds_idle and time.monotonic() < deadline:
                time.sleep(0.05)
            return open_fds(pid)

        fds_before, rss_before = settled_fds(), vm_rss_kib(pid)
        for i in range(counts["cycles"]):
            cycle = ScpiClient(ampd.port)
            if i % 2:
                cycle.ask("*IDN?")  # every other one a whole exchange, the rest connect and close
            cycle.close()
        fds_after, rss_after = settled_fds(), vm_rss_kib(pid)
        row("ampd open fds, %d connect/close" % counts["cycles"], "%d after" % fds_after, "%d before" % fds_before,
            "/proc/PID/fd, %d with no client at the start; half the cycles with an *IDN? exchange" % fds_idle)
        row("ampd VmRSS, %d connect/close" % counts["cycles"], "%d KiB after" % rss_after,
            "%d KiB before" % rss_before, "after the readers and the samples above")
    finally:
        if ampd:
            ampd.stop()
        sim.stop()


def page_figures(args, started, counts):
    """The page: its load time and size, the time from a reading's reply on the wire to the page
    showing it (beside the panel's, when measured in this run), and ampd's CPU with event streams."""
    work = os.path.join(args.work, "page")
    link = os.path.join(work, "amp")
    sim = started.simulator(args.root, work, link, ["--output", "on"])
    ampd = start_ampd(args.root, started, link, work, http=["127.0.0.1:0"])
    browser = None
    try:
        url = "http://127.0.0.1:%d/" % ampd.http_port
        client = ScpiClient(ampd.port)
        wait_until(lambda: "E+37" not in client.ask("MEAS?"), 15, "ampd's first reading")
        client.close()
        browser = chromium(os.path.join(work, "chromium-profile"), (1280, 1000))
        browser.execute_cdp_cmd("Network.enable", {})
        browser.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
        loads, sizes = [], []
        for _ in range(counts["loads"]):
            browser.get(url)
            timing = wait_until(lambda: browser.execute_script(
                "const n = performance.getEntriesByType('navigation')[0];"
                "if (!n || !n.loadEventEnd) return null;"
                "const r = performance.getEntriesByType('resource').filter(e => !e.name.includes('/api/'));"
                "return [n.loadEventEnd, n.transferSize + r.reduce((s, e) => s + e.transferSize, 0),"
                "        n.decodedBodySize + r.reduce((s, e) => s + e.decodedBodySize, 0)];"), 15, "the page to load")
            loads.append(timing[0])
            sizes.append((timing[1], timing[2]))
        row("page load (navigation to load event)", spread(loads), "", "headless Chromium, cache off, loopback; "
            "min/median/max of %d loads" % len(loads))
        row("page size over the wire", "%.0f KiB" % (statistics.median(s[0] for s in sizes) / 1024.0),
            "%.0f KiB decoded" % (statistics.median(s[1] for s in sizes) / 1024.0),
            "the page, its script and style, dygraphs gzipped; the API's answers not counted")

        # From the last byte of the status reply that carries a new input power to the page showing it.
        browser.execute_script(
            "window.__seen = [];"
            "const v = document.querySelector('#ro-input-power .value');"
            "new MutationObserver(() => window.__seen.push([v.textContent, Date.now()]))"
            ".observe(v, {childList: true, characterData: true, subtree: true});")
        offset, uncertainty = clock_offset(sim)
        epoch = time.time() - time.monotonic()
        latencies = []
        for i in range(counts["latency_n"]):
            dbm = -5.0 - 0.01 * (i % 50) - 0.5 * (i % 2)
            text = "%.2f" % dbm
            raw = int(round(dbm * 100)) + 7000
            since = time.monotonic() - offset - 0.05
            sim.control("set input-dbm %s" % text)
            shown = wait_until(lambda: [t for v, t in browser.execute_script("return window.__seen;") if v == text],
                               5, "the page to show %s dBm" % text)[0] / 1000.0
            replies = [f for f in sim.frames("TX") if f.t >= since and len(f.data) == STATUS_REPLY_BYTES
                       and f.data[3] == 0x00 and f.data[8] * 256 + f.data[9] == raw]
            if not replies:
                raise AssertionError("no status reply carried %s dBm" % text)
            last_byte = offset + replies[0].t + STATUS_REPLY_BYTES * BYTE_S + epoch
            latencies.append((shown - last_byte) * 1000.0)
            time.sleep(0.05 + 0.037 * (i % 5))  # spread the samples over the poll's phase
        panel = [r[1] for r in rows if r[0] == "reply-to-display latency, median"]
        row("reply to the page's readout, median", "%.1f ms" % statistics.median(latencies),
            ("panel %s" % panel[0]) if panel else "panel not measured in this run",
            "n=%d, from the reply's first-byte stamp + 17 byte times to the readout's change (Date.now in the page); "
            "clocks matched +-%.2f ms; worst %.1f ms" % (len(latencies), uncertainty * 1000.0, max(latencies)))
        browser.quit()
        browser = None

        # ampd's CPU with event streams open, beside none.
        seconds = counts["window_s"]
        none = ampd_window(ampd, sim, seconds)[1]
        streams = []
        for _ in range(50):
            s = socket.create_connection(("127.0.0.1", ampd.http_port), timeout=10)
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % ampd.http_port)
            streams.append(s)
        stop = threading.Event()

        def drain(sock):
            sock.settimeout(1.0)
            while not stop.is_set():
                try:
                    if not sock.recv(65536):
                        return
                except socket.timeout:
                    pass
        readers = [threading.Thread(target=drain, args=(s,)) for s in streams]
        for t in readers:
            t.start()
        _, cpu, rss = ampd_window(ampd, sim, seconds)
        stop.set()
        for t in readers:
            t.join(5)
        for s in streams:
            s.close()
        row("ampd CPU, 50 event streams", "%.1f%%" % cpu, "%.1f%% none" % none,
            "utime+stime over %.0f s; each stream gets an event per poll (5 a second); VmRSS %d KiB" % (seconds, rss))
    finally:
        if browser:
            browser.quit()
        ampd.stop()
        sim.stop()


def size_figures(args):
    stripped_dir = os.path.join(args.work, "stripped")
    arches = [("win64", "x86_64-w64-mingw32-strip")]
    if not args.no_win32:
        arches.append(("win32", "i686-w64-mingw32-strip"))
    for arch, strip in arches:
        build = os.path.join(args.root, "build", arch)
        exes = {"AmpPanel.exe": os.path.join(build, "app/AmpPanel.exe"),
                "ampctl.exe": os.path.join(build, "ampctl/ampctl.exe"),
                "ampd.exe": os.path.join(build, "ampd/ampd.exe"),
                "emptydlg.exe": os.path.join(build, "tools/emptydlg.exe")}
        sizes = {}
        for name, path in exes.items():
            out = os.path.join(stripped_dir, arch, name)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            subprocess.run([strip, "-o", out, path], check=True, timeout=60)
            sizes[name] = (os.path.getsize(path), os.path.getsize(out))
        for name in ("AmpPanel.exe", "ampctl.exe", "ampd.exe"):
            for stripped in (False, True):
                row("size %s %s%s" % (name, arch, " stripped" if stripped else ""),
                    "%.0f KiB" % (sizes[name][stripped] / 1024.0),
                    "%.0f KiB empty dialog" % (sizes["emptydlg.exe"][stripped] / 1024.0),
                    "static MinGW-w64 build (RelWithDebInfo)%s" % (
                        "; copy stripped with %s" % strip if stripped else ""))
    if args.no_win32:
        row("sizes win32", "not built", "", "the win32 build failed; see build/bench/build.log")


# ------------------------------------------------------------------------------------------------

def table():
    header = ("figure", "measured", "reference", "note (conditions, n)")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(3)]
    lines = []
    for r in [header, None] + rows:
        if r is None:
            lines.append("-+-".join("-" * w for w in widths) + "-+-" + "-" * 20)
        else:
            lines.append(" | ".join(r[i].ljust(widths[i]) for i in range(3)) + " | " + r[3])
    return "\n".join(lines)


def measure(figure, function, *arguments):
    started = time.monotonic()
    print("bench: %s ..." % figure, flush=True)
    try:
        function(*arguments)
    except Exception as error:  # noqa: BLE001 - one figure's failure leaves the others measured
        traceback.print_exc()
        not_measured(figure, str(error).splitlines()[0] if str(error) else type(error).__name__)
    print("bench: %s: %.0f s" % (figure, time.monotonic() - started), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--no-win32", action="store_true", help="the win32 build is missing: no sizes of it")
    parser.add_argument("--starts", type=int, default=5, help="measured starts of each program (default 5)")
    parser.add_argument("--ampctl-runs", type=int, default=7, help="measured ampctl runs (default 7)")
    parser.add_argument("--latency-n", type=int, default=30, help="latency samples a panel run (default 30)")
    parser.add_argument("--ampd-reads", type=int, default=2000, help="MEAS? round trips through ampd (default 2000)")
    parser.add_argument("--ampd-settings", type=int, default=15, help="settings confirmed through ampd (default 15)")
    parser.add_argument("--ampd-window-s", type=float, default=15.0,
                        help="ampd's windows with no client, 1 and 100 readers, s each (default 15)")
    parser.add_argument("--ampd-cycles", type=int, default=1000, help="connect/close cycles on ampd (default 1000)")
    parser.add_argument("--idle-s", type=float, default=10.0, help="idle CPU window, s (default 10)")
    parser.add_argument("--linked-s", type=float, default=20.0, help="linked CPU window, s (default 20)")
    parser.add_argument("--only", help="some of %s (comma-separated)" % ",".join(PARTS))
    parser.add_argument("--parse-only", action="store_true", help=argparse.SUPPRESS)  # bench.sh checks options first
    args = parser.parse_args()
    unknown = set(args.only.split(",")) - set(PARTS) if args.only else set()
    if unknown:
        parser.error("--only takes some of %s, not %s" % (",".join(PARTS), ",".join(sorted(unknown))))
    if args.parse_only:
        return 0
    args.shim = os.path.join(args.root, "build/native/linux/libamp_ptyshim.so")
    os.makedirs(args.work, exist_ok=True)
    # A TERM from bench.sh unwinds like Ctrl+C, so every process started here is ended.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    seconds = {"idle": args.idle_s, "linked": args.linked_s, "latency_n": args.latency_n}

    started = Started(args.work)
    drive = None
    try:
        wanted = lambda part: not args.only or part in args.only.split(",")  # noqa: E731
        if wanted("framer"):
            measure("framer throughput", framer_figure, args.root)
        if wanted("delivery"):
            # Before anything else holds the prefix: pty_peer.py waits for its wineserver to end.
            measure("port engine figures, shim on", delivery_figures, args, True)
            measure("port engine figures, shim off", delivery_figures, args, False)
        if wanted("panel") or wanted("startup") or wanted("shared"):
            drive = Driver(args.wine_run, os.path.join(args.root, "build/win64/tools/paneldriver.exe"))
        if wanted("panel"):
            measure("panel, shim on", panel_figures, args, started, drive, True, seconds)
            measure("panel, shim off", panel_figures, args, started, drive, False, seconds)
        if wanted("shared"):
            measure("panel through ampd", shared_figures, args, started, drive, seconds)
        if wanted("startup"):
            measure("start-up", startup_figure, args, started, drive, args.starts)
        if wanted("ampctl"):
            measure("ampctl status", ampctl_figure, args, started, args.ampctl_runs)
        if wanted("ampd"):
            measure("ampd", ampd_figures, args, started,
                    {"ampctl_runs": args.ampctl_runs, "reads": args.ampd_reads, "settings": args.ampd_settings,
                     "window_s": args.ampd_window_s, "cycles": args.ampd_cycles})
        if wanted("page"):
            measure("page", page_figures, args, started,
                    {"loads": 5, "latency_n": args.latency_n, "window_s": args.ampd_window_s})
        if wanted("sizes"):
            measure("exe sizes", size_figures, args)
    finally:
        if drive:
            drive.stop()
        for process in started.processes:
            Started.end(process)

    load = open("/proc/loadavg").read().split()[:3]
    text = table() + "\nload average %s (1, 5, 15 min), %d cores\n" % (" ".join(load), os.cpu_count())
    print()
    print(text, end="")
    with open(os.path.join(args.work, "bench.txt"), "w") as out:
        out.write(text)
    if failures:
        print("bench: not measured: %s" % ", ".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
