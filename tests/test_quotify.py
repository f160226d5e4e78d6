"""Module quotify: Python values to Tcl text and Tcl words.

Tcl itself is the oracle wherever it can judge: every list text we write must
read back through Tcl's own parser as exactly the values we quoted.
"""

import collections.abc
import itertools
import sys
import tkinter

import pytest
from hypothesis import given, strategies as st

from trivex.tcl import quotify as qmod
from trivex.tcl.quotify import (
    _Tcl_ConvertElement,
    _Tcl_ScanElement,
    _tcl_UpdateStringOfList,
    quotify,
    tclobj,
)

TK = tkinter.Tcl().tk
BOTH = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}

# Characters that matter to Tcl's list syntax, plus some that must not.
AWKWARD = " {}\\\"[]$;#\t\n\v\f\r\0xé" + "\u20ac\U0001f600"
# Lone surrogates are left out: tkinter cannot hand them to Tcl at all.
awkward_text = st.text(alphabet=st.sampled_from(AWKWARD) | st.characters(exclude_categories=("Cs",)), max_size=12)


def element(s):
    return _Tcl_ConvertElement(s, _Tcl_ScanElement(s)[1])


@pytest.mark.parametrize(
    "text, flags, out",
    [
        ("", {"USE_BRACES"}, "{}"),
        ("abc", set(), "abc"),
        ("a b", {"USE_BRACES"}, "{a b}"),
        ("{a}", {"USE_BRACES"}, "{{a}}"),
        ('"a', {"USE_BRACES"}, '{"a}'),
        ('a"b', set(), 'a\\"b'),
        ("a]", set(), "a\\]"),
        ("a[b]", {"USE_BRACES"}, "{a[b]}"),
        ("a{b", BOTH, "a\\{b"),
        ("{a", BOTH, "\\{a"),
        ("a}b{", BOTH, "a\\}b\\{"),
        ("a}{b c", BOTH | {"USE_BRACES"}, "a\\}\\{b\\ c"),
        ("a\\", BOTH, "a\\\\"),
        ("a\\b", {"USE_BRACES"}, "{a\\b}"),
        ("\\{", BOTH, "\\\\\\{"),
        ("#a", set(), "#a"),
        ("a\tb", {"USE_BRACES"}, "{a\tb}"),
        ("a{\nb", BOTH, "a\\{\\nb"),
        # Braced, these two would not read back in Tcl: backslashes instead.
        ("{a\\}", BOTH, "\\{a\\\\\\}"),
        ("\\{}", BOTH, "\\\\\\{\\}"),
    ],
)
def test_single_elements(text, flags, out):
    estimate, got = _Tcl_ScanElement(text)
    assert (estimate, got) == (2 * len(text) + 2, flags)
    assert _Tcl_ConvertElement(text, got) == out
    assert TK.splitlist(out) == (text,)


@pytest.mark.parametrize(
    "value, text",
    [
        ([1, 2, [3, 4]], "1 2 {3 4}"),
        (["my key", "my value", "a", "b"], "{my key} {my value} a b"),
        ({"my key": "my value", "a": "b"}, "{my key} {my value} a b"),
        ([], ""),
        ((), ""),
        ({}, ""),
        (set(), ""),
        (None, ""),
        ([[]], "{}"),
        ([None], "{}"),
        (["", ""], "{} {}"),
        (["#x", "y"], "#x y"),
        ("a b", "a b"),
        (True, "true"),
        (False, "false"),
        ([True, 0], "true 0"),
        (1, "1"),
        (1.5, "1.5"),
        (b"ab", "97 98"),
        (bytearray(b"a"), "97"),
        (range(3), "0 1 2"),
        ({"k": [1, 2]}, "k {1 2}"),
        ({1: None}, "1 {}"),
        ({"a": 1}.keys(), "a"),
        ({"a": 1}.items(), "{a 1}"),
        (frozenset({"x y"}), "{x y}"),
    ],
)
def test_quotify_values(value, text):
    assert quotify(value) == text


def test_iterators_are_lists_only_to_the_list_builder():
    gen = (str(i) for i in range(3))
    assert quotify(gen) == str(gen)  # not a sequence: its str()
    assert _tcl_UpdateStringOfList(gen) == "0 1 2"
    assert _tcl_UpdateStringOfList(gen) == ""  # consumed once
    assert tclobj(iter([])).startswith("<list_iterator")


def test_exact_str_is_returned_as_is():
    s = "some text"
    assert quotify(s) is s
    assert tclobj(s) is s


@pytest.mark.parametrize(
    "value, result",
    [
        (None, ""),
        ([1, "a", None, [2.5]], (1, "a", "", (2.5,))),
        ({"a": 1}, ("a", 1)),
        ({"a": {"b": None}}, ("a", ("b", ""))),
        (sys.maxsize + 1, str(sys.maxsize + 1)),
        (-sys.maxsize - 2, str(-sys.maxsize - 2)),
        ({1, 2}, (1, 2)),
        (range(2), (0, 1)),
    ],
)
def test_tclobj_values(value, result):
    assert tclobj(value) == result


@pytest.mark.parametrize("value", [True, 1.5, "x", b"x", 7, sys.maxsize, -sys.maxsize - 1])
def test_tclobj_keeps_scalars(value):
    assert tclobj(value) is value


class TupleSub(tuple):
    pass


def nest(value, depth):
    for _ in range(depth):
        value = (value,)
    return value


@pytest.mark.parametrize(
    "value, result",
    [
        (("a", 1, 1.5, True, b"x", ("b", (sys.maxsize,))),) * 2,
        (nest("deep", 40),) * 2,
        (("a", ("b", (None,))), ("a", ("b", ("",)))),
        (("a", (sys.maxsize + 1,)), ("a", (str(sys.maxsize + 1),))),
        (("a", ["b", ()]), ("a", ("b", ()))),
        (("a", TupleSub(("b",))), ("a", ("b",))),
        (nest(None, 40), nest("", 40)),
    ],
)
def test_tclobj_tuples(value, result):
    """Tuples come back as plain tuples of converted items, at any depth,
    also where every item is already one that tclobj() keeps."""
    got = tclobj(value)
    assert got == result
    stack = [got]
    while stack:
        item = stack.pop()
        if isinstance(item, tuple):
            assert type(item) is tuple
            stack.extend(item)


def test_tclobj_keeps_tcl_objects():
    obj = TK.call("dict", "create", "a", "b c")
    assert tclobj(obj) is obj
    assert quotify(obj) == "a {b c}"


class IntSub(int):
    pass


def test_int_subclass_is_text_not_word():
    assert tclobj(IntSub(5)) == "5"
    assert tclobj(IntSub(5)) is not 5  # noqa: F632


# -- conversion hooks ---------------------------------------------------------


class Quoting:
    def __init__(self, result):
        self.result = result

    def __quotify__(self):
        return self.result


class Both(collections.abc.Sequence):
    def __getitem__(self, i):
        return ["a b", "c"][i]

    def __len__(self):
        return 2

    def __quotify__(self):
        return "own text"


class Converting:
    def __init__(self, value):
        self.value = value

    def __tclobj__(self):
        return self.value


def test_quotify_hook_result_is_returned_unchecked():
    marker = object()
    assert quotify(Quoting(marker)) is marker
    assert quotify(Quoting(5)) == 5


def test_hooks_are_picked_per_function():
    both = Both()
    assert quotify(both) == "own text"
    assert tclobj(both) == ("a b", "c")
    conv = Converting(["x y", 1])
    assert quotify(conv) == "{x y} 1"
    assert tclobj(conv) == ["x y", 1]


def test_hook_results_inside_lists_are_converted_again():
    # A hook may hand back a value that is not yet text; as an element it
    # is converted once more before quoting.
    assert quotify([Quoting(5), Quoting(["a b"])]) == "5 {{a b}}"
    assert quotify([Converting(("p", "q r"))]) == "{p {q r}}"


def test_each_element_becomes_text_once():
    # The flags and the written element must come from one text: an element
    # whose text changes between calls must still give a list Tcl reads back.
    texts = itertools.cycle(["a", "b c", "{", "d\\", "", "e}f{", "$g"])
    given = []

    class Shifty:
        def __str__(self):
            given.append(next(texts))
            return given[-1]

    items = [Quoting(Shifty()) for _ in range(14)]
    text = quotify(items)
    assert len(given) == len(items)
    assert TK.call("llength", text) == len(items)
    assert [TK.call("lindex", text, i) for i in range(len(items))] == given


def test_hook_text_that_is_no_text_fails_as_element():
    with pytest.raises(TypeError, match="has no len"):
        quotify([Quoting(Quoting(3))])


@pytest.mark.parametrize("false_value", [None, 0, "", False])
def test_false_hooks_are_skipped(false_value):
    class Obj(list):
        __quotify__ = false_value
        __tclobj__ = false_value

    assert quotify(Obj(["a b"])) == "{a b}"
    assert tclobj(Obj(["a b"])) == ("a b",)


def test_hook_lookup_errors():
    class Missing:
        @property
        def __quotify__(self):
            raise AttributeError("nope")

        def __str__(self):
            return "missing"

    class Broken:
        @property
        def __quotify__(self):
            raise RuntimeError("broken")

    class NotCallable:
        __tclobj__ = 5

    assert quotify(Missing()) == "missing"
    with pytest.raises(RuntimeError, match="broken"):
        quotify(Broken())
    with pytest.raises(TypeError):
        tclobj(NotCallable())


def test_errors_from_elements_propagate():
    class Bad:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        quotify([1, Bad()])
    with pytest.raises(KeyError):
        quotify(BadMapping())


class BadMapping(collections.abc.Mapping):
    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(["k"])

    def __len__(self):
        return 1


# -- recursion and mutation -----------------------------------------------------


def test_self_containing_values_raise_recursion_error():
    lst = []
    lst.append(lst)
    d = {}
    d["d"] = d
    for value in (lst, d, [[lst]]):
        with pytest.raises(RecursionError):
            quotify(value)
        with pytest.raises(RecursionError):
            tclobj(value)

    class Loop:
        def __tclobj__(self):
            return self

    with pytest.raises(RecursionError):
        quotify(Loop())


def test_list_shrinking_under_a_hook():
    victim = ["a", None, "b", "c"]

    class Shrink:
        def __quotify__(self):
            del victim[2:]
            return "s"

    victim[1] = Shrink()
    assert quotify(victim) == "a s"
    victim[1:] = [Shrink(), "b", "c"]
    # tclobj keeps whatever __tclobj__-less objects give: quotify text.
    assert tclobj(victim) == ("a", "s")


# -- fast paths give what the general rules give --------------------------------


class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class Map(collections.abc.Mapping):
    def __init__(self, d):
        self.d = dict(d)

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


class Text(str):
    pass


scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | awkward_text
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(awkward_text, inner, max_size=3),
    max_leaves=12,
)


def generic(value):
    """The same value built from non-exact types, so no fast path applies."""
    if isinstance(value, list):
        return Seq(generic(v) for v in value)
    if isinstance(value, dict):
        return Map({k: generic(v) for k, v in value.items()})
    if isinstance(value, str):
        return Text(value)
    return value


@given(values)
def test_fast_paths_match_general_rules(value):
    assert quotify(generic(value)) == quotify(value)
    assert quotify(tuple(value) if isinstance(value, list) else value) == quotify(value)


# -- Tcl reads back what we write -----------------------------------------------


def tcl_split(text):
    """Tcl's own reading of `text` as a list (any text, NUL included)."""
    result = TK.call("lrange", text, 0, "end")
    return () if result == "" else result


def tcl_structure(value, depth):
    """Read `value` (list text) back through Tcl to the given nesting depth."""
    if depth == 0:
        return value
    return [tcl_structure(v, depth - 1) for v in tcl_split(value)]


# Long enough to pass the lengths up to which quoting keeps its scratch on the stack.
@given(st.lists(awkward_text, max_size=80))
def test_tcl_reads_back_lists_of_strings(items):
    text = quotify(items)
    assert tcl_split(text) == tuple(items)
    assert TK.call("llength", text) == len(items)
    # The words as tclobj passes them arrive unchanged as well.
    assert TK.call("list", *tclobj(items)) == TK.call("list", *items)


@given(st.lists(st.lists(awkward_text, min_size=1, max_size=4), max_size=12))
def test_nested_lists_come_back_nested(items):
    text = quotify(items)
    assert tcl_structure(text, 2) == items
    assert TK.call("llength", text) == len(items)


@given(st.dictionaries(awkward_text, awkward_text, max_size=6))
def test_mappings_are_tcl_dicts(d):
    text = quotify(d)
    if d:
        assert TK.call("dict", "size", text) == len(d)
        for k, v in d.items():
            got = TK.call("dict", "get", text, k)
            assert (got if isinstance(got, str) else str(got)) == v


def test_every_short_string_reads_back():
    """All strings of up to four characters over the characters that matter
    to list syntax read back as exactly one element; wherever the classic
    brace rules give text Tcl can read, the flags and output are theirs."""
    alphabet = ["a", "{", "}", "\\", " ", '"', "[", "]", "$", ";", "#", "\n", "\t", "x"]
    changed = 0
    for n in range(5):
        for chars in itertools.product(alphabet, repeat=n):
            s = "".join(chars)
            flags = _Tcl_ScanElement(s)[1]
            out = _Tcl_ConvertElement(s, set(flags))
            assert TK.splitlist(out) == (s,), (s, out)
            classic = classic_flags(s)
            classic_out = _Tcl_ConvertElement(s, set(classic))
            if out != classic_out:
                changed += 1
                try:
                    readable = TK.splitlist(classic_out) == (s,)
                except tkinter.TclError:
                    readable = False
                assert not readable, (s, classic_out)
            else:
                assert flags == classic
    assert changed > 0


def classic_flags(s):
    """The brace rules without Tcl's backslash skipping (the brace after a
    backslash counts) — what the scan gives wherever Tcl can read it."""
    flags = set()
    nesting = 0
    if not s or s[0] in '{"':
        flags.add("USE_BRACES")
    for i, c in enumerate(s):
        if c == "{":
            nesting += 1
        elif c == "}":
            nesting -= 1
            if nesting < 0:
                flags |= BOTH
        elif c in "[$; \f\n\r\t\v":
            flags.add("USE_BRACES")
        elif c == "\\":
            if i == len(s) - 1 or s[i + 1] == "\n":
                flags = set(BOTH)
            else:
                flags.add("USE_BRACES")
    return set(BOTH) if nesting else flags


# -- the element functions' own interface --------------------------------------


def test_convert_element_adds_unmatched_in_place():
    flags = set()
    assert _Tcl_ConvertElement("{a}", flags) == "\\{a\\}"
    assert flags == {"BRACES_UNMATCHED"}


def test_convert_element_flag_objects():
    assert _Tcl_ConvertElement("", 5) == "{}"
    with pytest.raises(TypeError):
        _Tcl_ConvertElement("a", 5)
    # Membership is all a flag object needs, unless an add is required.
    assert _Tcl_ConvertElement("a b", ("USE_BRACES",)) == "{a b}"
    assert _Tcl_ConvertElement("a{b", ("BRACES_UNMATCHED",)) == "a\\{b"
    with pytest.raises(AttributeError):
        _Tcl_ConvertElement("{a", ())


def test_scan_returns_new_sets():
    a, b = _Tcl_ScanElement("x")[1], _Tcl_ScanElement("x")[1]
    assert a == b == set() and a is not b


# -- the module's interface -------------------------------------------------------


def test_module_names_in_order():
    names = [n for n in vars(qmod) if not n.startswith("__")]
    assert names == [
        "Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode",
        "_Tcl_ScanElement", "_Tcl_ConvertElement", "_tcl_UpdateStringOfList",
        "_quotify_from_sequence", "_quotify_from_mapping", "quotify",
        "_sysmaxsize", "_long_type", "_tclobj_from_sequence",
        "_tclobj_from_mapping", "tclobj",
    ]  # fmt: skip
    assert qmod._quotify_from_sequence is qmod._tcl_UpdateStringOfList
    assert qmod._sysmaxsize == sys.maxsize and qmod._long_type is int
    assert qmod.unicode is str and qmod._tkTcl_Obj is tkinter._tkinter.Tcl_Obj
    assert quotify.from_sequence is qmod._quotify_from_sequence
    assert quotify.from_mapping is qmod._quotify_from_mapping
    assert tclobj.from_sequence is qmod._tclobj_from_sequence
    assert tclobj.from_mapping is qmod._tclobj_from_mapping


def test_help_texts():
    assert "Tcl_ScanElement" in _Tcl_ScanElement.__doc__ and "tclUtil.c" in _Tcl_ScanElement.__doc__
    assert "tclUtil.c" in _Tcl_ConvertElement.__doc__
    assert "tclListObj.c" in _tcl_UpdateStringOfList.__doc__
    assert "quotify([1, 2, [3, 4]])" in quotify.__doc__
    assert "__quotify__" in quotify.__doc__
    assert qmod.__doc__


@given(st.floats() | st.integers() | st.sampled_from([0.0, -0.0, 1e16, 1e15, 1e-4, 1e-5, 5e-324, 1.7976931348623157e308]))
def test_numbers_are_their_python_text(x):
    assert quotify(x) == str(x)
    assert quotify([x, "y"]) == str(x) + " y"
    assert quotify((True, x, None)) == "true %s {}" % x
