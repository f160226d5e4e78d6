"""Tcl line coverage: which lines count, which are seen to run (against
Tcl's own `info frame` record), the reports (against genhtml, the Cobertura
DTD and coverage.py's own XML), and the ways in: pytest options with and
without xdist and pytest-cov, and the command line."""

import gc
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import tkinter

import pytest
from support import plain_env, reference_lines
from hypothesis import given, settings
from hypothesis import strategies as st

from trivex.tcl.coverage import TclCoverage, executable_lines
from trivex.tcl.interpreter import Interpreter

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.realpath(os.path.join(HERE, "tclcov", "sample.tcl"))
pytest_plugins = ["pytester"]

SRC = os.environ.get("TRIVEX_PKG_ROOT") or os.path.join(os.path.dirname(HERE), "src")

def marked(path):
    """The sample's own account: lines marked RUN and NOT."""
    run, never = set(), set()
    for n, line in enumerate(open(path, encoding="utf-8"), 1):
        m = re.search(r";# (RUN|NOT)(?:@-(\d+))?$", line.rstrip())
        if m:
            (run if m.group(1) == "RUN" else never).add(n - int(m.group(2) or 0))
    return run, never


def source(path):
    return "source {%s}" % path


def missing_column(text, name, executable):
    """The Missing column of `name`'s row in a term-missing table, as lines."""
    row = [r for r in text.splitlines() if r.startswith(name + " ")][0].split(None, 4)
    out = set()
    for part in row[4].split(", ") if len(row) > 4 else []:
        lo, _, hi = part.partition("-")
        out |= {line for line in executable if int(lo) <= line <= int(hi or lo)}
    return row[1:4], out


# ------------------------------------------------------------ what counts


@pytest.mark.parametrize(
    "script, lines",
    [
        # comments, blank lines, continuation lines and the inside of a
        # braced value do not count
        ("# note\n\nset a 1 \\\n  2\nset b {\n x\n}\n", (3, 5)),
        ("set a 1; set b 2\n  ;# trailing\n", (1,)),
        # substituted commands are commands; the bodies of control commands
        # are scripts, in braces, quotes or bare
        ("set a [\n  list 1\n]\n", (1, 2)),
        ("if {1} then {\n a\n} elseif {0} {\n b\n} else {\n c\n}\n", (1, 2, 4, 6)),
        ('if 1 "\n a\n" else b\n', (1, 2, 3)),
        ("switch -matchvar m -- $x {\n a -\n b {\n  x\n }\n default {\n  y\n }\n}\n", (1, 4, 7)),
        ("try {\n a\n} on error {m o} {\n b\n} finally {\n c\n}\n", (1, 2, 4, 6)),
        # an argument that is not a script body stays a value
        ("namespace eval ns a {\n b\n}\nset x {\n y\n}\nlist {\n z\n}\n", (1, 4, 7)),
        # class scripts: method bodies count; constructor and destructor
        # bodies run where Tcl records no location, so they do not
        ("oo::class create C {\n method m {} {\n  a\n }\n constructor {} {\n  b\n }\n}\n", (1, 2, 3, 5)),
        # Tcl runs nothing past a syntax error
        ("set a 1\nset b {\nset c 2\n", (1,)),
    ],
    ids=["comments", "semicolons", "substitution", "if", "quoted-body", "switch", "try", "values", "class", "syntax"],
)
def test_executable_lines(tmp_path, script, lines):
    path = tmp_path / "x.tcl"
    path.write_text(script)
    assert executable_lines(str(path)) == lines


# --------------------------------------------------------- what is seen run


def run_measured(path, script, mode="every", before=""):
    cov = TclCoverage([path])
    if mode == "every":
        with cov:
            interp = Interpreter()
            interp.eval(before)
            interp.eval(script)
    else:
        tcl = tkinter.Tcl()
        tcl.eval(before)
        cov.start(tcl)
        tcl.eval(script)
        cov.stop()
    return cov


@pytest.mark.parametrize("mode", ["every", "one"])
def test_sample_lines_against_its_marks_and_tcl(mode):
    """Branches taken and not, procs called and never, loops run zero and
    many times, errors caught, switch, try, apply, namespace eval, TclOO."""
    script = source(SAMPLE) + "; sample::main"
    cov = run_measured(SAMPLE, script, mode)
    run, never = marked(SAMPLE)
    assert set(executable_lines(SAMPLE)) == run | never
    assert cov.data()[SAMPLE] == run
    assert cov.data()[SAMPLE] == reference_lines(SAMPLE, script)
    executable, ran, missing = cov.analysis(SAMPLE)
    assert set(missing) == never and set(ran) == run


def test_code_compiled_before_measuring_is_measured():
    # The procs are defined and byte-compiled (run once) before measuring
    # starts; their bodies are still seen when they run again.
    before = source(SAMPLE) + "; sample::main"
    cov = run_measured(SAMPLE, "sample::main", "one", before=before)
    seen = cov.data()[SAMPLE]
    assert seen == reference_lines(SAMPLE, "sample::main", before=before)
    assert seen and seen < marked(SAMPLE)[0]


# Random programs: procs (some never called) whose bodies nest ifs, loops run
# zero to two times, switch, catch and apply; Tcl's own record is the oracle.
def _block(children, depth):
    leaf = st.sampled_from(["set v 1", "incr acc", "set a 1; set b 2", "# comment", "set c [list 1 \\\n    2]",
                            "set r [expr {$x + 1}]", "lappend l [string length abc]", "dict set d k $x"])
    if depth >= 3:
        return st.lists(leaf, min_size=1, max_size=3)
    node = st.one_of(
        leaf,
        st.tuples(st.just("if"), st.integers(0, 3), children(depth + 1), children(depth + 1)),
        st.tuples(st.just("for"), st.integers(0, 2), children(depth + 1)),
        st.tuples(st.just("foreach"), st.integers(0, 2), children(depth + 1)),
        st.tuples(st.just("while"), st.integers(0, 2), children(depth + 1)),
        st.tuples(st.just("switch"), st.sampled_from("abz"), children(depth + 1), children(depth + 1)),
        st.tuples(st.just("catch"), st.booleans(), children(depth + 1)),
        st.tuples(st.just("apply"), children(depth + 1)),
    )
    return st.lists(node, min_size=1, max_size=3)


def _children(depth):
    return st.deferred(lambda: _block(_children, depth))


class _Render:
    def __init__(self):
        self.n = 0

    def block(self, items, indent):
        return "".join(self.item(i, indent) for i in items)

    def item(self, item, indent):
        pad = "    " * indent
        if isinstance(item, str):
            return pad + item.replace("\n", "\n" + pad) + "\n"
        kind, *rest = item
        self.n += 1
        k = self.n
        inner = lambda b: self.block(b, indent + 1)  # noqa: E731
        if kind == "if":
            return "%sif {$x %% 4 == %d} {\n%s%s} else {\n%s%s}\n" % (pad, rest[0], inner(rest[1]), pad,
                                                                        inner(rest[2]), pad)
        if kind == "for":
            return "%sfor {set i%d 0} {$i%d < %d} {incr i%d} {\n%s%s}\n" % (pad, k, k, rest[0], k, inner(rest[1]), pad)
        if kind == "foreach":
            return "%sforeach e%d {%s} {\n%s%s}\n" % (pad, k, " ".join("x" * rest[0]), inner(rest[1]), pad)
        if kind == "while":
            return "%sset w%d 0\n%swhile {$w%d < %d} {\n%s    incr w%d\n%s%s}\n" % (
                pad, k, pad, k, rest[0], pad, k, inner(rest[1]), pad)
        if kind == "switch":
            return "%sswitch -- %s {\n%s    a - b {\n%s%s    }\n%s    default {\n%s%s    }\n%s}\n" % (
                pad, rest[0], pad, inner(rest[1]), pad, pad, inner(rest[2]), pad, pad)
        if kind == "catch":
            fail = pad + "    error oops\n" if rest[0] else ""
            return "%scatch {\n%s%s%s}\n" % (pad, fail, inner(rest[1]), pad)
        return "%sapply {{x} {\n%s%s}} $x\n" % (pad, inner(rest[0]), pad)


@settings(max_examples=25, deadline=None)
@given(
    procs=st.lists(_children(0), min_size=1, max_size=3),
    calls=st.lists(st.tuples(st.integers(0, 2), st.integers(0, 7)), max_size=4),
)
def test_random_programs_match_tcl_record(procs, calls):
    render = _Render()
    text = "".join("proc p%d {x} {\n%s}\n" % (i, render.block(body, 1)) for i, body in enumerate(procs))
    text += "".join("p%d %d\n" % (i, arg) for i, arg in calls if i < len(procs))
    with tempfile.TemporaryDirectory() as d:
        path = os.path.realpath(os.path.join(d, "prog.tcl"))
        with open(path, "w") as f:
            f.write(text)
        cov = run_measured(path, source(path), "one")
        ours, executable = cov.data()[path], set(executable_lines(path))
        assert ours <= executable, text
        if not ("apply" in text and "\\\n" in text):  # see test_lambda_lines
            assert ours == reference_lines(path, source(path)), text


def test_interpreters_deleted_or_emptied_while_measured_leave_nothing_behind(tmp_path):
    # Wrapped commands freed under the measurement (a namespace deleted, a
    # whole interpreter) must not hand their compilers to later commands at
    # the same addresses: imported operators keep computing what they name.
    path = tmp_path / "ops.tcl"
    path.write_text("proc f {} {\n    list [n::- 5 3] [n::* 2 3]\n}\nf\n")
    real = os.path.realpath(path)
    imports = "namespace eval n {namespace import ::tcl::mathop::*}"
    for round_ in range(30):
        doomed = tkinter.Tcl()
        doomed.eval(imports)
        cov = TclCoverage([real]).start(doomed)
        doomed.eval("namespace delete n; %s; source {%s}" % (imports, real))
        del doomed
        gc.collect()
        cov.stop()
        tcl = tkinter.Tcl()
        cov = TclCoverage([real]).start(tcl)
        assert tcl.eval("%s; source {%s}" % (imports, real)) == "2 6"
        cov.stop()
        assert tcl.eval("proc g {} {list [n::- 5 3] [n::* 2 3]}; g") == "2 6"
        assert cov.data()[real] == {1, 2, 4}, round_


def test_lambda_lines(tmp_path):
    # Tcl numbers the lines of a lambda's body without counting its
    # backslash-newlines, nested lambdas counting on from the outer one;
    # the lines are put back where the commands are.
    path = tmp_path / "l.tcl"
    path.write_text("apply {{} {\n    set c [list 1 \\\n        2]\n    apply {{} {\n        set c [list 1 \\\n"
                    "            2]\n        set v 1\n    }}\n}}\n")
    real = os.path.realpath(path)
    assert reference_lines(real, source(real)) == {1, 2, 3, 4, 5}
    assert run_measured(real, source(real), "one").data()[real] == set(executable_lines(real)) == {1, 2, 4, 5, 7}


TCLLIB = "/usr/share/tcltk/tcllib1.21"


@pytest.mark.parametrize(
    "file, drive",
    [
        ("csv/csv.tcl", 'package require csv; csv::split {a,"b,c",d}; csv::join {a b c}'),
        # replaces the global [list]: the compile epoch changes under running code
        ("struct/list.tcl", "package require struct::list; struct::list flatten {a {b c}}; struct::list iota 5"),
        ("textutil/adjust.tcl", "package require textutil::adjust; textutil::adjust::adjust {hello world foo} -length 5"),
        ("json/json_tcl.tcl", 'package require json; json::json2dict {{"a": [1, 2, {"b": null}]}}'),
        ("struct/queue_oo.tcl", "package require struct::queue; set q [struct::queue]; $q put a b; $q get"),
        ("cmdline/cmdline.tcl", "package require cmdline; set argv {-a 1 x}; cmdline::getoptions argv {{a.arg 0 h}}"),
    ],
    ids=lambda v: v.split("/")[-1] if v.endswith(".tcl") else "",
)
def test_tcllib_against_tcl_record(file, drive):
    """Real code nobody here wrote, measured through `package require`."""
    path = os.path.realpath(os.path.join(TCLLIB, file))
    if not os.path.exists(path):
        pytest.skip("tcllib not installed")
    script = "lappend ::auto_path {%s}; %s" % (TCLLIB, drive)
    seen = run_measured(path, script, "one").data()[path]
    reported = reference_lines(path, script)
    assert len(seen) > 30
    assert reported <= set(executable_lines(path))
    assert seen == reported


def test_stopping_inside_tcl_and_interpreters_that_go(tmp_path):
    path = tmp_path / "a.tcl"
    path.write_text("proc p {} {\n    set a 1\n    stopper\n    set b 2\n    return $b\n}\np\n")
    real = os.path.realpath(path)
    cov = TclCoverage([path])
    interp = Interpreter()
    interp.tk.createcommand("stopper", cov.stop)
    cov.start(interp)
    # Measuring stops in the middle of p; the rest of p still runs.
    assert interp.eval(source(real)) == "2"
    assert cov.data()[real] == {1, 2, 3, 7} and not cov.started
    # An interpreter deleted while measured simply drops out.
    cov.start()
    gone = Interpreter()
    del gone
    gc.collect()
    kept = tkinter.Tcl()  # measured by this session only, even under an outer one
    cov.attach(kept)
    kept.createcommand("stopper", lambda: None)
    kept.eval(source(real))
    cov.stop()
    assert cov.data()[real] == {1, 2, 3, 4, 5, 7}
    assert kept.eval("p") == "2" and kept.eval("info commands ::__trivex*") == ""


# ----------------------------------------------------------------- reports


# Cobertura's published DTD (coverage-04.dtd), the structure CI viewers read.
COBERTURA_DTD = """
<!ELEMENT coverage (sources?,packages)>
<!ATTLIST coverage line-rate CDATA #REQUIRED branch-rate CDATA #REQUIRED lines-covered CDATA #REQUIRED
  lines-valid CDATA #REQUIRED branches-covered CDATA #REQUIRED branches-valid CDATA #REQUIRED
  complexity CDATA #REQUIRED version CDATA #REQUIRED timestamp CDATA #REQUIRED>
<!ELEMENT sources (source*)>
<!ELEMENT source (#PCDATA)>
<!ELEMENT packages (package*)>
<!ELEMENT package (classes)>
<!ATTLIST package name CDATA #REQUIRED line-rate CDATA #REQUIRED branch-rate CDATA #REQUIRED
  complexity CDATA #REQUIRED>
<!ELEMENT classes (class*)>
<!ELEMENT class (methods,lines)>
<!ATTLIST class name CDATA #REQUIRED filename CDATA #REQUIRED line-rate CDATA #REQUIRED
  branch-rate CDATA #REQUIRED complexity CDATA #REQUIRED>
<!ELEMENT methods (method*)>
<!ELEMENT method (lines)>
<!ATTLIST method name CDATA #REQUIRED signature CDATA #REQUIRED line-rate CDATA #REQUIRED
  branch-rate CDATA #REQUIRED complexity CDATA #REQUIRED>
<!ELEMENT lines (line*)>
<!ELEMENT line (conditions*)>
<!ATTLIST line number CDATA #REQUIRED hits CDATA #REQUIRED branch CDATA "false"
  condition-coverage CDATA #IMPLIED>
<!ELEMENT conditions (condition*)>
<!ELEMENT condition EMPTY>
<!ATTLIST condition number CDATA #REQUIRED type CDATA #REQUIRED coverage CDATA #REQUIRED>
"""


@pytest.fixture(scope="module")
def sample_cov():
    return run_measured(SAMPLE, source(SAMPLE) + "; sample::main")


def _xml_lines(tree, filename_end):
    (cls,) = [c for c in tree.iter("class") if c.get("filename").endswith(filename_end)]
    return {int(e.get("number")): int(e.get("hits")) for e in cls.iter("line")}


def test_reports(sample_cov, tmp_path, monkeypatch):
    etree = pytest.importorskip("lxml.etree")
    monkeypatch.chdir(tmp_path)
    run, never = marked(SAMPLE)
    total = 100.0 * len(run) / len(run | never)

    out = io.StringIO()
    assert sample_cov.report("term-missing", out) == pytest.approx(total)
    counts, missing = missing_column(out.getvalue(), SAMPLE, run | never)
    assert counts == [str(len(run | never)), str(len(never)), "%d%%" % round(total)]
    assert missing == never

    sample_cov.report("lcov", "cov.info")
    da = dict(map(int, m) for m in re.findall(r"^DA:(\d+),(\d+)$", open("cov.info").read(), re.M))
    assert da == {line: int(line in run) for line in run | never}
    if shutil.which("genhtml"):
        subprocess.run(["genhtml", "-q", "-o", "html", "cov.info"], check=True, env=plain_env())
        assert os.path.exists("html/index.html")

    sample_cov.report("xml", "cov.xml")
    tree = etree.parse("cov.xml")
    assert etree.DTD(io.StringIO(COBERTURA_DTD)).validate(tree), "Cobertura DTD"
    assert _xml_lines(tree, "sample.tcl") == da

    # coverage.py, given the same data through its plugin, writes the same
    # lines for the Tcl file.
    coverage = pytest.importorskip("coverage")
    pycov = coverage.Coverage(data_file=None, config_file=False)
    pycov.set_option("run:plugins", ["trivex.tcl.coverage"])
    assert sample_cov.contribute(pycov)
    pycov.xml_report(outfile="py.xml")
    assert _xml_lines(etree.parse("py.xml"), "sample.tcl") == da
    assert pycov.report(file=io.StringIO()) == pytest.approx(total)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: TclCoverage(["no/such/dir"]), FileNotFoundError),
        (lambda: TclCoverage([SAMPLE]).start().start(), RuntimeError),
        (lambda: TclCoverage([SAMPLE]).report("html"), ValueError),
        (lambda: TclCoverage([SAMPLE]).attach(tkinter.Tcl()), RuntimeError),
        (lambda: TclCoverage([SAMPLE]).start(object()), TypeError),
    ],
    ids=["missing-path", "started-twice", "report-type", "attach-unstarted", "not-an-interpreter"],
)
def test_errors(call, error):
    with pytest.raises(error):
        call()


# --------------------------------------------------------------- ways in


def _project(pytester):
    tcl = pytester.path / "tcl"
    tcl.mkdir()
    shutil.copy(SAMPLE, tcl / "sample.tcl")
    (tcl / "unused.tcl").write_text("proc never {} {\n    return 1\n}\n")
    pytester.makepyfile(
        test_one="""
        def test_sample(tcl_interp):
            tcl_interp.eval("source tcl/sample.tcl; sample::main")
        """,
        test_two="""
        from trivex.tcl.interpreter import Interpreter

        def test_own_interpreter():
            Interpreter().eval("source tcl/sample.tcl; sample::pick b")
        """,
    )


@pytest.mark.parametrize("variant", ["plain", "xdist+pytest-cov"])
def test_pytest_options(pytester, monkeypatch, variant):
    _project(pytester)
    monkeypatch.setenv("PYTHONPATH", SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    args = ["-p", "trivex.tcl.pytest_plugin", "-p", "no:cacheprovider",
            "--tcl-cov-report=term-missing", "--tcl-cov-report=lcov:tcl.info"]
    if variant == "plain":
        args += ["--tcl-cov=tcl", "--tcl-cov-fail-under=99"]
    else:
        pytest.importorskip("xdist")
        pytest.importorskip("pytest_cov")
        pytester.makeini("[pytest]\ntcl_cov = tcl\n")
        pytester.path.joinpath(".coveragerc").write_text("[run]\nplugins = trivex.tcl.coverage\n")
        args += ["-p", "xdist", "-n", "2", "-p", "pytest_cov", "--cov=.", "--cov-report=term"]
    result = pytester.runpytest_subprocess(*args)
    result.assert_outcomes(passed=2)
    run, never = marked(SAMPLE)
    seen = run | {69}  # [pick b] (test_two) reaches the "return BC" the sample never does
    text = result.stdout.str()
    assert missing_column(text, "tcl/sample.tcl", run | never)[1] == never - seen
    result.stdout.fnmatch_lines(["*Tcl coverage*", "tcl/unused.tcl * 2 * 2 * 0% * 1-2"])
    info = (pytester.path / "tcl.info").read_text()
    assert "DA:69,1" in info and "DA:2,0" in info
    if variant == "plain":
        assert result.ret == pytest.ExitCode.TESTS_FAILED
        result.stdout.fnmatch_lines(["*FAIL Required Tcl line coverage of 99% not reached*"])
    else:
        assert result.ret == pytest.ExitCode.OK
        # coverage.py's own table lists the Tcl files beside the Python ones.
        result.stdout.fnmatch_lines(["*tests coverage*", "tcl/sample.tcl *", "tcl/unused.tcl * 2 * 2 * 0%*",
                                     "test_one.py *"])


def test_command_line(tmp_path):
    script = tmp_path / "s.tcl"
    script.write_text("proc f {x} {\n    if {$x} {\n        return yes\n    }\n    return no\n}\nf 1\n")
    env = dict(os.environ, PYTHONPATH=SRC)
    proc = subprocess.run([sys.executable, "-m", "trivex.tcl", "--cov", str(tmp_path), "--cov-report=term-missing",
                           "--cov-report=xml:%s" % (tmp_path / "c.xml"), str(script)],
                          capture_output=True, text=True, env=env, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"
    assert re.search(r"^s\.tcl\s+5\s+1\s+80%\s+5$", proc.stderr, re.M), proc.stderr
    assert 'hits="0"' in (tmp_path / "c.xml").read_text()
