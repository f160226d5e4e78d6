"""Test support: an interpreter object for tests of the handle classes.

`make_interpreter()` gives the package's real `Interpreter` when module
`interpreter` is built, else `StandIn`: the few things the handle classes use
of an interpreter (`tk`, `history`, `vars`, the casts), on plain tkinter with
TclX loaded.
"""

import tkinter

_splitter = tkinter.Tcl().tk


def _split(value):
    if type(value) is tuple:
        return value
    if value is None:
        return ()
    try:
        return _splitter.splitlist(value if isinstance(value, (str, tkinter._tkinter.Tcl_Obj)) else str(value))
    except tkinter.TclError as exc:
        raise ValueError(exc) from exc


class _Vars:
    def __init__(self, tk):
        self._tk = tk

    def __getitem__(self, name):
        try:
            return self._tk.eval("set {%s}" % name)
        except tkinter.TclError as exc:
            raise KeyError(exc) from exc

    def __setitem__(self, name, value):
        self._tk.call("set", name, value)


class StandIn:
    """What the handle classes need of an interpreter, on plain tkinter."""

    def __init__(self):
        self._tcl = tkinter.Tcl()
        self.tk = self._tcl.tk
        self.tk.eval("package require Tclx")
        self.history = []
        self.vars = _Vars(self.tk)

    @staticmethod
    def cast_list(value, item_cast=None):
        result = _split(value)
        if item_cast is not None:
            result = tuple(map(item_cast, result))
        return result

    def cast_boolean(self, value):
        try:
            try:
                return bool(self.tk.getboolean(value))
            except TypeError:
                return bool(self.tk.getboolean(str(value)))
        except tkinter.TclError as exc:
            for conv in (self.tk.getint, self.tk.getdouble):
                try:
                    return conv(str(value)) != 0
                except (ValueError, tkinter.TclError):
                    pass
            raise ValueError(exc) from exc

    @staticmethod
    def cast_array(value, item_cast=None):
        items = _split(value)
        it = iter(items)
        result = dict(zip(it, it))
        if item_cast is not None:
            result = {k: item_cast(v) for k, v in result.items()}
        return result

    def cast_any(self, value):
        if type(value) is tuple:
            return tuple(str(v) for v in value)
        if type(value) in (int, float, bool):
            return value
        value = str(value)
        for conv in (self.tk.getint, self.tk.getdouble):
            try:
                return conv(value)
            except (ValueError, TypeError, tkinter.TclError):
                pass
        try:
            return bool(self.tk.getboolean(value))
        except (ValueError, TypeError, tkinter.TclError):
            return value


def make_interpreter():
    try:
        from trivex.tcl.interpreter import Interpreter
    except ImportError:
        return StandIn()
    return Interpreter()


def plain_env(**extra):
    """os.environ for a program not built with the sanitizers (tclsh,
    genhtml): without the sanitizer runtime that a sanitizer run preloads."""
    import os

    env = dict(os.environ, **extra)
    env.pop("LD_PRELOAD", None)
    return env
