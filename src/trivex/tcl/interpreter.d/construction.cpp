// Module trivex.tcl.interpreter: constructing an Interpreter, running the
// initialisation hooks, and the attribute delegation to the Tcl application
// object.
#include "state.hpp"

namespace trivex::interpreter_module {
namespace {

// While the base initialiser runs, the instance's readprofile.
GLUE_BODY(skip_profile, baseName, className) {
  (void)baseName, (void)className;
  return Ref::borrow(Py_None);
}

GLUE_BODY(interpreter_init, self) {
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

GLUE_BODY(interpreter_load_entrypoint, self) {
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

GLUE_BODY(interpreter_getattr, self, attr) {
  // Read `tk` from the instance itself: looking it up as an attribute before
  // the base class has set it would come straight back here.
  PyObject* tk = instance_dict_item(self, GLUE_STR("tk"));
  if (!tk) no_attribute(self, attr);
  Ref tk_ref = Ref::borrow(tk);
  Ref v = glue::lookup_attr(tk, attr);
  if (!v) no_attribute(self, attr);
  return v;
}

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

}  // namespace

void add_construction_methods(glue::ClassBody& body) {
  state.skip_profile =
      glue::make_function({"readprofile", "(baseName, className)", skip_profile, nullptr}, kModule);
  body.method({"__init__", "(self)", interpreter_init, kInitDoc});
  body.method({"_load_entrypoint", "(self)", interpreter_load_entrypoint, kLoadEntrypointDoc});
  body.method({"__getattr__", "(self, attr)", interpreter_getattr, kGetattrDoc});
}

}  // namespace trivex::interpreter_module
