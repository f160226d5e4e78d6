"""Collecting a tcltest file as pytest items, against running it with tclsh.

The file has 500 tests (old and new style, setup and cleanup, some skipped
for a constraint).  "collect" is the time pytest spends collecting that file
node, items included, measured inside a pytest run by a hook around the
node's collection; "tclsh" is the wall time of ``tclsh FILE``, process start
included, as a user runs it.  Both are best of several rounds.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness

import pytest

TESTS = 500
ROUNDS = 7
GOAL = 1.5


def write_file(path):
    lines = [
        "package require tcltest 2",
        "namespace import ::tcltest::*",
        "testConstraint slow 0",
        "proc add {a b} {expr {$a + $b}}",
    ]
    for i in range(TESTS):
        if i % 10 == 9:
            lines.append("test bench-%d {skipped} -constraints slow -body {error no}" % i)
        elif i % 3 == 0:
            lines.append("test bench-%d {old style} {add %d 1} %d" % (i, i, i + 1))
        else:
            lines.append(
                "test bench-%d {new style} -setup {set x %d} -body {add $x 1} -cleanup {unset x} -result %d"
                % (i, i, i + 1)
            )
    lines.append("cleanupTests")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


class CollectTimer:
    def __init__(self):
        self.seconds = []
        self.items = 0

    @pytest.hookimpl(wrapper=True)
    def pytest_make_collect_report(self, collector):
        if not str(collector.path).endswith(".test") or not isinstance(collector, pytest.File):
            return (yield)
        t0 = time.perf_counter()
        report = yield
        self.seconds.append(time.perf_counter() - t0)
        self.items = len(report.result)
        return report


def collect_seconds(path):
    timer = CollectTimer()
    args = ["-q", "--collect-only", "--tcltest", "-p", "trivex.tcl.pytest_plugin", "-p", "no:cacheprovider", path]
    with open(os.devnull, "w") as devnull:
        stdout, sys.stdout = sys.stdout, devnull
        try:
            code = pytest.main(args, plugins=[timer])
        finally:
            sys.stdout = stdout
    if code != 0 or timer.items != TESTS:
        raise RuntimeError("collection failed: exit %s, %d items" % (code, timer.items))
    return timer.seconds[0]


def tclsh_seconds(tclsh, path):
    t0 = time.perf_counter()
    subprocess.run([tclsh, path], check=True, stdout=subprocess.DEVNULL, cwd=os.path.dirname(path))
    return time.perf_counter() - t0


def main():
    tclsh = shutil.which("tclsh8.6") or shutil.which("tclsh")
    table = harness.Table("tcltest files (%d tests)" % TESTS)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.test")
        write_file(path)
        if tclsh is None:
            print("\n## tcltest files: no tclsh to compare with")
            return
        collect_seconds(path)  # imports and first-use costs are not the file's
        ours = min(collect_seconds(path) for _ in range(ROUNDS))
        base = min(tclsh_seconds(tclsh, path) for _ in range(ROUNDS))
    ratio = ours / base
    table.rows.append(("collect the file as pytest items", ours * 1e9, "tclsh FILE (runs every test)", base * 1e9, ratio, GOAL))
    table.print()


if __name__ == "__main__":
    main()
