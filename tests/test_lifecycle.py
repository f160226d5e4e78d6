"""The life of an Interpreter: the thread that owns it, its end (destroy() or
being dropped), and what a new one does not read."""

import gc
import json
import os
import subprocess
import sys
import textwrap
import threading
import weakref
from ctypes import ArgumentError

import pytest

from trivex.tcl.internal import GetListFromAny, TclDLL
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclNamespace, TclVariable

PKG_ROOT = os.environ.get("TRIVEX_PKG_ROOT") or os.path.join(os.path.dirname(os.path.dirname(__file__)), "src")


def run_child(code, **env):
    prelude = "import sys; sys.path.insert(0, %r)\n" % PKG_ROOT
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=dict(os.environ, **env),
                          capture_output=True, text=True, timeout=120)


def in_thread(f, *args):
    box = {}

    def run():
        try:
            box["value"] = f(*args)
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            box["error"] = exc

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return box


# Entry points that reach the Tcl interpreter, several of them around
# tkinter's own checked call (casts, direct C calls, ctypes prototypes).
REACH_TCL = {
    "cast_boolean": lambda i: i.cast_boolean("yes"),
    "cast_int": lambda i: i.cast_int("0x10"),
    "cast_double": lambda i: i.cast_double("2.5"),
    "cast_any": lambda i: i.cast_any("12"),
    "get_int": lambda i: i.get_int("::n"),
    "eval": lambda i: i.eval("set ::n"),
    "j": lambda i: i.j.set("::n"),
    "vars": lambda i: i.vars["::n"],
    "variable": lambda i: TclVariable("::n", tcl=i).set(5),
    "namespace": lambda i: TclNamespace("::", tcl=i).call("set", "::n"),
    "create_callback": lambda i: i.create_callback(print, "printer"),
    "GetListFromAny": lambda i: GetListFromAny("a {b c}", i),
    "ctypes": lambda i: TclDLL.Tcl_ResetResult(i),
    "destroy": lambda i: i.destroy(),
}


@pytest.fixture(scope="module")
def tkinter_refusal():
    """What tkinter's own call says to a thread that does not own the interpreter."""
    interp = Interpreter()
    box = in_thread(interp.tk.call, "set", "::n")
    assert isinstance(box.get("error"), RuntimeError)
    return str(box["error"])


@pytest.mark.parametrize("use", REACH_TCL.values(), ids=REACH_TCL.keys())
def test_other_threads_are_refused_as_tkinter_refuses_them(use, tkinter_refusal):
    interp = Interpreter()
    interp.eval("set ::n 7")
    box = in_thread(use, interp)
    err = box.get("error")
    if isinstance(err, ArgumentError):  # ctypes wraps what from_param raises
        assert str(err).endswith("RuntimeError: " + tkinter_refusal)
    else:
        assert type(err) is RuntimeError and str(err) == tkinter_refusal
    # Nothing reached Tcl: the owner finds its interpreter as it left it.
    assert interp.eval("set ::n") == "7"
    assert interp.cast_list(["x"]) == ("x",) and in_thread(interp.cast_list, "a b")["value"] == ("a", "b")


def test_destroy_ends_the_interpreter():
    # Run apart: a use after the end that crashed would take the session down.
    r = run_child("""
        import gc, json, weakref
        from tkinter import TclError
        from trivex.tcl.interpreter import Interpreter
        from trivex.tcl.namespace import TclCommand, TclNamespace, TclVariable, TempTclNamespace
        from trivex.tcl.internal import GetListFromAny

        class Held: pass
        interp, other = Interpreter(), Interpreter()
        held = Held()
        alive = weakref.ref(held)
        interp.create_callback(lambda *a: held, "hold")
        del held
        var, cmd, ns = TclVariable("::v", tcl=interp), TclCommand("::hold", tcl=interp), TclNamespace("::", tcl=interp)
        var.set(1)
        seen = {}

        def inner():
            try:
                interp.destroy()
            except RuntimeError as exc:
                seen["inner"] = str(exc)
        interp.create_callback(inner)
        interp.eval("inner")
        seen["usable"] = interp.eval("set ::v")
        # From a callback of another interpreter it is fine.
        other.create_callback(interp.destroy, "end_it")
        other.eval("end_it")
        gc.collect()
        seen["freed"] = alive() is None and interp.__callbacks__ == {}
        uses = {
            "eval": lambda: interp.eval("set ::v"), "j": lambda: interp.j.set("::v"),
            "get_var": lambda: interp.get_var("::v"), "set_var": lambda: interp.set_var("::v", 2),
            "get_list": lambda: interp.get_list("::v"), "set_list": lambda: interp.set_list("::v", [1]),
            "cast_any": lambda: interp.cast_any("1"), "cast_boolean": lambda: interp.cast_boolean("1"),
            "cast_int": lambda: interp.cast_int("1"), "get_errorInfo": lambda: interp.get_errorInfo(),
            "create_callback": lambda: interp.create_callback(print), "remove_callback": lambda: interp.remove_callback("hold"),
            "variable": lambda: var.get(), "set": lambda: var.set(3), "exists": lambda: var.exists(),
            "command": lambda: cmd(), "command exists": lambda: cmd.exists(), "ns call": lambda: ns.call("set", "::v"),
            "ns vars": lambda: list(ns.vars), "temp ns": lambda: TempTclNamespace(tcl=interp).__enter__(),
            "GetListFromAny": lambda: GetListFromAny("a b", interp), "tk": lambda: interp.tk.call("set", "::v"),
        }
        for name, use in uses.items():
            try:
                seen[name] = "no error: %r" % (use(),)
            except (TclError, KeyError, ValueError) as exc:
                seen[name] = str(exc)
        interp.destroy()
        seen["other"] = other.eval("set x 1")
        print(json.dumps(seen))
    """)
    assert r.returncode == 0, r.stderr
    seen = json.loads(r.stdout)
    assert seen.pop("inner") == "cannot destroy a Tcl interpreter while it is evaluating a script"
    assert seen.pop("usable") == "1" and seen.pop("freed") is True and seen.pop("other") == "1"
    assert seen.pop("tk") == "attempt to call eval in deleted interpreter"  # tkinter's object: Tcl's own words
    assert seen.pop("remove_callback") == "No callback in this interpreter named '::hold'"  # all were removed
    assert {name: text for name, text in seen.items() if "this Tcl interpreter has been destroyed" not in text} == {}


def test_a_dropped_interpreter_frees_its_tcl_interpreter():
    class Held:
        pass

    interp, held = Interpreter(), Held()
    interp.create_callback(lambda: held, "hold")
    interp.create_callback(print, "printer")
    tk = interp.tk
    refs = [weakref.ref(interp), weakref.ref(held)]
    del interp, held
    gc.collect()
    assert [r() for r in refs] == [None, None]
    # Only this frame still holds the binding's object: its command records are gone.
    assert sys.getrefcount(tk) == 2


def test_no_profile_files_are_read(tmp_path):
    # Tk's profile scripts: ~/.<className>.tcl/.py and ~/.<baseName>.tcl/.py,
    # baseName being the script's name ("-c" here).
    for stem in ("Tk", "-c"):
        trace = tmp_path / ("ran" + stem)
        (tmp_path / (".%s.tcl" % stem)).write_text("close [open {%s.tcl} w]\n" % trace)
        (tmp_path / (".%s.py" % stem)).write_text("open(%r, 'w').close()\n" % (str(trace) + ".py"))
    r = run_child("""
        import os, tkinter
        from trivex.tcl.interpreter import Interpreter
        Interpreter()
        print(sorted(os.listdir(%r)))
        tkinter.Tcl()  # tkinter itself does run them
        print(sorted(os.listdir(%r)))
    """ % (str(tmp_path), str(tmp_path)), HOME=str(tmp_path))
    assert r.returncode == 0, r.stderr
    ours, theirs = r.stdout.splitlines()
    assert not [n for n in eval(ours) if n.startswith("ran")]
    assert [n for n in eval(theirs) if n.startswith("ran")] == ["ran-c.py", "ran-c.tcl", "ranTk.py", "ranTk.tcl"]
