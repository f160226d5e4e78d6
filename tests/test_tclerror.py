"""Failed Tcl evaluations raise TclError carrying Tcl's return options, read
against Tcl's own `catch {...} msg opts` of the same command; and the `cast_`
callable of the command builder."""

import gc
import typing
import weakref
from tkinter import TclError

import pytest

from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclCommand, TclNamespace, TclVariable

# Every failure is born inside a procedure: a command that `catch` compiles
# inline reports its innermost frame differently from one the top level
# evaluates directly, while procedure bodies are compiled either way.
PROCS = r"""
proc three {a} {
    set x $a
    set y 2
    error "boom $a" {} [list APP BOOM $a]
}
proc thrower {} { throw {PQ THROWN} "thrown ü" }
proc returner {} { return -code error -errorcode {X Y} returned }
proc retcode {} { returner }
proc inner {} { return -level 2 -code error -errorcode {LVL 2} "two levels up" }
proc outer {} { inner; return unreachable }
proc top {} { outer }
proc deep1 {} { deep2 1 }
proc deep2 {n} { deep3 $n 0 }
proc deep3 {a b} { expr {$a / $b} }
proc caller {} { no_such_command 1 {2 3} }
proc badcode {} { error oops {} "unbalanced \{ code" }
namespace eval ::t {}
"""

CASES = {
    "error_on_line_3": ["three", "x"],
    "argument_with_space": ["three", "a {b"],
    "throw": ["thrower"],
    "return_code_error": ["retcode"],
    "return_level_2": ["top"],
    "nested_procs": ["deep1"],
    "unknown_command": ["caller"],
    "errorcode_not_a_list": ["badcode"],
    "third_line_of_script": "set a 1\nset b 2\nthree {line 3}",
}


def tcl_list(tk, *words):
    """The words as a Tcl script, quoted by Tcl itself."""
    return tk.call("format", "%s", tk.call("list", *words))


def as_script(tk, words):
    return words if isinstance(words, str) else tcl_list(tk, *words)


def in_namespace(ns):
    return lambda tk, words: tcl_list(tk, "namespace", "eval", ns, as_script(tk, words))


class Site(typing.NamedTuple):
    call: typing.Callable      # (interpreter, words or script): the call under test
    command: typing.Callable   # (tk, words or script): the Tcl command it runs
    info_is_arg: bool          # the exception's argument: errorInfo, else the message
    words_only: bool = False   # takes no script
    # `namespace eval` shows the script it ran in errorInfo, quoted by the
    # package; Tcl quotes a word with braces in it differently.
    plain_words_only: bool = False


SITES = {
    "Interpreter.eval": Site(lambda i, w: i.eval(as_script(i.tk, w)), as_script, True),
    "j": Site(lambda i, w: getattr(i.j, w[0])(*w[1:]), as_script, True, True),
    "TclCommand.__call__": Site(lambda i, w: TclCommand(w[0], tcl=i)(*w[1:]), as_script, False, True),
    "TclCommand.eval": Site(lambda i, w: TclCommand(w[0], tcl=i).eval(*w[1:]), as_script, False, True),
    "TclNamespace.eval": Site(lambda i, w: TclNamespace("::", tcl=i).eval(as_script(i.tk, w)),
                              in_namespace("::"), False, False, True),
    "TclNamespace.call": Site(lambda i, w: TclNamespace("::t", tcl=i).call(*w), in_namespace("::t"),
                              False, True, True),
}


def applies(site, case):
    words = CASES[case]
    if isinstance(words, str):
        return not site.words_only
    return not (site.plain_words_only and any("{" in w for w in words))


def tcl_catch(tk, script):
    """Tcl's own account of the failure: catch's message and options."""
    tk.call("set", "::probe_script", script)
    assert tk.eval("catch $::probe_script ::probe_msg ::probe_opts") == "1"

    def get(key):
        return tk.eval("dict get $::probe_opts %s" % key)

    return tk.eval("set ::probe_msg"), get


@pytest.fixture(scope="module")
def tcl():
    interp = Interpreter()
    interp.eval(PROCS)
    return interp


@pytest.mark.parametrize(
    "site, case",
    [(s, c) for s in SITES for c in CASES if applies(SITES[s], c)],
)
def test_error_carries_tcl_return_options(tcl, site, case):
    call, tcl_command, info_is_arg = SITES[site][:3]
    words = CASES[case]
    with pytest.raises(TclError) as caught:
        call(tcl, words)
    exc = caught.value
    info_now = tcl.tk.getvar("::errorInfo")

    msg, opt = tcl_catch(tcl.tk, tcl_command(tcl.tk, words))
    words_of = tcl.tk.splitlist
    assert exc.result == msg
    assert exc.errorinfo == opt("-errorinfo") == info_now
    assert exc.errorline == int(opt("-errorline"))
    assert exc.code == int(opt("-code")) == 1
    assert exc.level == int(opt("-level")) == 0
    assert exc.errorstack == words_of(opt("-errorstack"))
    if case == "errorcode_not_a_list":
        assert exc.errorcode == (opt("-errorcode"),)
    else:
        assert exc.errorcode == words_of(opt("-errorcode"))
    assert all(type(w) is str for w in exc.errorcode + exc.errorstack)
    assert exc.args == ((exc.errorinfo,) if info_is_arg else (exc.result,))
    assert exc.__cause__ is None


@pytest.mark.parametrize("read", [
    lambda i: TclVariable("::no_such_var", tcl=i).get_str(),
    lambda i: i.global_ns.vars.get("no_such_var"),
], ids=["TclVariable.get_str", "VariablesView.get"])
def test_failed_variable_read_carries_the_lookup_errorcode(tcl, read):
    tcl.eval("catch {three earlier}")  # an unrelated earlier error must not show
    with pytest.raises(TclError) as caught:
        read(tcl)
    assert caught.value.errorcode == ("TCL", "LOOKUP", "VARNAME", "::no_such_var")
    assert caught.value.errorinfo.startswith('can\'t read "::no_such_var": no such variable')
    assert caught.value.args == (caught.value.result,)


def test_text_tkinter_cannot_split_still_gives_the_fields(tcl):
    # NUL and a lone surrogate: Tcl values may hold them, tkinter's splitlist
    # takes neither.
    with pytest.raises(TclError) as caught:
        tcl.eval(r'error "a\x00b" {} [list N\x00 \ud800 {c d}]')
    assert caught.value.result == "a\x00b"
    assert caught.value.errorcode[0] == "N\x00" and caught.value.errorcode[2] == "c d"
    assert len(caught.value.errorcode) == 3


@pytest.mark.parametrize("value, cast, expected", [
    ("0123", True, 83),                 # cast_any: an octal-looking integer
    ("0123", str, "0123"),
    ("0123", False, "0123"),
    ("0123", None, "0123"),
    ("0123", 0, "0123"),
    ("0123", 1, 83),
    ("42", int, 42),
    ("2.5", float, 2.5),
    ("no", "cast_boolean", False),      # the interpreter's own reader
    (("a", "b c"), str, "a {b c}"),     # a Tcl list reaches the callable as its text
    ("Y", lambda text: text.lower(), "y"),
])
def test_cast_callable_gets_the_result_text(tcl, value, cast, expected):
    if cast == "cast_boolean":
        cast = tcl.cast_boolean
    result = tcl.j.set("pin", value, cast_=cast)
    assert result == expected and type(result) is type(expected)
    assert tcl.history[-1] == ["set", "pin", "a {b c}" if isinstance(value, tuple) else value]


class Boom(Exception):
    pass


@pytest.fixture(scope="module")
def failing(tcl):
    def pyfail(word):
        raise Boom("from Python: %s" % word)

    def pyouter():
        return tcl.eval("pyfail deep")  # fails, through one more callback

    def pycatcher():
        try:
            tcl.eval("pyfail caught")
        except TclError:
            pass
        raise KeyError("after catching")

    for f in (pyfail, pyouter, pycatcher):
        tcl.create_callback(f)
    tcl.eval("proc stale {} { catch {pyfail x}; three y }")
    tcl.eval("proc rethrow {} { catch {pyfail again} m o; return -options $o $m }")
    yield
    for f in (pyfail, pyouter, pycatcher):
        tcl.remove_callback(f)


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("words, cause", [
    (["pyfail", "x"], ("Boom", "from Python: x", "pyfail")),
    (["pyouter"], ("Boom", "from Python: deep", "pyfail")),      # the innermost exception
    (["rethrow"], ("Boom", "from Python: again", "pyfail")),     # Tcl re-raised the same error
    (["pycatcher"], ("KeyError", "'after catching'", "pycatcher")),
    (["stale"], None),                                         # caught in Tcl: no stale cause
    (["three", "x"], None),
])
def test_cause_is_the_callback_exception_that_began_the_failure(tcl, failing, site, words, cause):
    call = SITES[site].call
    with pytest.raises(TclError) as caught:
        call(tcl, words)
    exc = caught.value
    assert exc.__suppress_context__ or exc.__context__ is None  # nothing else is shown
    if cause is None:
        assert exc.__cause__ is None
        return
    kind, text, frame = cause
    assert (type(exc.__cause__).__name__, str(exc.__cause__)) == (kind, text)
    assert exc.errorcode[0] == "PYTHON"
    # The traceback reaches the Python frame where it began.
    tb = exc.__cause__.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == frame
    # The next failure starts afresh.
    with pytest.raises(TclError) as later:
        call(tcl, ["three", "z"])
    assert later.value.__cause__ is None


@pytest.mark.parametrize("end", ["next failure", "destroy"])
def test_a_callback_exception_caught_in_tcl_is_not_kept(end):
    ip = Interpreter()
    made = []

    def pyfail():
        exc = Boom("caught in Tcl")
        made.append(weakref.ref(exc))
        raise exc

    ip.create_callback(pyfail)
    ip.eval("catch pyfail")
    if end == "destroy":
        ip.destroy()
    else:
        with pytest.raises(TclError) as later:
            ip.eval("error unrelated")
        assert later.value.__cause__ is None
        del later
    gc.collect()
    assert made[0]() is None
