"""The most used reads, writes and calls against the bare tkinter call doing
the same work, each with its goal; and the large conversions, whose peak
memory and garbage collections are compared too."""

import gc
import os
import subprocess
import sys
import time
import tracemalloc

from harness import Table, keyed_list_walk

from trivex.tcl.array import Array
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclArrayVariable, TclVariable
from trivex.tcl.nestmap import NestMap

ROUNDS = 5


def compare(table, *args):
    """Table.compare over ROUNDS interleaved rounds, each side's median."""
    rows = []
    for _ in range(ROUNDS):
        table.compare(*args)
        rows.append(table.rows.pop())
    label, _, base_label, _, _, goal = rows[0]
    ours = sorted(r[1] for r in rows)[ROUNDS // 2]
    base = sorted(r[3] for r in rows)[ROUNDS // 2]
    table.rows.append((label, ours, base_label, base, ours / base, goal))


def small_paths():
    interp = Interpreter()
    tk = interp.tk
    cast_list = interp.cast_list
    tk.setvar("x", "hello")
    tk.eval("proc p3 {a b c} { return $c }")
    t = Table("slow paths: small calls against the bare tkinter call")
    compare(t, 'interp.vars["x"]', lambda: interp.vars["x"], 'tk.getvar("x")', lambda: tk.getvar("x"), 1.2)

    def vars_set():
        interp.vars["x"] = "hello"

    compare(t, 'interp.vars["x"] = "hello"', vars_set, 'tk.setvar("x", "hello")', lambda: tk.setvar("x", "hello"), 1.2)
    compare(t, 'get_var("x")', lambda: interp.get_var("x"), 'tk.getvar("x")', lambda: tk.getvar("x"), 1.2)
    compare(t, 'set_var("x", "hello")', lambda: interp.set_var("x", "hello"), 'tk.setvar("x", "hello")',
            lambda: tk.setvar("x", "hello"), 1.2)
    v = TclVariable("x", tcl=interp)
    compare(t, "TclVariable.get_str()", v.get_str, 'tk.getvar("x")', lambda: tk.getvar("x"), 1.2)
    compare(t, 'eval("set x")', lambda: interp.eval("set x"), 'tk.eval("set x")', lambda: tk.eval("set x"), 1.1)
    compare(t, "j.p3(1, 2, 3)", lambda: interp.j.p3(1, 2, 3), 'tk.call("p3", 1, 2, 3)',
            lambda: tk.call("p3", 1, 2, 3), 1.5)
    compare(t, 'j.set("x", "v")', lambda: interp.j.set("x", "v"), 'tk.call("set", "x", "v")',
            lambda: tk.call("set", "x", "v"), 1.3)
    interp.create_callback(lambda: None, cmd_name="cb_ours")
    tk.createcommand("cb_plain", lambda: None)
    compare(t, "published callback", lambda: tk.call("cb_ours"), "createcommand callback",
            lambda: tk.call("cb_plain"), 1.05)
    for n in (10, 10_000):
        tk.eval("set lst {}; for {set i 0} {$i < %d} {incr i} {lappend lst w$i}" % n)
        compare(t, "get_list (%d elements)" % n, lambda: interp.get_list("lst"),
                'cast_list(tk.getvar("lst"))', lambda: cast_list(tk.getvar("lst")), 1.2)
    tk.eval("for {set i 0} {$i < 1000} {incr i} {set arr(k$i) $i}")
    a = TclArrayVariable("arr", tcl=interp)
    compare(t, "dict(TclArrayVariable), 1000 elements", lambda: dict(a), "array get + splitlist",
            lambda: dict(pairs(tk.splitlist(tk.call("array", "get", "arr")))), 1.3)
    compare(t, 'Array.from_tcl("a 1 b 2")', lambda: Array.from_tcl("a 1 b 2"), 'dict(pairs(splitlist("a 1 b 2")))',
            lambda: dict(pairs(tk.splitlist("a 1 b 2"))))
    nested = NestMap({"k%d" % i: {"a": str(i), "b": "x y"} for i in range(100)})
    plain = {k: dict(v) for k, v in nested.items()}
    compare(t, "NestMap.__tclobj__ (100 x 2 keys)", nested.__tclobj__, "the nested tuples built directly",
            lambda: tuple((k, tuple((kk, vv) for kk, vv in v.items())) for k, v in plain.items()), 1.0)
    t.print()


def pairs(items):
    it = iter(items)
    return zip(it, it)


def keyed_lists(tk):
    t = Table("slow paths: NestMap.from_tcl of 200 keys against TclX's walk")
    tk.eval("package require Tclx")
    tk.eval("for {set i 0} {$i < 200} {incr i} {keylset kl k$i.name v$i k$i.n $i}")
    obj = tk.call("set", "kl")

    def tclx_walk():
        return keyed_list_walk(tk, "kl")

    compare(t, "NestMap.from_tcl (200 keys)", lambda: NestMap.from_tcl(obj), "TclX keylkeys/keylget walk",
            tclx_walk, 0.5)
    t.print()


def measure(fn):
    """(seconds, peak bytes traced, collections) of one call."""
    gc.collect()
    before = sum(s["collections"] for s in gc.get_stats())
    t0 = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - t0
    collections = sum(s["collections"] for s in gc.get_stats()) - before
    del result
    gc.collect()
    tracemalloc.start()
    result = fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return elapsed, peak, collections


def large(tk, sizes):
    print("\n## slow paths: large conversions (time and peak ratio, collections ours/bare)")
    print("%-36s %9s %9s %7s %7s  %s" % ("workload", "ours s", "bare s", "time", "peak", "collections"))
    for n in sizes:
        text = tk.eval("set big {}; for {set i 0} {$i < %d} {incr i} "
                       "{lappend big [list k$i [list [list n $i] [list s x]]]}; set big" % n)

        split = tk.splitlist

        def bare():
            out = {}
            for entry in split(text):
                key, value = split(entry)
                out[key] = dict(split(sub) for sub in split(value))
            return out

        ours = measure(lambda: NestMap.from_tcl(text))
        base = measure(bare)
        print("%-36s %9.3f %9.3f %7.2f %7.2f  %d/%d   (goal 1.5x, 1.3x)" % (
            "NestMap.from_tcl (%d keys)" % n, ours[0], base[0], ours[0] / base[0], ours[1] / base[1],
            ours[2], base[2]))
        tk.eval("unset big")
        # Peak RSS only grows, so each size is measured in a fresh process.
        out = subprocess.run([sys.executable, "-c", QUOTIFY_SCRATCH, str(n)], capture_output=True, text=True, check=True,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))).stdout.split()
        result, growth = int(out[0]), int(out[1])
        print("%-36s result %.1f MB, peak RSS growth %.1f MB, scratch %.1f MB (goal <= result)" % (
            "quotify(%d words)" % n, result / 1e6, growth / 1e6, (growth - result) / 1e6))


QUOTIFY_SCRATCH = """
import resource, sys
from trivex.tcl.quotify import quotify
words = ["w%d" % i for i in range(int(sys.argv[1]))]
quotify(words[:10])
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
r = quotify(words)
print(sys.getsizeof(r), (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) * 1024)
"""


def main():
    small_paths()
    interp = Interpreter()
    keyed_lists(interp.tk)
    large(interp.tk, (100_000,) if "--quick" in sys.argv else (100_000, 1_000_000))


if __name__ == "__main__":
    main()
