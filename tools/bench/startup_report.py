"""What startup_timing.py reports: a line a start in <work>/starts.csv and on the output, the
samples of a slow start, and the summary at the end."""

import csv
import os
import statistics

FIELDS = ["label", "run", "outcome", "server_before", "processes_before", "load1", "launch_to_watch",
          "launch_to_window", "window_to_shown", "window_to_answer", "launch_to_answer", "longest_wait",
          "longest_wait_from", "clock_check", "diagnosis"]


def open_starts(work):
    """<work>/starts.csv, appended to (its header written when it is new), and its writer."""
    csv_path = os.path.join(work, "starts.csv")
    new_file = not os.path.exists(csv_path)
    out = open(csv_path, "a", newline="")
    writer = csv.DictWriter(out, fieldnames=FIELDS)
    if new_file:
        writer.writeheader()
    return out, writer


def print_start(label, index, row):
    slow = row.get("window_to_answer")
    worst = row.get("longest_wait")
    print("%s #%d: %s window %.3f s after launch, answered %s after it, longest wait %s" % (
        label, index, row["outcome"], row.get("launch_to_window") or -1,
        "%.3f s" % slow if slow is not None else "never",
        "%.3f s from %.3f s" % (worst, row["longest_wait_from"]) if worst is not None else "-"), flush=True)


def write_samples(path, sampler):
    with open(path, "w") as f:
        for t, sample in sampler.samples:
            f.write("%.3f %s\n" % (t, " | ".join(sample)))


def describe(name, values):
    if not values:
        return "%s: none" % name
    ordered = sorted(values)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return "%s: n=%d median %.3f s, p95 %.3f s, max %.3f s, over 1 s: %d, over 3 s: %d" % (
        name, len(values), statistics.median(values), p95, ordered[-1], sum(v > 1 for v in values),
        sum(v > 3 for v in values))


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
