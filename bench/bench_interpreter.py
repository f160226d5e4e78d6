"""Interpreter: eval, casts and typed access against the tkinter calls they wrap."""

from harness import Table

from trivex.tcl.interpreter import Interpreter


def main():
    interp = Interpreter()
    tk = interp.tk
    interp.history.clear()
    t = Table("Interpreter")
    t.compare('eval("set a 5")', lambda: interp.eval("set a 5"), 'tk.eval("set a 5")',
              lambda: tk.eval("set a 5"), 1.1)
    t.compare('eval("expr {1+1}", typecast=True)', lambda: interp.eval("expr {1+1}", typecast=True),
              'tk.getint(tk.eval("expr {1+1}"))', lambda: tk.getint(tk.eval("expr {1+1}")))
    t.compare('cast_any("12")', lambda: interp.cast_any("12"), 'tk.getint("12")', lambda: tk.getint("12"))
    t.compare('cast_any("2.5")', lambda: interp.cast_any("2.5"), 'tk.getdouble("2.5")', lambda: tk.getdouble("2.5"))
    t.compare('cast_any("yes")', lambda: interp.cast_any("yes"), 'tk.getboolean("yes")',
              lambda: tk.getboolean("yes"))
    t.compare('cast_any("{a 1} {b 2}")', lambda: interp.cast_any("{a 1} {b 2}"), 'tk.splitlist("{a 1} {b 2}")',
              lambda: tk.splitlist("{a 1} {b 2}"))
    t.compare('cast_any("hello world")', lambda: interp.cast_any("hello world"), 'tk.getint("12")',
              lambda: tk.getint("12"), 3.0)
    tk.setvar("::n", "42")
    t.compare('get_int("::n")', lambda: interp.get_int("::n"), 'tk.getint(tk.getvar("::n"))',
              lambda: tk.getint(tk.getvar("::n")))
    t.compare('set_var("::v", "x")', lambda: interp.set_var("::v", "x"), 'tk.setvar("::v", "x")',
              lambda: tk.setvar("::v", "x"))
    t.print()


if __name__ == "__main__":
    main()
