"""Use a Tcl interpreter from Python as if Tcl were part of Python.

The package's functions are those of one shared interpreter
(``trivex.tcl.interpreter._global_interpreter``): ``trivex.tcl.eval``,
``trivex.tcl.cast_list``, ``trivex.tcl.vars``, ``trivex.tcl.j`` and every
other public name of an ``Interpreter``.  The shared interpreter is created
when one of them is first used, so importing a submodule
(``trivex.tcl.quotify``, say) starts no Tcl.  The handle classes of
``trivex.tcl.namespace`` use this package as their interpreter when none is
given.

Two published names are also submodule names: ``trivex.tcl.j`` and
``trivex.tcl.history`` are the shared interpreter's command builder and
history; the modules stay importable as usual (``from trivex.tcl.j import J``).

Examples:
    >>> import trivex.tcl
    >>> trivex.tcl.eval("expr {6 * 7}", typecast=True)
    42
    >>> trivex.tcl.cast_list("a {b c}")
    ('a', 'b c')
"""

from __future__ import annotations

import sys
import types
from typing import Any

__version__ = "0.1.0"


def _shared() -> Any:
    from .interpreter import _global_interpreter

    return _global_interpreter


def _publish() -> list[str]:
    """Bind the shared interpreter's public names here; return them."""
    interp = _shared()
    names = list(interp.__all__)
    module = globals()
    for name in names:
        if name not in _SUBMODULE_NAMES:
            module[name] = getattr(interp, name)
    module["__all__"] = names
    return names


# Submodules not imported yet are missing attributes too; they must stay
# plain AttributeErrors so that `from trivex.tcl import quotify` imports the
# submodule without starting the shared interpreter.
_SUBMODULES = frozenset(
    {"quotify", "internal", "nestmap", "namespace", "interpreter", "array", "pytest_plugin", "_entrypoints",
     "coverage", "_coverage_plugin", "_tclcov"}
)


def __getattr__(name: str) -> Any:
    if (name.startswith("__") and name != "__all__") or name in _SUBMODULES:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    names = _publish()
    if name == "__all__":
        return names
    if name in names:
        return globals()[name]
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_publish()))


def _shared_attribute(name: str) -> property:
    """The shared interpreter's `name`, in front of the submodule of that name
    (the import system binds submodules as package attributes)."""

    def get(self: types.ModuleType) -> Any:
        return getattr(_shared(), name)

    def set(self: types.ModuleType, value: Any) -> None:
        if not isinstance(value, types.ModuleType):
            setattr(_shared(), name, value)

    return property(get, set, doc="The shared interpreter's %r." % name)


_SUBMODULE_NAMES = ("j", "history")


class _Front(types.ModuleType):
    j = _shared_attribute("j")
    history = _shared_attribute("history")


sys.modules[__name__].__class__ = _Front
