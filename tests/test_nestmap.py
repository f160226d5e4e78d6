"""NestMap against TclX's own keyed-list commands."""

import copy
import gc
import inspect
import pickle
import string
import weakref
from collections.abc import MutableMapping

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import support
import trivex.tcl
from trivex.tcl.nestmap import NestMap
from trivex.tcl.quotify import quotify, tclobj

CONFLICT = 'target key "%s" is a value, cannot update value against another keyed list'

# Leaves of a keyed list as TclX's own commands see them: a value whose
# keylkeys fails is a leaf, anything else a nested keyed list.
WALK = r"""
proc kl_leaves {kl {prefix ""}} {
    set out {}
    foreach key [keylkeys kl] {
        set value [keylget kl $key]
        set path [expr {$prefix eq "" ? $key : "$prefix.$key"}]
        if {[catch {keylkeys value}]} {
            lappend out [list $path $value]
        } else {
            lappend out {*}[kl_leaves $value $path]
        }
    }
    return $out
}
proc kget {kl path} { keylget kl $path }
"""


@pytest.fixture
def tk(tcl):
    tcl.eval(WALK)
    return tcl.tk


def tcl_leaves(tk, value):
    tk.call("set", "leaves_of", value)
    return [tk.splitlist(pair) for pair in tk.splitlist(tk.eval("kl_leaves $leaves_of"))]


def plain(kl):
    """Nested dicts, with the type of every level checked on the way."""
    assert type(kl) is NestMap
    return {k: plain(v) if isinstance(v, dict) else v for k, v in kl.items()}


# --- structure -------------------------------------------------------------


def test_class_is_built_as_a_class_statement_would():
    import abc

    assert type(NestMap) is abc.ABCMeta
    assert NestMap.__bases__ == (trivex.tcl.nestmap.AttrDict, MutableMapping)
    own = [k for k in vars(NestMap) if k not in ("__module__", "__qualname__", "__doc__", "__abstractmethods__",
                                                 "_abc_impl", "__dict__", "__weakref__")]
    assert own == ["__init__", "from_tcl", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get",
                   "pop", "setdefault", "update", "all_keys", "all_items", "has_key", "__tclobj__"]
    for name in ("get", "pop", "setdefault"):
        assert vars(NestMap)[name] is getattr(MutableMapping, name)
    assert NestMap.has_key is NestMap.__contains__
    assert not NestMap.__abstractmethods__
    assert str(inspect.signature(NestMap.update)) == "(self, /, *args, **kwargs)"
    assert str(inspect.signature(NestMap.from_tcl)) == "(string)"
    names = [k for k in vars(trivex.tcl.nestmap) if not k.startswith("__")]
    assert names == ["AttrDict", "MutableMapping", "Tcl_Obj", "tclobj", "NestMap"]


# --- Python side -------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, contents, keys",
    [
        (({"a.b": "1", "c": "2"},), {}, {"a": {"b": "1"}, "c": "2"}, ["a.b", "c"]),
        ((), {"a": {"x": "1"}, "b": ""}, {"a": {"x": "1"}, "b": {}}, ["a.x"]),
        (("",), {}, {}, []),
        (([("k", [("x", "1")]), ("n", None), ("e", ())],), {}, {"k": {"x": "1"}, "n": None, "e": {}}, ["k.x", "n"]),
        ((), {"self": "s", "w": 5, "t": "one two"}, {"self": "s", "w": 5, "t": "one two"}, ["self", "w", "t"]),
    ],
)
def test_construction(args, kwargs, contents, keys):
    kl = NestMap(*args, **kwargs)
    assert plain(kl) == contents
    assert kl.all_keys() == keys


@pytest.mark.parametrize("args, error", [(("{a 1}",), ValueError), (({}, {}), TypeError), ((5,), TypeError)])
def test_construction_errors_are_dicts(args, error):
    with pytest.raises(error) as ours:
        NestMap(*args)
    with pytest.raises(error) as dicts:
        dict(*args)
    assert str(ours.value) == str(dicts.value)


def test_paths():
    kl = NestMap()
    kl["a.b.c"] = "v"
    assert plain(kl) == {"a": {"b": {"c": "v"}}}
    assert ("a.b.c" in kl, "a.x" in kl, "z.x" in kl, kl.has_key("a.b")) == (True, False, False, True)
    assert kl["a.b"] is kl["a"]["b"] and kl.a.b.c == "v"
    kl["a..b"] = "1"
    assert kl["a"][""]["b"] == "1"
    with pytest.raises(KeyError) as info:
        kl["a.q.c"]
    assert info.value.args == ("q",)
    with pytest.raises(TypeError):
        kl["a.b.c.d"]  # a string leaf indexed with a string
    assert ("a.b.c.v" in kl) is True  # the leaf's own containment test


def test_conflicts_change_nothing():
    kl = NestMap(a="x", n={"m": "1"})
    for key, value in (("a.b", "1"), ("a", NestMap()), ("a.b.c", "1")):
        with pytest.raises(KeyError) as info:
            kl[key] = value
        assert info.value.args == (CONFLICT % "a",)
    with pytest.raises(KeyError) as info:
        kl.update(a=NestMap(z="1"))
    assert info.value.args == (CONFLICT % "a",)
    assert plain(kl) == {"a": "x", "n": {"m": "1"}}
    kl["a"] = "y"
    kl["n"] = "leaf over a sub-list"
    assert plain(kl) == {"a": "y", "n": "leaf over a sub-list"}


def test_assignment_replaces_while_update_merges():
    def fresh():
        return NestMap({"a": {"b": "1"}})

    kl = fresh()
    sub = NestMap(c="2")
    kl["a"] = sub
    assert plain(kl) == {"a": {"c": "2"}} and kl["a"] is sub
    for other in ((), {"a": {"c": "2"}}):
        kl = fresh()
        if other:
            kl.update(NestMap(other))
        else:
            kl.update(a=NestMap(c="2"))
        assert plain(kl) == {"a": {"b": "1", "c": "2"}}
    kl = fresh()
    kl.update({"a": NestMap(c="2")}, z="3")
    assert plain(kl) == {"a": {"c": "2"}, "z": "3"}
    kl.update([("p.q", "4")])
    assert kl["p.q"] == "4"
    with pytest.raises(TypeError, match=r"^update\(\) takes at most 1 positional arguments \(2 given\)$"):
        kl.update({}, {})


def test_deletion_prunes_emptied_levels():
    kl = NestMap({"a": {"b": {"c": "1"}}})
    del kl["a.b.c"]
    assert plain(kl) == {}
    kl = NestMap({"a": {"b": {"c": "1"}, "d": "2"}})
    del kl["a.b.c"]
    assert plain(kl) == {"a": {"d": "2"}}
    with pytest.raises(KeyError):
        del kl["a.zz"]
    kl = NestMap({"a": {"b": "1"}, "x": {}})
    assert (kl.get("a.zz"), kl.get("q.zz"), kl.get("a.b")) == (None, None, "1")
    assert kl.pop("a.b") == "1" and plain(kl) == {"x": {}}
    assert kl.pop("a.b", "gone") == "gone"
    assert kl.setdefault("s.t", "0") == "0" and kl["s.t"] == "0"


def test_misuse_raises_instead_of_crashing():
    kl = NestMap(a={"b": "1"})
    with pytest.raises(TypeError):
        kl[5]
    with pytest.raises(TypeError):
        5 in kl
    with pytest.raises(RecursionError):
        kl["x" + "." * 100000] = "deep"
    loop = {}
    loop["self"] = loop
    with pytest.raises(RecursionError):
        NestMap(loop)
    assert plain(kl) == {"a": {"b": "1"}}
    half = NestMap.__new__(NestMap)
    half["x.y"] = "1"
    assert plain(half) == {"x": {"y": "1"}}
    for clone in (copy.copy(kl), copy.deepcopy(kl), pickle.loads(pickle.dumps(kl))):
        assert clone == kl and type(clone["a"]) is NestMap
    assert copy.copy(kl)["a"] is kl["a"] and copy.deepcopy(kl)["a"] is not kl["a"]


# --- Tcl to Python -----------------------------------------------------------


KEYLSET_CASES = [
    "keylset k a 1",
    "keylset k a.b.c 1 a.b.d {x y} a.e 2 f {} g {{not} a list}",
    "keylset k one.two.three.four deep one.side {} top {{x} {y}}",
    "keylset k sp {a b c} br {\\{} q {\"q\"} u ünï€ n 42",
]


@pytest.mark.parametrize("script", KEYLSET_CASES)
def test_keylset_lists_read_back(tk, script):
    tk.eval("unset -nocomplain k; " + script)
    obj = tk.call("set", "k")
    assert obj.typename == "keyedList"
    for value in (obj, tk.eval("set k")):
        kl = NestMap.from_tcl(value)
        assert kl.all_items() == tcl_leaves(tk, obj)
        for path in kl.all_keys():
            assert kl[path] == tk.eval("keylget k {%s}" % path)
    carried = NestMap()
    carried["top.inner"] = obj
    assert carried["top.inner"] == NestMap.from_tcl(obj) and type(carried["top.inner"]) is NestMap


@pytest.mark.parametrize(
    "text, contents",
    [
        ("{a {{b 1} {c {x y}}}} {d 2}", {"a": {"b": "1", "c": "x y"}, "d": "2"}),
        ("{a {}}", {"a": {}}),
        ("{a.b 1}", {"a": {"b": "1"}}),
        ("{v {{x y}}} {w {x y z}} {t {{}}} {s {a {b c} d}} {p {x y}}",
         {"v": {"x": "y"}, "w": "x y z", "t": "{}", "s": "a {b c} d", "p": "x y"}),
        ("{k 1} {k 2} {j 3}", {"k": "2", "j": "3"}),
        ("{k {{a 1} {b}}}", {"k": "{a 1} {b}"}),
        ("{k {{a 1} {b 2}x}}", {"k": "{a 1} {b 2}x"}),
        ("", {}),
    ],
)
def test_from_tcl_nesting_rule(text, contents):
    assert plain(NestMap.from_tcl(text)) == contents


@pytest.mark.parametrize("text, error", [("{a x} {a.b 1}", KeyError), ("a b", ValueError), ("{a 1", ValueError),
                                         ("{a 1 2}", ValueError)])
def test_from_tcl_errors(text, error):
    with pytest.raises(error):
        NestMap.from_tcl(text)


def test_from_tcl_takes_cast_list_when_called(monkeypatch):
    seen = []
    real = trivex.tcl.cast_list

    def spy(value, item_cast=None):
        seen.append(value)
        return real(value)

    monkeypatch.setattr(trivex.tcl, "cast_list", spy)
    assert plain(NestMap.from_tcl("{a 1}")) == {"a": "1"}
    assert seen[0] == "{a 1}"


def outcome(read, text):
    """What read(text) gives: nested dicts with every level's type, or the
    exception's type and text."""

    def tree(node):
        return (type(node), {k: tree(v) for k, v in node.items()}) if isinstance(node, dict) else node

    try:
        return tree(read(text))
    except (KeyError, ValueError) as exc:
        return type(exc), str(exc)


# Text that is keyed-list shaped or nearly so: braced and bare pairs nested
# in each other, with words holding Tcl's special characters and escapes.
WORDS = st.text("ab.x0ü", max_size=4) | st.text("ab.{}\\ \"\tx0ü\u20ac", max_size=5)
KL_TEXT = st.recursive(WORDS, lambda inner: st.lists(
    st.tuples(st.text("ab.x0ü", min_size=1, max_size=3) | WORDS, inner,
              st.sampled_from(["{%s {%s}}", "{%s {%s}}", "{%s %s}", "%s\\ %s", "%s %s"])).map(
        lambda pair: pair[2] % pair[:2]), max_size=3).map(" ".join), max_leaves=8)


@given(KL_TEXT)
def test_reading_text_directly_matches_reading_through_cast_list(text):
    real = trivex.tcl.cast_list
    direct = outcome(NestMap.from_tcl, text)
    with pytest.MonkeyPatch.context() as patched:
        patched.setattr(trivex.tcl, "cast_list", lambda value, item_cast=None: real(value))
        assert outcome(NestMap.from_tcl, text) == direct


@pytest.mark.parametrize("name", ["from_tcl", "update", "__setitem__"])
def test_from_tcl_goes_through_what_replaces_its_steps(monkeypatch, name):
    calls = []
    original = vars(NestMap)[name]
    plain_original = original.__func__ if isinstance(original, staticmethod) else original

    def spy(*args):
        calls.append(args)
        return plain_original(*args)

    monkeypatch.setattr(NestMap, name, staticmethod(spy) if isinstance(original, staticmethod) else spy)
    assert plain(NestMap.from_tcl("{a {{b 1}}} {c 2}")) == {"a": {"b": "1"}, "c": "2"}
    assert calls


def test_item_slots_of_a_dict_subclass():
    kl = NestMap({"a": {"b": "1"}})
    with pytest.raises(KeyError):
        dict.__getitem__(kl, "a.b")  # dict's own, which knows no paths
    dict.__setitem__(kl, "x.y", "2")
    assert dict(kl)["x.y"] == "2" and "x" not in dict(kl)

    class Tagged(NestMap):
        def __getitem__(self, key):
            return "tagged", super().__getitem__(key)

    kl["t"] = Tagged(c="3")
    assert kl["t.c"] == ("tagged", "3") and Tagged(a={"b": "1"})["a.b"] == ("tagged", "1")
    original = NestMap.__getitem__
    NestMap.__getitem__ = lambda self, key: "replaced"
    try:
        assert kl["a"] == "replaced"
    finally:
        NestMap.__getitem__ = original
    assert kl["a.b"] == "1"


@pytest.mark.parametrize("store", [lambda sub: sub.__setitem__("c", [sub]), lambda sub: setattr(sub, "c", [sub])])
def test_levels_read_from_tcl_take_part_in_collection(store):
    sub = NestMap.from_tcl("{a {{b 1}}}")["a"]
    store(sub)
    ref = weakref.ref(sub)
    del sub
    gc.collect()
    assert ref() is None


# --- Python to Tcl -----------------------------------------------------------


def check_in_tcl(tk, kl):
    """Everything TclX reads from the keyed list handed over matches kl,
    given as Tcl values (tclobj) or as text (quotify)."""
    tk.call("set", "v", tclobj(kl))
    tk.call("set", "t", quotify(kl))
    for path, value in kl.all_items():
        expected = quotify(value)
        assert tk.eval("keylget v {%s}" % path) == tk.eval("keylget t {%s}" % path) == expected
        assert str(tk.call("kget", tclobj(kl), path)) == str(tk.call("kget", quotify(kl), path)) == expected

    def levels(node, prefix):
        yield prefix, node
        for key, value in node.items():
            if isinstance(value, NestMap):
                yield from levels(value, prefix + "." + key if prefix else key)

    for prefix, node in levels(kl, ""):
        for var in ("v", "t"):
            keys = tk.eval("keylkeys %s {%s}" % (var, prefix) if prefix else "keylkeys " + var)
            assert list(tk.splitlist(keys)) == list(node)


def test_handed_to_tcl(tk):
    kl = NestMap({"a": {"b": "1", "c": "x y"}, "d": "2"})
    assert kl.__tclobj__() == (("a", (("b", "1"), ("c", "x y"))), ("d", "2"))
    assert quotify(kl) == "{a {{b 1} {c {x y}}}} {d 2}"
    assert quotify(NestMap()) == ""
    check_in_tcl(tk, kl)
    check_in_tcl(tk, NestMap({"s": "{", "t": "a\\ b", "u": "", "n": 7, "e": {"f": {"g": "$x [y]"}}}))


KEYS = st.text(string.ascii_letters + string.digits + "_-:ü€", min_size=1, max_size=6)
# Leaves that read back as leaves: no whitespace (a list of pairs needs
# some) and no backslash (which could make some).
LEAVES = st.text(st.characters(blacklist_categories=("Cs", "Zs", "Cc"), blacklist_characters="\\"), min_size=1)
TREES = st.recursive(LEAVES, lambda inner: st.dictionaries(KEYS, inner, min_size=1, max_size=4), max_leaves=12)


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(KEYS, TREES, max_size=5))
def test_round_trips(tk, tree):
    kl = NestMap(tree)
    check_in_tcl(tk, kl)
    back = NestMap.from_tcl(tk.call("set", "v"))
    assert back == kl
    assert NestMap.from_tcl(quotify(kl)) == kl
    tk.call("set", "w", tclobj(back))
    assert tk.eval("set w") == tk.eval("set v")
