"""python -m trivex.tcl: scripts, -c, the prompt, and errors."""

import os
import pty
import select
import shutil
import subprocess
import sys
import time

import pytest
from support import plain_env

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


TCLSH = shutil.which("tclsh")


@pytest.mark.parametrize(
    "args, stdin, status, out, err, like_tclsh",
    [
        # exit ends everything, catch included, and Tcl's buffered output is kept.
        (["-c", "exit 3"], b"", 3, "", "", True),
        (["-c", "puts -nonewline kept; catch {exit 260}; puts lost"], b"", 4, "kept", "", True),
        (["-c", "proc p {} {exit}; p; puts lost"], b"", 0, "", "", True),
        (["-c", "exit abc"], b"", 1, "", 'expected integer but got "abc"', True),
        (["-c", "exit 1 2"], b"", 1, "", 'wrong # args: should be "exit ?returnCode?"', True),
        # - reads the script from standard input.
        (["-", "a", "b"], b"list $argv0 $argv\n", 0, "'- {a b}'", "", False),
        (["-"], b"puts a\nset x {\n", 1, "a", "missing close-brace", True),
        (["-"], b"puts a\n\xff\n", 1, "", "standard input is not valid UTF-8 (byte 0xff at line 2, column 1)", False),
        # The prompt: an incomplete command at the end is Tcl's error; a
        # line that is not UTF-8 is reported and reading goes on.
        ([], b"puts a; set x {\nputs b\n", 1, "a\n", "missing close-brace", True),
        ([], b"puts a\n\xff\xfe\nputs b\nexit 5\n", 5, "b\n",
         "input line 2 is not valid UTF-8 (byte 0xff at column 1); line dropped", False),
        ([], b"set x {\n\xc3(\n}\nputs b\n", 0, "b\n",
         "input line 2 is not valid UTF-8 (byte 0xc3 at column 1); command dropped", False),
    ],
)
def test_exit_stdin_and_input_errors(tmp_path, args, stdin, status, out, err, like_tclsh):
    env = dict(os.environ, PYTHONPATH=SRC, HOME=str(tmp_path))
    r = subprocess.run([sys.executable, "-m", "trivex.tcl", *args], input=stdin, capture_output=True,
                       env=env, timeout=60)
    stdout, stderr = r.stdout.decode(), r.stderr.decode()
    assert (r.returncode, "Traceback" in stderr) == (status, False), stderr
    assert out in stdout and err in stderr
    if like_tclsh and TCLSH:
        # tclsh, given the same script as a file, ends the same way.
        script = tmp_path / "script.tcl"
        script.write_bytes(args[1].encode() if args[:1] == ["-c"] else stdin)
        t = subprocess.run([TCLSH, str(script)], capture_output=True, timeout=60, env=plain_env(**env))
        assert t.returncode == r.returncode
        assert t.stdout.decode() in stdout
        assert t.stderr.decode().split("\n")[0] in stderr


def test_prompt_history_keeps_a_multi_line_command_whole(tmp_path):
    def session(keys):
        master, slave = pty.openpty()
        proc = subprocess.Popen([sys.executable, "-m", "trivex.tcl"], stdin=slave, stdout=slave, stderr=slave,
                                env=dict(os.environ, PYTHONPATH=SRC, HOME=str(tmp_path), TERM="dumb"))
        os.close(slave)
        output = b""
        deadline = time.monotonic() + 180
        pending = list(keys)
        while time.monotonic() < deadline:
            if pending and output.count(b"% ") + output.count(b"> ") >= len(keys) - len(pending) + 1:
                os.write(master, pending.pop(0))
            if select.select([master], [], [], 0.1)[0]:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            elif proc.poll() is not None:
                break
        proc.kill()
        proc.wait(timeout=60)
        os.close(master)
        return output.decode(errors="replace")

    output = session([b"set v {\r", b"a\\b}\r", b"list 2\r", b"\x04"])
    assert "'\\na\\\\b'" in output, output  # the value came back as Python shows it
    history = (tmp_path / ".trivex_tcl_history").read_text().splitlines()
    assert history[1:] == ["set v {\\na\\\\b}", "list 2"]
    # Recalled in a new session (Ctrl-P twice) it is the whole command again.
    output = session([b"\x10\x10\r", b"\x04"])
    assert "'\\na\\\\b'" in output, output
