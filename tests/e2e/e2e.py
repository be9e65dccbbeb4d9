#!/usr/bin/env python3
"""End-to-end tests of the real panel under Wine against the amplifier simulator.

    e2e.py connection|commands --wine-run W --panel EXE --driver EXE --ampsim SIM --prefix P --work DIR

The simulator's frame log is the witness of what the panel sent and when; figures measured from it
are printed at the end."""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import *  # noqa: E402,F401,F403

figures = []


def pairs_spacing(frames, first, second):
    """Gaps between each `first` frame and the `second` that follows it."""
    gaps = []
    for i, f in enumerate(frames):
        if f.hex() == first and i + 1 < len(frames) and frames[i + 1].hex() == second:
            gaps.append((frames[i + 1].t - f.t) * 1000.0)
    return gaps


# ------------------------------------------------------------------------------------------------
# Connection

def test_link_up_and_live_readouts(rig):
    sim, drive = rig.sim, rig.drive
    assert drive("caption") == CAPTION
    assert "COM%d" % COM in rig.port_list()
    assert rig.text(IDC_OPEN_PORT) == "OpenPort"

    # An amplifier that does not answer the output query keeps the panel probing.
    sim.control("fault no-reply on")
    clicked = sim.now()
    rig.select_port("COM%d" % COM)
    drive("click %d" % IDC_OPEN_PORT)
    wait_until(lambda: len(sim.received(OUTPUT_QUERY, since=clicked)) >= 21, 20, "21 probe pairs")
    probes = sim.received(since=clicked)
    assert all(f.hex() in (SETTINGS_QUERY, OUTPUT_QUERY) for f in probes), probes
    settings_times = [f.t for f in probes if f.hex() == SETTINGS_QUERY]
    pair_gaps = pairs_spacing(probes, SETTINGS_QUERY, OUTPUT_QUERY)
    period = spacing_ms(settings_times)
    figures.append(summary("probe pair, settings to output query", pair_gaps))
    figures.append(summary("probe period", period))
    assert 80 <= statistics.median(pair_gaps) <= 130, pair_gaps
    assert 450 <= statistics.median(period) <= 560, period
    assert rig.text(IDC_CURRENT_READ) == "", "no readout before the link is up"

    # Now it answers: link-up, then polls every 200 ms.
    answered = sim.now()
    sim.control("fault clear")
    wait_until(lambda: len(sim.received(STATUS_QUERY, since=answered)) >= 26, 20, "26 status polls")
    first_reply = [f for f in sim.frames("TX") if f.t >= answered and f.data[3] == 0x25][0]
    first_poll = sim.received(STATUS_QUERY, since=answered)[0]
    figures.append("link-up: first output reply sent %.0f ms after the answering began; first poll %.0f ms after it"
                   % ((first_reply.t - answered) * 1000, (first_poll.t - first_reply.t) * 1000))
    polls = sim.received(since=first_poll.t)
    assert all(f.hex() == STATUS_QUERY for f in polls), "only status polls once linked: %s" % polls[:5]
    poll_gaps = spacing_ms([f.t for f in polls])
    figures.append(summary("poll period", poll_gaps))
    assert 180 <= statistics.median(poll_gaps) <= 230, poll_gaps

    # The readouts match the simulator's state (read afresh: temperature drifts).
    def matches():
        state = sim.state()
        shown = [rig.text(i) for i in (IDC_CURRENT_READ, IDC_INPUT_POWER, IDC_OUTPUT_POWER, IDC_LD_TEMP)]
        return (shown[0] == str(state["current_ma"]) and
                shown[1] == "%.1f" % (state["input_raw"] * 0.01 - 70.0) and
                abs(float(shown[2]) - (state["output_raw"] * 0.01 - 70.0)) <= 0.15 and
                abs(float(shown[3]) - state["temperature_raw"] * 0.01) <= 0.15)
    sim.control("set input-dbm -3.2")
    wait_until(matches, 10, "the readouts to match the simulator's state")
    assert rig.text(IDC_INPUT_POWER) == "-3.2"
    state = sim.state()
    # The settings reply of the probe set the slider's range to the maximum current.
    pos, low, high = (int(v) for v in drive("slider %d" % IDC_CURRENT_SLIDER).split())
    assert (low, high) == (0, state["max_current_ma"]), (low, high)


def test_unplug_replug_and_close(rig):
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()

    # Unplug: the line and its COM link vanish; the system would then send a device change.
    sim.control("unplug")
    drive("devicechange")
    reports = []
    wait_until(lambda: reports.extend(rig.dismiss_error_boxes()) or rig.text(IDC_OPEN_PORT) == "OpenPort", 30,
               "the panel to return to idle")
    figures.append("error reports dismissed after the unplug: %d" % len(reports))
    assert "COM%d" % COM not in rig.port_list(), rig.port_list()
    assert drive("enabled %d" % IDC_PORT_LIST) == "1"
    gone = sim.now()

    # Replug and reconnect.
    sim.control("replug")
    drive("devicechange")
    wait_until(lambda: "COM%d" % COM in rig.port_list(), 10, "the port to be listed again")
    rig.open_and_link()
    assert not sim.received(since=gone) or sim.received(since=gone)[0].hex() == SETTINGS_QUERY

    # Close the port: the list is rebuilt and nothing more is sent.
    drive("click %d" % IDC_OPEN_PORT)
    wait_until(lambda: rig.text(IDC_OPEN_PORT) == "OpenPort", 10, "the button to read OpenPort")
    closed = sim.now()
    assert "COM%d" % COM in rig.port_list()
    time.sleep(1.0)  # a second of silence is the expected outcome here
    assert not sim.received(since=closed + 0.05), sim.received(since=closed)


def test_close_panel_while_linked(rig):
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    closing = sim.now()
    started = time.monotonic()
    drive("close")
    wait_until(lambda: not rig.panel.running(), 5, "the panel process to end")
    elapsed = time.monotonic() - started
    ended = sim.now()
    figures.append("close box to process end while linked: %.0f ms" % (elapsed * 1000))
    assert elapsed <= 1.0, "the panel took %.2f s to end" % elapsed
    late = [f for f in sim.received(since=closing) if f.t > ended]
    assert not late, "sent after the panel ended: %s" % late
    # The port is free for another program.
    drive("openport %d" % COM)


# ------------------------------------------------------------------------------------------------
# Commands

def twice_100ms_apart(sim, frame_hex, since):
    copies = wait_until(lambda: (lambda c: c if len(c) >= 2 else None)(sim.received(frame_hex, since=since)), 10,
                        "two copies of %s" % frame_hex)
    assert len(copies) == 2, copies
    return (copies[1].t - copies[0].t) * 1000.0


def test_operator_commands(rig):
    sim, drive = rig.sim, rig.drive
    repeat_gaps = []
    rig.open_and_link()

    # Mode: the boxes and the enabled controls follow the amplifier's echo.
    t = sim.now()
    drive("click %d" % IDC_MODE_APC)
    repeat_gaps.append(twice_100ms_apart(sim, MODE_APC, t))
    wait_until(lambda: drive("checked %d" % IDC_MODE_APC) == "1" and drive("checked %d" % IDC_MODE_ACC) == "0", 5,
               "APC checked")
    enabled = {name: drive("enabled %d" % control) for name, control in (("set power", IDC_SET_POWER),
                                                                         ("set current", IDC_SET_CURRENT))}
    assert enabled == {"set power": "1", "set current": "0"}, enabled
    assert sim.state()["mode"] == "apc"

    # Power typed and SET clicked.
    rig.type_into(IDC_TARGET_POWER, "20.5")
    t = sim.now()
    drive("click %d" % IDC_SET_POWER)
    repeat_gaps.append(twice_100ms_apart(sim, "EF EF 04 04 23 5A 63", t))

    t = sim.now()
    drive("click %d" % IDC_MODE_ACC)
    repeat_gaps.append(twice_100ms_apart(sim, MODE_ACC, t))
    wait_until(lambda: drive("enabled %d" % IDC_SET_CURRENT) == "1", 5, "current controls enabled")

    # Current typed, then Enter.
    rig.type_into(IDC_TARGET_CURRENT, "1200")
    t = sim.now()
    drive("key %d enter" % IDC_TARGET_CURRENT)
    repeat_gaps.append(twice_100ms_apart(sim, "EF EF 04 0D 04 B0 A3", t))
    wait_until(lambda: drive("slider %d" % IDC_CURRENT_SLIDER).split()[0] == "1200", 5, "the slider to follow the echo")
    assert drive("caption") == CAPTION, "Enter must not close the panel"
    drive("key %d escape" % IDC_TARGET_CURRENT)
    drive("sync")
    assert rig.panel.running(), "Escape must not close the panel"

    # Output switch: red "ON", grey "OFF", from the amplifier's echo.
    rect = [int(v) for v in drive("screenrect %d" % IDC_OUTPUT_SWITCH).split()]
    inside = (rect[0] + 4, rect[1] + 4)
    for frame, caption, colour in ((OUTPUT_ON, "ON", (255, 0, 0)), (OUTPUT_OFF, "OFF", (245, 245, 245))):
        t = sim.now()
        drive("click %d" % IDC_OUTPUT_SWITCH)
        repeat_gaps.append(twice_100ms_apart(sim, frame, t))
        wait_until(lambda: rig.text(IDC_OUTPUT_SWITCH) == caption, 5, "the switch to read " + caption)
        wait_until(lambda: screen_pixel(*inside) == colour, 5, "the switch to turn %s" % (colour,))

    # Hold the step-up button for a second.
    selector = sim.state()["selector"]
    code = 0x0D if selector >= 2 else 0x0C
    start_value = int(drive("slider %d" % IDC_CURRENT_SLIDER).split()[0])
    t = sim.now()
    drive("press %d" % IDC_STEP_UP)
    time.sleep(1.05)  # the hold itself: the operator keeps the button down for this long
    drive("release %d" % IDC_STEP_UP)
    steps = wait_until(lambda: (lambda s: s if len(s) >= 6 else None)(
        [f for f in sim.received(since=t) if len(f.data) == 7 and f.data[3] == code]), 5, "the step frames")
    values = [f.data[4] * 256 + f.data[5] for f in steps]
    increments = [b - a for a, b in zip([start_value] + values, values)]
    figures.append("step-up hold of 1 s from %d mA: %s" % (start_value, values))
    assert increments[:4] == [1, 1, 1, 1], increments
    assert increments[-1] == 1, "the click after the release steps by 1: %s" % increments
    tick_gaps = spacing_ms([f.t for f in steps[:-1]])
    figures.append(summary("step ticks", tick_gaps))
    assert 170 <= statistics.median(tick_gaps) <= 240, tick_gaps

    figures.append(summary("repeat of a setting frame", repeat_gaps))
    assert all(90 <= g <= 150 for g in repeat_gaps), repeat_gaps


def test_keys_never_close_the_panel(rig):
    """Only the close box ends the panel. The panel's own rule for every key and command is the
    native tests'; here the keys go to the real controls, whose own handling the native backend
    does not have: at start-up a button has the focus, where Ctrl+Break reaches the real dialog
    manager as Cancel, and the real combo box and multi-line edit boxes act on Escape and Ctrl+Break
    themselves (a multi-line edit box in a dialog asks the dialog to close on Escape)."""
    drive = rig.drive
    typed = ""
    for target, key in ((0, "break"), (IDC_PORT_LIST, "escape"), (IDC_TARGET_CURRENT, "break"),
                        (IDC_TARGET_POWER, "escape")):
        drive("key %d %s" % (target, key))
        # Posted after the key, so handled after it: once it shows, the key has been dealt with.
        typed += "1"
        drive("type %d 1" % IDC_TARGET_POWER)
        wait_until(lambda: not rig.panel.running() or rig.text(IDC_TARGET_POWER) == typed, 5, "the panel to take the key")
        assert rig.panel.running(), "%s to control %d closed the panel" % (key, target)
    drive("close")
    wait_until(lambda: not rig.panel.running(), 5, "the close box to end the panel")


def test_a_hold_ends_when_its_button_is_disabled_from_outside(rig):
    """Every way a hold ends is the native tests' (they send the messages the system would); only
    the real system, told to disable the held button by another program, sends it what it sends
    (its cancel mode, its enable change, the capture taken from it): the repeat stops at once."""
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    code = 0x0D if sim.state()["selector"] >= 2 else 0x0C

    def steps(since):
        return [f for f in sim.received(since=since) if len(f.data) == 7 and f.data[3] == code]

    pressed = sim.now()
    drive("press %d" % IDC_STEP_UP)
    wait_until(lambda: len(steps(pressed)) >= 2, 5, "the repeat to run")
    drive("enable %d 0" % IDC_STEP_UP)
    ended = sim.now()
    time.sleep(1.0)  # five ticks of silence are the expected outcome
    assert not steps(ended + 0.05), "the repeat ran on: %s" % steps(ended + 0.05)


def test_a_dropped_setting_resyncs_the_panel(rig):
    """Output on; the line then holds the panel's writes up (flow control), so the real worker is
    blocked in a write, while the operator clicks the switch to turn it off: both OFF frames go
    stale and are dropped. Once the line moves again the panel asks for the settings and the
    output (queries only), and its switch still shows ON as the amplifier does. (The panel's
    re-sync is the native tests'; the worker's drop and its notice are the port engine's tests'.
    Here the two meet, with the panel's thread running while its worker is held.)"""
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    t = sim.now()
    drive("click %d" % IDC_OUTPUT_SWITCH)
    twice_100ms_apart(sim, OUTPUT_ON, t)
    wait_until(lambda: rig.text(IDC_OUTPUT_SWITCH) == "ON", 5, "the switch to read ON")

    sim.control("hold on")
    held = sim.now()
    drive("click %d" % IDC_OUTPUT_SWITCH)
    drive("sync")
    time.sleep(1.0)  # the two OFF frames wait on the held line past their age bound
    # Marked before the release: a query the panel wrote while the line was held reaches the
    # simulator the moment it moves, before an answer to "hold off" could mark it.
    released = sim.now()
    sim.control("hold off")

    def asked_again():
        frames = sim.received(since=released)
        i = next((i for i, f in enumerate(frames) if f.hex() == SETTINGS_QUERY), -1)
        return next((f for f in frames[i:] if f.hex() == OUTPUT_QUERY), None) if i >= 0 else None
    output_asked = wait_until(asked_again, 5, "the panel to ask for the settings and the output again")
    wait_until(lambda: sim.received(STATUS_QUERY, since=output_asked.t), 5, "the poll after the answers")
    sent = sim.received(since=held)
    assert all(f.hex() in QUERIES for f in sent), "only queries may follow the stall: %s" % sent
    assert sim.state()["output"] == "on"
    assert rig.text(IDC_OUTPUT_SWITCH) == "ON", "the switch must show what the amplifier reports"


def test_a_reply_leaves_the_box_being_typed_alone(rig):
    """Another program's setting reaches the panel as a reply it did not ask for (the simulator
    announces one): the slider follows it and the box being typed in keeps what was typed; a Tab
    away, unsent, shows the amplifier's value again. (The rule is the native tests'; here the
    typing goes through the real edit box's key filter, the focus is the real one and the Tab the
    real dialog manager's.)"""
    sim, drive = rig.sim, rig.drive
    rig.open_and_link()
    slider = lambda: drive("slider %d" % IDC_CURRENT_SLIDER).split()[0]  # noqa: E731
    rig.type_into(IDC_TARGET_CURRENT, "12")
    sim.control("announce target-current 650")
    wait_until(lambda: slider() == "650", 5, "the slider to follow the reply")
    assert rig.text(IDC_TARGET_CURRENT) == "12", "the reply rewrote the box being typed in"
    drive("key %d tab" % IDC_TARGET_CURRENT)
    wait_until(lambda: rig.text(IDC_TARGET_CURRENT) == "650", 5, "the box left unsent to show the amplifier's value")


SUITES = {
    "connection": [test_link_up_and_live_readouts, test_unplug_replug_and_close, test_close_panel_while_linked],
    "commands": [test_operator_commands, test_keys_never_close_the_panel,
                 test_a_hold_ends_when_its_button_is_disabled_from_outside, test_a_dropped_setting_resyncs_the_panel,
                 test_a_reply_leaves_the_box_being_typed_alone],
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("suite", choices=sorted(SUITES))
    for name in ("wine-run", "panel", "driver", "ampsim", "prefix", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    # Each test's frame log and outputs are kept in a folder of its own.
    status = run_tests(SUITES[args.suite], lambda test: Rig(
        argparse.Namespace(**dict(vars(args), work=os.path.join(args.work, test.__name__))),
        ["--max-current", "1500", "--selector", "2", "--mode", "acc"]))
    write_figures(args.work, figures)
    return status


if __name__ == "__main__":
    sys.exit(main())
