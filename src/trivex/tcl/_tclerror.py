"""Tcl errors as structured Python exceptions.

A failed Tcl evaluation ends with a result (the error message) and a set of
return options (``-errorcode``, ``-errorinfo``, ``-errorline``,
``-errorstack``, ``-code``, ``-level``).  The package raises such a failure as
a ``tkinter.TclError`` whose single argument is the errorInfo, as before, and
whose attributes carry the rest, so a test can assert on an error code
without parsing text.  Every place that makes one goes through this module.
"""

from __future__ import annotations

import sys
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
    values = (result, tuple(errorcode), errorinfo, int(errorline), tuple(errorstack), int(code), int(level))
    # TclError declares none of these; setattr keeps type checkers content.
    for name, value in zip(FIELDS, values):
        setattr(exc, name, value)
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
    words = _split(tk, str(options))
    opts = {str(words[i]): words[i + 1] for i in range(0, len(words) - 1, 2)}

    def number(key: str, default: int) -> int:
        try:
            return int(str(opts[key]))
        except (KeyError, ValueError):
            return default

    def words_of(key: str, default: tuple[str, ...]) -> tuple[str, ...]:
        if key not in opts:
            return default
        text = str(opts[key])
        try:
            return _split(tk, text)
        except TclError:
            # -errorcode may be any text, a malformed list included.
            return (text,)

    errorcode = words_of("-errorcode", ("NONE",))
    if cls is TclError and errorcode[:2] == ("TCL", "CANCEL"):
        # A time limit's cancellation is its timeout; only the testing
        # module sets limits, so it has been imported if one is running.
        testing = sys.modules.get(__package__ + ".testing")
        if testing is not None:
            cls = testing._cancellation_class(tk, errorcode)
    return make(
        str(opts.get("-errorinfo", result)),
        str(result),
        errorcode=errorcode,
        errorline=number("-errorline", 0),
        errorstack=words_of("-errorstack", ()),
        code=number("-code", 1),
        level=number("-level", 0),
        cls=cls,
    )


def _split(tk: Any, text: str) -> tuple[str, ...]:
    """The words of the Tcl list ``text``, as str."""
    try:
        return tuple(str(w) for w in tk.splitlist(text))
    except (TypeError, ValueError):
        # tkinter takes no text holding NUL or a lone surrogate, both of
        # which Tcl values may hold; the package's own parser reads them as
        # Tcl does.
        from .internal import GetListFromAny

        return tuple(GetListFromAny(text))
