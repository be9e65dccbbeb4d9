#!/usr/bin/env python3
"""The real ampctl against the simulator on a pseudo-terminal, natively: what crosses the line (the
simulator's frame log), what is printed and the exit codes.

    cli_test.py GROUP --ampctl EXE --ampsim SIM --work DIR

Every wait is 'until a condition holds or a deadline passes'."""

import argparse
import fcntl
import json
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import (MODE_ACC, MODE_APC, OUTPUT_OFF, OUTPUT_ON, OUTPUT_QUERY, SETTINGS_QUERY,  # noqa: E402
                     STATUS_QUERY, Simulator, run_tests, wait_until, word_frame)

LINK_CHECK = [SETTINGS_QUERY, OUTPUT_QUERY]

TWO_PLACES = r"-?\d+\.\d\d"
CSV_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,\d+,%s,%s,%s$" % ((TWO_PLACES,) * 3))

args = None


class Rig:
    """The simulator on a link in the work folder, and ampctl run against it, with a lock folder of
    the test's own."""

    def __init__(self, options=()):
        os.makedirs(args.work, exist_ok=True)
        self.link = os.path.join(args.work, "amp")
        self.locks = os.path.join(args.work, "locks")
        shutil.rmtree(self.locks, ignore_errors=True)
        os.makedirs(self.locks)
        self.sim = Simulator(args.ampsim, args.work, self.link, list(options))
        # ampctl names the lock file after the device the link leads to.
        self.lock_file = os.path.join(self.locks, "LCK.." + os.path.realpath(self.link)[len("/dev/"):].replace("/", "_"))

    def environment(self, env=None):
        environment = {k: v for k, v in os.environ.items() if k != "AMPCTL_PORT"}
        environment["AMP_LOCK_DIR"] = self.locks
        environment.update(env or {})
        return environment

    def run(self, *words, port=True, env=None, timeout=20):
        command = [args.ampctl] + (["-p", self.link] if port else []) + list(words)
        return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=self.environment(env))

    def start(self, *words):
        return subprocess.Popen([args.ampctl, "-p", self.link] + list(words), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=self.environment())

    def sent_since(self, mark):
        return self.sim.received(since=mark)

    def stop(self):
        self.sim.stop()


def gaps_ms(frames):
    return [(b.t - a.t) * 1000.0 for a, b in zip(frames, frames[1:])]


def one_line(text):
    return len(text.splitlines()) == 1


# ------------------------------------------------------------------------------------------------

def test_frames_and_spacing(rig):
    """Each command sends the panel's frames, 100 ms apart (a frame the simulator logs at its last
    byte, so a longer frame adds its extra byte times)."""
    current = word_frame(0x0D, 1200)
    power = word_frame(0x04, 9050)  # 20.5 dBm
    cases = [
        (["status"], LINK_CHECK + [STATUS_QUERY]),
        (["set-current", "1200"], LINK_CHECK + [current, current]),
        (["set-power", "20.5"], LINK_CHECK + [power, power]),
        (["mode", "apc"], LINK_CHECK + [MODE_APC] * 2),
        (["mode", "acc"], LINK_CHECK + [MODE_ACC] * 2),
        (["output", "on"], LINK_CHECK + [OUTPUT_ON] * 2),
        (["output", "off"], LINK_CHECK + [OUTPUT_OFF] * 2),
        (["watch", "--interval", "0.2", "--count", "3"], [STATUS_QUERY] * 3),
    ]
    gaps = {100: [], 200: []}
    for words, frames in cases:
        mark = rig.sim.now()
        result = rig.run(*words)
        assert result.returncode == 0, (words, result.stderr)
        sent = rig.sent_since(mark)
        assert [f.hex() for f in sent] == frames, (words, sent)
        gaps[200 if words[0] == "watch" else 100] += gaps_ms(sent)
    # The simulator stamps a frame when it gets to read it, late by as much as the machine is busy
    # (a sanitizer build, other tests beside), which shortens the gap after a late stamp: single
    # gaps get slack, their median less. The exact pacing is the session tests' in virtual time.
    for spacing, measured in gaps.items():
        shown = ["%.1f" % g for g in measured]
        print("gaps at %d ms: %s" % (spacing, " ".join(shown)))
        assert all(spacing - 50 <= g <= spacing + 150 for g in measured), (spacing, shown)
    # The watch's cadence has a test of its own; the 100 ms gaps are many enough for a median.
    assert 97 <= statistics.median(gaps[100]) <= 130, gaps[100]


def test_status_matches_the_simulator(rig):
    # Changes after which the readings hold still (output off: no pump current); only the diode's
    # temperature keeps drifting.
    for change in [None, "set input-dbm -3.21", "set output off", "set mode apc", "set target-current 2345",
                   "set target-power 30.5"]:
        if change:
            rig.sim.control(change)
        before = rig.sim.state()
        result = rig.run("--json", "status")
        assert result.returncode == 0 and one_line(result.stdout), (change, result)
        for key in ("input_dbm", "output_dbm", "temperature_c", "target_power_dbm"):
            assert re.search(r'"%s":%s[,}]' % (key, TWO_PLACES), result.stdout), (key, result.stdout)
        shown = json.loads(result.stdout)
        state = rig.sim.state()
        for key in ("current_ma", "input_dbm", "output_dbm", "target_current_ma", "max_current_ma",
                    "target_power_dbm", "mode", "output"):
            assert shown[key] == state[key], (change, key, shown[key], state[key])
        # The diode's temperature drifts on: the reading lies between the states before and after.
        low, high = sorted((before["temperature_c"], state["temperature_c"]))
        assert low - 0.01 <= shown["temperature_c"] <= high + 0.01, (shown, before, state)
    text = rig.run("status")
    assert text.returncode == 0 and "-3.21 dBm" in text.stdout and "APC" in text.stdout, text.stdout


def test_watch_cadence_and_formats(rig):
    mark = rig.sim.now()
    result = rig.run("watch", "--interval", "0.2", "--count", "12", "--csv")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "time,current_ma,input_dbm,output_dbm,temperature_c", lines[0]
    assert len(lines) == 13 and all(CSV_LINE.match(line) for line in lines[1:]), lines
    queries = rig.sent_since(mark)
    assert all(f.hex() == STATUS_QUERY for f in queries) and len(queries) == 12, queries
    # Scheduled from the start, not from each reply: the k-th query stays near start + k * 0.2 s
    # (a schedule that drifted by one reply time a reading would spread by some 250 ms here).
    offsets = ["%.1f" % ((f.t - queries[0].t - 0.2 * k) * 1000) for k, f in enumerate(queries)]
    print("query offsets from the schedule, ms: %s" % " ".join(offsets))
    assert max(map(float, offsets)) - min(map(float, offsets)) <= 150, offsets

    result = rig.run("--json", "watch", "--interval", "0.2", "--count", "2")
    readings = [json.loads(line) for line in result.stdout.splitlines()]
    assert [sorted(r) for r in readings] == [sorted(["time", "current_ma", "input_dbm", "output_dbm",
                                                     "temperature_c"])] * 2, result.stdout

    # A reading the amplifier does not answer: one line on stderr, no line on stdout.
    rig.sim.control("fault no-reply 1")
    result = rig.run("watch", "--interval", "0.2", "--count", "3", "--csv")
    assert len(result.stdout.splitlines()) == 3 and one_line(result.stderr), result
    assert result.returncode == 1, result.returncode


def test_failures(rig):
    # A silent amplifier: probed until the timeout, no setting sent, exit 1.
    rig.sim.control("fault no-reply on")
    mark = rig.sim.now()
    started = time.monotonic()
    result = rig.run("--timeout", "1", "set-current", "100")
    elapsed = time.monotonic() - started
    assert result.returncode == 1 and one_line(result.stderr), result
    assert 1.0 <= elapsed <= 3.0, elapsed
    assert {f.hex() for f in rig.sent_since(mark)} == set(LINK_CHECK), rig.sent_since(mark)
    rig.sim.control("fault clear")

    # A setting that is not echoed (nor read back): the replies stop once the link check is through.
    mark = rig.sim.now()
    process = rig.start("mode", "apc")
    wait_until(lambda: any(f.t >= mark and f.data[3] == 0x25 for f in rig.sim.frames("TX")), 5,
               "the output reply of the link check", interval=0.002)
    rig.sim.control("fault no-reply on")
    out, err = process.communicate(timeout=10)
    rig.sim.control("fault clear")
    sent = [f.hex() for f in rig.sent_since(mark)]
    assert sent == LINK_CHECK + [MODE_APC] * 2 + [SETTINGS_QUERY], sent
    assert process.returncode == 1 and out == "" and one_line(err) and "did not confirm" in err, (out, err)

    # Held at another value by the amplifier (its highest power is 40 dBm).
    result = rig.run("set-power", "50")
    assert result.returncode == 1 and "40.00 dBm" in result.stderr, result

    # A clamp: reported on stderr and in the JSON; the clamped value is sent and confirmed.
    mark = rig.sim.now()
    result = rig.run("--json", "set-current", "9000")
    assert result.returncode == 0, result
    assert json.loads(result.stdout) == {"target_current_ma": 6000, "requested_ma": 9000, "clamped": True,
                                         "confirmed_by": "echo"}, result.stdout
    assert one_line(result.stderr) and "6000 mA" in result.stderr, result.stderr
    assert [f.hex() for f in rig.sent_since(mark)][2:] == [word_frame(0x0D, 6000)] * 2
    assert rig.sim.state()["target_current_ma"] == 6000

    # The port from the environment.
    assert rig.run("status", port=False, env={"AMPCTL_PORT": rig.link}).returncode == 0

    # Missing and busy ports.
    assert rig.run("-p", os.path.join(args.work, "nothing"), "status", port=False).returncode == 3
    holder = os.open(rig.link, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)
        mark = rig.sim.now()
        result = rig.run("output", "off")
        assert result.returncode == 3 and "busy" in result.stderr, result
        assert not rig.sent_since(mark)
    finally:
        os.close(holder)


def test_usage(rig):
    cases = [
        [], ["bogus"], ["status", "--bogus"], ["set-current"], ["set-current", "abc"], ["set-current", "12x"],
        ["set-power", "600"], ["set-power", "-70.01"], ["mode", "ACC"],
        ["output", "maybe"], ["watch", "--interval", "0.1"], ["watch", "--count", "0"], ["--timeout", "0", "status"],
        ["--json", "watch", "--csv"],
    ]
    mark = rig.sim.now()
    for words in cases:
        result = rig.run(*words)
        assert result.returncode == 2 and result.stdout == "" and one_line(result.stderr), (words, result)
    # A current whose whole milliamps do not fit in 32 bits is refused, not wrapped.
    for value in ["1e10", "2147483648", "-2147483649", "-1e10"]:
        result = rig.run("set-current", value)
        assert (result.returncode, result.stdout, result.stderr) == (
            2, "", "ampctl: refused: %s mA is out of range\n" % value), (value, result)
    result = rig.run("status", port=False)
    assert result.returncode == 2 and one_line(result.stderr), result
    assert not rig.sent_since(mark), rig.sent_since(mark)
    assert rig.run("--help", port=False).returncode == 0
    assert re.match(r"^ampctl \d+\.\d+", rig.run("--version", port=False).stdout)


def read_lines(process, count, timeout):
    """The process's standard output once `count` lines are complete or the deadline passes."""
    data = b""
    deadline = time.monotonic() + timeout
    while data.count(b"\n") < count and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.05)
        if ready:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            data += chunk
    return data.decode()


def line_speed(link, speed=None):
    """The line's speed (input, output), set first when given. The descriptor is closed again at
    once: ampctl refuses a line that another program has open."""
    tty = os.open(link, os.O_RDWR | os.O_NOCTTY)
    try:
        if speed is not None:
            attributes = termios.tcgetattr(tty)
            attributes[4] = attributes[5] = speed
            termios.tcsetattr(tty, termios.TCSANOW, attributes)
        return termios.tcgetattr(tty)[4:6]
    finally:
        os.close(tty)


def test_interrupted_watch(rig):
    before = line_speed(rig.link)
    try:
        # Line settings of the pty before: ampctl must put them back.
        line_speed(rig.link, termios.B4800)
        process = rig.start("watch", "--interval", "0.2", "--csv")
        data = read_lines(process, 3, 10)
        assert data.count("\n") >= 3, data
        busy = rig.run("status")
        assert busy.returncode == 3, busy
        assert busy.stderr.startswith("ampctl: %s is busy: held by %d (" % (rig.link, process.pid)), busy.stderr
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=5)
        lines = (data + out).split("\n")
        assert process.returncode == 0, (process.returncode, err)
        assert lines[-1] == "", "a line left incomplete: %r" % lines[-1]
        assert all(CSV_LINE.match(line) for line in lines[1:-1]), lines
        assert line_speed(rig.link) == [termios.B4800] * 2, "line settings not put back"
        assert not os.path.exists(rig.lock_file), "lock file left behind"

        # A stop signal while the settings are put back (the drain of the last frame): they are put
        # back all the same.
        result = rig.run("status", env={"LD_PRELOAD": args.drain_signal})
        assert "drain-signal: SIGTERM during the drain" in result.stderr, "no signal sent: %r" % result.stderr
        assert result.returncode == 0, result
        assert line_speed(rig.link) == [termios.B4800] * 2, "line settings not put back after a signal in the drain"
    finally:
        line_speed(rig.link, before[0])
    assert rig.run("status").returncode == 0, "the port is free again"


def shown_command(argv):
    """A command line as ampctl names a holder: argv joined by spaces, shortened when long."""
    command = " ".join(argv)
    return command if len(command) <= 80 else command[:77] + "..."


def test_busy(rig):
    """Every way another program can hold the line: ampctl exits 3, names the holder where it can
    be known, and writes nothing. The frames after each refusal are those of a run once the line
    is free again: a byte from the refused run would come before them."""
    lock_file = rig.lock_file
    # A process that opens the line and takes no lock of any kind, as screen or a pyserial script.
    opener = [sys.executable, "-c", "import os,sys,time; os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY); "
              "print('open', flush=True); time.sleep(60)", rig.link]

    def held_open():
        process = subprocess.Popen(opener, stdout=subprocess.PIPE, text=True)
        assert process.stdout.readline().strip() == "open"
        return process, "held by %d (%s)" % (process.pid, shown_command(opener))

    def write_lock(text, age_s=0):
        with open(lock_file, "w") as f:
            f.write(text)
        if age_s:
            then = time.time() - age_s
            os.utime(lock_file, (then, then))

    def locked_by_live_process():
        process = subprocess.Popen(["sleep", "60"])
        write_lock("%10d\n" % process.pid)
        return process, "held by %d (sleep 60)" % process.pid

    def locked_without_number():
        write_lock("")
        return None, "another program holds it"

    def locked_by_a_link():
        target = os.path.join(args.work, "not-a-lock")
        with open(target, "w") as f:
            f.write("kept\n")
        os.symlink(target, lock_file)
        return None, "%s is in the lock file's place and is a symbolic link" % lock_file

    def flocked():
        holder = os.open(rig.link, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        with open("/proc/self/cmdline", "rb") as f:
            argv = f.read().decode().rstrip("\0").split("\0")
        return holder, "held by %d (%s)" % (os.getpid(), shown_command(argv))

    cases = [
        ("open with no lock", held_open, "ampctl: %s is busy: " % rig.link),
        ("lock file of a live process", locked_by_live_process, "ampctl: %s is busy: " % rig.link),
        ("lock file being written", locked_without_number, "ampctl: %s is busy: " % rig.link),
        ("a link in the lock file's place", locked_by_a_link, "ampctl: %s: " % rig.link),
        ("flock", flocked, "ampctl: %s is busy: " % rig.link),
    ]
    for what, hold, prefix in cases:
        holder, named = hold()
        mark = rig.sim.now()
        try:
            result = rig.run("output", "off")
        finally:
            if isinstance(holder, int):
                os.close(holder)
            elif holder:
                holder.kill()
                holder.wait()
            lock_text = open(lock_file).read() if os.path.isfile(lock_file) else None
            if os.path.lexists(lock_file):
                os.unlink(lock_file)
        assert (result.returncode, result.stdout, result.stderr) == (3, "", prefix + named + "\n"), (what, result)
        if what == "lock file of a live process":
            assert lock_text == "%10d\n" % holder.pid, "another's lock file changed: %r" % lock_text
        if what == "a link in the lock file's place":
            assert open(os.path.join(args.work, "not-a-lock")).read() == "kept\n"
        assert rig.run("status").returncode == 0, what
        sent = [f.hex() for f in rig.sent_since(mark)]
        assert sent == LINK_CHECK + [STATUS_QUERY], (what, sent)

    # Stale lock files are taken over: one whose process is gone, one without a process number
    # written long ago. The lock file is ours while ampctl runs, and gone when it ends.
    dead = subprocess.Popen(["true"])
    dead.wait()
    for what, text, age_s in [("dead process", "%10d\n" % dead.pid, 0), ("no number, old", "junk", 60)]:
        write_lock(text, age_s)
        process = rig.start("watch", "--interval", "0.2", "--count", "50")
        try:
            assert read_lines(process, 1, 10).count("\n") >= 1, what
            assert open(lock_file).read() == "%10d\n" % process.pid, what
        finally:
            process.send_signal(signal.SIGINT)
            process.communicate(timeout=5)
        assert process.returncode == 0, (what, process.returncode)
        assert not os.path.lexists(lock_file), "%s: lock file left behind" % what

    # No lock folder: the other checks hold the line, and a note says so.
    missing = os.path.join(args.work, "no-such-folder")
    result = rig.run("status", env={"AMP_LOCK_DIR": missing})
    assert result.returncode == 0, result
    assert result.stderr == "ampctl: note: %s does not exist: no lock file taken for %s\n" % (missing, rig.link)
    holder, named = held_open()
    try:
        result = rig.run("status", env={"AMP_LOCK_DIR": missing})
    finally:
        holder.kill()
        holder.wait()
    assert result.returncode == 3 and result.stderr.endswith("ampctl: %s is busy: %s\n" % (rig.link, named)), result


GROUPS = {
    "frames": (test_frames_and_spacing, ["--output", "on"]),
    "status": (test_status_matches_the_simulator, ["--output", "on", "--max-current", "5000"]),
    "watch": (test_watch_cadence_and_formats, ["--output", "on"]),
    "failures": (test_failures, ["--output", "on"]),
    "usage": (test_usage, []),
    "interrupt": (test_interrupted_watch, ["--output", "on"]),
    "busy": (test_busy, ["--output", "on"]),
}


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("--ampctl", required=True)
    parser.add_argument("--ampsim", required=True)
    parser.add_argument("--drain-signal", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    test, options = GROUPS[args.group]
    return run_tests([test], lambda test: Rig(options))


if __name__ == "__main__":
    sys.exit(main())
