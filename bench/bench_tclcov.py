"""Tcl line coverage: a proc-heavy Tcl workload run plain, under
TclCoverage, and under a tracer written in Tcl (an ``enterstep`` execution
trace reading ``info frame``, the way line coverage is had without this
package), all in the same run.  Goals: coverage at most 3x the plain run, and
at least 10x cheaper than the Tcl-level tracer."""

import os
import sys
import time
import tkinter

from harness import ROOT

sys.path.insert(0, os.path.join(ROOT, "tests"))
from support import REFERENCE_TRACER  # noqa: E402  (the tests' oracle, timed here)

WORKLOAD = os.path.join(ROOT, "bench", "tcl", "workload.tcl")
CALLS = 1000  # calls of workload::run's loop body: about 3000 proc calls


def _interp():
    tcl = tkinter.Tcl()
    tcl.eval("source {%s}" % WORKLOAD)
    return tcl


def _best(fn, rounds):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main(rounds=25, reference_rounds=3):
    from trivex.tcl.coverage import TclCoverage

    plain = _interp()
    covered = _interp()
    traced = _interp()
    traced.eval(REFERENCE_TRACER)
    cov = TclCoverage([WORKLOAD]).start(tcl=covered)
    script = "workload::run %d" % CALLS
    # The first run compiles the procs again, with their marker calls.
    t_first = _best(lambda: covered.eval(script), 1)
    try:
        # Alternate the three so that all see the same machine.
        t_plain = t_cov = t_ref = float("inf")
        for i in range(rounds):
            t_plain = min(t_plain, _best(lambda: plain.eval(script), 1))
            t_cov = min(t_cov, _best(lambda: covered.eval(script), 1))
            if i < reference_rounds:  # seconds a round
                t_ref = min(t_ref, _best(lambda: traced.call("::reftrace::run", script), 1))
    finally:
        cov.stop()
    assert plain.eval(script) == covered.eval(script)
    executed = sum(len(lines) for lines in cov.data().values())
    print("\n## Tcl line coverage (workload.tcl, %d loop rounds; %d lines seen run)" % (CALLS, executed))
    print("%-34s %10s %10s  %s" % ("run", "ms", "x plain", "goal"))
    print("%-34s %10.2f %10.2f" % ("plain", t_plain * 1e3, 1.0))
    ratio = t_cov / t_plain
    print("%-34s %10.2f %10.2f  <= 3.00 %s" % ("TclCoverage", t_cov * 1e3, ratio, "ok" if ratio <= 3 else "MISSED"))
    print("%-34s %10.2f %10.2f" % ("TclCoverage, first run", t_first * 1e3, t_first / t_plain))
    print("%-34s %10.2f %10.2f" % ("enterstep + info frame tracer", t_ref * 1e3, t_ref / t_plain))
    gain = t_ref / t_cov
    print("%-34s %10s %10.2f  >= 10.00 %s" % ("tracer / TclCoverage", "", gain, "ok" if gain >= 10 else "MISSED"))


if __name__ == "__main__":
    main()
