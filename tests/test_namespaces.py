"""TclNamespace and TempTclNamespace against a real Tcl interpreter; Tcl's
own `namespace` subcommands are the oracle."""

import gc
import inspect
import re
import tkinter

import pytest
from hypothesis import given, strategies as st
from support import make_interpreter

from trivex.tcl.namespace import TclCommand, TclNamespace, TempTclNamespace

NS_BODY = ["__init__", "children", "code", "current", "create", "delete", "eval", "call", "exists", "export",
           "forget", "import_", "origin", "parent", "which", "is_absolute", "is_relative", "absolute",
           "make_absolute", "__str__", "qualifiers", "tail", "join", "split", "normalize", "VariablesView",
           "ObjectsView", "CommandsView", "ProcsView"]


def test_class_layout():
    body = [k for k in vars(TclNamespace) if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                                         "__weakref__", "__slotnames__")]
    assert body == NS_BODY
    assert [k for k in vars(TempTclNamespace) if k not in ("__module__", "__qualname__", "__doc__", "__slotnames__")] == [
        "__init__", "__enter__", "__exit__"]
    assert str(inspect.signature(TclNamespace)) == "(ns, tcl=None)"
    assert str(inspect.signature(TclNamespace.export)) == "(self, clear=False, *patterns)"
    assert str(inspect.signature(TempTclNamespace)) == "(ns='::__trivex__{cls}_{id}_tmp', **kwargs)"
    assert not hasattr(TclNamespace, "__tclobj__") and TclNamespace.__repr__ is object.__repr__


def test_construction(interp):
    ns = TclNamespace("::a", tcl=interp)
    assert list(vars(ns)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    assert type(ns.vars) is TclNamespace.VariablesView and ns.vars.ns is ns
    assert type(ns.objs) is TclNamespace.ObjectsView and type(ns.procs) is TclNamespace.ProcsView
    assert type(ns.cmds) is TclNamespace.CommandsView
    current = TclNamespace(None, tcl=interp)
    assert current.ns == "" and str(current) == ""
    assert current.is_absolute() == "" and current.is_relative() == ""
    assert TclNamespace("::", tcl=interp).is_absolute() is True
    assert TclNamespace("rel", tcl=interp).is_relative() is True
    assert TclNamespace(("a", "b"), tcl=interp).ns == "a b"


def test_eval_and_call_inside_the_namespace(interp):
    tk = interp.tk
    ns = TclNamespace("::a", tcl=interp)
    ns.eval("set x 1")
    assert tk.eval("set ::a::x") == "1"
    ns.eval("set", "x", "two words")
    assert tk.eval("set ::a::x") == "two words"
    assert ns.call("set", "x", 3) == 3
    assert tk.eval("set ::a::x") == "3"
    assert ns.eval(("list", "a b", "c")) == "{a b} c"
    here = TclNamespace(None, tcl=interp)
    here.call("set", "g", "global")
    assert tk.eval("set ::g") == "global"
    assert here.eval("set g") == "global"
    with pytest.raises(tkinter.TclError):
        here.call("set g")  # one word: no command of that name


def test_create_exists_delete(interp):
    ns = TclNamespace("::made", tcl=interp)
    assert not ns.exists()
    ns.create()
    assert ns.exists() and interp.tk.eval("namespace exists ::made") == "1"
    ns.delete()
    assert not ns.exists()
    with pytest.raises(tkinter.TclError):
        ns.delete()
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        TclNamespace(None, tcl=interp).create()


def test_children(interp):
    tk = interp.tk
    tk.eval("namespace eval ::p {namespace eval a1 {}; namespace eval a2 {}; namespace eval b {}}")
    p = TclNamespace("::p", tcl=interp)
    assert sorted(p.children()) == ["::p::a1", "::p::a2", "::p::b"]
    assert sorted(p.children("a*")) == sorted(tk.splitlist(tk.eval("namespace children ::p a*")))
    assert p.children("none*") == ()
    assert "::p" in TclNamespace("::", tcl=interp).children("p*")


def test_code_current_and_absolute(interp):
    tk = interp.tk
    ns = TclNamespace("::c", tcl=interp)
    script = ns.code("set y 5")  # raw: the binding's tuple of the list's words
    tk.call(script)
    assert tk.eval("set ::c::y") == "5"
    here = TclNamespace(None, tcl=interp)
    rel = TclNamespace("rel", tcl=interp)
    assert here.current() == "::" and rel.absolute() == "::rel" and here.absolute() == "::"
    seen = []
    TclCommand(("probe",), tcl=interp).createcommand(lambda: seen.append((here.current(), rel.absolute())))
    tk.eval("namespace eval ::outer probe")
    assert seen == [("::outer", "::outer::rel")]
    rel.make_absolute()
    assert rel.ns == "::rel"
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        TclNamespace("a:b", tcl=interp).absolute()


def test_export_import_forget_origin_which(interp):
    tk = interp.tk
    src = TclNamespace("::src", tcl=interp)
    src.eval("proc pa {} {return a}; proc pb {} {}; proc q {} {}; variable v 1")
    assert src.export() == ()
    assert src.export(False, "p*") is None
    assert src.export(False, "q") is None
    assert sorted(src.export()) == ["p*", "q"]
    assert src.export("p*") is None  # the trap: "p*" is the clear flag
    assert src.export() == ()
    src.export(False, "p*")
    dst = TclNamespace("::dst", tcl=interp)
    dst.import_(False, "::src::*")
    assert tk.eval("::dst::pa") == "a"
    assert dst.origin("pa") == "::src::pa"
    assert dst.which("pa", command=True) == "::dst::pa"
    assert src.which("v", variable=True) == "::src::v"
    assert dst.which("nothing", command=True) == ""
    dst.forget("::src::pa")
    assert tk.eval("info commands ::dst::pa") == ""
    with pytest.raises(tkinter.TclError):
        dst.import_(False, "::src::pa", "::nowhere::x")
    tk.eval("proc ::dst::pb {} {return mine}")
    dst.import_(True, "::src::pb")
    assert dst.origin("pb") == "::src::pb"
    with pytest.raises(tkinter.TclError):
        dst.origin("missing")


@pytest.mark.parametrize(
    "name, parent", [("::a::b", "::a"), ("::a", "::"), ("::", ""), ("::a::b::", "::a"), ("::x:y", "::")])
def test_parent_without_tcl(name, parent):
    doomed = make_interpreter()
    ns = TclNamespace(name, tcl=doomed)
    del doomed
    gc.collect()
    assert ns.parent() == parent  # no Tcl call: the interpreter is gone
    with pytest.raises(ReferenceError):
        ns.parent(force_eval=True)


@given(st.lists(st.text(alphabet=st.sampled_from("ab: {$"), min_size=1, max_size=3), min_size=1, max_size=3),
       st.sampled_from(["::", ":::", "::::"]))
def test_parent_agrees_with_tcl(parts, sep):
    name = "::" + sep.join(parts)
    ns = TclNamespace(name, tcl=_INTERP)
    _INTERP.tk.call("namespace", "eval", name, "")
    assert ns.parent() == ns.parent(force_eval=True)


_INTERP = make_interpreter()


def test_parent_asks_tcl_when_it_must(interp):
    with pytest.raises(tkinter.TclError):
        TclNamespace("::a::b", tcl=interp).parent(force_eval=True)
    interp.tk.eval("namespace eval ::r::s {}")
    assert TclNamespace("r::s", tcl=interp).parent() == "::r"
    with pytest.raises(tkinter.TclError):
        TclNamespace("nowhere", tcl=interp).parent()
    assert TclNamespace(None, tcl=interp).parent() == ""


def test_temporary_namespace(interp):
    with TempTclNamespace(tcl=interp) as t:
        assert re.fullmatch(r"::__trivex__TempTclNamespace_\d+_tmp", t.ns)
        assert t.exists()
        t.vars["x"] = 1
    assert not t.exists()
    with pytest.raises(LookupError):
        with TempTclNamespace(tcl=interp) as u:
            raise LookupError
    assert not u.exists()
    with TempTclNamespace(tcl=interp) as w:
        w.delete()  # already gone at exit: no error
    assert not w.exists()

    class Mine(TempTclNamespace):
        pass

    with Mine("::mine_{cls}", tcl=interp) as m:
        assert m.ns == "::mine_Mine" and m.exists()
    with pytest.raises(TypeError):
        TempTclNamespace(tcl=interp, other=1)


def test_dead_interpreter():
    doomed = make_interpreter()
    ns = TclNamespace("::d", tcl=doomed)
    rel = TclNamespace("rel", tcl=doomed)
    del doomed
    gc.collect()
    for op in (ns.create, ns.exists, ns.delete, ns.children, lambda: ns.eval("x"), lambda: ns.call("x"),
               ns.current, rel.absolute, lambda: ns.vars["x"], lambda: list(ns.vars), lambda: ns.cmds["f"]):
        with pytest.raises(ReferenceError):
            op()
    assert ns.absolute() == "::d" and str(ns) == "::d"
