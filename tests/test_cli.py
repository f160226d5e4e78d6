"""python -m trivex.tcl: scripts, -c, the prompt, and errors."""

import os
import subprocess
import sys

import pytest

SRC = os.environ.get("TRIVEX_PKG_ROOT") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


def run(*args, stdin=None):
    env = dict(os.environ, PYTHONPATH=SRC, HOME=os.environ.get("HOME", "/tmp"))
    return subprocess.run([sys.executable, "-m", "trivex.tcl", *args], input=stdin, capture_output=True,
                          text=True, env=env, timeout=60)


@pytest.mark.parametrize(
    "script, shown",
    [
        ("expr {6*7}", "42"),
        ("list a {b c}", "'a {b c}'"),
        ("keylset k a 1 b.c 2; set k", "{'a': '1', 'b': {'c': '2'}}"),
        ("string is true yes", "1"),
        ("set x {}", ""),
    ],
)
def test_dash_c(script, shown):
    r = run("-c", script)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == shown


def test_script_file_with_arguments(tmp_path):
    script = tmp_path / "s.tcl"
    script.write_text('proc double x {expr {2*$x}}\nlist [info script] $argc [double [lindex $argv 1]]\n')
    r = run(str(script), "a", "21")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == repr("%s 2 42" % script)


def test_errors_print_error_info(tmp_path):
    r = run("-c", "proc p {} {error {it broke}}; p")
    assert r.returncode == 1
    assert r.stderr.startswith("it broke")
    assert 'invoked from within\n"p"' in r.stderr


def test_prompt(tmp_path):
    r = subprocess.run(
        [sys.executable, "-m", "trivex.tcl"], input="set a 5\nproc f {x} {\n  expr {$x+1}\n}\nf $a\nerror oops\n",
        capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYTHONPATH=SRC, HOME=str(tmp_path)))
    assert r.returncode == 1  # the last command failed
    assert "5\n" in r.stdout and "6\n" in r.stdout
    assert "oops" in r.stderr
