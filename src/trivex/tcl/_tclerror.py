"""Tcl errors as structured Python exceptions.

A failed Tcl evaluation ends with a result (the error message) and a set of
return options (``-errorcode``, ``-errorinfo``, ``-errorline``,
``-errorstack``, ``-code``, ``-level``).  The package raises such a failure as
a ``tkinter.TclError`` whose single argument is the errorInfo, as before, and
whose attributes carry the rest, so a test can assert on an error code
without parsing text.  Every place that makes one goes through this module.
"""

from __future__ import annotations

from collections.abc import Iterable
from tkinter import TclError
from typing import Any

__all__ = ["FIELDS", "make", "from_options"]

#: The attributes every structured TclError carries, in this order.
FIELDS = ("result", "errorcode", "errorinfo", "errorline", "errorstack", "code", "level")


def make(
    errorinfo: str,
    result: str,
    errorcode: Iterable[str] = ("NONE",),
    errorline: int = 0,
    errorstack: Iterable[str] = (),
    code: int = 1,
    level: int = 0,
    cls: type[TclError] = TclError,
) -> TclError:
    """Return a ``cls`` (a TclError class) for one failed evaluation.

    Arguments:
        errorinfo: Tcl's errorInfo, the exception's only argument.
        result: the error message (the interpreter's result).
        errorcode, errorstack: the words of Tcl's -errorcode and -errorstack.
        errorline, code, level: Tcl's -errorline, -code and -level.
        cls: the class to make, TclError or a subclass of it.
    """
    exc = cls(errorinfo)
    exc.result = result
    exc.errorcode = tuple(errorcode)
    exc.errorinfo = errorinfo
    exc.errorline = int(errorline)
    exc.errorstack = tuple(errorstack)
    exc.code = int(code)
    exc.level = int(level)
    return exc


def from_options(tk: Any, result: str, options: Any, cls: type[TclError] = TclError) -> TclError:
    """Return a ``cls`` from a Tcl return-options dictionary.

    ``tk`` is the ``_tkinter`` application object whose ``splitlist`` reads
    the dictionary and its list values; ``options`` is that dictionary as
    Tcl gives it (text or a Tcl object), as ``catch``'s options variable or a
    background-error handler receive it.
    """
    # As text, so that every word comes back as text (a Tcl list object
    # would come back as a tuple).
    words = tk.splitlist(str(options))
    opts = {str(words[i]): words[i + 1] for i in range(0, len(words) - 1, 2)}

    def number(key: str, default: int) -> int:
        try:
            return int(str(opts[key]))
        except (KeyError, ValueError):
            return default

    def words_of(key: str, default: tuple[str, ...]) -> tuple[str, ...]:
        if key not in opts:
            return default
        return tuple(tk.splitlist(opts[key]))

    return make(
        str(opts.get("-errorinfo", result)),
        str(result),
        errorcode=words_of("-errorcode", ("NONE",)),
        errorline=number("-errorline", 0),
        errorstack=words_of("-errorstack", ()),
        code=number("-code", 1),
        level=number("-level", 0),
        cls=cls,
    )
