"""Inputs that once took the process down.

Each case runs in a child process of its own, so that one crash (a segfault,
or a sanitizer report when the suite runs under scripts/sanitize, whose
environment the child inherits) fails that case alone and hides no other.
"""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import trivex.tcl.namespace

PKG_ROOT = str(pathlib.Path(trivex.tcl.namespace.__file__).resolve().parents[2])

PRELUDE = """
import sys
sys.path.insert(0, %r)
from tkinter import TclError
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclCommand, TclVariable, TempTclCommand
from trivex.tcl.nestmap import NestMap
i = Interpreter()

def raises(exc_type, fn):
    try:
        fn()
    except exc_type as exc:
        return exc
    raise AssertionError("%%s did not raise %%s" %% (fn, exc_type.__name__))

class BadStr:
    def __str__(self):
        raise LookupError("no text")
""" % PKG_ROOT


def run_child(code):
    script = PRELUDE + textwrap.dedent(code) + "\nprint('survived')\n"
    r = subprocess.run([sys.executable, "-X", "faulthandler", "-c", script], capture_output=True, text=True,
                       timeout=300, env=dict(os.environ))
    assert r.returncode == 0 and r.stdout.endswith("survived\n"), (
        "exit status %d\n--- stdout\n%s\n--- stderr\n%s" % (r.returncode, r.stdout, r.stderr[-6000:]))
    return r.stdout


# A callback whose command goes away while it runs (renamed away, replaced,
# or its TempTclCommand deleted), and which then raises.
@pytest.mark.parametrize("how", ["rename", "replace", "temp_delete"])
def test_callback_deleting_its_own_command(how):
    run_child("""
        how = %r
        def cb():
            if how == "rename":
                i.eval("rename cb {}")
            elif how == "replace":
                i.global_ns.cmds["cb"].createcommand(lambda: "new")
            else:
                tmp.delete()
            raise ValueError("after " + "x" * 200)
        i.eval("proc cb {} {return orig}")
        for _ in range(3):
            if how == "temp_delete":
                tmp = TempTclCommand(cb, tcl=i)
                script = str(tmp)
            else:
                i.create_callback(cb, force=True)
                script = "cb"
            err = raises(TclError, lambda: i.eval(script))
            assert str(err).startswith("ValueError: after xxx"), err
            # Freed blocks get reused: churn the allocator.
            junk = [str(n) * 40 for n in range(2000)]
            if how == "temp_delete":
                assert not tmp.exists()
            else:
                # Removal works whatever became of the command, and brings
                # back the one the callback displaced.
                i.remove_callback(cb)
                assert i.__callbacks__ == {} and i.eval("cb") == "orig"
    """ % how)


# Values tkinter cannot carry inside a list, and the ways they reach it.
CARRY_PATHS = {
    "set_list": "i.set_list('x', ['a', bad])",
    "vars": "i.vars.__setitem__('x', ['a', [bad]])",
    "variable_set": "TclVariable('x', tcl=i).set(('a', bad))",
    "array_set": "i.set_array('arr', {'k': ('a', bad)})",
    "keyed_list": "i.set_keyed_list('x', NestMap({'a': bad}))",
    "namespace_call": "i.global_ns.call('list', ('a', bad))",
    "command_call": "TclCommand('list', tcl=i)(('a', bad), opt=['b', bad])",
    "bound_option": "TclCommand('list', keywords={'o': ('a', bad)}, tcl=i)()",
    "tclobj_hook": "TclCommand('list', tcl=i)(Hook())",
    "j_quotify_hook": "i.j.list(QHook())",
    "callback_result": "i.eval('give')",
}


@pytest.mark.parametrize("path", CARRY_PATHS)
def test_values_tkinter_cannot_carry(path):
    out = run_child("""
        class Hook:
            def __tclobj__(self):
                return ("a", [bad])
        class QHook:
            def __quotify__(self):
                return ("a", bad)
        i.create_callback(lambda: ("a", [bad]), cmd_name="give")
        for bad, kind in [("\\ud800", UnicodeEncodeError), ("\\udfff", UnicodeEncodeError),
                          ("x\\udc7f", UnicodeEncodeError), ("\\U0001f600\\udd00", UnicodeEncodeError),
                          (BadStr(), LookupError)]:
            if "%s" == "callback_result":
                err = raises(TclError, lambda: %s)
                assert str(err).startswith(kind.__name__), err
            else:
                raises(kind, lambda: %s)
        # The surrogates tkinter does carry (its escapes of raw bytes) still pass.
        bad = "\\udc80\\udcff"
        %s
        print(i.eval("set ok yes"))
    """ % (path, CARRY_PATHS[path], CARRY_PATHS[path], CARRY_PATHS[path]))
    assert out.startswith("yes")


STRUCTURES = {
    # An argument hook that adds options while the call is being built.
    "options_added_by_hook": """
        c = TclCommand("list", tcl=i)
        class Grow:
            def __tclobj__(self):
                for n in range(40):
                    c.keywords["k%d" % n] = "v"
                return "g"
        assert len(c(Grow())) == 81
    """,
    # A logger that drops the options it is told about.
    "options_cleared_by_logger": """
        class Log:
            def info(self, message):
                c.keywords.clear()
                junk = [str(n) * 40 for n in range(2000)]
        c = TclCommand("list", keywords={"k": "".join(["v"] * 60)}, tcl=i, logger=Log())
        assert c("a") == ("a", "-k", "v" * 60)
    """,
    # A keyed list whose entries change under the listing's own calls.
    "keyed_list_entries_mutated": """
        shared = [["x", "".join(["v"] * 60)]]
        class Sub(NestMap):
            def all_items(self):
                return shared
        class Key(str):
            def __add__(self, other):
                shared[0].clear()
                junk = [str(n) * 40 for n in range(2000)]
                return str.__add__(self, other)
        n = NestMap()
        n[Key("a")] = Sub()
        assert n.all_items() == [("a.x", "v" * 60)]
    """,
    # Nesting deeper than the recursion limit, and a list that holds itself.
    "deep_nesting": """
        deep = ("x",)
        for _ in range(100000):
            deep = (deep,)
        loop = []
        loop.append(loop)
        for value in (deep, loop):
            class Hook:
                def __tclobj__(self):
                    return value
            raises(RecursionError, lambda: TclCommand("list", tcl=i)(Hook()))
        i.create_callback(lambda: deep, cmd_name="deep")
        assert "RecursionError" in str(raises(TclError, lambda: i.eval("deep")))
    """,
    # Python -> Tcl -> Python without end, every level failing; with
    # Python's limit out of the way, Tcl's nesting limit ends it.
    "unbounded_recursion": """
        if %s:
            sys.setrecursionlimit(100000)
        def again():
            return i.eval("again")
        i.create_callback(again)
        err = str(raises(TclError, lambda: i.eval("again")))
        assert "RecursionError" in err or "too many nested evaluations" in err, err[-2000:]
        # Each level adds its own frames once.
        assert len(err) < 400 * err.count("invoked from within"), len(err)
    """,
}
STRUCTURES["unbounded_recursion_past_python_limit"] = STRUCTURES["unbounded_recursion"] % True
STRUCTURES["unbounded_recursion"] %= False


@pytest.mark.parametrize("case", STRUCTURES)
def test_structures_changing_under_a_call(case):
    run_child(STRUCTURES[case])


# An interpreter deleted inside a time_limit block, before or after the
# limit cancelled it.  The limit must let go of it: interpreters made
# afterwards (maybe at the same address) are never cancelled for it, and
# the block reports a timeout exactly when an evaluation was cancelled.
@pytest.mark.parametrize("cancelled_first", [False, True])
def test_interpreter_deleted_inside_a_time_limit(cancelled_first):
    run_child("""
        import time
        from trivex.tcl.testing import TclTimeoutError, time_limit
        cancelled_first = %r
        for round in range(10):
            doomed = Interpreter()
            others = []
            try:
                with time_limit(0.02, tcl=doomed):
                    if cancelled_first:
                        raises(TclError, lambda: doomed.eval("while 1 {}"))
                    doomed.destroy()
                    others += [Interpreter() for _ in range(3)]
                    time.sleep(0.1)
                    assert [o.eval("set x 1") for o in others] == ["1"] * 3
            except TclTimeoutError:
                assert cancelled_first
            else:
                assert not cancelled_first
            assert [o.eval("set x 2") for o in others] == ["2"] * 3
    """ % cancelled_first)
