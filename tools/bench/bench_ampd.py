"""The bench's native figures of ampctl and of ampd against the simulator."""

import os
import statistics
import subprocess
import time

from amptest import CLK_TCK, Readers, ScpiClient, cpu_ticks, vm_rss_kib, wait_until
from bench_run import (BYTE_S, CURRENT_ECHO_BYTES, CURRENT_SETTING_BYTES, FRAME_SPACING_MS, QUERY_BYTES,
                       STATUS_REPLY_BYTES, start_ampd)
from bench_table import row, spread


def ampctl_figure(args, started, runs):
    work = os.path.join(args.work, "ampctl")
    link = os.path.join(work, "amp")
    # Replies at once: what is left beside the floor is ampctl's own.
    sim = started.simulator(args.root, work, link, ["--latency-ms", "0"])
    ampctl = os.path.join(args.root, "build/native/ampctl/ampctl")
    times = []
    try:
        for attempt in range(runs + 1):  # the first warms the file cache; not counted
            began = time.monotonic()
            out = subprocess.run([ampctl, "-p", link, "status"], capture_output=True, text=True, timeout=30)
            elapsed = (time.monotonic() - began) * 1000.0
            if out.returncode != 0:
                raise AssertionError("ampctl status exited %d: %s" % (out.returncode, out.stderr.strip()))
            if attempt:
                times.append(elapsed)
    finally:
        sim.stop()
    floor = 2 * FRAME_SPACING_MS + (QUERY_BYTES + STATUS_REPLY_BYTES) * BYTE_S * 1000.0
    row("ampctl status (native)", "%.0f ms" % statistics.median(times), "%.1f ms floor" % floor,
        "median of %d runs (%.0f..%.0f); floor: two 100 ms gaps + 5 + 17 bytes; simulator latency 0" % (
            len(times), min(times), max(times)))


# ------------------------------------------------------------------------------------------------
# ampd natively against the simulator

def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def ampd_window(ampd, sim, seconds):
    """Over `seconds`: the frames ampd sent per second (the simulator's log, its own clock), ampd's
    CPU as % of one core, and its VmRSS at the end."""
    ticks = cpu_ticks(ampd.process.pid)
    began, sim_began = time.monotonic(), sim.now()
    time.sleep(seconds)  # the measuring window itself, not a wait for a condition
    elapsed, sim_ended = time.monotonic() - began, sim.now()
    cpu = (cpu_ticks(ampd.process.pid) - ticks) / CLK_TCK / elapsed * 100.0
    frames = [f for f in sim.received(since=sim_began) if f.t <= sim_ended]
    return len(frames) / (sim_ended - sim_began), cpu, vm_rss_kib(ampd.process.pid)


def ampd_figures(args, started, counts):
    work = os.path.join(args.work, "ampd")
    link = os.path.join(work, "amp")
    # Replies at once, as for ampctl's figure: what is left beside the floor is the programs' own.
    sim = started.simulator(args.root, work, link, ["--latency-ms", "0", "--output", "on"])
    ampd = None
    try:
        # The same reading with ampctl on the port, before ampd holds it.
        ampctl = os.path.join(args.root, "build/native/ampctl/ampctl")
        ampctl_ms = []
        for attempt in range(counts["ampctl_runs"] + 1):  # the first warms the file cache; not counted
            began = time.monotonic()
            out = subprocess.run([ampctl, "-p", link, "status"], capture_output=True, text=True, timeout=30)
            if out.returncode != 0:
                raise AssertionError("ampctl status exited %d: %s" % (out.returncode, out.stderr.strip()))
            if attempt:
                ampctl_ms.append((time.monotonic() - began) * 1000.0)
        floor = 2 * FRAME_SPACING_MS + (QUERY_BYTES + STATUS_REPLY_BYTES) * BYTE_S * 1000.0

        ampd = start_ampd(args.root, started, link, work)
        pid = ampd.process.pid
        client = ScpiClient(ampd.port)
        wait_until(lambda: client.ask("LINK?") == "UP" and "E+37" not in client.ask("MEAS?"), 15,
                   "ampd's link and its first reading")
        client.close()

        # The wire, CPU and memory with no client, one reader and a hundred.
        seconds = counts["window_s"]
        fps_none, cpu_none, rss_none = ampd_window(ampd, sim, seconds)
        fds_idle = open_fds(pid)
        readers = Readers(ampd.port, 1)
        fps_one = ampd_window(ampd, sim, seconds)[0]
        readers.stop()
        readers = Readers(ampd.port, 100)
        answers = readers.answers
        fps_many, cpu_many, rss_many = ampd_window(ampd, sim, seconds)
        answers = readers.answers - answers
        readers.stop()
        note = "frames ampd sent (the simulator's log, its clock), %.0f s a window" % seconds
        row("frames/s on the wire, 1 reader at 5 Hz", "%.2f" % fps_one, "%.2f no client" % fps_none, note)
        row("frames/s on the wire, 100 readers at 5 Hz", "%.2f" % fps_many, "%.2f 1 reader" % fps_one,
            note + "; readers 25 each from 127.0.0.1..4, %.0f answers/s" % (answers / seconds))
        row("ampd CPU, 100 readers at 5 Hz", "%.1f%%" % cpu_many, "%.1f%% no client" % cpu_none,
            "utime+stime over the window; % of one core")
        row("ampd VmRSS, 100 readers at 5 Hz", "%d KiB" % rss_many, "%d KiB no client" % rss_none,
            "at the end of each window")

        # A reading: answered from the last poll, never from the line.
        client = ScpiClient(ampd.port)
        reads = []
        for _ in range(counts["reads"]):
            began = time.perf_counter()
            answer = client.ask("MEAS?")
            reads.append((time.perf_counter() - began) * 1e6)
            if answer.count(",") != 3:
                raise AssertionError("MEAS? answered %r" % answer)
        row("reading via ampd (MEAS? over TCP)", spread(reads, "us", 0),
            "ampctl status %.0f ms; floor %.1f ms" % (statistics.median(ampctl_ms), floor),
            "min/median/max of %d round trips on one connection; ampctl: median of %d runs on the port "
            "(%.0f..%.0f ms), floor: two 100 ms gaps + 5 + 17 bytes; simulator latency 0" % (
                len(reads), len(ampctl_ms), min(ampctl_ms), max(ampctl_ms)))

        # A setting: sent twice a gap apart, confirmed by the echo of the second. Each sample starts
        # after the one before is read back, at a different point of the 200 ms poll.
        settings = []
        for i in range(counts["settings"]):
            value = 1400 if i % 2 == 0 else 1600  # each one a change
            time.sleep(0.4 + 0.023 * (i % 9))  # the read-back's two queries, then a spread phase
            began = time.perf_counter()
            answer = client.ask("SOUR:CURR %d;*OPC?" % value)
            settings.append((time.perf_counter() - began) * 1000.0)
            if answer != "1" or client.ask("SYST:ERR?") != '0,"No error"':
                raise AssertionError("SOUR:CURR %d was not confirmed (*OPC? %r)" % (value, answer))
        # The gap counts from the start of a write, and on the simulator's pseudo-terminal the frames
        # sent take no time (its replies are paced): a gap and the echo, one more gap at most when a
        # poll has just been written.
        echo_ms = CURRENT_ECHO_BYTES * BYTE_S * 1000.0
        row("setting via ampd (SOUR:CURR x;*OPC?)", spread(settings),
            "%.1f ms floor; %.1f after a poll" % (FRAME_SPACING_MS + echo_ms, 2 * FRAME_SPACING_MS + echo_ms),
            "min/median/max of %d, 1400 and 1600 mA in turn; floor: the 100 ms gap between the two frames + the "
            "echo's 9 bytes (on a real line + the second frame's 7: %.1f ms); simulator latency 0" % (
                len(settings), FRAME_SPACING_MS + (CURRENT_SETTING_BYTES + CURRENT_ECHO_BYTES) * BYTE_S * 1000.0))
        client.close()

        # Connections that come and go leave nothing behind. ampd sees each close as the end of that
        # connection's read, soon but not at once: each count is taken once the descriptors are
        # back to where they were with no client, or after 5 s (then it is what is left).
        def settled_fds():
            deadline = time.monotonic() + 5
            while open_fds(pid) > fds_idle and time.monotonic() < deadline:
                time.sleep(0.05)
            return open_fds(pid)

        fds_before, rss_before = settled_fds(), vm_rss_kib(pid)
        for i in range(counts["cycles"]):
            cycle = ScpiClient(ampd.port)
            if i % 2:
                cycle.ask("*IDN?")  # every other one a whole exchange, the rest connect and close
            cycle.close()
        fds_after, rss_after = settled_fds(), vm_rss_kib(pid)
        row("ampd open fds, %d connect/close" % counts["cycles"], "%d after" % fds_after, "%d before" % fds_before,
            "/proc/PID/fd, %d with no client at the start; half the cycles with an *IDN? exchange" % fds_idle)
        row("ampd VmRSS, %d connect/close" % counts["cycles"], "%d KiB after" % rss_after,
            "%d KiB before" % rss_before, "after the readers and the samples above")
    finally:
        if ampd:
            ampd.stop()
        sim.stop()

