"""The README's examples run as they stand."""

import os
import re

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def python_blocks():
    text = open(README, encoding="utf-8").read()
    blocks = re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)
    return [pytest.param(b, id="block%d" % i) for i, b in enumerate(blocks)]


@pytest.mark.parametrize("code", python_blocks())
def test_readme_example(code, tcl_interp_factory):
    namespace = {"__name__": "readme_example"}
    exec(compile(code, README, "exec"), namespace)
    # Blocks that define tests (the pytest plugin's example) are run too.
    for name, fn in list(namespace.items()):
        if name.startswith("test_") and callable(fn):
            fixtures = {"tcl_interp": tcl_interp_factory()}
            if "tcl_namespace" in fn.__code__.co_varnames[: fn.__code__.co_argcount]:
                from trivex.tcl.namespace import TempTclNamespace

                with TempTclNamespace(tcl=fixtures["tcl_interp"]) as ns:
                    fn(ns)
            else:
                fn(fixtures["tcl_interp"])


@pytest.fixture
def tcl_interp_factory():
    from trivex.tcl.interpreter import Interpreter

    return Interpreter


def test_readme_names_two_commands():
    text = open(README, encoding="utf-8").read()
    assert "`scripts/demo`" in text and "`scripts/test`" in text
