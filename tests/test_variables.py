"""TclVariable and TempTclVariable against a real Tcl interpreter.

Tcl is the judge: what the handles write is what Tcl code reads, and what
Tcl code writes is what the handles read.  Tcl is read back through
`tk.call` with the name as one word, so no quoting of ours takes part.
"""

import copy
import gc
import inspect
import pickle
import re
import tkinter

import pytest
from hypothesis import given, strategies as st
from support import make_interpreter

import trivex.tcl
from trivex.tcl.namespace import TclArrayVariable, TclVariable, TempTclVariable
from trivex.tcl.quotify import quotify, tclobj

# No NUL: tkinter refuses it in variable names and cuts eval results at it.
text = st.text(
    alphabet=st.sampled_from(" {}[]$;\\\"#\tx\u00e9\u20ac\U0001f600")
    | st.characters(blacklist_categories=["Cs"], blacklist_characters="\x00"),
    max_size=10,
)
# Variable names without parentheses (those would name array elements).
var_names = text.filter(lambda s: "(" not in s and ")" not in s and "::" not in s and not s.endswith(":") and s)


def test_class_layout():
    assert [k for k in vars(TclVariable) if not k.startswith("__") or k == "__init__"][:3] == [
        "_TclVariable__marker", "__init__", "get_obj"]
    body = [k for k in vars(TclVariable) if k not in ("__module__", "__qualname__", "__dict__", "__weakref__", "__slotnames__", "__doc__")]
    assert body == [
        "_TclVariable__marker", "__init__", "get_obj", "get_str", "get", "set", "unset", "exists",
        "array_item_byref", "array_get_obj", "array_get_str", "array_get", "array_set", "array_unset",
        "array_size", "array_names", "is_array", "absolute", "make_absolute", "__str__", "__tclobj__",
        "__repr__"]
    assert TclVariable.get is TclVariable.get_obj
    assert TclVariable.array_get is TclVariable.array_get_obj
    assert TempTclVariable.__bases__ == (TclVariable,)
    assert [k for k in vars(TempTclVariable) if k.startswith("__e") or k == "__init__"] == ["__init__", "__enter__", "__exit__"]
    assert str(inspect.signature(TclVariable)) == "(var_name, array_index=None, tcl=None, cast=None)"
    assert str(inspect.signature(TempTclVariable)) == "(var_name='::__trivex__{cls}_{id}_tmp', **kwargs)"


def test_module_top_level():
    from trivex.tcl import namespace as mod

    assert mod.__all__ == ("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                           "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace")
    public = [k for k in vars(mod) if not k.startswith("__")]
    assert public[:9] == ["MutableMapping", "quotify", "tclobj", "TclError", "Tk", "MethodType", "weakref",
                          "sys", "functools"]
    assert mod.quotify is quotify and mod.tclobj is tclobj
    doc = mod.__doc__
    assert [doc.index(n + "\n") for n in mod.__all__] == sorted(doc.index(n + "\n") for n in mod.__all__)


def test_values_travel_both_ways(interp):
    tk = interp.tk
    v = TclVariable("x", tcl=interp)
    v.set(5)
    assert tk.eval("set x") == "5" and v.get_str() == "5"
    tk.eval("set x {a b}")
    assert v.get_str() == "a b"
    v.set(["a b", 1, ("c",)])
    assert tk.eval("llength $x") == "3" and tk.eval("lindex $x 0") == "a b"
    v.set(None)
    assert tk.eval("set x") == ""


@given(var_names, text)
def test_any_name_and_value_round_trip(name, value):
    tk = _TK.tk
    v = TclVariable(name, tcl=_TK)
    v.set(value)
    assert tk.call("set", name) == value
    assert v.get_str() == value
    assert v.get() == value
    assert v.exists()
    tk.call("set", name, value + "!")
    assert v.get_str() == value + "!"
    v.unset()
    assert not v.exists()


@given(var_names, text.filter(lambda s: s), text)
def test_any_element_round_trips(name, index, value):
    tk = _TK.tk
    v = TclVariable(name, tcl=_TK)
    v.unset(nocomplain=True)
    v.set(value, array_index=index)
    assert tk.call("set", "%s(%s)" % (name, index)) == value
    assert v.get_str(array_index=index) == value
    assert v.get(array_index=index) == value
    assert v.exists(array_index=index)
    assert TclVariable(name, array_index=index, tcl=_TK).get_str() == value
    v.unset(array_index=index)
    assert not v.exists(array_index=index)
    v.unset(nocomplain=True)


_TK = make_interpreter()


@pytest.mark.parametrize(
    "name, index, var_name",
    [("a", None, "a"), ("a", "k", "a(k)"), ("a", ("k", "l"), "a(k l)"), ("a b", None, "a b"),
     (("x", "y"), None, "x y"), ("a", 1, "a(1)"), (None, None, "")],
)
def test_var_name(interp, name, index, var_name):
    assert TclVariable(name, array_index=index, tcl=interp).var_name == var_name


def test_non_text_index_addresses_the_same_element_everywhere(interp):
    v = TclVariable("arr", tcl=interp)
    for index in (1, ("k", "l"), 2.5):
        v.set("val", array_index=index)
        assert v.get(array_index=index) == "val"
        assert v.get_str(array_index=index) == "val"
        assert v.exists(array_index=index)
        assert interp.tk.call("set", "arr(%s)" % quotify(index)) == "val"
        v.unset(array_index=index)
        assert not v.exists(array_index=index)


def test_cast(interp):
    v = TclVariable("n", tcl=interp, cast=int)
    v.set("42")
    assert v.get() == 42 and v.get_obj() == 42
    assert v.get(cast=None) == "42"
    assert v.get(cast=str) == "42"
    assert v.get(cast=lambda s: s + "!") == "42!"
    assert v.get_str() == "42"
    v.set("4x")
    with pytest.raises(ValueError):
        v.get()


# Scripts leaving values of Tcl's object types in `v` and in `a(k)`.
TYPED_VALUES = [
    "expr {6 * 7}", "expr {-(2**62)}", "expr {2**70}", "expr {1.5e300}", "expr {0.1 + 0.2}", "expr {1 < 2}",
    "list a {b c} 3", "dict create k v", "string repeat ab 2", "binary format a3 xyz", "format %s {}",
    "string is true yes", r"lindex {x\u00e9 y} 0", "proc p {} {}; info body p", r"subst {a\u0000b}",
]


@pytest.mark.parametrize("script", TYPED_VALUES)
def test_typed_reads_convert_as_tkinter_does(interp, script):
    tk = interp.tk
    tk.eval("set v [%s]; set a(k) $v" % script)
    for wantobjects in (1, 0):
        tk.wantobjects(wantobjects)
        theirs = [tk.getvar("v"), tk.getvar("a", "k"), tk.getvar("a(k)")]
        ours = [TclVariable("v", tcl=interp).get(), TclVariable("a", tcl=interp).get(array_index="k"),
                TclVariable("a(k)", tcl=interp).get()]
        assert [(type(x), str(x)) for x in ours] == [(type(x), str(x)) for x in theirs]
    tk.wantobjects(1)


@pytest.mark.parametrize(
    "value",
    [5, -(2**63), 2**63 - 1, 0.1, 1e300, float("inf"), float("nan"), -0.0, "abc", "", "x\u00e9", True,
     ("a b", (1, 2.5), ()), ["x", ["y"]], ("a", "x\u00e9")],
)
def test_writes_leave_the_object_tkinter_would(interp, value):
    tk = interp.tk
    TclVariable("ours", tcl=interp).set(value)
    TclArrayVariable("arr", tcl=interp)["ours"] = value
    tk.setvar("theirs", value)

    def kind(word):
        return tk.eval("::tcl::unsupported::representation %s" % word).split(",")[0]

    assert kind("$ours") == kind("$arr(ours)") == kind("$theirs")
    if isinstance(value, (tuple, list)):
        assert kind("[lindex $ours 1]") == kind("[lindex $theirs 1]")
    assert tk.eval("expr {[string equal $ours $theirs] && [string equal $arr(ours) $theirs]}") == "1"


def test_missing_variables_and_unset(interp):
    from tkinter import TclError

    v = TclVariable("never", tcl=interp)
    assert not v.exists()
    for op in (v.get, v.get_str, v.unset):
        with pytest.raises(TclError):
            op()
    assert v.unset(nocomplain=True) is None
    v.set(1)
    assert v.exists() is True
    with pytest.raises(TclError):
        v.get(array_index="k")  # a scalar has no elements


def test_array_operations(interp):
    tk = interp.tk
    v = TclVariable("arr", tcl=interp)
    assert not v.is_array() and v.array_size() == 0
    v.array_set({"a1": 1, "a2": "x y", "b": 3})
    assert tk.eval("array size arr") == "3" and tk.eval("set arr(a2)") == "x y"
    assert v.is_array() and v.array_size() == 3
    assert sorted(v.array_names()) == ["a1", "a2", "b"]
    assert sorted(v.array_names(pattern="a*")) == ["a1", "a2"]
    assert isinstance(v.array_names(), tuple)
    # The object form keeps what the binding returns; the text form is text.
    assert {k: str(x) for k, x in v.array_get().items()} == {"a1": "1", "a2": "x y", "b": "3"}
    assert dict(v.array_get_str("a*")) == {"a1": "1", "a2": "x y"}
    assert {k: str(x) for k, x in v.array_get_obj(pattern="b").items()} == {"b": "3"}
    v.array_set(["k v", "val"])  # a flat key/value sequence works too
    assert tk.call("set", "arr(k v)") == "val"
    v.array_unset(pattern="a*")
    assert sorted(v.array_names()) == ["b", "k v"]
    v.array_unset()
    assert not v.exists()
    TclVariable("scalar", tcl=interp).set(1)
    assert TclVariable("scalar", tcl=interp).array_size() == 0
    from tkinter import TclError

    with pytest.raises(TclError):
        v.array_set(["odd"])


def test_array_item_byref(interp):
    v = TclVariable("arr", tcl=interp, cast=str)
    item = v.array_item_byref("k", cast=int)
    assert type(item) is TclVariable
    assert item.var_name == "arr(k)" and item.tcl is v.tcl and item.cast is int
    item.set(7)
    assert interp.tk.call("set", "arr(k)") == 7 and item.get() == 7
    assert v.array_item_byref(("a", "b")).var_name == "arr(a b)"


def test_names_repr_and_conversion(interp):
    v = TclVariable("::x", tcl=interp)
    assert repr(v) == "TclVariable('::x')" and str(v) == "::x"
    assert quotify(v) == "::x" and tclobj(v) == "::x"
    assert quotify(["info", "exists", TclVariable("a b", tcl=interp)]) == "info exists {a b}"
    v.set(3)
    # Handed to Tcl as an argument, the variable stands for its name.
    assert interp.tk.call(tclobj(("info", "exists", v))) == 1

    class Sub(TclVariable):
        pass

    assert repr(Sub("y", tcl=interp)) == "Sub('y')"


def test_absolute(interp):
    tk = interp.tk
    assert TclVariable("x", tcl=interp).absolute() == "::x"
    assert TclVariable("::ns::x", tcl=interp).absolute() == "::ns::x"
    v = TclVariable("y", tcl=interp)
    v.make_absolute()
    assert v.var_name == "::y"
    seen = []
    inner = TclVariable("z", tcl=interp)
    tk.createcommand("probe", lambda: seen.append(inner.absolute()))
    tk.eval("namespace eval ::outer::inner { probe }")
    assert seen == ["::outer::inner::z"]
    bad = TclVariable("a", array_index="x:y", tcl=interp)
    with pytest.raises(ValueError, match=re.escape("Invalid Tcl namespace '::::a(x:y)'")):
        bad.make_absolute()
    assert bad.var_name == "a(x:y)"


def test_temporary_variable(interp):
    with TempTclVariable(tcl=interp) as v:
        assert re.fullmatch(r"::__trivex__TempTclVariable_\d+_tmp", v.var_name)
        assert v.var_name == "::__trivex__TempTclVariable_%d_tmp" % id(v)
        assert not v.exists()
        v.set("x")
        assert interp.tk.call("set", v.var_name) == "x"
    assert not v.exists()
    with v:  # a second block, never set: nothing to remove, nothing raised
        pass
    with pytest.raises(ZeroDivisionError):
        with TempTclVariable(tcl=interp, cast=int) as w:
            w.set(1, array_index="k")
            1 / 0
    assert not w.exists() and w.cast is int


def test_temporary_variable_names(interp):
    v = TempTclVariable("::mytmp_{id}", tcl=interp)
    assert v.var_name == "::mytmp_%d" % id(v)
    assert TempTclVariable("::{cls}{{x}}", tcl=interp).var_name == "::TempTclVariable{x}"
    assert TempTclVariable("plain", tcl=interp, array_index="k").var_name == "plain(k)"
    with pytest.raises(KeyError):
        TempTclVariable("::{x}", tcl=interp)
    with pytest.raises(IndexError):
        TempTclVariable("::{0}", tcl=interp)
    with pytest.raises(TypeError):
        TempTclVariable(tcl=interp, bogus=1)


def test_exit_does_not_hide_the_exception(interp):
    class Failing(TempTclVariable):
        def unset(self, **kwargs):
            raise RuntimeError("unset failed")

    with pytest.raises(RuntimeError, match="unset failed"):
        with Failing(tcl=interp):
            raise KeyError("inner")


def test_enter_and_exit_defer_to_later_classes(interp):
    class Mixin:
        def __enter__(self):
            return "from mixin"

        def __exit__(self, *exc_info):
            self.exit_info = exc_info
            return True

    class Both(TempTclVariable, Mixin):
        pass

    b = Both(tcl=interp)
    with b as entered:
        raise ValueError("swallowed by the mixin")
    assert entered == "from mixin" and b.exit_info[0] is ValueError


def test_default_interpreter():
    try:
        trivex.tcl.tk
    except (ImportError, AttributeError):
        pytest.skip("the package front does not publish an interpreter yet")
    v = TclVariable("::__default_probe")
    v.set("d")
    assert trivex.tcl.tk.call("set", "::__default_probe") == "d"
    v.unset()


def test_dead_interpreter_raises_reference_error():
    interp = make_interpreter()
    v = TclVariable("x", tcl=interp)
    t = TempTclVariable(tcl=interp)
    del interp
    gc.collect()
    for op in (v.get, v.get_str, lambda: v.set(1), v.unset, v.exists, v.array_get, v.array_names,
               v.array_size, v.is_array, lambda: v.array_set({}), v.array_unset, lambda: t.__exit__(None, None, None)):
        with pytest.raises(ReferenceError):
            op()
    with pytest.raises(ReferenceError):
        TclVariable("y", tcl=v.tcl)  # the truth test of the dead proxy
    with pytest.raises(ReferenceError):
        v.absolute()
    assert repr(v) == "TclVariable('x')" and v.make_absolute is not None


def test_copies_pickles_and_bare_objects(interp):
    v = TclVariable("x", tcl=interp, cast=str)
    c = copy.copy(v)
    c.set("via copy")
    assert v.get() == "via copy" and c.tcl is v.tcl
    for dup in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
        try:
            other = dup(v)
        except (TypeError, pickle.PicklingError, AttributeError):
            continue
        assert other.var_name == "x"
    bare = TclVariable.__new__(TclVariable)  # made without __init__
    for op in (bare.get, bare.get_str, lambda: bare.set(1), lambda: repr(bare), lambda: str(bare), bare.absolute):
        with pytest.raises(AttributeError):
            op()


def test_weak_proxy_rule(interp):
    import weakref

    v = TclVariable("x", tcl=interp)
    assert type(v.tcl) in weakref.ProxyTypes
    w = TclVariable("x", tcl=v.tcl)
    assert w.tcl is v.tcl  # a proxy given is used as it is
    with pytest.raises(TypeError):
        TclVariable("x", tcl=42)  # an int cannot be weakly referenced


def test_attribute_changes_are_seen(interp):
    tk = interp.tk
    tk.eval("set a 1; set b 2; set c 3")
    v = TclVariable("a", tcl=interp, cast=int)
    assert v.get() == 1
    v.var_name = "b"
    assert v.get() == 2 and v.get_str() == "2"
    saved = TclVariable.__dict__.get("var_name")
    try:
        TclVariable.var_name = property(lambda self: "c")
        assert v.get() == 3  # a data descriptor on the class wins over the instance dict
    finally:
        del TclVariable.var_name
    assert saved is None and v.get() == 2
    with pytest.raises(TypeError, match=r"set\(\) takes from 2 to 3 positional arguments but 4 were given"):
        v.set(1, 2, 3)
    with pytest.raises(TypeError):
        v.get(1, 2, 3)
    v.set(value=7)
    assert v.get(cast=str) == "7"


# Frames a Python callback may be called from, each holding `x` and the
# array `arr` (reached through links where the frame has them), and traces
# that may watch them.  Tcl itself, doing the same reads and writes in the
# same frame, is the oracle for what the callback sees and leaves behind.
FRAMES = {
    "global": "proc scene {} { uplevel #0 { set x 1; array set arr {k a}; PROBE } }",
    "proc locals": "proc scene {} { set x 1; array set arr {k a}; PROBE }",
    "upvar links": "proc inner {} { upvar 1 x x arr arr; PROBE }; proc scene {} { set x 1; array set arr {k a}; inner }",
    "global links": "proc scene {} { global x arr; set x 1; array set arr {k a}; PROBE }",
    "namespace eval": "proc scene {} { namespace eval ::n { variable x 1; variable arr; array set arr {k a}; PROBE } }",
}
# The traces report to `note`, a Python command.
TRACES = {
    "none": "",
    "read, rewriting": "trace add variable x read {apply {{n1 n2 op} {upvar 1 $n1 v; set v R; note $op}}};"
    " trace add variable arr read {apply {{n1 n2 op} {upvar 1 $n1 v; set v($n2) R; note $op$n2}}}",
    "write, on the array": "trace add variable arr write {apply {{n1 n2 op} {note $op$n2}}};"
    " trace add variable x write {apply {{n1 n2 op} {note $op}}}",
}
PROBE_TCL = """proc probe_tcl {} { uplevel 1 {
    foreach name {x arr(k) missing arr} { lappend ::got [expr {[catch {set $name} v] ? "error" : $v}] }
    foreach {name value} {x w arr(k) w2 fresh f arr no x(k) no} { lappend ::got [catch {set $name $value}] }
    lappend ::got $x $arr(k) $fresh $arr(k)
    set arr(k) w3
    lappend ::got $arr(k) [catch {set arr(nope)}] [catch {set x(k)}]
} }"""


@pytest.mark.parametrize("trace", TRACES)
@pytest.mark.parametrize("frame", FRAMES)
def test_reads_and_writes_from_any_frame_match_tcl(interp, frame, trace):
    tk = interp.tk

    seen = []

    def probe():
        for name in ("x", "arr(k)", "missing", "arr"):
            try:
                seen.append(interp.vars[name])
            except KeyError:
                seen.append("error")
        for name, value in (("x", "w"), ("arr(k)", "w2"), ("fresh", "f"), ("arr", "no"), ("x(k)", "no")):
            try:
                interp.vars[name] = value
                seen.append("0")
            except tkinter.TclError:
                seen.append("1")
        seen.extend((interp.vars["x"], interp.vars["arr(k)"], interp.vars["fresh"]))
        arr = TclArrayVariable("arr", tcl=interp)
        seen.append(arr["k"])
        arr["k"] = "w3"
        seen.append(arr["k"])
        for array, key in ((arr, "nope"), (TclArrayVariable("x", tcl=interp), "k")):
            try:
                array[key]
                seen.append("0")
            except tkinter.TclError:
                seen.append("1")

    log = []
    tk.createcommand("probe_py", probe)
    tk.createcommand("note", log.append)
    tk.eval(PROBE_TCL)
    outcomes = []
    for probe_name in ("probe_tcl", "probe_py"):
        tk.eval("catch {namespace delete ::n}; unset -nocomplain ::x ::arr ::fresh; set ::got {}")
        tk.eval(FRAMES[frame].replace("PROBE", "%s; %s" % (TRACES[trace], probe_name)))
        tk.eval("scene")
        outcomes.append((tk.splitlist(tk.eval("set ::got")) or tuple(seen), list(log)))
        log.clear()
    assert outcomes[1] == outcomes[0]
    assert len(outcomes[0][0]) == 16


def test_locals_of_different_procs_and_interpreters_read_in_turn():
    # Procs whose local `x` sits at different places, in two interpreters,
    # each calling back into Python that reads `x` and `a(k)` where it runs.
    interps = [make_interpreter(), make_interpreter()]
    seen = []
    for n, interp in enumerate(interps):
        interp.tk.createcommand("probe", lambda interp=interp: seen.append((interp.vars["x"], interp.vars["a(k)"])))
        interp.tk.eval(
            "proc p1 {} { set x p1-%d; set a(k) a1; probe }; proc p2 {} { set y 0; set z 0; set x p2-%d;"
            " array set a {k a2}; probe }; set x g-%d; set a(k) ag" % (n, n, n)
        )
    for _ in range(2):
        for n, interp in enumerate(interps):
            for script in ("p1", "p2", "probe"):
                interp.tk.eval(script)
    one_round = [(where % n, a) for n in (0, 1) for where, a in (("p1-%d", "a1"), ("p2-%d", "a2"), ("g-%d", "ag"))]
    assert seen == one_round * 2
