"""The pytest plugin, exercised the way users meet it: in a pytest run."""

import os

import pytest

from trivex.tcl.pytest_plugin import assert_tcl_list_equal

pytest_plugins = ["pytester"]


@pytest.mark.parametrize(
    "actual, expected",
    [
        ("a {b c}", ["a", "b c"]),
        ("a   {b c} ", "a {b c}"),
        (("a", "b c"), "a {b c}"),
        ("", []),
        ("1 2", [1, 2]),
    ],
)
def test_equal_lists(actual, expected):
    assert_tcl_list_equal(actual, expected)


def test_unequal_lists_explain_themselves():
    with pytest.raises(AssertionError) as info:
        assert_tcl_list_equal("a b c", ["a", "b c"])
    text = str(info.value)
    assert "actual:   ['a', 'b', 'c']" in text and "lengths: 3 != 2" in text
    with pytest.raises(AssertionError, match="first difference at index 1: 'x' != 'y'"):
        assert_tcl_list_equal("a x", "a y")
    assert_tcl_list_equal("{a {b c}}", [["a", "b c"]], depth=2)
    with pytest.raises(AssertionError):
        assert_tcl_list_equal("{a {b c}}", [["a", "b", "c"]], depth=2)
    with pytest.raises(ValueError):
        assert_tcl_list_equal("{unbalanced", [])


def test_fixtures_in_a_pytest_run(pytester, monkeypatch):
    pytester.makepyfile(
        """
        from trivex.tcl.pytest_plugin import assert_tcl_list_equal

        def test_interp(tcl_interp):
            assert tcl_interp.eval("package present Tclx") == "8.4"
            tcl_interp.eval("set ::mine 1")

        def test_fresh_each_time(tcl_interp):
            assert tcl_interp.eval("info exists ::mine") == "0"

        def test_namespace(tcl_namespace, tcl_interp):
            tcl_namespace.eval("proc p {} {return [namespace current]}")
            assert tcl_namespace.eval("p") == tcl_namespace.ns
            assert tcl_interp.eval("namespace exists %s" % tcl_namespace.ns) == "1"
            global NAME
            NAME = tcl_namespace.ns

        def test_list_helper(tcl_interp):
            assert_tcl_list_equal(tcl_interp.eval("lsort {b {a c} d}"), ["a c", "b", "d"])

        def test_failing_list(tcl_interp):
            assert_tcl_list_equal(tcl_interp.eval("list x y"), ["x", "z"])
        """
    )
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    root = os.environ.get("TRIVEX_PKG_ROOT") or src
    monkeypatch.setenv("PYTHONPATH", root + os.pathsep + os.environ.get("PYTHONPATH", ""))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    result = pytester.runpytest_subprocess("-p", "trivex.tcl.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=4, failed=1)
    result.stdout.fnmatch_lines(["*Tcl lists differ*", "*first difference at index 1: 'y' != 'z'*"])


def test_namespace_fixture_cleans_up(pytester, monkeypatch):
    pytester.makepyfile(
        """
        import pytest
        from tkinter import TclError
        SEEN, GONE = [], []

        def test_a(tcl_namespace, tcl_interp):
            SEEN.append(tcl_interp)
            # Fires when the namespace is deleted, while Tcl can still call back.
            tcl_interp.create_callback(lambda *words: GONE.append(words[0]), "gone")
            tcl_interp.eval("proc %s::probe {} {}" % tcl_namespace.ns)
            tcl_interp.eval("trace add command %s::probe delete gone" % tcl_namespace.ns)

        def test_gone():
            assert len(GONE) == 1 and GONE[0].endswith("::probe")
            with pytest.raises(TclError, match="destroyed"):
                SEEN[0].eval("set x")
            assert SEEN[0].__callbacks__ == {}
        """
    )
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    monkeypatch.setenv("PYTHONPATH", os.environ.get("TRIVEX_PKG_ROOT") or src)
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    result = pytester.runpytest_subprocess("-p", "trivex.tcl.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)
