"""The four namespace views: Tcl's variables, values, commands and procedures
as mappings keyed by name."""

import collections.abc
import copy
import pickle
import sys
import tkinter

import pytest

from trivex.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclCommand,
    TempTclNamespace,
)

V = TclNamespace


@pytest.fixture
def ns(interp):
    n = TclNamespace("::t", tcl=interp)
    n.create()
    return n


def body(cls):
    return [k for k in vars(cls) if not k.startswith("_abc") and k not in (
        "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__slotnames__", "__abstractmethods__")]


def test_class_layout():
    assert V.VariablesView.__qualname__ == "TclNamespace.VariablesView"
    assert V.ProcsView.__qualname__ == "TclNamespace.ProcsView"
    assert V.VariablesView.__bases__ == (collections.abc.MutableMapping,)
    assert V.ObjectsView.__bases__ == (V.VariablesView,)
    assert V.CommandsView.__bases__ == (collections.abc.MutableMapping,)
    assert V.ProcsView.__bases__ == (V.CommandsView,)
    assert body(V.VariablesView) == [
        "__init__", "byref", "array_byref", "get", "set", "unset", "array_get", "array_set", "array_unset",
        "array_names", "is_array", "exists", "__getitem__", "__contains__", "__setitem__", "__delitem__", "__len__",
        "__iter__"]
    assert body(V.ObjectsView) == ["get", "array_get"]
    assert body(V.CommandsView) == [
        "__init__", "byref", "exists", "createcommand", "delete", "rename", "origin", "proc_body", "proc_args",
        "proc_arg_default", "__getitem__", "__contains__", "__setitem__", "__delitem__", "__len__", "__iter__"]
    assert body(V.ProcsView) == ["exists", "__iter__"]


def test_variables(interp, ns):
    tk = interp.tk
    ns.vars["x"] = 5
    assert tk.eval("set ::t::x") == "5"
    assert ns.vars["x"] == "5" and ns.objs["x"] == 5
    assert "x" in ns.vars and "nope" not in ns.vars
    x = ns.vars.byref("x")
    assert type(x) is TclVariable and x.var_name == "::t::x" and x.tcl is ns.tcl
    assert ns.vars.byref("::y").var_name == "::y"
    assert ns.vars.byref("x", cast=int).get() == 5
    ns.vars.set("a", "v", array_index="k")
    assert ns.vars.exists("a", array_index="k") and ns.vars.is_array("a")
    assert ns.objs.get("a", array_index="k") == "v"
    assert ns.vars.array_names("a") == ("k",)
    ns.vars.array_set("a", {"k2": "w w"})
    assert dict(ns.vars.array_get("a")) == {"k": "v", "k2": "w w"}
    assert dict(ns.objs.array_get("a", pattern="k2")) == {"k2": "w w"}
    ns.vars.array_unset("a", pattern="k2")
    assert ns.vars.array_names("a") == ("k",)
    ns.vars.unset("a", array_index="k")
    ns.vars.unset("gone", nocomplain=True)
    arr = ns.vars.array_byref("arr")
    assert type(arr) is TclArrayVariable and arr.var_name == "::t::arr"
    assert type(ns.vars.byref("arr", var_type=TclArrayVariable)) is TclArrayVariable
    with pytest.raises(TypeError):
        ns.vars.byref("a", tcl=interp)
    with pytest.raises(TypeError):
        ns.vars.array_byref("a", var_type=TclVariable)


def test_missing_and_invalid_names(ns):
    for op in (lambda: ns.vars["missing"], lambda: ns.objs["missing"], lambda: ns.vars.__delitem__("missing")):
        with pytest.raises(KeyError) as info:
            op()
        err = info.value.args[0]
        assert isinstance(err, tkinter.TclError) and info.value.__cause__ is err
    with pytest.raises(KeyError) as info:
        ns.vars["a:b"]
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "Invalid Tcl namespace '::t::a:b'"
    with pytest.raises(ValueError, match="Invalid Tcl namespace '::t::a:b'"):
        ns.vars["a:b"] = 1
    with pytest.raises(ValueError):
        del ns.vars["a:b"]
    with pytest.raises(ValueError):
        ns.cmds["a:b"]


def test_iteration(interp, ns):
    tk = interp.tk
    ns.vars.update({"x": 1, "y": "two words"})
    names = list(ns.vars)
    assert sorted(names) == ["x", "y"] and all(type(n) is str for n in names)
    assert "x" in list(ns.vars) and len(ns.vars) == 2
    assert dict(ns.vars.items()) == {"x": "1", "y": "two words"}
    assert dict(ns.objs.items()) == {"x": 1, "y": "two words"}
    assert ns.vars == {"x": "1", "y": "two words"}
    it = iter(ns.vars)
    tk.eval("set ::t::late 1")
    assert sorted(it) == ["late", "x", "y"]  # fetched on the first step
    it = iter(ns.vars)
    first = next(it)
    tk.eval("set ::t::later 1")
    assert len([first, *it]) == 3  # a snapshot
    # The global namespace and the current namespace list Tcl's globals.
    global_names = list(TclNamespace("::", tcl=interp).vars)
    assert "tcl_version" in global_names and all(type(n) is str for n in global_names)
    assert sorted(global_names) == sorted(str(n) for n in tk.splitlist(tk.eval("info vars")))
    assert "tcl_version" in list(TclNamespace(None, tcl=interp).vars)


def test_mixins(ns):
    ns.vars.update(a="1", b="2")
    assert ns.vars.pop("a") == "1" and "a" not in ns.vars
    assert ns.vars.setdefault("b", "x") == "2"
    assert sorted(ns.vars.keys()) == ["b"] and list(ns.vars.values()) == ["2"]
    ns.vars.clear()
    assert len(ns.vars) == 0


def test_commands(interp, ns):
    tk = interp.tk
    missing = ns.cmds["nosuch"]
    assert type(missing) is TclCommand and missing.cmd_name == "::t::nosuch"
    assert "nosuch" not in ns.cmds
    with pytest.raises(KeyError) as info:
        del ns.cmds["nosuch"]
    assert isinstance(info.value.__cause__, tkinter.TclError)
    ns.cmds["f"] = lambda *a: "f:" + ",".join(a)
    assert tk.eval("::t::f 1 2") == "f:1,2"
    assert "f" in ns.cmds and "f" not in ns.procs
    tk.eval("proc ::t::p {a {b 2}} {return $a$b}")
    assert "p" in ns.cmds and "p" in ns.procs
    assert sorted(ns.cmds) == ["f", "p"] and list(ns.procs) == ["p"]
    assert len(ns.procs) == int(tk.eval("llength [namespace eval ::t {info procs}]"))
    assert ns.cmds.proc_args("p") == ("a", "b") and ns.cmds.proc_body("p") == "return $a$b"
    assert ns.cmds.proc_arg_default("p", "b") == "2"
    assert ns.cmds.origin("p") == "::t::p"
    assert ns.cmds.get("p").cmd_name == "::t::p"
    ns.cmds.rename("f", "g")
    assert tk.eval("info commands ::t::*") in ("::t::g ::t::p", "::t::p ::t::g")
    ns.cmds.rename("g", "::g")
    assert ns.cmds.exists("::g") and not ns.cmds.exists("g")
    ns.cmds.delete("::g")
    del ns.cmds["p"]
    assert list(ns.cmds) == []
    ns.cmds.createcommand("h", lambda: "h")
    assert ns.cmds["h"]() == "h"
    assert ns.cmds.byref("h", args=("x",)).build_tclcmd() == ("::t::h", "x")


def test_command_names_stay_one_word(interp, ns):
    ns.cmds["two words"] = lambda: "spaced"
    ns.cmds["br{ace"] = lambda: "braced"
    assert interp.tk.call("::t::two words") == "spaced"
    assert ns.cmds["two words"]() == "spaced" and ns.cmds["br{ace"]() == "braced"
    assert "two words" in ns.cmds and sorted(ns.cmds) == ["br{ace", "two words"]


def test_global_commands_view(interp):
    cmds = TclNamespace("::", tcl=interp).cmds
    assert "set" in cmds and "set" in list(cmds)
    assert cmds["set"].cmd_name == "::set"


def test_view_needs_a_namespace():
    if not sys.flags.optimize:
        with pytest.raises(AssertionError):
            V.VariablesView("::t")
        with pytest.raises(AssertionError):
            V.CommandsView(None)


def test_overridden_view_methods_are_used(ns):
    class Loud(V.VariablesView):
        def get(self, var_name):
            return "loud " + super().get(var_name)

    ns.vars["x"] = 1
    assert Loud(ns)["x"] == "loud 1"
    view = V.VariablesView(ns)
    view.byref = lambda name: TclVariable("::t::x", tcl=ns.tcl)
    assert view["anything"] == "1"


@pytest.mark.parametrize("base, make, use", [
    (V.VariablesView, lambda ns: ns.objs, lambda obj: obj["x"]),
    (V.CommandsView, lambda ns: ns.procs, lambda obj: obj["x"]),
    (TclArrayVariable, lambda ns: TempTclArrayVariable("::t::arr", tcl=ns.tcl), lambda obj: obj["x"]),
    (TclCommand, lambda ns: TempTclCommand(cmd_name="::t::c", tcl=ns.tcl), lambda obj: obj("x")),
])
def test_special_methods_patched_on_a_base_reach_its_subclasses(ns, base, make, use):
    """The classes that inherit their item access or call from the module's
    own base follow that base when its special method is replaced."""
    name = "__call__" if base is TclCommand else "__getitem__"
    obj = make(ns)
    saved = base.__dict__[name]
    try:
        setattr(base, name, lambda self, *args: ("patched",) + args)
        assert use(obj) == ("patched", "x")
    finally:
        setattr(base, name, saved)
    try:
        result = use(obj)
    except (KeyError, tkinter.TclError):
        result = None
    assert result != ("patched", "x")


def test_copies_pickles_and_bare_objects(interp, ns):
    """No misuse crashes: each copy either works or raises a Python error."""
    from trivex.tcl.namespace import TempTclArrayVariable, TempTclVariable

    objects = [ns, ns.vars, ns.objs, ns.cmds, ns.procs, TclCommand(("set",), tcl=interp),
               TempTclCommand(len, tcl=interp), TempTclNamespace(tcl=interp), TclArrayVariable("a", tcl=interp),
               TempTclVariable(tcl=interp), TempTclArrayVariable(tcl=interp)]
    for obj in objects:
        shallow = copy.copy(obj)
        assert type(shallow) is type(obj)
        for dup in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            try:
                dup(obj)
            except (TypeError, pickle.PicklingError, AttributeError, RecursionError):
                pass
    assert copy.copy(ns).vars is ns.vars
    for cls in (TclNamespace, V.VariablesView, V.CommandsView, TclCommand, TempTclNamespace):
        bare = cls.__new__(cls)
        with pytest.raises(AttributeError):
            list(bare) if isinstance(bare, collections.abc.Mapping) else str(bare)
    bare_view = V.VariablesView.__new__(V.VariablesView)
    with pytest.raises(AttributeError):
        bare_view["x"]


from hypothesis import given, strategies as st  # noqa: E402

_view_interp = None


def _shared_interp():
    global _view_interp
    if _view_interp is None:
        from support import make_interpreter

        _view_interp = make_interpreter()
    return _view_interp


names = st.text(alphabet=st.sampled_from("ab: {$\\é"), min_size=1, max_size=6) | st.sampled_from(["x", "a::b", "::g"])


@given(st.sampled_from(["::", "::t", "::t::u", "t", "::a b", "::é"]), names)
def test_view_lookup_is_the_variable_lookup(ns_name, name):
    interp = _shared_interp()
    ns = TclNamespace(ns_name, tcl=interp)
    if ns_name != "::":
        ns.create()
    try:
        qualified = TclNamespace.join(ns_name, name)
    except ValueError:
        with pytest.raises(KeyError):
            ns.vars[name]
        return
    if TclNamespace.qualifiers(qualified):
        interp.tk.call("namespace", "eval", TclNamespace.qualifiers(qualified), "")
    TclVariable(qualified, tcl=interp).set("value of " + qualified)
    assert ns.vars[name] == "value of " + qualified == interp.tk.call("set", qualified)
    assert ns.objs[name] == ns.objs.get(name) == TclVariable(qualified, tcl=interp).get_obj()


def test_fast_paths_survive_copying(interp, ns):
    """copy stores __slotnames__ on the classes it copies; lookups must stay
    right (and stay on their fast paths, which the benchmark shows)."""
    ns.vars["x"] = "before"
    copy.copy(ns)
    copy.copy(TclVariable("x", tcl=interp))
    copy.copy(TclCommand(("set",), tcl=interp))
    assert "__slotnames__" in vars(TclNamespace)
    assert ns.vars["x"] == "before" and ns.objs["x"] == "before"
    assert TclCommand("set", args=("::t::x",), tcl=interp)("after") == "after"
