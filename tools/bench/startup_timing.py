#!/usr/bin/env python3
"""Times the panel's start-up under Wine, over many starts: when its window first exists, how long
after that its thread first answers a message, and the longest wait for an answer while messages
are sent to it every 20 ms for --hold seconds (tools/paneldriver's "watch", WM_NULL by
SendMessageTimeout from a second process).

    startup_timing.py --panel EXE --driver EXE --ampsim SIM --prefix P --work DIR [--runs N]
        [--server cold|warm|asis] [--gap S|A:B] [--no-com] [--no-shim] [--load [N]] [--fresh]
        [--link-up] [--hold S] [--sample] [--diagnose] [--label NAME] [--first-run N]

Server conditions: "cold" stops the prefix's wineserver before every start (the start brings up
the server and Wine's services: wineboot, services.exe, winedevice, plugplay, explorer), "warm"
keeps one persistent server with its services running, "asis" leaves the server alone and waits
--gap seconds between starts, as the end-to-end tests do, so that a start may meet a server that is
lingering or shutting down. --fresh makes a new prefix for every start (scripts/wine-prefix.sh).
--no-com starts no simulator (no COM5 link); --no-shim runs without the pty shim; --load keeps N
CPUs busy during each start; --link-up opens COM5 after the timing, so that the next start follows
a panel killed with its port open.

--sample records every 10 ms what the panel's Linux threads and the server are doing (/proc) and
the CPU used by every process of the prefix and by the machine, and writes it out for starts
slower than --slow seconds. --diagnose, when a send has waited over 2 s or no window has appeared
--window-deadline seconds after the launch, writes what every thread of the prefix is blocked in
(/proc kernel stacks and winedbg's "bt all").

The programs run under "wine" with the environment that the build's wine-run gives them, but in
the prefix given here. Times are on the Linux raw monotonic clock, which Wine's performance counter
reads too. One line per start is appended to <work>/starts.csv; a summary is printed at the end."""

import argparse
import csv
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from amptest import COM, IDC_OPEN_PORT, IDC_PORT_LIST, ROOT, STATUS_QUERY, Simulator, wait_until  # noqa: E402
from amptest import wineserver_pid  # noqa: E402

CLOCK = time.CLOCK_MONOTONIC_RAW


def now():
    return time.clock_gettime(CLOCK)


def wine_env(prefix, shim):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if shim:
        env["LD_PRELOAD"] = shim + (":" + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
    else:
        env.pop("LD_PRELOAD", None)
    return env


def server_pids(prefix):
    """Linux processes of this prefix's Wine session (the server and every Wine process)."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                env = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in env and ("wine" in cmd.lower() or ".exe" in cmd.lower()):
            pids.append((int(name), cmd))
    return pids


def stop_server(prefix, env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    deadline = time.monotonic() + 30
    while server_pids(prefix):
        if time.monotonic() > deadline:
            raise AssertionError("the prefix's Wine processes did not end: %s" % server_pids(prefix))
        time.sleep(0.05)


def start_warm_server(prefix, env):
    """A persistent server, with Wine's services brought up by one short program."""
    subprocess.run(["wineserver", "-p"], env=env, timeout=30)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120)


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


class Load:
    """Busy processes for the length of a start."""

    def __init__(self, count):
        self.processes = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]

    def stop(self):
        for process in self.processes:
            process.kill()
            process.wait(10)


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


def describe(name, values):
    if not values:
        return "%s: none" % name
    ordered = sorted(values)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return "%s: n=%d median %.3f s, p95 %.3f s, max %.3f s, over 1 s: %d, over 3 s: %d" % (
        name, len(values), statistics.median(values), p95, ordered[-1], sum(v > 1 for v in values),
        sum(v > 3 for v in values))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("panel", "driver", "ampsim", "prefix", "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--first-run", type=int, default=0, help="number of the first start (for its files)")
    parser.add_argument("--server", choices=("cold", "warm", "asis"), default="asis")
    parser.add_argument("--gap", default="1", help="seconds between starts (asis); A:B sweeps from A to B")
    parser.add_argument("--no-com", action="store_true", help="no simulator linked as COM5")
    parser.add_argument("--shim", default=os.path.join(ROOT, "build/native/linux/libamp_ptyshim.so"))
    parser.add_argument("--no-shim", action="store_true")
    parser.add_argument("--load", type=int, nargs="?", const=1, default=0,
                        help="keep this many CPUs busy during each start (1 without a number)")
    parser.add_argument("--fresh", action="store_true", help="a new prefix for every start")
    parser.add_argument("--hold", type=float, default=5.0,
                        help="keep sending every 20 ms until this many seconds after the window appeared")
    parser.add_argument("--link-up", action="store_true",
                        help="after timing, open COM5 and wait for polling before the panel is killed")
    parser.add_argument("--diagnose", action="store_true",
                        help="when a send waits over 2 s or no window appears in time, save what every thread "
                             "of the prefix is blocked in (/proc and winedbg)")
    parser.add_argument("--window-deadline", type=float, default=20.0,
                        help="seconds after the launch without a window before --diagnose looks")
    parser.add_argument("--sample", action="store_true")
    parser.add_argument("--slow", type=float, default=1.0, help="starts slower than this get their samples written")
    parser.add_argument("--label", default="")
    args = parser.parse_args()
    args.panel, args.driver, args.ampsim = (os.path.abspath(p) for p in (args.panel, args.driver, args.ampsim))
    args.prefix = os.path.abspath(args.prefix)
    shim = None if args.no_shim else os.path.abspath(args.shim)
    os.makedirs(args.work, exist_ok=True)
    label = args.label or "".join([args.server, "-fresh" if args.fresh else "", "-nocom" if args.no_com else "",
                                   "-noshim" if args.no_shim else "", "-load%d" % args.load if args.load else "",
                                   "-linkup" if args.link_up else ""])
    args.label = label

    rows = []
    csv_path = os.path.join(args.work, "starts.csv")
    fields = ["label", "run", "outcome", "server_before", "processes_before", "load1", "launch_to_watch",
              "launch_to_window", "window_to_shown", "window_to_answer", "launch_to_answer", "longest_wait",
              "longest_wait_from", "clock_check", "diagnosis"]
    new_file = not os.path.exists(csv_path)
    out = open(csv_path, "a", newline="")
    writer = csv.DictWriter(out, fieldnames=fields)
    if new_file:
        writer.writeheader()

    prefix = args.prefix
    env = wine_env(prefix, shim)
    if args.server == "warm" and not args.fresh:
        start_warm_server(prefix, env)
    try:
        for i in range(args.first_run, args.first_run + args.runs):
            if args.fresh:
                prefix = os.path.join(args.prefix, "fresh%03d" % i)
                env = wine_env(prefix, shim)
                if os.path.exists(prefix):
                    stop_server(prefix, env)
                    shutil.rmtree(prefix)
                subprocess.run([os.path.join(ROOT, "scripts/wine-prefix.sh"), prefix], stdout=subprocess.DEVNULL,
                               check=True, timeout=300)
                if args.server == "warm":
                    start_warm_server(prefix, env)
            if args.server == "cold":
                stop_server(prefix, env)
            elif args.server == "asis" and i != args.first_run:
                low, _, high = args.gap.partition(":")
                gap = float(low) + (float(high or low) - float(low)) * (i % 25) / 24.0
                time.sleep(gap)
            row, sampler = one_start(args, prefix, env, args.work, i)
            rows.append(row)
            writer.writerow({k: row.get(k) for k in fields})
            out.flush()
            slow = row.get("window_to_answer")
            worst = row.get("longest_wait")
            print("%s #%d: %s window %.3f s after launch, answered %s after it, longest wait %s" % (
                label, i, row["outcome"], row.get("launch_to_window") or -1,
                "%.3f s" % slow if slow is not None else "never",
                "%.3f s from %.3f s" % (worst, row["longest_wait_from"]) if worst is not None else "-"), flush=True)
            out_path = os.path.join(args.work, "panel-%s-%03d.out" % (label, i))
            if os.path.exists(out_path) and os.path.getsize(out_path) == 0:
                os.unlink(out_path)
            if sampler and (slow is None or slow > args.slow or (worst or 0) > args.slow):
                with open(os.path.join(args.work, "%s-%03d.samples" % (label, i)), "w") as f:
                    for t, sample in sampler.samples:
                        f.write("%.3f %s\n" % (t, " | ".join(sample)))
            if args.fresh:
                stop_server(prefix, env)
                shutil.rmtree(prefix)
    finally:
        if args.server == "warm" or args.fresh:
            stop_server(prefix, env)
        out.close()

    print_summary(label, args.hold, rows)
    return 0


def print_summary(label, hold, rows):
    def values(key):
        return [r[key] for r in rows if r.get(key) is not None]
    print(describe("%s window to first answer" % label, values("window_to_answer")))
    print(describe("%s longest wait for an answer in the first %.0f s" % (label, hold), values("longest_wait")))
    print(describe("%s launch to first answer" % label, values("launch_to_answer")))
    print(describe("%s launch to window" % label, values("launch_to_window")))
    failed = [r["outcome"] for r in rows if r["outcome"] != "ok"]
    if failed:
        print("%s: %d starts without an answer: %s" % (label, len(failed), failed))


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
