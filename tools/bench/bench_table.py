"""The bench's table: its rows, what could not be measured, and the figures' spreads; one figure
measured at a time, a failure leaving the others measured."""

import statistics
import time
import traceback

rows = []      # (figure, measured, reference, note)
failures = []  # what could not be measured


def row(figure, measured, reference, note):
    rows.append((figure, measured, reference, note))


def not_measured(figure, why):
    failures.append(figure)
    row(figure, "not measured", "", why)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def spread(values, unit="ms", digits=1):
    return "/".join("%.*f" % (digits, v) for v in (min(values), statistics.median(values), max(values))) + " " + unit


def table():
    header = ("figure", "measured", "reference", "note (conditions, n)")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(3)]
    lines = []
    for r in [header, None] + rows:
        if r is None:
            lines.append("-+-".join("-" * w for w in widths) + "-+-" + "-" * 20)
        else:
            lines.append(" | ".join(r[i].ljust(widths[i]) for i in range(3)) + " | " + r[3])
    return "\n".join(lines)


def measure(figure, function, *arguments):
    started = time.monotonic()
    print("bench: %s ..." % figure, flush=True)
    try:
        function(*arguments)
    except Exception as error:  # noqa: BLE001 - one figure's failure leaves the others measured
        traceback.print_exc()
        not_measured(figure, str(error).splitlines()[0] if str(error) else type(error).__name__)
    print("bench: %s: %.0f s" % (figure, time.monotonic() - started), flush=True)

