"""General-purpose data structures of the trivex package family."""

from __future__ import annotations

from typing import Any

__all__ = ["AttrDict"]


class AttrDict(dict):  # type: ignore[type-arg]
    """A dict whose keys can also be read and written as attributes.

    ``d.key`` is ``d["key"]``, ``d.key = v`` is ``d["key"] = v`` and
    ``del d.key`` is ``del d["key"]``.  Item access goes through the class's
    own ``__getitem__``, ``__setitem__`` and ``__delitem__``, so subclasses
    that redefine them (dotted paths, say) are honoured.  Names that begin
    with two underscores are never looked up as keys, so the protocols of
    ``copy``, ``pickle`` and the like see an ordinary object.

    Examples:
        >>> d = AttrDict(a=1)
        >>> d.a
        1
        >>> d.b = 2
        >>> d["b"]
        2
    """

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name: str, value: Any) -> None:
        self[name] = value

    def __delattr__(self, name: str) -> None:
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | {k for k in self if isinstance(k, str)})
