"""TclCommand and TempTclCommand against a real Tcl interpreter, including
Python callables published as Tcl commands and how their errors reach Tcl."""

import contextlib
import gc
import inspect
import logging
import re
import sys
import tkinter

import pytest
from support import make_interpreter

import trivex.tcl
from trivex.tcl.namespace import TclCommand, TclVariable, TempTclCommand
from trivex.tcl.quotify import quotify, tclobj


@pytest.fixture
def recorder(interp):
    """A Tcl command `rec` that records the words it gets and returns them."""
    calls = []

    def rec(*args):
        calls.append(args)
        return len(args)

    TclCommand(("rec",), tcl=interp).createcommand(rec)
    return calls


def test_class_layout():
    body = [k for k in vars(TclCommand) if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                                       "__weakref__", "__slotnames__")]
    assert body == ["__init__", "createcommand", "exists", "is_command", "is_proc", "rename", "delete", "origin",
                    "proc_body", "proc_args", "proc_arg_default", "build_tclcmd", "kwargs_to_dashed_args", "call",
                    "__call__", "eval", "absolute", "make_absolute", "__repr__", "__str__", "__tclobj__", "__get__"]
    assert isinstance(vars(TclCommand)["kwargs_to_dashed_args"], staticmethod)
    assert [k for k in vars(TempTclCommand) if k not in ("__module__", "__qualname__", "__doc__", "__slotnames__")] == [
        "__init__", "__enter__", "__exit__", "__del__"]
    assert str(inspect.signature(TclCommand)) == "(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)"
    assert str(inspect.signature(TempTclCommand)) == "(func=None, cmd_name='::__trivex__{cls}_{id}_tmp', **kwargs)"


@pytest.mark.parametrize(
    "cmd, kwargs, name, args",
    [
        ("puts -nonewline", {}, "puts", ("-nonewline",)),
        ("puts", {"args": "-nonewline"}, "puts", ("-nonewline",)),
        (("string", "length"), {}, "string", ("length",)),
        ("a {b c} d", {}, "a", ("b c", "d")),
        ("x", {"args": ("p q", 1)}, "x", ("p q", 1)),
        (("two words",), {}, "two words", ()),
        ("two words", {"args": ()}, "two words", ()),
        (("n", None, [1, 2]), {}, "n", ("", (1, 2))),
    ],
)
def test_construction_splits_the_line(interp, cmd, kwargs, name, args):
    c = TclCommand(cmd, tcl=interp, **kwargs)
    assert (c.cmd_name, c.args, c.keywords) == (name, args, {})


def test_construction_from_another_command(interp):
    other = TclCommand("x", args=("a",), keywords={"k": "v"}, tcl=interp)
    c = TclCommand(other, tcl=interp)
    assert (c.cmd_name, c.args, c.keywords) == ("x", ("a", "-k", "v"), {})
    d = TclCommand(other, args="b c", tcl=interp)
    assert (d.cmd_name, d.args) == ("x", ("a", "b", "c", "-k", "v"))
    with pytest.raises(IndexError):
        TclCommand("", tcl=interp)
    with pytest.raises(IndexError):
        TclCommand((), tcl=interp)
    with pytest.raises(ValueError):
        TclCommand("a {b", tcl=interp)


def test_build_tclcmd(interp):
    c = TclCommand("myproc", keywords={"mode": "fast"}, tcl=interp)
    assert c.build_tclcmd("a", ("b", "c")) == ("myproc", "a", ("b", "c"), "-mode", "fast")
    c = TclCommand("x", keywords={"a": 1, "b": 2}, tcl=interp)
    assert c.build_tclcmd(b=3, c=4) == ("x", "-a", 1, "-b", 3, "-c", 4)
    assert c.keywords == {"a": 1, "b": 2}
    assert c.build_tclcmd(None, b=[1, None]) == ("x", "", "-a", 1, "-b", (1, ""))
    assert TclCommand.kwargs_to_dashed_args(one=1, two="2") == ("-one", 1, "-two", "2")
    assert TclCommand.kwargs_to_dashed_args() == ()
    c.keywords[5] = "bad"
    with pytest.raises(TypeError):
        c.build_tclcmd()


def test_call_and_eval(interp):
    tk = interp.tk
    length = TclCommand(("string", "length"), tcl=interp)
    assert length("abc") == 3 and length.call("abcd") == 4
    assert length.eval("abc") == "3"
    assert TclCommand("string length", cast=str, tcl=interp)("ab") == "2"
    setter = TclCommand("set", args=("x",), tcl=interp)
    setter(5)
    assert tk.eval("set x") == "5"
    setter.eval("a b")
    assert tk.eval("set x") == "a b"
    assert TclCommand("list", keywords={"opt": "v"}, tcl=interp).eval("w", z="1") == "w -opt v -z 1"
    with pytest.raises(tkinter.TclError, match="invalid command name"):
        TclCommand(("no_such_command",), tcl=interp)()
    with pytest.raises(ValueError):
        TclCommand("set", args=("x",), cast=int, tcl=interp)("not a number")


def test_logging(interp, caplog):
    log = logging.getLogger("trivex.test.commands")
    c = TclCommand("set", args=("x",), logger=log, tcl=interp)
    with caplog.at_level(logging.INFO, logger="trivex.test.commands"):
        c(5)
        c.eval(6)
        TclCommand("set", args=("y",), logger=log, tcl=interp)("a b")
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.INFO, "Calling: set x 5"), (logging.INFO, "Calling: set y {a b}")]


def test_text_forms(interp):
    c = TclCommand("puts", args=("hello world",), tcl=interp)
    assert str(c) == "puts {hello world}" and quotify(c) == str(c)
    assert tclobj(c) == ("puts", "hello world")
    assert repr(TclCommand("puts", tcl=interp)) == "TclCommand('puts')"
    assert repr(TclCommand("puts", cast=int, tcl=interp)) == "TclCommand('puts', cast=<class 'int'>)"
    assert repr(TclCommand("puts", args=("-nonewline",), keywords={"k": 1}, tcl=interp)) == (
        "TclCommand('puts', args=('-nonewline',), keywords={'k': 1})")
    # Handed to Tcl, a command object is its command line: a callback script.
    TclCommand(("uplevel", "#0"), tcl=interp)(TclCommand("set", args=("cb", "ran"), tcl=interp))
    assert interp.tk.eval("set cb") == "ran"


def test_management(interp):
    tk = interp.tk
    tk.eval("proc p1 {} {return p1}")
    c = TclCommand(("p1",), tcl=interp)
    assert c.exists() and c.is_proc() and not c.is_command()
    c.rename("::newname")
    assert c.cmd_name == "::newname" and c.exists() and tk.eval("newname") == "p1"
    tk.eval("proc taken {} {}")
    with pytest.raises(tkinter.TclError):
        c.rename("taken")
    assert c.cmd_name == "::newname"
    c.delete()
    assert not c.exists() and c.cmd_name == "::newname"
    with pytest.raises(tkinter.TclError):
        c.delete()
    builtin = TclCommand(("set",), tcl=interp)
    assert builtin.is_command() and not builtin.is_proc()
    assert not TclCommand(("nothing_here",), tcl=interp).is_command()


def test_procedure_introspection(interp):
    tk = interp.tk
    tk.eval("proc p {a {b 5} {c {x y}}} {return $a$b}")
    p = TclCommand(("p",), tcl=interp)
    assert p.proc_args() == ("a", "b", "c")
    assert p.proc_body() == "return $a$b"
    assert p.proc_arg_default("b") == "5"
    assert p.proc_arg_default("c") == "x y"
    assert p.proc_arg_default("a") is None
    with pytest.raises(tkinter.TclError):
        p.proc_arg_default("nope")
    assert tk.eval("info vars ::__trivex__*") == ""  # no temporary variable left behind
    for op in (TclCommand(("set",), tcl=interp).proc_body, TclCommand(("set",), tcl=interp).proc_args):
        with pytest.raises(tkinter.TclError):
            op()


def test_origin_of_an_imported_command(interp):
    interp.tk.eval("namespace eval ::src {namespace export f; proc f {} {}}; namespace eval ::dst {namespace import ::src::f}")
    assert TclCommand(("::dst::f",), tcl=interp).origin() == "::src::f"
    assert TclCommand(("::src::f",), tcl=interp).origin() == "::src::f"


def test_command_as_a_method(interp, recorder):
    class Thing:
        rec = TclCommand("rec", args=("bound",), keywords={"k": "v"}, tcl=interp)

        def __tclobj__(self):
            return "THING"

    assert Thing.rec is Thing.__dict__["rec"]
    t = Thing()
    assert t.rec(1) == 5
    assert recorder == [("bound", "THING", "1", "-k", "v")]


def test_absolute(interp):
    tk = interp.tk
    assert TclCommand(("f",), tcl=interp).absolute() == "::f"
    seen = []
    probe = TclCommand(("g",), tcl=interp)
    TclCommand(("probe",), tcl=interp).createcommand(lambda: seen.append(probe.absolute()))
    tk.eval("namespace eval ::a::b probe")
    assert seen == ["::a::b::g"]
    probe.make_absolute()
    assert probe.cmd_name == "::g"


# --- Python callables as Tcl commands -------------------------------------

def test_python_callable_gets_words_and_returns_to_tcl(interp, recorder):
    tk = interp.tk
    assert tk.eval("rec a {b c} [expr 1+1]") == "3"
    assert recorder == [("a", "b c", "2")]
    results = {"int": 7, "none": None, "tuple": (1, "a b"), "text": "t", "float": 2.5}
    for key, value in results.items():
        TclCommand(("r_" + key,), tcl=interp).createcommand(lambda v=value: v)
    assert tk.eval("r_int") == "7" and tk.eval("r_none") == "None"
    assert tk.eval("lindex [r_tuple] 1") == "a b" and tk.eval("r_float") == "2.5"
    with pytest.raises(TypeError):
        TclCommand(("x",), tcl=interp).createcommand("not callable")


def boom(*args):
    raise ValueError("boom here")


def test_raising_callable_is_a_tcl_error(interp):
    tk = interp.tk
    TclCommand(("f",), tcl=interp).createcommand(boom)
    assert tk.eval("catch {f 1 2} msg opts") == "1"
    assert tk.eval("set msg") == "ValueError: boom here"
    assert tk.eval("dict get $opts -errorcode") == "PYTHON ValueError"
    info = tk.eval("set ::errorInfo")
    assert "Traceback (most recent call last):" in info and "in boom" in info
    assert info.startswith("ValueError: boom here\n") and '"f 1 2"' in info
    with pytest.raises(tkinter.TclError) as caught:
        tk.eval("f")
    assert str(caught.value) == "ValueError: boom here"
    with pytest.raises(tkinter.TclError, match="^ValueError: boom here$"):
        TclCommand(("f",), tcl=interp)()
    # tkinter keeps nothing aside that a later mainloop would raise.
    assert tk.mainloop() is None


def test_plain_tkinter_differs():
    """What the interposed command mends: tkinter alone gives Tcl an empty
    error and keeps the exception for a later mainloop."""
    tk = tkinter.Tcl().tk
    tk.createcommand("f", boom)
    with pytest.raises(tkinter.TclError) as caught:
        tk.eval("f")
    assert str(caught.value) == ""
    with pytest.raises(ValueError):
        tk.mainloop()


def test_nested_callbacks_each_see_their_own_error(interp):
    tk = interp.tk
    calls = []

    def inner():
        raise KeyError("inner")

    def outer_catches():
        calls.append(tk.eval("list [catch inner m] $m"))
        return "outer ok"

    def outer_fails():
        tk.eval("inner")

    def outer_raises_after_catch():
        tk.eval("catch inner")
        raise RuntimeError("outer")

    for f in (inner, outer_catches, outer_fails, outer_raises_after_catch):
        TclCommand((f.__name__,), tcl=interp).createcommand(f)
    assert tk.eval("outer_catches") == "outer ok"
    assert calls == ["1 {KeyError: 'inner'}"]
    assert tk.eval("catch outer_fails m; set m") == "_tkinter.TclError: KeyError: 'inner'"
    assert tk.eval("catch outer_raises_after_catch m; set m") == "RuntimeError: outer"
    assert tk.eval("catch {outer_catches} m; set m") == "outer ok"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_results_tkinter_cannot_convert_become_tcl_errors(interp):
    tk = interp.tk
    loop = []
    loop.append(loop)
    TclCommand(("bad_str",), tcl=interp).createcommand(lambda: Unprintable())
    TclCommand(("bad_item",), tcl=interp).createcommand(lambda: ("ok", [Unprintable()]))
    TclCommand(("self_loop",), tcl=interp).createcommand(lambda: loop)
    assert tk.eval("catch bad_str m; set m") == "RuntimeError: no text"
    assert tk.eval("catch bad_item m; set m") == "RuntimeError: no text"
    assert tk.eval("catch self_loop m; set m").startswith("RecursionError:")
    assert tk.mainloop() is None


def test_error_texts_of_odd_exceptions(interp):
    class Silent(Exception):
        pass

    class NoStr(Exception):
        def __str__(self):
            raise ValueError

    for name, exc in (("silent", Silent()), ("nostr", NoStr("x")), ("exit", SystemExit(3))):
        def raiser(exc=exc):
            raise exc

        TclCommand((name,), tcl=interp).createcommand(raiser)
    tk = interp.tk
    assert tk.eval("catch silent m; set m").endswith("Silent")
    assert tk.eval("catch nostr m; set m").endswith("NoStr: <exception str() failed>")
    assert tk.eval("catch exit m; set m") == "SystemExit: 3"


def test_replacing_and_deleting_published_commands(interp):
    tk = interp.tk
    c = TclCommand(("swap",), tcl=interp)
    c.createcommand(lambda: "first")
    c.createcommand(boom)
    assert tk.eval("catch swap m; set m") == "ValueError: boom here"
    c.rename("::swapped")
    assert tk.eval("catch swapped m; set m") == "ValueError: boom here"
    c.delete()
    gc.collect()
    assert not c.exists()


def test_published_in_a_namespace_while_tcl_runs_there(interp):
    tk = interp.tk
    tk.eval("namespace eval ::other {proc same {} {return tcl}}")

    def publish():
        TclCommand(("same",), tcl=interp).createcommand(boom)

    TclCommand(("publish",), tcl=interp).createcommand(publish)
    tk.eval("namespace eval ::other publish")
    assert tk.eval("::other::same") == "tcl"
    assert tk.eval("catch ::same m; set m") == "ValueError: boom here"


# --- TempTclCommand -------------------------------------------------------

def test_temporary_command(interp):
    def shout(word):
        """Say it loud."""
        return word.upper()

    shout.extra = "kept"
    with TempTclCommand(shout, tcl=interp) as c:
        assert re.fullmatch(r"::__trivex__TempTclCommand_\d+_tmp", c.cmd_name)
        assert interp.tk.eval(str(c) + " x") == "X"
        assert c("y") == "Y"
        assert (c.__name__, c.__doc__, c.__wrapped__, c.extra) == ("shout", "Say it loud.", shout, "kept")
        assert c.exists()
    assert not c.exists()
    errors = []
    old, sys.unraisablehook = sys.unraisablehook, errors.append
    try:
        del c
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert errors == []


def test_temporary_command_lifetimes(interp):
    tk = interp.tk
    c = TempTclCommand(lambda: "alive", tcl=interp)
    name = c.cmd_name
    assert tk.eval(name) == "alive"
    del c
    gc.collect()
    assert tk.call("info", "commands", name) == ""
    with pytest.raises(ZeroDivisionError):
        with TempTclCommand(lambda: 1, tcl=interp) as d:
            1 / 0
    assert not d.exists()
    with TempTclCommand(tcl=interp) as bare:  # no function: nothing made, exit harmless
        assert not bare.exists() and not hasattr(bare, "__wrapped__")
    split = TempTclCommand(None, "::tmp_{id} extra", tcl=interp)
    assert (split.cmd_name, split.args) == ("::tmp_%d" % id(split), ("extra",))


@pytest.mark.parametrize("existing", [
    "proc ::tnsx::keep {a {b 2}} {return [list kept $a $b [namespace current]]}",  # a proc, in its namespace
    "interp alias {} ::tnsx::keep {} ::list kept",                             # an alias
])
@pytest.mark.parametrize("ending", ["block", "error", "finalised", "no function"])
def test_temporary_command_over_an_existing_one_brings_it_back(interp, existing, ending):
    tk = interp.tk
    tk.eval("namespace eval ::tnsx {}; " + existing)
    before = tk.eval("::tnsx::keep 1")
    func = None if ending == "no function" else (lambda *a: "temporary")
    c = TempTclCommand(func, "::tnsx::keep", tcl=interp)
    if func:
        assert tk.eval("::tnsx::keep 1") == "temporary"
    if ending == "finalised":
        del c
        gc.collect()
    else:
        with pytest.raises(ZeroDivisionError) if ending == "error" else contextlib.nullcontext():
            with c:
                1 / (ending != "error")
    assert tk.eval("::tnsx::keep 1") == before
    assert tk.eval("info commands ::tnsx::__trivex__*") == ""
    tk.eval("rename ::tnsx::keep {}")


def test_temporary_command_outliving_its_interpreter():
    interp = make_interpreter()
    c = TempTclCommand(lambda: 1, tcl=interp)
    del interp
    gc.collect()
    errors = []
    old, sys.unraisablehook = sys.unraisablehook, errors.append
    try:
        del c
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert errors == []  # its command went with the interpreter: nothing to report


def test_dead_interpreter(interp):
    doomed = make_interpreter()
    c = TclCommand(("set",), args=("x",), tcl=doomed)
    del doomed
    gc.collect()
    for op in (c, c.eval, c.exists, c.delete, c.proc_body, lambda: c.createcommand(len), lambda: c.rename("y")):
        with pytest.raises(ReferenceError):
            op()
    assert repr(c) == "TclCommand('set', args=('x',))" and str(c) == "set x"


def test_variable_handed_to_a_command_is_its_name(interp):
    v = TclVariable("vv", tcl=interp)
    v.set(3)
    assert TclCommand("info exists", tcl=interp)(v) == 1
    assert TclCommand(("incr",), tcl=interp)(v) == 4


def test_calls_follow_overrides_and_patches(interp):
    c = TclCommand("set", args=("x",), tcl=interp)
    assert c(1) == 1
    c.call = lambda *args: ("shadowed", args)
    assert c(2) == ("shadowed", (2,))
    del c.call
    saved = TclCommand.__dict__["call"]
    try:
        TclCommand.call = lambda self, *args: "patched"
        assert c(3) == "patched"
    finally:
        TclCommand.call = saved
    assert c(4) == 4

    class Echo(TclCommand):
        def __call__(self, *args):
            return "echo"

    class Plain(TclCommand):
        pass

    assert Echo(("set",), tcl=interp)() == "echo"
    assert Plain("set", args=("y",), tcl=interp)(5) == 5
    c.args = ["z"]  # not a tuple: Python's concatenation error, as build_tclcmd gives it
    with pytest.raises(TypeError):
        c(1)
