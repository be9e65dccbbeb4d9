#!/usr/bin/env python3
"""The figures of scripts/bench.sh, each beside its reference measured in the same run.

    bench.py --root DIR --wine-run W --prefix P --work DIR [--no-win32] [--only PARTS] [counts...]

DIR is the checkout (its build/native, build/win64 and build/win32 are used as built); W is a
wine-run wrapper whose prefix is P, with X already on DISPLAY (the ampd part runs natively and
needs neither). Prints one table and writes it to
WORK/bench.txt. Times are printed, never checked: the exit status is 1 only when a figure could
not be measured at all. Every wait is 'until a condition holds or a deadline passes'.

Its parts are the bench_*.py beside it: the table, what the parts share (bench_run), and the
figures of delivery, the panel under Wine (also through ampd), ampd natively, the page and sizes."""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from amptest import Driver  # noqa: E402
from bench_ampd import ampd_figures, ampctl_figure  # noqa: E402
from bench_delivery import delivery_figures, framer_figure  # noqa: E402
from bench_page import page_figures  # noqa: E402
from bench_panel import panel_figures, shared_figures, startup_figure  # noqa: E402
from bench_run import Started  # noqa: E402
from bench_sizes import size_figures  # noqa: E402
from bench_table import failures, measure, table  # noqa: E402

PARTS = ("framer", "delivery", "panel", "shared", "startup", "ampctl", "ampd", "page", "sizes")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--no-win32", action="store_true", help="the win32 build is missing: no sizes of it")
    parser.add_argument("--starts", type=int, default=5, help="measured starts of each program (default 5)")
    parser.add_argument("--ampctl-runs", type=int, default=7, help="measured ampctl runs (default 7)")
    parser.add_argument("--latency-n", type=int, default=30, help="latency samples a panel run (default 30)")
    parser.add_argument("--ampd-reads", type=int, default=2000, help="MEAS? round trips through ampd (default 2000)")
    parser.add_argument("--ampd-settings", type=int, default=15, help="settings confirmed through ampd (default 15)")
    parser.add_argument("--ampd-window-s", type=float, default=15.0,
                        help="ampd's windows with no client, 1 and 100 readers, s each (default 15)")
    parser.add_argument("--ampd-cycles", type=int, default=1000, help="connect/close cycles on ampd (default 1000)")
    parser.add_argument("--idle-s", type=float, default=10.0, help="idle CPU window, s (default 10)")
    parser.add_argument("--linked-s", type=float, default=20.0, help="linked CPU window, s (default 20)")
    parser.add_argument("--only", help="some of %s (comma-separated)" % ",".join(PARTS))
    parser.add_argument("--parse-only", action="store_true", help=argparse.SUPPRESS)  # bench.sh checks options first
    args = parser.parse_args()
    unknown = set(args.only.split(",")) - set(PARTS) if args.only else set()
    if unknown:
        parser.error("--only takes some of %s, not %s" % (",".join(PARTS), ",".join(sorted(unknown))))
    if args.parse_only:
        return 0
    args.shim = os.path.join(args.root, "build/native/linux/libamp_ptyshim.so")
    os.makedirs(args.work, exist_ok=True)
    # A TERM from bench.sh unwinds like Ctrl+C, so every process started here is ended.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    seconds = {"idle": args.idle_s, "linked": args.linked_s, "latency_n": args.latency_n}

    started = Started(args.work)
    drive = None
    try:
        wanted = lambda part: not args.only or part in args.only.split(",")  # noqa: E731
        if wanted("framer"):
            measure("framer throughput", framer_figure, args.root)
        if wanted("delivery"):
            # Before anything else holds the prefix: pty_peer.py waits for its wineserver to end.
            measure("port engine figures, shim on", delivery_figures, args, True)
            measure("port engine figures, shim off", delivery_figures, args, False)
        if wanted("panel") or wanted("startup") or wanted("shared"):
            drive = Driver(args.wine_run, os.path.join(args.root, "build/win64/tools/paneldriver.exe"))
        if wanted("panel"):
            measure("panel, shim on", panel_figures, args, started, drive, True, seconds)
            measure("panel, shim off", panel_figures, args, started, drive, False, seconds)
        if wanted("shared"):
            measure("panel through ampd", shared_figures, args, started, drive, seconds)
        if wanted("startup"):
            measure("start-up", startup_figure, args, started, drive, args.starts)
        if wanted("ampctl"):
            measure("ampctl status", ampctl_figure, args, started, args.ampctl_runs)
        if wanted("ampd"):
            measure("ampd", ampd_figures, args, started,
                    {"ampctl_runs": args.ampctl_runs, "reads": args.ampd_reads, "settings": args.ampd_settings,
                     "window_s": args.ampd_window_s, "cycles": args.ampd_cycles})
        if wanted("page"):
            measure("page", page_figures, args, started,
                    {"loads": 5, "latency_n": args.latency_n, "window_s": args.ampd_window_s})
        if wanted("sizes"):
            measure("exe sizes", size_figures, args)
    finally:
        if drive:
            drive.stop()
        for process in started.processes:
            Started.end(process)

    load = open("/proc/loadavg").read().split()[:3]
    text = table() + "\nload average %s (1, 5, 15 min), %d cores\n" % (" ".join(load), os.cpu_count())
    print()
    print(text, end="")
    with open(os.path.join(args.work, "bench.txt"), "w") as out:
        out.write(text)
    if failures:
        print("bench: not measured: %s" % ", ".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
