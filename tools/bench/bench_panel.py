"""The bench's figures of the panel under Wine: linked to the simulator directly or through ampd's
panel link, and its start-up beside the empty dialog's."""

import os
import statistics
import time

from amptest import CAPTION, COM, IDC_INPUT_POWER, IDC_OPEN_PORT, STATUS_QUERY, wait_until, wineserver_pid
from bench_run import (BYTE_S, FRAME_SPACING_MS, OUTPUT_REPLY_BYTES, POLL_PERIOD_MS, PROBE_DELAY_MS,
                       STATUS_REPLY_BYTES, Started, clock_offset, cpu_percent, start_ampd)
from bench_table import percentile, row, rows

REFERENCE_CAPTION = "AmpPanel bench: empty dialog"  # tools/emptydlg.cpp


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
# Start-up

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

