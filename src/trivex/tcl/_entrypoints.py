"""Entry points of installed distributions, for initialisation hooks.

`iter_entry_points(group)` yields, in a stable order (distributions in
``sys.path`` order, each distribution once, its entries in file order), the
entry points registered under `group`, each with ``name``, ``module_name``,
``attrs``, ``dist`` and ``load()``.

`add_local_entry_point` registers one for this process only, without an
installed distribution (line coverage uses it to reach every new
interpreter); local entries come after the installed ones.
"""

from __future__ import annotations

import importlib
from importlib import metadata
from typing import Any, Iterator, Optional

__all__ = ["iter_entry_points", "EntryPoint", "add_local_entry_point", "remove_local_entry_point"]


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
        """Import the module and return the object the entry point names.

        A name the module lacks is an ImportError (chained from the
        AttributeError): the entry point cannot be imported as declared."""
        obj = importlib.import_module(self._ep.module)
        try:
            for attr in self.attrs:
                obj = getattr(obj, attr)
        except AttributeError as exc:
            raise ImportError(str(exc)) from exc
        return obj

    def __repr__(self) -> str:
        return "EntryPoint.parse(%r)" % ("%s = %s" % (self.name, self._ep.value))


class LocalEntryPoint:
    """An entry point registered in this process: `load()` returns `obj`."""

    __slots__ = ("name", "group", "module_name", "attrs", "dist", "_obj")

    def __init__(self, group: str, name: str, obj: Any) -> None:
        self.group = group
        self.name = name
        self.module_name = getattr(obj, "__module__", None) or "__main__"
        qualname = getattr(obj, "__qualname__", None)
        self.attrs = tuple(qualname.split(".")) if isinstance(qualname, str) else ()
        self.dist = None
        self._obj = obj

    def load(self) -> Any:
        return self._obj

    def __repr__(self) -> str:
        return "LocalEntryPoint(%r, %r, %r)" % (self.group, self.name, self._obj)


_local: list[LocalEntryPoint] = []


def add_local_entry_point(group: str, name: str, obj: Any) -> LocalEntryPoint:
    """Register `obj` under `group` and `name` for this process; returns the
    entry, which `remove_local_entry_point` takes back."""
    ep = LocalEntryPoint(group, name, obj)
    _local.append(ep)
    return ep


def remove_local_entry_point(ep: LocalEntryPoint) -> None:
    """Unregister an entry that `add_local_entry_point` returned (no error if
    it is gone already)."""
    try:
        _local.remove(ep)
    except ValueError:
        pass


def iter_entry_points(group: str, name: Optional[str] = None) -> Iterator[Any]:
    """Yield the entry points of `group` (only those called `name`, if given)."""
    for ep in metadata.entry_points(group=group):
        if name is None or ep.name == name:
            yield EntryPoint(ep)
    for local in tuple(_local):
        if local.group == group and (name is None or local.name == name):
            yield local
