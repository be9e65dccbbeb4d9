"""Pictures of the panel under Wine on an X display, each cropped from the screen to one window once
its painting has settled; and the operator guide's pictures, taken of the real panel against the
simulator, worked through the panel driver as an operator would.

    panelshots.py guide --out DIR --work DIR --com N --panel EXE --driver EXE --ampsim SIM

(scripts/guide-screenshots.sh runs it with everything set up.) Every wait is "until a condition
holds or a deadline passes"."""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "python"))
from amptest import *  # noqa: E402,F401,F403


def grab(rect):
    """The pixels of rect (x0, y0, x1, y1) of the X screen, as raw RGB."""
    x0, y0, x1, y1 = rect
    return subprocess.run(["import", "-silent", "-window", "root", "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0),
                           "+repage", "-depth", "8", "rgb:-"], check=True, capture_output=True, timeout=30).stdout


def snap(rect, path, timeout=10):
    """Writes rect of the screen to path (PNG, no time stamps) once two pictures in a row agree."""
    previous = None
    deadline = time.monotonic() + timeout
    while True:
        pixels = grab(rect)
        if pixels == previous:
            break
        if time.monotonic() > deadline:
            raise AssertionError("the picture for %s kept changing for %d s" % (path, timeout))
        previous = pixels
        time.sleep(0.1)
    x0, y0, x1, y1 = rect
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    subprocess.run(["convert", "-size", "%dx%d" % (x1 - x0, y1 - y0), "-depth", "8", "rgb:-", "-strip", path],
                   input=pixels, check=True, timeout=30)


def window_rect(title):
    """The screen rectangle of the top-level X window named title, or None."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=30).stdout
    for line in tree.splitlines():
        if '"%s":' % title in line:
            info = subprocess.run(["xwininfo", "-id", line.split()[0]], capture_output=True, text=True,
                                  timeout=30).stdout
            if "IsViewable" not in info:
                continue
            value = {}
            for row in info.splitlines():
                key, _, v = row.strip().partition(":")
                value[key] = v.strip()
            x, y = int(value["Absolute upper-left X"]), int(value["Absolute upper-left Y"])
            return (x, y, x + int(value["Width"]), y + int(value["Height"]))
    return None


def panel_rect(drive):
    return tuple(int(v) for v in drive("screenrect 0").split())


def guide(args):
    """The states an operator meets, in the order they meet them, one picture each."""
    port = "COM%d" % args.com
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "com%d" % args.com)
    os.makedirs(args.work, exist_ok=True)
    sim = Simulator(args.ampsim, args.work, link, ["--output", "off"])
    panel = Panel("wine", args.panel, args.work)
    drive = Driver("wine", args.driver)
    shots = []

    def shot(name, rect=None):
        path = os.path.join(args.out, name)
        snap(rect or panel_rect(drive), path)
        shots.append(path)
        print("panelshots: %s" % path, flush=True)

    def text(control):
        return drive("text %d" % control)

    def until(condition, what, timeout=30):
        """Waits for condition(); at the deadline fails with what the panel showed."""
        try:
            wait_until(condition, timeout, what)
        except AssertionError as e:
            shown = {name: text(control) for name, control in (
                ("open", IDC_OPEN_PORT), ("switch", IDC_OUTPUT_SWITCH), ("current", IDC_CURRENT_READ),
                ("output", IDC_OUTPUT_POWER), ("temperature", IDC_LD_TEMP), ("power box", IDC_TARGET_POWER))}
            shown["ACC"], shown["APC"] = (drive("checked %d" % box) for box in (IDC_MODE_ACC, IDC_MODE_APC))
            raise AssertionError("%s; the panel showed %s" % (e, shown)) from None

    def linked():
        return len(sim.received(STATUS_QUERY, since=opened)) >= 2 and text(IDC_LD_TEMP) != ""

    try:
        drive("find 30000")

        # Closed, the simulator's port chosen in the list.
        drive.select_port(port)
        shot("closed.png")

        # Opened, probing an amplifier that does not answer.
        sim.control("fault no-reply on")
        opened = sim.now()
        drive("click %d" % IDC_OPEN_PORT)
        until(lambda: text(IDC_OPEN_PORT) == "ClosePort", "the button to read ClosePort")
        until(lambda: len(sim.received(OUTPUT_QUERY, since=opened)) >= 3, "three probes")
        assert text(IDC_CURRENT_READ) == "", "no readout while probing"
        shot("probing.png")

        # It answers: linked, ACC, output off. The fault ends just after an output query has gone
        # unanswered, so that the next probe's settings query is answered too.
        probed = sim.now()
        until(lambda: withheld_output_reply(sim, since=probed), "an output query left unanswered")
        sim.control("fault clear")
        until(linked, "the link and live readouts")
        # A link made by an output reply alone (the settings reply lost, as on a busy machine)
        # leaves the settings unknown for the whole connection: closed and opened again, as the
        # operator guide says.
        for _ in range(5):
            if drive("checked %d" % IDC_MODE_ACC) == "1":
                break
            print("panelshots: linked without the settings; closing and opening the port again", flush=True)
            drive("click %d" % IDC_OPEN_PORT)
            until(lambda: text(IDC_OPEN_PORT) == "OpenPort", "the port to close")
            drive.select_port(port)  # the closed panel lists the ports afresh, the first one chosen
            opened = sim.now()
            drive("click %d" % IDC_OPEN_PORT)
            until(linked, "the link and live readouts")
        until(lambda: drive("checked %d" % IDC_MODE_ACC) == "1" and text(IDC_OUTPUT_SWITCH) == "OFF",
              "ACC with the output off")
        shot("linked-acc.png")

        # Output on: the switch red, the pump at its target current.
        drive("click %d" % IDC_OUTPUT_SWITCH)
        target = str(sim.state()["target_current_ma"])
        until(lambda: text(IDC_OUTPUT_SWITCH) == "ON" and text(IDC_CURRENT_READ) == target,
              "the output on and the pump at %s mA" % target)
        shot("output-on.png")

        # APC: the power loop holds the output at its target power.
        drive("click %d" % IDC_MODE_APC)
        until(lambda: drive("checked %d" % IDC_MODE_APC) == "1" and drive("enabled %d" % IDC_TARGET_POWER) == "1",
              "APC")
        goal = float(text(IDC_TARGET_POWER))
        until(lambda: abs(float(text(IDC_OUTPUT_POWER)) - goal) < 0.05, "the output at %.1f dBm" % goal)
        shot("apc.png")

        # The line goes away while linked: the next write fails and the port engine reports it.
        sim.control("unplug")
        box = wait_until(lambda: window_rect("Application Error"), 30, "the error report")
        shot("error.png", box)
        reports = [drive("msgbox 5000")]
        print("panelshots: the report read %r" % reports[0], flush=True)

        # Dismiss what follows, close the port and the panel, as the operator would.
        drive("click %d" % IDC_OPEN_PORT)
        until(lambda: reports.extend(drive.dismiss_error_boxes()) or text(IDC_OPEN_PORT) == "OpenPort", "the port to close")
        print("panelshots: %d more reports dismissed before the port closed" % (len(reports) - 1), flush=True)
        drive("close")
        wait_until(lambda: not panel.running(), 10, "the panel to end")
    finally:
        drive.stop()
        panel.stop()
        sim.stop()
    return shots


def withheld_output_reply(sim, since):
    """The simulator's log says it has withheld an output reply at `since` or later."""
    with open(sim.log_path) as log:
        for line in log:
            t, _, event = line.partition(" ")
            if event.startswith("EVENT fault no-reply on reply 0x25") and float(t) >= since:
                return True
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["guide"])
    for option in ("--out", "--work", "--panel", "--driver", "--ampsim"):
        parser.add_argument(option, required=True)
    parser.add_argument("--com", type=int, required=True)
    guide(parser.parse_args())


if __name__ == "__main__":
    main()
