"""Access to some internals of Tcl's C code."""

import ctypes as ctypes
import tkinter as tkinter
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, ClassVar, NoReturn, TypeVar

unicode = str

class ReturnCodes:
    TCL_OK: ClassVar[int]
    TCL_ERROR: ClassVar[int]
    TCL_RETURN: ClassVar[int]
    TCL_BREAK: ClassVar[int]
    TCL_CONTINUE: ClassVar[int]

TclDLL: ctypes.CDLL
lib: str

_P = TypeVar("_P")

def _ptr_add(ptr: _P, count: int) -> _P: ...
def _ptr_sub(ptr: _P, count: int) -> _P: ...
def _ptr_diff(ptr1: Any, ptr2: Any) -> int: ...
def TclError_from_interp(interp: Any, default_msg: str | None = None) -> NoReturn: ...

class Tcl_Interp_p(ctypes.c_void_p):
    @classmethod
    def from_param(cls, interp: Any) -> Tcl_Interp_p: ...

Tcl_WideInt = ctypes.c_longlong

class Tcl_ObjType(ctypes.Structure):
    name: bytes | None
    freeIntRepProc: int | None
    dupIntRepProc: int | None
    updateStringProc: int | None
    setFromAnyProc: int | None

class Tcl_Obj(ctypes.Structure):
    class u_internalRep(ctypes.Union):
        class s_twoPtrValue(ctypes.Structure):
            ptr1: int | None
            ptr2: int | None
        longValue: int
        doubleValue: float
        otherValuePtr: int | None
        wideValue: int
        twoPtrValue: Tcl_Obj.u_internalRep.s_twoPtrValue
    refCount: int
    bytes: bytes | None
    length: int
    typePtr: Any
    internalRep: Tcl_Obj.u_internalRep

def _c_char_p_from_obj(obj: object) -> ctypes.c_char_p: ...
def GetListFromAny(obj: Any, interp: Any = None) -> tuple[Any, ...]: ...
def DictionaryCompare(left: object, right: object) -> int: ...
