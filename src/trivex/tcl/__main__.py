"""Run Tcl through trivex.tcl from the command line.

    python -m trivex.tcl FILE [ARG ...]     run a Tcl script file
    python -m trivex.tcl - [ARG ...]        run the script read from standard input
    python -m trivex.tcl -c SCRIPT [ARG ...]  run a Tcl script given as text
    python -m trivex.tcl                    an interactive prompt

Each runs in a new Interpreter (TclX loaded, initialisation hooks run) and
prints the result as Python sees it: the repr of Interpreter.cast_any of the
script's result.  Tcl's argv0, argv and argc are set from the command line.
A failing script prints Tcl's errorInfo and exits with status 1; Tcl's
``exit ?returnCode?`` ends the run with that status.

    python -m trivex.tcl --cov=PATH FILE    also measure Tcl line coverage of
                                            PATH (a file or directory) and
                                            report it on stderr at the end
"""

from __future__ import annotations

import argparse
import ctypes
import os
import sys
from tkinter import TclError
from typing import Any, List, Optional, Sequence, Tuple

from .interpreter import Interpreter
from .quotify import quotify
from .testing import time_limit  # importing it lets Ctrl-C cancel Tcl

HISTORY_FILE = os.path.join(os.path.expanduser("~"), ".trivex_tcl_history")

#: How many commands the history file keeps.
HISTORY_LENGTH = 1000

# First line of a history file in which each command is one line, its
# backslashes and newlines escaped.  A file without it holds one command per
# line, as readline writes them.
_HISTORY_HEADER = "#trivex.tcl history 1"

# tkinter deletes Tcl's own exit, which would end the process from under
# Python.  This one records the status and unwinds every level of the
# script, catch included, as Tcl's exit ends everything.
_EXIT_PROC = """proc ::exit {{returnCode 0}} {
    incr returnCode 0
    %s $returnCode
}"""
_EXIT_HELPER = "::_trivex_tcl_exit"


class _Session:
    """An Interpreter set up for the command line, with a working exit."""

    def __init__(self, argv0: str, args: Sequence[str]) -> None:
        self.interp = interp = Interpreter()
        interp.set_var("::argv0", argv0)
        interp.set_list("::argv", list(args))
        interp.set_var("::argc", len(args))
        self.exit_status: Optional[int] = None
        self.failed = False
        self._unwinding = False
        self._can_cancel = interp.tk.call("package", "vsatisfies", interp.tk.call("info", "patchlevel"), "8.6")
        interp.tk.createcommand(_EXIT_HELPER, self._exit)
        interp.tk.eval(_EXIT_PROC % _EXIT_HELPER)

    def _exit(self, code: str) -> None:
        # What the system keeps of a status anyway; Python would refuse a
        # value beyond a C long.
        self.exit_status = int(code) & 0xFF
        if not self._can_cancel:
            # The error unwinds what does not catch it, and the status is
            # honoured when the script returns.
            raise TclError("exit")
        self._unwinding = True
        # The cancellation takes effect as this very call returns.
        self.interp.tk.call("interp", "cancel", "-unwind")

    def _after_exit(self) -> None:
        # A cancelled interpreter refuses every later script until told it
        # may run again; flushing Tcl's channels below needs it.
        if self._unwinding:
            self._unwinding = False
            reset = getattr(_tcl_library(), "TclResetCancellation", None)
            if reset is not None:
                reset(ctypes.c_void_p(self.interp.interpaddr()), 1)

    def evaluate(self, script: str) -> Optional[int]:
        """Run a script and print its result or its error.  Returns the
        status to end with when the script called exit, else None and sets
        `failed`."""
        self.failed = False
        try:
            with time_limit(None, tcl=self.interp):  # Ctrl-C: KeyboardInterrupt from here
                result = self.interp.eval(script)
        except Exception as exc:
            # Once exit has cancelled the script, even reading errorInfo
            # fails, with whatever error that read gives.
            if self.exit_status is not None:
                self._after_exit()
                return self.exit_status
            if not isinstance(exc, TclError):
                raise
            print(exc.args[0] if exc.args else "Tcl error", file=sys.stderr)
            self.failed = True
            return None
        if self.exit_status is not None:  # a caught exit, where Tcl cannot cancel
            return self.exit_status
        _show(self.interp, result)
        return None

    def finish(self, status: int) -> int:
        """Flush what Tcl has buffered for its channels, as Tcl does when
        it exits, and pass the status on."""
        try:
            self.interp.tk.eval("foreach c [chan names] {catch {flush $c}}")
        except TclError:
            pass
        sys.stdout.flush()
        return status


def _tcl_library() -> Any:
    from .internal import TclDLL

    return TclDLL


def _show(interp: Interpreter, result: str) -> None:
    if result != "":
        print(repr(interp.cast_any(result)))


def run_script(session: _Session, script: str) -> int:
    exited = session.evaluate(script)
    if exited is not None:
        return session.finish(exited)
    return session.finish(1 if session.failed else 0)


def _utf8_problem(exc: UnicodeDecodeError) -> str:
    return "byte 0x%02x at column %d" % (exc.object[exc.start], exc.start + 1)


class _LineReader:
    """Lines of standard input, without their newline.  A tty goes through
    input() and so readline; anything else is read as bytes, so that one
    line that is not UTF-8 costs that line only."""

    def __init__(self) -> None:
        self.interactive = sys.stdin.isatty() and sys.stdout.isatty()
        self.line_number = 0

    def __call__(self, prompt: str) -> str:
        self.line_number += 1
        if self.interactive:
            return input(prompt)
        sys.stdout.write(prompt)
        sys.stdout.flush()
        raw = sys.stdin.buffer.readline()
        if not raw:
            raise EOFError
        if raw.endswith(b"\n"):
            raw = raw[:-1]
        return raw.decode("utf-8")


def _load_history(readline: Any, path: str) -> None:
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except OSError:
        return
    escaped = bool(lines) and lines[0] == _HISTORY_HEADER
    for line in lines[1:] if escaped else lines:
        readline.add_history(_unescape(line) if escaped else line)


def _save_history(readline: Any, path: str) -> None:
    n = readline.get_current_history_length()
    entries = [readline.get_history_item(i) for i in range(max(1, n - HISTORY_LENGTH + 1), n + 1)]
    try:
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(_HISTORY_HEADER + "\n")
            for entry in entries:
                if entry is not None:
                    f.write(_escape(entry) + "\n")
    except OSError:
        pass


def _escape(entry: str) -> str:
    return entry.replace("\\", "\\\\").replace("\n", "\\n")


def _unescape(line: str) -> str:
    out: List[str] = []
    i = 0
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line):
            i += 1
            c = "\n" if line[i] == "n" else line[i]
        out.append(c)
        i += 1
    return "".join(out)


def interact(session: _Session) -> int:
    """Read Tcl commands (continued over lines until complete) and print
    their typed results, with readline editing and history."""
    read = _LineReader()
    readline: Any = None
    if read.interactive:
        try:
            import readline
        except ImportError:  # pragma: no cover - readline is there on Linux
            readline = None
    if readline is not None:
        # Each command goes in as one entry, however many lines it took.
        readline.set_auto_history(False)
        _load_history(readline, HISTORY_FILE)
    interp = session.interp
    print("trivex.tcl on Tcl %s; results are shown as Python values. End with Ctrl-D." % interp.eval(
        "info patchlevel", record=False))
    status = 0
    try:
        while True:
            command: Optional[str] = None
            try:
                command = read("% ")
                while not interp.tk.call("info", "complete", command + "\n"):
                    command += "\n" + read("> ")
            except EOFError:
                print()
                if command is not None and command.strip():
                    # Tcl reports what is missing, as it does for a file.
                    exited = session.evaluate(command)
                    if exited is not None:
                        return session.finish(exited)
                    status = 1
                break
            except KeyboardInterrupt:
                print()
                continue
            except UnicodeDecodeError as exc:
                print("input line %d is not valid UTF-8 (%s); %s dropped"
                      % (read.line_number, _utf8_problem(exc), "command" if command else "line"),
                      file=sys.stderr)
                status = 1
                continue
            if not command.strip():
                continue
            if readline is not None:
                readline.add_history(command)
            try:
                exited = session.evaluate(command)
            except KeyboardInterrupt:
                print("KeyboardInterrupt", file=sys.stderr)
                status = 1
                continue
            if exited is not None:
                return session.finish(exited)
            status = 1 if session.failed else 0
    finally:
        if readline is not None:
            _save_history(readline, HISTORY_FILE)
    return session.finish(status)


def _read_stdin_script() -> Optional[str]:
    data = sys.stdin.buffer.read()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        column = exc.start - (data.rfind(b"\n", 0, exc.start) + 1) + 1
        print("standard input is not valid UTF-8 (byte 0x%02x at line %d, column %d)"
              % (data[exc.start], line, column), file=sys.stderr)
        return None


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m trivex.tcl",
        description="Run Tcl in a trivex.tcl Interpreter and print results as Python values.",
    )
    parser.add_argument("-c", dest="command", metavar="SCRIPT", help="the Tcl script to run, as text")
    parser.add_argument("file", nargs="?", help="a Tcl script file to run; - reads it from standard input")
    parser.add_argument("args", nargs=argparse.REMAINDER, help="arguments for the script (Tcl's argv)")
    parser.add_argument("--cov", action="append", default=[], metavar="PATH",
                        help="measure Tcl line coverage of a Tcl file or of the Tcl files under a directory "
                        "(repeatable)")
    parser.add_argument("--cov-report", action="append", default=[], metavar="TYPE[:DEST]",
                        help="with --cov: term, term-missing (the default), lcov[:FILE] or xml[:FILE] (repeatable)")
    ns = parser.parse_args(argv)
    if ns.cov:
        return _run_with_coverage(parser, ns)
    return _run(ns)


def _run_with_coverage(parser: argparse.ArgumentParser, ns: argparse.Namespace) -> int:
    from .coverage import TclCoverage, parse_report_option

    reports: List[Tuple[str, Any]] = []
    for option in ns.cov_report or ["term-missing"]:
        try:
            kind, path = parse_report_option(option)
        except ValueError as exc:
            parser.error("--cov-report: %s" % exc)
        reports.append((kind, path or (sys.stderr if kind.startswith("term") else None)))
    try:
        cov = TclCoverage(ns.cov)
    except FileNotFoundError as exc:
        parser.error(str(exc))
    cov.start()
    try:
        return _run(ns)
    finally:
        # Also when the script leaves through SystemExit.
        cov.stop()
        for kind, dest in reports:
            cov.report(kind, dest)


def _run(ns: argparse.Namespace) -> int:
    if ns.command is not None:
        args = ([ns.file] if ns.file is not None else []) + ns.args
        return run_script(_Session(sys.argv[0], args), ns.command)
    if ns.file == "-":
        script = _read_stdin_script()
        if script is None:
            return 1
        return run_script(_Session("-", ns.args), script)
    if ns.file is not None:
        return run_script(_Session(ns.file, ns.args), "source " + quotify([ns.file]))
    return interact(_Session(sys.argv[0], []))


if __name__ == "__main__":
    sys.exit(main())
