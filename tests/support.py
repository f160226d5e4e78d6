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


# The oracle of line coverage: where Tcl itself says each command comes
# from, read with `info frame` from an enterstep trace (two levels up: the
# step callback's own frame, then the traced command's).  The coverage
# benchmark times it too, as the way line coverage is had without the
# package.  Scripts run through ::reftrace::run are traced.
REFERENCE_TRACER = r"""
namespace eval ::reftrace { variable hits [dict create] }
proc ::reftrace::step {cmd op} {
    set n [info frame]
    set f [info frame [expr {$n - 2}]]
    if {[dict get $f type] eq "source"} {
        dict set ::reftrace::hits [file normalize [dict get $f file]] [dict get $f line] 1
    }
}
proc ::reftrace::run {script} { uplevel #0 $script }
trace add execution ::reftrace::run enterstep ::reftrace::step
"""


def reference_lines(path, script, before=""):
    """Lines of `path` that Tcl reports running while `script` runs (after
    `before`, unmeasured)."""
    import tkinter

    tcl = tkinter.Tcl()
    tcl.eval(before)
    tcl.eval(REFERENCE_TRACER)
    tcl.call("::reftrace::run", script)
    key = tcl.call("file", "normalize", path)
    found = tcl.eval("dict exists $::reftrace::hits {%s}" % key) == "1"
    return {int(x) for x in tcl.splitlist(tcl.eval("dict keys [dict get $::reftrace::hits {%s}]" % key))} if found else set()
