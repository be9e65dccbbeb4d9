#!/usr/bin/env python3
"""End to end: the real panel under Wine through ampd's panel link to the simulator, beside SCPI
clients. The simulator's frame log is the witness of what crossed the line, the panel driver of
what the panel shows, ampd's audit file of what it recorded.

    share.py --wine-run W --panel EXE --driver EXE --ampsim SIM --ampd AMPD --prefix P --work DIR"""

import argparse
import os
import re
import select
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import traceback

from harness import *  # noqa: F401,F403

figures = []
OUTPUT_ON = "EF EF 03 26 01 08"
OUTPUT_OFF = "EF EF 03 26 00 07"


class Ampd:
    """ampd on the simulator's line, its panel link at the prefix's COM port."""

    def __init__(self, ampd, line, panel_link, work, options=()):
        self.audit = os.path.join(work, "audit.log")
        self.lines = []
        self.err = open(os.path.join(work, "ampd.err"), "w")
        self.process = subprocess.Popen([ampd, "-p", line, "--scpi", "127.0.0.1:0", "--panel-link", panel_link,
                                         "--audit", self.audit] + list(options),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.port = int(wait_until(lambda: self._said(r"SCPI on 127\.0\.0\.1:(\d+)"), 10, "ampd to listen"))
        self.http = None
        if "--http" in options:
            self.http = int(wait_until(lambda: self._said(r"HTTP on 127\.0\.0\.1:(\d+)"), 10, "ampd's HTTP"))
        threading.Thread(target=self._drain, daemon=True).start()

    def _said(self, pattern):
        ready, _, _ = select.select([self.process.stderr], [], [], 0.1)
        if ready:
            line = self.process.stderr.readline()
            self.lines.append(line)
            self.err.write(line)
        for line in self.lines:
            found = re.search(pattern, line)
            if found:
                return found.group(1)
        return None

    def _drain(self):
        for line in self.process.stderr:
            self.lines.append(line)
            self.err.write(line)
            self.err.flush()

    def said(self, text):
        return any(text in line for line in self.lines)

    def audited(self):
        if not os.path.exists(self.audit):
            return []
        with open(self.audit) as f:
            return [line.rstrip("\n").split("\t")[1:] for line in f]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.err.close()


class ShareRig(Rig):
    """Simulator on a line of its own, ampd on it, the panel on ampd's link."""

    def __init__(self, args, ampd_options=()):  # noqa: D107 - the harness's Rig, with ampd between
        self.args = args
        os.makedirs(args.work, exist_ok=True)
        self.link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
        self.line = os.path.join(args.work, "amp")
        try:
            self.sim = Simulator(args.ampsim, args.work, self.line, ["--max-current", "1500", "--selector", "2"])
            self.ampd = Ampd(args.ampd, self.line, self.link, args.work, ampd_options)
            wait_until(lambda: os.path.exists(self.link), 10, "ampd's panel link")
            self.panel = Panel(args.wine_run, args.panel, args.work)
            self.drive = Driver(args.wine_run, args.driver)
            self.drive("find 30000")
        except BaseException:
            self.stop()
            raise

    def stop(self):
        for part in (getattr(self, "drive", None), getattr(self, "panel", None), getattr(self, "ampd", None),
                     getattr(self, "sim", None)):
            if part:
                part.stop()

    def open_and_link(self):
        # ampd polls until the panel speaks: the panel is linked once its probe is answered and its
        # own poll follows.
        self.select_port("COM%d" % COM)
        clicked = self.sim.now()
        self.drive("click %d" % IDC_OPEN_PORT)
        wait_until(lambda: self.text(IDC_OPEN_PORT) == "ClosePort", 10, "the button to read ClosePort")
        probe = wait_until(lambda: self.sim.received(OUTPUT_QUERY, since=clicked), 10, "the panel's probe")
        wait_until(lambda: self.text(IDC_CURRENT_READ) != "", 10, "the panel's live readouts")
        wait_until(lambda: self.sim.received(STATUS_QUERY, since=probe[-1].t), 10, "the panel's first poll")
        return clicked

    def scpi(self, line):
        with socket.create_connection(("127.0.0.1", self.ampd.port), timeout=10) as s:
            s.sendall((line + "\n").encode())
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
            return answer.decode().strip()


def poll_gaps(sim, since, until):
    return spacing_ms([f.t for f in sim.received(STATUS_QUERY, since=since) if f.t < until])


def test_link_up_and_polls_keep_their_cadence(rig):
    sim = rig.sim
    clicked = rig.open_and_link()
    # Ours went until the panel's probe; from the panel's first poll after it, only the panel's.
    probe_end = sim.received(OUTPUT_QUERY, since=clicked)[-1].t
    first = sim.received(STATUS_QUERY, since=probe_end)[0].t
    wait_until(lambda: sim.now() > first + 4, 10, "four seconds of polls")
    frames = [f for f in sim.received(since=first) if f.t < first + 4]
    assert all(f.hex() == STATUS_QUERY for f in frames), "only the panel's polls: %s" % frames[:8]
    gaps = poll_gaps(sim, first, first + 4)
    figures.append(summary("poll period through ampd", gaps))
    assert 180 <= statistics.median(gaps) <= 230, gaps
    assert min(gaps) >= 95, gaps
    # Every poll answered once, and the panel shows the simulator's reading.
    wait_until(lambda: rig.text(IDC_CURRENT_READ) == str(sim.state()["current_ma"]), 5, "the live readout")

    # The panel's probe pair keeps its 100 ms through ampd.
    settings = [f for f in sim.received(SETTINGS_QUERY, since=clicked) if f.t <= probe_end]
    assert settings, "the panel's probe never reached the line"
    probe_gap = (probe_end - settings[-1].t) * 1000.0
    figures.append("probe pair through ampd %.1f ms apart" % probe_gap)
    assert 90 <= probe_gap <= 150, probe_gap

    # The step ramp: one set-current frame a 200 ms tick while the button is held, growing from 1 mA.
    code = 0x0D if sim.state()["selector"] >= 2 else 0x0C
    start = int(rig.drive("slider %d" % IDC_CURRENT_SLIDER).split()[0])
    pressed = sim.now()
    rig.drive("press %d" % IDC_STEP_DOWN)
    time.sleep(1.05)  # the hold itself: the operator keeps the button down for this long
    rig.drive("release %d" % IDC_STEP_DOWN)
    steps = wait_until(lambda: (lambda s: s if len(s) >= 6 else None)(
        [f for f in sim.received(since=pressed) if len(f.data) == 7 and f.data[3] == code]), 5, "the step frames")
    values = [f.data[4] * 256 + f.data[5] for f in steps]
    decrements = [a - b for a, b in zip([start] + values, values)]
    assert decrements[:4] == [1, 1, 1, 1], (start, values)
    ticks = spacing_ms([f.t for f in steps[:-1]])
    figures.append(summary("step ticks through ampd", ticks))
    assert 170 <= statistics.median(ticks) <= 240, ticks


def test_a_script_setting_shows_in_the_panel(rig):
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    import pyvisa
    inst = pyvisa.ResourceManager("@py").open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % rig.ampd.port,
                                                      read_termination="\n", write_termination="\n", timeout=5000)
    try:
        sent = time.monotonic()
        mark = sim.now()
        assert inst.query("SOURce:CURRent 1500;*OPC?") == "1"
        wait_until(lambda: drive("slider %d" % IDC_CURRENT_SLIDER).split()[0] == "1500", 0.7,
                   "the slider to show the script's 1500 mA within a poll")
        wait_until(lambda: rig.text(IDC_TARGET_CURRENT) == "1500", 0.7, "the target box to show it")
        figures.append("script's setting shown in the panel %.0f ms after it was sent" % ((time.monotonic() - sent) * 1000))
        assert len(sim.received("EF EF 04 0D 05 DC D0")) == 2, "the script's setting, twice on the line"

        # A box being typed in is left alone by the next such reply. ampd reads the settings and the
        # output back after a setting; their replies rewrite a box not yet typed in, as they should:
        # the typing starts once they are in.
        wait_until(lambda: [f for f in sim.frames("TX") if f.t >= mark and f.data[3] == 0x25], 5,
                   "ampd's read-back of the output")
        drive("sync")
        rig.type_into(IDC_TARGET_CURRENT, "12")
        assert inst.query("SOURce:CURRent 700;*OPC?") == "1"
        wait_until(lambda: drive("slider %d" % IDC_CURRENT_SLIDER).split()[0] == "700", 2, "the slider to follow")
        assert rig.text(IDC_TARGET_CURRENT) == "12", "the reply rewrote the box being typed in"
    finally:
        inst.close()


def test_the_panels_output_click_is_witnessed_and_audited(rig):
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    for frame, word in ((OUTPUT_ON, "ON"), (OUTPUT_OFF, "OFF")):
        t = sim.now()
        drive("click %d" % IDC_OUTPUT_SWITCH)
        pair = wait_until(lambda: len(sim.received(frame, since=t)) >= 2 and sim.received(frame, since=t), 5,
                          "the pair of %s on the line" % frame)
        gap = (pair[1].t - pair[0].t) * 1000
        figures.append("panel's OUTP %s pair through ampd %.0f ms apart" % (word, gap))
        assert 90 <= gap <= 160, gap
        wait_until(lambda: rig.text(IDC_OUTPUT_SWITCH) == word, 5, "the switch to read " + word)
        wait_until(lambda: ["panel", "OUTP " + word, "confirmed"] in rig.ampd.audited(), 5, "the audit line")
    assert sim.state()["output"] in (0, "off", False), sim.state()


def test_a_guard_alarm_switches_off_and_is_named(rig):
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    t = sim.now()
    drive("click %d" % IDC_OUTPUT_SWITCH)
    wait_until(lambda: len(sim.received(OUTPUT_ON, since=t)) >= 2, 5, "the panel's ON")
    sim.control("set input-dbm -40")
    wait_until(lambda: len(sim.received(OUTPUT_OFF, since=t)) >= 2, 5, "the guard's OFF on the line")
    wait_until(lambda: rig.ampd.said("alarm MIN-INPUT"), 5, "ampd to name the alarm")
    wait_until(lambda: rig.text(IDC_OUTPUT_SWITCH) == "OFF", 5, "the panel's switch to show the guard's OFF")
    state = sim.state()
    assert state["output"] in (0, "off", False), state
    t = sim.now()
    drive("click %d" % IDC_OUTPUT_SWITCH)
    wait_until(lambda: ["panel", "OUTP ON", "refused: alarm latched, nothing sent"] in rig.ampd.audited(), 5,
               "the refused ON in the audit")
    assert not sim.received(OUTPUT_ON, since=t), "the ON reached the line"
    assert rig.text(IDC_OUTPUT_SWITCH) == "OFF", "the refused ON left the switch showing ON"


def test_unplug_and_replug(rig):
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    sim.control("unplug")
    drive("devicechange")
    reports = []
    wait_until(lambda: reports.extend(rig.dismiss_error_boxes()) or rig.text(IDC_OPEN_PORT) == "OpenPort", 30,
               "the panel to return to idle")
    figures.append("error reports dismissed after the unplug through ampd: %d" % len(reports))
    assert not os.path.exists(rig.link), "the panel link is gone with the line"
    sim.control("replug")
    wait_until(lambda: os.path.exists(rig.link), 15, "the panel link back")
    drive("devicechange")
    wait_until(lambda: "COM%d" % COM in rig.port_list(), 10, "the port to be listed again")
    rig.open_and_link()


def frames_per_second(sim, seconds):
    start = sim.now()
    time.sleep(seconds)  # the wire is measured over this span
    return len(sim.received(since=start)) / seconds


def test_frames_per_second_alone_and_through_ampd(rig):
    """The panel alone directly on the line, then through ampd with ten SCPI readers and the page's
    event stream and state open: the wire carries the same."""
    args = rig.args
    rig.stop()
    alone_rig = Rig(argparse.Namespace(**dict(vars(args), work=os.path.join(args.work, "alone"))),
                    ["--max-current", "1500", "--selector", "2"])
    try:
        alone_rig.open_and_link()
        time.sleep(0.5)  # past link-up
        alone = frames_per_second(alone_rig.sim, 4.0)
    finally:
        alone_rig.stop()
    shared_rig = ShareRig(argparse.Namespace(**dict(vars(args), work=os.path.join(args.work, "shared"))),
                          ["--http", "127.0.0.1:0"])
    stop = threading.Event()
    threads = []
    try:
        shared_rig.open_and_link()

        def reader():
            with socket.create_connection(("127.0.0.1", shared_rig.ampd.port), timeout=10) as s:
                while not stop.is_set():
                    s.sendall(b"MEAS?\n")
                    while not s.recv(4096).endswith(b"\n"):
                        pass
                    stop.wait(0.2)

        def page():
            import http.client
            with socket.create_connection(("127.0.0.1", shared_rig.ampd.http), timeout=10) as events:
                events.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % shared_rig.ampd.http)
                events.settimeout(0.5)
                while not stop.is_set():
                    try:
                        events.recv(65536)
                    except socket.timeout:
                        pass
                    state = http.client.HTTPConnection("127.0.0.1", shared_rig.ampd.http, timeout=10)
                    state.request("GET", "/api/state")
                    state.getresponse().read()
                    state.close()

        threads = [threading.Thread(target=reader) for _ in range(10)] + [threading.Thread(target=page)]
        for t in threads:
            t.start()
        time.sleep(0.5)
        shared = frames_per_second(shared_rig.sim, 4.0)
    finally:
        stop.set()
        for t in threads:
            t.join(10)
        shared_rig.stop()
    figures.append("frames per second on the wire: panel alone %.2f, through ampd with 10 readers and the page %.2f"
                   % (alone, shared))
    assert abs(alone - shared) <= 0.5, (alone, shared)


TESTS = [test_link_up_and_polls_keep_their_cadence, test_a_script_setting_shows_in_the_panel,
         test_the_panels_output_click_is_witnessed_and_audited, test_a_guard_alarm_switches_off_and_is_named,
         test_unplug_and_replug, test_frames_per_second_alone_and_through_ampd]


def main():
    parser = argparse.ArgumentParser()
    for name in ("wine-run", "panel", "driver", "ampsim", "ampd", "prefix", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    passed, failed = 0, 0
    for test in TESTS:
        started = time.monotonic()
        rig = None
        try:
            options = ["--guard", "min-input=-30"] if "guard" in test.__name__ else []
            rig = ShareRig(argparse.Namespace(**dict(vars(args), work=os.path.join(args.work, test.__name__))),
                           options)
            test(rig)
            passed += 1
            print("PASS %s (%.1f s)" % (test.__name__, time.monotonic() - started), flush=True)
        except Exception:  # noqa: BLE001 - every failure is reported with its trace
            failed += 1
            print("FAIL %s (%.1f s)" % (test.__name__, time.monotonic() - started), flush=True)
            traceback.print_exc()
        finally:
            if rig:
                rig.stop()
    write_figures(args.work, figures)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
