// Module trivex.tcl.interpreter: the Interpreter class and the shared one.
//
// `Interpreter` is an ordinary Python class (made by its metaclass from
// function objects, like every class of the package) derived from
// tkinter.Tk with the Tk toolkit switched off.  Its instance state lives in
// the instance __dict__ as the documentation lists it (history, j, the two
// namespaces and their views, the callback registry), so Python code,
// subclasses and the package's other modules see exactly what they would see
// of a class written in Python.
//
// Where a method calls another public method of the instance (cast_int from
// get_int, cast_any from eval, ...), it calls it through the instance, so
// that subclasses can override any of them.  cast_any is the exception that
// proves the rule: it is the guesser behind every typecast result, and
// trying int, float and boolean readers in turn would raise and catch a
// Python exception per failed guess.  When the readers are the class's own,
// it asks Tcl's C functions the same questions tkinter's readers ask (same
// functions, same text), and only falls back to the readers themselves where
// that cannot be exact (integers beyond 64 bits, text Tcl cannot take).
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
// arguments; work shared between entries lives in plain-named helpers.
#include <cstring>
#include <string>
#include <utility>

#include "from_tcl.hpp"
#include "to_tcl.hpp"
#include "bridge/bridge.hpp"

namespace {

using glue::Args;
using glue::Ref;
namespace cv = trivex::convert;
namespace tcl = trivex::tcl;

constexpr const char* kModule = GLUE_MODULE_NAME("interpreter");

// Everything the module keeps between calls; each reference is owned.
struct State {
  glue::Owned Tk;
  glue::Owned TclError;
  glue::Owned Tcl_Obj;
  glue::Owned iter_entry_points;
  glue::Owned NestMap;
  glue::Owned Array;
  glue::Owned tclobj;
  glue::Owned GetListFromAny;
  glue::Owned TclNamespace;
  glue::Owned TclCommand;
  glue::Owned J;
  glue::Owned quotify;
  glue::Owned History;
  glue::Owned logger;
  glue::Owned entrypoint_group;
  glue::Owned allowed_entrypoint_keys;
  glue::Owned Interpreter;
  glue::Pristine origin;  // the class as built, for the fast paths' guards
  // Ending the Tcl interpreter with its Interpreter.
  glue::Owned finalize;         // weakref.finalize
  glue::Owned SimpleNamespace;  // types.SimpleNamespace
  glue::Owned end_quietly;      // the finaliser
  glue::Owned skip_profile;     // stands in for Tk.readprofile during construction
  glue::Owned get_int_max_str_digits;
  Py_ssize_t digits_check_threshold;
};
State state;

// -- small helpers ---------------------------------------------------------------

// Attribute names are interned once per call site.
#define ATTR(o, name) glue::getattr(o, GLUE_STR(name))

// `raise exc` inside an `except` clause that handles `context`.
[[noreturn]] void raise_during(Ref exc, PyObject* context) {
  PyException_SetContext(exc.get(), Py_NewRef(context));
  glue::raise_instance(exc.get());
}

Ref new_exception(PyObject* type, PyObject* arg) { return glue::call(type, arg); }

// Whether self.<name>, for each name, is still what the class had when
// this module built it: neither a subclass nor the instance rebinds it.
#define OURS(self, ...) GLUE_RELIES_ON(state.origin, __VA_ARGS__).holds(self)

PyObject* instance_dict_item(PyObject* self, PyObject* key) {
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  if (!dictptr || !*dictptr) return nullptr;
  PyObject* v = PyDict_GetItemWithError(*dictptr, key);
  if (!v && PyErr_Occurred()) throw glue::PythonError{};
  return v;
}

Ref tk_of(PyObject* self) {
  Ref tk = GLUE_MEMBER(self, "tk");
  tcl::check_tk(tk.get());
  return tk;
}

// -- the end of a Tcl interpreter ------------------------------------------------------
//
// tkinter deletes its Tcl interpreter only when the application object (the
// `tk` attribute) is freed, and the object is kept alive by every command
// published through it: an Interpreter dropped with callbacks published
// kept its whole Tcl interpreter and everything the callbacks reference.
// So an Interpreter ends its Tcl interpreter itself, in destroy() or when it
// is freed, while the application object may live on in other hands.
//
// Three constraints shape how.  The application object deletes whatever
// interpreter it points at when it is freed, and calls into it until then,
// so it must always point at a valid one: after the end it points at a
// "grave", an interpreter of this thread that was marked deleted once and is
// never freed, on which every evaluation fails and a second deletion does
// nothing.  tkinter's command records release their Python objects expecting
// to be inside one of tkinter's own calls into Tcl (the GIL released, the
// thread state put aside), so the deletion has to run inside such a call:
// the object is briefly pointed at a "sink", a live interpreter of this
// thread whose only command `destroy` does the deletion, and tkinter is
// asked to call that command.  The same command answers tkinter.Tk.destroy,
// which ends with `tk.call("destroy", ".")`.  And Tcl must not delete an
// interpreter in the middle of an evaluation, so the end is refused while
// one runs (destroy() from inside a callback of the same interpreter).

// What the sink's `destroy` does next: point `tkapp` at `after` and delete
// `doomed`.  Set just before tkinter is asked to call it.
struct Ending {
  tcl::TkappHead* tkapp = nullptr;
  tcl::Tcl_Interp* doomed = nullptr;
  tcl::Tcl_Interp* after = nullptr;
};
thread_local Ending t_ending;
thread_local tcl::Tcl_Interp* t_grave = nullptr;
thread_local tcl::Tcl_Interp* t_sink = nullptr;

int sink_destroy(tcl::ClientData, tcl::Tcl_Interp*, int, tcl::Tcl_Obj* const*) {
  Ending e = std::exchange(t_ending, Ending{});
  if (e.tkapp) e.tkapp->interp = e.after;
  if (e.doomed) tcl::life_api().DeleteInterp(e.doomed);
  return tcl::TCL_OK;
}

tcl::Tcl_Interp* grave() {
  if (!t_grave) {
    const tcl::LifeApi& life = tcl::life_api();
    tcl::Tcl_Interp* ip = life.CreateInterp();
    life.Preserve(ip);
    life.DeleteInterp(ip);
    t_grave = ip;
  }
  return t_grave;
}

tcl::Tcl_Interp* sink() {
  const tcl::LifeApi& life = tcl::life_api();
  // An object freed while it pointed here has deleted it; it stays allocated
  // (preserved) for anyone still pointing at it, and a new one takes over.
  if (t_sink && life.InterpDeleted(t_sink)) t_sink = nullptr;
  if (!t_sink) {
    tcl::Tcl_Interp* ip = life.CreateInterp();
    life.Preserve(ip);
    // Nothing but `destroy` is left to run, whatever reaches it.
    life.Eval(ip,
              "foreach c [info commands] {if {$c ni {rename foreach if info}} {rename $c {}}}\n"
              "rename info {}; rename if {}; rename foreach {}; rename rename {}");
    if (!life.CreateObjCommand(ip, "destroy", sink_destroy, nullptr, nullptr))
      glue::raise(PyExc_RuntimeError, "cannot set up the end of Tcl interpreters");
    t_sink = ip;
  }
  return t_sink;
}

// Have tkinter call the sink's `destroy` for `h`, which points it at
// `after` and deletes `doomed` (if any).
void run_in_sink(PyObject* tk, tcl::TkappHead* h, tcl::Tcl_Interp* doomed, tcl::Tcl_Interp* after) {
  tcl::Tcl_Interp* before = h->interp;
  t_ending = Ending{h, doomed, after};
  h->interp = sink();
  Ref r = Ref::steal(PyObject_CallMethodOneArg(tk, GLUE_STR("call"), GLUE_STR("destroy")));
  if (!r) {
    if (t_ending.tkapp == h) {
      t_ending = Ending{};
      h->interp = before;
    }
    throw glue::PythonError{};
  }
}

// End the Tcl interpreter of application object `tk`; with `arm`, leave it
// ready for tkinter.Tk.destroy's own `tk.call("destroy", ".")`.
void end_interpreter(PyObject* tk, bool arm) {
  tcl::TkappHead* h = tcl::tkapp_head(tk);
  if (!h) glue::raise(PyExc_RuntimeError, "cannot end a Tcl interpreter held by an unknown kind of object");
  const tcl::LifeApi& life = tcl::life_api();
  if (h->thread_id != life.GetCurrentThread()) tcl::raise_wrong_thread(h);
  if (!life.InterpDeleted(h->interp)) {
    if (life.InterpActive(h->interp))
      glue::raise(PyExc_RuntimeError, "cannot destroy a Tcl interpreter while it is evaluating a script");
    run_in_sink(tk, h, h->interp, grave());
  }
  if (arm) {
    t_ending = Ending{h, nullptr, h->interp};
    h->interp = sink();
  }
}

// destroy() of the entry an Interpreter keeps in its `children`, which
// tkinter.Tk.destroy calls first: ends the Tcl interpreter and forgets the
// callbacks.  Its data is (tk, weak reference to the Interpreter).
Ref ender_destroy(const Args& a) {
  PyObject* data = a.function()->data;
  PyObject* tk = PyTuple_GET_ITEM(data, 0);
  Ref self = Ref::borrow(PyWeakref_GetObject(PyTuple_GET_ITEM(data, 1)));
  if (self.get() != Py_None) {
    // Tk.destroy deletes these through tk, which will have nothing left.
    if (instance_dict_item(self.get(), GLUE_STR("_tclCommands"))) glue::setattr(self.get(), "_tclCommands", Py_None);
  }
  end_interpreter(tk, true);
  if (self.get() != Py_None) {
    if (PyObject* registry = instance_dict_item(self.get(), GLUE_STR("__callbacks__"))) {
      Ref keep = Ref::borrow(registry);
      GLUE_CALL(registry, "clear");
    }
  }
  return Ref::borrow(Py_None);
}

// The finaliser of every Interpreter: ends its Tcl interpreter when that is
// possible here, and otherwise leaves it to tkinter.
Ref end_quietly(const Args& a) {
  if (_Py_IsFinalizing()) return Ref::borrow(Py_None);
  try {
    end_interpreter(a[0], false);
  } catch (const glue::PythonError&) {
    PyErr_Clear();
  }
  return Ref::borrow(Py_None);
}

Ref skip_profile(const Args&) { return Ref::borrow(Py_None); }

// Hook the end of the Tcl interpreter to destroy() and to the Interpreter's
// own end.
void arrange_end(PyObject* self) {
  Ref tk = GLUE_MEMBER(self, "tk");
  if (!tcl::tkapp_head(tk.get())) return;
  Ref fin = glue::call(state.finalize, self, state.end_quietly, tk.get());
  glue::setattr(fin.get(), "atexit", Py_False);
  Ref weak = glue::check(PyWeakref_NewRef(self, nullptr));
  Ref data = glue::check(PyTuple_Pack(2, tk.get(), weak.get()));
  Ref destroy = glue::make_function({"destroy", "()", ender_destroy, "End the Tcl interpreter."}, kModule, nullptr,
                                    {}, data.get());
  Ref kwargs = glue::new_dict();
  glue::dict_set(kwargs.get(), "destroy", destroy.get());
  Ref empty = glue::check(PyTuple_New(0));
  Ref entry = glue::call_kw(state.SimpleNamespace, empty.get(), kwargs.get());
  Ref children = glue::getattr(self, "children");
  glue::check_status(PyObject_SetItem(children.get(), GLUE_STR("!trivex-end"), entry.get()));
}

// -- construction, hooks, attribute delegation ------------------------------------

Ref interpreter_init(const Args& a) {
  PyObject* self = a[0];
  Ref super = glue::super_of(state.Interpreter, self);
  Ref init = glue::getattr(super.get(), GLUE_STR("__init__"));
  Ref zero = glue::check(PyLong_FromLong(0));
  // Tk's initialiser runs the user's profile scripts (~/.Tk.tcl, ~/.Tk.py,
  // ...); an Interpreter reads no files, so the instance hides that method
  // while the base initialiser runs.
  glue::setattr(self, "readprofile", state.skip_profile);
  try {
    glue::call_kw(init.get(), {zero.get()}, GLUE_KWNAMES("useTk"));
  } catch (const glue::PythonError&) {
    glue::CaughtError e;
    if (instance_dict_item(self, GLUE_STR("readprofile"))) PyObject_DelAttrString(self, "readprofile");
    PyErr_Clear();
    e.reraise();
  }
  glue::check_status(PyObject_DelAttrString(self, "readprofile"));
  arrange_end(self);

  Ref history = glue::call(state.History);
  glue::setattr(self, "history", history.get());
  Ref j = glue::call_kw(state.J, {self}, GLUE_KWNAMES("tcl"));
  glue::setattr(self, "j", j.get());
  Ref callbacks = glue::new_dict();
  glue::setattr(self, "__callbacks__", callbacks.get());
  Ref global_ns = glue::call_kw(state.TclNamespace, {GLUE_STR("::"), self}, GLUE_KWNAMES("tcl"));
  glue::setattr(self, "global_ns", global_ns.get());
  Ref local_ns = glue::call_kw(state.TclNamespace, {Py_None, self}, GLUE_KWNAMES("tcl"));
  glue::setattr(self, "local_ns", local_ns.get());
  Ref vars = ATTR(local_ns.get(), "vars");
  glue::setattr(self, "vars", vars.get());
  Ref objs = ATTR(local_ns.get(), "objs");
  glue::setattr(self, "objs", objs.get());

  Ref gvars = ATTR(global_ns.get(), "vars");
  Ref empty = glue::check(PyTuple_New(0));
  glue::check_status(PyObject_SetItem(gvars.get(), GLUE_STR("argc"), zero.get()));
  glue::check_status(PyObject_SetItem(gvars.get(), GLUE_STR("argv"), empty.get()));
  glue::check_status(PyObject_SetItem(gvars.get(), GLUE_STR("argv0"), GLUE_STR("")));
  glue::check_status(PyObject_SetItem(gvars.get(), GLUE_STR("tcl_interactive"), zero.get()));

  Ref tk = tk_of(self);
  try {
    glue::call_method(tk.get(), GLUE_STR("eval"), GLUE_STR("package require Tclx"));
  } catch (const glue::PythonError&) {
    glue::CaughtError e;
    if (!e.matches(state.TclError)) e.reraise();
    tcl::reraise_with_options(tk.get(), e);
  }
  glue::call_method(self, GLUE_STR("_load_entrypoint"));
  return Ref::borrow(Py_None);
}

Ref interpreter_load_entrypoint(const Args& a) {
  PyObject* self = a[0];
  Ref eps = glue::call_kw(state.iter_entry_points, {state.entrypoint_group}, GLUE_KWNAMES("group"));
  Ref it = glue::check(PyObject_GetIter(eps.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref ep = Ref::steal(raw);
    Ref name = ATTR(ep.get(), "name");
    if (!glue::check_status(PySequence_Contains(state.allowed_entrypoint_keys, name.get()))) {
      Ref module_name = ATTR(ep.get(), "module_name");
      glue::raisef(PyExc_ValueError, "Unknown Tcl entrypoint: %S from %S", name.get(), module_name.get());
    }
    Ref module_name = ATTR(ep.get(), "module_name");
    Ref msg = glue::check(PyUnicode_FromFormat("Loading Tcl-Init from %S", module_name.get()));
    glue::call_method(state.logger, GLUE_STR("debug"), msg.get());
    Ref tcl_init = glue::call_method(ep.get(), GLUE_STR("load"));
    if (!PyCallable_Check(tcl_init.get())) {
      Ref r = glue::repr(tcl_init.get());
      glue::raisef(PyExc_TypeError, "Tcl-Init must be callable, got: %U", r.get());
    }
    glue::call(tcl_init.get(), self);
  }
  if (PyErr_Occurred()) throw glue::PythonError{};
  return Ref::borrow(Py_None);
}

[[noreturn]] void no_attribute(PyObject* self, PyObject* name) {
  Ref msg = glue::check(PyUnicode_FromFormat("'Interpreter' object has no attribute '%S'", name));
  Ref args = glue::tuple_of(msg.get());
  Ref kwargs = glue::new_dict();
  if (PyUnicode_Check(name)) glue::dict_set(kwargs.get(), "name", name);
  glue::dict_set(kwargs.get(), "obj", self);
  Ref exc = glue::call_kw(PyExc_AttributeError, args.get(), kwargs.get());
  glue::raise_instance(exc.get());
}

Ref interpreter_getattr(const Args& a) {
  PyObject* self = a[0];
  PyObject* name = a[1];
  // Read `tk` from the instance itself: looking it up as an attribute before
  // the base class has set it would come straight back here.
  PyObject* tk = instance_dict_item(self, GLUE_STR("tk"));
  if (!tk) no_attribute(self, name);
  Ref tk_ref = Ref::borrow(tk);
  Ref v = glue::lookup_attr(tk, name);
  if (!v) no_attribute(self, name);
  return v;
}

// -- callbacks ------------------------------------------------------------------------

constexpr const char* kBackupPrefix = "::hostAid::_cbBkup::";

Ref generate_callback_cmd_name(PyObject* callback, bool mangle) {
  Ref cmd_name = Ref::borrow(GLUE_STR(""));
  Ref func = glue::lookup_attr(callback, GLUE_STR("__func__"));
  if (!func) func = Ref::borrow(callback);
  if (Ref name = glue::lookup_attr(func.get(), GLUE_STR("__name__"))) cmd_name = name;
  if (!glue::truthy(cmd_name.get()) || mangle) {
    Ref prefix = glue::check(PyUnicode_FromFormat("%llu_", static_cast<unsigned long long>(
                                                               reinterpret_cast<uintptr_t>(callback))));
    cmd_name = glue::check(PyNumber_Add(prefix.get(), cmd_name.get()));
  }
  return cmd_name;
}

Ref interpreter_generate_callback_cmd_name(const Args& a) {
  return generate_callback_cmd_name(a[0], glue::truthy(a[1]));
}

Ref global_cmds(PyObject* self) {
  Ref ns = ATTR(self, "global_ns");
  return ATTR(ns.get(), "cmds");
}

Ref backup_name(PyObject* cmd_name) {
  Ref colon = glue::str_from(":");
  Ref stripped = glue::call_method(cmd_name, GLUE_STR("lstrip"), colon.get());
  Ref prefix = glue::str_from(kBackupPrefix);
  return glue::check(PyUnicode_Concat(prefix.get(), stripped.get()));
}

// Where the n-th command displaced under one name waits (n >= 2; the first
// waits under backup_name).  Forcing over a name that is forced already
// stacks the displaced commands, and removing the callback restores the
// latest one, so each backup level has a name of its own.
Ref stacked_backup_name(PyObject* cmd_name, long level) {
  Ref colon = glue::str_from(":");
  Ref stripped = glue::call_method(cmd_name, GLUE_STR("lstrip"), colon.get());
  Ref prefix = glue::check(PyUnicode_FromFormat("%s__trivex__level%ld::", kBackupPrefix, level));
  return glue::check(PyUnicode_Concat(prefix.get(), stripped.get()));
}

// The name a command handle stands for.  Its str() is the Tcl text of its
// command line, which for a name with spaces or braces is the quoted form
// of the name, not the name.
Ref command_name(PyObject* tclcmd) { return glue::getattr(tclcmd, GLUE_STR("cmd_name")); }

// Whether no command of that exact name exists.  `exists()` asks `info
// commands`, which takes the name as a pattern, and so misses a command
// whose name holds brackets or finds others for one with `*`.
bool command_gone(PyObject* self, PyObject* name) {
  Ref tk = tk_of(self);
  Ref found = glue::call_method(tk.get(), GLUE_STR("call"), GLUE_STR("::namespace"), GLUE_STR("which"),
                                GLUE_STR("-command"), name);
  return !glue::truthy(found.get());
}

// Move the registry entry of a callback whose command Tcl now knows by
// another name.
void follow_rename(PyObject* self, PyObject* from, PyObject* to) {
  Ref registry = ATTR(self, "__callbacks__");
  if (!glue::check_status(PySequence_Contains(registry.get(), from))) return;
  Ref callback = glue::check(PyObject_GetItem(registry.get(), from));
  glue::check_status(PyObject_DelItem(registry.get(), from));
  glue::check_status(PyObject_SetItem(registry.get(), to, callback.get()));
}

Ref interpreter_create_callback(const Args& a) {
  PyObject* self = a[0];
  PyObject* callback = a[1];
  Ref cmd_name = Ref::borrow(a[2]);
  if (!glue::truthy(cmd_name.get())) cmd_name = generate_callback_cmd_name(callback, false);
  cmd_name = glue::str(cmd_name.get());
  Ref cmds = global_cmds(self);
  Ref tclcmd = glue::check(PyObject_GetItem(cmds.get(), cmd_name.get()));
  cmd_name = command_name(tclcmd.get());
  if (!command_gone(self, cmd_name.get())) {
    if (!glue::truthy(a[3]))
      glue::raisef(PyExc_ValueError, "Cannot create command '%U': command already exists", cmd_name.get());
    Ref backup = backup_name(cmd_name.get());
    for (long level = 2; !command_gone(self, backup.get()); ++level) backup = stacked_backup_name(cmd_name.get(), level);
    // The backup namespace may not exist yet in a plain interpreter.
    Ref qualifiers = glue::call_method(state.TclNamespace, GLUE_STR("qualifiers"), backup.get());
    Ref tk = tk_of(self);
    glue::call_method(tk.get(), GLUE_STR("call"), GLUE_STR("namespace"), GLUE_STR("eval"), qualifiers.get(),
                      GLUE_STR(""));
    Ref displaced = glue::check(PyObject_GetItem(cmds.get(), cmd_name.get()));
    glue::call_method(displaced.get(), GLUE_STR("rename"), backup.get());
    // A displaced callback stays published, under its backup name, so that
    // it is listed again when it comes back.
    follow_rename(self, cmd_name.get(), backup.get());
  }
  glue::call_method(tclcmd.get(), GLUE_STR("createcommand"), callback);
  Ref registry = ATTR(self, "__callbacks__");
  glue::check_status(PyObject_SetItem(registry.get(), cmd_name.get(), callback));
  return tclcmd;
}

Ref interpreter_remove_callback(const Args& a) {
  PyObject* self = a[0];
  PyObject* callback = a[1];
  Ref tclcmd;
  if (glue::isinstance(callback, state.TclCommand)) {
    tclcmd = Ref::borrow(callback);
  } else {
    Ref cmds = global_cmds(self);
    Ref key = PyCallable_Check(callback) ? generate_callback_cmd_name(callback, false) : Ref::borrow(callback);
    tclcmd = glue::check(PyObject_GetItem(cmds.get(), key.get()));
  }
  Ref cmd_name = command_name(tclcmd.get());
  Ref registry = ATTR(self, "__callbacks__");
  if (!glue::check_status(PySequence_Contains(registry.get(), cmd_name.get())))
    glue::raisef(PyExc_ValueError, "No callback in this interpreter named '%U'", cmd_name.get());
  try {
    glue::call_method(tclcmd.get(), GLUE_STR("delete"));
  } catch (const glue::PythonError&) {
    // A callback may have deleted its own command: then there is nothing
    // left to delete, and the callback is forgotten all the same.
    glue::CaughtError e;
    if (!e.matches(state.TclError) || !command_gone(self, cmd_name.get())) e.reraise();
  }
  glue::check_status(PyObject_DelItem(registry.get(), cmd_name.get()));
  // The latest of the stacked backups comes back.
  Ref backup = backup_name(cmd_name.get());
  for (long level = 2;; ++level) {
    Ref deeper = stacked_backup_name(cmd_name.get(), level);
    if (command_gone(self, deeper.get())) break;
    backup = deeper;
  }
  // Bound arguments given, so that the name is taken whole, not split as a
  // command line.
  Ref no_args = glue::check(PyTuple_New(0));
  Ref bkupcmd = glue::call_kw(state.TclCommand, {backup.get(), no_args.get(), self}, GLUE_KWNAMES("tcl"));
  if (!command_gone(self, backup.get())) {
    glue::call_method(bkupcmd.get(), GLUE_STR("rename"), cmd_name.get());
    follow_rename(self, backup.get(), cmd_name.get());
  }
  return Ref::borrow(Py_None);
}

// -- evaluation -------------------------------------------------------------------------

// The caught TclError becomes a TclError carrying Tcl's errorInfo, with the
// cause suppressed (unless a callback's exception began it), and the options
// of the failure read from `tk` before Tcl runs anything else.  errorInfo is
// the one in those options, which is what ::errorInfo holds now: reading
// the variable again would evaluate on an interpreter that a cancellation
// may have left unwound.
[[noreturn]] void raise_with_error_info(PyObject* self, PyObject* tk, const glue::CaughtError& caught) {
  tcl::Failure failure = tcl::read_failure(tk);
  Ref exc = tcl::failure_error(tk, failure);
  if (!exc) {
    Ref info;
    try {
      Ref vars = ATTR(self, "vars");
      info = glue::check(PyObject_GetItem(vars.get(), GLUE_STR("::errorInfo")));
    } catch (const glue::PythonError&) {
      glue::CaughtError e;
      raise_during(Ref::borrow(e.value()), caught.value());
    }
    exc = new_exception(state.TclError, info.get());
  }
  tcl::raise_failure(std::move(exc), caught.value());
}

GLUE_BODY(interpreter_eval, self, code, typecast, record) {
  if (glue::truthy(record)) {
    Ref history = GLUE_MEMBER(self, "history");
    GLUE_CALL(history.get(), "append", code);
  }
  Ref tk = tk_of(self);
  Ref result;
  try {
    result = GLUE_CALL(tk.get(), "eval", code);
  } catch (const glue::PythonError&) {
    glue::CaughtError e;
    if (!e.matches(state.TclError)) e.reraise();
    raise_with_error_info(self, tk.get(), e);
  }
  if (glue::truthy(typecast)) return GLUE_CALL(self, "cast_any", result.get());
  return result;
}

Ref interpreter_get_error_info(const Args& a) {
  Ref ns = ATTR(a[0], "global_ns");
  Ref vars = ATTR(ns.get(), "vars");
  return glue::check(PyObject_GetItem(vars.get(), GLUE_STR("errorInfo")));
}

// -- typed access -------------------------------------------------------------------------

Ref read_var(PyObject* self, PyObject* name) {
  Ref vars = GLUE_MEMBER(self, "vars");
  return glue::check(PyObject_GetItem(vars.get(), name));
}

void write_var(PyObject* self, PyObject* name, PyObject* value) {
  Ref vars = GLUE_MEMBER(self, "vars");
  glue::check_status(PyObject_SetItem(vars.get(), name, value));
}

Ref cast_list(PyObject* value, PyObject* item_cast);
Ref cast_keyed_list(PyObject* value, PyObject* item_cast);

Ref interpreter_get_array(const Args& a) {
  Ref vars = ATTR(a[0], "vars");
  return glue::call_method(vars.get(), GLUE_STR("array_get"), a[1]);
}
Ref interpreter_get_list(const Args& a) { return cast_list(read_var(a[0], a[1]).get(), Py_None); }
Ref interpreter_get_keyed_list(const Args& a) { return cast_keyed_list(read_var(a[0], a[1]).get(), Py_None); }
Ref interpreter_get_int(const Args& a) {
  return GLUE_CALL(a[0], "cast_int", read_var(a[0], a[1]).get());
}
Ref interpreter_get_boolean(const Args& a) {
  return GLUE_CALL(a[0], "cast_boolean", read_var(a[0], a[1]).get());
}
Ref interpreter_get_double(const Args& a) {
  return GLUE_CALL(a[0], "cast_double", read_var(a[0], a[1]).get());
}
GLUE_BODY(interpreter_get_var, self, name) { return read_var(self, name); }

Ref interpreter_set_array(const Args& a) {
  Ref vars = ATTR(a[0], "vars");
  glue::call_method(vars.get(), GLUE_STR("array_set"), a[1], a[2]);
  return Ref::borrow(Py_None);
}
Ref interpreter_set_keyed_list(const Args& a) {
  Ref obj = Ref::borrow(a[2]);
  if (!glue::isinstance(obj.get(), state.NestMap)) obj = glue::call(state.NestMap, obj.get());
  write_var(a[0], a[1], obj.get());
  return Ref::borrow(Py_None);
}
GLUE_BODY(interpreter_set_var, self, name, value) {
  write_var(self, name, value);
  return Ref::borrow(Py_None);
}
Ref interpreter_set_boolean(const Args& a) {
  Ref v = glue::check(PyLong_FromLong(glue::truthy(a[2]) ? 1 : 0));
  write_var(a[0], a[1], v.get());
  return Ref::borrow(Py_None);
}
Ref interpreter_set_list(const Args& a) {
  Ref from_sequence = glue::getattr(state.tclobj, GLUE_STR("from_sequence"));
  Ref words = glue::call(from_sequence.get(), a[2]);
  write_var(a[0], a[1], words.get());
  return Ref::borrow(Py_None);
}

// -- casts ------------------------------------------------------------------------------------

Ref map_tuple(PyObject* items, PyObject* item_cast) {
  Ref out = glue::new_list();
  cv::for_each_item(items, [&](PyObject* item) {
    Ref v = glue::call(item_cast, item);
    glue::list_append(out.get(), v.get());
  });
  return glue::check(PyList_AsTuple(out.get()));
}

Ref cast_list(PyObject* value, PyObject* item_cast) {
  PyObject* r = PyObject_Vectorcall(state.GetListFromAny, &value, 1, nullptr);
  if (!r) {
    glue::CaughtError e;
    if (!e.matches(state.TclError)) e.reraise();
    glue::raise_from(new_exception(PyExc_ValueError, e.value()), e.value(), e.value());
  }
  Ref result = Ref::steal(r);
  if (item_cast != Py_None) result = map_tuple(result.get(), item_cast);
  return result;
}

Ref interpreter_cast_list(const Args& a) { return cast_list(a[0], a[1]); }

// self.getint(value) / self.getdouble(value): tkinter's readers, with Tcl's
// error turned into ValueError as they do.
Ref tk_reader(PyObject* self, PyObject* method, bool own, PyObject* tk_method, PyObject* value) {
  if (!own) return glue::call_method(self, method, value);
  Ref tk = tk_of(self);
  PyObject* argv[] = {tk.get(), value};
  PyObject* r = PyObject_VectorcallMethod(tk_method, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (r) return Ref::steal(r);
  glue::CaughtError e;
  if (!e.matches(state.TclError)) e.reraise();
  Ref text = glue::str(e.value());
  raise_during(new_exception(PyExc_ValueError, text.get()), e.value());
}

// cast_int / cast_double: the reader, retried once with the value's Tcl text
// when the reader does not take its type.
Ref number_cast(PyObject* self, PyObject* value, bool integer) {
  PyObject* method = integer ? GLUE_STR("getint") : GLUE_STR("getdouble");
  bool own = integer ? OURS(self, "getint") : OURS(self, "getdouble");
  try {
    return tk_reader(self, method, own, method, value);
  } catch (const glue::PythonError&) {
    glue::CaughtError e;
    if (!e.matches(PyExc_TypeError)) e.reraise();
  }
  Ref text = cv::quotify(value);
  own = integer ? OURS(self, "getint") : OURS(self, "getdouble");
  return tk_reader(self, method, own, method, text.get());
}

Ref interpreter_cast_int(const Args& a) { return number_cast(a[0], a[1], true); }
Ref interpreter_cast_double(const Args& a) { return number_cast(a[0], a[1], false); }

using tcl::tkapp_interp;

void reset_result(PyObject* self) {
  Ref tk = tk_of(self);
  tcl::api().ResetResult(tkapp_interp(tk.get()));
}

Ref interpreter_cast_boolean(const Args& a) {
  PyObject* self = a[0];
  PyObject* value = a[1];
  reset_result(self);
  Ref tk = tk_of(self);
  try {
    try {
      Ref r = glue::call_method(tk.get(), GLUE_STR("getboolean"), value);
      return Ref::borrow(glue::truthy(r.get()) ? Py_True : Py_False);
    } catch (const glue::PythonError&) {
      glue::CaughtError e;
      if (!e.matches(PyExc_TypeError)) e.reraise();
      Ref text = cv::quotify(value);
      Ref r = glue::call_method(tk.get(), GLUE_STR("getboolean"), text.get());
      return Ref::borrow(glue::truthy(r.get()) ? Py_True : Py_False);
    }
  } catch (const glue::PythonError&) {
    glue::CaughtError exc;
    if (!exc.matches(state.TclError)) exc.reraise();
    for (PyObject* method : {GLUE_STR("cast_int"), GLUE_STR("cast_double")}) {
      Ref n = glue::unless_raises({PyExc_ValueError}, [&] { return glue::call_method(self, method, value); });
      if (!n) continue;
      Ref zero = glue::check(PyLong_FromLong(0));
      int ne = glue::check_status(PyObject_RichCompareBool(n.get(), zero.get(), Py_NE));
      return Ref::borrow(ne ? Py_True : Py_False);
    }
    glue::raise_from(new_exception(PyExc_ValueError, exc.value()), exc.value(), exc.value());
  }
}

Ref interpreter_cast_array(const Args& a) {
  Ref result = glue::call_method(state.Array, GLUE_STR("from_tcl"), a[0]);
  if (a[1] != Py_None) {
    Ref items = glue::call_method(result.get(), GLUE_STR("items"));
    Ref snapshot = glue::check(PySequence_List(items.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(snapshot.get(), i);
      Ref v = glue::call(a[1], PyTuple_GET_ITEM(pair, 1));
      glue::check_status(PyObject_SetItem(result.get(), PyTuple_GET_ITEM(pair, 0), v.get()));
    }
  }
  return result;
}

Ref cast_keyed_list(PyObject* value, PyObject* item_cast) {
  Ref result = glue::call_method(state.NestMap, GLUE_STR("from_tcl"), value);
  if (item_cast != Py_None) {
    Ref items = glue::call_method(result.get(), GLUE_STR("all_items"));
    Ref it = glue::check(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref pair = Ref::steal(raw);
      Ref key = glue::check(PySequence_GetItem(pair.get(), 0));
      Ref item = glue::check(PySequence_GetItem(pair.get(), 1));
      Ref v = glue::call(item_cast, item.get());
      glue::check_status(PyObject_SetItem(result.get(), key.get(), v.get()));
    }
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  return result;
}

Ref interpreter_cast_keyed_list(const Args& a) { return cast_keyed_list(a[0], a[1]); }

// -- cast_any's exact shortcut ---------------------------------------------------------------

using trivex::from_tcl::Answer;
using trivex::from_tcl::looks_like_keyed_list;
using trivex::from_tcl::tcl_integer;

// Whether text is too long to be tried as a number: longer than Python's
// own limit on the digits of an int (read now, as int() reads it; 0 means
// no limit).  Tcl's number reader takes time quadratic in the length, and
// cast_any would run it twice.  No limit can be set below
// sys.int_info.str_digits_check_threshold, so shorter text needs no look.
bool beyond_digit_limit(PyObject* text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (n <= state.digits_check_threshold) return false;
  Ref limit = glue::call(state.get_int_max_str_digits);
  Py_ssize_t max = PyLong_AsSsize_t(limit.get());
  if (max == -1 && PyErr_Occurred()) throw glue::PythonError{};
  return max > 0 && n > max;
}

// cast_any's answer for text when the class's readers are its own, asked
// without raising: a value, or "only a keyed list is left to try", or
// "ask the readers" where the shortcut cannot be exact.
struct TextGuess {
  Ref value;
  bool try_keyed_list = false;
};

TextGuess cast_any_text(PyObject* self, PyObject* text, bool numbers) {
  tk_of(self);  // the thread and the interpreter may be used
  TextGuess guess;
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (!s) {
    PyErr_Clear();  // not UTF-8 encodable: the readers would refuse it too
    return guess;
  }
  if (static_cast<size_t>(n) != std::strlen(s)) return guess;  // embedded NUL: the readers refuse it
  const tcl::Api& api = tcl::api();
  if (numbers) {
    switch (tcl_integer(api, s, n, guess.value)) {
      case Answer::yes: return guess;
      case Answer::ask_python: return guess;
      case Answer::no: break;
    }
    double d = 0;
    if (api.GetDouble(nullptr, s, &d) == tcl::TCL_OK) {
      guess.value = glue::check(PyFloat_FromDouble(d));
      return guess;
    }
    reset_result(self);
    int b = 0;
    if (api.GetBoolean(nullptr, s, &b) == tcl::TCL_OK) {
      guess.value = Ref::borrow(b ? Py_True : Py_False);
      return guess;
    }
  }
  if (n == 0 || !looks_like_keyed_list(api, s, static_cast<size_t>(n)))
    guess.value = Ref::borrow(text);
  else
    guess.try_keyed_list = true;
  return guess;
}

Ref interpreter_cast_any(const Args& a) {
  PyObject* self = a[0];
  Ref value = Ref::borrow(a[1]);
  PyTypeObject* t = Py_TYPE(value.get());
  if (t == &PyTuple_Type) {
    Ref cast = glue::getattr(self, GLUE_STR("cast_list"));
    return glue::call_kw(cast.get(), {value.get(), state.quotify}, GLUE_KWNAMES("item_cast"));
  }
  if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return value;
  if (reinterpret_cast<PyObject*>(t) == state.Tcl_Obj) {
    Ref typename_ = glue::getattr(value.get(), GLUE_STR("typename"));
    if (PyUnicode_Check(typename_.get()) && PyUnicode_CompareWithASCIIString(typename_.get(), "keyedList") == 0)
      return cast_keyed_list(value.get(), Py_None);
  }
  value = glue::str(value.get());

  bool own = OURS(self, "cast_int", "cast_double", "cast_boolean", "getint", "getdouble");
  bool numbers = !beyond_digit_limit(value.get());
  TextGuess guess;
  if (own) {
    guess = cast_any_text(self, value.get(), numbers);
    if (guess.value) return guess.value;
  }
  if (numbers && !guess.try_keyed_list) {
    for (PyObject* method : {GLUE_STR("cast_int"), GLUE_STR("cast_double"), GLUE_STR("cast_boolean")}) {
      Ref r = glue::unless_raises({PyExc_TypeError, PyExc_ValueError},
                            [&] { return glue::call_method(self, method, value.get()); });
      if (r) return r;
    }
  }
  if (PyUnicode_GET_LENGTH(value.get()) != 0) {
    Ref r = glue::unless_raises({PyExc_TypeError, PyExc_ValueError}, [&] { return cast_keyed_list(value.get(), Py_None); });
    if (r) return r;
  }
  return value;
}

// -- help texts ---------------------------------------------------------------------------------

const char* const kModuleDoc =
    "The Tcl interpreter of trivex.tcl.\n"
    "\n"
    "Implements Interpreter, a tkinter.Tk without the Tk toolkit that loads\n"
    "TclX, runs the initialisation hooks other packages register, evaluates\n"
    "Tcl, reads and writes Tcl variables with typecasts and publishes Python\n"
    "callables as Tcl commands; and _global_interpreter, the shared\n"
    "Interpreter whose public names the package publishes as functions.";

const char* const kClassDoc =
    "A Tcl bridge with typecasting and variable access.\n"
    "\n"
    "An Interpreter owns one Tcl interpreter (no Tk window), with TclX loaded\n"
    "and the initialisation hooks of the entry-point group \"trivex.tcl\" run.\n"
    "\n"
    "Examples:\n"
    "    >>> interp = Interpreter()\n"
    "    >>> interp.eval('expr {6 * 7}', typecast=True)\n"
    "    42\n"
    "    >>> interp.j.string('toupper', 'abc')\n"
    "    'ABC'";

const char* const kInitDoc = "Create the Tcl interpreter, load TclX and run the initialisation hooks.";

const char* const kLoadEntrypointDoc =
    "Run the initialisation hooks registered under the entry-point group \"trivex.tcl\".\n"
    "\n"
    "Each hook is called with the interpreter as its only argument.\n"
    "\n"
    "Raises:\n"
    "    ValueError: an entry point's name is not allowed.\n"
    "    TypeError: an entry point does not load a callable.";

const char* const kGetattrDoc = "Look attributes the Interpreter lacks up on its Tcl application object.";

const char* const kGenerateDoc =
    "Make a Tcl command name for a Python callable.\n"
    "\n"
    "Arguments:\n"
    "    callback: the callable (a bound method counts by its function's name).\n"
    "    mangle_cmd_name: prefix the name with the callable's id and \"_\".\n"
    "\n"
    "Returns:\n"
    "    The callable's __name__, or \"<id>_<name>\" when mangled or nameless.";

const char* const kCreateCallbackDoc =
    "Publish a Python callable as a Tcl command.\n"
    "\n"
    "Tcl calls it with the command's words as str arguments; what it returns\n"
    "becomes the command's result.  An exception it raises becomes a Tcl\n"
    "error naming the exception, with the Python traceback in errorInfo.\n"
    "\n"
    "Arguments:\n"
    "    callback: the callable.\n"
    "    cmd_name: the command name, resolved from the global namespace;\n"
    "        by default the callable's name.\n"
    "    force: publish over an existing command, which is moved into the\n"
    "        namespace ::hostAid::_cbBkup and restored by remove_callback().\n"
    "\n"
    "Returns:\n"
    "    The TclCommand of the new command.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the command exists and force is false.";

const char* const kRemoveCallbackDoc =
    "Withdraw a callback published with create_callback().\n"
    "\n"
    "A command that the callback displaced is put back.\n"
    "\n"
    "Arguments:\n"
    "    callback: the callable, its command name, or the TclCommand that\n"
    "        create_callback() returned.\n"
    "\n"
    "Raises:\n"
    "    ValueError: no callback of that name is published here.";

const char* const kEvalDoc =
    "Evaluate a Tcl script.\n"
    "\n"
    "Arguments:\n"
    "    code: the script.\n"
    "    typecast: return the result through cast_any() instead of as text.\n"
    "    record: append the script to history first.\n"
    "\n"
    "Returns:\n"
    "    The script's result.\n"
    "\n"
    "Raises:\n"
    "    TclError: the script failed; its argument is Tcl's errorInfo, and\n"
    "        its attributes hold Tcl's return options of the failure:\n"
    "        result (the message), errorcode and errorstack (tuples of\n"
    "        words), errorinfo, errorline, code and level.\n"
    "\n"
    "Examples:\n"
    "    >>> interp.eval('set a 5')\n"
    "    '5'\n"
    "    >>> interp.eval('expr {1+1}', typecast=True)\n"
    "    2";

const char* const kGetErrorInfoDoc = "Return the global Tcl variable errorInfo: the trace of the last error.";

const char* const kGetArrayDoc = "Read a Tcl array variable into an Array.";
const char* const kGetListDoc = "Read a Tcl variable as a list: a tuple of strings.";
const char* const kGetKeyedListDoc = "Read a Tcl variable holding a TclX keyed list into a NestMap.";
const char* const kGetIntDoc = "Read a Tcl variable as an integer (Tcl's integer syntax).";
const char* const kGetBooleanDoc = "Read a Tcl variable as a boolean (Tcl's boolean words, or a number).";
const char* const kGetDoubleDoc = "Read a Tcl variable as a float.";
const char* const kGetVarDoc = "Read a Tcl variable's value as text.";
const char* const kSetArrayDoc = "Write the items of a mapping into a Tcl array variable (one array set).";
const char* const kSetKeyedListDoc = "Write a mapping (made a NestMap) into a Tcl variable as a keyed list.";
const char* const kSetVarDoc = "Write a value into a Tcl variable, converted by tclobj().";
const char* const kSetBooleanDoc = "Write 1 or 0 into a Tcl variable, by the value's truth.";
const char* const kSetListDoc = "Write the items of an iterable into a Tcl variable as a list.";

const char* const kCastListDoc =
    "Read a value as a Tcl list.\n"
    "\n"
    "Arguments:\n"
    "    value: Tcl list text, a Tcl object, or a Python sequence (taken as the\n"
    "        list itself; a tuple is returned as it is).\n"
    "    item_cast: a callable applied to every element.\n"
    "\n"
    "Returns:\n"
    "    A tuple of the elements.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the text is not a well-formed Tcl list.\n"
    "\n"
    "Examples:\n"
    "    >>> Interpreter.cast_list('1 {2 3}')\n"
    "    ('1', '2 3')";

const char* const kCastIntDoc =
    "Read a value as an integer with Tcl's integer syntax (\"12\", \"0x10\").\n"
    "\n"
    "Raises:\n"
    "    ValueError: the value is not an integer for Tcl.";

const char* const kCastDoubleDoc =
    "Read a value as a float with Tcl's number syntax.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the value is not a number for Tcl.";

const char* const kCastBooleanDoc =
    "Read a value as a boolean.\n"
    "\n"
    "Tcl's boolean words (any case, any unique abbreviation) and numbers\n"
    "(zero is false) are accepted.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the value is neither a boolean word nor a number.";

const char* const kCastArrayDoc =
    "Read the result of Tcl's \"array get\" (name, value, ...) into an Array.\n"
    "\n"
    "Arguments:\n"
    "    value: the flat list.\n"
    "    item_cast: a callable applied to every value.";

const char* const kCastKeyedListDoc =
    "Read a TclX keyed list into a NestMap.\n"
    "\n"
    "Arguments:\n"
    "    value: keyed-list text or a Tcl object.\n"
    "    item_cast: a callable applied to every leaf value.";

const char* const kCastAnyDoc =
    "Guess the Python value of a Tcl result.\n"
    "\n"
    "A tuple gives a tuple of its items' Tcl text; int, float and bool stay\n"
    "as they are; a TclX keyed-list object gives a NestMap.  Text becomes, in\n"
    "this order of trial, an int, a float, a bool, a NestMap (a list of\n"
    "key/value pairs), or stays the text.  Text longer than Python's limit\n"
    "on the digits of an int (sys.get_int_max_str_digits()) is not tried as\n"
    "a number or a boolean.\n"
    "\n"
    "Examples:\n"
    "    >>> interp.cast_any('0x10'), interp.cast_any('2.5'), interp.cast_any('yes')\n"
    "    (16, 2.5, True)\n"
    "    >>> interp.cast_any('hello world')\n"
    "    'hello world'";

Ref make_interpreter_class(const char* module) {
  glue::ClassBody body("Interpreter", module);
  Ref max_history = glue::check(PyLong_FromLong(9999));
  body.add("__MAX_HISTORY__", max_history.get());
  body.method({"__init__", "(self)", interpreter_init, kInitDoc});
  body.method({"_load_entrypoint", "(self)", interpreter_load_entrypoint, kLoadEntrypointDoc});
  body.method({"__getattr__", "(self, attr)", interpreter_getattr, kGetattrDoc});
  body.staticmethod({"generate_callback_cmd_name", "(callback, mangle_cmd_name=False)",
                     interpreter_generate_callback_cmd_name, kGenerateDoc});
  body.method({"create_callback", "(self, callback, cmd_name=None, force=False)", interpreter_create_callback,
               kCreateCallbackDoc});
  body.method({"remove_callback", "(self, callback)", interpreter_remove_callback, kRemoveCallbackDoc});
  body.method({"eval", "(self, code, typecast=False, record=True)", interpreter_eval, kEvalDoc});
  body.method({"get_errorInfo", "(self)", interpreter_get_error_info, kGetErrorInfoDoc});
  body.method({"get_array", "(self, name)", interpreter_get_array, kGetArrayDoc});
  body.method({"get_list", "(self, name)", interpreter_get_list, kGetListDoc});
  body.method({"get_keyed_list", "(self, name)", interpreter_get_keyed_list, kGetKeyedListDoc});
  body.method({"get_int", "(self, name)", interpreter_get_int, kGetIntDoc});
  body.method({"get_boolean", "(self, name)", interpreter_get_boolean, kGetBooleanDoc});
  body.method({"get_double", "(self, name)", interpreter_get_double, kGetDoubleDoc});
  body.method({"get_var", "(self, name)", interpreter_get_var, kGetVarDoc});
  body.method({"set_array", "(self, name, obj)", interpreter_set_array, kSetArrayDoc});
  body.method({"set_keyed_list", "(self, name, obj)", interpreter_set_keyed_list, kSetKeyedListDoc});
  PyObject* set_var = body.method({"set_var", "(self, name, value)", interpreter_set_var, kSetVarDoc});
  body.add("set_int", set_var);
  body.add("set_double", set_var);
  body.method({"set_boolean", "(self, name, value)", interpreter_set_boolean, kSetBooleanDoc});
  body.method({"set_list", "(self, name, value)", interpreter_set_list, kSetListDoc});
  body.staticmethod({"cast_list", "(value, item_cast=None)", interpreter_cast_list, kCastListDoc});
  body.method({"cast_int", "(self, value)", interpreter_cast_int, kCastIntDoc});
  body.method({"cast_double", "(self, value)", interpreter_cast_double, kCastDoubleDoc});
  body.method({"cast_boolean", "(self, value)", interpreter_cast_boolean, kCastBooleanDoc});
  body.staticmethod({"cast_array", "(value, item_cast=None)", interpreter_cast_array, kCastArrayDoc});
  body.staticmethod({"cast_keyed_list", "(value, item_cast=None)", interpreter_cast_keyed_list, kCastKeyedListDoc});
  body.method({"cast_any", "(self, value)", interpreter_cast_any, kCastAnyDoc});
  return body.build({state.Tk}, kClassDoc);
}

// __all__ of the shared interpreter: the class's public names in class
// order, then the instance's public attributes in creation order.
void set_public_names(PyObject* interp) {
  Ref names = glue::new_list();
  auto add_public = [&](PyObject* mapping) {
    Ref keys = glue::check(PyMapping_Keys(mapping));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      PyObject* k = PyList_GET_ITEM(keys.get(), i);
      if (PyUnicode_Check(k) && PyUnicode_READ_CHAR(k, 0) != '_') glue::list_append(names.get(), k);
    }
  };
  Ref class_dict = glue::getattr(state.Interpreter, "__dict__");
  add_public(class_dict.get());
  Ref inst_dict = glue::getattr(interp, "__dict__");
  add_public(inst_dict.get());
  glue::setattr(interp, "__all__", names.get());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "interpreter", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_interpreter() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    m.import_module("logging", "logging");
    state.Tk = Ref::borrow(m.import_from("tkinter", "Tk"));
    state.TclError = Ref::borrow(m.import_from("tkinter", "TclError"));
    state.Tcl_Obj = Ref::borrow(m.import_from("_tkinter", "Tcl_Obj"));
    state.iter_entry_points = Ref::borrow(m.import_from(GLUE_MODULE_NAME("_entrypoints"), "iter_entry_points"));
    state.NestMap = Ref::borrow(m.import_from(GLUE_MODULE_NAME("nestmap"), "NestMap"));
    state.Array = Ref::borrow(m.import_from(GLUE_MODULE_NAME("array"), "Array"));
    state.History = Ref::borrow(m.import_from(GLUE_MODULE_NAME("history"), "History"));
    state.tclobj = Ref::borrow(m.import_from(GLUE_MODULE_NAME("quotify"), "tclobj"));
    state.GetListFromAny = Ref::borrow(m.import_from(GLUE_MODULE_NAME("internal"), "GetListFromAny"));
    m.import_from(GLUE_MODULE_NAME("internal"), "TclDLL");
    state.TclNamespace = Ref::borrow(m.import_from(GLUE_MODULE_NAME("namespace"), "TclNamespace"));
    state.TclCommand = Ref::borrow(m.import_from(GLUE_MODULE_NAME("namespace"), "TclCommand"));
    state.quotify = Ref::borrow(m.import_from(GLUE_MODULE_NAME("quotify"), "quotify"));
    state.J = Ref::borrow(m.import_from(GLUE_MODULE_NAME("j"), "J"));
    state.entrypoint_group = glue::str_from(GLUE_PACKAGE);
    m.add("TCL_INIT_ENTRYPOINT", state.entrypoint_group);
    state.allowed_entrypoint_keys = glue::str_from("tcl_init");
    m.add("TCL_ALLOWED_ENTRYPOINT_KEYS", state.allowed_entrypoint_keys);
    Ref get_logger = glue::import_attr("logging", "getLogger");
    Ref logger_name = glue::str_from(kModule);
    state.logger = glue::call(get_logger.get(), logger_name.get());
    m.add("logger", state.logger);

    state.finalize = glue::import_attr("weakref", "finalize");
    state.SimpleNamespace = glue::import_attr("types", "SimpleNamespace");
    state.end_quietly = glue::make_function({"_end_tcl", "(tk)", end_quietly, nullptr}, kModule);
    state.skip_profile =
        glue::make_function({"readprofile", "(baseName, className)", skip_profile, nullptr}, kModule);
    state.get_int_max_str_digits = glue::import_attr("sys", "get_int_max_str_digits");
    Ref int_info = glue::import_attr("sys", "int_info");
    Ref threshold = glue::getattr(int_info.get(), "str_digits_check_threshold");
    state.digits_check_threshold = PyLong_AsSsize_t(threshold.get());
    if (state.digits_check_threshold == -1 && PyErr_Occurred()) throw glue::PythonError{};
    Ref cls = make_interpreter_class(kModule);
    state.Interpreter = cls;
    state.origin.take(state.Interpreter);
    m.add("Interpreter", cls.get());

    Ref shared = glue::call(cls.get());
    set_public_names(shared.get());
    m.add("_global_interpreter", shared.get());
  });
}
