"""TclArrayVariable and TempTclArrayVariable: Tcl arrays as mutable mappings.

An execution trace on Tcl's `array` command counts what the mapping sends,
so "one `array set`" and "the names are fetched once" are checked in Tcl.
"""

import collections.abc
import re
from tkinter import TclError

import pytest

from trivex.tcl.namespace import (
    TclArrayVariable,
    TclVariable,
    TempTclArrayVariable,
    TempTclVariable,
)


@pytest.fixture
def arr(interp):
    return TclArrayVariable("arr", tcl=interp)


@pytest.fixture
def array_calls(interp):
    """The `array` subcommands Tcl runs from now on, in order."""
    interp.tk.eval("set ::calls {}; trace add execution ::array enter {apply {{cmd op} {lappend ::calls [lindex $cmd 1]}}}")
    return lambda: list(interp.tk.splitlist(interp.tk.eval("set ::calls")))


def test_class_layout():
    M = collections.abc
    assert TclArrayVariable.__mro__ == (TclArrayVariable, M.MutableMapping, M.Mapping, M.Collection, M.Sized,
                                        M.Iterable, M.Container, TclVariable, object)
    assert TempTclArrayVariable.__mro__[:3] == (TempTclArrayVariable, TempTclVariable, TclArrayVariable)
    assert TempTclArrayVariable.__mro__[3:] == TclArrayVariable.__mro__[1:]
    body = [k for k in vars(TclArrayVariable) if not k.startswith("_abc") and k not in (
        "__module__", "__qualname__", "__doc__", "__abstractmethods__", "__dict__", "__weakref__", "__slotnames__")]
    assert body == ["__init__", "get", "__len__", "__iter__", "__contains__", "__getitem__", "__setitem__",
                    "__delitem__", "clear", "update"]
    assert TclArrayVariable.get is TclVariable.get
    assert [k for k in vars(TempTclArrayVariable) if not k.startswith("_") and k != "__doc__"] == []
    assert not TclArrayVariable.__abstractmethods__


def test_mapping_basics(interp, arr):
    arr["x"] = 1
    arr["y"] = "two"
    assert interp.tk.eval("array get arr y") == "y two"
    assert len(arr) == 2 and sorted(arr) == ["x", "y"]
    assert "x" in arr and "z" not in arr
    assert arr.get_str("y") == "two"
    assert arr["y"] == "two"
    interp.tk.eval("set arr(z) {from tcl}")
    assert arr["z"] == "from tcl" and len(arr) == 3
    assert dict(arr.items())["z"] == "from tcl"
    assert arr == {"x": arr["x"], "y": "two", "z": "from tcl"}
    assert arr.setdefault("y", "ignored") == "two"
    assert arr.pop("x") == 1 and "x" not in arr
    with pytest.raises(TypeError):
        hash(arr)
    assert repr(arr) == "TclArrayVariable('arr')"


def test_non_text_keys(interp, arr):
    arr[1] = "v"
    assert 1 in arr and "1" in arr
    assert list(arr) == ["1"]
    assert arr[1] == "v" and arr["1"] == "v"
    arr[("a", "b")] = "t"
    assert interp.tk.call("set", "arr(a b)") == "t" and arr[("a", "b")] == "t"
    del arr[1]
    assert "1" not in arr


def test_update_sends_one_array_set(interp, arr, array_calls):
    arr["keep"] = "k"
    arr.update({"p": 1, "q": "x y"}, z=2)
    arr.update([("r", 3)])
    arr.update()
    assert array_calls() == ["set", "set", "set"]
    assert interp.tk.call("set", "arr(q)") == "x y"
    assert sorted(arr) == ["keep", "p", "q", "r", "z"]
    with pytest.raises(TypeError):
        arr.update(5)
    with pytest.raises(ValueError):
        arr.update(["abc"])
    with pytest.raises(TypeError):
        arr.update({}, {})
    assert array_calls() == ["set", "set", "set", "size", "names"]  # list() asks len() first


def test_empty_update_creates_the_array(interp):
    a = TclArrayVariable("fresh", tcl=interp)
    assert not a.exists()
    a.update()
    assert a.is_array() and len(a) == 0


def test_iteration_is_a_lazy_snapshot(interp, arr, array_calls):
    arr.update({"a": 1, "b": 2, "c": 3})
    it = iter(arr)
    assert array_calls() == ["set"]  # nothing fetched yet
    first = next(it)
    arr["d"] = 4
    del arr["a" if first != "a" else "b"]
    rest = list(it)
    assert sorted([first] + rest) == ["a", "b", "c"]
    assert array_calls() == ["set", "names"]


def test_missing_keys_raise_tcl_error(arr):
    arr["x"] = 1
    for op in (lambda: arr["missing"], lambda: arr.__delitem__("missing"), lambda: arr.pop("missing", 0),
               lambda: arr.setdefault("missing", 0)):
        with pytest.raises(TclError):
            op()


def test_clear_removes_the_array(interp, arr):
    arr.update({"a": 1, "b": 2})
    arr.clear()
    assert not arr.exists() and not arr.is_array() and len(arr) == 0
    arr["k"] = 0
    assert arr.is_array() and list(arr) == ["k"]


def test_scalar_of_the_same_name(interp):
    interp.tk.eval("set sc 1")
    a = TclArrayVariable("sc", tcl=interp)
    assert len(a) == 0 and list(a) == []
    with pytest.raises(TclError):
        a["k"]
    with pytest.raises(TclError):
        a["k"] = 1


def test_cast(interp, arr):
    arr["x"] = "1"
    b = TclArrayVariable("arr", tcl=interp, cast=int)
    assert b["x"] == 1 and b.get("x") == 1
    assert b.get("x", str) == "1" and b.get("x", None) == "1"
    assert dict(b.items()) == {"x": 1}


def test_constructor_takes_no_index(interp):
    with pytest.raises(TypeError):
        TclArrayVariable("a", array_index="k", tcl=interp)
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="k", tcl=interp)


def test_temporary_array(interp):
    with TempTclArrayVariable(tcl=interp) as t:
        assert re.fullmatch(r"::__trivex__TempTclArrayVariable_\d+_tmp", t.var_name)
        assert not t.exists()
        t["k"] = "v"
        assert interp.tk.call("array", "exists", t.var_name) == 1
    assert not t.exists()
    with pytest.raises(RuntimeError):
        with TempTclArrayVariable(tcl=interp, cast=str) as u:
            u.update(a=1)
            raise RuntimeError
    assert not u.exists()


def test_overrides_are_honoured(interp):
    """The mapping methods call the instance's own methods, overridden or not."""
    seen = []

    class Logged(TclArrayVariable):
        def get(self, array_index=None, cast=None):
            seen.append(("get", array_index))
            return super().get(array_index, cast)

        def set(self, value, array_index=None):
            seen.append(("set", array_index))
            super().set(value, array_index=array_index)

        def exists(self, array_index=None):
            seen.append(("exists", array_index))
            return super().exists(array_index)

        def unset(self, array_index=None, nocomplain=False):
            seen.append(("unset", array_index))
            super().unset(array_index, nocomplain)

        def array_size(self):
            seen.append(("size", None))
            return 7

        def array_names(self, pattern=None):
            seen.append(("names", None))
            return ("n",)

    a = Logged("arr", tcl=interp)
    a["k"] = 1
    assert a["k"] == 1 and "k" in a and len(a) == 7 and list(a) == ["n"]
    del a["k"]
    assert seen == [("set", "k"), ("get", "k"), ("exists", "k"), ("size", None), ("size", None), ("names", None),
                    ("unset", "k")]

    plain = TclArrayVariable("arr", tcl=interp)
    plain["k"] = 5
    plain.get = lambda array_index=None: "shadowed"  # an instance attribute wins, as in Python
    assert plain["k"] == "shadowed"
    saved = TclArrayVariable.__dict__["get"]
    try:
        TclArrayVariable.get = lambda self, array_index=None: "patched"
        assert TclArrayVariable("arr", tcl=interp)["k"] == "patched"
    finally:
        TclArrayVariable.get = saved
    assert TclArrayVariable("arr", tcl=interp)["k"] == 5


def test_patched_dunders_and_subclasses(interp):
    a = TclArrayVariable("arr", tcl=interp)
    a["k"] = "v"
    saved = {name: TclArrayVariable.__dict__[name] for name in ("__getitem__", "__setitem__")}
    try:
        TclArrayVariable.__getitem__ = lambda self, key: "patched " + key
        TclArrayVariable.__setitem__ = lambda self, key, value: TclVariable.set(self, value + "!", key)
        assert a["k"] == "patched k"
        a["k"] = "w"
    finally:
        for name, fn in saved.items():
            setattr(TclArrayVariable, name, fn)
    assert a["k"] == "w!"

    class Upper(TclArrayVariable):
        def __getitem__(self, key):
            return super().__getitem__(key).upper()

    assert Upper("arr", tcl=interp)["k"] == "W!"
    assert TempTclArrayVariable(tcl=interp).__class__.__getitem__ is TclArrayVariable.__getitem__
