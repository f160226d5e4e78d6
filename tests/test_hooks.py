"""Initialisation hooks from real entry points: a small distribution is
installed (a .dist-info directory with entry_points.txt) on sys.path."""

import logging
import textwrap

import pytest

from trivex.tcl.interpreter import Interpreter


@pytest.fixture
def install(tmp_path, monkeypatch):
    """install(entries) makes a distribution whose [trivex.tcl] entry points
    are `entries` (name -> "module:attr") importable, with the module
    trivex_test_hooks beside it."""
    counter = iter(range(1000))

    def make(entries):
        root = tmp_path / ("site%d" % next(counter))
        root.mkdir()
        (root / "trivex_test_hooks.py").write_text(
            textwrap.dedent(
                """
                calls = []

                def tcl_init(interp):
                    calls.append(interp)
                    interp.eval("set ::hooked [incr ::hooked]", record=False)

                five = 5
                """
            )
        )
        dist = root / "trivex_test_hooks-1.0.dist-info"
        dist.mkdir()
        (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: trivex-test-hooks\nVersion: 1.0\n")
        lines = ["[trivex.tcl]"] + ["%s = %s" % kv for kv in entries.items()]
        (dist / "entry_points.txt").write_text("\n".join(lines) + "\n")
        monkeypatch.syspath_prepend(str(root))
        monkeypatch.delitem(__import__("sys").modules, "trivex_test_hooks", raising=False)
        return root

    return make


def test_hook_runs_with_the_interpreter(install, caplog):
    install({"tcl_init": "trivex_test_hooks:tcl_init"})
    with caplog.at_level(logging.DEBUG, logger="trivex.tcl.interpreter"):
        interp = Interpreter()
    import trivex_test_hooks

    assert list(interp.history) == []
    assert trivex_test_hooks.calls == [interp]
    assert interp.eval("set ::hooked") == "1"
    assert "Loading Tcl-Init from trivex_test_hooks" in caplog.messages


def test_names_contained_in_the_allowed_key_pass(install):
    install({"init": "trivex_test_hooks:tcl_init"})
    assert Interpreter().eval("set ::hooked") == "1"


def test_unknown_name_is_refused(install):
    install({"setup": "trivex_test_hooks:tcl_init"})
    with pytest.raises(ValueError, match=r"^Unknown Tcl entrypoint: setup from trivex_test_hooks$"):
        Interpreter()


def test_hook_must_be_callable(install):
    install({"tcl_init": "trivex_test_hooks:five"})
    with pytest.raises(TypeError, match=r"^Tcl-Init must be callable, got: 5$"):
        Interpreter()


@pytest.mark.parametrize("target", ["trivex_test_hooks:missing_attribute", "trivex_test_hooks:tcl_init.missing"])
def test_hook_naming_a_missing_attribute_is_an_import_error(install, target):
    install({"tcl_init": target})
    with pytest.raises(ImportError, match="missing") as info:
        Interpreter()
    assert isinstance(info.value.__cause__, AttributeError)
    assert str(info.value) == str(info.value.__cause__)
