"""What startup_timing.py measures of one start: the driver's "watch" answer, and on request
samples of the panel's threads and the prefix's processes (/proc), a diagnosis of where each
thread is blocked, and the link opened after the timing."""

import os
import select
import subprocess
import threading
import time

from amptest import COM, IDC_OPEN_PORT, IDC_PORT_LIST, STATUS_QUERY, Simulator, wait_until, wineserver_pid
from startup_conditions import Load, server_pids

CLOCK = time.CLOCK_MONOTONIC_RAW


def now():
    return time.clock_gettime(CLOCK)


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return "?"


def state_and_ticks(stat):
    """State and CPU ticks (user + system) from a /proc stat line."""
    fields = stat.rsplit(")", 1)[-1].split() if ")" in stat else []
    if len(fields) < 13:
        return "?", 0
    return fields[0], int(fields[11]) + int(fields[12])


class Sampler:
    """Every 10 ms: each Linux thread of the panel (name, state, wchan, syscall number), the
    server's, and the CPU ticks used so far by the server, by every other process of the prefix
    and by the whole machine (so a slow start shows who was running and who waited)."""

    def __init__(self, pid, prefix):
        self.pid = pid
        self.prefix = prefix
        self.samples = []
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        server = None
        others = []
        n = 0
        while not self.stopped.is_set():
            t = now()
            if server is None or state_and_ticks(read("/proc/%d/stat" % server))[0] in ("?", "Z"):
                server = wineserver_pid(self.prefix)
            if n % 10 == 0:
                others = [(pid, cmd.split("\\")[-1].split()[0]) for pid, cmd in server_pids(self.prefix)
                          if pid not in (self.pid, server)]
            n += 1
            rows = []
            try:
                tids = sorted(os.listdir("/proc/%d/task" % self.pid), key=int)
            except OSError:
                tids = []
            for tid in tids:
                base = "/proc/%d/task/%s/" % (self.pid, tid)
                state, ticks = state_and_ticks(read(base + "stat"))
                rows.append("%s:%s:%s:%s:%s:%d" % (tid, read(base + "comm"), state, read(base + "wchan"),
                                                   read(base + "syscall").split(" ")[0], ticks))
            if server:
                state, ticks = state_and_ticks(read("/proc/%d/stat" % server))
                rows.append("server:%s:%s:%s:%d" % (state, read("/proc/%d/wchan" % server),
                                                    read("/proc/%d/syscall" % server).split(" ")[0], ticks))
            for pid, name in others:
                state, ticks = state_and_ticks(read("/proc/%d/stat" % pid))
                rows.append("%s/%d:%s:%d" % (name, pid, state, ticks))
            cpu = read("/proc/stat").split("\n", 1)[0].split()[1:]
            if len(cpu) >= 5:
                rows.append("machine:busy=%d:idle=%d" % (sum(int(v) for v in cpu) - int(cpu[3]) - int(cpu[4]),
                                                          int(cpu[3]) + int(cpu[4])))
            self.samples.append((t, rows))
            self.stopped.wait(0.01)

    def stop(self):
        self.stopped.set()
        self.thread.join(5)


def collect_lines(stream, into):
    for line in stream:
        into.append(line.split())


def await_watch(args, driver, launched, look):
    """The driver's answer to "watch". Meanwhile its progress lines (window, answer, stuck) are
    followed; with --diagnose, look(why) runs once, while a send has been pending for over 2 s or
    while there is still no window long after the launch."""
    events = []
    threading.Thread(target=collect_lines, args=(driver.stderr, events), daemon=True).start()
    looked = False
    while not select.select([driver.stdout], [], [], 0.1)[0] and driver.poll() is None:
        seen = [e[0] for e in list(events) if e]
        why = ("a send pending for over 2 s" if "stuck" in seen else
               "no window yet" if "window" not in seen and now() - launched > args.window_deadline else None)
        if args.diagnose and not looked and why:
            look(why)
            looked = True
    return driver.stdout.readline().strip()


def one_start(args, prefix, env, work, index):
    row = {"run": index, "label": args.label, "server_before": wineserver_pid(prefix) is not None,
           "processes_before": len(server_pids(prefix)),
           "load1": os.getloadavg()[0]}
    sim = None
    if not args.no_com:
        sim = Simulator(args.ampsim, work, os.path.join(prefix, "dosdevices", "com%d" % COM))
    load = Load(args.load)
    sampler = None
    panel = driver = None
    panel_out = open(os.path.join(work, "panel-%s-%03d.out" % (args.label, index)), "w")
    try:
        launched = now()
        panel = subprocess.Popen(["wine", args.panel], env=env, stdout=panel_out, stderr=subprocess.STDOUT)
        if args.sample:
            sampler = Sampler(panel.pid, prefix)
        driver = subprocess.Popen(["wine", args.driver], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, bufsize=1)
        driver.stdin.write("watch 30000 %d\n" % int(args.hold * 1000))
        driver.stdin.flush()
        answer = await_watch(args, driver, launched,
                             lambda why: row.update(diagnosis=diagnose(args, prefix, env, panel.pid, work, index, why)))
        finished = now()
        if sampler:
            sampler.stop()
        parts = answer.split()
        if len(parts) != 7 or parts[0] != "ok":
            row.update(outcome="error: %r; panel %s" % (
                answer, "running" if panel.poll() is None else "exited with %s" % panel.returncode))
            return row, sampler
        watching, found, shown, answered, worst, worst_from = (float(v) for v in parts[1:])
        row.update(outcome="ok" if answered > 0 else "no answer",
                   launch_to_watch=watching - launched, launch_to_window=found - launched,
                   window_to_shown=(shown - found) if shown > 0 else None,
                   window_to_answer=(answered - found) if answered > 0 else None,
                   launch_to_answer=(answered - launched) if answered > 0 else None,
                   longest_wait=worst, longest_wait_from=worst_from - found,
                   clock_check=finished - answered if answered > 0 else None)
        if args.link_up and sim:
            try:
                link_up(driver, sim)
            except AssertionError as e:
                row.update(outcome="ok, link-up failed: %s" % e)
        return row, sampler
    finally:
        if sampler:
            sampler.stop()
        load.stop()
        if driver and driver.poll() is None:
            try:
                driver.stdin.write("quit\n")
                driver.stdin.flush()
                driver.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                driver.kill()
                driver.wait(10)
        if panel and panel.poll() is None:
            panel.kill()
            panel.wait(10)
        panel_out.close()
        if sim:
            sim.stop()


def diagnose(args, prefix, env, panel_pid, work, index, why):
    """What every thread of the prefix's processes is blocked in (kernel side from /proc, Windows
    side from winedbg's backtraces), written to <work>/<label>-<run>.diagnosis."""
    path = os.path.join(work, "%s-%03d.diagnosis" % (args.label, index))
    with open(path, "w") as out:
        out.write("%.3f %s; panel unix pid %d\n" % (now(), why, panel_pid))
        for pid, cmd in server_pids(prefix):
            out.write("\n== %d %s\n" % (pid, cmd))
            try:
                tids = sorted(os.listdir("/proc/%d/task" % pid), key=int)
            except OSError:
                continue
            for tid in tids:
                base = "/proc/%d/task/%s/" % (pid, tid)
                out.write("-- %s %s state %s wchan %s syscall %s\n%s\n" % (
                    tid, read(base + "comm"), state_and_ticks(read(base + "stat"))[0], read(base + "wchan"),
                    read(base + "syscall"), read(base + "stack")))
        out.write("\n%.3f winedbg bt all\n" % now())
        out.flush()
        debug_env = dict(env, WINEDEBUG="-all")
        debug_env.pop("LD_PRELOAD", None)
        try:
            result = subprocess.run(["winedbg", "--command", "bt all"], env=debug_env, capture_output=True, text=True,
                                    timeout=240)
            out.write(result.stdout + result.stderr)
        except subprocess.TimeoutExpired:
            out.write("winedbg did not finish in 240 s\n")
        out.write("\n%.3f done\n" % now())
    return os.path.basename(path)


def link_up(driver, sim):
    """As an operator would: pick COM5, open it, and wait for the panel to poll the amplifier. The
    start that follows then meets a server whose last panel was killed with its port open."""
    def ask(command):
        driver.stdin.write(command + "\n")
        driver.stdin.flush()
        answer = driver.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise AssertionError("driver: %r -> %r" % (command, answer))
        return answer[3:]
    items = ask("items %d" % IDC_PORT_LIST).partition(" sel ")[0].split(",")
    ask("select %d %d" % (IDC_PORT_LIST, items.index("COM%d" % COM)))
    ask("click %d" % IDC_OPEN_PORT)
    wait_until(lambda: sim.received(STATUS_QUERY), 15, "the first status poll")

