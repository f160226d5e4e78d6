"""Test support: an interpreter for tests of the handle classes, and the
environment for programs run beside the tests."""


def make_interpreter():
    from trivex.tcl.interpreter import Interpreter

    return Interpreter()


def plain_env(**extra):
    """os.environ for a program not built with the sanitizers (tclsh,
    genhtml): without the sanitizer runtime that a sanitizer run preloads."""
    import os

    env = dict(os.environ, **extra)
    env.pop("LD_PRELOAD", None)
    return env
