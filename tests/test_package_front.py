"""The package front: trivex.tcl.<name> is the shared interpreter's <name>."""

import inspect

import trivex.tcl
from trivex.tcl import interpreter as imod


def test_every_public_name_is_published():
    shared = imod._global_interpreter
    for name in shared.__all__:
        value = getattr(trivex.tcl, name)
        expected = getattr(shared, name)
        if inspect.ismethod(expected):
            assert value == expected, name  # a bound method is made per access
        else:
            assert value is expected, name
    assert trivex.tcl.__all__ == shared.__all__
    assert set(shared.__all__) <= set(dir(trivex.tcl))


def test_submodule_names_are_the_shared_interpreters():
    from trivex.tcl.j import J

    assert isinstance(trivex.tcl.j, J)
    assert trivex.tcl.history is imod._global_interpreter.history
    assert trivex.tcl.j.expr("6*7") == 42


def test_functions_work_on_the_shared_interpreter():
    assert trivex.tcl.cast_list("a {b c}") == ("a", "b c")
    trivex.tcl.eval("set ::front_test 5")
    assert trivex.tcl.get_int("::front_test") == 5


def test_handles_default_to_the_shared_interpreter():
    from trivex.tcl.namespace import TclCommand, TclNamespace, TclVariable

    v = TclVariable("::front_var")
    v.set("x y")
    assert trivex.tcl.eval("set ::front_var") == "x y"
    assert TclCommand("string length")("abc") == 3
    assert TclNamespace("::").exists()


def test_unknown_names():
    import pytest

    with pytest.raises(AttributeError):
        trivex.tcl.no_such_name
    star = {}
    exec("from trivex.tcl import *", star)
    assert "cast_any" in star and "eval" in star
