"""Tcl arrays read into Python mappings."""

from __future__ import annotations

from tkinter import TclError
from typing import Any

from .internal import GetListFromAny

__all__ = ["Array"]


class Array(dict):  # type: ignore[type-arg]
    """The contents of a Tcl array: element name to value.

    A plain mutable mapping; handed to Tcl (``array set``, or any command
    argument) it becomes the flat list name, value, name, value, ...
    """

    __slots__ = ()

    @classmethod
    def from_tcl(cls, text: Any) -> "Array":
        """Build an Array from the result of Tcl's ``array get``.

        Arguments:
            text: the flat list name, value, name, value, ... as Tcl text, a
                Tcl object, or a Python sequence of its elements.

        Returns:
            A new Array; a name that occurs twice keeps its last value.

        Raises:
            ValueError: the text is not a Tcl list, or has an odd number of
                elements.
        """
        try:
            items = GetListFromAny(text)
        except TclError as exc:
            raise ValueError(exc) from exc
        if len(items) % 2:
            raise ValueError("list must have an even number of elements")
        # One iterator taken twice pairs the items without copying them.
        pairs = iter(items)
        return cls(zip(pairs, pairs))

    def __repr__(self) -> str:
        return "Array(%s)" % dict.__repr__(self)
