"""Variables, arrays, commands and views against the same tkinter calls made
directly: the handles should add little to what the binding costs."""

from harness import Table

from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable

ROUNDS = 7


def compare(table, *args):
    """Table.compare, run ROUNDS times, keeping each side's best time (the
    harness's own best-of rule, stretched over rounds so that a busy machine
    does not decide the ratio)."""
    rounds = []
    for _ in range(ROUNDS):
        table.compare(*args)
        rounds.append(table.rows.pop())
    label, _, base_label, _, _, goal = rounds[0]
    ours = min(row[1] for row in rounds)
    base = min(row[3] for row in rounds)
    table.rows.append((label, ours, base_label, base, ours / base, goal))


def main():
    interp = Interpreter()
    tk = interp.tk

    t = Table("namespace: variables and arrays (goal: 1.2x the direct call)")
    v = TclVariable("x", tcl=interp)
    v.set(5)
    compare(t, "TclVariable.set(5)", lambda: v.set(5), 'tk.setvar("x", 5)', lambda: tk.setvar("x", 5), 1.2)
    compare(t, "TclVariable.get_obj()", v.get_obj, 'tk.getvar("x")', lambda: tk.getvar("x"), 1.2)
    compare(t, "TclVariable.get()", v.get, 'tk.getvar("x")', lambda: tk.getvar("x"), 1.2)

    a = TclArrayVariable("arr", tcl=interp)
    a.update({"k%d" % i: i for i in range(1000)})
    compare(t, 'TclArrayVariable a["k7"]', lambda: a["k7"], 'tk.getvar("arr", "k7")',
              lambda: tk.getvar("arr", "k7"), 1.2)
    def setitem():
        a["k7"] = 7

    compare(t, 'TclArrayVariable a["k7"] = 7', setitem, 'tk.setvar("arr", "k7", 7)',
              lambda: tk.setvar("arr", "k7", 7), 1.2)

    def iterate_handle():
        for _ in a:
            pass

    def iterate_direct():
        for _ in tk.call("array", "names", "arr"):
            pass

    compare(t, "iterate 1000 elements (for k in a)", iterate_handle, 'iterate tk.call("array", "names", ..)',
              iterate_direct, 1.2)
    t.print()

    t = Table("namespace: commands and views (goal: 1.3x the direct call)")
    setter = TclCommand("set", args=("x",), tcl=interp)
    compare(t, 'TclCommand("set", args=("x",))(5), built once', lambda: setter(5), 'tk.call("set", "x", 5)',
              lambda: tk.call("set", "x", 5), 1.3)
    compare(t, 'TclCommand("set", args=("x",))(5), built each time',
              lambda: TclCommand("set", args=("x",), tcl=interp)(5), 'tk.call("set", "x", 5)',
              lambda: tk.call("set", "x", 5))
    ns = TclNamespace("::t", tcl=interp)
    ns.create()
    ns.vars["x"] = 5
    compare(t, 'ns.vars["x"]', lambda: ns.vars["x"], 'tk.eval("set ::t::x")', lambda: tk.eval("set ::t::x"), 1.3)
    gns = interp.global_ns
    compare(t, 'global_ns.vars["x"]', lambda: gns.vars["x"], 'tk.eval("set ::x")', lambda: tk.eval("set ::x"), 1.3)
    compare(t, 'ns.objs["x"]', lambda: ns.objs["x"], 'tk.getvar("::t::x")', lambda: tk.getvar("::t::x"))
    t.print()


if __name__ == "__main__":
    main()
