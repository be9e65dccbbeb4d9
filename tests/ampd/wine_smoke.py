#!/usr/bin/env python3
"""ampd.exe under Wine against the simulator on a COM port of the test prefix, asked from Linux over
TCP: its identity, the link, a reading that matches the simulator, and one setting confirmed and
witnessed on the line. Ended by Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event; a
SIGTERM would end it without its stop), and never left running.

    wine_smoke.py --wine-run W --ampd EXE --ampsim SIM --prefix P --work DIR --version V

Every wait is 'until a condition holds or a deadline passes'."""

import argparse
import os
import re
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import OUTPUT_OFF, ScpiClient, Simulator, read_text, run_tests, terminate, wait_until  # noqa: E402

COM = 8
args = None


def reading_of(state):
    """MEAS? as ampd answers it for the simulator's state: current, input, output, temperature."""
    return "%d,%.2f,%.2f,%.2f" % (state["current_ma"], state["input_dbm"], state["output_dbm"],
                                  state["temperature_c"])


def end(ampd):
    """Ctrl+C, and the clean stop it starts: True when ampd.exe ended so; killed otherwise."""
    return terminate(ampd, 15, signal.SIGINT)


def test_ampd_exe_on_a_com_port(sim):
    err_path = os.path.join(args.work, "ampd.err")
    ampd = None
    try:
        # Files, not pipes: Wine's server inherits the descriptors and would hold a pipe open.
        with open(err_path, "w") as err:
            ampd = subprocess.Popen([args.wine_run, args.ampd, "-p", "COM%d" % COM, "--scpi", "127.0.0.1:0"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        listening = wait_until(lambda: re.search(r"^ampd: SCPI on 127\.0\.0\.1:(\d+)$", read_text(err_path), re.M)
                               or ampd.poll() is not None, 60, "ampd.exe to listen")
        assert ampd.poll() is None, "ampd.exe ended (exit %d): %s" % (ampd.returncode, read_text(err_path))
        client = ScpiClient(int(listening.group(1)))

        assert client.ask("*IDN?") == "Lumacore,AMP-10W,0,%s" % args.version
        wait_until(lambda: client.ask("LINK?") == "UP", 20, "LINK? to answer UP")
        # The reading in flight may be a poll older than the state: the next one matches.
        wait_until(lambda: client.ask("MEAS?") == reading_of(sim.state()), 10, "MEAS? to match the simulator")

        mark = sim.now()
        client.send("OUTP OFF")
        assert client.ask("*OPC?") == "1"
        assert client.ask("SYST:ERR?") == '0,"No error"'
        sent = [f.hex() for f in sim.received(since=mark)]
        assert sent.count(OUTPUT_OFF) == 2, sent
        assert sim.state()["output"] == "off"
        assert client.ask("OUTP?") == "0"
        client.close()

        assert end(ampd), "ampd.exe did not stop on Ctrl+C: %s" % read_text(err_path)
        said = read_text(err_path)
        assert ampd.returncode == 0 and "ampd: stopping" in said, (ampd.returncode, said)
    finally:
        if ampd is not None:
            end(ampd)


def main():
    global args
    parser = argparse.ArgumentParser()
    for option in ("--wine-run", "--ampd", "--ampsim", "--prefix", "--work", "--version"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    # A TERM from CTest's deadline unwinds like an error, so ampd.exe and the simulator are ended.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    return run_tests([test_ampd_exe_on_a_com_port], lambda test: Simulator(
        args.ampsim, args.work, os.path.join(args.prefix, "dosdevices", "com%d" % COM), ["--output", "on"]))


if __name__ == "__main__":
    sys.exit(main())
