"""Conversion of Python values into Tcl text and Tcl objects."""

import sys as sys
from collections.abc import Callable, Iterable
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, Protocol

from _tkinter import Tcl_Obj as _tkTcl_Obj

unicode = str

def _Tcl_ScanElement(string: object) -> tuple[int, set[str]]: ...
def _Tcl_ConvertElement(src: object, flags: Any) -> str: ...
def _tcl_UpdateStringOfList(listObj: Iterable[object]) -> str: ...

_quotify_from_sequence = _tcl_UpdateStringOfList

def _quotify_from_mapping(obj: Mapping[Any, Any]) -> str: ...

class _Quotify(Protocol):
    from_sequence: Callable[[Iterable[object]], str]
    from_mapping: Callable[[Mapping[Any, Any]], str]
    def __call__(self, obj: object) -> str: ...

class _TclObj(Protocol):
    from_sequence: Callable[[Iterable[object]], tuple[Any, ...]]
    from_mapping: Callable[[Mapping[Any, Any]], tuple[Any, ...]]
    def __call__(self, obj: object) -> Any: ...

quotify: _Quotify
_sysmaxsize: int
_long_type: type[int]

def _tclobj_from_sequence(obj: Iterable[object]) -> tuple[Any, ...]: ...
def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> tuple[Any, ...]: ...

tclobj: _TclObj
