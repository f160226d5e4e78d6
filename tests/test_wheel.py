"""The wheel: what `pip wheel .` builds holds the whole package, and it
installs and works in a fresh virtual environment."""

import os
import subprocess
import sys
import venv
import zipfile

import pytest

from conftest import UNDER_SANITIZER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ["quotify", "internal", "nestmap", "namespace", "j", "interpreter"]

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="builds a release wheel; nothing to sanitize")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    # A build directory of its own: runs side by side (xdist workers, two
    # checkouts' suites) must not build into the same one.
    build = tmp_path_factory.mktemp("wheelbuild")
    r = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q", "-w", str(out),
         "--config-settings=build-dir=%s" % build, ROOT],
        capture_output=True, text=True, timeout=1800)
    assert r.returncode == 0, r.stdout + r.stderr
    (path,) = out.glob("trivex_tcl-*.whl")
    return path


def test_wheel_contents(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    for mod in MODULES:
        assert [n for n in names if n.startswith("trivex/tcl/%s.cpython-" % mod) and n.endswith(".so")], mod
        assert "trivex/tcl/%s.pyi" % mod in names
    for py in ["trivex/tcl/__init__.py", "trivex/tcl/__main__.py", "trivex/tcl/array.py", "trivex/tcl/history.py",
               "trivex/tcl/pytest_plugin.py", "trivex/tcl/_entrypoints.py", "trivex/datastructures.py",
               "trivex/tcl/py.typed"]:
        assert py in names, py
    assert not [n for n in names if n.endswith((".cpp", ".hpp"))]
    assert [n for n in names if n.startswith("trivex/tcl/_tclcov.cpython-")], "_tclcov"
    assert {"trivex/tcl/coverage.py", "trivex/tcl/_coverage_plugin.py"} <= names
    (entry_points,) = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
    text = zipfile.ZipFile(wheel).read(entry_points).decode()
    assert "[pytest11]" in text and "trivex_tcl = trivex.tcl.pytest_plugin" in text
    assert "trivex-tcl = trivex.tcl.__main__:main" in text


def test_wheel_installs_and_works_in_a_fresh_venv(wheel, tmp_path):
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    python = str(env_dir / "bin" / "python")
    r = subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    check = (
        "import trivex.tcl, importlib.metadata as md\n"
        "assert trivex.tcl.__file__.startswith(%r)\n"
        "assert trivex.tcl.eval('expr {6*7}', typecast=True) == 42\n"
        "assert trivex.tcl.j.keylset is not None\n"
        "assert [e.value for e in md.entry_points(group='pytest11') if e.name == 'trivex_tcl']"
        " == ['trivex.tcl.pytest_plugin']\n"
        "print('ok')\n" % str(env_dir)
    )
    r = subprocess.run([python, "-c", check], capture_output=True, text=True, timeout=120, cwd=str(tmp_path))
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stdout + r.stderr
