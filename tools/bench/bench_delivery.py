"""The bench's native framer figure and the port engine's delivery figures under Wine."""

import os
import statistics
import subprocess

from bench_run import LINE_BYTES_PER_S
from bench_table import row


def framer_figure(root):
    rates = []
    for _ in range(3):
        out = subprocess.run([os.path.join(root, "build/native/tools/framerbench"), "1"], capture_output=True,
                             text=True, timeout=60)
        if out.returncode != 0:
            raise AssertionError("framerbench: %s" % (out.stderr.strip() or out.stdout.strip()))
        rates.append(float(out.stdout.split()[-2]))
    rate = statistics.median(rates)
    row("framer throughput (native)", "{:,.0f} bytes/s".format(rate), "%.0f bytes/s" % LINE_BYTES_PER_S,
        "status replies, median of %d one-second runs; %.0fx the line" % (len(rates), rate / LINE_BYTES_PER_S))


def delivery_figures(args, shim):
    """The port engine's figures (serial_port_tests, CommPortFigures.*: not among the tests), run
    through pty_peer.py as the tests run it."""
    command = ["python3", os.path.join(args.root, "tests/win/serial/pty_peer.py"), "--prefix", args.prefix,
               "--wine-run", args.wine_run, "--port", "7", "--shim", args.shim]
    if not shim:
        command.append("--no-shim")
    command += ["--", os.path.join(args.root, "build/win64/tests/win/serial/serial_port_tests.exe"),
                "--gtest_filter=CommPortFigures.*"]
    out = subprocess.run(command, capture_output=True, text=True, timeout=300)
    with open(os.path.join(args.work, "delivery-%s.log" % ("shim" if shim else "noshim")), "w") as log:
        log.write(out.stdout + out.stderr)
    tag = "shim %s" % ("on" if shim else "off")
    found = 0
    for line in out.stdout.splitlines():
        words = line.split()
        # "[ figure   ] delivered 4800 bytes in 0.270 s: 17778 bytes/s (the line carries 960)"
        if "] delivered " in line:
            row("port engine delivery (Wine)", "%.0f bytes/s" % float(words[words.index("bytes/s") - 1]),
                "%.0f bytes/s" % LINE_BYTES_PER_S, "%s; %s bytes written at once by the peer, timed to the owner "
                "window (CommPortFigures)" % (tag, words[words.index("delivered") + 1]))
        # "[ figure   ] idle monitored port: the test process uses 0.4% of a core"
        elif "] idle monitored port:" in line:
            row("port engine CPU, idle monitored port (Wine)", words[words.index("uses") + 1], "",
                "%s; the test process over 5 s, %% of one core (CommPortFigures)" % tag)
        # "[ figure   ] 300 bursts of 17 bytes: private memory +0 kB, 0 threads started"
        elif "] " in line and " bursts of " in line:
            row("port engine memory, %s bursts of 17 bytes (Wine)" % words[3], " ".join(words[10:12]).rstrip(","),
                "%s threads started" % words[12], "%s; private bytes before and after (CommPortFigures)" % tag)
        else:
            continue
        found += 1
    if found != 3 or out.returncode != 0:
        raise AssertionError("%d of the 3 port engine figures (exit %d; log in %s)" % (found, out.returncode, args.work))

