#!/usr/bin/env python3
"""Fault runs and soak of the real panel under Wine against the simulator.

    endurance.py faults [--cycles N] [--long-cycles N] COMMON...
    endurance.py soak [--minutes M] [--sample-s S] [--settle-s S] [--pace-s S] COMMON...
    COMMON: --wine-run W --panel EXE --driver EXE --ampsim SIM --prefix P --work DIR

scripts/endurance.sh runs the long forms; the test command its short ones (tests/e2e/CMakeLists.txt).

Faults: each kind of line trouble is applied for a few cycles while the panel is linked; in every
case the panel answers a message within ANSWER_BOUND_MS, sends nothing the operator did not ask
for, and comes back (its readouts follow the amplifier again) once the trouble is over.
Soak: the panel stays linked while commands are worked; its handles, threads, GDI and USER objects
and memory are sampled and must stay flat."""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from amptest import *  # noqa: E402,F401,F403

# The panel's longest own waits (a device change: 200 ms, the port's close, 200 ms, a reopen)
# stay well inside this.
ANSWER_BOUND_MS = 1000

figures = []


class Watch:
    """What a case checks: answers, boxes, and the frames the operator asked for."""

    def __init__(self, rig):
        self.rig = rig
        self.answers = []
        self.boxes = 0
        self.asked = []  # (simulator time, frame) of each command given

    def answer(self):
        """The panel answers a sent message in time; report boxes are dismissed as an operator would."""
        started = time.monotonic()
        self.rig.drive("sync")
        ms = (time.monotonic() - started) * 1000.0
        self.answers.append(ms)
        assert ms <= ANSWER_BOUND_MS, "the panel took %.0f ms to answer" % ms
        while True:
            try:
                self.rig.drive("msgbox 0")
                self.boxes += 1
            except AssertionError:
                return

    def hold(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.answer()
            time.sleep(0.05)

    def until(self, condition, timeout, what):
        return wait_until(lambda: self.answer() or condition(), timeout, what)

    def command(self, control, frame):
        self.asked.append((self.rig.sim.now(), frame))
        self.rig.drive("click %d" % control)

    def check_nothing_unasked(self, since):
        for f in self.rig.sim.received(since=since):
            if f.hex() in QUERIES:
                continue
            asked = any(frame == f.hex() and t - 0.05 <= f.t <= t + 1.0 for t, frame in self.asked)
            assert asked, "sent unasked at %.3f: %s" % (f.t, f.hex())

    def comes_back(self, value):
        """The readouts follow the amplifier again."""
        self.rig.sim.control("set input-dbm %.1f" % value)
        self.until(lambda: self.rig.text(IDC_INPUT_POWER) == "%.1f" % value, 15, "the readout to show %.1f" % value)


def relink(rig, watch):
    """From idle back to linked, as the operator would."""
    watch.until(lambda: "COM%d" % COM in rig.port_list(), 15, "COM%d to be listed" % COM)
    rig.select_port("COM%d" % COM)
    clicked = rig.sim.now()
    rig.drive("click %d" % IDC_OPEN_PORT)
    watch.until(lambda: rig.sim.received(STATUS_QUERY, since=clicked), 15, "the first poll")


def line_trouble(faults):
    """A case that applies simulator faults while linked, with a command given meanwhile."""
    def case(rig, watch):
        for fault in faults:
            rig.sim.control("fault " + fault)
        watch.hold(1.0)
        watch.command(IDC_MODE_ACC, MODE_ACC)
        watch.hold(1.0)
        rig.sim.control("fault clear")
    return case


def amplifier_silent(rig, watch):
    rig.sim.control("fault no-reply on")
    watch.hold(2.0)
    rig.sim.control("fault clear")


def unplug_during_a_burst(rig, watch):
    rig.sim.control("fault noise on")
    watch.hold(0.3)
    rig.sim.control("unplug")
    rig.drive("devicechange")
    watch.until(lambda: rig.text(IDC_OPEN_PORT) == "OpenPort", 15, "the panel to return to idle")
    rig.sim.control("fault clear")
    rig.sim.control("replug")
    rig.drive("devicechange")
    relink(rig, watch)


def close_during_delivery(rig, watch):
    rig.sim.control("fault noise on")
    watch.hold(0.3)
    rig.drive("click %d" % IDC_OPEN_PORT)
    watch.until(lambda: rig.text(IDC_OPEN_PORT) == "OpenPort", 15, "the port to close")
    closed = rig.sim.now()
    watch.hold(0.3)
    sent = rig.sim.received(since=closed)
    assert not sent, "sent after the close: %s" % sent
    rig.drive("openport %d" % COM)  # the port is free for another program
    rig.sim.control("fault clear")
    relink(rig, watch)


def device_changes_in_quick_succession(rig, watch):
    for _ in range(8):
        rig.drive("devicechange")
    watch.hold(2.0)
    watch.until(lambda: rig.text(IDC_OPEN_PORT) == "ClosePort", 15, "the port to stay open")


CASES = [
    ("garbage and noise at line rate", line_trouble(["garbage on", "noise on"])),
    ("bad checksums", line_trouble(["bad-checksum on"])),
    ("split frames", line_trouble(["split 40 on"])),
    ("merged frames", line_trouble(["double on"])),
    ("truncated frames", line_trouble(["truncate on"])),
    ("a wrong LEN", line_trouble(["bad-len on"])),
    ("the amplifier silent, then back", amplifier_silent),
    ("unplugged during a burst", unplug_during_a_burst),
    ("close clicked while bytes are delivered", close_during_delivery),
    ("device changes in quick succession", device_changes_in_quick_succession),
]
LONG_CASES = {"unplugged during a burst", "close clicked while bytes are delivered"}


def run_faults(rig, cycles, long_cycles):
    watch = Watch(rig)
    rig.open_and_link()
    readout = 0  # each recovery shows a new input power: -9.9, -9.8, ... 9.9 dBm, never -0.0
    for name, case in CASES:
        count = long_cycles if name in LONG_CASES and long_cycles else cycles
        started = time.monotonic()
        boxes = watch.boxes
        first = len(watch.answers)
        for cycle in range(count):
            since = rig.sim.now()
            try:
                case(rig, watch)
                readout = readout % 198 + 1
                watch.comes_back((readout - 100 if readout < 100 else readout - 99) / 10.0)
                watch.check_nothing_unasked(since)
            except Exception as error:
                raise AssertionError("%s, cycle %d of %d: %s" % (name, cycle + 1, count, error)) from error
        answers = watch.answers[first:]
        figures.append("%s: %d cycles in %.1f s, panel answered in %.0f ms at worst (median %.0f), %d boxes dismissed"
                       % (name, count, time.monotonic() - started, max(answers), statistics.median(answers),
                          watch.boxes - boxes))
    figures.append("answer bound %d ms: worst answer %.0f ms over %d messages"
                   % (ANSWER_BOUND_MS, max(watch.answers), len(watch.answers)))


# ------------------------------------------------------------------------------------------------
# Soak

# What must not grow, and by how much it may wander (threads come and go inside Wine's own code).
# Memory takes one step in the first minute linked (Wine's own heaps); it is judged from the
# second sample on, tightly enough that a leak of a few hundred bytes a reply shows in ten minutes.
FLAT = {"handles": 8, "threads": 2, "gdi": 4, "user": 0, "private_kb": 512}
SETTLED_FROM = {"private_kb": 1}


def resources(rig):
    return {k: int(v) for k, v in (kv.split("=") for kv in rig.drive("resources").split())}


def soak_actions(rig):
    """The operator's commands, in turn, each followed by what it sends."""
    def step_hold():
        rig.drive("press %d" % IDC_STEP_DOWN)
        time.sleep(0.5)  # the hold itself
        rig.drive("release %d" % IDC_STEP_DOWN)

    def typed(box, text):
        rig.type_into(box, text)
        rig.drive("key %d enter" % box)

    return [
        lambda: rig.drive("click %d" % IDC_OUTPUT_SWITCH),
        lambda: rig.drive("click %d" % IDC_MODE_APC),
        lambda: typed(IDC_TARGET_POWER, "30.5"),
        lambda: rig.drive("click %d" % IDC_MODE_ACC),
        lambda: typed(IDC_TARGET_CURRENT, "900"),
        step_hold,
        lambda: rig.drive("click %d" % IDC_OUTPUT_SWITCH),
    ]


def run_soak(rig, minutes, sample_s, settle_s, pace_s):
    watch = Watch(rig)
    rig.open_and_link()
    actions = soak_actions(rig)
    samples = []
    started = time.monotonic()
    next_sample = started + settle_s  # after Wine's own start-up allocations settle
    done = 0
    while time.monotonic() - started < minutes * 60.0:
        actions[done % len(actions)]()
        done += 1
        watch.hold(pace_s)
        if time.monotonic() >= next_sample:
            sample = resources(rig)
            sample["t"] = time.monotonic() - started
            samples.append(sample)
            next_sample += sample_s
    samples.append(dict(resources(rig), t=time.monotonic() - started))
    figures.append("soak: %.1f min linked, %d commands worked, panel answered in %.0f ms at worst"
                   % ((time.monotonic() - started) / 60.0, done, max(watch.answers)))
    figures.append("%8s %8s %8s %6s %6s %11s" % ("t (s)", "handles", "threads", "gdi", "user", "private kB"))
    for s in samples:
        figures.append("%8.0f %8d %8d %6d %6d %11d" % (s["t"], s["handles"], s["threads"], s["gdi"], s["user"],
                                                       s["private_kb"]))
    first, last = samples[0], samples[-1]
    figures.append("soak: start -> end: " + ", ".join("%s %d -> %d" % (k, first[k], last[k]) for k in FLAT))
    for key, slack in FLAT.items():
        since = samples[min(SETTLED_FROM.get(key, 0), len(samples) - 1)]
        assert last[key] - since[key] <= slack, "%s grew from %d (at %.0f s) to %d" % (key, since[key], since["t"], last[key])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("run", choices=["faults", "soak"])
    parser.add_argument("--cycles", type=int, default=2, help="cycles of each fault case")
    parser.add_argument("--long-cycles", type=int, default=0, help="cycles of unplug/replug and close-during-delivery")
    parser.add_argument("--minutes", type=float, default=1.0, help="length of the soak")
    parser.add_argument("--sample-s", type=float, default=30.0, help="seconds between soak samples")
    parser.add_argument("--settle-s", type=float, default=20.0, help="seconds linked before the first sample")
    parser.add_argument("--pace-s", type=float, default=1.5, help="seconds the soak waits after each command")
    for name in ("wine-run", "panel", "driver", "ampsim", "prefix", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    def faults(rig):
        run_faults(rig, args.cycles, args.long_cycles)
        assert rig.panel.running(), "the panel ended"

    def soak(rig):
        run_soak(rig, args.minutes, args.sample_s, args.settle_s, args.pace_s)
        assert rig.panel.running(), "the panel ended"

    status = run_tests([faults if args.run == "faults" else soak], lambda test: Rig(
        args, ["--max-current", "1500", "--selector", "2", "--mode", "acc", "--target-current", "1000"]))
    write_figures(args.work, figures)
    return status


if __name__ == "__main__":
    sys.exit(main())
