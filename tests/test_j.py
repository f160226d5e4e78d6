"""The attribute-style command builder, against real Tcl procedures."""

import copy
import gc
import inspect
import pickle
import weakref

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from tkinter import TclError

from support import make_interpreter
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.j import J, J_Code
from trivex.tcl.quotify import quotify

PROCS = r"""
namespace eval ::ns_a::ns_b {
    proc echo args { set ::got $args; return $args }
    proc fail {msg} { error $msg }
}
proc ::top args { set ::got $args; return [llength $args] }
"""


@pytest.fixture
def j(interp):
    interp.tk.eval(PROCS)
    builder = getattr(interp, "j", None)
    return builder if isinstance(builder, J) else J(interp)


def received(interp):
    """The words the last echo saw, split by Tcl itself."""
    n = int(interp.tk.eval("llength $::got"))
    # Through call, not eval: tkinter's eval drops NUL characters from results.
    return [str(interp.tk.call("eval", "lindex $::got %d" % i))
            for i in range(n)]


@pytest.mark.parametrize(
    "args, kwargs, words",
    [
        (("x y", "{", "$x [exit] \\"), {}, ["x y", "{", "$x [exit] \\"]),
        ((None, True, False, 7, 1.5), {}, ["", "true", "false", "7", "1.5"]),
        (([1, [2, "a b"]], ("q",), {"k": "v w"}), {}, ["1 {2 {a b}}", "q", "k {v w}"]),
        (("p",), {"z": 1, "a": None, "opt": "v"}, ["p", "-z", "1", "-a", "", "-opt", "v"]),
        ((), {"self": "s", "cast_": False}, ["-self", "s"]),
        (("ünï€𝄞",), {}, ["ünï€𝄞"]),
    ],
)
def test_words_reach_tcl_as_words(interp, j, args, kwargs, words):
    j.ns_a.ns_b.echo(*args, **kwargs)
    assert received(interp) == words
    assert interp.history[-1] == ["ns_a::ns_b::echo"] + words
    assert type(interp.history[-1]) is list


# The interpreter is only read from, so sharing it across examples is fine.
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.text(st.characters(blacklist_categories=("Cs",)))), st.dictionaries(
    st.from_regex(r"[a-z_][a-z0-9_]*", fullmatch=True).filter(lambda k: k != "cast_"), st.text(), max_size=3))
def test_any_text_arrives_unchanged(interp, j, args, kwargs):
    j.ns_a.ns_b.echo(*args, **kwargs)
    expected = list(args)
    for key, value in kwargs.items():
        expected += ["-" + key, value]
    assert received(interp) == expected


def test_results_and_casts(interp, j):
    assert j.set("myVar", "value") == "value"
    assert j.expr("1+1") == 2
    assert j.expr("1+1", cast_=False) == "2"
    assert j.top("a", cast_=0) == "1"
    assert "cast_" not in received(interp)
    # Without the cast the Tcl text comes back, whatever tkinter made of it.
    assert j.list("a", "b c", "{", cast_=False) == interp.tk.eval('list a "b c" "{"')
    assert j.lrange(["x", ["y z"]], 0, "end", cast_=False) == "x {{y z}}"
    assert j.binary("format", "a*", "ab\xff", cast_=False) == "ab\xff"
    nested = interp.tk.call("list", interp.tk.call("binary", "format", "a*", "\xe9"), "z")
    interp.tk.call("set", "::nested", nested)
    assert j.set("::nested", cast_=False) == "\xe9 z"


def test_tcl_errors_carry_error_info(interp, j):
    before = len(interp.history)
    with pytest.raises(TclError) as info:
        j.ns_a.ns_b.fail("it broke")
    exc = info.value
    assert exc.args == (interp.tk.eval("set ::errorInfo"),)
    assert exc.args[0].startswith("it broke\n")
    assert '"ns_a::ns_b::fail {it broke}"' in exc.args[0]
    assert exc.__cause__ is None and exc.__suppress_context__
    assert len(interp.history) == before + 1
    with pytest.raises(TclError, match='^invalid command name "no_such_proc"'):
        j.no_such_proc()


def test_calling_the_builder_itself(interp, j):
    before = list(interp.history)
    for call in (lambda: j(), lambda: j(1, x=2)):
        with pytest.raises(TclError) as info:
            call()
        assert info.value.args == ('invalid command name ""',)
    assert list(interp.history) == before


def test_name_collection(interp, j):
    p = j.ns
    assert p.a is p and p.b is p
    assert p.cmd == ["ns", "a", "b"]
    assert str(j.ns.proc) == repr(j.ns.proc) == "<tcl.J magic, referring Tcl code ::ns::proc>"
    assert j.ns.cmd == ["ns"]
    assert type(j.tcl) in (weakref.ProxyType, weakref.CallableProxyType)
    q, r = j.first, j.second
    assert (q.cmd, r.cmd) == (["first"], ["second"])
    # A pending command survives others being made, whatever holds it.
    held = [j.one.cmd, weakref.ref(j.two)]
    j.three
    assert held[0] == ["one"]
    assert held[1]() is None or held[1]().cmd == ["two"]
    assert j.ns_a.ns_b.echo("x", cast_=False) == "x"
    assert J_Code("ns_a", "ns_b", "echo", tcl=interp)("y", cast_=False) == "y"


@pytest.mark.parametrize("where", ["instance", "class"])
def test_ordinary_lookup_comes_before_commands(j, where):
    """What the builder holds under a name wins over the command of that
    name, from the moment it is set until it is removed."""
    owner = j if where == "instance" else J
    for _ in range(3):
        assert j.top(cast_=False) == "0"
        setattr(owner, "top", "shadow")
        assert j.top == "shadow"
        delattr(owner, "top")


def test_replaced_call_method_is_what_calls_run(j, monkeypatch):
    held = j.top
    original = J_Code.__call__
    monkeypatch.setattr(J_Code, "__call__", lambda self, *a, **k: (self.cmd, a, k))
    assert held(1, cast_=False) == (["top"], (1,), {"cast_": False})
    assert j.top("a", opt=2) == (["top"], ("a",), {"opt": 2})
    monkeypatch.setattr(J_Code, "__call__", original)
    assert held("a", "b", cast_=False) == j.top("a", "b", cast_=False) == "2"


def test_history_and_tk_are_read_afresh(interp, j):
    for _ in range(3):
        kept, interp.history = interp.history, []
        j.top("x")
        assert interp.history == [["top", "x"]]
        interp.history = kept
        j.top("y")
        assert kept[-1] == ["top", "y"]
    other = make_interpreter()
    kept, interp.tk = interp.tk, other.tk
    try:
        assert j.info("commands", "::ns_a::ns_b::echo", cast_=False) == ""
    finally:
        interp.tk = kept
    assert j.info("commands", "::ns_a::ns_b::echo", cast_=False) == "::ns_a::ns_b::echo"


def test_special_names_are_not_commands(j):
    code = j.ns
    # Spelled at run time (so not interned), the builders' own names still
    # name their own attributes.
    assert getattr(j, "".join("tcl")) is j.tcl
    assert getattr(code, "".join("cmd")) == ["ns"]
    assert getattr(code, "".join("tcl")) is j.tcl
    for name in ("__deepcopy__", "__setstate__", "__length_hint__"):
        assert not hasattr(code, name)
        assert not hasattr(j, name)
    assert code.cmd == ["ns"]


def test_builder_does_not_keep_its_interpreter():
    interp = make_interpreter()
    builder = J(interp)
    code = builder.set
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        code("x", "1")


@pytest.mark.parametrize("make", [lambda j: j, lambda j: j.ns.proc])
def test_copies_and_pickles_do_not_crash(j, make):
    original = make(j)
    state = dict(vars(original))
    duplicate = copy.copy(original)
    assert vars(duplicate) == state
    for attempt in (copy.deepcopy, pickle.dumps):
        try:
            attempt(original)
        except (TypeError, pickle.PicklingError):
            pass
    assert vars(original) == state


def test_half_made_objects_raise_attribute_error():
    code = J_Code.__new__(J_Code)
    for use in (lambda: code.cmd, lambda: code.tcl, lambda: code.ns, lambda: code(), lambda: str(code)):
        with pytest.raises(AttributeError):
            use()
    builder = J.__new__(J)
    for use in (lambda: builder.tcl, lambda: builder.ns):
        with pytest.raises(AttributeError):
            use()


def test_signatures_and_subclasses(interp, j):
    assert str(inspect.signature(J)) == "(tcl)"
    assert str(inspect.signature(J_Code)) == "(*cmd, tcl)"
    assert list(inspect.signature(J_Code.__call__).parameters) == ["self", "args", "kwargs"]
    with pytest.raises(TypeError):
        J_Code("x")

    class Loud(J_Code):
        def __call__(self, *args, **kwargs):
            return ("loud", super().__call__(*args, **kwargs))

    assert Loud("ns_a", tcl=interp).ns_b.echo("w", cast_=False) == ("loud", "w")
    assert received(interp) == ["w"]
    assert J.__doc__ and J_Code.__doc__.startswith("J_Code class")


def test_arguments_are_converted_with_quotify(interp, j):
    class Hooked:
        def __quotify__(self):
            return "from hook"

    value = {"a": [1, 2], "b": Hooked()}
    j.ns_a.ns_b.echo(value, Hooked(), k=value)
    assert received(interp) == [quotify(value), "from hook", "-k", quotify(value)]


class Plain(Interpreter):
    """A reader overridden (to itself): cast_any takes the long way, through
    the readers and Tcl, which makes it the oracle for the builder's own
    answers to plain results."""

    def cast_int(self, value):
        return super().cast_int(value)


@pytest.fixture(scope="module")
def plain():
    return Plain()


NUMBERISH = st.from_regex(r"[-+ ]?(0[xbo]?)?[0-9]{0,21}(\.[0-9]*)?(e[-+]?[0-9]+)?", fullmatch=True)
WORDISH = st.from_regex(r"[A-Za-z][A-Za-z0-9_.:/,@%+=-]{0,12}[ {]?", fullmatch=True)
BOOLEANISH = st.sampled_from(["t", "tr", "True", "yes", "Y", "no", "n", "of", "off", "o", "on", "f", "FALSE",
                              "inf", "Infinity", "nan", "NaN", "i", "-inf", "a b", "{a 1} {b 2}", "x\0y"])


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.one_of(NUMBERISH, WORDISH, BOOLEANISH, st.text(max_size=8)))
def test_results_are_what_cast_any_makes_of_them(interp, j, plain, text):
    expected = plain.cast_any(text)
    for builder in (j, plain.j):
        got = builder.set("x", text)
        assert got == expected and type(got) is type(expected)
    # Numbers tkinter made itself come back as they are.
    assert j.expr("6 * 7") == 42 and j.expr("1.5 * 2") == 3.0


@pytest.mark.parametrize("on_class", [False, True])
@pytest.mark.parametrize("name", ["cast_any", "cast_int", "cast_double", "cast_boolean", "getint", "getdouble"])
def test_overridden_readers_see_the_results(name, on_class):
    seen = []

    def spy(self, value):
        seen.append(value)
        return getattr(Interpreter, name)(self, value)

    if on_class:
        interp = type("Spied", (Interpreter,), {name: spy})()
    else:
        interp = Interpreter()
        setattr(interp, name, spy.__get__(interp))
    assert interp.j.set("x", "word") == "word"
    assert interp.j.expr("2 + 3") == 5
    assert "word" in seen
    # Without the override the readers are skipped again.
    if not on_class:
        delattr(interp, name)
        seen.clear()
        assert interp.j.set("x", "word") == "word" and not seen


@pytest.mark.parametrize("call", [lambda i: i.j.set("x", "v"), lambda i: i.j.expr("1+2"), lambda i: i.j.llength(("a", "b c"))])
def test_calls_leave_the_collector_nothing_more_to_walk(interp, call):
    # History keeps every word list, but the bare tk.call leaves the
    # collector nothing new to walk, and neither do the calls.
    call(interp)
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(3000):
        call(interp)
    assert len(gc.get_objects()) - before < 10
    assert len(interp.history) > 3000


# Each script runs in our interpreter and in a bare tkinter one; `run NAME
# ARGS...` calls the command NAME from wherever the script stands: through
# j or TclCommand in ours, through tk.call in the bare one.  A
# command called again and again must find what a new word finds, however
# commands and namespaces changed in between.
COMMAND_WORD_SCRIPTS = [
    "proc f {} {return one}; run f",
    "run f",
    "proc f {} {return two}; run f",
    "rename f g; list [catch {run f} m] $m [run g]",
    "proc f {} {return global}; namespace eval ns {proc f {} {return ns}}; run f",
    "namespace eval ns {run f}",
    "list [run f] [namespace eval ns {run f}] [run ns::f]",
    "namespace eval ns {rename f {}}; list [namespace eval ns {run f}] [catch {run ns::f} m] $m",
    "namespace eval tmp {proc h {} {return h}}; run tmp::h",
    "namespace delete tmp; list [catch {run tmp::h} m] $m",
    "proc 7 {} {incr ::n [lindex [info level 0] 0]; return $::n}; set n 0; list [run 7] [run 7] [run 7]",
    "proc r {} {lindex [::tcl::unsupported::representation [lindex [info level 0] 0]] 3}; list [run r] [run r]",
    # A command keeps its own word, then reads a later word as a number.
    "proc 8 {} {if {$::mode} {incr ::h [lindex [info level 0] 0]} else {set ::g [lindex [info level 0] 0]}}; "
    "set mode 0; set h 0; run 8; set mode 1; run 8; lindex [::tcl::unsupported::representation $::g] 3",
    "interp alias {} f {} string toupper; list [run f abc] [run f def]",
    "rename f {}; proc f {a b} {return $b$a}; run f x y",
    # More names than are kept: each must still reach its own command.
    "for {set i 0} {$i < 300} {incr i} {proc p$i {} [list return $i]}; "
    "set s 0; foreach k {1 2} {for {set i 0} {$i < 300} {incr i} {incr s [expr {[run p$i] == $i}]}}; set s",
]


def run_command_word_scripts(tk, call):
    def run(name, *args):
        try:
            return call(name, *args)
        except TclError as e:
            return "error: %s" % getattr(e, "result", e)

    tk.createcommand("run", run)
    out = []
    for script in COMMAND_WORD_SCRIPTS:
        try:
            out.append(tk.eval(script))
        except TclError as e:
            out.append("failed: %s" % e)
    return out


def call_through_j(interp):
    def call(name, *args):
        target = interp.j
        for part in name.split("::"):
            target = getattr(target, part)
        return target(*args, cast_=False)

    return call


def call_through_tcl_command(interp):
    from trivex.tcl.namespace import TclCommand

    return lambda name, *args: TclCommand(name, tcl=interp)(*args)


@pytest.mark.parametrize("route", [call_through_j, call_through_tcl_command])
def test_command_words_find_what_new_words_find(route):
    import tkinter

    bare = tkinter.Tcl()
    expected = run_command_word_scripts(bare.tk, bare.tk.call)
    interp = Interpreter()
    assert run_command_word_scripts(interp.tk, route(interp)) == expected
    assert expected[3] == '0 {error: invalid command name "f"} two' and expected[10] == "7 14 21"
    assert expected[12] == "cmdName"


def test_command_words_of_other_interpreters_and_threads():
    # The same name, kept for one interpreter, names another command in
    # another interpreter, in another thread, and after its interpreter ended.
    import threading

    from trivex.tcl.internal import TclDLL

    first, second = Interpreter(), Interpreter()
    for i, interp in enumerate((first, second)):
        interp.tk.eval("proc who {} {return %d}" % i)
    assert [(first.j.who(), second.j.who()) for _ in range(3)] == [(0, 1)] * 3
    first.destroy()
    third = Interpreter()
    third.tk.eval("proc who {} {return 3}")
    assert (third.j.who(), second.j.who()) == (3, 1)

    results = {}

    def worker(k):
        interp = Interpreter()
        interp.tk.eval("proc who {} {return %d}" % k)
        results[k] = {interp.j.who() for _ in range(2000)}
        del interp  # deleted by its own thread, which then hands Tcl's data back
        TclDLL.Tcl_FinalizeThread()

    threads = [threading.Thread(target=worker, args=(k,)) for k in (10, 11)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {10: {10}, 11: {11}}
