"""Module interpreter: construction, evaluation, history, attribute delegation
and the shared interpreter."""

import copy
import gc
import pickle
import weakref

import pytest
from tkinter import TclError, Tk

from trivex.tcl import interpreter as imod
from trivex.tcl.history import History
from trivex.tcl.interpreter import Interpreter


def test_fresh_interpreter_state(interp):
    assert list(interp.history) == []  # loading TclX is not recorded
    assert [interp.eval("set ::%s" % v, record=False) for v in ("argc", "argv", "argv0", "tcl_interactive")] == [
        "0", "", "", "0"]  # fmt: skip
    assert interp.eval("package present Tclx") == "8.4"
    assert interp.eval("info commands winfo") == ""  # no Tk
    assert interp.eval("namespace current") == "::"


def test_eval_records_and_casts(interp):
    assert interp.eval("set a 5") == "5"
    assert interp.history[-1] == "set a 5"
    assert interp.eval("set a 6", record=False) == "6"
    assert interp.history[-1] == "set a 5"
    assert interp.eval("expr {1+1}", typecast=True) == 2
    assert interp.eval("list a {b c}", typecast=True) == "a {b c}"


def test_eval_error_carries_error_info(interp):
    with pytest.raises(TclError) as info:
        interp.eval("proc p {} {error boom}; p")
    exc = info.value
    assert len(exc.args) == 1
    lines = exc.args[0].splitlines()
    assert lines[0] == "boom"
    assert '"p"' in exc.args[0] and "(procedure" in exc.args[0]
    assert exc.__cause__ is None and exc.__suppress_context__
    assert interp.history[-1] == "proc p {} {error boom}; p"
    assert interp.get_errorInfo() == exc.args[0]


def test_history_keeps_the_newest(interp):
    assert interp.__MAX_HISTORY__ == 9999
    for i in range(10005):
        interp.history.append(i)
    assert len(interp.history) == 9999
    assert interp.history[0] == 6 and interp.history[-1] == 10004


@pytest.mark.parametrize("where", ["class", "instance"])
def test_history_append_is_the_one_in_place_at_each_call(interp, where):
    class Recording(History):
        pass

    kept, interp.history = interp.history, Recording()
    try:
        for n in range(3):  # the call sites have seen deque's own append
            interp.eval("set a %d" % n)
            interp.j.set("a", n)
        seen = []
        if where == "class":
            Recording.append = lambda self, item: seen.append(item)
        else:
            interp.history.append = seen.append
        interp.eval("set a x")
        interp.j.set("a", "y")
        assert seen == ["set a x", ["set", "a", "y"]]
        assert list(interp.history)[-2:] == ["set a 2", ["set", "a", "2"]]
    finally:
        interp.history = kept


def test_attribute_delegation(interp):
    assert interp.interpaddr() == interp.tk.interpaddr()
    with pytest.raises(AttributeError, match=r"^'Interpreter' object has no attribute 'no_such_thing'$"):
        interp.no_such_thing

    class Sub(Interpreter):
        pass

    with pytest.raises(AttributeError, match=r"^'Interpreter' object has no attribute 'nope'$"):
        Sub().nope


def test_attribute_reads_follow_every_rebinding(interp, monkeypatch):
    """Reads repeated from one place see each change at once: an instance
    attribute rebound, a method shadowed on the instance, a method replaced
    on the class, with another interpreter read from the same place."""
    other = Interpreter()
    other.eval("set x other")
    interp.eval("set x mine")
    j, other_j = interp.j, other.j
    builder = lambda i: i.j  # noqa: E731
    script = lambda i: i.eval("set x")  # noqa: E731
    steps = [
        (lambda: setattr(interp, "j", "rebound"), builder, "rebound", other_j),
        (lambda: setattr(interp, "j", j), builder, j, other_j),
        (lambda: setattr(interp, "eval", lambda code: "shadow"), script, "shadow", "other"),
        (lambda: delattr(interp, "eval"), script, "mine", "other"),
        (lambda: monkeypatch.setattr(Interpreter, "eval", lambda self, code: "class"), script, "class", "class"),
        (monkeypatch.undo, script, "mine", "other"),
    ]
    for change, read, mine, others in steps:
        change()
        for _ in range(3):
            assert (read(interp), read(other)) == (mine, others)


def test_getattr_before_tk_exists_does_not_recurse():
    half_made = Interpreter.__new__(Interpreter)
    with pytest.raises(AttributeError):
        half_made.tk
    with pytest.raises(AttributeError):
        half_made.eval_something
    with pytest.raises(TypeError):
        Interpreter.__getattr__(Interpreter(), 5)


def test_copies_and_pickles_do_not_crash(interp):
    with pytest.raises(Exception):
        pickle.dumps(interp)
    clone = copy.copy(interp)
    assert clone.tk is interp.tk


def test_interpreter_takes_no_arguments():
    with pytest.raises(TypeError):
        Interpreter(1)
    with pytest.raises(TypeError):
        Interpreter(useTk=1)


def test_interpreters_are_independent_and_collectable():
    a, b = Interpreter(), Interpreter()
    a.eval("set x 1")
    assert b.eval("info exists x") == "0"
    ref = weakref.ref(a)
    del a
    gc.collect()
    assert ref() is None  # nothing of the package keeps it alive


class _PlainTk(Tk):
    """A class with the layout of Interpreter and nothing of its own."""


@pytest.mark.parametrize("keep", ["nothing", "one read", "two reads", "a read on itself", "a read, class swapped"])
def test_read_methods_keep_the_interpreter_as_bound_methods_do(keep):
    # Reads of a method are served again from one kept bound method; what
    # holds a read must see an ordinary bound method all the same.
    interp = Interpreter()
    ref = weakref.ref(interp)
    for _ in range(3):
        assert interp.eval("set x 1") == "1"
    held = {"nothing": [], "one read": [interp.eval], "two reads": [interp.eval, interp.get_var, interp.eval]}.get(keep)
    if held is None:
        held = [interp.eval]
        if keep == "a read on itself":
            interp.again = held.pop()
        else:
            interp.__class__ = _PlainTk
    del interp
    if keep == "nothing":
        assert ref() is None  # at once, not at a later collection
        return
    gc.collect()
    if keep == "a read on itself":
        assert ref() is None
        return
    if keep == "a read, class swapped":  # gone with its last counted reference, the class's finalizer with it
        assert ref() is None and held[0].__self__ is None
        return
    assert len({id(m) for m in held}) == len(held) and all(m.__self__ is ref() for m in held)
    assert [m({"eval": "set x", "get_var": "x"}[m.__name__]) for m in held] == ["1"] * len(held)
    del held
    assert ref() is None


def test_class_layout():
    assert Interpreter.__bases__ == (Tk,)
    assert Interpreter.set_int is Interpreter.set_var
    assert Interpreter.set_double is Interpreter.set_var
    public = [k for k in vars(Interpreter) if not k.startswith("_")]
    assert public == [
        "generate_callback_cmd_name", "create_callback", "remove_callback", "eval",
        "get_errorInfo", "get_array", "get_list", "get_keyed_list", "get_int",
        "get_boolean", "get_double", "get_var", "set_array", "set_keyed_list",
        "set_var", "set_int", "set_double", "set_boolean", "set_list", "cast_list",
        "cast_int", "cast_double", "cast_boolean", "cast_array", "cast_keyed_list",
        "cast_any",
    ]  # fmt: skip
    for name in ("cast_list", "cast_array", "cast_keyed_list", "generate_callback_cmd_name"):
        assert isinstance(vars(Interpreter)[name], staticmethod)
    assert "Tcl bridge" in Interpreter.__doc__


def test_module_names_in_order():
    names = [n for n in vars(imod) if not n.startswith("__")]
    assert names == [
        "logging", "Tk", "TclError", "Tcl_Obj", "iter_entry_points", "NestMap", "Array",
        "History", "tclobj", "GetListFromAny", "TclDLL", "TclNamespace", "TclCommand",
        "quotify", "J", "TCL_INIT_ENTRYPOINT", "TCL_ALLOWED_ENTRYPOINT_KEYS", "logger",
        "Interpreter", "_global_interpreter",
    ]  # fmt: skip
    assert imod.TCL_INIT_ENTRYPOINT == "trivex.tcl"
    assert imod.TCL_ALLOWED_ENTRYPOINT_KEYS == "tcl_init"
    assert imod.logger.name == "trivex.tcl.interpreter"


def test_shared_interpreter_public_names():
    names = imod._global_interpreter.__all__
    assert names[0] == "generate_callback_cmd_name"
    assert not [n for n in names if n.startswith("_")]
    for attr in ("tk", "history", "j", "global_ns", "local_ns", "vars", "objs"):
        assert attr in names
    assert names.index("cast_any") < names.index("tk") < names.index("history") < names.index("objs")


def test_instance_attributes(interp):
    from trivex.tcl.j import J
    from trivex.tcl.namespace import TclNamespace

    assert isinstance(interp.j, J)
    assert isinstance(interp.global_ns, TclNamespace) and interp.global_ns.ns == "::"
    assert interp.local_ns.ns == ""
    assert interp.vars is interp.local_ns.vars and interp.objs is interp.local_ns.objs
    assert interp.__callbacks__ == {}


def test_signatures():
    import inspect

    assert str(inspect.signature(Interpreter.eval)) == "(self, code, typecast=False, record=True)"
    assert str(inspect.signature(Interpreter.cast_list)) == "(value, item_cast=None)"
    assert str(inspect.signature(Interpreter().create_callback)) == "(callback, cmd_name=None, force=False)"
