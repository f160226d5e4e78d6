"""Memory: every public entry point of the six modules, on its success and
its error paths, run many times, must give back what it takes.

Three meters, read before and after the runs: the blocks Python's allocator
holds (`sys.getallocatedblocks`), the bytes `tracemalloc` traces (which also
sees Python memory under the sanitizer build, where the block count is not
kept), and the resident size of the process, the only meter that sees Tcl's
own heap.  Values that cross into Tcl are large enough that a Tcl object
kept per call shows up in the resident size.

Objects that must be freed outright are checked with weak references.
"""

import gc
import importlib
import sys
import threading
import tracemalloc
import weakref
from tkinter import TclError

import pytest

from conftest import UNDER_SANITIZER

interpreter = importlib.import_module("trivex.tcl.interpreter")
# The modules themselves: the package publishes other objects under some of
# these names.
internal, j, namespace, nestmap, quotify = (
    importlib.import_module("trivex.tcl." + name) for name in ["internal", "j", "namespace", "nestmap", "quotify"])

Interpreter = interpreter.Interpreter
History = interpreter.History
NestMap = nestmap.NestMap
TclVariable, TempTclVariable = namespace.TclVariable, namespace.TempTclVariable
TclArrayVariable, TempTclArrayVariable = namespace.TclArrayVariable, namespace.TempTclArrayVariable
TclCommand, TempTclCommand = namespace.TclCommand, namespace.TempTclCommand
TclNamespace, TempTclNamespace = namespace.TclNamespace, namespace.TempTclNamespace

WARM_UP = 20
CALLS = 50  # per window
WINDOWS = 8
# ASan holds freed memory in quarantine, so the resident size grows anyway;
# LeakSanitizer watches Tcl's heap there instead.
RSS_LIMIT = float("inf") if UNDER_SANITIZER else 4096
BIG = "x" * 20000  # one Tcl copy of it per call would grow the process by 6 MB
BIG_LIST = ["a b", "{", "c"] * 200
ERROR_SCRIPT = "error " + BIG


class Raises:
    """An object whose text cannot be had."""

    def __str__(self):
        raise ArithmeticError("no text")

    __repr__ = __str__


def fails(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError("%r did not raise %s" % (fn, exc.__name__))


class World:
    """An interpreter with something of everything to work on."""

    def __init__(self):
        self.ip = ip = Interpreter()
        # The history keeps what it was given until it is full, which is
        # bounded growth; a short one is full from the start.
        ip.history = History(maxlen=2)
        ip.eval("""
            namespace eval ::leak { variable v 1; variable arr; array set arr {a 1 b 2} }
            proc ::leak::p {a {b 2} args} { return [list $a $b $args] }
            proc ::leak::fail {} { error "it broke" }
            set ::big {}
            array set ::arr {a 1 b 2}
            keylset ::kl a 1 b.c 2
            set ::notint abc
            set ::unbalanced "a {b"
        """)
        ip.set_var("::big", BIG)
        ip.create_callback(self.callback, "::leak::cb")
        self.ns = TclNamespace("::leak", tcl=ip)
        self.var = TclVariable("::leak::v", tcl=ip)
        self.arr = TclArrayVariable("::leak::arr", tcl=ip)
        self.cmd = TclCommand("::leak::p", args=("x",), keywords={"o": 1}, tcl=ip)
        self.missing = TclCommand("::leak::missing", tcl=ip)
        self.fail = TclCommand("::leak::fail", tcl=ip)
        self.nm = NestMap({"a": 1, "b": {"c": BIG}})

    @staticmethod
    def callback(*args):
        if args and args[0] == "fail":
            raise ValueError("callback failed")
        return list(args)


def _cases():
    q = quotify.quotify
    t = quotify.tclobj

    def case(name, fn):
        return pytest.param(fn, id=name)

    return [
        # quotify
        case("quotify", lambda w: (q(BIG), q(BIG_LIST), q({"k": BIG, 1: [2.5, None]}), q(b"bytes"))),
        case("quotify-error", lambda w: (fails(ArithmeticError, q, [1, Raises()]),
                                         fails(ArithmeticError, q, {"k": Raises()}))),
        case("tclobj", lambda w: (t(BIG), t(BIG_LIST), t({"k": BIG}), t(w.nm))),
        case("tclobj-error", lambda w: fails(ArithmeticError, t, [Raises()])),
        case("quotify-helpers", lambda w: (quotify._Tcl_ScanElement(BIG + "{"),
                                           quotify._Tcl_ConvertElement("a {b", quotify._Tcl_ScanElement("a {b")[1]),
                                           quotify._tcl_UpdateStringOfList(BIG_LIST),
                                           quotify._quotify_from_mapping({"a": BIG}),
                                           quotify._tclobj_from_sequence(BIG_LIST),
                                           quotify._tclobj_from_mapping({"a": BIG}))),
        case("quotify-helpers-error", lambda w: (fails(ArithmeticError, quotify._Tcl_ScanElement, Raises()),
                                                 fails(Exception, quotify._Tcl_ConvertElement, "a", object()),
                                                 fails(TypeError, quotify._tcl_UpdateStringOfList, 5))),
        # internal
        case("GetListFromAny", lambda w: (internal.GetListFromAny(q(BIG_LIST)), internal.GetListFromAny(BIG_LIST),
                                          internal.GetListFromAny("a {b c} \\{ d\\ e"))),
        case("GetListFromAny-error", lambda w: (fails(TclError, internal.GetListFromAny, "a {b" + BIG),
                                                fails(ArithmeticError, internal.GetListFromAny, Raises()))),
        case("DictionaryCompare", lambda w: (internal.DictionaryCompare("a10" + BIG, "a9" + BIG),
                                             fails(ArithmeticError, internal.DictionaryCompare, "a", Raises()))),
        case("pointers", lambda w: internal._ptr_diff(internal._ptr_add(internal._c_char_p_from_obj("abc"), 2),
                                                      internal._ptr_sub(internal._c_char_p_from_obj("d"), 0))),
        case("Tcl_Interp_p", lambda w: (internal.Tcl_Interp_p.from_param(w.ip),
                                        fails(Exception, internal.Tcl_Interp_p.from_param, "nope"))),
        case("TclError_from_interp", lambda w: (w.ip.tk.call("set", "::x", "result text"),
                                                fails(TclError, internal.TclError_from_interp, w.ip, "default"))),
        # nestmap
        case("NestMap", lambda w: (NestMap({"a": {"b": BIG}}, c=1), NestMap.from_tcl(q(w.nm)),
                                   w.nm["b.c"], "b.c" in w.nm, w.nm.get("z.z"), w.nm.has_key("b"),
                                   w.nm.all_keys(), w.nm.all_items(), w.nm.__tclobj__())),
        case("NestMap-change", lambda w: (w.nm.__setitem__("d.e", BIG), w.nm.setdefault("f", 1), w.nm.pop("f"),
                                          w.nm.update({"g.h": 1}, i=2), w.nm.__delitem__("d.e"),
                                          w.nm.pop("g"), w.nm.pop("i"))),
        case("NestMap-error", lambda w: (fails(KeyError, w.nm.__getitem__, "b.zz"),
                                         fails(KeyError, w.nm.__delitem__, "zz"), fails(KeyError, w.nm.pop, "zz"),
                                         fails(Exception, NestMap.from_tcl, "a {b"),
                                         fails(Exception, NestMap.from_tcl, "a b c"))),
        # namespace: variables
        case("TclVariable", lambda w: (TclVariable("v", tcl=w.ip), w.var.set(BIG), w.var.get(), w.var.get_str(),
                                       w.var.get_obj(), w.var.exists(), w.var.is_array(), w.var.absolute(),
                                       str(w.var), repr(w.var), w.var.__tclobj__(),
                                       TclVariable("::leak::t", tcl=w.ip).set(BIG),
                                       TclVariable("::leak::t", tcl=w.ip).unset(),
                                       TclVariable("t", tcl=w.ip).make_absolute())),
        case("TclVariable-error", lambda w: (fails(TclError, TclVariable("::leak::none", tcl=w.ip).get),
                                             fails(Exception, w.var.get, cast=int),
                                             fails(Exception, TclVariable("::leak::none", tcl=w.ip).unset))),
        case("TclVariable-array", lambda w: (w.arr.array_set({"x": BIG}), w.arr.array_get(), w.arr.array_get_str(),
                                             w.arr.array_get_obj("x*"), w.arr.array_size(), w.arr.array_names(),
                                             w.arr.array_item_byref("x").get(), w.arr.array_unset("x"))),
        case("TempTclVariable", lambda w: TempTclVariable(tcl=w.ip).__enter__().set(BIG)),
        case("TempTclVariable-with", lambda w: [v.set(BIG) for v in [TempTclVariable(tcl=w.ip)] for _ in [v.__enter__()]
                                                if v.__exit__(None, None, None) is None]),
        case("TclArrayVariable", lambda w: (w.arr.__setitem__("k", BIG), w.arr["k"], "k" in w.arr, len(w.arr),
                                            list(w.arr), w.arr.get("k"), w.arr.update({"m": 1}),
                                            w.arr.__delitem__("k"), w.arr.__delitem__("m"))),
        case("TclArrayVariable-error", lambda w: (fails(TclError, w.arr.__getitem__, "zz"),
                                                  fails(TclError, w.arr.__delitem__, "zz"))),
        case("TempTclArrayVariable", lambda w: [a.update(k=BIG) or a.clear() for a in [TempTclArrayVariable(tcl=w.ip)]
                                                for _ in [a.__enter__()] if a.__exit__(None, None, None) is None]),
        # namespace: commands
        case("TclCommand", lambda w: (w.cmd(BIG, k=BIG), w.cmd.call(1), w.cmd.eval(2), w.cmd.build_tclcmd(3, z=4),
                                      TclCommand.kwargs_to_dashed_args(a=1, b=BIG), w.cmd.exists(),
                                      w.cmd.is_command(), w.cmd.is_proc(), w.cmd.origin(), w.cmd.proc_body(),
                                      w.cmd.proc_args(), w.cmd.proc_arg_default("b"), w.cmd.absolute(),
                                      str(w.cmd), repr(w.cmd), w.cmd.__tclobj__(),
                                      w.cmd.__get__(w, World)(), TclCommand("set", tcl=w.ip)("::x", BIG))),
        case("TclCommand-error", lambda w: (fails(TclError, w.missing), fails(TclError, w.fail),
                                            fails(TclError, w.missing.proc_body),
                                            fails(TclError, w.cmd.proc_arg_default, "zz"),
                                            fails(ArithmeticError, w.cmd, Raises()))),
        case("TclCommand-lifecycle", lambda w: (TclCommand("::leak::made", tcl=w.ip).createcommand(World.callback),
                                                TclCommand("::leak::made", tcl=w.ip).rename("::leak::moved"),
                                                TclCommand("::leak::moved", tcl=w.ip).delete())),
        case("TempTclCommand", lambda w: [c(BIG) for c in [TempTclCommand(World.callback, tcl=w.ip)]
                                          for _ in [c.__enter__()] if c.__exit__(None, None, None) is None]),
        case("TempTclCommand-dropped", lambda w: TempTclCommand(World.callback, tcl=w.ip)(BIG)),
        case("callback-error", lambda w: fails(TclError, w.ip.eval, "::leak::cb fail")),
        # namespace: namespaces and their views
        case("TclNamespace", lambda w: (w.ns.children(), w.ns.code("set x"), w.ns.current(), w.ns.exists(),
                                        w.ns.eval("set v"), w.ns.call("::leak::p", BIG), w.ns.export(),
                                        w.ns.forget(), w.ns.import_(), w.ns.origin("p"), w.ns.parent(),
                                        w.ns.parent(True), w.ns.which("p", command=True),
                                        w.ns.which("v", variable=True), w.ns.is_absolute(), w.ns.is_relative(),
                                        w.ns.absolute(), str(w.ns), TclNamespace("leak", tcl=w.ip).make_absolute())),
        case("TclNamespace-names", lambda w: (TclNamespace.qualifiers("::a::b::c"), TclNamespace.tail("::a::b"),
                                              TclNamespace.join("::a", "b", BIG), TclNamespace.split("::a::b"),
                                              TclNamespace.normalize("::a::::b"),
                                              fails(ValueError, TclNamespace.join, "::a", "b:::c"),
                                              fails(ValueError, TclNamespace.split, "a:::b"))),
        case("TclNamespace-error", lambda w: (fails(TclError, w.ns.eval, "error broke"),
                                              fails(TclError, w.ns.call, "::leak::fail"),
                                              fails(TclError, w.ns.origin, "nope"),
                                              fails(ArithmeticError, w.ns.call, "list", Raises()))),
        case("TclNamespace-lifecycle", lambda w: (TclNamespace("::leak::sub", tcl=w.ip).create(),
                                                  TclNamespace("::leak::sub", tcl=w.ip).delete())),
        case("TempTclNamespace", lambda w: [n.vars.set("v", BIG) for n in [TempTclNamespace(tcl=w.ip)]
                                            for _ in [n.__enter__()] if n.__exit__(None, None, None) is None]),
        case("VariablesView", lambda w: (w.ns.vars.set("w", BIG), w.ns.vars["w"], w.ns.vars.get("w"),
                                         "w" in w.ns.vars, len(w.ns.vars), list(w.ns.vars), w.ns.vars.exists("w"),
                                         w.ns.vars.byref("w").get(), w.ns.vars.byref("w", var_type=TclVariable),
                                         w.ns.vars.array_byref("arr"), w.ns.vars.array_set("a2", {"k": BIG}),
                                         w.ns.vars.array_get("a2"), w.ns.vars.array_names("a2"),
                                         w.ns.vars.is_array("a2"), w.ns.vars.array_unset("a2"),
                                         w.ns.vars.__setitem__("w", 1), w.ns.vars.unset("w"),
                                         w.ns.vars.__setitem__("w", 1), w.ns.vars.__delitem__("w"))),
        case("VariablesView-error", lambda w: (fails(KeyError, w.ns.vars.__getitem__, "none"),
                                               fails(KeyError, w.ns.vars.__delitem__, "none"),
                                               fails(Exception, w.ns.vars.__getitem__, "a:::b"),
                                               fails(Exception, w.ns.vars.unset, "none"))),
        case("ObjectsView", lambda w: (w.ip.objs.get("::big"), w.ip.objs.get("::arr", "a"), w.ip.objs.array_get("::arr"),
                                       fails(KeyError, w.ip.objs.__getitem__, "::none"))),
        case("CommandsView", lambda w: (w.ns.cmds["p"], "p" in w.ns.cmds, len(w.ns.cmds), list(w.ns.cmds),
                                        w.ns.cmds.byref("p"), w.ns.cmds.exists("p"), w.ns.cmds.origin("p"),
                                        w.ns.cmds.proc_body("p"), w.ns.cmds.proc_args("p"),
                                        w.ns.cmds.proc_arg_default("p", "b"),
                                        w.ns.cmds.createcommand("made", World.callback),
                                        w.ns.cmds.rename("made", "moved"), w.ns.cmds.delete("moved"),
                                        w.ns.cmds.__setitem__("made", World.callback), w.ns.cmds.__delitem__("made"),
                                        list(w.ns.procs), w.ns.procs.exists("p"))),
        case("CommandsView-error", lambda w: (fails(KeyError, w.ns.cmds.__delitem__, "none"),
                                              fails(Exception, w.ns.cmds.proc_body, "none"),
                                              fails(Exception, w.ns.cmds.rename, "none", "other"))),
        # j
        case("J", lambda w: (w.ip.j.leak.p(BIG, o=BIG), fails(TclError, w.ip.j, "set", "::x", BIG), str(w.ip.j.leak.p),
                             repr(w.ip.j.leak.p), j.J(w.ip), j.J_Code("a", "b", tcl=w.ip))),
        case("J-error", lambda w: (fails(TclError, w.ip.j.leak.fail), fails(TclError, w.ip.j.leak.missing, BIG),
                                   fails(ArithmeticError, w.ip.j.leak.p, Raises()))),
        # interpreter
        case("eval", lambda w: (w.ip.eval("set ::big"), w.ip.eval("list 1 2", typecast=True),
                                w.ip.eval("set ::big", record=False), w.ip.get_errorInfo())),
        case("eval-error", lambda w: (fails(TclError, w.ip.eval, ERROR_SCRIPT),
                                      fails(TclError, w.ip.eval, "set x {"))),
        case("get", lambda w: (w.ip.get_var("::big"), w.ip.get_array("::arr"), w.ip.get_list("::big"),
                               w.ip.get_keyed_list("::kl"), w.ip.get_int("::arr(a)"),
                               w.ip.get_boolean("::arr(a)"), w.ip.get_double("::arr(a)"))),
        case("get-error", lambda w: (fails(Exception, w.ip.get_var, "::none"),
                                     fails(ValueError, w.ip.get_int, "::notint"),
                                     fails(ValueError, w.ip.get_double, "::notint"),
                                     fails(ValueError, w.ip.get_boolean, "::notint"),
                                     fails(Exception, w.ip.get_list, "::unbalanced"))),
        case("set", lambda w: (w.ip.set_var("::s", BIG), w.ip.set_array("::sa", {"k": BIG}),
                               w.ip.set_keyed_list("::sk", {"a": {"b": BIG}}), w.ip.set_int("::si", 5),
                               w.ip.set_double("::sd", 2.5), w.ip.set_boolean("::sb", True),
                               w.ip.set_list("::sl", BIG_LIST))),
        # Text holding NUL crosses as a Tcl object the package makes.
        case("set-nul", lambda w: (w.ip.set_var("::s", BIG + "\0"), w.ip.set_list("::sl", [BIG + "\0", "c"]),
                                   w.ip.j.set("::s", BIG + "\0"))),
        case("set-error", lambda w: (fails(ArithmeticError, w.ip.set_var, "::s", Raises()),
                                     fails(ArithmeticError, w.ip.set_list, "::sl", [Raises()]))),
        case("cast", lambda w: (w.ip.cast_list(q(BIG_LIST)), w.ip.cast_list("1 2", int), w.ip.cast_int("42"),
                                w.ip.cast_double("2.5"), w.ip.cast_boolean("yes"), w.ip.cast_array("a 1 b 2"),
                                w.ip.cast_keyed_list("{a 1} {b {{c 2}}}"), w.ip.cast_any(BIG),
                                w.ip.cast_any("12"), w.ip.cast_any("{a 1}"))),
        case("cast-error", lambda w: (fails(ValueError, w.ip.cast_int, BIG), fails(ValueError, w.ip.cast_double, BIG),
                                      fails(ValueError, w.ip.cast_boolean, BIG),
                                      fails(ValueError, w.ip.cast_list, "a {" + BIG),
                                      fails(Exception, w.ip.cast_array, "a b c"))),
        case("callbacks", lambda w: (w.ip.create_callback(World.callback, "::leak::made"),
                                     w.ip.eval("::leak::made {%s}" % BIG), w.ip.remove_callback("::leak::made"),
                                     Interpreter.generate_callback_cmd_name(World.callback, True))),
        case("callbacks-error", lambda w: (fails(ValueError, w.ip.create_callback, World.callback, "::leak::p"),
                                           fails(ValueError, w.ip.remove_callback, "::leak::none"))),
        case("getattr", lambda w: (w.ip.call, fails(AttributeError, getattr, w.ip, "no_such_thing"))),
    ]


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def _meters():
    # Python's method cache keeps up to 4096 attribute names alive, and a
    # name made afresh for each lookup takes a new slot; read both ends of a
    # window with it empty.
    sys._clear_type_cache()
    gc.collect()
    return sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0], _rss()


@pytest.fixture(scope="module")
def world():
    return World()


@pytest.mark.parametrize("run", _cases())
def test_no_growth(world, run):
    for _ in range(WARM_UP):
        run(world)
    tracemalloc.start()
    try:
        # A leak grows in every window; a bounded cache that is still
        # filling stops growing.
        for _ in range(WINDOWS):
            snapshot = tracemalloc.take_snapshot()
            before = _meters()
            for _ in range(CALLS):
                run(world)
            blocks, traced, rss = ((a - b) / CALLS for a, b in zip(_meters(), before))
            if blocks < 0.2 and traced < 64 and rss < RSS_LIMIT:
                return
        top = tracemalloc.take_snapshot().compare_to(snapshot, "traceback")[:3]
        del snapshot
        pytest.fail("grows per call: %.2f blocks, %.0f bytes traced, %.0f bytes resident; most traced:\n%s"
                    % (blocks, traced, rss, "\n".join("%s\n%s" % (d, "\n".join(d.traceback.format()))
                                                       for d in top)))
    finally:
        tracemalloc.stop()


def _interpreter_with_handles():
    ip = Interpreter()
    return ip, [TclVariable("v", tcl=ip), TclNamespace("::n", tcl=ip), ip.j.a.b, TclCommand("set", tcl=ip)]


def _callback_of_dropped_interpreter():
    def callback():
        return 1

    Interpreter().create_callback(callback, "cb")
    return callback, []


def _function_of_dropped_temporary_command():
    def func():
        return 1

    TempTclCommand(func, tcl=interpreter._global_interpreter)
    return func, []


@pytest.mark.parametrize("make", [
    pytest.param(lambda: (Interpreter(), []), id="interpreter"),
    pytest.param(_interpreter_with_handles, id="interpreter-with-handles"),
    pytest.param(_callback_of_dropped_interpreter, id="interpreter-with-callbacks"),
    pytest.param(_function_of_dropped_temporary_command, id="temporary-command"),
])
def test_dropped_objects_are_freed(make):
    # `make` returns the object to watch and what may stay alive meanwhile.
    def drop():
        watched, kept = make()
        ref = weakref.ref(watched)
        del watched
        gc.collect()
        return ref() is None

    assert drop()
    # Nor does what the watched object stands for stay behind in Tcl: a Tcl
    # interpreter takes about a megabyte.
    before = _rss()
    for _ in range(8):
        drop()
    assert (_rss() - before) / 8 < (float("inf") if UNDER_SANITIZER else 256 * 1024)


def test_threads_that_end_leave_little_behind():
    # Each thread calls commands of its own interpreter through `j`, by
    # twenty names, ends the interpreter, hands Tcl's data back and ends.
    # Nothing of its calls may stay behind: a kept word per name would be
    # twenty blocks.  Of its Tcl memory only what ends interpreters on the
    # thread may stay, which an interpreter as Tcl makes it would dwarf.
    names = ["leak_w%d" % i for i in range(20)]

    def worker():
        ip = Interpreter()
        ip.tk.eval("".join("proc %s {} {};" % n for n in names))
        for n in names:
            getattr(ip.j, n)()
        ip.destroy()
        del ip
        internal.TclDLL.Tcl_FinalizeThread()

    def run_threads(count):
        for _ in range(count):
            t = threading.Thread(target=worker)
            t.start()
            t.join()

    run_threads(10)
    for _ in range(WINDOWS):
        before = _meters()
        run_threads(20)
        blocks, _, rss = ((a - b) / 20 for a, b in zip(_meters(), before))
        if blocks < 2 and rss < (float("inf") if UNDER_SANITIZER else 128 * 1024):
            return
    pytest.fail("each thread leaves %.1f blocks and %.0f resident bytes behind" % (blocks, rss))
