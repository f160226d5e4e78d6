"""The callable type every module's functions and methods are made of: it must
pass for a Python function wherever users can tell."""

import copy
import inspect
import pickle
import pydoc
import weakref

import pytest

from trivex.tcl import quotify as qmod
from trivex.tcl.quotify import _Tcl_ConvertElement, quotify


def test_signature_and_help():
    assert str(inspect.signature(quotify)) == "(obj)"
    assert str(inspect.signature(_Tcl_ConvertElement)) == "(src, flags)"
    assert quotify.__text_signature__ == "(obj)"
    text = pydoc.render_doc(quotify, renderer=pydoc.plaintext)
    assert "quotify(obj)" in text and "Convert any object" in text
    assert inspect.isroutine(quotify)


def test_writable_attributes():
    f = qmod._quotify_from_mapping
    saved = f.__name__, f.__qualname__, f.__doc__, f.__module__
    try:
        f.__name__ = "renamed"
        f.__qualname__ = "Some.renamed"
        f.__doc__ = "new doc"
        f.__module__ = "elsewhere"
        f.extra = 42
        assert (f.__name__, f.__qualname__, f.__doc__, f.__module__) == (
            "renamed", "Some.renamed", "new doc", "elsewhere")  # fmt: skip
        assert f.__dict__["extra"] == 42
        with pytest.raises(TypeError):
            f.__name__ = 5
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = saved
        del f.extra
    assert "from_sequence" in vars(quotify)


def test_binds_like_a_function():
    class C:
        as_method = quotify
        as_static = staticmethod(quotify)
        as_class = classmethod(qmod._Tcl_ScanElement)

        def __str__(self):
            return "instance text"

    c = C()
    assert C.as_method is quotify
    assert c.as_method() == "instance text"
    assert inspect.ismethod(c.as_method) and c.as_method.__func__ is quotify
    assert str(inspect.signature(c.as_method)) == "()"
    assert c.as_static("a b") == "a b"
    assert C.as_class()[0] == 2 * len(str(C)) + 2  # bound to the class


def test_wrong_calls_raise_pythons_messages():
    with pytest.raises(TypeError, match=r"^quotify\(\) missing 1 required positional argument: 'obj'$"):
        quotify()
    with pytest.raises(TypeError, match=r"^quotify\(\) takes 1 positional argument but 2 were given$"):
        quotify(1, 2)
    with pytest.raises(TypeError, match=r"^quotify\(\) got an unexpected keyword argument 'x'$"):
        quotify(x=1)
    with pytest.raises(TypeError, match=r"^_Tcl_ConvertElement\(\) got multiple values for argument 'src'$"):
        _Tcl_ConvertElement("a", src="b")
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'src' and 'flags'$"):
        _Tcl_ConvertElement()
    assert quotify(obj=[1]) == "1"


def test_identity_preserving_copies_and_pickles():
    assert copy.copy(quotify) is quotify
    assert copy.deepcopy(quotify) is quotify
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(quotify, proto)) is quotify
    assert repr(quotify).startswith("<function quotify at 0x")
    assert weakref.ref(quotify)() is quotify


def test_signature_can_be_replaced():
    f = qmod._tclobj_from_mapping
    try:
        f.__signature__ = inspect.Signature()
        assert str(inspect.signature(f)) == "()"
    finally:
        f.__signature__ = None
    assert str(inspect.signature(f)) == "(obj)"


def _public_callables():
    import importlib

    for name in ["quotify", "internal", "nestmap", "namespace", "j", "interpreter"]:
        mod = importlib.import_module("trivex.tcl." + name)
        for attr, value in vars(mod).items():
            if attr.startswith("__") or getattr(value, "__module__", None) != mod.__name__:
                continue
            if isinstance(value, type):
                for cls in [value] + [v for v in vars(value).values() if isinstance(v, type)]:
                    for key, member in vars(cls).items():
                        func = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
                        if callable(func) and not isinstance(func, type) and (
                                not key.startswith("_") or key.startswith("__")):
                            yield pytest.param(func, id="%s.%s.%s" % (name, cls.__qualname__, key))
            elif callable(value):
                yield pytest.param(value, id="%s.%s" % (name, attr))


@pytest.mark.parametrize("func", list(_public_callables()))
def test_every_function_and_method_has_a_signature(func):
    sig = inspect.signature(func)
    assert str(sig).startswith("(")
    if getattr(func, "__module__", "").startswith("trivex.tcl"):
        assert func.__text_signature__ == str(sig) or "=" in func.__text_signature__


@pytest.mark.parametrize("name", ["quotify", "internal", "nestmap", "namespace", "j", "interpreter"])
def test_help_renders(name):
    import importlib

    mod = importlib.import_module("trivex.tcl." + name)
    text = pydoc.render_doc(mod, renderer=pydoc.plaintext)
    assert mod.__name__ in text
