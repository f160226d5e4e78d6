"""quotify / tclobj against what tkinter and Tcl do for the same values."""

import tkinter

from harness import Table

from trivex.tcl.quotify import quotify, tclobj

AWKWARD = ["plain", "two words", "{brace", "back\\slash", "", "$x", "[cmd]", 'q"uote', "tab\there", "ünï"]


def main():
    interp = tkinter.Tcl()
    text_tk = tkinter.Tcl().tk
    text_tk.wantobjects(False)  # results come back as their Tcl text

    short = "hello"
    mixed = ["a", 1, 2.5, True, None, "b c", 7, "x", 0.125, "last"]
    big = [AWKWARD[i % len(AWKWARD)] + str(i) for i in range(1000)]
    nested = [[["a", "b c"], ["d"]], [["e f", "g"], []], "h"]

    t = Table("quotify and tclobj")
    t.compare("quotify(short str)", lambda: quotify(short), "id(short str) (a no-op C call)", lambda: id(short), 2.0)
    for label, value in (("10 mixed scalars", mixed), ("1000 awkward words", big), ("3-level nested list", nested)):
        goal = 0.5 if value is big else 1.0
        words = [tkinter._stringify(v) for v in value] if value is nested else value
        t.compare("quotify(%s)" % label, lambda v=value: quotify(v),
                  "Tcl list via tk.call, as text", lambda w=words: text_tk.call("list", *w), goal)
        t.compare("quotify(%s)" % label, lambda v=value: quotify(v),
                  "tkinter._join", lambda v=value: tkinter._join(v))
        t.compare("tclobj(%s)" % label, lambda v=value: tclobj(v),
                  "Tcl list via tk.call, as text", lambda w=words: text_tk.call("list", *w), 1.0)
    t.compare("quotify(short str)", lambda: quotify(short), "tkinter._stringify(short str)",
              lambda: tkinter._stringify(short))
    t.print()
    del interp


if __name__ == "__main__":
    main()
