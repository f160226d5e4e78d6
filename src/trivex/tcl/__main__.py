"""Run Tcl through trivex.tcl from the command line.

    python -m trivex.tcl FILE [ARG ...]     run a Tcl script file
    python -m trivex.tcl -c SCRIPT [ARG ...]  run a Tcl script given as text
    python -m trivex.tcl                    an interactive prompt

Each runs in a new Interpreter (TclX loaded, initialisation hooks run) and
prints the result as Python sees it: the repr of Interpreter.cast_any of the
script's result.  Tcl's argv0, argv and argc are set from the command line.
A failing script prints Tcl's errorInfo and exits with status 1.

    python -m trivex.tcl --cov=PATH FILE    also measure Tcl line coverage of
                                            PATH (a file or directory) and
                                            report it on stderr at the end
"""

from __future__ import annotations

import argparse
import os
import sys
from tkinter import TclError
from typing import Optional, Sequence

from .interpreter import Interpreter
from .quotify import quotify
from .testing import time_limit  # importing it lets Ctrl-C cancel Tcl

HISTORY_FILE = os.path.join(os.path.expanduser("~"), ".trivex_tcl_history")


def _new_interpreter(argv0: str, args: Sequence[str]) -> Interpreter:
    interp = Interpreter()
    interp.set_var("::argv0", argv0)
    interp.set_list("::argv", list(args))
    interp.set_var("::argc", len(args))
    return interp


def _show(interp: Interpreter, result: str) -> None:
    if result != "":
        print(repr(interp.cast_any(result)))


def run_script(interp: Interpreter, script: str) -> int:
    try:
        with time_limit(None, tcl=interp):  # Ctrl-C: KeyboardInterrupt from here
            result = interp.eval(script)
    except TclError as exc:
        print(exc.args[0] if exc.args else "Tcl error", file=sys.stderr)
        return 1
    _show(interp, result)
    return 0


def interact(interp: Interpreter) -> int:
    """Read Tcl commands (continued over lines until complete) and print
    their typed results, with readline editing and history."""
    try:
        import readline
    except ImportError:  # pragma: no cover - readline is there on Linux
        readline = None  # type: ignore[assignment]
    if readline is not None:
        try:
            readline.read_history_file(HISTORY_FILE)
        except OSError:
            pass
    print("trivex.tcl on Tcl %s; results are shown as Python values. End with Ctrl-D." % interp.eval(
        "info patchlevel", record=False))
    status = 0
    try:
        while True:
            try:
                line = input("% ")
                while not interp.tk.call("info", "complete", line + "\n"):
                    line += "\n" + input("> ")
            except EOFError:
                print()
                break
            except KeyboardInterrupt:
                print()
                continue
            if not line.strip():
                continue
            try:
                with time_limit(None, tcl=interp):  # Ctrl-C: KeyboardInterrupt from here
                    _show(interp, interp.eval(line))
                status = 0
            except KeyboardInterrupt:
                print("KeyboardInterrupt", file=sys.stderr)
                status = 1
            except TclError as exc:
                print(exc.args[0] if exc.args else "Tcl error", file=sys.stderr)
                status = 1
    finally:
        if readline is not None:
            try:
                readline.write_history_file(HISTORY_FILE)
            except OSError:
                pass
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m trivex.tcl",
        description="Run Tcl in a trivex.tcl Interpreter and print results as Python values.",
    )
    parser.add_argument("-c", dest="command", metavar="SCRIPT", help="the Tcl script to run, as text")
    parser.add_argument("file", nargs="?", help="a Tcl script file to run")
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
    from .coverage import REPORT_TYPES, TclCoverage

    reports = []
    for spec in ns.cov_report or ["term-missing"]:
        kind, _, dest = spec.partition(":")
        if kind not in REPORT_TYPES:
            parser.error("--cov-report: unknown report type %r (expected one of %s)" % (kind, ", ".join(REPORT_TYPES)))
        reports.append((kind, dest or (sys.stderr if kind.startswith("term") else None)))
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
        return run_script(_new_interpreter(sys.argv[0], args), ns.command)
    if ns.file is not None:
        interp = _new_interpreter(ns.file, ns.args)
        return run_script(interp, "source " + quotify([ns.file]))
    return interact(_new_interpreter(sys.argv[0], []))


if __name__ == "__main__":
    sys.exit(main())
