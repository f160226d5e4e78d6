"""tcltest files collected as pytest items, judged against tcltest itself
running the same files under tclsh."""

import os
import re
import pathlib
import shutil
import subprocess
import xml.etree.ElementTree as ET

import pytest

pytest_plugins = ["pytester"]

HERE = pathlib.Path(__file__).resolve().parent
FILES = HERE / "tcltest"
TCLSH = shutil.which("tclsh8.6") or shutil.which("tclsh")


def run(pytester, monkeypatch, *args):
    root = os.environ.get("TRIVEX_PKG_ROOT") or str(HERE.parent / "src")
    monkeypatch.setenv("PYTHONPATH", root + os.pathsep + os.environ.get("PYTHONPATH", ""))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    return pytester.runpytest_subprocess("-p", "trivex.tcl.pytest_plugin", "-p", "no:cacheprovider", *args)


def copy_files(pytester):
    for path in FILES.iterdir():
        target = path.name if path.suffix != ".tcl" or path.name == "helpers.tcl" else path.stem + ".test"
        shutil.copy(path, pytester.path / target)


def tclsh_verdicts(path):
    """(name, outcome, detail) for each test tclsh reports, in order: detail
    is tcltest's failure text, or the constraints of a skip."""
    out = subprocess.run(
        [TCLSH, path.name, "-verbose", "bpse"], cwd=path.parent, capture_output=True, text=True, timeout=60
    ).stdout
    verdicts, block = [], None
    for line in out.splitlines():
        if block is not None:
            block.append(line)
            if line.startswith("==== ") and line.endswith(" FAILED") and line != block[0]:
                verdicts.append((line[5:-7], "failed", "\n".join(block)))
                block = None
        elif line.startswith("++++ ") and line.endswith(" PASSED"):
            verdicts.append((line[5:-7], "passed", ""))
        elif line.startswith("++++ ") and " SKIPPED: " in line:
            name, constraints = line[5:].rsplit(" SKIPPED: ", 1)
            verdicts.append((name, "skipped", sorted(constraints.split())))
        elif line.startswith("==== ") and line.endswith(" FAILED"):
            block = [line]
    return verdicts


def junit_verdicts(path, file_stem):
    verdicts = []
    for case in ET.parse(path).iter("testcase"):
        if case.get("classname") != file_stem + ".test":
            continue
        name = case.get("name")
        if name.endswith("]"):
            name = name[: name.rindex("[")]
        failure, skipped = case.find("failure"), case.find("skipped")
        if failure is not None:
            verdicts.append((name, "failed", failure.text.strip("\n")))
        elif skipped is not None:
            message = skipped.get("message")
            assert message.startswith("unmet constraints: "), message
            verdicts.append((name, "skipped", sorted(message.split(": ", 1)[1].split(", "))))
        else:
            verdicts.append((name, "passed", ""))
    return verdicts


@pytest.mark.skipif(TCLSH is None, reason="needs tclsh")
def test_same_verdicts_as_tcltest_under_tclsh(pytester, monkeypatch):
    copy_files(pytester)
    result = run(pytester, monkeypatch, "--tcltest", "--junitxml=out.xml")
    stems = sorted(p.stem for p in FILES.iterdir() if p.name != "helpers.tcl")
    assert stems == ["outcomes", "queue", "text"]
    total = 0
    for stem in stems:
        expected = tclsh_verdicts(pytester.path / (stem + ".test"))
        got = junit_verdicts(pytester.path / "out.xml", stem)
        if stem == "outcomes":
            # tclsh stops the file at the bad option; pytest fails that test only.
            assert got[-1][:2] == ("out-1.6", "failed") and 'bad option "-colour"' in got[-1][2]
            got = got[:-1]
        assert got == expected, stem
        total += len(got)
    assert total >= 40
    result.assert_outcomes(passed=32, failed=6, skipped=4)


def test_selection_errors_and_limits(pytester, monkeypatch):
    copy_files(pytester)
    # Picked by -k, by name or constraint: a test that relies on the one
    # before it now fails, as under tcltest's own -match.
    result = run(pytester, monkeypatch, "--tcltest", "-k", "queue-2.2 or text-7 or out-1.1 or slowMachine", "-rA")
    result.assert_outcomes(passed=6, failed=2, skipped=1)
    result.stdout.fnmatch_lines(["*PASSED outcomes.test::out-1.1[[]2[]]*", "*FAILED queue.test::queue-2.2*"])

    pytester.makefile(
        ".test",
        broken="""
        package require tcltest
        tcltest::test b-1 {fine} {} {}
        no_such_command here
        """,
        stops="""
        package require tcltest
        namespace import tcltest::*
        test s-1 {runs} {} {}
        test s-2 {hangs} {while 1 {}} {}
        test s-3 {after the hang} {} {}
        exit 3
        """,
        endless="""
        package require tcltest
        tcltest::test e-1 {never collected} {} {}
        while 1 {}
        """,
        # Fails between tests only once a test body has run.
        later="""
        package require tcltest
        tcltest::test l-1 {sets a flag} {set ::ran 1} 1
        if {[info exists ::ran]} {error "top-level trouble"}
        tcltest::test l-2 {after the trouble} {} {}
        """,
    )
    pytester.makeini("[pytest]\ntcltest_files = broken.test endless.test stops.test later.test\n")
    result = run(pytester, monkeypatch, "--tcl-timeout=0.5", "--continue-on-collection-errors")
    result.assert_outcomes(passed=2, failed=3, errors=2)
    result.stdout.fnmatch_lines(
        [
            "*ERROR collecting broken.test*",
            'invalid command name "no_such_command"*',
            "*ERROR collecting endless.test*",
            "*TclTimeoutError*",
            "*_ l-2: after the trouble _*",
            "the file stopped before test l-2 ran:",
            "top-level trouble",
            "*FAILED stops.test::s-2 - *TimeoutError*",
            "*FAILED stops.test::s-3 - the file stopped before test s-3 ran*",
        ]
    )


def test_readme_example(pytester, monkeypatch):
    readme = (HERE.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("### tcltest files as pytest items") :]
    script = re.search(r"^```tcl\n(.*?)^```", section, flags=re.S | re.M).group(1)
    shown = re.search(r"^\$ pytest (.*?)\n(.*?)^```", section, flags=re.S | re.M)
    (pytester.path / "tests").mkdir()
    (pytester.path / "tests" / "strings.test").write_text(script)
    result = run(pytester, monkeypatch, *shown.group(1).split())
    result.stdout.re_match_lines([re.escape(line) for line in shown.group(2).splitlines()])
    # Named on the command line, a .test file needs no option.
    run(pytester, monkeypatch, "tests/strings.test").assert_outcomes(passed=2, skipped=1)
    run(pytester, monkeypatch, "tests").assert_outcomes()
