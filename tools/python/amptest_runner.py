"""Figures and the test runner that prints PASS or FAIL for each test and the closing count; part
of amptest (which the tests import)."""

import os
import statistics
import time
import traceback


def write_figures(work, figures):
    """Prints the figures and keeps them in <work>/figures.txt, which the test command shows."""
    with open(os.path.join(work, "figures.txt"), "w") as out:
        for line in figures:
            print("figure: " + line)
            out.write(line + "\n")


def spacing_ms(times):
    return [(b - a) * 1000.0 for a, b in zip(times, times[1:])]


def summary(name, values):
    if not values:
        return "%s: none" % name
    worst = max(values, key=lambda v: abs(v - statistics.median(values)))
    return "%s: n=%d median %.1f ms, worst %.1f ms (min %.1f, max %.1f)" % (
        name, len(values), statistics.median(values), worst, min(values), max(values))


def slope(samples):
    """How fast (t, value) samples grow, in value units a second: the median of the slopes between
    every two of them, so a sample caught in the middle of a change makes no slope."""
    rates = [(b[1] - a[1]) / (b[0] - a[0]) for i, a in enumerate(samples) for b in samples[i + 1:] if b[0] > a[0]]
    return statistics.median(rates) if rates else 0.0


# ------------------------------------------------------------------------------------------------
# The test runner

class Results:
    """PASS or FAIL a line for each test, with its time (and its trace when it failed), then the
    closing count."""

    def __init__(self):
        self.passed = self.failed = 0

    def run(self, name, body, on_failure=None):
        started = time.monotonic()
        try:
            body()
        except Exception:  # noqa: BLE001 - every failure is reported with its trace
            self.fail(name, time.monotonic() - started)
            traceback.print_exc()
            if on_failure:
                on_failure()
            return False
        self.passed += 1
        print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        return True

    def fail(self, name, seconds=0.0):
        self.failed += 1
        print("FAIL %s (%.1f s)" % (name, seconds), flush=True)

    def close(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


def run_tests(tests, rig_for=lambda test: None):
    """Each test(rig) with a rig of its own from rig_for(test), stopped whatever happens; returns
    the exit status."""
    results = Results()
    for test in tests:
        def body():
            rig = rig_for(test)
            try:
                test(rig)
            finally:
                if rig:
                    rig.stop()
        results.run(test.__name__, body)
    return results.close()
