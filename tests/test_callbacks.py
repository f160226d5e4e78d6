"""Python callables published as Tcl commands through the interpreter."""

import pytest
from tkinter import TclError

from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclCommand


def f(*args):
    return "f got " + " ".join(args)


class Obj:
    def m(self, *args):
        return len(args)

    def __call__(self):
        return "called"


def test_generated_names():
    gen = Interpreter.generate_callback_cmd_name
    assert gen(f) == "f"
    assert gen(f, mangle_cmd_name=True) == "%d_f" % id(f)
    o = Obj()
    bound = o.m
    assert gen(bound) == "m"
    assert gen(bound, True) == "%d_m" % id(bound)
    assert gen(o) == "%d_" % id(o)
    assert gen(lambda: 0) == "<lambda>"


def test_publish_call_and_remove(interp):
    cmd = interp.create_callback(f)
    assert isinstance(cmd, TclCommand) and str(cmd) == "::f"
    assert interp.__callbacks__ == {"::f": f}
    assert interp.eval("f 1 2") == "f got 1 2"
    assert interp.eval("::f {a b}") == "f got a b"
    with pytest.raises(ValueError, match=r"^Cannot create command '::f': command already exists$"):
        interp.create_callback(f)
    interp.remove_callback(f)
    assert interp.eval("info commands ::f") == ""
    assert interp.__callbacks__ == {}
    with pytest.raises(ValueError, match=r"^No callback in this interpreter named '::f'$"):
        interp.remove_callback(f)


@pytest.mark.parametrize("how", ["callable", "name", "qualified", "command"])
def test_remove_by_any_handle(interp, how):
    cmd = interp.create_callback(f)
    handle = {"callable": f, "name": "f", "qualified": "::f", "command": cmd}[how]
    interp.remove_callback(handle)
    assert "::f" not in interp.__callbacks__
    assert interp.eval("info commands ::f") == ""


def test_explicit_name_is_removed_by_name(interp):
    interp.create_callback(f, cmd_name="other")
    with pytest.raises(ValueError):
        interp.remove_callback(f)
    assert interp.eval("other x") == "f got x"
    interp.remove_callback("other")


def test_forced_publication_keeps_the_displaced_command(interp):
    with pytest.raises(ValueError, match=r"^Cannot create command '::set': command already exists$"):
        interp.create_callback(f, cmd_name="set")
    interp.create_callback(f, cmd_name="set", force=True)
    # The backup namespace did not exist in this plain interpreter.
    assert interp.eval("::hostAid::_cbBkup::set y 5") == "5"
    assert interp.eval("set a b") == "f got a b"
    interp.remove_callback("set")
    assert interp.eval("set y") == "5"
    assert interp.eval("info commands ::hostAid::_cbBkup::set") == ""


def test_forced_publication_in_a_namespace(interp):
    interp.eval("namespace eval ::ns {proc cmd {} {return original}}")
    interp.create_callback(f, cmd_name="::ns::cmd", force=True)
    assert interp.eval("::ns::cmd q") == "f got q"
    interp.remove_callback("::ns::cmd")
    assert interp.eval("::ns::cmd") == "original"


@pytest.mark.parametrize("name", ["stk", "::ns2::a b"])
@pytest.mark.parametrize("depth", [1, 2, 4])
def test_forced_publications_stack_and_unwind_in_order(interp, name, depth):
    qualified = name if name.startswith("::") else "::" + name
    interp.eval("namespace eval ::ns2 {}")
    interp.tk.call("proc", qualified, "args", "return original")
    layers = [lambda *a, i=i: "layer %d" % i for i in range(depth)]
    for i, layer in enumerate(layers):
        interp.create_callback(layer, cmd_name=name, force=True)
        assert interp.tk.call(qualified) == "layer %d" % i
        assert interp.__callbacks__[qualified] is layer
    # The first displaced command, the original, stays where it always went.
    assert interp.tk.call("::hostAid::_cbBkup::" + qualified.lstrip(":")) == "original"
    for i in reversed(range(depth)):
        interp.remove_callback(name)
        expected = "layer %d" % (i - 1) if i else "original"
        assert interp.tk.call(qualified) == expected
        assert interp.__callbacks__.get(qualified) is (layers[i - 1] if i else None)
    assert interp.__callbacks__ == {}
    assert interp.tk.call("info", "procs", "::hostAid::_cbBkup::*") == ""
    interp.tk.call("rename", qualified, "")


def test_results_reach_tcl(interp):
    interp.create_callback(lambda: ("a b", 3), cmd_name="tup")
    assert interp.eval("llength [tup]") == "2"
    assert interp.eval("lindex [tup] 0") == "a b"
    # The text of each result is the one tkinter alone makes of it.
    for result in (None, True, 2.5, "x y", b"raw", ("a", None)):
        interp.create_callback(lambda result=result: result, cmd_name="ours", force=True)
        interp.tk.createcommand("plain", lambda result=result: result)
        assert interp.eval("ours") == interp.eval("plain")
    o = Obj()
    interp.create_callback(o.m)
    assert interp.eval("m 1 2 3") == "3"


@pytest.mark.parametrize("count", [0, 1, 17, 300])
def test_callbacks_receive_the_words_tcl_passes(interp, count):
    got = []
    interp.create_callback(lambda *args: got.append(args), cmd_name="rec")
    words = ["w%d" % i if i % 3 else "a {b} [c] $%d" % i for i in range(count)]
    # Tcl builds the command line, and its list of the same words is the oracle.
    interp.tk.call("eval", ("rec",) + tuple(words))
    assert got == [interp.tk.splitlist(interp.tk.call("list", *words))]
    interp.create_callback(lambda: None, cmd_name="none")
    with pytest.raises(TclError, match="^TypeError: "):
        interp.tk.call("eval", ("none",) + tuple(words) + ("extra",))


def raiser(*args):
    raise ValueError("boom here")


def test_raising_callback_is_a_tcl_error(interp):
    interp.create_callback(raiser)
    assert interp.eval("catch {raiser 1} msg") == "1"
    assert interp.eval("set msg") == "ValueError: boom here"
    info = interp.eval("set ::errorInfo")
    assert info.startswith("ValueError: boom here")
    assert "Traceback" in info and "raiser" in info and 'raise ValueError("boom here")' in info
    with pytest.raises(TclError) as exc:
        interp.eval("raiser 2")
    assert exc.value.args[0].startswith("ValueError: boom here")
    with pytest.raises(TclError, match="ValueError: boom here"):
        interp.j.raiser()
    with pytest.raises(TclError, match="ValueError: boom here"):
        interp.global_ns.cmds["raiser"]()
    # Nothing is kept aside to resurface later.
    assert interp.eval("set ok 1") == "1"


@pytest.mark.parametrize("name", ["p q", "a{b", "x}", "{x}", "c [d", "*", "e\\f", "ns::g h"])
def test_forced_publication_under_any_name(interp, name):
    qualified = "::" + name
    interp.eval("namespace eval ::ns {}")
    interp.tk.call("proc", qualified, "", "return orig")
    interp.tk.call("proc", "::other", "", "return other")
    cmd = interp.create_callback(f, cmd_name=name, force=True)
    assert interp.__callbacks__ == {qualified: f}
    assert interp.tk.call(qualified, "x") == "f got x"
    # Tcl's own reading of the command text finds the same command.
    assert interp.eval(str(cmd) + " y") == "f got y"
    assert interp.tk.call("::other") == "other"
    interp.remove_callback(name)
    assert interp.__callbacks__ == {} and interp.tk.call(qualified) == "orig"


def test_removal_after_the_command_deleted_itself(interp):
    def once():
        interp.eval("rename once {}")
        return "done"

    interp.eval("proc once {} {return orig}")
    interp.create_callback(once, force=True)
    assert interp.eval("once") == "done"
    interp.remove_callback(once)
    assert interp.__callbacks__ == {} and interp.eval("once") == "orig"
    with pytest.raises(ValueError, match="No callback in this interpreter named '::once'"):
        interp.remove_callback(once)


@pytest.mark.parametrize("depth", [1, 2, 5])
def test_nested_failures_report_each_level_once(interp, depth):
    def down(n):
        if n == "0":
            raise ValueError("at the bottom")
        return interp.eval("down %d" % (int(n) - 1))

    interp.create_callback(down)
    with pytest.raises(TclError) as exc:
        interp.eval("down %d" % depth)
    info = exc.value.args[0]
    assert info.count("ValueError: at the bottom") == 1
    assert info.count("Traceback (most recent call last):") == depth + 1
    assert info.count('raise ValueError("at the bottom")') == 1
    assert info.count("invoked from within") == depth + 1
