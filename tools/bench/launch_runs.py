#!/usr/bin/env python3
"""Starts of scripts/panel.sh --device in new Wine prefixes: each run makes a prefix of its own
under a temporary folder, links the simulator's pseudo-terminal as panel.sh does for an operator,
and then works the panel as the operator would (picks the COM port panel.sh names, clicks
OpenPort). A run passes when the panel links (live readouts, the simulator polled), panel.sh is
still running then, and it ends with status 0 once the panel is closed.

    launch_runs.py --runs N [--desktop] --panel EXE --driver EXE --ampsim SIM --work DIR

Needs an X display (DISPLAY). --desktop marks it as a desktop's, a window manager present (the
root window's _NET_SUPPORTING_WM_CHECK), for the whole run, so that panel.sh sets the prefix up
as on an operator's desktop. scripts/endurance.sh launch runs it with everything set up. Prints a
line a run and the count; exit status 1 when a run failed. The folders of failed runs are kept
under DIR, with panel.sh's output and Wine's messages."""

import argparse
import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from amptest import IDC_LD_TEMP, IDC_OPEN_PORT, ROOT, STATUS_QUERY, Driver, Simulator, read_text, terminate  # noqa: E402
from amptest import wait_until  # noqa: E402

PANEL_SH = os.path.join(ROOT, "scripts", "panel.sh")
WINE_LOG = os.path.join(ROOT, "build", "panel", "wine.log")


def mark_as_desktop():
    """Sets the root window's window-manager mark; it lasts while the returned connection is open."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                                    ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    display = x11.XOpenDisplay(None)
    if not display:
        raise SystemExit("launch: cannot open the display %r" % os.environ.get("DISPLAY"))
    root = ctypes.c_ulong(x11.XDefaultRootWindow(display))
    xa_window, prop_mode_replace = 33, 0
    x11.XChangeProperty(display, root.value, x11.XInternAtom(display, b"_NET_SUPPORTING_WM_CHECK", 0), xa_window, 32,
                        prop_mode_replace, ctypes.byref(root), 1)
    x11.XSync(display, 0)
    return display


def one_run(args, folder):
    """None when the run linked, else what went wrong."""
    prefix = os.path.join(folder, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, AMP_LOCK_DIR=os.path.join(folder, "locks"))
    env.pop("LD_PRELOAD", None)
    os.makedirs(env["AMP_LOCK_DIR"])
    out_path = os.path.join(folder, "panel.out")
    sim = Simulator(args.ampsim, folder, os.path.join(folder, "amp"), ["--output", "on"])
    panel = drive = None
    try:
        # Files, not pipes, for what panel.sh and Wine print: Wine's server would hold a pipe open.
        with open(out_path, "w") as out:
            panel = subprocess.Popen([PANEL_SH, "--device", os.path.realpath(os.path.join(folder, "amp")),
                                      "--exe", args.panel], stdout=out, stderr=subprocess.STDOUT, env=env)
        said = wait_until(lambda: re.search(r"^panel: pick COM(\d+) ", read_text(out_path), re.M) or
                          panel.poll() is not None, 300, "panel.sh to start the panel")
        if panel.poll() is not None:
            return "panel.sh ended (status %d) before it started the panel" % panel.returncode
        port = "COM" + said.group(1)
        drive = Driver("wine", args.driver, env=env)
        try:
            drive("find 30000")
        except AssertionError:
            if panel.poll() is not None:
                return "the panel ended at once (panel.sh status %d)" % panel.returncode
            raise
        drive.select_port(port)
        opened = sim.now()
        drive("click %d" % IDC_OPEN_PORT)
        wait_until(lambda: sim.received(STATUS_QUERY, since=opened) and drive("text %d" % IDC_LD_TEMP) != "", 30,
                   "the link and live readouts on %s" % port)
        if panel.poll() is not None:
            return "panel.sh ended (status %d) while the panel was linked" % panel.returncode
        drive("close")
        panel.wait(60)
        if panel.returncode != 0 or "panel: the panel has ended" not in read_text(out_path):
            return "panel.sh ended with status %d after the panel closed" % panel.returncode
        return None
    except AssertionError as e:
        return str(e)
    finally:
        if drive:
            drive.stop()
        if panel and panel.poll() is None:
            terminate(panel, 60)
        sim.stop()
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        if os.path.exists(WINE_LOG):
            shutil.copy(WINE_LOG, os.path.join(folder, "wine.log"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--desktop", action="store_true")
    for option in ("--panel", "--driver", "--ampsim", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    desktop = mark_as_desktop() if args.desktop else None  # noqa: F841 (held open: the mark lasts)
    passed = 0
    for n in range(1, args.runs + 1):
        folder = tempfile.mkdtemp(prefix="launch-", dir=os.environ.get("TMPDIR", "/tmp"))
        started = time.monotonic()
        failure = one_run(args, folder)
        seconds = time.monotonic() - started
        if failure is None:
            passed += 1
            shutil.rmtree(folder, ignore_errors=True)
            print("launch: run %d linked (%.0f s)" % (n, seconds), flush=True)
        else:
            kept = os.path.join(args.work, "run%d" % n)
            shutil.rmtree(kept, ignore_errors=True)
            shutil.move(folder, kept)
            print("launch: run %d FAILED (%.0f s): %s; see %s" % (n, seconds, failure, kept), flush=True)
    print("launch: %d of %d runs in new prefixes linked%s" % (passed, args.runs, " (a desktop's display)" if args.desktop
                                                                else ""))
    return 0 if passed == args.runs else 1


if __name__ == "__main__":
    sys.exit(main())
