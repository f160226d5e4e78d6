// Module trivex.tcl.namespace: Python handles for what a Tcl interpreter
// holds by name (variables, arrays, commands, namespaces), their temporary
// forms, and the namespace views.
//
// How it is built.  The classes are ordinary Python classes made by their
// metaclass from glue functions (klass.hpp), so MRO, super(), ABC mixins and
// instance __dict__ are Python's own.  Instance state lives in the instance
// dict; the interpreter is always held through a weakref.proxy, and nothing
// here keeps a C pointer to an interpreter beyond one call, so a collected
// interpreter shows up as the proxy's ReferenceError and never as a dangling
// pointer.
//
// Faithfulness and speed.  Every method does what the equivalent Python
// method would: attributes and methods are looked up on the instance, other
// classes through the module's globals at call time.  The hot paths
// (reading and writing variables and array elements, calling a command,
// looking a variable up through a view) take shortcuts only where they
// provably give the same answer: an attribute is read straight from the
// instance dict when the class defines nothing of that name; a method runs
// in C++ when the type's lookup yields our function and the instance dict
// does not shadow it; a view lookup skips the TclVariable it would make and
// drop while that class is unmodified since load.  Such verdicts, and the
// values read, are remembered per call site for as long as the version tags
// of the type and of the dict they came from are unchanged (CPython never
// reuses a tag, so a match proves nothing was modified).  The glue gives
// the item-access and call slots of the classes, and the positional calls of
// every method, a direct way to the method's body.
//
// Python callables as Tcl commands.  tkinter's own command (argument and
// result conversion) stays in charge; we register a small wrapper as the
// callable and put a C function in front of tkinter's in the Tcl command
// record.  When the user's callable raises, the wrapper writes the error's
// text and traceback into the frame its interposer opened (a per-thread
// chain of frames on the C stack) and returns normally; the interposer then
// turns the call into a Tcl error with that message, errorInfo and
// errorCode.  The interposer runs while tkinter has released the GIL, so it
// touches only plain C++ data and Tcl.  A command may be deleted while it
// runs (Tcl then frees its client data at once), so the interposer's record
// is counted and the wrapper holds itself and the callable for the call.
//
// Files and names.  One file per class family (names, variables, arrays,
// commands, namespaces, views), each ending with the function that fills its
// classes' bodies; this file holds the module state (one struct, `state`),
// the helpers they share (declared in state.hpp) and the module's init.  An
// entry point, the body a class names, is called <family>_<method>
// (var_get_obj, arr_len, cmd_call, tempcmd_exit, ns_children,
// variables_view_get, objects_view_array_get, ...) and receives the
// parameters of its signature by name; where other entry points need the
// same work, it is an implementation named for what it does (get_obj,
// dunder_call, view_getitem), which they call directly.
//
// Values bound for tkinter (words, variable values, callback results) pass
// through to_tcl.hpp (tkvalue) first: tkinter does not check its conversion
// of the items of a tuple or list, so a value it cannot carry is refused
// here, with a Python error, before it reaches tkinter.

#include "state.hpp"

namespace trivex::namespace_module {

// ---------------------------------------------------------------------------
// Module state: set once at import, alive for the process.

State state;

// obj.name(*args), keyword values last as in glue::call_kw.
Ref vmethod(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  PyObject* buf[12];
  buf[0] = obj;
  size_t n = 1;
  for (PyObject* a : args) buf[n++] = a;
  size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  return glue::check(PyObject_VectorcallMethod(name, buf, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Give `self` an ordinary instance dict holding what it holds now.  Left to
// itself, CPython keeps instance attributes in a form shared by the class
// and turns it into a "split" dict at the first C-level dict access.
// CPython 3.11's bytecode caches then serve method calls on the instance
// well but attribute reads badly, and with an ordinary dict the other way
// round; namespaces are read from (ns.vars, ns.cmds), the other objects are
// called, so only namespaces get one.
void use_plain_dict(PyObject* self) {
  PyObject* d = instance_dict(self);
  if (!d) return;
  Ref fresh = glue::new_dict();
  glue::check_status(PyDict_Update(fresh.get(), d));
  glue::check_status(PyObject_GenericSetDict(self, fresh.get(), nullptr));
}

// A weak proxy that the interpreter rule takes as it is: a proxy is as true
// as what it stands for, and an object whose type has no truth hooks is true
// without asking.
bool plain_proxy(PyObject* tcl) {
  if (!PyWeakref_CheckProxy(tcl)) return false;
  PyObject* target = PyWeakref_GET_OBJECT(tcl);
  PyTypeObject* t = Py_TYPE(target);
  return target != Py_None && !(t->tp_as_number && t->tp_as_number->nb_bool) &&
         !(t->tp_as_mapping && t->tp_as_mapping->mp_length) && !(t->tp_as_sequence && t->tp_as_sequence->sq_length);
}

// The interpreter rule shared by every constructor: a false `tcl` means the
// package's default interpreter, and whatever is used is held weakly.
Ref interpreter_proxy(PyObject* tcl) {
  if (plain_proxy(tcl)) return Ref::borrow(tcl);
  Ref t = Ref::borrow(tcl);
  if (!glue::truthy(tcl)) t = glue::import("trivex.tcl");
  if (!PyWeakref_CheckProxy(t.get())) t = glue::check(PyWeakref_NewProxy(t.get(), nullptr));
  return t;
}

// The concatenation of str parts, in one allocation.
Ref concat_all(std::initializer_list<PyObject*> parts) {
  Py_ssize_t total = 0;
  Py_UCS4 maxchar = 0;
  bool narrow = true;
  for (PyObject* p : parts) {
    if (!PyUnicode_Check(p)) {
      Ref acc;
      for (PyObject* q : parts) acc = acc ? concat(acc.get(), q) : Ref::borrow(q);
      return acc;
    }
    total += PyUnicode_GET_LENGTH(p);
    maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p));
    narrow = narrow && PyUnicode_KIND(p) == PyUnicode_1BYTE_KIND;
  }
  Ref out = glue::check(PyUnicode_New(total, maxchar));
  Py_ssize_t at = 0;
  for (PyObject* p : parts) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    if (narrow) std::memcpy(PyUnicode_1BYTE_DATA(out.get()) + at, PyUnicode_1BYTE_DATA(p), static_cast<size_t>(n));
    else if (PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) throw glue::PythonError{};
    at += n;
  }
  return out;
}

// NAME(INDEX) as the element forms of the variable methods write it.
Ref element_name(PyObject* name, PyObject* index) {
  Ref q = quotify(index);
  Ref open = concat(name, GLUE_STR("("));
  Ref with_index = concat(open.get(), q.get());
  return concat(with_index.get(), GLUE_STR(")"));
}

// s.startswith("::"), for any object as Python would ask it.
bool starts_with_sep(PyObject* s) {
  if (PyUnicode_Check(s)) {
    return PyUnicode_GET_LENGTH(s) >= 2 && PyUnicode_READ_CHAR(s, 0) == ':' && PyUnicode_READ_CHAR(s, 1) == ':';
  }
  Ref r = glue::call_method(s, GLUE_STR("startswith"), GLUE_STR("::"));
  return glue::truthy(r.get());
}

// The words `head...` followed by `tail` (an optional last word).
Ref words(std::initializer_list<PyObject*> head, PyObject* tail) {
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(head.size() + (tail ? 1 : 0))));
  Py_ssize_t i = 0;
  for (PyObject* o : head) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  if (tail) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(tail));
  return t;
}

// Send a tuple of words: tk.call(words), one word per element.
Ref tk_call(PyObject* tk, PyObject* w) {
  Ref safe = trivex::tkvalue::words(w);
  return evaluating(tk, [&] { return GLUE_CALL(tk, "call", safe.get()); });
}

// Evaluate a tuple of words as one script: tk.eval(quotify(words)).
Ref tk_eval_words(PyObject* tk, PyObject* w) {
  Ref script = quotify(w);
  return evaluating(tk, [&] { return GLUE_CALL(tk, "eval", script.get()); });
}

// `str.format` of a temporary-name template for the object `self`.
Ref fill_template(PyObject* templ, PyObject* self) {
  Ref text = glue::str(templ);
  Ref fmt = glue::getattr(text.get(), GLUE_STR("format"));
  Ref cls_name = glue::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), GLUE_STR("__name__"));
  Ref id = glue::check(PyLong_FromVoidPtr(self));
  return glue::call_kw(fmt.get(), {cls_name.get(), id.get()}, GLUE_KWNAMES("cls", "id"));
}

// getattr(super(cls, self), name, None), called with `args` when true;
// `found` tells whether it was.
Ref call_next(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, bool& found) {
  Ref sup = glue::super_of(cls, self);
  Ref m = glue::lookup_attr(sup.get(), name);
  found = m && glue::truthy(m.get());
  if (!found) return Ref();
  return glue::call_kw(m.get(), args, nullptr);
}

// ---------------------------------------------------------------------------
// Class construction

void record(ClassInfo& ci, Ref cls) {
  ci.cls = std::move(cls);
  ci.origin.take(ci.cls);
}

const char* const kModuleDoc =
    "An abstraction of Tcl namespaces, variables and commands.\n"
    "\n"
    "Python handles for what a Tcl interpreter holds by name:\n"
    "\n"
    "TclVariable\n"
    "    one Tcl variable, array or array element, read and written in place.\n"
    "TempTclVariable\n"
    "    a TclVariable with a generated name, unset when its with block ends.\n"
    "TclArrayVariable\n"
    "    a Tcl array as a mutable mapping from element name to value.\n"
    "TempTclArrayVariable\n"
    "    a TclArrayVariable with a generated name, unset when its with block\n"
    "    ends.\n"
    "TclCommand\n"
    "    a Tcl command (built-in, procedure or Python callable) as a Python\n"
    "    callable, with bound leading arguments and dashed options.\n"
    "TempTclCommand\n"
    "    a TclCommand with a generated name, usually wrapping a Python\n"
    "    function, deleted when its with block ends or the object goes.\n"
    "TclNamespace\n"
    "    a Tcl namespace: its subcommands, evaluation inside it, name\n"
    "    arithmetic on '::'-separated names, and mapping views of its\n"
    "    variables, variable values, commands and procedures.\n"
    "TempTclNamespace\n"
    "    a namespace with a generated name that exists only inside a with\n"
    "    block.\n"
    "\n"
    "Every object holds its interpreter weakly; when none is given, the\n"
    "package's default interpreter (the trivex.tcl package) is used.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "namespace", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};


}  // namespace trivex::namespace_module

PyMODINIT_FUNC PyInit_namespace() {
  using namespace trivex::namespace_module;
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    state.globals = Ref::borrow(PyModule_GetDict(m.module()));
    m.import_from("collections.abc", "MutableMapping");
    m.import_from("trivex.tcl.quotify", "quotify");
    m.import_from("trivex.tcl.quotify", "tclobj");
    state.TclError = Ref::borrow(m.import_from("tkinter", "TclError"));
    m.import_from("tkinter", "Tk");
    m.import_from("types", "MethodType");
    m.import_module("weakref", "weakref");
    m.import_module("sys", "sys");
    PyObject* functools = m.import_module("functools", "functools");
    state.update_wrapper = glue::getattr(functools, "update_wrapper");
    Ref all = glue::check(Py_BuildValue("(ssssssss)", "TclVariable", "TempTclVariable", "TclArrayVariable",
                                        "TempTclArrayVariable", "TclCommand", "TempTclCommand", "TclNamespace",
                                        "TempTclNamespace"));
    m.add("__all__", all.get());
    {
      Ref flags = glue::import_attr("sys", "flags");
      Ref opt = glue::getattr(flags.get(), "optimize");
      state.asserts = PyLong_AsLong(opt.get()) == 0;
    }
    state.attr_tcl = GLUE_STR("tcl");
    state.attr_cmd_name = GLUE_STR("cmd_name");
    state.attr_args = GLUE_STR("args");
    state.attr_keywords = GLUE_STR("keywords");
    state.attr_cast = GLUE_STR("cast");
    state.attr_logger = GLUE_STR("logger");
    state.marker = glue::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    state.method_caller = glue::make_function({"_call_method", "(obj, name)", method_caller}, kModule);
    cv::types();
    state.view_names = glue::make_function({"_view_names", "(view, subcommand)", view_names}, kModule);
    build_variable_classes(m);
    build_array_classes(m);
    build_command_classes(m);
    build_namespace_classes(m);
  });
}
