"""pytest support for testing Tcl code with trivex.tcl.

Installed with the package and registered through the ``pytest11`` entry
point, so its fixtures are available in every test session:

``tcl_interp``
    A fresh :class:`~trivex.tcl.interpreter.Interpreter` per test (TclX
    loaded, initialisation hooks run), destroyed when the test ends, so that
    neither its Tcl interpreter nor what its callbacks hold outlives the
    test.

``tcl_namespace``
    A :class:`~trivex.tcl.namespace.TempTclNamespace` created in
    ``tcl_interp`` for the test and deleted after it, to keep a test's procs
    and variables apart.

``tcl_mock``
    ``tcl_mock(name, return_value="", side_effect=None)`` replaces a Tcl
    command of ``tcl_interp`` by a recording mock until the test ends.

and the assertion helper :func:`assert_tcl_list_equal`, which compares Tcl
lists by their elements rather than by their text.

Options (``pytest --help``, group "trivex.tcl") and markers
(``pytest --markers``):

``--tcl-timeout=SECONDS`` (ini ``tcl_timeout``), ``@pytest.mark.tcl_timeout(seconds)``
    Tcl evaluations of a test, in its ``tcl_interp`` and in the shared
    interpreter, are cancelled once the test has run that long; the test
    fails with ``TclTimeoutError`` and the run goes on.
``@pytest.mark.tcl_allow_background_errors``
    Without it, a background error in a test's ``tcl_interp`` fails the test.
``--tcl-source=FILE`` (repeatable; ini ``tcl_source``)
    Tcl files sourced into every ``tcl_interp`` before the test.
``--tcltest`` (ini ``tcltest_files``)
    Collect files written for Tcl's ``tcltest`` package (``*.test``, or the
    ini globs): each ``test`` in them becomes a pytest item.

A test failing with a ``TclError`` gets a report section with the Tcl stack,
the error code and the interpreter's last commands, and ``==`` between the
package's mappings and other mappings is explained key by key.

Example::

    from trivex.tcl.pytest_plugin import assert_tcl_list_equal

    def test_sorting(tcl_interp):
        result = tcl_interp.eval("lsort {b {a c} d}")
        assert_tcl_list_equal(result, ["a c", "b", "d"])
"""

from __future__ import annotations

import argparse
import fnmatch
import math
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from contextlib import ExitStack
from tkinter import TclError
from typing import Any, Iterator, Optional

import pytest

__all__ = ["assert_tcl_list_equal", "tcl_interp", "tcl_mock", "tcl_namespace"]

# How many of the interpreter's last commands a failure report shows.
HISTORY_SHOWN = 10

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
def tcl_interp(request: Any) -> Iterator[Any]:
    """A fresh Interpreter for this test, with the ``--tcl-source`` files
    sourced into it; destroyed after the test."""
    from .interpreter import Interpreter

    interp = Interpreter()
    _source_files(request.config, interp)
    yield interp
    interp.destroy()


@pytest.fixture
def tcl_namespace(tcl_interp: Any) -> Iterator[Any]:
    """A temporary Tcl namespace in ``tcl_interp``, deleted after the test."""
    from .namespace import TempTclNamespace

    with TempTclNamespace(tcl=tcl_interp) as ns:
        yield ns


@pytest.fixture
def tcl_mock(tcl_interp: Any) -> Iterator[Callable[..., Any]]:
    """Mock Tcl commands of ``tcl_interp`` for this test.

    ``tcl_mock(name, return_value="", side_effect=None)`` replaces the
    command ``name`` (a proc, a C command or an alias; or a name that does
    not exist yet) and returns the recorder of ``trivex.tcl.testing``'s
    ``mock_command``.  Each mocked command is restored when the test ends,
    the latest first, so one name can be mocked twice.
    """
    from .testing import mock_command

    with ExitStack() as stack:

        def tcl_mock(name: str, return_value: Any = "", side_effect: Any = None) -> Any:
            """Mock the Tcl command ``name`` until the test ends; returns
            the recorder (``calls``, ``call_count``, ``assert_called_with``,
            ...)."""
            return stack.enter_context(
                mock_command(name, return_value=return_value, side_effect=side_effect, tcl=tcl_interp)
            )

        yield tcl_mock


# --- options and markers ---------------------------------------------------


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError("not a number of seconds: %r" % (text,)) from None
    if value < 0 or not math.isfinite(value):
        raise ValueError("not a number of seconds: %r" % (text,))
    return value


def _seconds_option(text: str) -> float:
    try:
        return _seconds(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("trivex.tcl", "Tcl testing (trivex.tcl)")
    group.addoption(
        "--tcl-timeout",
        metavar="SECONDS",
        type=_seconds_option,
        default=None,
        help="cancel a test's Tcl evaluations (in its tcl_interp and the shared "
        "interpreter) after SECONDS and fail the test; 0 for no limit. "
        "Default: the ini value tcl_timeout",
    )
    group.addoption(
        "--tcl-source",
        metavar="FILE",
        action="append",
        default=[],
        help="source the Tcl FILE into every tcl_interp before the test "
        "(repeatable; after the files of the ini value tcl_source)",
    )
    group.addoption(
        "--tcltest",
        action="store_true",
        default=False,
        help="collect tcltest files (*.test, or the globs of the ini value "
        "tcltest_files): each test in them becomes a pytest item",
    )
    parser.addini("tcl_timeout", "default for --tcl-timeout, in seconds (0: no limit)", default="0")
    parser.addini("tcl_source", "Tcl files sourced into every tcl_interp before the test", type="paths", default=[])
    parser.addini(
        "tcltest_files",
        "globs of tcltest files to collect as pytest items (turns collection of them on)",
        type="args",
        default=[],
    )


def pytest_configure(config: Any) -> None:
    for path in _source_paths(config):
        if not os.path.isfile(path):
            raise pytest.UsageError("--tcl-source / tcl_source: no such file: %s" % path)
    try:
        _seconds(config.getini("tcl_timeout") or "0")
    except ValueError as exc:
        raise pytest.UsageError("ini value tcl_timeout: %s" % exc) from None
    config.addinivalue_line(
        "markers",
        "tcl_timeout(seconds): cancel the test's Tcl evaluations after this many seconds "
        "and fail the test (overrides --tcl-timeout; 0 or None: no limit)",
    )
    config.addinivalue_line(
        "markers",
        "tcl_allow_background_errors: background errors in the test's tcl_interp "
        "do not fail the test",
    )


def _source_paths(config: Any) -> list[str]:
    paths = [str(p) for p in config.getini("tcl_source")]
    # Relative to where pytest was started, whatever a test does to the
    # working directory.
    start = config.invocation_params.dir
    paths += [os.path.join(start, p) for p in config.getoption("tcl_source", None) or ()]
    return paths


def _source_files(config: Any, interp: Any) -> None:
    for path in _source_paths(config):
        try:
            interp.tk.call("source", path)
        except TclError as exc:
            raise TclError("error sourcing %s (--tcl-source): %s" % (path, exc)) from exc


def _timeout(item: Any) -> float:
    marker = item.get_closest_marker("tcl_timeout")
    if marker is not None:
        if len(marker.args) != 1 or marker.kwargs:
            raise TypeError("tcl_timeout marker takes one argument, the seconds (0 or None: no limit)")
        seconds = marker.args[0]
        if seconds is None:
            return 0.0
        return _seconds(str(seconds))
    option = item.config.getoption("tcl_timeout", None)
    if option is not None:
        return float(option)
    return _seconds(item.config.getini("tcl_timeout") or "0")


def _shared_interpreter() -> Any:
    module = sys.modules.get("trivex.tcl.interpreter")
    return getattr(module, "_global_interpreter", None)


def _flush_events(interp: Any) -> None:
    """Run the events already due, so that errors they raise are counted.
    A bounded number: a handler that keeps rescheduling itself must not
    hold the run."""
    import _tkinter

    try:
        for _ in range(1000):
            if not interp.tk.dooneevent(_tkinter.ALL_EVENTS | _tkinter.DONT_WAIT):
                break
    except (TclError, RuntimeError):
        # The test destroyed its interpreter: nothing left to run.
        pass


def _hide_background_failure(info: Any) -> bool:
    return type(info.value).__name__ == "TclBackgroundError"


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: Any) -> Any:
    # A failure for background errors is raised here, and only these frames
    # would show; for the test's own failures they add nothing either.
    __tracebackhide__ = _hide_background_failure
    funcargs = getattr(item, "funcargs", None)
    if funcargs is None:
        # Items of other kinds (tcltest files) apply the limit themselves.
        return (yield)
    arrived: list[Any] = []
    try:
        return (yield from _limited_call(item, funcargs.get("tcl_interp"), arrived))
    except TclError as exc:
        code = getattr(getattr(item, "function", None), "__code__", None)
        if isinstance(exc, TimeoutError) and arrived and not _has_frame(exc.__traceback__, code):
            # Raised as the time limit's block ended: shown where the test
            # was when its evaluation was cancelled, not in the plugin.
            exc.__suppress_context__ = True
            raise exc.with_traceback(arrived[0])
        raise


def _has_frame(tb: Any, code: Any) -> bool:
    while tb is not None:
        if tb.tb_frame.f_code is code:
            return True
        tb = tb.tb_next
    return False


def _limited_call(item: Any, interp: Any, arrived: list[Any]) -> Any:
    """Run the test under its time limit and background-error check; the
    traceback of an exception from the test goes into ``arrived``, before
    the context managers' exits replace it."""
    seconds = _timeout(item)
    with ExitStack() as stack:
        if seconds > 0:
            from .testing import time_limit

            # The shared interpreter too: a test may use it directly or
            # through package functions, with or without a tcl_interp.
            from .interpreter import _global_interpreter

            for target in (interp, _global_interpreter):
                if target is not None:
                    stack.enter_context(time_limit(seconds, tcl=target))
        if interp is not None and item.get_closest_marker("tcl_allow_background_errors") is None:
            from .testing import background_errors

            stack.enter_context(background_errors(tcl=interp))
            result = yield from _arrival(arrived)
            _flush_events(interp)
            try:
                stack.close()
            except TclError as exc:
                # The test passed: its background errors are the failure.
                raise exc.with_traceback(None) from None
            return result
        return (yield from _arrival(arrived))


def _arrival(arrived: list[Any]) -> Any:
    try:
        return (yield)
    except BaseException as exc:
        arrived.append(exc.__traceback__)
        raise


# --- failure reports ---------------------------------------------------------


def _tcl_error_in(exc: Optional[BaseException]) -> Optional[TclError]:
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, TclError):
            return exc
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return None


def _history_entry(entry: Any) -> str:
    if isinstance(entry, str):
        text = entry
    else:
        try:
            text = _text(list(entry))
        except Exception:
            text = repr(entry)
    if len(text) > 300:
        text = text[:300] + " ..."
    return text.replace("\n", "\n       ")


def tcl_error_report(exc: TclError, interp: Any = None) -> str:
    """The text of the "Tcl error" report section for ``exc``."""
    lines = []
    code = getattr(exc, "errorcode", None)
    if code is not None:
        lines.append("error code: %s" % _text(list(code)))
    info = getattr(exc, "errorinfo", None)
    if info is None:
        info = str(exc.args[0]) if exc.args else str(exc)
    lines.append("Tcl stack (errorInfo):")
    lines.extend("    " + line for line in str(info).splitlines())
    history = getattr(interp, "history", None) if interp is not None else None
    if history:
        entries = list(history)[-HISTORY_SHOWN:]
        lines.append("last Tcl commands (newest last):")
        for i, entry in enumerate(entries, len(history) - len(entries) + 1):
            lines.append("  %4d  %s" % (i, _history_entry(entry)))
    return "\n".join(lines)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item: Any, call: Any) -> Any:
    report = yield
    if call.excinfo is not None and report.failed:
        exc = _tcl_error_in(call.excinfo.value)
        if exc is not None:
            interp = getattr(item, "funcargs", {}).get("tcl_interp")
            if interp is None:
                interp = getattr(item, "tcl_interp", None)
            if interp is None:
                interp = _shared_interpreter()
            report.sections.append(("Tcl error (%s)" % call.when, tcl_error_report(exc, interp)))
    return report


def _ours(value: Any) -> bool:
    return isinstance(value, Mapping) and type(value).__module__.startswith("trivex.tcl")


def _short(value: Any, width: int = 70) -> str:
    text = repr(value)
    return text if len(text) <= width else text[: width - 4] + "...)"


def _mapping_diff(left: Mapping[Any, Any], right: Mapping[Any, Any], prefix: str, out: dict[str, list[Any]]) -> None:
    lkeys, rkeys = list(left.keys()), list(right.keys())
    rset = set(rkeys)
    lset = set(lkeys)
    for key in lkeys:
        name = prefix + str(key) if prefix else key
        if key not in rset:
            out["extra"].append(name)
            continue
        a, b = left[key], right[key]
        if isinstance(a, Mapping) and isinstance(b, Mapping) and not a == b:
            _mapping_diff(a, b, "%s." % (prefix + str(key)), out)
        elif a != b:
            out["differ"].append((name, a, b))
    for key in rkeys:
        if key not in lset:
            out["missing"].append(prefix + str(key) if prefix else key)


def pytest_assertrepr_compare(config: Any, op: str, left: Any, right: Any) -> Optional[list[str]]:
    """Explain ``==`` between the package's mappings (arrays, keyed lists,
    namespace views) and other mappings key by key."""
    if op != "==" or not (_ours(left) or _ours(right)):
        return None
    if not (isinstance(left, Mapping) and isinstance(right, Mapping)):
        return None
    out: dict[str, list[Any]] = {"extra": [], "missing": [], "differ": []}
    try:
        _mapping_diff(left, right, "", out)
    except Exception:
        # A mapping that cannot be read through: pytest's own text will do.
        return None
    lines = ["%s == %s" % (_short(left), _short(right))]
    if out["extra"]:
        lines.append("Extra keys on the left: " + ", ".join(map(repr, out["extra"])))
    if out["missing"]:
        lines.append("Missing keys on the left (only on the right): " + ", ".join(map(repr, out["missing"])))
    if out["differ"]:
        lines.append("Differing values:")
        for name, a, b in out["differ"]:
            note = ""
            if type(a) is not type(b) and str(a) == str(b):
                note = "  (same text, %s vs %s)" % (type(a).__name__, type(b).__name__)
            lines.append("  %r: %s != %s%s" % (name, _short(a, 40), _short(b, 40), note))
    if len(lines) == 1:
        lines.append("Same keys and values, yet not equal (compare the types of the two mappings)")
    return lines


# --- tcltest files -------------------------------------------------------------


def _tcltest_globs(config: Any) -> list[str]:
    globs = list(config.getini("tcltest_files"))
    if config.getoption("tcltest", False) and not globs:
        globs = ["*.test"]
    return globs


def _matches(path: Any, globs: list[str]) -> bool:
    for glob in globs:
        if os.sep not in glob and "/" not in glob:
            if fnmatch.fnmatch(path.name, glob):
                return True
        elif path.match(glob) or fnmatch.fnmatch(str(path), glob):
            return True
    return False


def pytest_collect_file(file_path: Any, parent: Any) -> Any:
    globs = _tcltest_globs(parent.config)
    # A .test file named on the command line is collected as such, as pytest
    # does for a Python file its patterns would not pick.
    named = file_path.suffix == ".test" and parent.session.isinitpath(file_path)
    if named or (globs and _matches(file_path, globs)):
        from ._tcltest_plugin import TcltestFile

        return TcltestFile.from_parent(parent, path=file_path)
    return None
