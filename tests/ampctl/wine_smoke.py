#!/usr/bin/env python3
"""ampctl.exe under Wine against the simulator on a COM port of the test prefix: it lists the port
and reads the status with the link check before it.

    wine_smoke.py --wine-run W --ampctl EXE --ampsim SIM --prefix P --work DIR"""

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import OUTPUT_QUERY, SETTINGS_QUERY, STATUS_QUERY, Simulator, run_tests  # noqa: E402

COM = 6
args = None


def ampctl(*words):
    # Files, not pipes: Wine's server inherits the descriptors and would hold a pipe open for
    # seconds after the program has ended.
    with open(os.path.join(args.work, "out"), "w+") as out, open(os.path.join(args.work, "err"), "w+") as err:
        code = subprocess.run([args.wine_run, args.ampctl] + list(words), stdout=out, stderr=err, timeout=60).returncode
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(words, code, out.read(), err.read())


def test_status_on_a_com_port(sim):
    ports = ampctl("ports")
    assert ports.returncode == 0 and "COM%d" % COM in ports.stdout.split(), ports
    mark = sim.now()
    result = ampctl("-p", "COM%d" % COM, "--json", "status")
    assert result.returncode == 0, result
    sent = [f.hex() for f in sim.received(since=mark)]
    assert sent == [SETTINGS_QUERY, OUTPUT_QUERY, STATUS_QUERY], sent
    shown = json.loads(result.stdout)
    state = sim.state()
    for key in ("current_ma", "input_dbm", "output_dbm", "target_current_ma", "max_current_ma",
                "target_power_dbm", "mode", "output"):
        assert shown[key] == state[key], (key, shown[key], state[key])
    assert ampctl("-p", "COM99", "status").returncode == 3, "a missing port"


def main():
    global args
    parser = argparse.ArgumentParser()
    for option in ("--wine-run", "--ampctl", "--ampsim", "--prefix", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    return run_tests([test_status_on_a_com_port], lambda test: Simulator(
        args.ampsim, args.work, os.path.join(args.prefix, "dosdevices", "com%d" % COM), ["--output", "on"]))


if __name__ == "__main__":
    sys.exit(main())
