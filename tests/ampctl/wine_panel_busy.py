#!/usr/bin/env python3
"""The native ampctl against the panel under Wine, linked by scripts/panel.sh --device to the
simulator's pseudo-terminal, with the port open in the panel: ampctl exits 3, names the Wine
program, and nothing of it reaches the line. panel.sh takes over a stale lock file, holds it for
the whole run and gives it up, with flock, when the panel ends.

    wine_panel_busy.py --wine-run W --panel EXE --driver EXE --ampctl AMPCTL --ampsim SIM --prefix P --work DIR

AMPCTL is the Linux ampctl. Every wait is 'until a condition holds or a deadline passes'."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import IDC_OPEN_PORT, ROOT, STATUS_QUERY, Driver, Simulator, run_tests, wait_until  # noqa: E402
from amptest import read_text as read  # noqa: E402

args = None


def test_ampctl_names_the_panel_that_holds_the_line(_rig):
    locks = os.path.join(args.work, "locks")
    shutil.rmtree(locks, ignore_errors=True)
    os.makedirs(locks)
    env = dict(os.environ, AMP_LOCK_DIR=locks, WINEPREFIX=args.prefix)
    env.pop("AMPCTL_PORT", None)

    link = os.path.join(args.work, "amp")
    sim = Simulator(args.ampsim, args.work, link, ["--output", "on"])
    device = os.path.realpath(link)
    lock_file = os.path.join(locks, "LCK.." + device[len("/dev/"):].replace("/", "_"))
    out_path = os.path.join(args.work, "panel.out")
    panel = drive = None

    def ampctl(*words, lock_dir=locks):
        return subprocess.run([args.ampctl, "-p", link] + list(words), capture_output=True, text=True, timeout=30,
                              env=dict(env, AMP_LOCK_DIR=lock_dir))

    try:
        # A lock file left by a process that has gone: panel.sh takes it over.
        dead = subprocess.Popen(["true"])
        dead.wait()
        with open(lock_file, "w") as f:
            f.write("%10d\n" % dead.pid)
        # Files, not pipes, for what panel.sh and Wine print: Wine's server would hold a pipe open.
        with open(out_path, "w") as out:
            panel = subprocess.Popen([os.path.join(ROOT, "scripts", "panel.sh"), "--device", device,
                                      "--exe", args.panel], stdout=out, stderr=subprocess.STDOUT, env=env)
        said = wait_until(lambda: re.search(r"^panel: COM(\d+) is ", read(out_path), re.M) or panel.poll() is not None,
                          120, "panel.sh to link the device")
        assert panel.poll() is None, "panel.sh ended: %s" % read(out_path)
        com = "COM" + said.group(1)
        assert read(lock_file) == "%10d\n" % panel.pid, "the stale lock file is not replaced by panel.sh's"

        drive = Driver(args.wine_run, args.driver)
        drive("find 30000")
        drive.select_port(com)
        clicked = sim.now()
        drive("click %d" % IDC_OPEN_PORT)
        wait_until(lambda: sim.received(STATUS_QUERY, since=clicked), 30, "the panel's first status poll")

        mark = sim.now()
        for lock_dir in (locks, os.path.join(args.work, "other-locks")):
            os.makedirs(lock_dir, exist_ok=True)
            # Its own lock folder has panel.sh's lock file; another has none, and the rest holds.
            result = ampctl("output", "off", lock_dir=lock_dir)
            assert result.returncode == 3 and result.stdout == "", result
            # Named with panel.sh's flock helper, which has the device open too; Wine's server, which
            # holds it for the panel, is left out.
            held = re.match(r"^ampctl: %s is busy: held by (.*)\n$" % re.escape(link), result.stderr)
            holders = re.findall(r"(\d+) \(([^)]*)\)", held.group(1)) if held else []
            assert any(command.endswith("AmpPanel.exe") for _, command in holders), \
                "the Wine program is not named: %r" % result.stderr
            assert not any("wineserver" in command for _, command in holders), result.stderr
            print("ampctl (lock folder %s): %s" % (os.path.basename(lock_dir), result.stderr.strip()))
        # The panel polls on: every frame since is its status query, whole, and the output stays on.
        done = sim.now()
        wait_until(lambda: sim.received(STATUS_QUERY, since=done), 10, "the panel's next status poll")
        polls = [f for f in sim.frames() if f.t >= mark and f.direction != "TX"]
        assert polls and all(f.direction == "RX" and f.hex() == STATUS_QUERY for f in polls), polls
        assert sim.state()["output"] == "on", sim.state()

        # The panel closed: panel.sh ends, with its lock file and flock gone.
        drive("close")
        panel.wait(60)
        assert panel.returncode == 0, read(out_path)
        assert not os.path.lexists(lock_file), "panel.sh left its lock file"
        result = ampctl("status")
        assert result.returncode == 0, result
    finally:
        if drive:
            drive.stop()
        if panel and panel.poll() is None:
            panel.send_signal(signal.SIGTERM)
            panel.wait(60)
        sim.stop()


def main():
    global args
    parser = argparse.ArgumentParser()
    for option in ("--wine-run", "--panel", "--driver", "--ampctl", "--ampsim", "--prefix", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    return run_tests([test_ampctl_names_the_panel_that_holds_the_line])


if __name__ == "__main__":
    sys.exit(main())
