"""Side-by-side timing for the benchmarks: each workload is timed in the same
run as the plain-tkinter call it is compared against, and printed with the
ratio.  Run everything with ``python3 bench/run.py``."""

import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("TRIVEX_PKG_ROOT") or os.path.join(ROOT, "src"))


def _loops(fn, min_time):
    """How many calls of fn() take about min_time seconds."""
    n = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn()
        if time.perf_counter_ns() - t0 >= min_time * 1e9 or n >= 1 << 24:
            return n
        n *= 2


def _round(fn, n):
    t0 = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - t0) / n


def ns_per_op(fn, min_time=0.02, rounds=15):
    """Best-of-`rounds` nanoseconds per call of `fn()`."""
    n = _loops(fn, min_time)
    return min(_round(fn, n) for _ in range(rounds))


def ns_per_op_pair(fn, base_fn, min_time=0.02, rounds=15):
    """Best-of-`rounds` ns per call of each, measured in alternating rounds
    so that both see the same machine (a VM's speed drifts)."""
    n, m = _loops(fn, min_time), _loops(base_fn, min_time)
    ours, base = float("inf"), float("inf")
    for _ in range(rounds):
        ours = min(ours, _round(fn, n))
        base = min(base, _round(base_fn, m))
    return ours, base


class Table:
    """Rows of (workload, ns/op, baseline name, baseline ns/op, ratio)."""

    def __init__(self, title):
        self.title = title
        self.rows = []

    def compare(self, label, fn, base_label, base_fn, goal=None):
        ours, base = ns_per_op_pair(fn, base_fn)
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


def keyed_list_walk(tk, var):
    """A two-level keyed list read the way TclX's own commands read it from
    Python: keylkeys, then keylget for each key of each level."""
    out = {}
    for key in tk.splitlist(tk.call("keylkeys", var)):
        out[key] = {sub: tk.call("keylget", var, key + "." + sub)
                    for sub in tk.splitlist(tk.call("keylkeys", var, key))}
    return out
