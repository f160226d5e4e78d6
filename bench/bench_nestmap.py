"""NestMap reading and writing a 200-key, two-level keyed list, against
TclX's own keylkeys/keylget walking the same data from Python."""

import tkinter

from harness import Table, keyed_list_walk

from trivex.tcl.nestmap import NestMap
from trivex.tcl.quotify import quotify, tclobj

KEYS = 200


def main():
    tcl = tkinter.Tcl()
    tk = tcl.tk
    tk.eval("package require Tclx")
    tk.eval("for {set i 0} {$i < %d} {incr i} "
            "{keylset kl k$i.name v$i k$i.pair {x y} k$i.n $i k$i.sub.leaf {a b c}}" % KEYS)
    obj = tk.call("set", "kl")
    text = tk.eval("set kl")

    def tclx_walk():
        return keyed_list_walk(tk, "kl")

    kl = NestMap.from_tcl(obj)
    assert len(kl) == KEYS and kl["k7.sub.leaf"] == "a b c"
    table = Table("nestmap: %d-key two-level keyed list" % KEYS)
    walk = "TclX keylkeys/keylget walk"
    table.compare("NestMap.from_tcl(keyedList Tcl_Obj)", lambda: NestMap.from_tcl(obj), walk, tclx_walk)
    table.compare("NestMap.from_tcl(text)", lambda: NestMap.from_tcl(text), walk, tclx_walk)
    table.compare("quotify(kl)", lambda: quotify(kl), walk, tclx_walk)
    table.compare('tk.call("set", "w", tclobj(kl))', lambda: tk.call("set", "w", tclobj(kl)), walk, tclx_walk)
    table.compare("kl.all_items()", kl.all_items, walk, tclx_walk)
    table.print()


if __name__ == "__main__":
    main()
