"""The plain-Python companions: AttrDict, Array and History.

Array.from_tcl is judged by Tcl: an array built in Tcl, read back with
`array get`, must come out as what Tcl's own list parser reads from that text.
"""

import copy
import importlib
import pickle
import tkinter

import pytest
from hypothesis import given, strategies as st

from trivex.datastructures import AttrDict
from trivex.tcl.history import MAX_HISTORY, History

TK = tkinter.Tcl().tk
keys = st.text(alphabet=st.sampled_from(" {}[]$\\\"x\u00e9\U0001f600;"), max_size=6)


# --- AttrDict -------------------------------------------------------------

def test_attrdict_keys_as_attributes():
    d = AttrDict(a=1)
    assert d.a == 1 and d["a"] == 1
    d.b = 2
    assert d == {"a": 1, "b": 2}
    del d.a
    assert d == {"b": 2}
    with pytest.raises(AttributeError):
        d.missing
    with pytest.raises(AttributeError):
        del d.missing
    assert not hasattr(d, "__wrapped__")  # dunder names are never keys
    assert "b" in dir(d) and "keys" in dir(d)
    assert list(d.keys()) == ["b"]


def test_attrdict_goes_through_the_subclass_item_methods():
    class Dotted(AttrDict):
        def __getitem__(self, key):
            head, _, rest = key.partition(".")
            value = super().__getitem__(head)
            return value[rest] if rest else value

        def __setitem__(self, key, value):
            super().__setitem__(key.upper(), value)

    d = Dotted()
    d.k = {"x": 1}
    assert dict(d) == {"K": {"x": 1}}
    assert d.K == {"x": 1} and d["K.x"] == 1
    with pytest.raises(AttributeError):
        d.k


@pytest.mark.parametrize("dup", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_attrdict_copies(dup):
    d = AttrDict(a=[1], b="x")
    c = dup(d)
    assert type(c) is AttrDict and c == d and c.a == [1]


# --- Array ----------------------------------------------------------------

@pytest.fixture
def Array():
    from trivex.tcl.array import Array

    return Array


@given(st.dictionaries(keys, keys, max_size=6))
def test_array_from_tcl_reads_what_tcl_wrote(mapping):
    from trivex.tcl.array import Array

    TK.call("array", "unset", "a")
    for k, v in mapping.items():
        TK.call("set", "a(%s)" % k, v)
    text = TK.eval("array get a")
    words = TK.splitlist(text)
    assert Array.from_tcl(text) == dict(zip(words[::2], words[1::2])) == mapping


def test_array_mapping_and_errors(Array):
    a = Array.from_tcl("k1 {v 1} k2 v2 k1 last")
    assert a == {"k1": "last", "k2": "v2"}
    assert isinstance(a, Array)
    a["new"] = "x"
    del a["k2"]
    assert dict(a.items()) == {"k1": "last", "new": "x"}
    assert Array.from_tcl(("x", "1")) == {"x": "1"}
    assert Array.from_tcl("") == {}
    for bad in ("a {b", "odd count here"):
        with pytest.raises(ValueError):
            Array.from_tcl(bad)


def test_array_goes_to_tcl_as_key_value_pairs(Array, interp):
    from trivex.tcl.namespace import TclArrayVariable
    from trivex.tcl.quotify import quotify

    a = Array({"a b": "1", "c": "{"})
    t = TclArrayVariable("fromarray", tcl=interp)
    t.array_set(a)
    assert dict(t.items()) == a
    assert TK.splitlist(quotify(a)) == ("a b", "1", "c", "{")


# --- History --------------------------------------------------------------

def test_history_is_bounded_and_keeps_the_newest():
    h = History()
    assert h.maxlen == MAX_HISTORY == 9999
    for i in range(MAX_HISTORY + 5):
        h.append(i)
    assert len(h) == MAX_HISTORY and h[0] == 5 and h.last() == MAX_HISTORY + 4
    assert History().last("none") == "none"
    small = History(maxlen=2)
    small.append(["set", "x", 1])
    small.append("puts hi")
    small.append("third")
    assert list(small) == ["puts hi", "third"]
    assert repr(small) == "History(['puts hi', 'third'], maxlen=2)"


def test_history_matches_the_interpreter_bound():
    interpreter = importlib.import_module("trivex.tcl.interpreter")
    assert History().maxlen == interpreter.Interpreter.__MAX_HISTORY__


@pytest.mark.parametrize("dup", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_history_copies(dup):
    h = History(maxlen=3)
    h.append("a")
    c = dup(h)
    assert type(c) is History and list(c) == ["a"] and c.maxlen == 3
