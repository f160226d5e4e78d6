"""Files written for Tcl's ``tcltest`` package, as pytest items.

How a file is run, and why so:

Collection sources the file into a fresh ``Interpreter`` in which
``tcltest::test`` only records its name, description, line and constraints,
so that collecting is cheap and runs no test body, while the file's own
top-level code (``testConstraint``, ``configure``, helper procs) still runs.

Running sources the file once more, for real, into another fresh
``Interpreter``, inside a Tcl coroutine.  ``tcltest::test`` is then a
dispatcher: a test that pytest selected runs through the real
``tcltest::test``, called from the very frame the file called it from (so
loop variables, namespaces and procs defined between tests are as the file
left them); a test pytest deselected is passed over.  After each selected
test the dispatcher yields back to Python, so that each pytest item runs its
own test's body, with the file's top-level code in between.  Where the C
stack cannot yield (a test called from inside a command that is not
coroutine-aware), the test still runs in place and its result waits for its
item.  tcltest reports into a channel of ours, whose text the failing item
shows; its pass, fail and skip counters tell each test's outcome.
"""

from __future__ import annotations

from contextlib import ExitStack
from tkinter import TclError
from typing import Any, Optional

import pytest

__all__ = ["TcltestFile", "TcltestItem", "TcltestFailure", "record_tests"]

# Common to both passes: tcltest loaded, its reports sent into a variable,
# and exit made harmless (the file runs inside the pytest process).
_PREAMBLE = r"""
package require tcltest 2
namespace eval ::trivex::tcltest {
    variable out ""
    variable recorded {}
    variable done {}
    proc sink {cmd chan args} {
        variable out
        switch -- $cmd {
            initialize {return {initialize finalize watch write}}
            write {
                append out [lindex $args 0]
                return [string length [lindex $args 0]]
            }
        }
        return
    }
    proc count {what} {
        if {[info exists ::tcltest::numTests($what)]} {
            return $::tcltest::numTests($what)
        }
        return 0
    }
    proc want {name n} {
        variable wanted
        set wanted([list $name $n]) 1
    }
    proc take {} {
        variable done
        set result $done
        set done {}
        return $result
    }
    variable channel [chan create write [namespace current]::sink]
    chan configure $channel -buffering none -translation lf -encoding utf-8
}
# Configuring first: tcltest's first configuration resets its channels.
# The variables are set directly, as tcltest's setters take a file name.
::tcltest::configure -verbose {body error}
set ::tcltest::outputChannel $::trivex::tcltest::channel
set ::tcltest::errorChannel $::trivex::tcltest::channel
proc ::exit {{status 0}} {
    return -code error -errorcode [list TRIVEX EXIT $status] "exit $status called by the test file"
}
proc ::trivex::tcltest::source_file {file} {
    set code [catch {uplevel #0 [list source $file]} msg opts]
    if {$code == 1 && [lrange [dict get $opts -errorcode] 0 1] ne {TRIVEX EXIT}} {
        return [list end 1 [dict get $opts -errorinfo]]
    }
    return [list end 0 {}]
}
"""

_RECORDER = r"""
proc ::tcltest::test {name description args} {
    set line 0
    catch {
        set frame [info frame -1]
        if {[dict get $frame type] eq "source"} {
            set line [dict get $frame line]
        }
    }
    set constraints {}
    catch {
        if {[string match -* [lindex $args 0]] || [llength $args] <= 1} {
            set options [expr {[llength $args] == 1 ? [lindex $args 0] : $args}]
            if {[dict exists $options -constraints]} {
                set constraints [dict get $options -constraints]
            }
        } elseif {[llength $args] == 3} {
            set constraints [lindex $args 0]
        }
    }
    lappend ::trivex::tcltest::recorded [list $name $description $line $constraints]
    return
}
"""

_DISPATCHER = r"""
rename ::tcltest::test ::tcltest::TrivexRealTest
proc ::tcltest::test {name args} {
    namespace upvar ::trivex::tcltest seen seen wanted wanted done done out out
    set n [incr seen($name)]
    if {![info exists wanted([list $name $n])]} {
        return
    }
    set passed [::trivex::tcltest::count Passed]
    set failed [::trivex::tcltest::count Failed]
    set skipped [::trivex::tcltest::count Skipped]
    array set because [array get ::tcltest::skippedBecause]
    set out ""
    set code [catch {uplevel 1 [list ::tcltest::TrivexRealTest $name {*}$args]} msg opts]
    set detail {}
    if {$code == 1} {
        set outcome error
        set detail $msg
    } elseif {[::trivex::tcltest::count Failed] > $failed} {
        set outcome failed
    } elseif {[::trivex::tcltest::count Skipped] > $skipped} {
        set outcome skipped
        foreach {constraint times} [array get ::tcltest::skippedBecause] {
            if {![info exists because($constraint)] || $times > $because($constraint)} {
                lappend detail $constraint
            }
        }
    } elseif {[::trivex::tcltest::count Passed] > $passed} {
        set outcome passed
    } else {
        set outcome unknown
    }
    lappend done [list $name $n $outcome $detail [encoding convertfrom utf-8 $out]]
    set out ""
    # Only our own coroutine is yielded; a test inside a coroutine of the
    # file's, or below a command that cannot yield, keeps its result queued.
    if {[info coroutine] eq "::trivex::tcltest::runner"} {
        catch {yield test}
    }
    return
}
"""


class TcltestFailure(Exception):
    """A tcltest test that failed, or could not be run; its text is what
    tcltest reported."""


def _new_interpreter() -> Any:
    from .interpreter import Interpreter

    return Interpreter()


def _dispose(interp: Any) -> None:
    try:
        interp.destroy()
    except (TclError, AttributeError):
        pass


def _own_frames_cut(errorinfo: str) -> str:
    """errorInfo without the frames of our own sourcing of the file."""
    cut = errorinfo.rfind('\n    invoked from within\n"source ')
    return errorinfo[:cut] if cut >= 0 else errorinfo


def record_tests(path: Any, seconds: float = 0) -> list[tuple[str, str, int, str]]:
    """The tests of the tcltest file ``path``, as (name, description, line,
    constraints), in the order the file defines them, without running them.

    Arguments:
        path: the file.
        seconds: a time limit for sourcing it (0: none).

    Raises:
        TclError: sourcing the file failed; the argument is Tcl's errorInfo.
            A ``TclTimeoutError`` when it ran past the time limit.
    """
    interp = _new_interpreter()
    try:
        tk = interp.tk
        tk.eval(_PREAMBLE)
        tk.eval(_RECORDER)
        with ExitStack() as stack:
            if seconds > 0:
                from .testing import time_limit

                stack.enter_context(time_limit(seconds, tcl=interp))
            end = tk.splitlist(tk.call("::trivex::tcltest::source_file", str(path)))
        if str(end[1]) != "0":
            raise TclError(_own_frames_cut(str(end[2])))
        records = []
        for record in tk.splitlist(tk.call("set", "::trivex::tcltest::recorded")):
            name, description, line, constraints = (str(w) for w in tk.splitlist(record))
            records.append((name, description, int(line), constraints))
        return records
    finally:
        _dispose(interp)


class _FileRun:
    """One real run of a tcltest file, advanced test by test."""

    def __init__(self, path: Any, wanted: list[tuple[str, int]]) -> None:
        self.interp = _new_interpreter()
        self.results: dict[tuple[str, int], tuple[str, Any, str]] = {}
        self.ended = False
        self.error: Optional[str] = None
        self.error_shown = False
        tk = self.interp.tk
        tk.eval(_PREAMBLE)
        tk.eval(_DISPATCHER)
        for name, n in wanted:
            tk.call("::trivex::tcltest::want", name, n)
        tk.call(
            "coroutine",
            "::trivex::tcltest::runner",
            "apply",
            "{file} {yield; ::trivex::tcltest::source_file $file}",
            str(path),
        )

    def _take(self) -> None:
        tk = self.interp.tk
        for entry in tk.splitlist(tk.call("::trivex::tcltest::take")):
            name, n, outcome, detail, output = tk.splitlist(entry)
            self.results[(str(name), int(n))] = (str(outcome), detail, str(output))

    def step(self, during: str = "") -> None:
        """Run the file on to its next selected test, or to its end."""
        tk = self.interp.tk
        try:
            answer = tk.splitlist(tk.call("::trivex::tcltest::runner"))
        except BaseException as exc:
            # Cancelled (a time limit, Ctrl-C): the coroutine is gone.
            self.ended = True
            self.error = "the file was stopped %s(%s)" % (during, exc)
            self._take()
            raise
        self._take()
        if answer and str(answer[0]) == "end":
            self.ended = True
            if str(answer[1]) != "0":
                self.error = _own_frames_cut(str(answer[2]))

    def result(self, key: tuple[str, int]) -> Optional[tuple[str, Any, str]]:
        while key not in self.results and not self.ended:
            self.step("during test %s " % (key[0],))
        return self.results.get(key)

    def finish(self) -> None:
        # The file's remaining code runs, but none of its remaining tests:
        # after -x or Ctrl-C, pytest has stopped asking for them.
        try:
            if not self.ended:
                self.interp.tk.eval("array unset ::trivex::tcltest::wanted")
            while not self.ended:
                self.step()
        finally:
            try:
                self.interp.tk.eval("catch {close $::trivex::tcltest::channel}")
            except TclError:
                pass
            _dispose(self.interp)


def _skip(reason: str) -> None:
    # Reported at the test's line in the .test file, not at this one.
    try:
        raise pytest.skip.Exception(reason, _use_item_location=True)
    except TypeError:
        pytest.skip(reason)


class TcltestFile(pytest.File):
    """A file of tcltest tests; each test is a :class:`TcltestItem`."""

    run: Optional[_FileRun] = None

    def collect(self) -> Any:
        from .pytest_plugin import _timeout

        try:
            records = record_tests(self.path, _timeout(self))
        except TclError as exc:
            detail = str(exc.args[0]) if exc.args else ""
            if type(exc) is not TclError:
                detail = "%s: %s" % (type(exc).__name__, detail)
            raise self.CollectError("error sourcing tcltest file %s:\n%s" % (self.path, detail)) from None
        counts: dict[str, int] = {}
        for name, description, line, constraints in records:
            n = counts[name] = counts.get(name, 0) + 1
            yield TcltestItem.from_parent(
                self,
                name=name if n == 1 else "%s[%d]" % (name, n),
                key=(name, n),
                description=description,
                line=line,
                constraints=constraints,
            )

    def file_run(self) -> _FileRun:
        if self.run is None:
            wanted = [item.key for item in self.session.items if isinstance(item, TcltestItem) and item.parent is self]
            self.run = _FileRun(self.path, wanted)
        return self.run

    def teardown(self) -> None:
        run, self.run = self.run, None
        if run is None:
            return
        run.finish()
        if run.error and not run.error_shown and not run.error.startswith("the file was stopped"):
            raise TcltestFailure("the rest of tcltest file %s failed:\n%s" % (self.path, run.error))


class TcltestItem(pytest.Item):
    """One ``test`` of a tcltest file."""

    def __init__(
        self, *, key: tuple[str, int], description: str, line: int, constraints: str, **kwargs: Any
    ) -> None:
        super().__init__(**kwargs)
        self.key = key
        self.description = description
        self.line = line
        self.constraints = constraints
        if constraints:
            # So that -k can pick tests by their tcltest constraints too.
            self.extra_keyword_matches.update(str(c) for c in constraints.split())

    @property
    def file(self) -> TcltestFile:
        """The file node this test belongs to."""
        assert isinstance(self.parent, TcltestFile)
        return self.parent

    @property
    def tcl_interp(self) -> Any:
        """The interpreter the file runs in (while it runs)."""
        run = self.file.run
        return run.interp if run is not None else None

    def runtest(self) -> None:
        from .pytest_plugin import _timeout

        run = self.file.file_run()
        seconds = _timeout(self)
        with ExitStack() as stack:
            if seconds > 0:
                from .testing import time_limit

                stack.enter_context(time_limit(seconds, tcl=run.interp))
            result = run.result(self.key)
        if result is None:
            if run.error:
                run.error_shown = True
                raise TcltestFailure("the file stopped before test %s ran:\n%s" % (self.key[0], run.error))
            raise TcltestFailure("test %s was not reached when the file ran" % (self.key[0],))
        outcome, detail, output = result
        if outcome == "passed":
            if output:
                self.add_report_section("call", "tcltest", output)
            return
        if outcome == "skipped":
            constraints = [str(c) for c in run.interp.tk.splitlist(detail)] if detail else []
            if constraints:
                _skip("unmet constraints: %s" % ", ".join(constraints))
            _skip("skipped by tcltest (its -skip or -match configuration)")
        if outcome == "error":
            raise TcltestFailure("test %s could not run: %s%s" % (self.key[0], detail, "\n" + output if output else ""))
        if outcome == "unknown":
            # tcltest's counters did not move: the test reset them itself.
            raise TcltestFailure("tcltest reported no outcome for test %s%s" % (self.key[0], "\n" + output if output else ""))
        raise TcltestFailure(output.strip("\n") or "test %s failed" % (self.key[0],))

    def repr_failure(self, excinfo: Any, style: Any = None) -> Any:
        if isinstance(excinfo.value, TcltestFailure):
            return str(excinfo.value)
        if isinstance(excinfo.value, TclError):
            # A time limit or a broken interpreter: the Python frames
            # between here and Tcl are the plugin's, of no use to the reader.
            return "%s: %s" % (type(excinfo.value).__name__, excinfo.value)
        return super().repr_failure(excinfo, style=style)

    def reportinfo(self) -> tuple[Any, Optional[int], str]:
        return self.path, self.line - 1 if self.line else None, "%s: %s" % (self.key[0], self.description)
