"""DictionaryCompare: Tcl's dictionary order, judged by Tcl's own lsort."""

import functools
import inspect
import string
import sys
import tkinter

import pytest
from hypothesis import given, strategies as st

from conftest import UNDER_SANITIZER
from trivex.tcl.internal import DictionaryCompare

TK = tkinter.Tcl().tk


def sign(v):
    return (v > 0) - (v < 0)


@pytest.mark.parametrize("left, right, expected", [
    ("B", "b", -32), ("x10y", "x9y", 1), ("a2", "a10", -1), ("a01", "a1", 1), ("a1", "a01", -1),
    ("ab", "abc", -99), ("", "", 0), ("abc", "abc", 0), ("abc", "ABD", -1), (10, 9, 1), ("00", "0", 1),
    # Lower case is compared: '_' (between 'Z' and 'a') sorts before letters.
    ("_", "A", ord("_") - ord("a")),
    # One code point per character, as Tcl lowers: U+0130 compares as 'i'.
    ("\u0130", "i", 0x130 - ord("i")), ("\u0130b", "ia", 1), ("\u0130", "j", -1),
])
def test_documented_values(left, right, expected):
    assert DictionaryCompare(left, right) == expected
    assert DictionaryCompare(right=right, left=left) == expected


def test_arguments():
    assert str(inspect.signature(DictionaryCompare)) == "(left, right)"
    assert "x10y" in DictionaryCompare.__doc__
    assert DictionaryCompare(type("S", (), {"__str__": lambda s: "a2"})(), "a10") == -1
    with pytest.raises(ZeroDivisionError):
        DictionaryCompare("a", type("Bad", (), {"__str__": lambda s: 1 / 0})())
    with pytest.raises(TypeError):
        DictionaryCompare("a")


def lower_seen(c):
    """The lower case DictionaryCompare uses for c: against U+0001 (its own
    lower case, never a digit) the result is ord(lower(c)) - 1."""
    return chr(DictionaryCompare(c, "\x01") + 1)


def test_character_classes_are_the_hosts():
    step = 7 if UNDER_SANITIZER else 1
    for cp in range(2, sys.maxunicode + 1, step):
        c = chr(cp)
        low = c.lower()
        assert lower_seen(c) == low[0], hex(cp)
        # Equal numbers of different length: the longer wins with exactly 1.
        assert (DictionaryCompare(c + c, c) == 1) == c.isdigit(), hex(cp)


def test_lower_case_agrees_with_tcl():
    chars = "".join(chr(cp) for cp in range(1, 0x10000) if not 0xD800 <= cp < 0xE000)
    tcl_lower = TK.call("string", "tolower", chars)
    differ = [c for c, t in zip(chars, tcl_lower) if lower_seen(c) != t]
    # Tcl's `string tolower` works in place and leaves a character whose lower
    # case needs more UTF-8 bytes; its sort lowers those too (checked below).
    assert all(len(lower_seen(c).encode()) > len(c.encode()) for c in differ)
    for c in differ:
        neighbour = chr(ord(c) + 1)
        assert sign(DictionaryCompare(c, neighbour)) == tcl_sign(c, neighbour) == 1


def tcl_sign(a, b):
    """The sign of a comparison as Tcl's (stable) lsort -dictionary sees it."""
    if a == b:
        return 0
    forward = TK.call("lsort", "-dictionary", (a, b))
    backward = TK.call("lsort", "-dictionary", (b, a))
    if forward == backward:
        return -1 if forward == (a, b) else 1
    return 0


# Letters, digits and punctuation, with letters whose case mapping is not
# plain ASCII.  Excluded, because Tcl 8.6 itself differs there by design:
# - digits other than 0-9 (Tcl's digit test is the C library's, ASCII only;
#   here a digit is what str.isdigit() says),
# - characters beyond the BMP (Tcl 8.6 holds them as UTF-16 surrogate pairs
#   and compares the surrogates),
# - NUL (Tcl ends its strings at a NUL byte, which tkinter passes raw).
ALPHABET = string.ascii_letters + string.digits + string.punctuation + " \u00e9\u00c9\u00df\u00ff\u0178" \
    "\u03a3\u03c3\u03c2\u0416\u0436\u0130\u0131\u212a\u023a\u2c65"
words = st.text(alphabet=st.sampled_from(ALPHABET) | st.sampled_from(string.digits), max_size=7)


@given(words, words, st.integers(0, 7))
def test_sign_agrees_with_lsort(a, b, shared):
    b = a[:shared] + b  # a common prefix, so that later rules get their turn
    assert sign(DictionaryCompare(a, b)) == tcl_sign(a, b)


@given(st.lists(words, max_size=12))
def test_sorts_as_lsort(items):
    ours = sorted(items, key=functools.cmp_to_key(DictionaryCompare))
    assert tuple(ours) == (TK.call("lsort", "-dictionary", tuple(items)) if items else ())
