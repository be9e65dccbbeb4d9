#!/usr/bin/env python3
"""End to end: the real panel under Wine through ampd's panel link to the simulator, beside SCPI
clients. The simulator's frame log is the witness of what crossed the line, the panel driver of
what the panel shows, ampd's audit file of what it recorded.

    share.py --wine-run W --panel EXE --driver EXE --ampsim SIM --ampd AMPD --prefix P --work DIR"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import *  # noqa: E402,F401,F403

figures = []


class ShareRig(Rig):
    """Simulator on a line of its own, ampd on it with its panel link at the prefix's COM port, the
    panel on that link."""

    def __init__(self, args, ampd_options=()):  # noqa: D107 - the Rig of amptest, with ampd between
        self.args = args
        os.makedirs(args.work, exist_ok=True)
        self.link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
        self.line = os.path.join(args.work, "amp")
        self.audit = os.path.join(args.work, "audit.log")
        try:
            self.sim = Simulator(args.ampsim, args.work, self.line, ["--max-current", "1500", "--selector", "2"])
            self.ampd = Ampd(args.ampd, self.line, args.work, ["--panel-link", self.link, "--audit", self.audit]
                             + list(ampd_options))
            wait_until(lambda: os.path.exists(self.link), 10, "ampd's panel link")
            self.start_panel()
        except BaseException:
            self.stop()
            raise

    def audited(self):
        if not os.path.exists(self.audit):
            return []
        with open(self.audit) as f:
            return [line.rstrip("\n").split("\t")[1:] for line in f]

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
        assert inst.query("SOURce:CURRent 1500;*OPC?") == "1"
        wait_until(lambda: drive("slider %d" % IDC_CURRENT_SLIDER).split()[0] == "1500", 0.7,
                   "the slider to show the script's 1500 mA within a poll")
        wait_until(lambda: rig.text(IDC_TARGET_CURRENT) == "1500", 0.7, "the target box to show it")
        figures.append("script's setting shown in the panel %.0f ms after it was sent" % ((time.monotonic() - sent) * 1000))
        assert len(sim.received(word_frame(0x0D, 1500))) == 2, "the script's setting, twice on the line"
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
        wait_until(lambda: ["panel", "OUTP " + word, "confirmed"] in rig.audited(), 5, "the audit line")
    assert sim.state()["output"] in (0, "off", False), sim.state()


def test_the_panels_on_is_refused_while_an_alarm_is_latched(rig):
    """The guard trips while only the panel polls and switches the output off; the panel's next ON
    never reaches the line, is audited as refused for the panel, and its switch keeps showing OFF.
    (How the guard and the panel link take their turns is ampd's line tests'; this is the audit as
    the real ampd writes it, the only place its refusal of a queued setting is worded.)"""
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    t = sim.now()
    drive("click %d" % IDC_OUTPUT_SWITCH)
    wait_until(lambda: len(sim.received(OUTPUT_ON, since=t)) >= 2, 5, "the panel's ON")
    sim.control("set input-dbm -40")
    wait_until(lambda: len(sim.received(OUTPUT_OFF, since=t)) >= 2, 5, "the guard's OFF on the line")
    wait_until(lambda: rig.text(IDC_OUTPUT_SWITCH) == "OFF", 5, "the panel's switch to show the guard's OFF")
    t = sim.now()
    drive("click %d" % IDC_OUTPUT_SWITCH)
    wait_until(lambda: ["panel", "OUTP ON", "refused: alarm latched, nothing sent"] in rig.audited(), 5,
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


TESTS = [test_link_up_and_polls_keep_their_cadence, test_a_script_setting_shows_in_the_panel,
         test_the_panels_output_click_is_witnessed_and_audited, test_the_panels_on_is_refused_while_an_alarm_is_latched,
         test_unplug_and_replug]


def main():
    parser = argparse.ArgumentParser()
    for name in ("wine-run", "panel", "driver", "ampsim", "ampd", "prefix", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    status = run_tests(TESTS, lambda test: ShareRig(
        argparse.Namespace(**dict(vars(args), work=os.path.join(args.work, test.__name__))),
        ["--guard", "min-input=-30"] if "alarm" in test.__name__ else []))
    write_figures(args.work, figures)
    return status


if __name__ == "__main__":
    sys.exit(main())
