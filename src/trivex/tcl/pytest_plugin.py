"""pytest support for testing Tcl code with trivex.tcl.

Installed with the package and registered through the ``pytest11`` entry
point, so its fixtures are available in every test session:

``tcl_interp``
    A fresh :class:`~trivex.tcl.interpreter.Interpreter` per test (TclX
    loaded, initialisation hooks run).

``tcl_namespace``
    A :class:`~trivex.tcl.namespace.TempTclNamespace` created in
    ``tcl_interp`` for the test and deleted after it, to keep a test's procs
    and variables apart.

and the assertion helper :func:`assert_tcl_list_equal`, which compares Tcl
lists by their elements rather than by their text.

Example::

    from trivex.tcl.pytest_plugin import assert_tcl_list_equal

    def test_sorting(tcl_interp):
        result = tcl_interp.eval("lsort {b {a c} d}")
        assert_tcl_list_equal(result, ["a c", "b", "d"])
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Iterator, Optional

import pytest

__all__ = ["assert_tcl_list_equal", "tcl_interp", "tcl_namespace"]

# The Tcl line coverage options (--tcl-cov and friends) come with this plugin.
pytest_plugins = ["trivex.tcl._coverage_plugin"]


def _elements(value: Any, depth: int) -> Any:
    from .interpreter import Interpreter

    if isinstance(value, Sequence) and not isinstance(value, str):
        items = tuple(value)
    else:
        items = Interpreter.cast_list(value)
    if depth <= 1:
        return [item if isinstance(item, str) else _text(item) for item in items]
    return [_elements(item, depth - 1) for item in items]


def _text(value: Any) -> str:
    from .quotify import quotify

    text = quotify(value)
    return text if isinstance(text, str) else str(text)


def assert_tcl_list_equal(actual: Any, expected: Any, depth: int = 1, msg: Optional[str] = None) -> None:
    """Assert that two Tcl lists have the same elements.

    Either side may be Tcl list text, a Tcl object or a Python sequence (its
    items taken as the elements, converted to their Tcl text).  Lists are
    compared element by element, so ``"a {b c}"``, ``"a   {b c}"`` and
    ``["a", "b c"]`` are all equal, while ``"a b c"`` is not.

    Arguments:
        actual, expected: the two lists.
        depth: how many levels of nesting to compare as lists (1: the
            elements are compared as text).
        msg: text to put in front of the failure message.

    Raises:
        AssertionError: the lists differ; the message shows both element
            lists and the first difference.
    """
    __tracebackhide__ = True
    a = _elements(actual, depth)
    e = _elements(expected, depth)
    if a == e:
        return
    lines = [msg] if msg else []
    lines.append("Tcl lists differ:")
    lines.append("  actual:   %r" % (a,))
    lines.append("  expected: %r" % (e,))
    if len(a) != len(e):
        lines.append("  lengths: %d != %d" % (len(a), len(e)))
    for i, (x, y) in enumerate(zip(a, e)):
        if x != y:
            lines.append("  first difference at index %d: %r != %r" % (i, x, y))
            break
    raise AssertionError("\n".join(lines))


@pytest.fixture
def tcl_interp() -> Any:
    """A fresh Interpreter for this test."""
    from .interpreter import Interpreter

    return Interpreter()


@pytest.fixture
def tcl_namespace(tcl_interp: Any) -> Iterator[Any]:
    """A temporary Tcl namespace in ``tcl_interp``, deleted after the test."""
    from .namespace import TempTclNamespace

    with TempTclNamespace(tcl=tcl_interp) as ns:
        yield ns
