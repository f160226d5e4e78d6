"""A demonstration of trivex.tcl driving real Tcl, TclX and tcllib.

Run it with scripts/demo (which sets up and builds first).  Every line it
prints is checked against Python's own answer where Python has one.
"""

import base64
import hashlib
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from tkinter import TclError  # noqa: E402

from trivex.tcl.interpreter import Interpreter  # noqa: E402
from trivex.tcl.namespace import (  # noqa: E402
    TclArrayVariable,
    TclCommand,
    TempTclCommand,
    TempTclNamespace,
)
from trivex.tcl.nestmap import NestMap  # noqa: E402
from trivex.tcl.quotify import quotify  # noqa: E402


def show(title, value, expected=None):
    ok = "" if expected is None else ("  ok" if value == expected else "  MISMATCH (expected %r)" % (expected,))
    print("  %-46s %r%s" % (title, value, ok))
    if expected is not None and value != expected:
        raise SystemExit("demo: unexpected result")


def main():
    tcl = Interpreter()
    print("Tcl %s with TclX %s, no Tk window" % (tcl.eval("info patchlevel"), tcl.eval("package present Tclx")))

    print("\n== Evaluating Tcl and getting Python values back")
    show("eval('expr {2**10}', typecast=True)", tcl.eval("expr {2**10}", typecast=True), 1024)
    show("cast_any('0x1F'), cast_any('2.5e1')", (tcl.cast_any("0x1F"), tcl.cast_any("2.5e1")), (31, 25.0))
    show("cast_any('yes'), cast_any('{a 1} {b 2}')", (tcl.cast_any("yes"), tcl.cast_any("{a 1} {b 2}")),
         (True, {"a": "1", "b": "2"}))
    try:
        tcl.eval("proc inner {} {error {deep failure}}; proc outer {} inner; outer")
    except TclError as exc:
        show("a failing script's TclError, first lines", exc.args[0].splitlines()[:3],
             ["deep failure", "    while executing", '"error {deep failure}"'])

    print("\n== Python values quoted exactly as Tcl quotes lists")
    awkward = ["two words", "{brace", "back\\slash", "", "$var", "[cmd]", 'q"uote', "tab\there"]
    text = quotify(awkward)
    show("quotify(awkward words)", text)
    show("Tcl's llength of it", tcl.j.llength(text), len(awkward))
    show("Tcl splits it back to the same words", tcl.cast_list(text), tuple(awkward))

    print("\n== tcllib, driven from Python and checked against Python")
    for pkg in ("base64", "md5", "json", "struct::stack"):
        tcl.eval("package require %s" % pkg)
    message = "Tcl meets Python"
    show("j.base64.encode(message)", tcl.j.base64.encode(message, cast_=False),
         base64.b64encode(message.encode()).decode())
    md5_hex = TclCommand("::md5::md5", args=("-hex",), tcl=tcl)
    show("md5 -hex (a TclCommand with bound words)", md5_hex(message), hashlib.md5(message.encode()).hexdigest().upper())
    doc = {"name": "trivex", "tags": ["tcl", "python"], "year": 2026}
    as_dict = tcl.j.json.json2dict(json.dumps(doc), cast_=False)
    show("json::json2dict, then dict get ... tags", tcl.cast_list(tcl.j.dict("get", as_dict, "tags", cast_=False)),
         ("tcl", "python"))
    with TempTclNamespace(tcl=tcl) as ns:
        ns.eval("::struct::stack S")
        stack = TclCommand(ns.join(ns.ns, "S"), tcl=tcl)
        for item in ("first", "second item", "third"):
            stack("push", item)
        show("a struct::stack, pushed three, popped", (stack("pop"), stack("size")), ("third", 2))

    print("\n== Variables and arrays as Python mappings")
    tcl.eval("array set ::stock {apples 3 pears 5}")
    stock = TclArrayVariable("::stock", tcl=tcl, cast=int)
    stock["kiwis"] = 7
    show("dict(TclArrayVariable('::stock', cast=int))", dict(sorted(stock.items())),
         {"apples": 3, "kiwis": 7, "pears": 5})
    show("Tcl sees the Python write", tcl.eval("set ::stock(kiwis)"), "7")

    print("\n== TclX keyed lists as nested mappings")
    tcl.eval("keylset ::order id 17 customer.name {Ada L} customer.city Paris")
    order = tcl.get_keyed_list("::order")
    show("get_keyed_list('::order')", order, {"id": "17", "customer": {"name": "Ada L", "city": "Paris"}})
    order["customer.city"] = "Lyon"
    order.update(NestMap(shipping={"days": "3"}))
    tcl.set_keyed_list("::order", order)
    show("keylget ::order customer.city / shipping.days",
         (tcl.eval("keylget ::order customer.city"), tcl.eval("keylget ::order shipping.days")), ("Lyon", "3"))

    print("\n== Python callables as Tcl commands")
    words = ["pear", "Fig", "apple", "kiwi", "banana"]

    def by_length(a, b):
        return (len(a) > len(b)) - (len(a) < len(b))

    cmd = tcl.create_callback(by_length)
    show("lsort -command by_length (a Python function)", tcl.j.lsort("-command", cmd, words), tuple(sorted(words, key=len)))
    tcl.remove_callback(by_length)

    def strict(x):
        raise ValueError("no %s here" % x)

    with TempTclCommand(strict, tcl=tcl) as c:
        tcl.eval("catch {%s kiwis} msg" % c)
        show("a raising callable, caught in Tcl", tcl.get_var("msg"), "ValueError: no kiwis here")

    print("\n== Namespaces")
    with TempTclNamespace(tcl=tcl) as ns:
        ns.eval("variable total 0; proc add {n} {variable total; incr total $n}")
        for n in (5, 10, 27):
            ns.call("add", n)
        show("namespace variable after three adds", ns.vars["total"], "42")
        show("procs in it", list(ns.procs), ["add"])
    print("\nAll demonstrations matched.")


if __name__ == "__main__":
    main()
