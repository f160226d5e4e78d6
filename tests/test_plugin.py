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


def run_plugin(pytester, monkeypatch, *args):
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    root = os.environ.get("TRIVEX_PKG_ROOT") or src
    monkeypatch.setenv("PYTHONPATH", root + os.pathsep + os.environ.get("PYTHONPATH", ""))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    monkeypatch.setenv("COLUMNS", "200")  # summary lines whole
    return pytester.runpytest_subprocess("-p", "trivex.tcl.pytest_plugin", "-p", "no:cacheprovider", *args)


def test_options_and_markers_are_listed(pytester, monkeypatch):
    run_plugin(pytester, monkeypatch, "--help").stdout.fnmatch_lines(
        [
            "*Tcl testing (trivex.tcl)*",
            "*--tcl-timeout=SECONDS*",
            "*--tcl-source=FILE*",
            "*--tcltest*",
            "*tcl_timeout (string)*",
            "*tcl_source (paths)*",
            "*tcltest_files (args)*",
        ]
    )
    run_plugin(pytester, monkeypatch, "--markers").stdout.fnmatch_lines(
        ["@pytest.mark.tcl_timeout(seconds)*", "@pytest.mark.tcl_allow_background_errors*"]
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["--tcl-timeout=-1"], "*argument --tcl-timeout: not a number of seconds: '-1'*"),
        (["-o", "tcl_timeout=soon"], "*ini value tcl_timeout: not a number of seconds: 'soon'*"),
        (["--tcl-source", "missing.tcl"], "*--tcl-source / tcl_source: no such file: *missing.tcl*"),
    ],
)
def test_bad_settings_are_usage_errors(pytester, monkeypatch, args, message):
    result = run_plugin(pytester, monkeypatch, *args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines([message])


def test_time_limits_background_errors_mocks_and_sources(pytester, monkeypatch):
    pytester.makefile(".tcl", lib1="proc double x {expr {2 * $x}}", lib2="proc quad x {double [double $x]}")
    # ini: a limit, and the first file; the command line adds the second,
    # which needs the first.
    pytester.makeini("[pytest]\ntcl_timeout = 0.3\ntcl_source = lib1.tcl\n")
    pytester.makepyfile(
        test_t="""
        import pytest
        import trivex.tcl

        @pytest.fixture
        def restored(tcl_interp):
            yield
            assert tcl_interp.eval("quad 5") == "20"
            assert tcl_interp.eval("info commands made_up") == ""

        def test_sourced_in_order(tcl_interp):
            assert tcl_interp.eval("quad 3") == "12"

        def test_mocks(restored, tcl_interp, tcl_mock):
            outer = tcl_mock("double", return_value="7")
            assert tcl_interp.eval("quad 1") == "7"
            assert outer.calls == [("1",), ("7",)]
            inner = tcl_mock("double", side_effect=lambda x: x + x)
            assert tcl_interp.eval("quad 1") == "1111"
            tcl_mock("made_up", return_value="yes")
            assert tcl_interp.eval("made_up") == "yes"

        def test_hang_in_own_interpreter(tcl_interp):
            tcl_interp.eval("vwait ::forever")

        def test_hang_in_shared_interpreter():
            trivex.tcl.eval("while 1 {}")

        @pytest.mark.tcl_timeout(0)
        def test_no_limit(tcl_interp):
            tcl_interp.eval("after 500")

        def test_slow(tcl_interp):
            tcl_interp.eval("after 500")

        @pytest.mark.tcl_timeout(0.3)
        def test_marked_slow(tcl_interp):
            tcl_interp.eval("after 5000")

        @pytest.mark.tcl_timeout(3)
        def test_usable_after_a_timeout(tcl_interp):
            assert trivex.tcl.eval("expr 6*7") == "42"

        def test_background_error_left(tcl_interp):
            tcl_interp.eval("after 0 {error {left behind}}")

        @pytest.mark.tcl_allow_background_errors
        def test_background_error_allowed(tcl_interp):
            tcl_interp.eval("after 0 {error {left behind}}; update")
        """
    )
    result = run_plugin(pytester, monkeypatch, "--tcl-source", "lib2.tcl", "-rA")
    result.assert_outcomes(passed=5, failed=5)
    result.stdout.fnmatch_lines_random(
        [
            "FAILED test_t.py::test_hang_in_own_interpreter - *TclTimeoutError*",
            "FAILED test_t.py::test_hang_in_shared_interpreter - *TclTimeoutError*",
            "FAILED test_t.py::test_background_error_left - *TclBackgroundError*",
        ]
    )
    result.stdout.fnmatch_lines(["*_ test_hang_in_own_interpreter _*", ">*vwait ::forever*", "E  *TclTimeoutError*"])
    result.stdout.fnmatch_lines(["*_ test_background_error_left _*", "E   *TclBackgroundError*", "*left behind*"])
    # The command line wins over the ini file, the marker over both.
    result = run_plugin(pytester, monkeypatch, "--tcl-source", "lib2.tcl", "--tcl-timeout=0", "-k", "slow", "-rA")
    result.stdout.fnmatch_lines_random(["PASSED test_t.py::test_slow", "FAILED test_t.py::test_marked_slow - *"])


def test_tcl_failures_are_reported_with_stack_code_and_history(pytester, monkeypatch):
    from tkinter import TclError

    from trivex.tcl.interpreter import Interpreter

    try:
        Interpreter().eval("error x {} {A B}")
    except TclError as exc:
        structured = hasattr(exc, "errorcode")
    pytester.makepyfile(
        test_r="""
        import pytest
        from trivex.tcl.namespace import TclArrayVariable

        def test_tcl_error(tcl_interp):
            tcl_interp.eval("proc inner {} {error {went wrong} {} {APP DISK FULL}}")
            tcl_interp.j.set("x", 1)
            tcl_interp.eval("proc outer {} inner")
            tcl_interp.eval("outer")

        def test_chained(tcl_interp):
            tcl_interp.cast_int("twelve")

        def test_array(tcl_interp):
            tcl_interp.eval("array set a {x 1 y 2 z 3}")
            assert TclArrayVariable("a", tcl=tcl_interp) == {"x": "1", "y": 2, "w": "0"}
        """
    )
    result = run_plugin(pytester, monkeypatch)
    result.assert_outcomes(failed=3)
    # Where errors carry Tcl's return options, the report names the code.
    code = ["error code: APP DISK FULL"] if structured else []
    result.stdout.fnmatch_lines(
        ["*_ test_tcl_error _*", "*- Tcl error (call) -*"]
        + code
        + [
            "Tcl stack (errorInfo):",
            "    went wrong",
            '        (procedure "inner" line 1)',
            '    "outer"',
            "last Tcl commands (newest last):",
            "     1  proc inner {} {error {went wrong} {} {APP DISK FULL}}",
            "     2  set x 1",
            "     3  proc outer {} inner",
            "     4  outer",
            "*_ test_chained _*",
            "*- Tcl error (call) -*",
            "*_ test_array _*",
            "E * Extra keys on the left: 'z'",
            "E * Missing keys on the left (only on the right): 'w'",
            "E * 'y': '2' != 2  (same text, str vs int)",
        ]
    )
    assert "Tcl error" not in result.stdout.str().split("_ test_array _")[1]


def _tcl_mappings():
    from trivex.tcl.interpreter import Interpreter
    from trivex.tcl.namespace import TclArrayVariable, TclNamespace

    interp = Interpreter()
    interp.eval("array set arr {a 1 b 2 c 3}; namespace eval ::ns {variable a 1; variable b 2; variable c 3}")
    interp.eval("keylset kl a 1 b 2 c 3")
    return interp, {
        "TclArrayVariable": TclArrayVariable("arr", tcl=interp),
        "Array": interp.cast_array(interp.eval("array get arr")),
        "NestMap": interp.cast_any(interp.eval("set kl")),
        "VariablesView": TclNamespace("::ns", tcl=interp).vars,
    }


@pytest.mark.parametrize("kind", ["TclArrayVariable", "Array", "NestMap", "VariablesView"])
@pytest.mark.parametrize("swap", [False, True])
def test_mapping_comparisons_are_explained(kind, swap):
    from trivex.tcl.pytest_plugin import pytest_assertrepr_compare

    interp, mappings = _tcl_mappings()
    ours, other = mappings[kind], {"a": "1", "b": 2, "d": "4"}
    if swap:
        lines = pytest_assertrepr_compare(None, "==", other, ours)
        expected = ["'d'", "'c'", "  'b': 2 != '2'  (same text, int vs str)"]
    else:
        lines = pytest_assertrepr_compare(None, "==", ours, other)
        expected = ["'c'", "'d'", "  'b': '2' != 2  (same text, str vs int)"]
    assert lines[1:] == [
        "Extra keys on the left: " + expected[0],
        "Missing keys on the left (only on the right): " + expected[1],
        "Differing values:",
        expected[2],
    ]
    # Other operators, and mappings that are not the package's, are left
    # to pytest.
    assert pytest_assertrepr_compare(None, "!=", ours, other) is None
    assert pytest_assertrepr_compare(None, "==", dict(ours), other) is None


def test_nested_keyed_lists_are_explained_by_dotted_keys():
    from trivex.tcl.interpreter import Interpreter
    from trivex.tcl.pytest_plugin import pytest_assertrepr_compare

    interp = Interpreter()
    interp.eval("keylset k a.b 1 a.c 2 d 3")
    lines = pytest_assertrepr_compare(None, "==", interp.cast_any(interp.eval("set k")), {"a": {"b": "1", "c": "3", "e": "5"}, "d": "3"})
    assert lines[1:] == ["Missing keys on the left (only on the right): 'a.e'", "Differing values:", "  'a.c': '2' != '3'"]
