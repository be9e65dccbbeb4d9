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
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from amptest import ROOT  # noqa: E402
from startup_conditions import start_warm_server, stop_server, wine_env  # noqa: E402
from startup_measure import one_start  # noqa: E402
from startup_report import FIELDS, open_starts, print_start, print_summary, write_samples  # noqa: E402


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
    out, writer = open_starts(args.work)

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
            writer.writerow({k: row.get(k) for k in FIELDS})
            out.flush()
            print_start(label, i, row)
            slow = row.get("window_to_answer")
            worst = row.get("longest_wait")
            out_path = os.path.join(args.work, "panel-%s-%03d.out" % (label, i))
            if os.path.exists(out_path) and os.path.getsize(out_path) == 0:
                os.unlink(out_path)
            if sampler and (slow is None or slow > args.slow or (worst or 0) > args.slow):
                write_samples(os.path.join(args.work, "%s-%03d.samples" % (label, i)), sampler)
            if args.fresh:
                stop_server(prefix, env)
                shutil.rmtree(prefix)
    finally:
        if args.server == "warm" or args.fresh:
            stop_server(prefix, env)
        out.close()

    print_summary(label, args.hold, rows)
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
