"""trivex.tcl.testing: time limits, Ctrl-C, background errors, mock commands."""

import os
import subprocess
import sys
import textwrap
import time
from tkinter import TclError

import pytest

from trivex.tcl import testing
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclCommand
from trivex.tcl.quotify import quotify
from trivex.tcl.testing import (
    TclBackgroundError,
    TclTimeoutError,
    background_errors,
    mock_command,
    time_limit,
)


@pytest.fixture(scope="module")
def ip():
    return Interpreter()


# -- time limits ------------------------------------------------------------------------

HANGS = [
    "while 1 {}",
    "catch {while 1 {}}; set done 1",
    "while 1 {catch {update}}",
    "vwait ::forever",
    "after 100000",
    "while 1 {catch {after 20}}",
    "proc spin {} {while 1 {catch {incr ::n}}}; spin",
    "after 10 {set ::tick 1}; while 1 {vwait ::tick; after 10 {set ::tick 1}}",
]


RUNNERS = {
    "eval": lambda ip, script: ip.eval(script),
    "j": lambda ip, script: ip.j.eval(script),
    "TclCommand": lambda ip, script: TclCommand("eval", tcl=ip)(script),
}


@pytest.mark.parametrize("script", HANGS)
@pytest.mark.parametrize("via", RUNNERS)
def test_time_limit_cancels_past_catch_and_the_interpreter_recovers(ip, script, via):
    ip.eval("unset -nocomplain ::done")
    start = time.monotonic()
    with pytest.raises(TclTimeoutError, match="time limit of 0.2 seconds") as info:
        with time_limit(0.2, tcl=ip):
            RUNNERS[via](ip, script)
    assert time.monotonic() - start < 10
    assert isinstance(info.value, TimeoutError) and isinstance(info.value, TclError)
    # The cancelled call raised it itself, with Tcl's account of the failure.
    assert info.value.errorcode[:2] == ("TCL", "CANCEL")
    assert ip.eval("info exists ::done") == "0"  # the catch did not stop the unwinding
    assert ip.eval("expr {6 * 7}") == "42"
    assert ip.j.llength("a b c") == 3


def test_deadline_passed_in_python_makes_the_next_evaluation_fail_before_it_runs(ip):
    ip.eval("set ::side 0")
    with pytest.raises(TclTimeoutError):
        with time_limit(0.05, tcl=ip):
            time.sleep(1)  # long past the deadline, even for a watcher slowed by a loaded machine
            ip.eval("set ::side 1")
    assert ip.eval("set ::side") == "0"


def test_the_block_fails_only_if_an_evaluation_met_the_deadline(ip):
    other = Interpreter()
    with time_limit(0.05, tcl=ip):
        ip.eval("set a 1")
        time.sleep(0.2)  # slow Python, but no Tcl of this interpreter after the deadline
        other.eval("set b 1")
    with pytest.raises(TclTimeoutError):
        with time_limit(0.05, tcl=ip):
            time.sleep(1)
            with pytest.raises(TclTimeoutError):  # swallowed by the block ...
                ip.eval("set a 2")
    assert ip.eval("set a") == "1"  # ... yet the block fails


@pytest.mark.parametrize("inner, outer, fired", [(0.1, 30, 0.1), (30, 0.1, 0.1)])
def test_nested_limits_earliest_wins(ip, inner, outer, fired):
    with pytest.raises(TclTimeoutError, match="of %g seconds" % fired):
        with time_limit(outer, tcl=ip):
            with time_limit(inner, tcl=ip):
                ip.eval("vwait ::forever")
    assert ip.eval("set x ok") == "ok"


def test_no_deadline_reached_changes_nothing(ip):
    with time_limit(30, tcl=ip):
        assert ip.eval("expr {1 + 1}") == "2"
        with pytest.raises(TclError):
            ip.eval("error plain")
    with time_limit(None, tcl=ip), time_limit(float("inf"), tcl=ip):
        assert ip.eval("set y 1") == "1"


@pytest.mark.parametrize("bad, exc", [(-1, ValueError), ("1", TypeError), (True, TypeError), (float("nan"), ValueError)])
def test_time_limit_rejects_bad_seconds(bad, exc):
    with pytest.raises(exc):
        time_limit(bad)


def test_time_limit_in_a_worker_thread_with_its_own_interpreter():
    import threading

    result = {}

    def work():
        own = Interpreter()
        try:
            with time_limit(0.2, tcl=own):
                own.eval("while 1 {}")
        except TclTimeoutError:
            result["timeout"] = True
        result["after"] = own.eval("set z 3")
        del own  # a Tcl interpreter must be deleted by its own thread
        # A thread that used Tcl hands Tcl's per-thread data back as it ends,
        # as Tcl's own threads do; Python's threads never do it by themselves.
        from trivex.tcl.internal import TclDLL

        TclDLL.Tcl_FinalizeThread()

    t = threading.Thread(target=work)
    t.start()
    t.join(10)
    assert result == {"timeout": True, "after": "3"}


# -- Ctrl-C -----------------------------------------------------------------------------

CTRL_C = r"""
import os, signal, sys, threading, time
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.quotify import quotify
from trivex.tcl import testing
ip = Interpreter()
ip.create_callback(lambda *a: sum(range(20000)), cmd_name="busy")
signal.signal(signal.SIGINT, signal.default_int_handler)  # replaced ours ...
assert testing.enable_interrupts()  # ... and it comes back

def ctrl_c():
    time.sleep(0.5)
    os.kill(os.getpid(), signal.SIGINT)

for script in ["while 1 {}", "vwait ::forever", "catch {while 1 {catch {update}}}", "after 100000",
               "while 1 {catch {busy}}"]:
    for how in ("block", "plain"):
        threading.Thread(target=ctrl_c).start()
        start = time.monotonic()
        try:
            try:
                if how == "block":
                    with testing.mock_command("::ctrl_c_mock", tcl=ip), testing.time_limit(None, tcl=ip):
                        ip.eval(script)
                else:
                    ip.eval(script)
            except Exception as exc:
                print("NOT INTERRUPTED BY THE CALL: %r" % (exc,), flush=True)
            print("NOT INTERRUPTED", flush=True)
        except KeyboardInterrupt as exc:
            # The evaluating call raised it, chained to the cancellation.
            assert exc.__context__ is None or exc.__context__.errorcode[:2] == ("TCL", "CANCEL"), exc.__context__
            left = ip.eval("info commands ::ctrl_c_mock")  # the mock was restored
            print("%s %s %.1f %s%s" % (how, script.split()[0], time.monotonic() - start, ip.eval("expr {2 + 2}"), left),
                  flush=True)
"""


def run_python(code, **kw):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env, **kw)


def test_ctrl_c_cancels_the_evaluation_and_raises_keyboard_interrupt():
    out = run_python(CTRL_C)
    lines = out.stdout.split("\n")[:-1]
    assert len(lines) == 10 and "NOT" not in out.stdout, out.stdout + out.stderr
    for line in lines:
        how, word, seconds, after = line.split()
        assert float(seconds) < 5 and after == "4"


def test_ctrl_c_at_the_prompt_returns_to_the_prompt():
    code = textwrap.dedent(
        r"""
        import os, signal, sys, threading, time
        threading.Thread(target=lambda: (time.sleep(1), os.kill(os.getpid(), signal.SIGINT))).start()
        from trivex.tcl.__main__ import main
        sys.exit(main([]))
        """
    )
    out = run_python(code, input="while 1 {}\nexpr {6*7}\n")
    assert "42" in out.stdout and out.returncode == 0, out.stdout + out.stderr


# -- background errors ------------------------------------------------------------------


def test_background_errors_are_collected_with_their_fields(ip):
    before = ip.eval("interp bgerror {}")
    with background_errors(tcl=ip) as errors:
        ip.eval("after 0 {error oops}; after 0 {error coded {} {MY CODE 7}}; proc fails {} {expr {1/0}}; after 0 fails")
        ip.eval("update")
        assert [e.result for e in errors] == ["oops", "coded", "divide by zero"]
        assert errors[1].errorcode == ("MY", "CODE", "7")
        assert errors[2].errorcode == ("ARITH", "DIVZERO", "divide by zero")
        assert "fails" in errors[2].errorinfo and errors[2].code == 1
        assert all(isinstance(e, TclError) for e in errors)
        errors.clear()
    assert ip.eval("interp bgerror {}") == before


def test_background_errors_left_fail_the_block_showing_each_error_info(ip):
    with pytest.raises(TclBackgroundError) as info:
        with background_errors(tcl=ip):
            ip.eval("after 0 {error first}; after 0 {error second}; update")
    text = str(info.value)
    assert "2 Tcl background errors" in text and '"error first"' in text and '"error second"' in text
    assert [e.result for e in info.value.errors] == ["first", "second"]


def test_background_errors_let_the_block_exception_through(ip):
    with pytest.raises(ZeroDivisionError):
        with background_errors(tcl=ip):
            ip.eval("after 0 {error ignored}; update")
            1 / 0


# -- mock commands -----------------------------------------------------------------------


def proc_state(ip, name):
    args = ip.tk.splitlist(ip.eval("info args %s" % name))
    defaults = []
    for a in args:
        if ip.eval("info default %s %s ::__dflt" % (name, a)) == "1":
            defaults.append((a, ip.eval("set ::__dflt")))
    return args, defaults, ip.eval("info body %s" % name)


TARGETS = {
    "proc": ("::mk::p", "namespace eval mk {proc p {a {b {x y}} args} {return [list $a $b $args]}}"),
    "relative": ("mk::p", "namespace eval mk {proc p {a {b {x y}} args} {return [list $a $b $args]}}"),
    "spaces": ("::mk::{my proc}", "namespace eval mk {proc {my proc} {{q 1}} {return q$q}}"),
    "c_command": ("::string", ""),
    "alias": ("::al", "interp alias {} ::al {} ::string toupper"),
    "missing": ("::nowhere::cmd", ""),
}


@pytest.mark.parametrize("kind", sorted(TARGETS))
@pytest.mark.parametrize("ending", ["normal", "error", "deleted", "renamed"])
def test_mock_replaces_and_restores_exactly(ip, kind, ending):
    name, setup = TARGETS[kind]
    if setup:
        ip.eval(setup)
    tcl_name = name.replace("{", "").replace("}", "")
    quoted = quotify([tcl_name])
    existed = ip.eval("namespace which -command %s" % quoted) != ""
    before = proc_state(ip, quoted) if kind in ("proc", "relative", "spaces") else None
    probe = {"c_command": "string length abc", "alias": "al abc"}.get(kind)
    probe_result = ip.eval(probe) if probe else None

    with pytest.raises(RuntimeError) if ending == "error" else _nothing():
        with mock_command(tcl_name, return_value="mocked", tcl=ip) as m:
            assert ip.eval("%s 1 {2 3}" % quoted) == "mocked"
            m.assert_called_once_with("1", "2 3")
            if ending == "deleted":
                ip.eval("rename %s {}" % quoted)
            elif ending == "renamed":
                ip.eval("rename %s ::moved_away" % quoted)
            elif ending == "error":
                raise RuntimeError("block failed")

    assert (ip.eval("namespace which -command %s" % quoted) != "") == existed
    if before is not None:
        assert proc_state(ip, quoted) == before
    if probe:
        assert ip.eval(probe) == probe_result
    if kind == "missing":
        assert ip.eval("namespace exists ::nowhere") == "0"
    assert "__trivex__mocked" not in ip.eval("info commands ::mk::*") + ip.eval("info commands ::*")
    if ending == "renamed":
        ip.eval("rename ::moved_away {}")


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_mocks_nest_and_unwind_in_order(ip):
    ip.eval("proc greet {who} {return hello-$who}")
    with mock_command("greet", return_value="outer", tcl=ip) as outer:
        with mock_command("::greet", return_value="inner", tcl=ip) as inner:
            assert ip.eval("greet a") == "inner"
        assert ip.eval("greet b") == "outer"
    assert ip.eval("greet c") == "hello-c"
    assert outer.calls == [("b",)] and inner.calls == [("a",)]


def test_side_effects(ip):
    err = TclError("refused")
    err.errorcode = ("NET", "REFUSED", "80")
    with mock_command("net", side_effect=err, tcl=ip):
        assert ip.eval("list [catch {net go} msg opts] $msg [dict get $opts -errorcode]") == "1 refused {NET REFUSED 80}"
    with mock_command("net", side_effect=ValueError, tcl=ip):
        assert ip.eval("catch {net} msg") == "1"
    with mock_command("net", side_effect=lambda *w: ["echo", *w], tcl=ip) as m:
        assert ip.tk.splitlist(ip.eval("net a {b c}")) == ("echo", "a", "b c")
    with mock_command("net", side_effect=[1, ("x y", 2), KeyError("k")], tcl=ip) as m:
        assert [ip.eval("net"), ip.eval("net")] == ["1", "{x y} 2"]
        assert ip.eval("catch net msg; set msg") == "'k'"
        with pytest.raises(TclError, match="no more results"):
            ip.eval("net")
        m.return_value = "unused"  # settable; the iterable still rules
        assert m.call_count == 4
    with pytest.raises(TypeError):
        mock_command("net", side_effect=5)


def test_recorder_assertions_read_like_unittest_mock(ip):
    with mock_command("rec", tcl=ip) as m:
        m.assert_not_called()
        with pytest.raises(AssertionError, match="Expected '::rec' to have been called"):
            m.assert_called()
        ip.eval("rec 1; rec 2 3")
        m.assert_called()
        m.assert_called_with(2, 3)
        with pytest.raises(AssertionError, match=r"Expected: ::rec\('1'\)\nActual: ::rec\('2', '3'\)"):
            m.assert_called_with("1")
        with pytest.raises(AssertionError, match="Expected '::rec' to be called once. Called 2 times"):
            m.assert_called_once_with("1")
        with pytest.raises(AssertionError, match="not have been called. Called 2 times"):
            m.assert_not_called()
        m.return_value = "changed"
        assert ip.eval("rec") == "changed"


def test_public_names_have_help():
    for name in testing.__all__:
        obj = getattr(testing, name)
        assert obj.__doc__, name
    import inspect

    assert list(inspect.signature(mock_command).parameters) == ["name", "return_value", "side_effect", "tcl"]
    assert list(inspect.signature(time_limit).parameters) == ["seconds", "tcl"]


def test_time_limit_in_a_forked_child():
    with time_limit(30):  # the parent's watcher is running when it forks
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the child
            code = 1
            try:
                child = Interpreter()
                with time_limit(0.2, tcl=child):
                    child.eval("vwait ::forever")
            except TclTimeoutError:
                code = 7
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 7
