"""Values that nest (lists as one Tcl word, list results of callbacks)
against tkinter carrying the same tuples directly: every such value is
checked before tkinter converts it, and the check should cost little next to
the conversion itself."""

from harness import Table

from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclCommand, TclVariable


def main():
    interp = Interpreter()
    tk = interp.tk
    t = Table("nested values")

    short = tuple("item%d" % n for n in range(10))
    wide = tuple("\u00e9l\u00e9ment %d \u4e2d" % n for n in range(1000))
    v = TclVariable("x", tcl=interp)
    t.compare("TclVariable.set(10 words)", lambda: v.set(short), 'tk.setvar("x", 10 words)',
              lambda: tk.setvar("x", short), 1.3)
    t.compare("TclVariable.set(1000 non-Latin-1 words)", lambda: v.set(wide), 'tk.setvar("x", 1000 words)',
              lambda: tk.setvar("x", wide), 1.3)
    nested = tuple((n, "k%d" % n, (1.5, "deep")) for n in range(100))
    # Dominated by tclobj() rebuilding the tuples, which tkinter skips.
    t.compare("set_list(100 nested tuples)", lambda: interp.set_list("x", nested), 'tk.setvar("x", same)',
              lambda: tk.setvar("x", nested))

    llength = TclCommand("llength", tcl=interp)
    t.compare("TclCommand(llength)(10 words)", lambda: llength(short), 'tk.call("llength", 10 words)',
              lambda: tk.call("llength", short))

    interp.create_callback(lambda: short, cmd_name="give")
    tk.createcommand("give_plain", lambda: short)
    t.compare('callback returning 10 words', lambda: tk.call("give"), "the same through tkinter alone",
              lambda: tk.call("give_plain"), 1.3)
    t.print()


if __name__ == "__main__":
    main()
