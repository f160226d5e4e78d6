"""Typed variable access and casts, with Tcl as the oracle for what is written
and read, and the plain reader path as the oracle for cast_any's shortcut."""

import math
import sys

import pytest
from hypothesis import given, strategies as st
from tkinter import TclError

from trivex.tcl.interpreter import Interpreter
from trivex.tcl.namespace import TclCommand, TclNamespace, TclVariable
from trivex.tcl.nestmap import NestMap


@pytest.fixture(scope="module")
def shared():
    return Interpreter()


class Plain(Interpreter):
    """Readers overridden (to themselves): cast_any must take the long way."""

    def cast_int(self, value):
        return super().cast_int(value)


@pytest.fixture(scope="module")
def plain():
    return Plain()


@pytest.mark.parametrize(
    "value, item_cast, result",
    [
        ("1 2 3", None, ("1", "2", "3")),
        ("1 2 3", int, (1, 2, 3)),
        (("a b", "c"), None, ("a b", "c")),
        ("", None, ()),
        ("{a b} {}", len, (3, 0)),
    ],
)
def test_cast_list(value, item_cast, result):
    assert Interpreter.cast_list(value, item_cast=item_cast) == result


def test_cast_list_errors():
    with pytest.raises(ValueError) as info:
        Interpreter.cast_list("{a")
    assert isinstance(info.value.args[0], TclError)
    assert info.value.__cause__ is info.value.args[0]
    t = ("x",)
    assert Interpreter.cast_list(t) is t


@pytest.mark.parametrize(
    "value, result", [("12", 12), ("0x10", 16), (" 7 ", 7), (5, 5), (True, True), ("-0", 0),
                      ("12345678901234567890", 12345678901234567890)]  # fmt: skip
)
def test_cast_int(shared, value, result):
    got = shared.cast_int(value)
    assert got == result and type(got) is type(result)


@pytest.mark.parametrize("value", ["1e3", "x", "", 5.0, None, "08"])
def test_cast_int_rejects(shared, value):
    with pytest.raises(ValueError):
        shared.cast_int(value)


@pytest.mark.parametrize("value, result", [("2.5", 2.5), ("1e3", 1000.0), (3, 3.0), ("7", 7.0), (None, None)])
def test_cast_double(shared, value, result):
    if result is None:
        with pytest.raises(ValueError):
            shared.cast_double(value)
    else:
        assert shared.cast_double(value) == result


@pytest.mark.parametrize(
    "value, result",
    [("yes", True), ("TR", True), ("-3", True), ("0.0", False), ("0x0", False), ("off", False),
     ("FALSE", False), (2, True), (0, False), (1.5, True), (0.0, False), ("1", True)],  # fmt: skip
)
def test_cast_boolean(shared, value, result):
    assert shared.cast_boolean(value) is result


@pytest.mark.parametrize("value", ["o", "maybe", "", None])
def test_cast_boolean_rejects(shared, value):
    with pytest.raises(ValueError) as info:
        shared.cast_boolean(value)
    assert isinstance(info.value.__cause__, TclError)


def test_cast_array_and_keyed_list():
    a = Interpreter.cast_array("a 1 b 2", item_cast=int)
    assert dict(a) == {"a": 1, "b": 2}
    kl = Interpreter.cast_keyed_list("{a 1} {b {{c 2}}}", item_cast=int)
    assert kl["b.c"] == 2 and kl["a"] == 1
    assert isinstance(kl, NestMap) and isinstance(kl["b"], NestMap)


@pytest.mark.parametrize(
    "value, result",
    [
        (("x", 1), ("x", "1")),
        (7, 7),
        (2.5, 2.5),
        (True, True),
        ("", ""),
        ("12", 12),
        ("0x10", 16),
        ("1e3", 1000.0),
        ("2.5", 2.5),
        ("yes", True),
        ("off", False),
        ("TRUE", True),
        ("on", True),
        ("1 2", "1 2"),
        ("hello world", "hello world"),
        ("1 2 3", "1 2 3"),
        ("{a 1} {b 2}", {"a": "1", "b": "2"}),
        ("12345678901234567890", 12345678901234567890),
        ("a\0b", "a\0b"),
        ([1, 2], "[1, 2]"),
    ],
)
def test_cast_any(shared, plain, value, result):
    for interp in (shared, plain):
        got = interp.cast_any(value)
        assert got == result and type(got) is (NestMap if isinstance(result, dict) else type(result))


@pytest.mark.parametrize(
    "shadowed, via, text",
    [
        ("cast_int", "cast_any", "12"),
        ("cast_double", "cast_any", "1.5"),
        ("cast_boolean", "cast_any", "yes"),
        ("getint", "cast_any", "12"),
        ("getdouble", "cast_any", "1.5"),
        ("getint", "cast_int", "12"),
        ("getdouble", "cast_double", "1.5"),
    ],
)
def test_instance_attributes_override_the_steps_through_self(shadowed, via, text):
    """The documented steps call self.<method>: an instance attribute wins,
    and removing it brings the class's own back."""
    interp = Interpreter()
    plain = getattr(interp, via)(text)
    setattr(interp, shadowed, lambda value: ("mine", value))
    assert getattr(interp, via)(text) == ("mine", text)
    delattr(interp, shadowed)
    assert getattr(interp, via)(text) == plain


@pytest.mark.parametrize("reader, cast", [("get_list", "cast_list"), ("get_keyed_list", "cast_keyed_list")])
def test_readers_take_the_cast_from_the_class(monkeypatch, reader, cast):
    """get_list and get_keyed_list cast through Interpreter.<cast>, so a
    rebinding on the class is seen, and undoing it brings the own one back."""
    interp = Interpreter()
    interp.vars["x"] = "{a 1} {b 2}"
    plain = getattr(interp, reader)("x")
    monkeypatch.setattr(Interpreter, cast, staticmethod(lambda value: ("mine", value)))
    assert getattr(interp, reader)("x") == ("mine", "{a 1} {b 2}")
    monkeypatch.undo()
    assert getattr(interp, reader)("x") == plain


def test_cast_any_keyed_list_object(shared):
    shared.eval("keylset ::kl a.b 1 c 2", record=False)
    obj = shared.tk.call("set", "::kl")
    assert obj.typename == "keyedList"
    assert shared.cast_any(obj) == {"a": {"b": "1"}, "c": "2"}


def test_cast_any_conflicting_keyed_list_raises(shared):
    # A list of pairs that is not a consistent keyed list is an error, not text.
    with pytest.raises(KeyError):
        shared.cast_any("{a x} {a.b 1}")


@pytest.mark.parametrize("limit", [640, 4300, 0])
def test_cast_any_leaves_text_beyond_the_int_digit_limit_alone(shared, plain, limit):
    # Tcl's number reader is quadratic: text longer than Python's own digit
    # limit (read at each call) is not tried as a number.
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        n = limit or 5000
        for interp in (shared, plain):
            assert interp.cast_any("7" * n) == int("7" * n)
            longer = "7" * (n + 1)
            assert interp.cast_any(longer) == (int(longer) if limit == 0 else longer)
            if limit:
                assert interp.cast_any("1." + "5" * n) == "1." + "5" * n
                assert interp.cast_any(" " * n + "yes") == " " * n + "yes"
    finally:
        sys.set_int_max_str_digits(old)


def test_cast_any_of_millions_of_digits_finishes(shared, plain):
    # Read quadratically, this would take hours.
    big = "9" * 2_000_000
    shared.tk.setvar("::big", big)
    assert shared.cast_any(big) == big
    assert plain.cast_any(big) == big
    assert shared.eval("set ::big", typecast=True, record=False) == big
    assert shared.j.set("::big") == big
    assert shared.cast_any("{k %s}" % big) == {"k": big}


number_words = st.sampled_from(
    ["0", "-0", "+5", "0x1F", "0o17", "0b101", "017", "08", "1e3", "1.5e-3", ".5", "5.", "inf", "-Inf", "NaN",
     "nan", "yes", "no", "t", "f", "of", "on", "true", "FALSE", "tru", " 12 ", "\t3\n", "1_000", "0x", "--1",
     "9223372036854775807", "9223372036854775808", "-9223372036854775809", "18446744073709551616", "1e400",
     "{a 1}", "{a 1} {b}", "{} {}", "a b", "\u00e9", "\U0001f600", ""]
)


@given(number_words | st.text(alphabet="01xXeE.+- abfnotuyrslFT{}", max_size=8) | st.text(max_size=6))
def test_cast_any_shortcut_agrees_with_readers(shared, plain, text):
    def outcome(interp):
        try:
            v = interp.cast_any(text)
        except Exception as exc:  # noqa: BLE001 - the type is what we compare
            return ("raises", type(exc))
        if isinstance(v, float) and math.isnan(v):
            return ("nan",)
        return (type(v), v)

    assert outcome(shared) == outcome(plain)


# -- reading and writing variables, checked by Tcl -------------------------------------


def test_writers_as_tcl_sees_them(interp):
    interp.set_list("::l", ["a b", "c", 3])
    assert interp.eval("llength $::l") == "3"
    assert interp.eval("lindex $::l 0") == "a b"
    interp.set_boolean("::f", "no")
    assert interp.eval("set ::f") == "1"
    interp.set_boolean("::f", 0)
    assert interp.eval("set ::f") == "0"
    interp.set_int("::i", 3)
    assert interp.eval("expr {$::i + 1}") == "4"
    interp.set_var("::s", "x y")
    assert interp.eval("string length $::s") == "3"
    interp.set_array("::arr", {"k 1": "v", "k2": 2})
    assert interp.eval("lsort [array names ::arr]") == "{k 1} k2"
    interp.set_keyed_list("::kl", {"a": {"b": "1"}, "c": "x y"})
    assert interp.eval("keylget ::kl a.b") == "1"
    assert interp.eval("keylget ::kl c") == "x y"


# Mostly ASCII list syntax, NUL and a backslash escape that yields other
# bytes, so that elements are taken in place, collapsed, and decoded.
list_text = st.lists(st.sampled_from([" ", "{", "}", "\\", '"', "\t", "a", "0", "\0", "\\u00e9", "w1"]),
                     max_size=24).map("".join)


@given(list_text, st.sampled_from(["setvar", "script", "list"]))
def test_get_list_reads_as_tcl_indexes(shared, text, writer):
    tk = shared.tk
    try:
        n = int(tk.call("llength", text))
    except TclError:
        if writer == "setvar":
            tk.setvar("::gl", text)
            with pytest.raises(ValueError):
                shared.get_list("::gl")
        return
    if writer == "setvar":  # the text as tkinter writes it: NUL as a zero byte
        tk.setvar("::gl", text)
    elif writer == "script":
        tk.call("set", "::gl", text)
        tk.eval("llength $::gl")  # a list object whose text Tcl keeps
    else:
        tk.call("set", "::gl", tk.call("lrange", text, 0, "end"))  # a list Tcl writes anew
    expected = tuple(str(tk.call("eval", "lindex $::gl %d" % i)) for i in range(n))
    assert shared.get_list("::gl") == expected


def test_readers_of_what_tcl_wrote(interp):
    interp.eval("set ::i 0x20; set ::d 2.5e1; set ::b off; set ::l {a {b c}}")
    interp.eval("array set ::arr {x 1 y 2}; keylset ::kl a.b 1 a.c {2 3} d 4")
    assert interp.get_int("::i") == 32
    assert interp.get_double("::d") == 25.0
    assert interp.get_boolean("::b") is False
    assert interp.get_list("::l") == ("a", "b c")
    assert interp.get_var("::l") == "a {b c}"
    assert dict(interp.get_array("::arr")) == {"x": "1", "y": "2"}
    assert interp.get_keyed_list("::kl") == {"a": {"b": "1", "c": "2 3"}, "d": "4"}
    with pytest.raises(KeyError):
        interp.get_var("::missing")


def test_set_keyed_list_rejects_non_mappings_before_writing(interp):
    with pytest.raises((TypeError, ValueError)):
        interp.set_keyed_list("::never", 5)
    assert interp.eval("info exists ::never") == "0"


NUL_VALUES = ["a\0b", "\0", "x\0", "\0\0 {y\0z}", "\u00e9\0\U0001f600"]


@pytest.mark.parametrize("value", NUL_VALUES)
def test_values_holding_nul_are_read_whole(interp, value):
    # tkinter hands an ASCII str to Tcl with its NUL bytes as they are; every
    # reader must give what tkinter's getvar and Tcl's own commands see.
    tk = interp.tk
    tk.call("namespace", "eval", "::nul", "")
    tk.setvar("::nul::s", value)
    tk.call("set", "::nul::l", (value, "c", value))
    tk.call("array", "set", "::nul::a", ("k", value, "m", "n"))
    assert tk.getvar("::nul::s") == value
    assert tk.eval("string length $::nul::s") == str(len(value.encode("utf-16-le")) // 2)  # Tcl 8.6 counts UTF-16
    reads = {
        "vars": interp.vars["::nul::s"],
        "get_var": interp.get_var("::nul::s"),
        "global view": interp.global_ns.vars["nul::s"],
        "namespace view": TclNamespace("::nul", tcl=interp).vars["s"],
        "variable": TclVariable("::nul::s", tcl=interp).get_str(),
        "element": TclVariable("::nul::a", tcl=interp).get_str("k"),
    }
    assert reads == dict.fromkeys(reads, value)
    elements = tuple(tk.call("lindex", tk.getvar("::nul::l"), i) for i in range(int(tk.eval("llength $::nul::l"))))
    assert interp.get_list("::nul::l") == elements == (value, "c", value)
    assert dict(interp.get_array("::nul::a")) == {"k": value, "m": "n"}
    assert dict(TclNamespace("::nul", tcl=interp).vars.array_get("a")) == {"k": value, "m": "n"}

    # Relative names are read in the frame that called back into Python.
    seen = {}

    def inside():
        seen["var"] = interp.vars["loc"]
        seen["list"] = interp.get_list("lst")
        seen["array"] = dict(interp.get_array("arr"))

    tk.createcommand("nul_inside", inside)
    tk.eval("proc nul_proc {} {set loc $::nul::s; set lst $::nul::l; array set arr [array get ::nul::a]; nul_inside}")
    tk.call("nul_proc")
    assert seen == {"var": value, "list": elements, "array": {"k": value, "m": "n"}}
    seen.clear()
    tk.eval("namespace eval ::nul {variable loc $s; variable lst $l; array set arr [array get a]; nul_inside}")
    assert seen == {"var": value, "list": elements, "array": {"k": value, "m": "n"}}


def _write_through_callbacks(interp, s, l, a, value):
    interp.create_callback(lambda: value, cmd_name="nul_scalar", force=True)
    interp.create_callback(lambda: [value, "c", value], cmd_name="nul_list", force=True)
    interp.tk.eval(f"set {s} [nul_scalar]; set {l} [nul_list]; set {a}(k) [nul_scalar]")


def _write_through_command(cmd, s, l, a, value):
    cmd(s, value)
    cmd(l, [value, "c", value])
    cmd(f"{a}(k)", value)


# Each writes `value` as a scalar, as a list (value, "c", value) and as the
# element k of an array.
NUL_WRITERS = {
    "vars": lambda i, s, l, a, v: (i.vars.__setitem__(s, v), i.vars.__setitem__(l, [v, "c", v]),
                                   i.vars.__setitem__(f"{a}(k)", v)),
    "set_var": lambda i, s, l, a, v: (i.set_var(s, v), i.set_list(l, (v, "c", v)), i.set_array(a, {"k": v})),
    "TclVariable.set": lambda i, s, l, a, v: (TclVariable(s, tcl=i).set(v), TclVariable(l, tcl=i).set((v, "c", v)),
                                              TclVariable(a, tcl=i).set(v, "k")),
    "j": lambda i, s, l, a, v: _write_through_command(i.j.set, s, l, a, v),
    "TclCommand": lambda i, s, l, a, v: _write_through_command(TclCommand("set", tcl=i), s, l, a, v),
    "callback result": _write_through_callbacks,
}


@pytest.mark.parametrize("value", NUL_VALUES + ["\udc80\0\udcff"])
@pytest.mark.parametrize("writer", NUL_WRITERS)
def test_values_holding_nul_written_from_python_are_tcl_text(interp, writer, value):
    tk = interp.tk
    tk.eval("namespace eval ::nul {}")
    NUL_WRITERS[writer](interp, "::nul::s", "::nul::l", "::nul::a", value)

    # What Tcl holds, by Tcl's own count and characters (UTF-16 units; the
    # escapes of undecodable bytes stand for those bytes).
    units = [c - 0xDC00 if 0xDC80 <= c <= 0xDCFF else c
             for c in memoryview(value.encode("utf-16-le", "surrogatepass")).cast("H")]
    for var in ("$::nul::s", "[lindex $::nul::l 2]", "$::nul::a(k)"):
        if not any(0xDC80 <= ord(c) <= 0xDCFF for c in value):
            # The same string as Tcl spells it, compared as text before
            # anything gives it another form: NUL in Tcl's own form.
            literal = "".join("\\u%04x" % u for u in units)
            assert tk.eval(f'string equal {var} "{literal}"') == "1"
        assert int(tk.eval(f"string length {var}")) == len(units)
        assert [int(tk.eval(f"scan [string index {var} {i}] %c")) for i in range(len(units))] == units
    assert tk.eval("llength $::nul::l") == "3" and tk.eval("lindex $::nul::l 1") == "c"

    seen = []
    interp.create_callback(lambda *args: seen.extend(args), cmd_name="nul_seen", force=True)
    tk.eval("nul_seen $::nul::s [lindex $::nul::l 0] $::nul::a(k)")
    tk.eval("set ::nul::kl [list [list k $::nul::s]]")
    reads = {
        "vars": interp.vars["::nul::s"],
        "get_var": interp.get_var("::nul::s"),
        "namespace view": TclNamespace("::nul", tcl=interp).vars["s"],
        "TclVariable": TclVariable("::nul::s", tcl=interp).get_str(),
        "element": TclVariable("::nul::a", tcl=interp).get_str("k"),
        "eval": interp.eval("set ::nul::s"),
        "j": interp.j.set("::nul::s"),
        "TclCommand": TclCommand("set", tcl=interp)("::nul::s"),
        "keyed list": interp.get_keyed_list("::nul::kl")["k"],
        "list": interp.get_list("::nul::l")[2],
        "array": dict(interp.get_array("::nul::a"))["k"],
    }
    assert reads == dict.fromkeys(reads, value)
    assert seen == [value] * 3

