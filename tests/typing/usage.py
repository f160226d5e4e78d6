"""How a typed test suite uses trivex.tcl; checked with mypy --strict."""

from tkinter import TclError

import trivex.tcl
from trivex.datastructures import AttrDict
from trivex.tcl.interpreter import Interpreter
from trivex.tcl.internal import DictionaryCompare, GetListFromAny
from trivex.tcl.j import J, J_Code
from trivex.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
)
from trivex.tcl.nestmap import NestMap
from trivex.tcl.quotify import quotify, tclobj


def casts(interp: Interpreter) -> int:
    words: tuple[int, ...] = interp.cast_list("1 2 3", item_cast=int)
    text: str = quotify(["a b", 1])
    flags: bool = interp.cast_boolean("yes")
    ratio: float = interp.cast_double("2.5")
    elements: tuple[object, ...] = GetListFromAny("a b")
    order: int = DictionaryCompare("a", "B")
    try:
        interp.eval("error boom")
    except TclError as exc:
        info: str = exc.args[0]
        assert info
    return sum(words) + len(text) + int(flags) + int(ratio) + len(elements) + order


def handles(interp: Interpreter) -> None:
    v = TclVariable("::x", tcl=interp)
    v.set(5)
    value: object = v.get_obj()
    assert value is not None and v.exists()
    arr = TclArrayVariable("::a", tcl=interp, cast=int)
    arr["k"] = 1
    names: list[str] = sorted(arr)
    assert names
    cmd = TclCommand("string length", tcl=interp)
    assert cmd("abc") == 3
    ns = TclNamespace("::t", tcl=interp)
    ns.create()
    ns.vars["y"] = "1"
    joined: str = TclNamespace.join("::a", "b")
    assert joined
    with TempTclVariable(tcl=interp) as tv, TempTclArrayVariable(tcl=interp) as ta:
        tv.set(1)
        ta["x"] = 2
    with TempTclNamespace(tcl=interp) as tn:
        tn.eval("set z 1")
    with TempTclCommand(lambda *a: "".join(a), tcl=interp) as tc:
        interp.eval("%s a b" % tc)


def builder(interp: Interpreter) -> None:
    j: J = interp.j
    code: J_Code = j.ns.proc
    code("x", opt=1, cast_=False)
    km = NestMap({"a.b": "1"})
    leaves: list[tuple[str, object]] = km.all_items()
    loaded: NestMap = NestMap.from_tcl("{a 1}")
    assert leaves and loaded
    assert isinstance(km, AttrDict)
    word: object = tclobj(km)
    assert word


def callbacks(interp: Interpreter) -> None:
    def f(*args: str) -> str:
        return " ".join(args)

    cmd: TclCommand = interp.create_callback(f, force=True)
    interp.remove_callback(cmd)


def front() -> None:
    assert trivex.tcl.cast_list("a b") == ("a", "b")
