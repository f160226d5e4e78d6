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
// classes through the module's globals at call time.  The few hot paths
// (reading and writing variables and array elements, calling a command,
// looking a variable up through a view) skip those lookups only when they
// provably would find this module's own code: the attribute is read straight
// from the instance dict when the type has no class attribute of that name;
// a method is dispatched in C++ when the type's lookup yields our function
// and the instance dict does not shadow it; a class is instantiated inline
// only while its version tag shows it unmodified since module load.
//
// Python callables as Tcl commands.  tkinter's own command (argument and
// result conversion) stays in charge; we register a small wrapper as the
// callable and put a C function in front of tkinter's in the Tcl command
// record.  When the user's callable raises, the wrapper writes the error's
// text and traceback into the frame its interposer opened (a per-thread
// chain of frames on the C stack) and returns normally; the interposer then
// turns the call into a Tcl error with that message, errorInfo and
// errorCode.  The interposer runs while tkinter has released the GIL, so it
// touches only plain C++ data and Tcl.
#include <dlfcn.h>

#include <string>
#include <vector>

#include "convert.hpp"
#include "names.hpp"
#include "tclapi.hpp"

namespace {

using glue::Args;
using glue::Ref;
namespace cv = trivex::convert;
namespace nm = trivex::names;

constexpr const char* kModule = "trivex.tcl.namespace";
constexpr const char* kTemplate = "'::__trivex__{cls}_{id}_tmp'";

// ---------------------------------------------------------------------------
// Module state: set once at import, alive for the process.

struct ClassInfo {
  PyObject* cls = nullptr;
  unsigned int version = 0;  // tp_version_tag when the module finished loading
};

struct State {
  PyObject* globals = nullptr;  // the module's dict
  PyObject* TclError = nullptr;
  PyObject* marker = nullptr;
  PyObject* update_wrapper = nullptr;
  PyObject* format_exception = nullptr;  // traceback.format_exception, on first error
  bool asserts = true;
  ClassInfo TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable;
  ClassInfo TclCommand, TempTclCommand, TclNamespace, TempTclNamespace;
  ClassInfo VariablesView, ObjectsView, CommandsView, ProcsView;
  // Class-dict entries the fast paths compare against.
  PyObject* var_get_obj = nullptr;
  PyObject* var_get_str = nullptr;
  PyObject* var_set = nullptr;
  PyObject* var_unset = nullptr;
  PyObject* var_exists = nullptr;
  PyObject* var_array_size = nullptr;
  PyObject* var_array_names = nullptr;
  PyObject* cmd_call = nullptr;
  PyObject* cmd_build = nullptr;
  PyObject* cmd_dashed = nullptr;  // the staticmethod object
  PyObject* ns_join = nullptr;     // the function inside the staticmethod
  PyObject* vview_get = nullptr;
  PyObject* oview_get = nullptr;
  PyObject* vview_byref = nullptr;
  PyObject* method_caller = nullptr;  // (obj, name): obj.name(), for lazy iterators
};

State S;

// A per-call-site tuple of interned keyword names for vectorcall.
PyObject* make_kwnames(std::initializer_list<const char*> names) {
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, glue::check(PyUnicode_InternFromString(n)).release());
  return t.release();
}
#define KWNAMES(...)                                                       \
  ([]() -> PyObject* {                                                     \
    static PyObject* const names_ = make_kwnames({__VA_ARGS__});           \
    return names_;                                                         \
  }())

// f(*args) where the trailing len(kwnames) values are keyword arguments.
Ref vcall(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  PyObject* buf[12];
  buf[0] = nullptr;
  size_t n = 0;
  for (PyObject* a : args) buf[1 + n++] = a;
  size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  return glue::check(PyObject_Vectorcall(f, buf + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args), keyword values last as in vcall.
Ref vmethod(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  PyObject* buf[12];
  buf[0] = obj;
  size_t n = 1;
  for (PyObject* a : args) buf[n++] = a;
  size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  return glue::check(PyObject_VectorcallMethod(name, buf, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A module-level name, looked up when the code runs (as Python code would).
Ref global(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(S.globals, name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw glue::PythonError{};
  glue::raisef(PyExc_NameError, "name '%U' is not defined", name);
}
#define GLOBAL(name) global(GLUE_STR(name))

// True while `ci.cls` is unmodified since load: then its methods are ours.
bool unchanged(const ClassInfo& ci) {
  auto* t = reinterpret_cast<PyTypeObject*>(ci.cls);
  return ci.version && (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == ci.version;
}

PyObject* instance_dict(PyObject* self) {
  PyObject** dp = _PyObject_GetDictPtr(self);
  return dp ? *dp : nullptr;
}

// self.<name> for a plain data attribute: read from the instance dict when
// no class attribute of that name could intervene, else the full lookup.
Ref field(PyObject* self, PyObject* name) {
  PyTypeObject* t = Py_TYPE(self);
  if (t->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(t, name)) {
    if (PyObject* d = instance_dict(self)) {
      PyObject* v = PyDict_GetItemWithError(d, name);
      if (v) return Ref::borrow(v);
      if (PyErr_Occurred()) throw glue::PythonError{};
    }
  }
  return glue::getattr(self, name);
}
#define FIELD(self, name) field(self, GLUE_STR(name))

// Whether self.<name> is exactly the class attribute `expected` (our own
// function), so that calling it can skip the Python call.
bool dispatches_to(PyObject* self, PyObject* name, PyObject* expected) {
  PyTypeObject* t = Py_TYPE(self);
  if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, name) != expected) return false;
  if (PyObject* d = instance_dict(self)) {
    int r = PyDict_Contains(d, name);
    if (r < 0) throw glue::PythonError{};
    if (r) return false;
  }
  return true;
}
#define DISPATCHES(self, name, expected) dispatches_to(self, GLUE_STR(name), expected)

// The _tkinter application object of an interpreter held by `tcl` (usually
// a weak proxy).  The referent is kept alive for the attribute lookup.
Ref tk_of(PyObject* tcl) {
  if (PyWeakref_CheckProxy(tcl)) {
    PyObject* target = PyWeakref_GET_OBJECT(tcl);
    if (target == Py_None) glue::raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    Ref hold = Ref::borrow(target);
    return glue::getattr(hold.get(), GLUE_STR("tk"));
  }
  return glue::getattr(tcl, GLUE_STR("tk"));
}

Ref self_tk(PyObject* self) {
  Ref tcl = FIELD(self, "tcl");
  return tk_of(tcl.get());
}

// The interpreter rule shared by every constructor: a false `tcl` means the
// package's default interpreter, and whatever is used is held weakly.
Ref interpreter_proxy(PyObject* tcl) {
  Ref t = Ref::borrow(tcl);
  if (!glue::truthy(tcl)) t = glue::import("trivex.tcl");
  if (!PyWeakref_CheckProxy(t.get())) t = glue::check(PyWeakref_NewProxy(t.get(), nullptr));
  return t;
}

bool is_none(PyObject* o) { return o == Py_None; }

Ref quotify(PyObject* o) { return cv::quotify(o); }
Ref tclobj(PyObject* o) { return cv::tclobj(o); }

// a + b for two str, with Python's error for anything else.
Ref concat(PyObject* a, PyObject* b) { return glue::check(PyUnicode_Concat(a, b)); }

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
    return glue::check_status(static_cast<int>(PyUnicode_Tailmatch(s, GLUE_STR("::"), 0, PY_SSIZE_T_MAX, -1))) != 0;
  }
  Ref r = glue::call_method(s, GLUE_STR("startswith"), GLUE_STR("::"));
  return glue::truthy(r.get());
}

// The words `head...` followed by `tail` (an optional last word).
Ref words(std::initializer_list<PyObject*> head, PyObject* tail = nullptr) {
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(head.size() + (tail ? 1 : 0))));
  Py_ssize_t i = 0;
  for (PyObject* o : head) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  if (tail) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(tail));
  return t;
}

// Send a tuple of words: tk.call(words), one word per element.
Ref tk_call(PyObject* tk, PyObject* w) { return glue::call_method(tk, GLUE_STR("call"), w); }
// Evaluate a tuple of words as one script: tk.eval(quotify(words)).
Ref tk_eval_words(PyObject* tk, PyObject* w) {
  Ref script = quotify(w);
  return glue::call_method(tk, GLUE_STR("eval"), script.get());
}

// `str.format` of a temporary-name template for the object `self`.
Ref fill_template(PyObject* templ, PyObject* self) {
  Ref text = glue::str(templ);
  Ref fmt = glue::getattr(text.get(), GLUE_STR("format"));
  Ref cls_name = glue::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), GLUE_STR("__name__"));
  Ref id = glue::check(PyLong_FromVoidPtr(self));
  return vcall(fmt.get(), {cls_name.get(), id.get()}, KWNAMES("cls", "id"));
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

Ref empty_tuple() { return glue::check(PyTuple_New(0)); }

// The with statement around `body(entered)`.
template <class Body>
Ref with_block(PyObject* mgr, Body&& body) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(mgr));
  Ref enter = glue::getattr(type, GLUE_STR("__enter__"));
  Ref exit = glue::getattr(type, GLUE_STR("__exit__"));
  Ref entered = glue::call(enter.get(), mgr);
  Ref result;
  try {
    result = body(entered.get());
  } catch (const glue::PythonError&) {
    glue::CaughtError err;
    PyObject* exc = err.value();
    PyObject* exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    PyObject* tb_obj = tb ? tb.get() : Py_None;
    // __exit__ runs while the exception is being handled, as in a with block.
    PyObject *st, *sv, *stb;
    PyErr_GetExcInfo(&st, &sv, &stb);
    PyErr_SetExcInfo(Py_NewRef(exc_type), Py_NewRef(exc), Py_XNewRef(tb.get()));
    PyObject* r = PyObject_CallFunctionObjArgs(exit.get(), mgr, exc_type, exc, tb_obj, nullptr);
    PyErr_SetExcInfo(st, sv, stb);
    Ref suppress = glue::check(r);
    if (glue::truthy(suppress.get())) return Ref::borrow(Py_None);
    err.reraise();
  }
  glue::call(exit.get(), mgr, Py_None, Py_None, Py_None);
  return result;
}

// ---------------------------------------------------------------------------
// Name arithmetic (TclNamespace's static methods).

// Text of `obj` after quotify, required to be a str.
Ref name_text(PyObject* obj) {
  Ref s = quotify(obj);
  if (!PyUnicode_Check(s.get()))
    glue::raisef(PyExc_TypeError, "Tcl name must be text, not '%.200s'", Py_TYPE(s.get())->tp_name);
  return s;
}

Ref substring(PyObject* s, size_t start, size_t end) {
  return glue::check(PyUnicode_Substring(s, static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
}

Ref from_ucs4(const std::u32string& text) {
  return glue::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref qualifiers(PyObject* string) {
  Ref s = name_text(string);
  size_t len = cv::with_chars(s.get(), [](const auto* d, size_t n) { return nm::qualifiers_len(d, n); });
  return substring(s.get(), 0, len);
}

Ref tail(PyObject* string) {
  Ref s = name_text(string);
  size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s.get()));
  size_t start = cv::with_chars(s.get(), [](const auto* d, size_t k) { return nm::tail_start(d, k); });
  if (start == 0) return s;
  return substring(s.get(), start, n);
}

[[noreturn]] void invalid_name(PyObject* s) { glue::raisef(PyExc_ValueError, "Invalid Tcl namespace '%U'", s); }

Ref split(PyObject* string) {
  Ref s = name_text(string);
  bool absolute = false;
  std::vector<nm::Piece> pieces;
  bool ok = cv::with_chars(s.get(), [&](const auto* d, size_t n) { return nm::split(d, n, absolute, pieces); });
  if (!ok) invalid_name(s.get());
  Ref out = glue::new_list();
  if (absolute) glue::list_append(out.get(), GLUE_STR(""));
  for (const nm::Piece& p : pieces) {
    Ref piece = substring(s.get(), p.start, p.start + p.len);
    glue::list_append(out.get(), piece.get());
  }
  return out;
}

// normalize() of a str: "::".join(split(s)).
Ref normalize_text(PyObject* s) {
  bool absolute = false;
  std::vector<nm::Piece> pieces;
  std::u32string out;
  bool ok = cv::with_chars(s, [&](const auto* d, size_t n) {
    if (!nm::split(d, n, absolute, pieces)) return false;
    if (absolute && pieces.empty()) return true;  // "::" alone: [""] joins to ""
    nm::write_normalized(d, absolute, pieces, out);
    return true;
  });
  if (!ok) invalid_name(s);
  if (static_cast<Py_ssize_t>(out.size()) == PyUnicode_GET_LENGTH(s) && PyUnicode_CheckExact(s)) {
    // Already normal: the same text.
    return Ref::borrow(s);
  }
  return from_ucs4(out);
}

Ref normalize(PyObject* string) {
  Ref s = name_text(string);
  return normalize_text(s.get());
}

Ref join(PyObject* string, PyObject* const* rest, Py_ssize_t n) {
  Ref s = name_text(string);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref arg = name_text(rest[i]);
    if (PyUnicode_GET_LENGTH(s.get()) == 0 || starts_with_sep(arg.get())) {
      s = arg;
    } else if (PyUnicode_GET_LENGTH(arg.get()) != 0) {
      Ref with_sep = concat(s.get(), GLUE_STR("::"));
      s = concat(with_sep.get(), arg.get());
    }
  }
  return normalize_text(s.get());
}

// TclNamespace.join(a, b) as the module's global name resolves it now.
Ref namespace_join(PyObject* a, PyObject* b) {
  Ref ns_cls = GLOBAL("TclNamespace");
  if (ns_cls.get() == S.TclNamespace.cls && unchanged(S.TclNamespace)) {
    PyObject* rest[] = {b};
    return join(a, rest, 1);
  }
  Ref fn = glue::getattr(ns_cls.get(), GLUE_STR("join"));
  return glue::call(fn.get(), a, b);
}

Ref ns_qualifiers(const Args& a) { return qualifiers(a[0]); }
Ref ns_tail(const Args& a) { return tail(a[0]); }
Ref ns_split(const Args& a) { return split(a[0]); }
Ref ns_normalize(const Args& a) { return normalize(a[0]); }
Ref ns_join(const Args& a) {
  PyObject* rest = a.varargs();
  return join(a[0], &PyTuple_GET_ITEM(rest, 0), PyTuple_GET_SIZE(rest));
}

// ---------------------------------------------------------------------------
// TclVariable

// The namespace Tcl code is running in now.  Evaluated as a script: the
// binding's call() runs every command at global level, so it would answer
// "::" even while `namespace eval` code has called back into Python.
Ref current_namespace(PyObject* tk) {
  return glue::call_method(tk, GLUE_STR("eval"), GLUE_STR("namespace current"));
}

// absolute() of a variable or command name.
Ref absolute_name(PyObject* self, PyObject* name) {
  if (starts_with_sep(name)) return Ref::borrow(name);
  Ref tk = self_tk(self);
  Ref current = current_namespace(tk.get());
  return namespace_join(current.get(), name);
}

Ref var_init(const Args& a) {
  PyObject *self = a[0], *var_name = a[1], *array_index = a[2], *cast = a[4];
  Ref tcl = interpreter_proxy(a[3]);
  glue::setattr(self, GLUE_STR("tcl"), tcl.get());
  glue::setattr(self, GLUE_STR("cast"), cast);
  Ref name = quotify(var_name);
  if (!is_none(array_index)) {
    Ref index = quotify(array_index);
    name = glue::check(PyUnicode_FromFormat("%S(%S)", name.get(), index.get()));
  }
  glue::setattr(self, GLUE_STR("var_name"), name.get());
  return Ref::borrow(Py_None);
}

Ref get_obj(PyObject* self, PyObject* array_index, PyObject* cast) {
  Ref tk = self_tk(self);
  Ref name = FIELD(self, "var_name");
  Ref result;
  if (is_none(array_index)) {
    result = glue::call_method(tk.get(), GLUE_STR("getvar"), name.get());
  } else {
    // The binding takes only text as an element name; convert the others as
    // the writing methods do, so both address the same element.
    Ref index = PyUnicode_Check(array_index) ? Ref::borrow(array_index) : quotify(array_index);
    result = glue::call_method(tk.get(), GLUE_STR("getvar"), name.get(), index.get());
  }
  Ref conv = cast == S.marker ? FIELD(self, "cast") : Ref::borrow(cast);
  if (glue::truthy(conv.get())) return glue::call(conv.get(), result.get());
  return result;
}

Ref var_get_obj(const Args& a) { return get_obj(a[0], a[1], a[2]); }

Ref get_str(PyObject* self, PyObject* array_index) {
  Ref tk = self_tk(self);
  Ref name = FIELD(self, "var_name");
  if (!is_none(array_index)) name = element_name(name.get(), array_index);
  Ref w = words({GLUE_STR("set"), name.get()});
  return tk_eval_words(tk.get(), w.get());
}

Ref var_get_str(const Args& a) { return get_str(a[0], a[1]); }

Ref set_value(PyObject* self, PyObject* value, PyObject* array_index) {
  Ref tk = self_tk(self);
  Ref name = FIELD(self, "var_name");
  if (is_none(array_index)) {
    Ref v = tclobj(value);
    glue::call_method(tk.get(), GLUE_STR("setvar"), name.get(), v.get());
  } else {
    Ref index = quotify(array_index);
    Ref v = tclobj(value);
    glue::call_method(tk.get(), GLUE_STR("setvar"), name.get(), index.get(), v.get());
  }
  return Ref::borrow(Py_None);
}

Ref var_set(const Args& a) { return set_value(a[0], a[1], a[2]); }

Ref unset_value(PyObject* self, PyObject* array_index, PyObject* nocomplain) {
  Ref tk = self_tk(self);
  Ref name = FIELD(self, "var_name");
  try {
    if (is_none(array_index)) {
      glue::call_method(tk.get(), GLUE_STR("unsetvar"), name.get());
    } else {
      Ref index = quotify(array_index);
      glue::call_method(tk.get(), GLUE_STR("unsetvar"), name.get(), index.get());
    }
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(S.TclError)) throw;
    glue::CaughtError err;
    if (!glue::truthy(nocomplain)) err.reraise();
  }
  return Ref::borrow(Py_None);
}

Ref var_unset(const Args& a) { return unset_value(a[0], a[1], a[2]); }

Ref exists_value(PyObject* self, PyObject* array_index) {
  Ref tcl = FIELD(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref name = FIELD(self, "var_name");
  if (!is_none(array_index)) name = element_name(name.get(), array_index);
  Ref w = words({GLUE_STR("::info"), GLUE_STR("exists"), name.get()});
  Ref r = tk_call(tk.get(), w.get());
  return glue::call_method(tcl.get(), GLUE_STR("cast_boolean"), r.get());
}

Ref var_exists(const Args& a) { return exists_value(a[0], a[1]); }

Ref var_array_item_byref(const Args& a) {
  PyObject *self = a[0], *array_index = a[1], *cast = a[2];
  Ref cls = GLOBAL("TclVariable");
  Ref tcl = FIELD(self, "tcl");
  return vcall(cls.get(), {self, array_index, tcl.get(), cast}, KWNAMES("array_index", "tcl", "cast"));
}

// The words ::array SUB NAME [extra]; `extra` null when absent.
Ref array_words(PyObject* self, PyObject* sub, PyObject* extra) {
  Ref name = FIELD(self, "var_name");
  return words({GLUE_STR("::array"), sub, name.get()}, extra);
}

Ref var_array_get_obj(const Args& a) {
  PyObject *self = a[0], *pattern = a[1];
  Ref tcl = FIELD(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("get"), pat.get());
  Ref r = tk_call(tk.get(), w.get());
  return glue::call_method(tcl.get(), GLUE_STR("cast_array"), r.get());
}

Ref var_array_get_str(const Args& a) {
  PyObject *self = a[0], *pattern = a[1];
  Ref tcl = FIELD(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref w = array_words(self, GLUE_STR("get"), is_none(pattern) ? nullptr : pattern);
  Ref r = tk_eval_words(tk.get(), w.get());
  return glue::call_method(tcl.get(), GLUE_STR("cast_array"), r.get());
}

Ref var_array_set(const Args& a) {
  PyObject *self = a[0], *value = a[1];
  Ref tk = self_tk(self);
  Ref v = tclobj(value);
  Ref w = array_words(self, GLUE_STR("set"), v.get());
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

Ref array_unset(PyObject* self, PyObject* pattern) {
  Ref tk = self_tk(self);
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("unset"), pat.get());
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

Ref var_array_unset(const Args& a) { return array_unset(a[0], a[1]); }

Ref array_size(PyObject* self) {
  Ref tk = self_tk(self);
  Ref w = array_words(self, GLUE_STR("size"), nullptr);
  return tk_call(tk.get(), w.get());
}

Ref var_array_size(const Args& a) { return array_size(a[0]); }

Ref array_names(PyObject* self, PyObject* pattern) {
  Ref tcl = FIELD(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("names"), pat.get());
  Ref r = tk_call(tk.get(), w.get());
  return glue::call_method(tcl.get(), GLUE_STR("cast_list"), r.get());
}

Ref var_array_names(const Args& a) { return array_names(a[0], a[1]); }

Ref var_is_array(const Args& a) {
  PyObject* self = a[0];
  Ref tcl = FIELD(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref w = array_words(self, GLUE_STR("exists"), nullptr);
  Ref r = tk_call(tk.get(), w.get());
  return glue::call_method(tcl.get(), GLUE_STR("cast_boolean"), r.get());
}

Ref var_absolute(const Args& a) {
  Ref name = FIELD(a[0], "var_name");
  return absolute_name(a[0], name.get());
}

Ref var_make_absolute(const Args& a) {
  Ref abs = glue::call_method(a[0], GLUE_STR("absolute"));
  glue::setattr(a[0], GLUE_STR("var_name"), abs.get());
  return Ref::borrow(Py_None);
}

Ref var_str(const Args& a) { return FIELD(a[0], "var_name"); }

Ref var_tclobj(const Args& a) {
  Ref name = FIELD(a[0], "var_name");
  return quotify(name.get());
}

Ref type_name(PyObject* self) {
  return glue::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), GLUE_STR("__name__"));
}

Ref var_repr(const Args& a) {
  Ref cls_name = type_name(a[0]);
  Ref name = FIELD(a[0], "var_name");
  return glue::check(PyUnicode_FromFormat("%S(%R)", cls_name.get(), name.get()));
}

// TempTclVariable

Ref tempvar_init(const Args& a) {
  PyObject* self = a[0];
  Ref name = fill_template(a[1], self);
  Ref sup = glue::super_of(S.TempTclVariable.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), a.varkw());
  return Ref::borrow(Py_None);
}

// __enter__ of a temporary class: the next class's result when it has a
// true __enter__, else the object itself.
Ref temp_enter(PyObject* cls, PyObject* self) {
  bool found = false;
  Ref none_args = empty_tuple();
  Ref r = call_next(cls, self, GLUE_STR("__enter__"), none_args.get(), found);
  return found ? r : Ref::borrow(self);
}

// The tail of every temporary __exit__: the next class's answer, or False.
Ref temp_exit_next(PyObject* cls, PyObject* self, PyObject* exc_info) {
  bool found = false;
  Ref r = call_next(cls, self, GLUE_STR("__exit__"), exc_info, found);
  return found ? r : Ref::borrow(Py_False);
}

Ref tempvar_enter(const Args& a) { return temp_enter(S.TempTclVariable.cls, a[0]); }

Ref tempvar_exit(const Args& a) {
  PyObject* self = a[0];
  vmethod(self, GLUE_STR("unset"), {Py_True}, KWNAMES("nocomplain"));
  return temp_exit_next(S.TempTclVariable.cls, self, a.varargs());
}

// ---------------------------------------------------------------------------
// TclArrayVariable

Ref arr_init(const Args& a) {
  PyObject *self = a[0], *var_name = a[1], *tcl = a[2], *cast = a[3];
  Ref sup = glue::super_of(S.TclArrayVariable.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  vcall(init.get(), {var_name, tcl, cast}, KWNAMES("tcl", "cast"));
  return Ref::borrow(Py_None);
}

Ref arr_len(const Args& a) {
  PyObject* self = a[0];
  if (DISPATCHES(self, "array_size", S.var_array_size)) return array_size(self);
  return glue::call_method(self, GLUE_STR("array_size"));
}

// obj.name(): the deferred step of lazily fetched iterations.
Ref method_caller(const Args& a) { return glue::call_method(a[0], a[1]); }

Ref arr_iter(const Args& a) {
  Ref args = glue::tuple_of(a[0], GLUE_STR("array_names"));
  return glue::lazy_iter(S.method_caller, args.get());
}

Ref arr_contains(const Args& a) {
  PyObject *self = a[0], *key = a[1];
  if (DISPATCHES(self, "exists", S.var_exists)) return exists_value(self, key);
  return vmethod(self, GLUE_STR("exists"), {key}, KWNAMES("array_index"));
}

Ref arr_getitem(const Args& a) {
  PyObject *self = a[0], *key = a[1];
  if (DISPATCHES(self, "get", S.var_get_obj)) return get_obj(self, key, S.marker);
  return vmethod(self, GLUE_STR("get"), {key}, KWNAMES("array_index"));
}

Ref arr_setitem(const Args& a) {
  PyObject *self = a[0], *key = a[1], *value = a[2];
  if (DISPATCHES(self, "set", S.var_set)) return set_value(self, value, key);
  vmethod(self, GLUE_STR("set"), {value, key}, KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

Ref arr_delitem(const Args& a) {
  PyObject *self = a[0], *key = a[1];
  if (DISPATCHES(self, "unset", S.var_unset)) return unset_value(self, key, Py_False);
  vmethod(self, GLUE_STR("unset"), {key}, KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

Ref arr_clear(const Args& a) {
  glue::call_method(a[0], GLUE_STR("array_unset"));
  return Ref::borrow(Py_None);
}

Ref arr_update(const Args& a) {
  Ref d = glue::call_kw(reinterpret_cast<PyObject*>(&PyDict_Type), a.varargs(), a.varkw());
  glue::call_method(a[0], GLUE_STR("array_set"), d.get());
  return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// Class construction

void record(ClassInfo& ci, Ref cls) {
  ci.cls = cls.release();
  // A lookup assigns the type its version tag; remember it.
  _PyType_Lookup(reinterpret_cast<PyTypeObject*>(ci.cls), GLUE_STR("__init__"));
  auto* t = reinterpret_cast<PyTypeObject*>(ci.cls);
  ci.version = (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
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

void build_variable_classes(glue::ModuleBuilder& m) {
  {
    glue::ClassBody b("TclVariable", kModule);
    b.add("_TclVariable__marker", S.marker);
    b.method({"__init__", "(self, var_name, array_index=None, tcl=None, cast=None)", var_init});
    PyObject* get_obj_fn =
        b.method({"get_obj", "(self, array_index=None, cast=_TclVariable__marker)", var_get_obj},
                 {{"_TclVariable__marker", S.marker}});
    S.var_get_str = b.method({"get_str", "(self, array_index=None)", var_get_str});
    b.add("get", get_obj_fn);
    S.var_set = b.method({"set", "(self, value, array_index=None)", var_set});
    S.var_unset = b.method({"unset", "(self, array_index=None, nocomplain=False)", var_unset});
    S.var_exists = b.method({"exists", "(self, array_index=None)", var_exists});
    b.method({"array_item_byref", "(self, array_index, cast=None)", var_array_item_byref});
    PyObject* array_get_obj_fn = b.method({"array_get_obj", "(self, pattern=None)", var_array_get_obj});
    b.method({"array_get_str", "(self, pattern=None)", var_array_get_str});
    b.add("array_get", array_get_obj_fn);
    b.method({"array_set", "(self, value)", var_array_set});
    b.method({"array_unset", "(self, pattern=None)", var_array_unset});
    S.var_array_size = b.method({"array_size", "(self)", var_array_size});
    S.var_array_names = b.method({"array_names", "(self, pattern=None)", var_array_names});
    b.method({"is_array", "(self)", var_is_array});
    b.method({"absolute", "(self)", var_absolute});
    b.method({"make_absolute", "(self)", var_make_absolute});
    b.method({"__str__", "(self)", var_str});
    b.method({"__tclobj__", "(self)", var_tclobj});
    b.method({"__repr__", "(self)", var_repr});
    S.var_get_obj = get_obj_fn;
    Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    // Keep the class-dict entries alive with the class (they are borrowed
    // from the body, which goes away).
    for (PyObject** p : {&S.var_get_obj, &S.var_get_str, &S.var_set, &S.var_unset, &S.var_exists,
                         &S.var_array_size, &S.var_array_names})
      Py_INCREF(*p);
    m.add("TclVariable", cls.get());
    record(S.TclVariable, std::move(cls));
  }
  {
    glue::ClassBody b("TempTclVariable", kModule);
    std::string sig = std::string("(self, var_name=") + kTemplate + ", **kwargs)";
    static std::string keep;
    keep = sig;
    b.method({"__init__", keep.c_str(), tempvar_init});
    b.method({"__enter__", "(self)", tempvar_enter});
    b.method({"__exit__", "(self, *exc_info)", tempvar_exit});
    Ref cls = b.build({S.TclVariable.cls});
    m.add("TempTclVariable", cls.get());
    record(S.TempTclVariable, std::move(cls));
  }
  Ref mutable_mapping = glue::import_attr("collections.abc", "MutableMapping");
  {
    glue::ClassBody b("TclArrayVariable", kModule);
    b.method({"__init__", "(self, var_name, tcl=None, cast=None)", arr_init});
    b.add("get", S.var_get_obj);
    b.method({"__len__", "(self)", arr_len});
    b.method({"__iter__", "(self)", arr_iter});
    b.method({"__contains__", "(self, key)", arr_contains});
    b.method({"__getitem__", "(self, key)", arr_getitem});
    b.method({"__setitem__", "(self, key, value)", arr_setitem});
    b.method({"__delitem__", "(self, key)", arr_delitem});
    b.method({"clear", "(self)", arr_clear});
    b.method({"update", "(self, *args, **kwargs)", arr_update});
    Ref cls = b.build({mutable_mapping.get(), S.TclVariable.cls});
    m.add("TclArrayVariable", cls.get());
    record(S.TclArrayVariable, std::move(cls));
  }
  {
    glue::ClassBody b("TempTclArrayVariable", kModule);
    Ref cls = b.build({S.TempTclVariable.cls, S.TclArrayVariable.cls});
    m.add("TempTclArrayVariable", cls.get());
    record(S.TempTclArrayVariable, std::move(cls));
  }
}

void build_namespace_class(glue::ModuleBuilder& m) {
  glue::ClassBody b("TclNamespace", kModule);
  b.staticmethod({"qualifiers", "(string)", ns_qualifiers});
  b.staticmethod({"tail", "(string)", ns_tail});
  S.ns_join = b.staticmethod({"join", "(string, *args)", ns_join});
  Py_INCREF(S.ns_join);
  b.staticmethod({"split", "(string)", ns_split});
  b.staticmethod({"normalize", "(string)", ns_normalize});
  Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  m.add("TclNamespace", cls.get());
  record(S.TclNamespace, std::move(cls));
}

}  // namespace

PyMODINIT_FUNC PyInit_namespace() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    S.globals = PyModule_GetDict(m.module());
    Py_INCREF(S.globals);
    m.import_from("collections.abc", "MutableMapping");
    m.import_from("trivex.tcl.quotify", "quotify");
    m.import_from("trivex.tcl.quotify", "tclobj");
    S.TclError = Py_NewRef(m.import_from("tkinter", "TclError"));
    m.import_from("tkinter", "Tk");
    m.import_from("types", "MethodType");
    m.import_module("weakref", "weakref");
    m.import_module("sys", "sys");
    PyObject* functools = m.import_module("functools", "functools");
    S.update_wrapper = glue::getattr(functools, "update_wrapper").release();
    Ref all = glue::check(Py_BuildValue("(ssssssss)", "TclVariable", "TempTclVariable", "TclArrayVariable",
                                        "TempTclArrayVariable", "TclCommand", "TempTclCommand", "TclNamespace",
                                        "TempTclNamespace"));
    m.add("__all__", all.get());
    {
      Ref flags = glue::import_attr("sys", "flags");
      Ref opt = glue::getattr(flags.get(), "optimize");
      S.asserts = PyLong_AsLong(opt.get()) == 0;
    }
    S.marker = glue::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))).release();
    S.method_caller = glue::make_function({"_call_method", "(obj, name)", method_caller}, kModule).release();
    cv::types();
    build_variable_classes(m);
    build_namespace_class(m);
  });
}
