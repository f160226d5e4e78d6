"""Stubs: every extension module has a .pyi that matches it, and typed user
code checks cleanly under mypy --strict."""

import ast
import importlib
import os
import subprocess
import sys

import pytest

from conftest import UNDER_SANITIZER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")
MODULES = ["quotify", "internal", "nestmap", "namespace", "j", "interpreter"]

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="type checking does not exercise the C++ code")


def run_tool(*args):
    env = dict(os.environ, PYTHONPATH=SRC, MYPYPATH=SRC)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=SRC,
                          timeout=600)


@pytest.mark.parametrize("target", [["-p", "trivex"], [os.path.join(ROOT, "tests", "typing", "usage.py")]],
                         ids=["package", "usage"])
def test_mypy_strict(target):
    r = run_tool("mypy", "--strict", "--cache-dir", os.devnull, *target)
    assert r.returncode == 0, r.stdout + r.stderr


def test_stubs_match_the_runtime():
    r = run_tool("mypy.stubtest", "--mypy-config-file", os.devnull, *["trivex.tcl." + m for m in MODULES], "trivex.datastructures",
                 "trivex.tcl.array", "trivex.tcl.history")
    assert r.returncode == 0, r.stdout + r.stderr


def stub_names(module):
    tree = ast.parse(open(os.path.join(SRC, "trivex", "tcl", module + ".pyi"), encoding="utf-8").read())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # Only `import x as x` re-exports a name from a stub.
            names.update(a.asname for a in node.names if a.asname and a.asname == a.name.split(".")[-1])
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("module", MODULES)
def test_every_public_name_is_in_the_stub_and_the_reverse(module):
    mod = importlib.import_module("trivex.tcl." + module)
    runtime = {n for n in vars(mod) if not n.startswith("_")}
    assert stub_names(module) == runtime


def test_typed_marker_is_shipped():
    assert os.path.exists(os.path.join(SRC, "trivex", "tcl", "py.typed"))
