"""A demonstration of trivex.tcl driving real Tcl.

Run it with scripts/demo (which sets up and builds first).
"""

import os
import sys
import tkinter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from trivex.tcl.quotify import quotify, tclobj  # noqa: E402


def show(title, value):
    print("%-44s %s" % (title, value))


def main():
    tcl = tkinter.Tcl()

    print("== Python values become Tcl lists, quoted as Tcl quotes them ==")
    words = ["plain", "two words", "{brace", "back\\slash", "", "$dollar", "tab\there"]
    text = quotify(words)
    show("quotify(words):", text)
    show("Tcl's llength of that text:", tcl.call("llength", text))
    back = tcl.tk.splitlist(text)
    show("Tcl splits it back into the same words:", back == tuple(words))

    nested = {"name": "trivex", "sizes": [1, 2, [3, 4]], "empty": None}
    text = quotify(nested)
    show("quotify(nested mapping):", text)
    tcl.call("set", "d", text)
    show("Tcl's dict get $d sizes:", tcl.eval("dict get $d sizes"))
    show("Tcl's lindex [dict get $d sizes] 2 1:", tcl.eval("lindex [dict get $d sizes] 2 1"))

    print()
    print("== tclobj hands values to Tcl as native words and lists ==")
    value = tclobj(["a b", 7, 2.5, ("x", "y z")])
    show("tclobj([...]):", value)
    show("Tcl's llength of the word:", tcl.call("llength", value))
    show("Tcl's lindex $v 3 1:", tcl.call("lindex", value, 3, 1))

    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

        def __tclobj__(self):
            return ("x", self.x, "y", self.y)

    p = Point(3, 4)
    show("an object with __tclobj__:", quotify(p))
    show("Tcl's dict get of it:", tcl.call("dict", "get", tclobj(p), "y"))


if __name__ == "__main__":
    main()
