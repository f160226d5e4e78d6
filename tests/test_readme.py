"""The README's examples run as they stand."""

import os
import re
from contextlib import ExitStack

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def python_blocks():
    text = open(README, encoding="utf-8").read()
    blocks = re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)
    return [pytest.param(b, id="block%d" % i) for i, b in enumerate(blocks)]


# The plugin's markers are registered only where the plugin is loaded.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnknownMarkWarning")
@pytest.mark.parametrize("code", python_blocks())
def test_readme_example(code, tcl_interp_factory):
    namespace = {"__name__": "readme_example"}
    exec(compile(code, README, "exec"), namespace)
    # Blocks that define tests (the pytest plugin's examples) are run too,
    # with the plugin's fixtures they name.
    for name, fn in list(namespace.items()):
        if name.startswith("test_") and callable(fn):
            with ExitStack() as stack:
                interp = tcl_interp_factory()
                fixtures = {"tcl_interp": interp}
                params = fn.__code__.co_varnames[: fn.__code__.co_argcount]
                if "tcl_namespace" in params:
                    from trivex.tcl.namespace import TempTclNamespace

                    fixtures["tcl_namespace"] = stack.enter_context(TempTclNamespace(tcl=interp))
                if "tcl_mock" in params:
                    from trivex.tcl.testing import mock_command

                    fixtures["tcl_mock"] = lambda *args, **kw: stack.enter_context(mock_command(*args, tcl=interp, **kw))
                fn(*[fixtures[p] for p in params])


@pytest.fixture
def tcl_interp_factory():
    from trivex.tcl.interpreter import Interpreter

    return Interpreter


def test_readme_names_two_commands():
    text = open(README, encoding="utf-8").read()
    assert "`scripts/demo`" in text and "`scripts/test`" in text
