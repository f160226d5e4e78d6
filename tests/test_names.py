"""Name arithmetic on '::'-separated Tcl names (TclNamespace's static methods).

Tcl's own `namespace qualifiers` and `namespace tail` judge the two functions
that mirror them; the strict split, normalize and join are checked on their
edge cases and by properties.
"""

import tkinter

import pytest
from hypothesis import given, strategies as st

from trivex.tcl.namespace import TclNamespace

TK = tkinter.Tcl().tk
NS = TclNamespace

names = st.text(alphabet=st.sampled_from("ab:é€ {}\\$\U0001f600"), max_size=14)
# Names the strict reading accepts: components without colons.
components = st.text(alphabet=st.sampled_from("ab é{$"), min_size=1, max_size=4)
valid_names = st.builds(
    lambda absolute, parts, seps: ("::" if absolute else "") + "".join(p + s for p, s in zip(parts, seps)),
    st.booleans(),
    st.lists(components, max_size=4),
    st.lists(st.sampled_from(["::", "::::"]), min_size=4, max_size=4),
)


@pytest.mark.parametrize(
    "name, pieces",
    [
        ("::a::b", ["", "a", "b"]),
        ("a::b", ["a", "b"]),
        ("::", [""]),
        ("", []),
        (None, []),
        ("::a::", ["", "a"]),
        ("a::::b", ["a", "b"]),
        ("::::", [""]),
        ("a b::c", ["a b", "c"]),
        (("a", "b c"), ["a {b c}"]),  # a non-string counts by its Tcl text
    ],
)
def test_split(name, pieces):
    assert NS.split(name) == pieces


@pytest.mark.parametrize("name", ["a:::b", "a:b", ":", "::a:", "x::y:z"])
def test_invalid_names_are_rejected_everywhere(name):
    # The message names the whole name as it was when the check failed.
    for fn, whole in ((NS.split, name), (NS.normalize, name), (NS.join, name),
                      (lambda n: NS.join("::ns", n), name if name.startswith("::") else "::ns::" + name)):
        with pytest.raises(ValueError) as info:
            fn(name)
        assert info.value.args == ("Invalid Tcl namespace '%s'" % whole,)


@pytest.mark.parametrize(
    "name, normal",
    [("::a::::b::", "::a::b"), ("::", ""), ("", ""), ("a::b", "a::b"), ("::a", "::a"), (None, "")],
)
def test_normalize(name, normal):
    assert NS.normalize(name) == normal


@pytest.mark.parametrize(
    "args, joined",
    [
        (("::a", "b", "c"), "::a::b::c"),
        (("::a", "::x", "y"), "::x::y"),
        (("", "b"), "b"),
        (("a", ""), "a"),
        (("::", "x"), "::x"),
        (("a",), "a"),
        ((None, None, "x"), "x"),
        (("::a::", "b::"), "::a::b"),
        (("::a", 5), "::a::5"),
    ],
)
def test_join(args, joined):
    assert NS.join(*args) == joined


@pytest.mark.parametrize(
    "fn, name, result",
    [
        (NS.tail, "::a::b", "b"),
        (NS.tail, "b", "b"),
        (NS.tail, "a:::b", "b"),
        (NS.tail, "::", ""),
        (NS.tail, None, ""),
        (NS.qualifiers, "::a::b::c", "::a::b"),
        (NS.qualifiers, "a::b", "a"),
        (NS.qualifiers, "a:::b", "a"),
        (NS.qualifiers, "::a", ""),
        (NS.qualifiers, "a", ""),
        (NS.qualifiers, 12, ""),
    ],
)
def test_tail_and_qualifiers(fn, name, result):
    assert fn(name) == result


@given(names)
def test_tail_and_qualifiers_agree_with_tcl(name):
    assert NS.tail(name) == TK.call("namespace", "tail", name)
    assert NS.qualifiers(name) == TK.call("namespace", "qualifiers", name)


@given(valid_names)
def test_normalize_is_idempotent_and_joins_split(name):
    normal = NS.normalize(name)
    assert NS.normalize(normal) == normal
    assert normal == "::".join(NS.split(name))
    if NS.split(name) != [""]:  # "::" alone normalizes to the empty name
        assert NS.split(normal) == NS.split(name)


@given(st.lists(valid_names, max_size=4), valid_names.filter(lambda n: n.startswith("::")), st.lists(valid_names, max_size=3))
def test_join_with_absolute_argument_discards_what_precedes(before, absolute, after):
    head = before[0] if before else ""
    assert NS.join(head, *before[1:], absolute, *after) == NS.join(absolute, *after)


@given(valid_names.filter(lambda n: n.startswith("::")), valid_names.filter(lambda n: NS.normalize(n)))
def test_join_names_the_namespace_tcl_reaches(first, second):
    # Tcl's oracle: evaluating in `second` from inside `first` lands in the
    # namespace whose fully qualified name join() computes.
    inner = TK.call("list", "namespace", "eval", second, "namespace current")
    assert NS.join(first, second) == TK.call("namespace", "eval", first, inner)


def test_static_methods_are_static():
    for name in ("qualifiers", "tail", "join", "split", "normalize"):
        assert isinstance(NS.__dict__[name], staticmethod)


def test_text_that_quotify_cannot_make_a_string_is_a_type_error():
    class Odd:
        def __quotify__(self):
            return 5

    with pytest.raises(TypeError):
        NS.split(Odd())
