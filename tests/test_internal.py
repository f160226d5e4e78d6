"""Module internal: the Tcl library binding and list splitting.

Tcl is the oracle: list texts are built by Tcl and read back by Tcl (through
tkinter) to judge our split; ctypes itself judges the argument errors; Tcl's
own objects judge the structure mirrors.
"""

import collections.abc
import ctypes
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import tkinter

import pytest
from hypothesis import given, strategies as st

import trivex.tcl.internal as mod
from trivex.tcl.internal import (
    GetListFromAny,
    ReturnCodes,
    Tcl_Interp_p,
    Tcl_Obj,
    TclDLL,
    TclError_from_interp,
    _c_char_p_from_obj,
    _ptr_add,
    _ptr_diff,
    _ptr_sub,
)
from trivex.tcl.quotify import quotify

TK = tkinter.Tcl().tk                 # results as Python objects
TEXT_TK = tkinter.Tcl().tk            # results as their Tcl text
TEXT_TK.wantobjects(False)
PKG_ROOT = str(pathlib.Path(mod.__file__).resolve().parents[2])
NAMES = ["libtcl8.4.so", "libtcl8.4.dylib", "libtcl8.5.so", "libtcl8.5.dylib",
         "libtcl8.6.so.0", "libtcl8.6.so", "libtcl8.6.dylib"]

AWKWARD = " {}\\\"[]$;#\t\n\v\f\r\0xé" + "\u20ac\U0001f600"
awkward_text = st.text(alphabet=st.sampled_from(AWKWARD) | st.characters(), max_size=12)
# Raw text made mostly of list syntax, so that many samples are malformed.
raw_text = st.text(alphabet=st.sampled_from(" {}\\\"\tab0\0é\U0001f600nu"), max_size=16)


def tcl_split(text):
    """Tcl's own reading of `text` as a list (tkinter hands it the text)."""
    result = TK.call("lrange", text, 0, "end")
    return () if result == "" else result


def test_module_names_in_order():
    names = [n for n in vars(mod) if not n.startswith("__")]
    assert names == ["ctypes", "tkinter", "Sequence", "Set", "unicode", "ReturnCodes", "TclDLL", "lib",
                     "_ptr_add", "_ptr_sub", "_ptr_diff", "TclError_from_interp", "Tcl_Interp_p", "Tcl_WideInt",
                     "Tcl_ObjType", "Tcl_Obj", "_c_char_p_from_obj", "GetListFromAny", "DictionaryCompare"]
    assert (mod.ctypes, mod.tkinter, mod.unicode, mod.Tcl_WideInt) == (ctypes, tkinter, str, ctypes.c_longlong)
    assert (mod.Sequence, mod.Set) == (collections.abc.Sequence, collections.abc.Set)
    assert mod.__doc__.startswith("Access to some internals of Tcl's C code")


def test_return_codes():
    assert ReturnCodes.__bases__ == (object,)
    assert [getattr(ReturnCodes, n) for n in ("TCL_OK", "TCL_ERROR", "TCL_RETURN", "TCL_BREAK", "TCL_CONTINUE")] \
        == [0, 1, 2, 3, 4]


def test_prototypes():
    ip, c = Tcl_Interp_p, ctypes
    table = {
        "TclFindElement": ([ip, c.c_char_p, c.c_int, c.POINTER(c.c_char_p), c.POINTER(c.c_char_p),
                            c.POINTER(c.c_int), c.POINTER(c.c_int)], c.c_int),
        "TclCopyAndCollapse": ([c.c_int, c.c_char_p, c.c_char_p], c.c_int),
        "Tcl_GetStringResult": ([ip], c.c_char_p),
        "Tcl_ResetResult": ([ip], None),
    }
    assert isinstance(TclDLL, ctypes.CDLL) and mod.lib in NAMES and TclDLL._name == mod.lib
    for name, (argtypes, restype) in table.items():
        fn = getattr(TclDLL, name)
        assert (list(fn.argtypes), fn.restype) == (argtypes, restype)
    # The prototypes work through ctypes, our from_param converting the Tk.
    tcl = tkinter.Tcl()
    tcl.eval("set x r\u00e9sult")
    assert TclDLL.Tcl_GetStringResult(tcl) == "r\u00e9sult".encode()
    TclDLL.Tcl_ResetResult(tcl)
    assert TclDLL.Tcl_GetStringResult(tcl) == b""


def run_fresh(code, **env):
    """Import the module in a new process (it binds everything once)."""
    env = dict(os.environ, **env)
    prelude = "import sys; sys.path.insert(0, %r)\n" % PKG_ROOT
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


def test_library_search_order_and_failure():
    code = """
        import ctypes
        real, tried = ctypes.CDLL, []
        def fake(name, *a, **k):
            tried.append(name)
            if name == %r:
                return real("libtcl8.6.so")
            if name == "libtcl8.5.dylib":
                raise OSError(name)
            %s
        ctypes.CDLL = fake
        try:
            import trivex.tcl.internal as internal
            print("lib", internal.lib)
        except BaseException as e:
            print(type(e).__name__, e)
        print(tried)
    """
    out = run_fresh(code % ("libtcl8.5.so", "raise OSError(name)")).stdout.splitlines()
    assert out == ["lib libtcl8.5.so", str(NAMES[:3])]
    out = run_fresh(code % ("none", "raise OSError(name)")).stdout.splitlines()
    assert out == ["ImportError Cannot load Tcl shared library (.so or .dylib)", str(NAMES)]
    # Only OSError means "try the next name".
    out = run_fresh(code % ("none", "raise RuntimeError(name)")).stdout.splitlines()
    assert out == ["RuntimeError libtcl8.4.so", str(NAMES[:1])]


def test_version_guard(tmp_path):
    # A second copy of the library under an older name is found first: it
    # is not tkinter's Tcl, so no tkinter interpreter may be handed to it.
    shutil.copy(_library_path(), tmp_path / "libtcl8.4.so")
    code = """
        import ctypes, tkinter
        import trivex.tcl.internal as m
        tcl = tkinter.Tcl()
        print(m.lib, m.GetListFromAny("a {b c}"))
        for f in (lambda: m.GetListFromAny("{a", tcl), lambda: m.Tcl_Interp_p.from_param(tcl),
                  lambda: m.TclError_from_interp(tcl), lambda: m.TclDLL.Tcl_ResetResult(tcl),
                  lambda: m.GetListFromAny("{a", None)):
            try:
                f()
            except Exception as e:
                print(type(e).__name__, "|", e)
    """
    result = run_fresh(code, LD_LIBRARY_PATH=str(tmp_path))
    out = result.stdout.splitlines()
    assert out[0] == "libtcl8.4.so ('a', 'b c')", result.stderr
    refusal = ("the Tcl library loaded by trivex.tcl.internal (Tcl %s) is not the one tkinter embeds (Tcl %s); "
               "refusing to hand it a tkinter interpreter" % ((TK.call("info", "patchlevel"),) * 2))
    assert out[1:] == ["TclError | " + refusal] * 3 + ["ArgumentError | argument 1: TclError: " + refusal,
                                                       "TclError | invalid list element"]


def _library_path():
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "/libtcl8.6.so" in line:
                return line.split()[-1]
    pytest.skip("Tcl library not found in the process map")


def tcl_obj_at(address):
    return ctypes.cast(address, ctypes.POINTER(Tcl_Obj)).contents


def test_structures_overlay_tcl_objects():
    c = ctypes
    assert [f for f, _ in Tcl_Obj._fields_] == ["refCount", "bytes", "length", "typePtr", "internalRep"]
    rep = Tcl_Obj.u_internalRep
    assert rep.s_twoPtrValue.__qualname__ == "Tcl_Obj.u_internalRep.s_twoPtrValue"
    assert [f for f, _ in rep._fields_] == ["longValue", "doubleValue", "otherValuePtr", "wideValue", "twoPtrValue"]
    new_string, new_double, new_wide = TclDLL.Tcl_NewStringObj, TclDLL.Tcl_NewDoubleObj, TclDLL.Tcl_NewWideIntObj
    new_string.argtypes, new_double.argtypes, new_wide.argtypes = [c.c_char_p, c.c_int], [c.c_double], [c.c_longlong]
    free = TclDLL.Tcl_DbDecrRefCount
    free.argtypes = [c.c_void_p, c.c_char_p, c.c_int]
    for fn in (new_string, new_double, new_wide):
        fn.restype = c.c_void_p
    objs = [new_string(b"hello", 5), new_double(2.5), new_wide(-(2 ** 40))]
    try:
        s, d, w = map(tcl_obj_at, objs)
        assert (s.refCount, s.bytes, s.length, bool(s.typePtr)) == (0, b"hello", 5, False)
        assert (d.typePtr.contents.name, d.internalRep.doubleValue, d.bytes) == (b"double", 2.5, None)
        assert w.internalRep.wideValue == -(2 ** 40) and w.typePtr.contents.name in (b"int", b"wideInt")
    finally:
        for o in objs:
            TclDLL.Tcl_DbIncrRefCount(c.c_void_p(o), b"", 0)
            free(o, b"", 0)


@pytest.mark.parametrize("bad", [5, "interp", (1, 2), tkinter.Tcl().tk, 1.5])
def test_interp_conversion_rejects(bad):
    with pytest.raises(ValueError) as info:
        Tcl_Interp_p.from_param(bad)
    assert str(info.value) == "Unrecognized Tcl interpreter object: %r" % (bad,)
    # Everywhere, ctypes' own report of the failure is the reference.
    with pytest.raises(ctypes.ArgumentError) as reference:
        TclDLL.Tcl_GetStringResult(bad)
    for call in (lambda: GetListFromAny(" ", bad), lambda: TclError_from_interp(bad)):
        with pytest.raises(ctypes.ArgumentError) as info:
            call()
        assert str(info.value) == str(reference.value)


def test_interp_conversion_accepts():
    tcl = tkinter.Tcl()
    p = Tcl_Interp_p(tcl.interpaddr())
    assert Tcl_Interp_p.from_param(p) is p
    assert Tcl_Interp_p.from_param(None).value is None
    converted = Tcl_Interp_p.from_param(tcl)
    assert type(converted) is Tcl_Interp_p and converted.value == tcl.interpaddr()


def test_tclerror_from_interp():
    tcl = tkinter.Tcl()
    cases = [((None, "invalid list element"), ("invalid list element",)), ((None,), ()), ((tcl, "x"), ("x",)),
             ((Tcl_Interp_p(), "y"), ("y",)), ((tcl, ""), ())]
    for args, expected in cases:
        with pytest.raises(tkinter.TclError) as info:
            TclError_from_interp(*args)
        assert info.value.args == expected
    # The result is the message and stays; what Tcl writes (NUL as C0 80,
    # surrogate pairs) reads as tkinter reads it.
    for script, text in (("oops", "oops"), ("a\\0b \\u00e9\\u20ac\\ud83d\\ude00", "a\0b \u00e9\u20ac\U0001f600")):
        tcl.eval('set x "%s"' % script)
        for interp in (tcl, Tcl_Interp_p(tcl.interpaddr())):
            with pytest.raises(tkinter.TclError) as info:
                TclError_from_interp(interp, "x")
            assert info.value.args == (text,)
        assert tcl.tk.call("set", "x") == text


@pytest.mark.parametrize("make", [ctypes.c_char_p, lambda b: ctypes.cast(ctypes.create_string_buffer(b), ctypes.c_void_p),
                                  lambda b: ctypes.cast(ctypes.c_char_p(b), ctypes.POINTER(ctypes.c_char))])
def test_pointer_arithmetic(make):
    p = make(b"0123456789")
    q = _ptr_add(p, 7)
    assert type(q) is type(p) and _ptr_diff(q, p) == 7 and _ptr_diff(p, q) == -7
    back = _ptr_sub(q, 3)
    assert type(back) is type(p) and _ptr_diff(back, p) == 4
    assert ctypes.cast(back, ctypes.c_char_p).value == b"456789"
    for call in (lambda: _ptr_add(type(p)(), 1), lambda: _ptr_diff(p, ctypes.c_char_p())):
        with pytest.raises(TypeError):
            call()


def test_c_char_p_from_obj():
    assert [_c_char_p_from_obj(v).value for v in (None, 12, "a\0b", "\u00e9", [1, "x"])] \
        == [b"", b"12", b"a", b"\xc3\xa9", b"[1, 'x']"]


class Weird:
    def __str__(self):
        return "x {y z}"


class Virtual:
    def __iter__(self):
        return iter("ab")

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return "ab"[i]


collections.abc.Sequence.register(Virtual)


@pytest.mark.parametrize("value, expected", [
    ("a b c {de} {f g h { i }}", ("a", "b", "c", "de", "f g h { i }")),
    ("", ()), ("   ", ()), (None, ()), ("{}", ("",)), ('"a b" c', ("a b", "c")),
    ("a\\ b", ("a b",)), ("{a\\ b}", ("a\\ b",)), ("\u00e9t\u00e9 x", ("\u00e9t\u00e9", "x")),
    ([1, [2]], (1, [2])), (5, (5,)), (2.5, (2.5,)), (True, (True,)), (b"ab", (97, 98)),
    (bytearray(b"a"), (97,)), (range(3), (0, 1, 2)), (frozenset([1]), (1,)), (Virtual(), ("a", "b")),
    ({"k": "v w"}, ("'k': 'v w'",)),
    (Weird(), ("x", "y z")), (type("S", (str,), {"__str__": lambda s: "no"})("p q"), ("p", "q")),
    # NUL is an ordinary character to Tcl: nothing after it is lost.
    ("a\0b c", ("a\0b", "c")), ("a\\0b", ("a\0b",)),
])
def test_get_list_from_any(value, expected):
    assert GetListFromAny(value) == expected
    if isinstance(value, str) and "\0" not in value:
        assert GetListFromAny(value) == tcl_split(value)


def test_pass_through_identity_and_copies():
    t = (1, [2])
    assert GetListFromAny(t) is t
    sub = type("T", (tuple,), {})((1, 2))
    assert type(GetListFromAny(sub)) is tuple and GetListFromAny(sub) == (1, 2)
    assert GetListFromAny(TK.call("dict", "create", "a", "b c")) == ("a", "b c")  # a Tcl_Obj, by its text
    with pytest.raises(ZeroDivisionError):
        GetListFromAny(type("Bad", (), {"__str__": lambda s: 1 / 0})())


@pytest.mark.parametrize("text", ["{a", '"a"b', "{a}b", "a {b", '"a'])
def test_malformed_lists(text):
    with pytest.raises(tkinter.TclError) as info:
        GetListFromAny(text)
    assert info.value.args == ("invalid list element",)
    tcl = tkinter.Tcl()
    with pytest.raises(tkinter.TclError) as reference:
        tcl.tk.call("llength", text)
    for interp in (tcl, Tcl_Interp_p(tcl.interpaddr())):
        with pytest.raises(tkinter.TclError) as info:
            GetListFromAny(text, interp)
        assert info.value.args == reference.value.args
    # No interpreter needed when there is nothing to scan; none used for sequences.
    assert GetListFromAny("", 5) == () and GetListFromAny([1], 5) == (1,)


@pytest.mark.parametrize("text", ["\\ud83d x", "\\ud83d\\ude00", "\\ude00\\ud83d", "\\U1F600 \\0", "\u00e9\\0",
                                  "\\\U0001f600 \U0001f600", "{\\0} \\ud83dZ\\ud83d\\ude00", "\\\u20ac \\xff"])
def test_elements_decode_as_tkinter(text):
    assert GetListFromAny(text) == TK.splitlist(text) == tcl_split(text)


# Where a backslash stands before a four-byte lead byte with only two trail
# bytes, Tcl's collapser writes more than it reads (each four bytes give
# five).  A str carries such bytes escaped, as tkinter does.  Tcl's collapser
# given room enough is the judge; Tcl's list parser is not asked, as it
# overruns its own buffer on this text.
GROWING = "\\\udcf1\udc80\udc80" * 64


def collapsed_by_tcl(text):
    raw = text.encode("utf-8", "surrogateescape")
    room = ctypes.create_string_buffer(2 * len(raw) + 1)
    n = TclDLL.TclCopyAndCollapse(len(raw), raw, room)
    return room.raw[:n].decode("utf-8", "surrogateescape")


@pytest.mark.parametrize("read", [
    lambda interp: GetListFromAny(GROWING)[0],
    lambda interp: interp.cast_list(GROWING)[0],
    lambda interp: interp.cast_keyed_list("{k %s}" % GROWING)["k"],
    lambda interp: interp.cast_any("k\\ " + GROWING)["k"],  # a keyed list once collapsed
], ids=["GetListFromAny", "cast_list", "cast_keyed_list", "cast_any"])
def test_elements_that_grow_when_collapsed(interp, read):
    assert read(interp) == collapsed_by_tcl(GROWING)
    assert len(collapsed_by_tcl(GROWING)) == len(GROWING) * 5 // 4


@given(st.lists(awkward_text, max_size=8))
def test_reads_lists_that_tcl_writes(items):
    try:
        text = TEXT_TK.call("list", *items) if items else ""
    except UnicodeEncodeError:  # a surrogate that tkinter cannot give Tcl
        with pytest.raises(UnicodeEncodeError):
            GetListFromAny(quotify(items))
        return
    assert GetListFromAny(text) == tuple(items) == tcl_split(text)
    assert GetListFromAny(quotify(items)) == tuple(items)


@given(raw_text)
def test_raw_text_as_tcl_reads_it(text):
    try:
        TK.call("llength", text)
    except tkinter.TclError:
        with pytest.raises(tkinter.TclError):
            GetListFromAny(text)
        return
    assert GetListFromAny(text) == tcl_split(text)
    if "\0" not in text:
        assert GetListFromAny(text) == TK.splitlist(text)
