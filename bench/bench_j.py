"""The command builder against the direct tk.call it wraps (plus the cast
the builder applies), measured side by side."""

from harness import Table

from trivex.tcl.interpreter import Interpreter


def main():
    interp = Interpreter()
    tk = interp.tk
    cast_any = interp.cast_any
    tk.eval("namespace eval ::ns_a::ns_b { proc echo args { return [lindex $args 0] } }")
    table = Table("j: attribute-style command builder")
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
