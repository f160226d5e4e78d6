"""The record of what an interpreter was asked to run."""

from __future__ import annotations

from collections import deque
from collections.abc import Iterable
from typing import Any

__all__ = ["History", "MAX_HISTORY"]

#: How many entries a History keeps by default; the oldest go first.
MAX_HISTORY = 9999


class History(deque):  # type: ignore[type-arg]
    """Scripts and command word lists in the order they were run.

    A bounded deque: appending is cheap, and once ``maxlen`` entries are
    held, each new entry pushes out the oldest.  ``Interpreter.eval`` appends
    each script it runs (with ``record`` true), the ``j`` command builder
    each list of command words.

    Arguments:
        iterable: entries to start with.
        maxlen: the number of entries kept; 9999 unless given.
    """

    def __init__(self, iterable: Iterable[Any] = (), maxlen: int | None = MAX_HISTORY) -> None:
        super().__init__(iterable, maxlen)

    def __repr__(self) -> str:
        return "History(%r, maxlen=%r)" % (list(self), self.maxlen)

    def last(self, default: Any = None) -> Any:
        """The newest entry, or ``default`` when there is none."""
        return self[-1] if self else default
