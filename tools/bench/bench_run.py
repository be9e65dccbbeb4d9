"""What the bench's parts share: the line's constants, the processes a run starts, ampd on a
simulator's line, clocks and CPU."""

import os
import subprocess
import time

from amptest import CLK_TCK, Ampd, Simulator, cpu_ticks

LINE_BYTES_PER_S = 960.0           # 9600 baud, 10 bits a byte
BYTE_S = 1.0 / LINE_BYTES_PER_S
STATUS_REPLY_BYTES = 17
QUERY_BYTES = 5
CURRENT_SETTING_BYTES = 7          # the setting frame, sent twice
CURRENT_ECHO_BYTES = 9             # the amplifier's target current reply
POLL_PERIOD_MS = 200.0
PROBE_DELAY_MS = 500.0             # from the open click to the first probe
FRAME_SPACING_MS = 100.0
OUTPUT_REPLY_BYTES = 6


class Started:
    """Processes this run starts; each is ended by its own id, and simulators are recorded in a file
    so that bench.sh can end them should this program itself be killed."""

    def __init__(self, work):
        self.pids_path = os.path.join(work, "started.pids")
        open(self.pids_path, "w").close()
        self.processes = []

    def popen(self, command, env=None, log=None):
        process = subprocess.Popen(command, env=env, stdout=log or subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def simulator(self, root, work, link, options=()):
        os.makedirs(work, exist_ok=True)
        sim = Simulator(os.path.join(root, "build/native/linux/ampsim"), work, link, list(options))
        self.record(sim.process.pid)
        return sim

    def record(self, pid):
        with open(self.pids_path, "a") as pids:
            pids.write("%d\n" % pid)

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.kill()
        process.wait(10)


def start_ampd(root, started, link, work, options=(), http=()):
    """ampd on the simulator's line, listening on free loopback ports, ended by this run."""
    ampd = Ampd(os.path.join(root, "build/native/ampd/ampd"), link, work, options, http=http)
    started.processes.append(ampd.process)
    started.record(ampd.process.pid)
    return ampd


# ------------------------------------------------------------------------------------------------
# Clocks and CPU

def clock_offset(sim, tries=15):
    """time.monotonic() minus the simulator's log time, from the state reply with the shortest
    round trip; both are CLOCK_MONOTONIC here, the simulator's counted from its start."""
    best = None
    for _ in range(tries):
        before = time.monotonic()
        at = sim.now()
        after = time.monotonic()
        if best is None or after - before < best[1]:
            best = ((before + after) / 2.0 - at, after - before)
    return best[0], best[1] / 2.0  # offset, its uncertainty either way


def cpu_percent(pids, seconds):
    """Share of one core each process used over the next `seconds`."""
    before = [cpu_ticks(p) for p in pids]
    started = time.monotonic()
    time.sleep(seconds)  # the measuring window itself, not a wait for a condition
    elapsed = time.monotonic() - started
    return [(cpu_ticks(p) - b) / CLK_TCK / elapsed * 100.0 for p, b in zip(pids, before)]

