"""Shared test set-up: import the package from the source tree (or from the
staged sanitizer build), and offer plain Tcl interpreters."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, os.environ.get("TRIVEX_PKG_ROOT") or str(ROOT / "src"))

import tkinter  # noqa: E402

import pytest  # noqa: E402
from hypothesis import HealthCheck, settings  # noqa: E402

# Sanitizer builds run several times slower; no test here is about time.
settings.register_profile(
    "trivex", deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("trivex")

UNDER_SANITIZER = bool(os.environ.get("TRIVEX_SANITIZER"))


@pytest.fixture
def tcl():
    """A fresh tkinter Tcl interpreter (no Tk), with TclX loaded."""
    interp = tkinter.Tcl()
    interp.eval("package require Tclx")
    return interp


@pytest.fixture
def interp():
    """A fresh interpreter of the package."""
    from support import make_interpreter

    return make_interpreter()
