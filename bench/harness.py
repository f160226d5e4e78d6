"""Side-by-side timing for the benchmarks: each workload is timed in the same
run as the plain-tkinter call it is compared against, and printed with the
ratio.  Run everything with ``python3 bench/run.py``."""

import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("TRIVEX_PKG_ROOT") or os.path.join(ROOT, "src"))


def ns_per_op(fn, min_time=0.2, repeat=5):
    """Best-of-`repeat` nanoseconds per call of `fn()`."""
    n = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn()
        dt = time.perf_counter_ns() - t0
        if dt >= min_time * 1e9 / repeat or n >= 1 << 24:
            break
        n *= 4
    best = dt / n
    for _ in range(repeat - 1):
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter_ns() - t0) / n)
    return best


class Table:
    """Rows of (workload, ns/op, baseline name, baseline ns/op, ratio)."""

    def __init__(self, title):
        self.title = title
        self.rows = []

    def compare(self, label, fn, base_label, base_fn, goal=None):
        ours = ns_per_op(fn)
        base = ns_per_op(base_fn)
        self.rows.append((label, ours, base_label, base, ours / base, goal))
        return ours / base

    def single(self, label, fn):
        self.rows.append((label, ns_per_op(fn), "", None, None, None))

    def print(self):
        print("\n## " + self.title)
        print("%-46s %11s  %-40s %11s %7s  %s" % ("workload", "ns/op", "against", "ns/op", "ratio", "goal"))
        for label, ours, base_label, base, ratio, goal in self.rows:
            if base is None:
                print("%-46s %11.0f" % (label, ours))
                continue
            verdict = ""
            if goal is not None:
                verdict = ("<= %.2f %s" % (goal, "ok" if ratio <= goal else "MISSED"))
            print("%-46s %11.0f  %-40s %11.0f %7.2f  %s" % (label, ours, base_label, base, ratio, verdict))
