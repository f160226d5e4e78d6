"""Tools for testing Tcl code from Python: time limits, Ctrl-C, background
errors and mock commands.

Every function takes ``tcl=None``, meaning the shared interpreter
(``trivex.tcl.interpreter._global_interpreter``); pass an ``Interpreter``
(or any ``tkinter.Tk``) to work on another one.

- ``time_limit(seconds)``: a Tcl evaluation still running at the deadline is
  cancelled (through ``catch``, inside ``vwait``, ``update``, ``after`` and
  endless loops) and the block raises ``TclTimeoutError``.
- Ctrl-C during a Tcl evaluation in the main thread cancels it and raises
  ``KeyboardInterrupt``; the interpreter stays usable.  Importing this module
  turns that on (the pytest plugin and the ``python -m trivex.tcl`` prompt
  do); ``enable_interrupts()`` does it explicitly.
- ``background_errors()``: collects Tcl background errors in a block and
  fails the block if any are left.
- ``mock_command(name)``: replaces a Tcl command for the block and records its
  calls, restoring the original exactly afterwards.

Examples:
    >>> from trivex.tcl.testing import time_limit, mock_command
    >>> with mock_command("clock", return_value="0") as clock:
    ...     trivex.tcl.eval("clock seconds")
    '0'
    >>> clock.calls
    [('seconds',)]
"""

from __future__ import annotations

import atexit
import itertools
import signal
import threading
import tkinter
from collections.abc import Iterable, Iterator
from tkinter import TclError
from typing import Any, Literal, Optional

from . import _tclerror
from . import _testing as _c
from .quotify import quotify

__all__ = [
    "TclTimeoutError",
    "TclBackgroundError",
    "time_limit",
    "background_errors",
    "mock_command",
    "CommandMock",
    "enable_interrupts",
]


class TclTimeoutError(TclError, TimeoutError):
    """A Tcl evaluation was cancelled at the deadline of a ``time_limit``."""


class TclBackgroundError(TclError):
    """Tcl background errors were left at the end of a ``background_errors``
    block.  ``errors`` holds them, each a ``TclError`` with the structured
    fields (``result``, ``errorcode``, ``errorinfo``, ...)."""

    errors: list[TclError]


def _interpreter(tcl: Any) -> Any:
    if tcl is None:
        from .interpreter import _global_interpreter

        return _global_interpreter
    return tcl


def _tkapp(tcl: Any) -> Any:
    tcl = _interpreter(tcl)
    return getattr(tcl, "tk", tcl)


# -- Ctrl-C -----------------------------------------------------------------------------


_previous_sigint: Any = None


_deferred_interrupt = False
_EXIT_CODES: set[Any] = set()  # the code of the blocks' __exit__ (below)


def _inside_exit(frame: Any) -> bool:
    for _ in range(4):
        if frame is None:
            return False
        if frame.f_code in _EXIT_CODES:
            return True
        frame = frame.f_back
    return False


def _raise_deferred_interrupt() -> None:
    global _deferred_interrupt
    if _deferred_interrupt:
        _deferred_interrupt = False
        raise KeyboardInterrupt


def _on_sigint(signum: int, frame: Any) -> Any:
    global _deferred_interrupt
    _c.sigint_handled()
    # A cancelled evaluation returns straight into the __exit__ of the block
    # around it, where Python runs this first: the block's clean-up (a mock
    # to restore, a limit to clear) must not be skipped, so the
    # KeyboardInterrupt is raised at the end of that __exit__.
    if _inside_exit(frame):
        _deferred_interrupt = True
        return None
    previous = _previous_sigint
    if callable(previous):
        return previous(signum, frame)
    raise KeyboardInterrupt


def enable_interrupts() -> bool:
    """Make Ctrl-C cancel the Tcl evaluation running in the main thread.

    The evaluation is cancelled (past ``catch``, within half a second also in
    ``vwait``, ``update`` and ``after``) and Python raises
    ``KeyboardInterrupt`` as it does for Python code; the interpreter is
    usable again afterwards.  Python's own SIGINT handler keeps working: it
    is wrapped, not replaced.  Nothing happens outside the main thread, or
    when SIGINT is ignored or handled by a handler of your own (install
    yours afterwards and Ctrl-C no longer reaches Tcl).

    Returns:
        Whether the mechanism is in place now.
    """
    global _previous_sigint
    if threading.current_thread() is not threading.main_thread():
        return False
    if _c.sigint_active():
        return True
    current = signal.getsignal(signal.SIGINT)
    if current is _on_sigint:
        current = _previous_sigint
    elif current is not signal.default_int_handler:
        return False
    _previous_sigint = current
    signal.signal(signal.SIGINT, _on_sigint)
    _c.install_sigint(tkinter.Misc)
    return bool(_c.sigint_active())


atexit.register(_c.stop_watcher)


# -- time limits -----------------------------------------------------------------------


class _Block:
    """A block whose clean-up (`_exit`) always runs before a Ctrl-C that
    arrived while it ran is raised."""

    def _exit(self, exc: Optional[BaseException]) -> Literal[False]:
        raise NotImplementedError

    def __exit__(self, exc_type: Any, exc: Optional[BaseException], tb: Any) -> Literal[False]:
        try:
            return self._exit(exc)
        finally:
            _raise_deferred_interrupt()


class time_limit(_Block):
    """Context manager: cancel the block's Tcl evaluations at a deadline.

    A Tcl evaluation still running when ``seconds`` have passed is cancelled
    with Tcl's own cancellation, which no ``catch`` stops, and which also
    ends ``vwait``, ``update``, ``after`` waits and endless loops.  Once the
    deadline has passed, every Tcl evaluation in the block fails at once,
    also when the deadline passed while Python code ran.  The cancelled call
    (``eval``, ``j``, a ``TclCommand``, ...) raises ``TclTimeoutError`` with
    Tcl's ``TCL CANCEL`` error code; and if an evaluation met the deadline,
    the block raises ``TclTimeoutError`` too (chained from the cancelled
    evaluation's error), even when the block caught that error;
    the interpreter works normally after the block.  Limits nest: the earliest deadline
    wins.  Ctrl-C in the block raises ``KeyboardInterrupt`` from the block.

    Arguments:
        seconds: the time the block's Tcl work may take, a number >= 0; None
            means no limit.
        tcl: the interpreter (default: the shared one).

    Raises:
        TclTimeoutError: a Tcl evaluation of the block was cancelled.

    Examples:
        >>> with time_limit(0.2):
        ...     trivex.tcl.eval("vwait forever")
        Traceback (most recent call last):
        ...
        trivex.tcl.testing.TclTimeoutError: Tcl evaluation exceeded the time limit of 0.2 seconds
    """

    def __init__(self, seconds: Optional[float], tcl: Any = None) -> None:
        if seconds is not None:
            if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
                raise TypeError("seconds must be a number or None, not %s" % type(seconds).__name__)
            if not seconds >= 0:  # also NaN
                raise ValueError("seconds must be >= 0, not %r" % (seconds,))
        self.seconds = seconds
        self.tcl = tcl
        self._tk: Any = None
        self._id: Optional[int] = None

    @property
    def message(self) -> str:
        """The error message of this limit's timeout."""
        return "Tcl evaluation exceeded the time limit of %g seconds" % (self.seconds or 0)

    def __enter__(self) -> "time_limit":
        if self._tk is not None:
            raise RuntimeError("time_limit is not reentrant")
        self._tk = _tkapp(self.tcl)
        if self.seconds is not None:
            self._id = _c.add_limit(self._tk, float(self.seconds), self.message)
            _running_limits.append(self)
        return self

    def _exit(self, exc: Optional[BaseException]) -> Literal[False]:
        tk, self._tk = self._tk, None
        cancelled = False
        if self._id is not None:
            cancelled = _c.remove_limit(self._id)
            self._id = None
            _running_limits.remove(self)
        if _c.take_interrupt(tk):
            if not isinstance(exc, KeyboardInterrupt):
                raise KeyboardInterrupt from exc
            return False
        if cancelled and (exc is None or isinstance(exc, Exception)) and not isinstance(exc, TclTimeoutError):
            raise TclTimeoutError(self.message) from _tcl_error_in(exc)
        return False


_running_limits: list[time_limit] = []


def _cancellation_class(tk: Any, errorcode: tuple[str, ...]) -> type[TclError]:
    """TclTimeoutError if a running limit of ``tk`` made the cancellation
    with this -errorcode ({TCL CANCEL ... message}), else TclError."""
    for limit in _running_limits:
        if limit._tk is tk and errorcode[3:4] == (limit.message,):
            return TclTimeoutError
    return TclError


def _tcl_error_in(exc: Optional[BaseException]) -> Optional[BaseException]:
    """The TclError behind `exc` (the cancelled evaluation's), else `exc`."""
    seen = set()
    todo = [exc]
    while todo:
        e = todo.pop(0)
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        if isinstance(e, TclError):
            return e
        todo += [e.__cause__, e.__context__]
        todo += [a for a in e.args if isinstance(a, BaseException)]
    return exc


# -- background errors -----------------------------------------------------------------

_names = itertools.count()


class background_errors(_Block):
    """Context manager: collect the Tcl background errors of the block.

    Yields a list that receives every Tcl background error (an error in an
    ``after`` script or a file event, say) raised while the block runs, as a
    ``TclError`` with ``result``, ``errorcode``, ``errorinfo`` and the other
    fields.  If the list is not empty when the block ends without an
    exception, ``TclBackgroundError`` is raised showing each one's
    errorInfo; clear the list in the block to accept them.  The previous
    background-error handler is restored afterwards.

    Arguments:
        tcl: the interpreter (default: the shared one).

    Raises:
        TclBackgroundError: background errors were left in the list.

    Examples:
        >>> with background_errors() as errors:
        ...     trivex.tcl.eval("after 0 {error oops}; update")
        ...     [e.result for e in errors]
        ...     errors.clear()
        ['oops']
    """

    def __init__(self, tcl: Any = None) -> None:
        self.tcl = tcl
        self.errors: list[TclError] = []
        self._tk: Any = None
        self._saved: Any = None
        self._command = ""

    def _handler(self, message: str, options: str) -> str:
        try:
            self.errors.append(_tclerror.from_options(self._tk_for_handler, message, options))
        except Exception as exc:  # an exception here would be lost in tkinter
            self.errors.append(_tclerror.make(str(message), str(message), cls=TclError))
            self.errors[-1].__cause__ = exc
        return ""

    def __enter__(self) -> list[TclError]:
        if self._tk is not None:
            raise RuntimeError("background_errors is not reentrant")
        tk = _tkapp(self.tcl)
        self._tk_for_handler = tk
        self._command = "::__trivex__bgerror_%d_%d" % (id(self), next(_names))
        self._saved = tk.call("interp", "bgerror", "")
        tk.createcommand(self._command, self._handler)
        tk.call("interp", "bgerror", "", self._command)
        self._tk = tk
        self.errors = []
        return self.errors

    def _exit(self, exc: Optional[BaseException]) -> Literal[False]:
        tk, self._tk = self._tk, None
        try:
            tk.call("interp", "bgerror", "", self._saved)
        finally:
            try:
                tk.deletecommand(self._command)
            except TclError:
                pass
        if exc is None and self.errors:
            errors = list(self.errors)
            parts = ["%d Tcl background error%s:" % (len(errors), "" if len(errors) == 1 else "s")]
            for i, err in enumerate(errors, 1):
                parts.append("--- background error %d ---\n%s" % (i, getattr(err, "errorinfo", str(err))))
            first = errors[0]
            err = _tclerror.make(
                "\n".join(parts),
                getattr(first, "result", str(first)),
                errorcode=getattr(first, "errorcode", ("NONE",)),
                errorline=getattr(first, "errorline", 0),
                errorstack=getattr(first, "errorstack", ()),
                cls=TclBackgroundError,
            )
            assert isinstance(err, TclBackgroundError)
            err.errors = errors
            raise err
        return False


# -- mock commands ---------------------------------------------------------------------


def _error_parts(exc: BaseException) -> tuple[str, Optional[str]]:
    """(message, -errorcode as Tcl list text or None) of an exception raised
    by a mock's side effect."""
    message = getattr(exc, "result", None)
    if not isinstance(message, str):
        message = str(exc.args[0]) if isinstance(exc, TclError) and exc.args else str(exc)
    code = getattr(exc, "errorcode", None)
    if code is None:
        return message, None
    if isinstance(code, str):
        return message, code
    return message, quotify(tuple(str(w) for w in code))


_c.set_error_parts(_error_parts)


class CommandMock:
    """The recorder of a mocked Tcl command (see ``mock_command``).

    Attributes:
        name: the command's fully qualified name.
        calls: one tuple per call, of the str words after the command name.
        return_value: the result of a call when there is no side effect.
        side_effect: a callable, an exception (class or instance) or an
            iterable of results; see ``mock_command``.
    """

    def __init__(self, name: str, return_value: Any = "", side_effect: Any = None) -> None:
        self.name = name
        self.calls: list[tuple[str, ...]] = []
        self.return_value = return_value
        self.side_effect = side_effect

    @property
    def side_effect(self) -> Any:
        return self._side_effect

    @side_effect.setter
    def side_effect(self, value: Any) -> None:
        self._side_effect = value
        self._results: Optional[Iterator[Any]] = None
        if value is not None and not callable(value) and not isinstance(value, BaseException):
            if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
                raise TypeError("side_effect must be a callable, an exception or an iterable, not %r" % (value,))
            self._results = iter(value)

    @property
    def call_count(self) -> int:
        """How many times the command was called."""
        return len(self.calls)

    def __call__(self, words: tuple[str, ...]) -> str:
        self.calls.append(words)
        effect = self._side_effect
        if effect is None:
            result = self.return_value
        elif isinstance(effect, BaseException) or (isinstance(effect, type) and issubclass(effect, BaseException)):
            raise effect
        elif self._results is not None:
            try:
                result = next(self._results)
            except StopIteration:
                raise TclError("mock %s: no more results in side_effect" % self.name) from None
            if isinstance(result, BaseException) or (isinstance(result, type) and issubclass(result, BaseException)):
                raise result
        else:
            result = effect(*words)
        return result if type(result) is str else quotify(result)

    def reset_mock(self) -> None:
        """Forget the recorded calls."""
        self.calls.clear()

    def _describe(self, words: tuple[str, ...]) -> str:
        return "%s(%s)" % (self.name, ", ".join(repr(w) for w in words))

    def assert_called(self) -> None:
        """Raise AssertionError unless the command was called."""
        if not self.calls:
            raise AssertionError("Expected '%s' to have been called." % self.name)

    def assert_not_called(self) -> None:
        """Raise AssertionError if the command was called."""
        if self.calls:
            raise AssertionError(
                "Expected '%s' to not have been called. Called %d times.\nCalls: %s"
                % (self.name, len(self.calls), [self._describe(c) for c in self.calls])
            )

    def assert_called_with(self, *words: Any) -> None:
        """Raise AssertionError unless the last call had exactly these words
        (compared as str)."""
        expected = tuple(str(w) for w in words)
        if not self.calls:
            raise AssertionError("expected call not found.\nExpected: %s\nActual: not called." % self._describe(expected))
        if self.calls[-1] != expected:
            raise AssertionError(
                "expected call not found.\nExpected: %s\nActual: %s"
                % (self._describe(expected), self._describe(self.calls[-1]))
            )

    def assert_called_once_with(self, *words: Any) -> None:
        """Raise AssertionError unless the command was called exactly once,
        with these words."""
        if len(self.calls) != 1:
            raise AssertionError(
                "Expected '%s' to be called once. Called %d times.\nCalls: %s"
                % (self.name, len(self.calls), [self._describe(c) for c in self.calls])
            )
        self.assert_called_with(*words)

    def __repr__(self) -> str:
        return "<CommandMock %s calls=%d>" % (self.name, len(self.calls))


def _exists(tk: Any, qualified: str) -> bool:
    return bool(tk.call("namespace", "which", "-command", qualified))


class mock_command(_Block):
    """Context manager: replace a Tcl command for the block, recording calls.

    The command (a proc, a command written in C or an alias, or a name that
    does not exist yet; relative names resolve as Tcl resolves them from the
    global namespace) is replaced by a mock whose calls are recorded in the
    yielded ``CommandMock``.  A call returns ``return_value``, unless
    ``side_effect`` is given: a callable is called with the words and its
    result is the command's result; an exception class or instance is raised
    into Tcl as an error (a ``TclError``'s ``errorcode`` becomes Tcl's
    ``-errorcode``); an iterable gives one result per call.  Results other
    than str are converted with ``quotify``.

    However the block ends, and even if it deleted or renamed the mock, the
    original command comes back exactly as it was (a proc with its
    arguments, defaults and body), and a name that did not exist is removed
    again.  Mocks nest.

    Arguments:
        name: the command's name, relative or qualified.
        return_value: what each call returns.
        side_effect: a callable, an exception or an iterable of results.
        tcl: the interpreter (default: the shared one).

    Examples:
        >>> with mock_command("::lib::send", return_value="ok") as send:
        ...     trivex.tcl.eval("lib::send a {b c}")
        ...     send.assert_called_once_with("a", "b c")
        'ok'
    """

    def __init__(self, name: str, return_value: Any = "", side_effect: Any = None, tcl: Any = None) -> None:
        if not isinstance(name, str) or not name.strip(":"):
            raise ValueError("a command name is needed, not %r" % (name,))
        self.name = name
        self.tcl = tcl
        self.mock = CommandMock(name, return_value, side_effect)
        self._tk: Any = None

    def _qualified(self, tk: Any) -> str:
        found = tk.call("namespace", "eval", "::", ("namespace", "which", "-command", self.name))
        if found:
            return str(found)
        return self.name if self.name.startswith("::") else "::" + self.name

    def __enter__(self) -> CommandMock:
        if self._tk is not None:
            raise RuntimeError("mock_command is not reentrant")
        tk = _tkapp(self.tcl)
        qualified = self._qualified(tk)
        self.mock.name = qualified
        ns, _, tail = qualified.rpartition("::")
        self._namespace_created = not tk.getboolean(tk.call("namespace", "exists", ns or "::"))
        self._aside = None
        self._proc = None
        if _exists(tk, qualified):
            self._aside = "%s::__trivex__mocked_%d_%d" % (ns, id(self), next(_names))
            try:
                args = tk.splitlist(tk.call("info", "args", qualified))
            except TclError:
                args = None  # not a proc
            if args is not None:
                params: list[tuple[Any, ...]] = []
                for arg in args:
                    if tk.getboolean(tk.call("info", "default", qualified, arg, "::__trivex__mock_default")):
                        params.append((arg, tk.getvar("::__trivex__mock_default")))
                    else:
                        params.append((arg,))
                tk.call("unset", "-nocomplain", "::__trivex__mock_default")
                self._proc = (params, tk.call("info", "body", qualified))
            tk.call("rename", qualified, self._aside)
        self._qualified_name = qualified
        try:
            _c.create_mock_command(tk, qualified, self.mock)
        except BaseException:
            self._restore(tk)
            raise
        self._tk = tk
        return self.mock

    def _restore(self, tk: Any) -> None:
        qualified = self._qualified_name
        # Whatever now has the name goes: the mock, or what the block put there.
        if _exists(tk, qualified):
            tk.call("rename", qualified, "")
        if self._aside is not None:
            if _exists(tk, self._aside):
                tk.call("rename", self._aside, qualified)
            elif self._proc is not None:
                params, body = self._proc
                tk.call("proc", qualified, quotify(params), body)
        elif self._namespace_created:
            ns = qualified.rpartition("::")[0]
            if ns and tk.getboolean(tk.call("namespace", "exists", ns)):
                tk.call("namespace", "delete", ns)

    def _exit(self, exc: Optional[BaseException]) -> Literal[False]:
        tk, self._tk = self._tk, None
        self._restore(tk)
        return False


_EXIT_CODES.add(_Block.__exit__.__code__)


enable_interrupts()
