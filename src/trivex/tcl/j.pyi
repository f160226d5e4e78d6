import weakref as weakref
from tkinter import TclError as TclError
from collections.abc import Callable
from typing import Any

from .quotify import quotify as quotify

class J:
    """Provider of quick call methods for Tcl interpreters."""

    tcl: Any
    def __init__(self, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> J_Code: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any: ...

class J_Code:
    """J_Code class"""

    tcl: Any
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> J_Code: ...
    # cast_: a callable is applied to the result's Tcl text; anything else
    # is a flag (true: cast_any() of the result, false: its Tcl text).
    def __call__(self, /, *args: Any, cast_: object | Callable[[str], Any] = True, **kwargs: Any) -> Any: ...
