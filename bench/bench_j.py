"""The command builder against the direct tk.call it wraps (plus the cast
the builder applies), measured side by side."""

import collections
import os
import sys

from harness import ROOT, Table


def make_interpreter():
    """The package's Interpreter, or the tests' stand-in (with a bounded
    history, as the real one has) while module interpreter is not built."""
    try:
        from trivex.tcl.interpreter import Interpreter
    except ImportError:
        sys.path.insert(0, os.path.join(ROOT, "tests"))
        from support import StandIn
        from trivex.tcl.j import J

        interp = StandIn()
        interp.history = collections.deque(maxlen=9999)
        interp.j = J(interp)
        return interp, "stand-in interpreter"
    return Interpreter(), "Interpreter"


def main():
    interp, kind = make_interpreter()
    tk = interp.tk
    cast_any = interp.cast_any
    tk.eval("namespace eval ::ns_a::ns_b { proc echo args { return [lindex $args 0] } }")
    table = Table("j: attribute-style command builder (%s)" % kind)
    table.compare('interp.j.set("x", "v", cast_=False)', lambda: interp.j.set("x", "v", cast_=False),
                  'str(tk.call("set", "x", "v"))', lambda: str(tk.call("set", "x", "v")), 1.3)
    table.compare('interp.j.expr("1+1")', lambda: interp.j.expr("1+1"),
                  'cast_any(tk.call("expr", "1+1"))', lambda: cast_any(tk.call("expr", "1+1")), 1.3)
    table.compare('interp.j.ns_a.ns_b.echo("a b", opt=1)', lambda: interp.j.ns_a.ns_b.echo("a b", opt=1),
                  'cast_any(tk.call(... "-opt", "1"))',
                  lambda: cast_any(tk.call("ns_a::ns_b::echo", "a b", "-opt", "1")), 1.3)
    table.print()


if __name__ == "__main__":
    main()
