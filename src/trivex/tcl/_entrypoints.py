"""Entry points of installed distributions, for initialisation hooks.

`iter_entry_points(group)` yields, in a stable order (distributions in
``sys.path`` order, each distribution once, its entries in file order), the
entry points registered under `group`, each with ``name``, ``module_name``,
``attrs``, ``dist`` and ``load()``.
"""

from __future__ import annotations

from importlib import metadata
from typing import Any, Iterator, Optional

__all__ = ["iter_entry_points", "EntryPoint"]


class EntryPoint:
    """One registered entry point."""

    __slots__ = ("_ep",)

    def __init__(self, ep: metadata.EntryPoint) -> None:
        self._ep = ep

    @property
    def name(self) -> str:
        return self._ep.name

    @property
    def group(self) -> str:
        return self._ep.group

    @property
    def module_name(self) -> str:
        return self._ep.module

    @property
    def attrs(self) -> tuple[str, ...]:
        attr = self._ep.attr
        return tuple(attr.split(".")) if attr else ()

    @property
    def dist(self) -> Optional[metadata.Distribution]:
        return self._ep.dist

    def load(self) -> Any:
        """Import the module and return the object the entry point names."""
        return self._ep.load()

    def __repr__(self) -> str:
        return "EntryPoint.parse(%r)" % ("%s = %s" % (self.name, self._ep.value))


def iter_entry_points(group: str, name: Optional[str] = None) -> Iterator[EntryPoint]:
    """Yield the entry points of `group` (only those called `name`, if given)."""
    for ep in metadata.entry_points(group=group):
        if name is None or ep.name == name:
            yield EntryPoint(ep)
