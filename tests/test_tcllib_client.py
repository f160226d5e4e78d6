"""A realistic client: Python tests driving real Tcl libraries (tcllib) through
the package, checked against Python's own implementations."""

import base64
import hashlib
import json

import pytest
from hypothesis import given, settings, strategies as st

from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclArrayVariable, TclCommand, TempTclNamespace
from trivex.tcl.nestmap import NestMap


@pytest.fixture(scope="module")
def tcl():
    interp = Interpreter()
    for pkg in ("base64", "md5", "json", "json::write", "struct::stack", "struct::list"):
        interp.eval("package require %s" % pkg)
    return interp


ascii_text = st.text(alphabet=st.characters(min_codepoint=32, max_codepoint=126), max_size=40)


@settings(max_examples=50)
@given(ascii_text)
def test_base64_through_the_command_builder(tcl, text):
    encoded = tcl.j.base64.encode(text, cast_=False)
    assert encoded == base64.b64encode(text.encode()).decode()
    assert tcl.j.base64.decode(encoded, cast_=False) == text


@settings(max_examples=50)
@given(ascii_text)
def test_md5_through_a_bound_command(tcl, text):
    md5_hex = TclCommand("::md5::md5", args=("-hex",), tcl=tcl)
    assert md5_hex(text) == hashlib.md5(text.encode()).hexdigest().upper()


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-10**6, 10**6) | ascii_text,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(ascii_text, inner, max_size=3),
    max_leaves=8,
)


@settings(max_examples=50)
@given(st.dictionaries(st.text(alphabet="abcxyz", min_size=1, max_size=5), ascii_text, max_size=5))
def test_json_to_tcl_dict(tcl, d):
    tcl_dict = tcl.j.json.json2dict(json.dumps(d), cast_=False)
    assert tcl.cast_list(tcl_dict) == tuple(x for kv in d.items() for x in kv)
    for key, value in d.items():
        assert tcl.j.dict("get", tcl_dict, key, cast_=False) == value


@settings(max_examples=30)
@given(json_values)
def test_json_written_by_tcl_reads_in_python(tcl, value):
    # The Tcl side builds the JSON text with json::write from a Python value
    # handed over element by element.
    def to_tcl(v):
        if v is None:
            return "null"
        if isinstance(v, bool):
            return "true" if v else "false"
        if isinstance(v, int):
            return str(v)
        if isinstance(v, str):
            return tcl.j.json.write.string(v, cast_=False)
        if isinstance(v, list):
            return tcl.j.json.write.array(*[to_tcl(x) for x in v], cast_=False)
        return tcl.j.json.write.object(*[w for k, x in v.items() for w in (k, to_tcl(x))], cast_=False)

    assert json.loads(to_tcl(value)) == value


def test_stack_object_commands(tcl):
    with TempTclNamespace(tcl=tcl) as ns:
        ns.eval("::struct::stack S")
        stack = TclCommand(ns.join(ns.ns, "S"), tcl=tcl)
        for item in ["a", "b c", "{d"]:
            stack("push", item)
        assert stack("size") == 3
        assert stack("pop") == "{d"
        assert tcl.cast_list(stack("peek", 2)) == ("b c", "a")
        stack("destroy")


def test_python_comparator_drives_lsort(tcl):
    words = ["pear", "Fig", "apple", "kiwi", "banana"]

    def by_length(a, b):
        return (len(a) > len(b)) - (len(a) < len(b))

    cmd = tcl.create_callback(by_length)
    try:
        result = tcl.j.lsort("-command", cmd, words)
        assert list(result) == sorted(words, key=len)  # a Tcl list comes back as a tuple
        kept = tcl.j.struct.list("filterfor", "w", words, "[string match *a* $w]", cast_=False)
        assert tcl.cast_list(kept) == tuple(w for w in words if "a" in w)
    finally:
        tcl.remove_callback(by_length)


def test_arrays_and_keyed_lists_built_in_tcl(tcl):
    tcl.eval("array unset ::inventory; array set ::inventory {apples 3 pears 5 {dragon fruit} 1}")
    inventory = TclArrayVariable("::inventory", tcl=tcl, cast=int)
    assert dict(inventory.items()) == {"apples": 3, "pears": 5, "dragon fruit": 1}
    inventory.update({"kiwis": 7})
    assert tcl.eval("set ::inventory(kiwis)") == "7"

    tcl.eval("keylset ::order id 17 customer.name {Ada L} customer.city Paris")
    order = tcl.get_keyed_list("::order")
    assert order == {"id": "17", "customer": {"name": "Ada L", "city": "Paris"}}
    order["customer.city"] = "Lyon"
    tcl.set_keyed_list("::order", order)
    assert tcl.eval("keylget ::order customer.city") == "Lyon"
    assert isinstance(order, NestMap)
