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
// reuses a tag, so a match proves nothing was modified).  The section "Fast
// entries" below lets a few type slots and functions skip the generic
// argument machinery in the same spirit.
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
// Values bound for tkinter (words, variable values, callback results) pass
// through to_tcl.hpp (tkvalue) first: tkinter does not check its conversion of the
// elements of a list.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "to_tcl.hpp"
#include "core/names.hpp"
#include "bridge/bridge.hpp"

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
  glue::Pristine origin;  // the class as built, for the fast paths' guards
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
  PyObject* view_names = nullptr;     // (view, subcommand): the names a view yields
  PyObject *attr_tcl = nullptr, *attr_cmd_name = nullptr, *attr_args = nullptr, *attr_keywords = nullptr,
           *attr_cast = nullptr, *attr_logger = nullptr;
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

// A module-level name, looked up when the code runs (as Python code would);
// remembered while the module's dict is unmodified (its version tag says).
struct GlobalCache {
  uint64_t version = 0;
  PyObject* value = nullptr;  // borrowed from the module dict
};

Ref global(PyObject* name, GlobalCache& cache) {
  uint64_t version = reinterpret_cast<PyDictObject*>(S.globals)->ma_version_tag;
  if (cache.value && cache.version == version) return Ref::borrow(cache.value);
  PyObject* v = PyDict_GetItemWithError(S.globals, name);
  if (v) {
    cache.version = version;
    cache.value = v;
    return Ref::borrow(v);
  }
  if (PyErr_Occurred()) throw glue::PythonError{};
  glue::raisef(PyExc_NameError, "name '%U' is not defined", name);
}
#define GLOBAL(name)                           \
  ([]() -> Ref {                               \
    static GlobalCache cache_;                 \
    return global(GLUE_STR(name), cache_);     \
  }())

PyObject* instance_dict(PyObject* self) {
  PyObject** dp = _PyObject_GetDictPtr(self);
  return dp ? *dp : nullptr;
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

using glue::SiteCache;

// Whether Python's lookup of obj.<name> consults the instance dict before
// anything else: object's own __getattribute__ and no class attribute of
// that name.
bool plain_attribute(PyTypeObject* t, PyObject* name) {
  return glue::detail::generic_lookup(t) && !_PyType_Lookup(t, name);
}

// self.<a> and self.<b> as two GLUE_MEMBER reads give them, remembered together.
struct PairCache {
  SiteCache site;
  PyObject* second = nullptr;  // borrowed from the same dict as site.value
};

void field_pair(PyObject* self, PyObject* a, PyObject* b, PairCache& cache, Ref& va, Ref& vb) {
  PyTypeObject* t = Py_TYPE(self);
  PyObject* d = instance_dict(self);
  if (cache.site.hit(t, d)) {
    va = Ref::borrow(cache.site.value);
    vb = Ref::borrow(cache.second);
    return;
  }
  if (d && plain_attribute(t, a) && plain_attribute(t, b)) {
    PyObject* x = PyDict_GetItemWithError(d, a);
    if (!x && PyErr_Occurred()) throw glue::PythonError{};
    PyObject* y = x ? PyDict_GetItemWithError(d, b) : nullptr;
    if (!y && PyErr_Occurred()) throw glue::PythonError{};
    if (x && y) {
      cache.site.store(t, d, x);
      cache.second = y;
      va = Ref::borrow(x);
      vb = Ref::borrow(y);
      return;
    }
  }
  va = glue::getattr(self, a);
  vb = glue::getattr(self, b);
}
#define FIELD_PAIR(self, a, b, va, vb)                                       \
  ([](PyObject* self_, Ref& va_, Ref& vb_) {                                 \
    static PairCache cache_;                                                 \
    field_pair(self_, GLUE_STR(a), GLUE_STR(b), cache_, va_, vb_);           \
  }(self, va, vb))

// Whether self.<name>, for each name, is still the class's own function
// as this module built it, so that calling it can skip the Python call.
#define OURS(self, info, ...) GLUE_RELIES_ON(S.info.origin, __VA_ARGS__).holds(self)
// Whether `cls` is exactly the module's class, unchanged in these names.
#define OUR_CLASS(cls, info, ...) GLUE_RELIES_ON(S.info.origin, __VA_ARGS__).class_holds(cls)

// The _tkinter application object of an interpreter held by `tcl` (usually
// a weak proxy).  The referent is kept alive for the attribute lookup.
Ref tk_of(PyObject* tcl) {
  Ref interp = glue::referent(tcl);
  Ref tk = GLUE_MEMBER(interp.get(), "tk");
  trivex::tcl::check_tk(tk.get());
  return tk;
}

Ref self_tk(PyObject* self) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
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

Ref concat3(PyObject* a, PyObject* b, PyObject* c) { return concat_all({a, b, c}); }

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
Ref words(std::initializer_list<PyObject*> head, PyObject* tail = nullptr) {
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(head.size() + (tail ? 1 : 0))));
  Py_ssize_t i = 0;
  for (PyObject* o : head) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  if (tail) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(tail));
  return t;
}

// Run `f`, a call of the binding that evaluates Tcl code on `tk`; a TclError
// from it is raised again carrying the failure's return options.
template <class F>
Ref evaluating(PyObject* tk, F&& f) {
  try {
    return f();
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(S.TclError)) throw;
    glue::CaughtError err;
    trivex::tcl::reraise_with_options(tk, err);
  }
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

bool normal_text(PyObject* s) {
  return cv::with_chars(s, [](const auto* d, size_t n) { return nm::is_normal(d, n); });
}

// normalize() of a str: "::".join(split(s)).
Ref normalize_text(PyObject* s) {
  if (PyUnicode_CheckExact(s) && normal_text(s)) return Ref::borrow(s);
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
      if (n == 1 && PyUnicode_GET_LENGTH(s.get()) == 2 && starts_with_sep(s.get()) && normal_text(arg.get())) {
        // "::" and a normal relative name: normalizing "::::name" gives this.
        return concat(GLUE_STR("::"), arg.get());
      }
      s = concat3(s.get(), GLUE_STR("::"), arg.get());
    }
  }
  return normalize_text(s.get());
}

// TclNamespace.join(a, b) as the module's global name resolves it now.
Ref namespace_join(PyObject* a, PyObject* b) {
  Ref ns_cls = GLOBAL("TclNamespace");
  if (OUR_CLASS(ns_cls.get(), TclNamespace, "join")) {
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
  Ref tcl, name;
  FIELD_PAIR(self, "tcl", "var_name", tcl, name);
  Ref tk = tk_of(tcl.get());
  Ref result;
  if (is_none(array_index)) {
    result = GLUE_CALL(tk.get(), "getvar", name.get());
  } else {
    // The binding takes only text as an element name; convert the others as
    // the writing methods do, so both address the same element.
    Ref index = PyUnicode_Check(array_index) ? Ref::borrow(array_index) : quotify(array_index);
    result = GLUE_CALL(tk.get(), "getvar", name.get(), index.get());
  }
  Ref conv = cast == S.marker ? GLUE_MEMBER(self, "cast") : Ref::borrow(cast);
  if (glue::truthy(conv.get())) return glue::call(conv.get(), result.get());
  return result;
}

Ref var_get_obj(const Args& a) { return get_obj(a[0], a[1], a[2]); }

Ref get_str(PyObject* self, PyObject* array_index) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "var_name");
  if (!is_none(array_index)) name = element_name(name.get(), array_index);
  return evaluating(tk.get(), [&] { return trivex::tktext::var_text(tk.get(), name.get()); });
}

Ref var_get_str(const Args& a) { return get_str(a[0], a[1]); }

// tk.setvar of the variable called `name` (a var_name), as set() does it.
Ref set_named(PyObject* tk, PyObject* name, PyObject* value, PyObject* array_index) {
  if (is_none(array_index)) {
    Ref v = tclobj(value);
    v = trivex::tkvalue::word(v.get());
    GLUE_CALL(tk, "setvar", name, v.get());
  } else {
    Ref index = quotify(array_index);
    Ref v = tclobj(value);
    v = trivex::tkvalue::word(v.get());
    GLUE_CALL(tk, "setvar", name, index.get(), v.get());
  }
  return Ref::borrow(Py_None);
}

Ref set_value(PyObject* self, PyObject* value, PyObject* array_index) {
  Ref tcl, name;
  FIELD_PAIR(self, "tcl", "var_name", tcl, name);
  Ref tk = tk_of(tcl.get());
  return set_named(tk.get(), name.get(), value, array_index);
}

Ref var_set(const Args& a) { return set_value(a[0], a[1], a[2]); }

Ref unset_value(PyObject* self, PyObject* array_index, PyObject* nocomplain) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "var_name");
  try {
    if (is_none(array_index)) {
      GLUE_CALL(tk.get(), "unsetvar", name.get());
    } else {
      Ref index = quotify(array_index);
      GLUE_CALL(tk.get(), "unsetvar", name.get(), index.get());
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
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref name = GLUE_MEMBER(self, "var_name");
  if (!is_none(array_index)) name = element_name(name.get(), array_index);
  Ref w = words({GLUE_STR("::info"), GLUE_STR("exists"), name.get()});
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
}

Ref var_exists(const Args& a) { return exists_value(a[0], a[1]); }

Ref var_array_item_byref(const Args& a) {
  PyObject *self = a[0], *array_index = a[1], *cast = a[2];
  Ref cls = GLOBAL("TclVariable");
  Ref tcl = GLUE_MEMBER(self, "tcl");
  return vcall(cls.get(), {self, array_index, tcl.get(), cast}, KWNAMES("array_index", "tcl", "cast"));
}

// The words ::array SUB NAME [extra]; `extra` null when absent.
Ref array_words(PyObject* self, PyObject* sub, PyObject* extra) {
  Ref name = GLUE_MEMBER(self, "var_name");
  return words({GLUE_STR("::array"), sub, name.get()}, extra);
}

Ref var_array_get_obj(const Args& a) {
  PyObject *self = a[0], *pattern = a[1];
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("get"), pat.get());
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_array", r.get());
}

Ref var_array_get_str(const Args& a) {
  PyObject *self = a[0], *pattern = a[1];
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("get"), pat.get());
  Ref name = GLUE_MEMBER(self, "var_name");
  Ref r = trivex::tktext::words_text(tk.get(), w.get(), starts_with_sep(name.get()));
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_array", r.get());
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
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("names"), pat.get());
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", r.get());
}

Ref var_array_names(const Args& a) { return array_names(a[0], a[1]); }

Ref var_is_array(const Args& a) {
  PyObject* self = a[0];
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref w = array_words(self, GLUE_STR("exists"), nullptr);
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
}

Ref var_absolute(const Args& a) {
  Ref name = GLUE_MEMBER(a[0], "var_name");
  return absolute_name(a[0], name.get());
}

Ref var_make_absolute(const Args& a) {
  Ref abs = glue::call_method(a[0], GLUE_STR("absolute"));
  glue::setattr(a[0], GLUE_STR("var_name"), abs.get());
  return Ref::borrow(Py_None);
}

Ref var_str(const Args& a) { return GLUE_MEMBER(a[0], "var_name"); }

Ref var_tclobj(const Args& a) {
  Ref name = GLUE_MEMBER(a[0], "var_name");
  return quotify(name.get());
}

Ref type_name(PyObject* self) {
  return glue::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), GLUE_STR("__name__"));
}

Ref var_repr(const Args& a) {
  Ref cls_name = type_name(a[0]);
  Ref name = GLUE_MEMBER(a[0], "var_name");
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
  if (OURS(self, TclArrayVariable, "array_size")) return array_size(self);
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
  if (OURS(self, TclArrayVariable, "exists")) return exists_value(self, key);
  return vmethod(self, GLUE_STR("exists"), {key}, KWNAMES("array_index"));
}

Ref getitem(PyObject* self, PyObject* key) {
  if (OURS(self, TclArrayVariable, "get")) return get_obj(self, key, S.marker);
  return vmethod(self, GLUE_STR("get"), {key}, KWNAMES("array_index"));
}

Ref setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (OURS(self, TclArrayVariable, "set")) return set_value(self, value, key);
  vmethod(self, GLUE_STR("set"), {value, key}, KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

Ref delitem(PyObject* self, PyObject* key) {
  if (OURS(self, TclArrayVariable, "unset")) return unset_value(self, key, Py_False);
  vmethod(self, GLUE_STR("unset"), {key}, KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

Ref arr_getitem(const Args& a) { return getitem(a[0], a[1]); }
Ref arr_setitem(const Args& a) { return setitem(a[0], a[1], a[2]); }
Ref arr_delitem(const Args& a) { return delitem(a[0], a[1]); }

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
// Python callables as Tcl commands

namespace tclc = trivex::tcl;

// What a failed callback leaves for the Tcl command that ran it: Tcl text
// (Tcl's byte form), so the interposer can use it without the GIL.
struct CallbackFrame {
  tclc::Tcl_Interp* interp = nullptr;
  bool failed = false;
  std::string message;  // "ExcType: text"
  std::string info;     // appended to errorInfo: the Python traceback
  std::string code;     // second word of errorCode
};

// The frame of the interposed command now running on this thread, while its
// callback has not started the user's callable yet; null otherwise.
thread_local CallbackFrame* t_frame = nullptr;

// tkinter's command record, with the interposer in front of it.  A command
// may be deleted while it runs (its callable renames it away, or replaces
// it); Tcl then calls the delete proc at once, so the record is counted:
// one reference for the Tcl command, one for each call in progress.  Only
// the interpreter's thread touches it.
struct Interposed {
  tclc::Tcl_ObjCmdProc* proc;
  tclc::ClientData data;
  tclc::Tcl_CmdDeleteProc* del;
  tclc::ClientData del_data;
  const tclc::Api* api;
  int refs = 1;
};

void release(Interposed* ip) {
  if (--ip->refs == 0) delete ip;
}

int interposed_proc(tclc::ClientData cd, tclc::Tcl_Interp* interp, int objc, tclc::Tcl_Obj* const objv[]) {
  auto* ip = static_cast<Interposed*>(cd);
  struct Hold {
    Interposed* ip;
    ~Hold() { release(ip); }
  } hold{ip};
  ++ip->refs;
  CallbackFrame frame;
  frame.interp = interp;
  CallbackFrame* outer = t_frame;
  t_frame = &frame;
  int rc = ip->proc(ip->data, interp, objc, objv);
  t_frame = outer;
  if (!frame.failed) return rc;
  // The Python exception is gone by now (its text is in `frame`); this is
  // where it becomes the Tcl error: result, errorInfo and errorCode.
  const tclc::Api& api = *ip->api;
  int size = frame.message.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(frame.message.size());
  api.SetObjResult(interp, api.NewStringObj(frame.message.data(), size));
  api.AddErrorInfo(interp, frame.info.c_str());
  api.SetErrorCode(interp, "PYTHON", frame.code.c_str(), static_cast<char*>(nullptr));
  return tclc::TCL_ERROR;
}

void interposed_deleted(tclc::ClientData cd) {
  auto* ip = static_cast<Interposed*>(cd);
  if (ip->del) ip->del(ip->del_data);
  release(ip);
}

// The exception type as the last line of a Python traceback names it.
Ref exception_type_name(PyObject* exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref qualname = glue::getattr(type, GLUE_STR("__qualname__"));
  Ref module = glue::lookup_attr(type, GLUE_STR("__module__"));
  if (!module || !PyUnicode_Check(module.get()) || PyUnicode_Compare(module.get(), GLUE_STR("builtins")) == 0 ||
      PyUnicode_Compare(module.get(), GLUE_STR("__main__")) == 0)
    return qualname;
  return glue::check(PyUnicode_FromFormat("%U.%S", module.get(), qualname.get()));
}

// Remove from a formatted traceback the line that repeats `message`, the
// exception's own last line: Tcl's errorInfo starts with the message
// already.  When callbacks fail through nested evaluations, each message
// holds the errorInfo of the level below, so repeating it would double the
// text at every level.
void drop_final_line(PyObject* lines, PyObject* message) {
  if (!PyList_Check(lines)) return;
  Ref line = glue::check(PyUnicode_FromFormat("%U\n", message));
  for (Py_ssize_t i = PyList_GET_SIZE(lines); i-- > 0;) {
    PyObject* item = PyList_GET_ITEM(lines, i);
    if (PyUnicode_Check(item) && PyUnicode_Compare(item, line.get()) == 0) {
      glue::check_status(PySequence_DelItem(lines, i));
      return;
    }
  }
}

// Take the pending exception and describe it in `f` for Tcl: `message` for
// the result, `info` (the Python traceback) for errorInfo, `code` for
// errorCode.  Past this point only its text travels through Tcl; the
// exception itself waits in the interpreter (tclerror.hpp) to become the
// cause of the TclError the failure ends in.  A TclError that has such a
// cause already failed a callback further in: that innermost exception is
// the one that began the failure.
PyObject* original_exception(PyObject* exc) {
  if (!PyErr_GivenExceptionMatches(exc, S.TclError)) return exc;
  PyObject* cause = PyException_GetCause(exc);  // new reference or null
  if (!cause) return exc;
  Py_DECREF(cause);  // `exc` keeps it alive
  Ref code = Ref::steal(PyObject_GetAttrString(exc, "errorcode"));
  PyErr_Clear();
  if (code && PyTuple_Check(code.get()) && PyTuple_GET_SIZE(code.get()) == 2 &&
      PyUnicode_Check(PyTuple_GET_ITEM(code.get(), 0)) &&
      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(code.get(), 0), "PYTHON") == 0)
    return cause;
  return exc;
}

void record_failure(CallbackFrame& f) {
  glue::CaughtError err;
  f.failed = true;
  f.message = "Python exception";
  f.code = "Exception";
  try {
    PyObject* exc = err.value();
    Ref stype = exception_type_name(exc);
    f.code = tclc::encode_tcl_text(stype.get());
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) {
      PyErr_Clear();
      // At the recursion limit (a RecursionError, typically) str() cannot
      // even start; the lone text argument is what it would have given.
      PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
      if (Py_TYPE(exc)->tp_str == reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_str && args &&
          PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 && PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0)))
        text = Ref::borrow(PyTuple_GET_ITEM(args, 0));
      else
        text = glue::str_from("<exception str() failed>");
    }
    Ref message = PyUnicode_GET_LENGTH(text.get())
                      ? glue::check(PyUnicode_FromFormat("%U: %U", stype.get(), text.get()))
                      : stype;
    f.message = tclc::encode_tcl_text(message.get());
    f.info.clear();
    if (!S.format_exception) S.format_exception = glue::import_attr("traceback", "format_exception").release();
    PyObject* original = original_exception(exc);
    Ref lines;
    if (original == exc) {
      lines = glue::call(S.format_exception, exc);
    } else {
      // The level below reported its own frames in the message already.
      Ref args = glue::tuple_of(exc);
      Ref kwargs = glue::new_dict();
      glue::dict_set(kwargs.get(), "chain", Py_False);
      lines = glue::call_kw(S.format_exception, args.get(), kwargs.get());
    }
    drop_final_line(lines.get(), message.get());
    Ref joined = glue::check(PyUnicode_Join(GLUE_STR(""), lines.get()));
    Py_ssize_t n = PyUnicode_GET_LENGTH(joined.get());
    if (n && PyUnicode_READ_CHAR(joined.get(), n - 1) == '\n') joined = substring(joined.get(), 0, static_cast<size_t>(n - 1));
    if (PyUnicode_GET_LENGTH(joined.get())) f.info = "\n" + tclc::encode_tcl_text(joined.get());
    if (f.interp) tclc::remember_cause(f.interp, original, message.get(), stype.get());
  } catch (const glue::PythonError&) {
    PyErr_Clear();
  }
}

// The callable tkinter registers: runs the user's callable and, when that
// raises under an interposed command, leaves the error in its frame and
// returns normally, so tkinter keeps no exception aside.
Ref callback(const Args& a) {
  struct Claim {
    CallbackFrame* frame = t_frame;
    Claim() { t_frame = nullptr; }  // nested commands open their own frames
    ~Claim() { t_frame = frame; }
  } claim;
  // tkinter holds the only reference to this wrapper, and so to `func`, and
  // drops it as soon as the command is deleted, which `func` itself may do.
  Ref self = Ref::borrow(reinterpret_cast<PyObject*>(a.function()));
  Ref func = Ref::borrow(a.function()->data);
  try {
    Ref r = glue::call_kw(func.get(), a.varargs(), nullptr);
    return trivex::tkvalue::value(r.get());
  } catch (const glue::PythonError&) {
    if (!claim.frame) throw;
    record_failure(*claim.frame);
    return Ref::borrow(cv::empty_text());
  }
}

using tclc::is_tkapp;

// tk.createcommand(name, func), with Python errors of `func` reported to
// Tcl as Tcl errors.
void create_command(PyObject* tk, PyObject* name, PyObject* func) {
  if (!is_tkapp(tk) || !PyUnicode_Check(name)) {
    glue::call_method(tk, GLUE_STR("createcommand"), name, func);
    return;
  }
  if (!PyCallable_Check(func)) glue::raise(PyExc_TypeError, "command not callable");
  const tclc::Api& api = tclc::api();
  tclc::Tcl_Interp* interp = tclc::interp_of(tk);
  Ref wrapper = glue::make_function({"callback", "(*args)", callback}, kModule, nullptr, {}, func);
  glue::call_method(tk, GLUE_STR("createcommand"), name, wrapper.get());
  // An unqualified name is created in the global namespace, but looked up in
  // the current one first.
  std::string lookup = tclc::encode_tcl_text(name);
  if (lookup.find("::") == std::string::npos) lookup = "::" + lookup;
  tclc::Tcl_CmdInfo info;
  if (!api.GetCommandInfo(interp, lookup.c_str(), &info) || !info.isNativeObjectProc || !info.objProc) return;
  auto* ip = new Interposed{info.objProc, info.objClientData, info.deleteProc, info.deleteData, &api};
  info.objProc = interposed_proc;
  info.objClientData = ip;
  info.deleteProc = interposed_deleted;
  info.deleteData = ip;
  if (!api.SetCommandInfo(interp, lookup.c_str(), &info)) delete ip;
}

// ---------------------------------------------------------------------------
// TclCommand

// kwargs_to_dashed_args: ("-" + name, value) for each option, in order.
Ref dashed_args(PyObject* options) {
  Ref owned;
  if (!PyDict_Check(options)) {
    owned = glue::new_dict();
    glue::check_status(PyDict_Merge(owned.get(), options, 1));
    options = owned.get();
  }
  Ref out = glue::check(PyTuple_New(2 * PyDict_GET_SIZE(options)));
  Py_ssize_t pos = 0, i = 0;
  PyObject *k, *v;
  while (PyDict_Next(options, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) glue::raise(PyExc_TypeError, "keywords must be strings");
    Ref dashed = concat(GLUE_STR("-"), k);
    PyTuple_SET_ITEM(out.get(), i++, dashed.release());
    PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(v));
  }
  return out;
}

Ref cmd_kwargs_to_dashed_args(const Args& a) { return dashed_args(a.varkw()); }

// Concatenate tuples (the last may be any sequence Python's + accepts).
Ref tuple_concat(std::initializer_list<PyObject*> parts) {
  Py_ssize_t n = 0;
  bool plain = true;
  for (PyObject* p : parts) {
    if (!PyTuple_CheckExact(p)) plain = false;
    else n += PyTuple_GET_SIZE(p);
  }
  if (!plain) {
    Ref acc;
    for (PyObject* p : parts) acc = acc ? glue::check(PyNumber_Add(acc.get(), p)) : Ref::borrow(p);
    return acc;
  }
  Ref out = glue::check(PyTuple_New(n));
  Py_ssize_t i = 0;
  for (PyObject* p : parts)
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(p); ++k) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(PyTuple_GET_ITEM(p, k)));
  return out;
}

// build_tclcmd(*args, **kwargs); `kwargs` may be null.
Ref build_line(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref bound = GLUE_MEMBER(self, "args");
  Ref converted = tclobj(args);
  Ref keywords = GLUE_MEMBER(self, "keywords");
  Ref options = keywords;
  if (kwargs && PyDict_GET_SIZE(kwargs)) {
    options = glue::new_dict();
    glue::check_status(PyDict_Merge(options.get(), keywords.get(), 1));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      Ref value = tclobj(v);
      glue::dict_set(options.get(), k, value.get());
    }
  }
  bool own_dashed = OURS(self, TclCommand, "kwargs_to_dashed_args");
  if (own_dashed && PyTuple_CheckExact(bound.get()) && PyTuple_CheckExact(converted.get()) &&
      PyDict_CheckExact(options.get())) {
    // The whole line in one tuple: name, bound words, call words, options.
    Py_ssize_t nb = PyTuple_GET_SIZE(bound.get()), na = PyTuple_GET_SIZE(converted.get());
    Ref out = glue::check(PyTuple_New(1 + nb + na + 2 * PyDict_GET_SIZE(options.get())));
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(out.get(), i++, name.release());
    for (Py_ssize_t k = 0; k < nb; ++k) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(PyTuple_GET_ITEM(bound.get(), k)));
    for (Py_ssize_t k = 0; k < na; ++k)
      PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(PyTuple_GET_ITEM(converted.get(), k)));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(options.get(), &pos, &k, &v)) {
      if (!PyUnicode_Check(k)) glue::raise(PyExc_TypeError, "keywords must be strings");
      PyTuple_SET_ITEM(out.get(), i++, concat(GLUE_STR("-"), k).release());
      PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(v));
    }
    return out;
  }
  Ref head = glue::tuple_of(name.get());
  Ref with_bound = tuple_concat({head.get(), bound.get()});
  Ref dashed;
  if (own_dashed) {
    dashed = dashed_args(options.get());
  } else {
    Ref fn = glue::getattr(self, GLUE_STR("kwargs_to_dashed_args"));
    Ref kw = glue::new_dict();
    glue::check_status(PyDict_Merge(kw.get(), options.get(), 1));
    Ref none = empty_tuple();
    dashed = glue::call_kw(fn.get(), none.get(), kw.get());
  }
  Ref t = glue::check(PyNumber_Add(with_bound.get(), converted.get()));
  return glue::check(PyNumber_Add(t.get(), dashed.get()));
}

Ref cmd_build_tclcmd(const Args& a) { return build_line(a[0], a.varargs(), a.varkw()); }

// self.build_tclcmd(*args, **kwargs) as the instance resolves it.
Ref line_of(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (OURS(self, TclCommand, "build_tclcmd")) return build_line(self, args, kwargs);
  Ref fn = glue::getattr(self, GLUE_STR("build_tclcmd"));
  return glue::call_kw(fn.get(), args, kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr);
}

Ref apply_cast(PyObject* self, Ref result) {
  Ref cast = GLUE_MEMBER(self, "cast");
  if (glue::truthy(cast.get())) return glue::call(cast.get(), result.get());
  return result;
}

Ref tuple_from_array(PyObject* const* items, size_t n) {
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(n)));
  for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i]));
  return t;
}

// References taken for the length of one call, released together.
class Holds {
 public:
  Holds() = default;
  ~Holds() {
    for (size_t i = 0; i < n_; ++i) Ref::steal(at(i));
  }
  Holds(const Holds&) = delete;
  Holds& operator=(const Holds&) = delete;
  // Keep `r` (a new reference) and return it borrowed.
  PyObject* keep(Ref r) {
    if (n_ == kSmall && large_.empty()) large_.assign(small_, small_ + kSmall);
    if (n_ >= kSmall) large_.push_back(r.get());
    else small_[n_] = r.get();
    ++n_;
    return r.release();
  }

 private:
  PyObject* at(size_t i) const { return large_.empty() ? small_[i] : large_[i]; }
  static constexpr size_t kSmall = 16;
  PyObject* small_[kSmall];
  std::vector<PyObject*> large_;
  size_t n_ = 0;
};

// The six attributes of a command whose methods are all this module's own:
// the object is exactly a TclCommand and neither its class nor its own
// dict rebinds a method the call would go through.  Held for the call (argument hooks and the logger run
// Python code that may rebind them).
struct PlainCommand {
  PyObject *tcl, *cmd_name, *args, *keywords, *cast, *logger;
};

bool plain_command(PyObject* self, PlainCommand& f, Holds& holds) {
  static PyObject* const* const names[] = {&S.attr_tcl, &S.attr_cmd_name, &S.attr_args,
                                           &S.attr_keywords, &S.attr_cast, &S.attr_logger};
  static struct {
    SiteCache site;
    PyObject* values[6];
  } cache;
  if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(S.TclCommand.cls) ||
      !OURS(self, TclCommand, "__call__", "call", "build_tclcmd", "kwargs_to_dashed_args"))
    return false;
  PyObject* d = instance_dict(self);
  if (!d) return false;
  if (!cache.site.hit(Py_TYPE(self), d)) {
    for (int i = 0; i < 6; ++i) {
      PyObject* v = PyDict_GetItemWithError(d, *names[i]);
      if (!v) {
        if (PyErr_Occurred()) throw glue::PythonError{};
        return false;
      }
      cache.values[i] = v;
    }
    cache.site.store(Py_TYPE(self), d, d);
  }
  PyObject** out[] = {&f.tcl, &f.cmd_name, &f.args, &f.keywords, &f.cast, &f.logger};
  for (int i = 0; i < 6; ++i) *out[i] = holds.keep(Ref::borrow(cache.values[i]));
  return true;
}

// call() of a plain command without call keywords.  The words go to
// tk.call as separate arguments (what the binding does with a single tuple
// argument anyway), so no line tuple is built unless a logger needs it.
Ref plain_call(PlainCommand& f, PyObject* args, Holds& holds) {
  if (!PyTuple_CheckExact(f.args) || !PyDict_CheckExact(f.keywords) || !PyUnicode_Check(f.cmd_name)) return Ref();
  Py_ssize_t nb = PyTuple_GET_SIZE(f.args), na = PyTuple_GET_SIZE(args);
  PyObject* small[16] = {};
  std::vector<PyObject*> large;
  PyObject** argv = small;
  auto room = [&](size_t used, size_t total) {
    if (total <= (argv == small ? 16 : large.size())) return;
    if (argv == small) large.assign(small, small + used);
    large.resize(total);
    argv = large.data();
  };
  // argv[0] is free for the vectorcall offset, argv[1] is `tk`.
  // Every word is held for the call: the logger may empty `keywords`.
  size_t i = 2;
  room(i, 3 + static_cast<size_t>(nb + na));
  argv[i++] = f.cmd_name;
  for (Py_ssize_t k = 0; k < nb; ++k) argv[i++] = PyTuple_GET_ITEM(f.args, k);
  for (Py_ssize_t k = 0; k < na; ++k) argv[i++] = holds.keep(tclobj(PyTuple_GET_ITEM(args, k)));
  // Counted only now: a conversion hook above may have changed `keywords`.
  size_t n = static_cast<size_t>(1 + nb + na + 2 * PyDict_GET_SIZE(f.keywords));
  room(i, n + 2);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(f.keywords, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) glue::raise(PyExc_TypeError, "keywords must be strings");
    argv[i++] = holds.keep(concat(GLUE_STR("-"), k));
    argv[i++] = holds.keep(Ref::borrow(v));
  }
  if (glue::truthy(f.logger)) {
    Ref line = tuple_from_array(argv + 2, n);
    Ref text = quotify(line.get());
    Ref message = glue::check(PyUnicode_FromFormat("Calling: %S", text.get()));
    glue::call_method(f.logger, GLUE_STR("info"), message.get());
  }
  Ref tk = tk_of(f.tcl);
  argv[1] = tk.get();
  // Checked last, as the binding checks its words: after the logger, which
  // may change a list among them.
  for (size_t w = 3; w < i; ++w)
    if (PyTuple_Check(argv[w]) || PyList_Check(argv[w])) {
      Ref safe = trivex::tkvalue::value(argv[w]);
      if (safe.get() != argv[w]) argv[w] = holds.keep(std::move(safe));
    }
  static SiteCache cache;
  Ref result;
  PyObject* call = glue::class_method(tk.get(), GLUE_STR("call"), cache);
  Ref keep = call ? Ref::borrow(call) : Ref{};
  result = evaluating(tk.get(), [&] {
    if (call && is_tkapp(tk.get()))
      return glue::check(PyObject_Vectorcall(call, argv + 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref line = tuple_from_array(argv + 2, n);
    return glue::call_method(tk.get(), GLUE_STR("call"), line.get());
  });
  if (glue::truthy(f.cast)) return glue::call(f.cast, result.get());
  return result;
}

Ref generic_call(PyObject* self, PyObject* args, PyObject* kwargs);

Ref command_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
    PlainCommand f;
    Holds holds;
    if (plain_command(self, f, holds))
      if (Ref r = plain_call(f, args, holds)) return r;
  }
  return generic_call(self, args, kwargs);
}

Ref generic_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref line = line_of(self, args, kwargs);
  Ref logger = GLUE_MEMBER(self, "logger");
  if (glue::truthy(logger.get())) {
    Ref text = quotify(line.get());
    Ref message = glue::check(PyUnicode_FromFormat("Calling: %S", text.get()));
    glue::call_method(logger.get(), GLUE_STR("info"), message.get());
  }
  Ref tk = self_tk(self);
  return apply_cast(self, tk_call(tk.get(), line.get()));
}

Ref cmd_call(const Args& a) { return command_call(a[0], a.varargs(), a.varkw()); }

// __call__: self.call(*args, **kwargs); `kwargs` may be null.
Ref dunder_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (OURS(self, TclCommand, "call")) return command_call(self, args, kwargs);
  Ref fn = glue::getattr(self, GLUE_STR("call"));
  return glue::call_kw(fn.get(), args, kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr);
}

Ref cmd_dunder_call(const Args& a) { return dunder_call(a[0], a.varargs(), a.varkw()); }

Ref cmd_eval(const Args& a) {
  PyObject* self = a[0];
  Ref line = line_of(self, a.varargs(), a.varkw());
  Ref tk = self_tk(self);
  return apply_cast(self, tk_eval_words(tk.get(), line.get()));
}

Ref package() { return glue::import("trivex.tcl"); }

// cmd[1:], cmd[0]
void split_line(Ref& cmd, Ref& args) {
  Ref one = glue::check(PyLong_FromLong(1));
  Ref slice = glue::check(PySlice_New(one.get(), nullptr, nullptr));
  args = glue::check(PyObject_GetItem(cmd.get(), slice.get()));
  Ref zero = glue::check(PyLong_FromLong(0));
  cmd = glue::check(PyObject_GetItem(cmd.get(), zero.get()));
}

Ref cmd_init(const Args& a) {
  PyObject *self = a[0], *cmd_in = a[1], *args_in = a[2], *keywords = a[3], *tcl_in = a[4], *cast = a[5],
           *logger = a[6];
  {
    Ref sup = glue::super_of(S.TclCommand.cls, self);
    glue::call_method(sup.get(), GLUE_STR("__init__"));
  }
  Ref pkg = package();
  Ref tcl = glue::truthy(tcl_in) ? Ref::borrow(tcl_in) : pkg;
  if (!PyWeakref_CheckProxy(tcl.get())) tcl = glue::check(PyWeakref_NewProxy(tcl.get(), nullptr));
  glue::setattr(self, GLUE_STR("tcl"), tcl.get());

  Ref command_cls = GLOBAL("TclCommand");
  Ref cmd = Ref::borrow(cmd_in);
  Ref args;
  if (is_none(args_in)) {
    if (glue::isinstance(cmd.get(), command_cls.get()))
      cmd = glue::call_method(cmd.get(), GLUE_STR("build_tclcmd"));
    else if (!PyTuple_CheckExact(cmd.get()))
      cmd = glue::call_method(pkg.get(), GLUE_STR("cast_list"), cmd.get());
    split_line(cmd, args);
  } else {
    args = glue::call_method(pkg.get(), GLUE_STR("cast_list"), args_in);
    if (glue::isinstance(cmd.get(), command_cls.get())) {
      Ref fn = glue::getattr(cmd.get(), GLUE_STR("build_tclcmd"));
      Ref star = glue::check(PySequence_Tuple(args.get()));
      cmd = glue::call_kw(fn.get(), star.get(), nullptr);
      split_line(cmd, args);
    }
  }
  Ref name = quotify(cmd.get());
  glue::setattr(self, GLUE_STR("cmd_name"), name.get());
  Ref converted = tclobj(args.get());
  glue::setattr(self, GLUE_STR("args"), converted.get());
  Ref options = glue::new_dict();
  glue::setattr(self, GLUE_STR("keywords"), options.get());
  if (glue::truthy(keywords)) {
    Ref items = glue::call_method(keywords, GLUE_STR("items"));
    Ref it = glue::check(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item = Ref::steal(raw);
      Ref pair = glue::check(PySequence_Tuple(item.get()));
      if (PyTuple_GET_SIZE(pair.get()) != 2)
        glue::raisef(PyExc_ValueError, PyTuple_GET_SIZE(pair.get()) < 2
                                           ? "not enough values to unpack (expected 2, got %zd)"
                                           : "too many values to unpack (expected 2)",
                     PyTuple_GET_SIZE(pair.get()));
      Ref value = tclobj(PyTuple_GET_ITEM(pair.get(), 1));
      glue::check_status(PyObject_SetItem(options.get(), PyTuple_GET_ITEM(pair.get(), 0), value.get()));
    }
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  glue::setattr(self, GLUE_STR("cast"), cast);
  glue::setattr(self, GLUE_STR("logger"), logger);
  return Ref::borrow(Py_None);
}

Ref cmd_createcommand(const Args& a) {
  Ref tk = self_tk(a[0]);
  Ref name = GLUE_MEMBER(a[0], "cmd_name");
  create_command(tk.get(), name.get(), a[1]);
  return Ref::borrow(Py_None);
}

// tk.call((*head, NAME[, extra]))
Ref cmd_query(PyObject* self, std::initializer_list<PyObject*> head, PyObject* extra = nullptr) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(head.size() + 1 + (extra ? 1 : 0))));
  Py_ssize_t i = 0;
  for (PyObject* h : head) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(h));
  PyTuple_SET_ITEM(t.get(), i++, name.release());
  if (extra) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(extra));
  return tk_call(tk.get(), t.get());
}

Ref as_bool(Ref r) { return Ref::borrow(glue::truthy(r.get()) ? Py_True : Py_False); }

Ref cmd_exists(const Args& a) { return as_bool(cmd_query(a[0], {GLUE_STR("::info"), GLUE_STR("commands")})); }
Ref cmd_is_proc(const Args& a) { return as_bool(cmd_query(a[0], {GLUE_STR("::info"), GLUE_STR("procs")})); }

Ref cmd_is_command(const Args& a) {
  Ref exists = glue::call_method(a[0], GLUE_STR("exists"));
  if (!glue::truthy(exists.get())) return Ref::borrow(Py_False);
  Ref is_proc = glue::call_method(a[0], GLUE_STR("is_proc"));
  return Ref::borrow(glue::truthy(is_proc.get()) ? Py_False : Py_True);
}

Ref cmd_rename(const Args& a) {
  Ref new_name = quotify(a[1]);
  cmd_query(a[0], {GLUE_STR("::rename")}, new_name.get());
  glue::setattr(a[0], GLUE_STR("cmd_name"), new_name.get());
  return Ref::borrow(Py_None);
}

Ref cmd_delete(const Args& a) {
  cmd_query(a[0], {GLUE_STR("::rename")}, GLUE_STR(""));
  return Ref::borrow(Py_None);
}

Ref cmd_origin(const Args& a) { return cmd_query(a[0], {GLUE_STR("::namespace"), GLUE_STR("origin")}); }
Ref cmd_proc_body(const Args& a) { return cmd_query(a[0], {GLUE_STR("::info"), GLUE_STR("body")}); }

Ref cmd_proc_args(const Args& a) {
  Ref r = cmd_query(a[0], {GLUE_STR("::info"), GLUE_STR("args")});
  Ref tcl = GLUE_MEMBER(a[0], "tcl");
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", r.get());
}

Ref cmd_proc_arg_default(const Args& a) {
  PyObject *self = a[0], *arg_name = a[1];
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref temp_cls = GLOBAL("TempTclVariable");
  Ref tmp = vcall(temp_cls.get(), {tcl.get()}, KWNAMES("tcl"));
  return with_block(tmp.get(), [&](PyObject* tmp_var) {
    Ref tk = tk_of(tcl.get());
    Ref name = GLUE_MEMBER(self, "cmd_name");
    Ref arg = quotify(arg_name);
    Ref w = words({GLUE_STR("::info"), GLUE_STR("default"), name.get(), arg.get(), tmp_var});
    Ref r = tk_call(tk.get(), w.get());
    Ref has = GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
    if (glue::truthy(has.get())) return glue::call_method(tmp_var, GLUE_STR("get"));
    return Ref::borrow(Py_None);
  });
}

Ref cmd_absolute(const Args& a) {
  Ref name = GLUE_MEMBER(a[0], "cmd_name");
  return absolute_name(a[0], name.get());
}

Ref cmd_make_absolute(const Args& a) {
  Ref abs = glue::call_method(a[0], GLUE_STR("absolute"));
  glue::setattr(a[0], GLUE_STR("cmd_name"), abs.get());
  return Ref::borrow(Py_None);
}

Ref cmd_repr(const Args& a) {
  PyObject* self = a[0];
  Ref cls_name = type_name(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref text = glue::check(PyUnicode_FromFormat("%S(%R", cls_name.get(), name.get()));
  auto add = [&](const char* fmt, PyObject* v) {
    Ref part = glue::check(PyUnicode_FromFormat(fmt, v));
    text = concat(text.get(), part.get());
  };
  Ref args = GLUE_MEMBER(self, "args");
  if (glue::truthy(args.get())) add(", args=%R", args.get());
  Ref keywords = GLUE_MEMBER(self, "keywords");
  if (glue::truthy(keywords.get())) add(", keywords=%R", keywords.get());
  Ref cast = GLUE_MEMBER(self, "cast");
  if (glue::truthy(cast.get())) add(", cast=%R", cast.get());
  return concat(text.get(), GLUE_STR(")"));
}

Ref cmd_str(const Args& a) {
  Ref line = glue::call_method(a[0], GLUE_STR("build_tclcmd"));
  return quotify(line.get());
}

Ref cmd_tclobj(const Args& a) { return glue::call_method(a[0], GLUE_STR("build_tclcmd")); }

Ref cmd_get(const Args& a) {
  if (is_none(a[1])) return Ref::borrow(a[0]);
  return glue::check(PyMethod_New(a[0], a[1]));
}

// TempTclCommand
//
// A temporary command given the name of an existing one takes the name for
// its life only: the existing command waits under a name of its own in the
// same namespace (where a proc keeps resolving names as before) and comes
// back when the temporary one ends.  The pair (name, waiting name) is kept
// in the instance dict.

constexpr const char* kDisplaced = "_trivex_displaced";

bool command_here(PyObject* tk, PyObject* qualified) {
  Ref w = words({GLUE_STR("::namespace"), GLUE_STR("which"), GLUE_STR("-command"), qualified});
  Ref found = tk_call(tk, w.get());
  return glue::truthy(found.get());
}

void set_existing_aside(PyObject* self) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref qualified = starts_with_sep(name.get()) ? glue::str(name.get()) : concat(GLUE_STR("::"), name.get());
  if (!command_here(tk.get(), qualified.get())) return;
  Py_ssize_t end = PyUnicode_GET_LENGTH(qualified.get());
  Py_ssize_t sep = PyUnicode_Find(qualified.get(), GLUE_STR("::"), 0, end, -1);
  if (sep < 0) throw glue::PythonError{};
  Ref ns = substring(qualified.get(), 0, static_cast<size_t>(sep));
  Ref tail = glue::check(PyUnicode_FromFormat("::__trivex__displaced_%zd", reinterpret_cast<Py_ssize_t>(self)));
  Ref aside = concat(ns.get(), tail.get());
  Ref w = words({GLUE_STR("::rename"), qualified.get(), aside.get()});
  tk_call(tk.get(), w.get());
  Ref pair = glue::tuple_of(qualified.get(), aside.get());
  glue::setattr(self, kDisplaced, pair.get());
}

// Put the displaced command back, in place of whatever has its name now.
void restore_existing(PyObject* self) {
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  PyObject* pair = dictptr && *dictptr ? PyDict_GetItemString(*dictptr, kDisplaced) : nullptr;
  if (!pair || !PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return;
  Ref keep = Ref::borrow(pair);
  glue::check_status(PyDict_DelItemString(*dictptr, kDisplaced));
  PyObject *qualified = PyTuple_GET_ITEM(pair, 0), *aside = PyTuple_GET_ITEM(pair, 1);
  Ref tk = self_tk(self);
  if (!command_here(tk.get(), aside)) return;
  if (command_here(tk.get(), qualified)) {
    Ref w = words({GLUE_STR("::rename"), qualified, GLUE_STR("")});
    tk_call(tk.get(), w.get());
  }
  Ref w = words({GLUE_STR("::rename"), aside, qualified});
  tk_call(tk.get(), w.get());
}

Ref tempcmd_init(const Args& a) {
  PyObject *self = a[0], *func = a[1];
  Ref name = fill_template(a[2], self);
  Ref sup = glue::super_of(S.TempTclCommand.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), a.varkw());
  set_existing_aside(self);
  if (glue::truthy(func)) {
    glue::call_method(self, GLUE_STR("createcommand"), func);
    glue::call(S.update_wrapper, self, func);
  }
  return Ref::borrow(Py_None);
}

Ref tempcmd_enter(const Args& a) { return temp_enter(S.TempTclCommand.cls, a[0]); }

// self.delete(), a TclError from it ignored.
void delete_quietly(PyObject* self) {
  try {
    glue::call_method(self, GLUE_STR("delete"));
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(S.TclError)) throw;
    PyErr_Clear();
  }
}

Ref tempcmd_exit(const Args& a) {
  delete_quietly(a[0]);
  restore_existing(a[0]);
  return temp_exit_next(S.TempTclCommand.cls, a[0], a.varargs());
}

Ref tempcmd_del(const Args& a) {
  PyObject* self = a[0];
  Ref wrapped = glue::lookup_attr(self, GLUE_STR("__wrapped__"));
  if (wrapped) {
    // Once the interpreter is gone its commands are gone with it: there is
    // nothing left to delete, and nothing worth reporting at finalisation.
    try {
      delete_quietly(self);
    } catch (const glue::PythonError&) {
      if (!PyErr_ExceptionMatches(PyExc_ReferenceError)) throw;
      PyErr_Clear();
    }
  }
  try {
    restore_existing(self);
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_ReferenceError) && !PyErr_ExceptionMatches(S.TclError)) throw;
    PyErr_Clear();
  }
  bool found = false;
  Ref none = empty_tuple();
  call_next(S.TempTclCommand.cls, self, GLUE_STR("__del__"), none.get(), found);
  return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// TclNamespace

Ref ns_init(const Args& a) {
  PyObject *self = a[0], *ns = a[1];
  {
    Ref sup = glue::super_of(S.TclNamespace.cls, self);
    glue::call_method(sup.get(), GLUE_STR("__init__"));
  }
  Ref name = quotify(ns);
  glue::setattr(self, GLUE_STR("ns"), name.get());
  Ref tcl = interpreter_proxy(a[2]);
  glue::setattr(self, GLUE_STR("tcl"), tcl.get());
  Ref cls = GLOBAL("TclNamespace");
  for (auto [attr, view] : {std::pair{"vars", "VariablesView"}, {"objs", "ObjectsView"}, {"procs", "ProcsView"},
                            {"cmds", "CommandsView"}}) {
    Ref view_cls = glue::getattr(cls.get(), view);
    Ref v = glue::call(view_cls.get(), self);
    glue::setattr(self, attr, v.get());
  }
  use_plain_dict(self);
  return Ref::borrow(Py_None);
}

// The command of call/eval: (tclcmd, *args), inside `namespace eval NS`
// unless NS is empty.
Ref ns_command(PyObject* self, PyObject* tclcmd, PyObject* rest) {
  Ref command = Ref::borrow(tclcmd);
  if (PyTuple_GET_SIZE(rest)) {
    Ref head = glue::tuple_of(tclcmd);
    command = tuple_concat({head.get(), rest});
  }
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(ns.get())) command = words({GLUE_STR("namespace"), GLUE_STR("eval"), ns.get(), command.get()});
  return command;
}

Ref ns_call(const Args& a) {
  Ref command = ns_command(a[0], a[1], a.varargs());
  Ref tk = self_tk(a[0]);
  Ref w = tclobj(command.get());
  return tk_call(tk.get(), w.get());
}

Ref ns_eval(const Args& a) {
  Ref command = ns_command(a[0], a[1], a.varargs());
  Ref tk = self_tk(a[0]);
  Ref script = quotify(command.get());
  return evaluating(tk.get(), [&] { return GLUE_CALL(tk.get(), "eval", script.get()); });
}

// self.call(*words)
Ref via_call(PyObject* self, PyObject* w) {
  Ref fn = glue::getattr(self, GLUE_STR("call"));
  return glue::call_kw(fn.get(), w, nullptr);
}

Ref cast_list_of(PyObject* self, PyObject* value) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", value);
}

Ref ns_children(const Args& a) {
  PyObject *self = a[0], *pattern = a[1];
  Ref w;
  if (is_none(pattern)) {
    w = words({GLUE_STR("namespace"), GLUE_STR("children")});
  } else {
    // `namespace children` takes the pattern after a namespace name.
    Ref abs = glue::call_method(self, GLUE_STR("absolute"));
    Ref pat = quotify(pattern);
    w = words({GLUE_STR("namespace"), GLUE_STR("children"), abs.get(), pat.get()});
  }
  Ref r = via_call(self, w.get());
  return cast_list_of(self, r.get());
}

Ref ns_code(const Args& a) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("code"), a[1]});
  return via_call(a[0], w.get());
}

Ref ns_current(const Args& a) {
  Ref tk = self_tk(a[0]);
  return current_namespace(tk.get());
}

Ref ns_create(const Args& a) {
  Ref ns = GLUE_MEMBER(a[0], "ns");
  if (!glue::truthy(ns.get())) glue::raise(PyExc_ValueError, "Cannot create current namespace");
  glue::call_method(a[0], GLUE_STR("eval"), GLUE_STR(""));
  return Ref::borrow(Py_None);
}

// ns, or the current namespace for the empty name.
Ref ns_or_current(PyObject* self) {
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(ns.get())) return ns;
  return glue::call_method(self, GLUE_STR("current"));
}

Ref ns_delete(const Args& a) {
  Ref name = ns_or_current(a[0]);
  Ref tk = self_tk(a[0]);
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("delete"), name.get()});
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

Ref ns_exists(const Args& a) {
  Ref name = ns_or_current(a[0]);
  Ref tcl = GLUE_MEMBER(a[0], "tcl");
  Ref tk = tk_of(tcl.get());
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("exists"), name.get()});
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
}

// ("namespace", sub[, flag if set], *patterns)
Ref flagged_words(PyObject* sub, PyObject* flag_word, bool flag, PyObject* patterns) {
  Ref head = flag ? words({GLUE_STR("namespace"), sub, flag_word}) : words({GLUE_STR("namespace"), sub});
  return tuple_concat({head.get(), patterns});
}

Ref ns_export(const Args& a) {
  bool clear = glue::truthy(a[1]);
  PyObject* patterns = a.varargs();
  Ref w = flagged_words(GLUE_STR("export"), GLUE_STR("-clear"), clear, patterns);
  Ref r = via_call(a[0], w.get());
  if (!clear && PyTuple_GET_SIZE(patterns) == 0) return cast_list_of(a[0], r.get());
  return Ref::borrow(Py_None);
}

Ref ns_forget(const Args& a) {
  Ref w = flagged_words(GLUE_STR("forget"), nullptr, false, a.varargs());
  return via_call(a[0], w.get());
}

Ref ns_import(const Args& a) {
  Ref w = flagged_words(GLUE_STR("import"), GLUE_STR("-force"), glue::truthy(a[1]), a.varargs());
  return via_call(a[0], w.get());
}

Ref ns_origin(const Args& a) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("origin"), a[1]});
  return via_call(a[0], w.get());
}

Ref ns_parent(const Args& a) {
  PyObject* self = a[0];
  if (!glue::truthy(a[1])) {
    Ref absolute = glue::call_method(self, GLUE_STR("is_absolute"));
    if (glue::truthy(absolute.get())) {
      Ref ns = GLUE_MEMBER(self, "ns");
      if (!PyUnicode_Check(ns.get())) glue::raise(PyExc_TypeError, "namespace name must be text");
      std::u32string out;
      cv::with_chars(ns.get(), [&](const auto* d, size_t n) { nm::absolute_parent(d, n, out); });
      return from_ucs4(out);
    }
  }
  Ref ns = GLUE_MEMBER(self, "ns");
  Ref w = glue::truthy(ns.get()) ? words({GLUE_STR("namespace"), GLUE_STR("parent"), ns.get()})
                                 : words({GLUE_STR("namespace"), GLUE_STR("parent")});
  Ref tk = self_tk(self);
  Ref converted = tclobj(w.get());
  return tk_call(tk.get(), converted.get());
}

Ref ns_which(const Args& a) {
  PyObject *self = a[0], *name = a[1];
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("which")});
  if (glue::truthy(a[2])) w = words({GLUE_STR("namespace"), GLUE_STR("which"), GLUE_STR("-command")});
  if (glue::truthy(a[3])) {
    Ref flag = glue::tuple_of(GLUE_STR("-variable"));
    w = tuple_concat({w.get(), flag.get()});
  }
  Ref last = glue::tuple_of(name);
  w = tuple_concat({w.get(), last.get()});
  return via_call(self, w.get());
}

Ref ns_is_absolute(const Args& a) {
  Ref ns = GLUE_MEMBER(a[0], "ns");
  if (!glue::truthy(ns.get())) return ns;
  return Ref::borrow(starts_with_sep(ns.get()) ? Py_True : Py_False);
}

Ref ns_is_relative(const Args& a) {
  Ref ns = GLUE_MEMBER(a[0], "ns");
  if (!glue::truthy(ns.get())) return ns;
  return Ref::borrow(starts_with_sep(ns.get()) ? Py_False : Py_True);
}

Ref ns_absolute(const Args& a) {
  PyObject* self = a[0];
  Ref absolute = glue::call_method(self, GLUE_STR("is_absolute"));
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(absolute.get())) return ns;
  Ref current = glue::call_method(self, GLUE_STR("current"));
  Ref joined = namespace_join(current.get(), ns.get());
  // Normalizing "::" leaves the empty name, which would mean "current"
  // again; the global namespace's absolute name is "::".
  if (PyUnicode_Check(joined.get()) && PyUnicode_GET_LENGTH(joined.get()) == 0) return Ref::borrow(GLUE_STR("::"));
  return joined;
}

Ref ns_make_absolute(const Args& a) {
  Ref abs = glue::call_method(a[0], GLUE_STR("absolute"));
  glue::setattr(a[0], GLUE_STR("ns"), abs.get());
  return Ref::borrow(Py_None);
}

Ref ns_str(const Args& a) { return GLUE_MEMBER(a[0], "ns"); }

// TempTclNamespace

Ref tempns_init(const Args& a) {
  PyObject* self = a[0];
  Ref name = fill_template(a[1], self);
  Ref sup = glue::super_of(S.TempTclNamespace.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), a.varkw());
  return Ref::borrow(Py_None);
}

Ref tempns_enter(const Args& a) {
  Ref value = temp_enter(S.TempTclNamespace.cls, a[0]);
  glue::call_method(a[0], GLUE_STR("create"));
  return value;
}

Ref tempns_exit(const Args& a) {
  delete_quietly(a[0]);
  return temp_exit_next(S.TempTclNamespace.cls, a[0], a.varargs());
}

// ---------------------------------------------------------------------------
// Namespace views

Ref view_init(PyObject* cls, const Args& a) {
  PyObject *self = a[0], *ns = a[1];
  if (S.asserts) {
    Ref ns_cls = GLOBAL("TclNamespace");
    if (!glue::isinstance(ns, ns_cls.get())) {
      PyErr_SetNone(PyExc_AssertionError);
      throw glue::PythonError{};
    }
  }
  Ref sup = glue::super_of(cls, self);
  glue::call_method(sup.get(), GLUE_STR("__init__"));
  glue::setattr(self, GLUE_STR("ns"), ns);
  return Ref::borrow(Py_None);
}

Ref vview_init(const Args& a) { return view_init(S.VariablesView.cls, a); }
Ref cview_init(const Args& a) { return view_init(S.CommandsView.cls, a); }

// TclNamespace.join(self.ns.ns, name)
Ref qualify(PyObject* view, PyObject* name) {
  Ref ns = GLUE_MEMBER(view, "ns");
  Ref ns_name = GLUE_MEMBER(ns.get(), "ns");
  return namespace_join(ns_name.get(), name);
}

// The text Python gives for a callable in call errors: module.qualname().
Ref callable_text(PyObject* f) {
  Ref qualname = glue::lookup_attr(f, GLUE_STR("__qualname__"));
  Ref module = glue::lookup_attr(f, GLUE_STR("__module__"));
  if (qualname && module && PyUnicode_Check(qualname.get()) && PyUnicode_Check(module.get()))
    return glue::check(PyUnicode_FromFormat("%U.%U()", module.get(), qualname.get()));
  return glue::check(PyUnicode_FromFormat("%s object", Py_TYPE(f)->tp_name));
}

[[noreturn]] void repeated_keyword(PyObject* f, const char* keyword) {
  Ref text = callable_text(f);
  glue::raisef(PyExc_TypeError, "%U got multiple values for keyword argument '%s'", text.get(), keyword);
}

// cls(qualify(name), *args, tcl=self.ns.tcl, **kwargs); `kwargs` is owned.
Ref make_byref(PyObject* self, PyObject* cls, PyObject* name, PyObject* args, PyObject* kwargs) {
  Ref qualified = qualify(self, name);
  Ref ns = GLUE_MEMBER(self, "ns");
  Ref tcl = GLUE_MEMBER(ns.get(), "tcl");
  if (PyDict_Contains(kwargs, GLUE_STR("tcl"))) repeated_keyword(cls, "tcl");
  Ref kw = glue::new_dict();
  glue::dict_set(kw.get(), GLUE_STR("tcl"), tcl.get());
  glue::check_status(PyDict_Update(kw.get(), kwargs));
  Ref head = glue::tuple_of(qualified.get());
  Ref all = tuple_concat({head.get(), args});
  return glue::call_kw(cls, all.get(), kw.get());
}

Ref var_byref(PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) {
  Ref var_type;
  PyObject* given = PyDict_GetItemWithError(kwargs, GLUE_STR("var_type"));
  if (given) {
    var_type = Ref::borrow(given);
    glue::check_status(PyDict_DelItem(kwargs, GLUE_STR("var_type")));
  } else {
    if (PyErr_Occurred()) throw glue::PythonError{};
    var_type = GLOBAL("TclVariable");
  }
  return make_byref(self, var_type.get(), name, args, kwargs);
}

Ref vview_byref(const Args& a) { return var_byref(a[0], a[1], a.varargs(), a.varkw()); }

Ref vview_array_byref(const Args& a) {
  PyObject* self = a[0];
  PyObject* kwargs = a.varkw();
  Ref fn = glue::getattr(self, GLUE_STR("byref"));
  if (PyDict_Contains(kwargs, GLUE_STR("var_type"))) repeated_keyword(fn.get(), "var_type");
  Ref cls = GLOBAL("TclArrayVariable");
  Ref kw = glue::new_dict();
  glue::dict_set(kw.get(), GLUE_STR("var_type"), cls.get());
  glue::check_status(PyDict_Update(kw.get(), kwargs));
  Ref head = glue::tuple_of(a[1]);
  Ref all = tuple_concat({head.get(), a.varargs()});
  return glue::call_kw(fn.get(), all.get(), kw.get());
}

// self.byref(name) of a variable view.
Ref varobj(PyObject* self, PyObject* name) {
  if (OURS(self, VariablesView, "byref")) {
    Ref none = empty_tuple();
    Ref kw = glue::new_dict();
    return var_byref(self, name, none.get(), kw.get());
  }
  return glue::call_method(self, GLUE_STR("byref"), name);
}

// "NS::NAME" written at once, when that text is exactly what joining and
// normalizing would give: our own join in force, and a relative name and a
// namespace that join plainly.  Else null.
Ref fused_var_name(PyObject* ns_name, PyObject* name) {
  if (!PyUnicode_CheckExact(ns_name) || !PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(ns_name) == 0 ||
      PyUnicode_GET_LENGTH(name) == 0 || starts_with_sep(name))
    return Ref();
  Ref ns_cls = GLOBAL("TclNamespace");
  if (!OUR_CLASS(ns_cls.get(), TclNamespace, "join")) return Ref();
  // The last name made, with the two strings it was made from (held, so
  // that the same objects mean the same text).
  static Ref last_ns, last_name, last_joined;
  if (ns_name == last_ns.get() && name == last_name.get()) return last_joined;
  bool global = PyUnicode_GET_LENGTH(ns_name) == 2 && starts_with_sep(ns_name);
  Ref joined = global ? concat(GLUE_STR("::"), name) : concat_all({ns_name, GLUE_STR("::"), name});
  bool plain = cv::with_chars(joined.get(), [](const auto* d, size_t n) { return nm::is_normal(d, n); });
  if (!plain) return Ref();
  last_ns = Ref::borrow(ns_name);
  last_name = Ref::borrow(name);
  last_joined = joined;
  return joined;
}

// The `var_name` and the application object of the variable
// self.byref(name) would make, without making it.
void view_variable(PyObject* self, PyObject* name, Ref& var_name, Ref& tk) {
  Ref ns = GLUE_MEMBER(self, "ns");
  Ref ns_name = GLUE_MEMBER(ns.get(), "ns");
  var_name = fused_var_name(ns_name.get(), name);
  if (!var_name) {
    Ref qualified = namespace_join(ns_name.get(), name);
    var_name = quotify(qualified.get());
  }
  Ref tcl_given = GLUE_MEMBER(ns.get(), "tcl");
  Ref tcl = interpreter_proxy(tcl_given.get());
  tk = tk_of(tcl.get());
}

Ref vview_get_impl(PyObject* self, PyObject* name) {
  if (OURS(self, VariablesView, "byref")) {
    Ref var_cls = GLOBAL("TclVariable");
    if (OUR_CLASS(var_cls.get(), TclVariable, "__new__", "__init__", "get_str")) {
      // TclVariable(qualify(name), tcl=self.ns.tcl).get_str(), without
      // making the object nobody can see.
      Ref var_name, tk;
      view_variable(self, name, var_name, tk);
      return evaluating(tk.get(), [&] { return trivex::tktext::var_text(tk.get(), var_name.get()); });
    }
  }
  Ref var = varobj(self, name);
  return glue::call_method(var.get(), GLUE_STR("get_str"));
}

Ref vview_get(const Args& a) { return vview_get_impl(a[0], a[1]); }

Ref vview_set_impl(PyObject* self, PyObject* name, PyObject* value, PyObject* array_index) {
  if (OURS(self, VariablesView, "byref")) {
    Ref var_cls = GLOBAL("TclVariable");
    if (OUR_CLASS(var_cls.get(), TclVariable, "__new__", "__init__", "set")) {
      // TclVariable(qualify(name), tcl=self.ns.tcl).set(value, array_index)
      // without the object.
      Ref var_name, tk;
      view_variable(self, name, var_name, tk);
      return set_named(tk.get(), var_name.get(), value, array_index);
    }
  }
  Ref var = varobj(self, name);
  return vmethod(var.get(), GLUE_STR("set"), {value, array_index}, KWNAMES("array_index"));
}

Ref vview_set(const Args& a) { return vview_set_impl(a[0], a[1], a[2], a[3]); }

Ref vview_unset(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  vmethod(var.get(), GLUE_STR("unset"), {a[2], a[3]}, KWNAMES("array_index", "nocomplain"));
  return Ref::borrow(Py_None);
}

Ref vview_array_get(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  return vmethod(var.get(), GLUE_STR("array_get_str"), {a[2]}, KWNAMES("pattern"));
}

Ref vview_array_set(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  glue::call_method(var.get(), GLUE_STR("array_set"), a[2]);
  return Ref::borrow(Py_None);
}

Ref vview_array_unset(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  vmethod(var.get(), GLUE_STR("array_unset"), {a[2]}, KWNAMES("pattern"));
  return Ref::borrow(Py_None);
}

Ref vview_array_names(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  return vmethod(var.get(), GLUE_STR("array_names"), {a[2]}, KWNAMES("pattern"));
}

Ref vview_is_array(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  return glue::call_method(var.get(), GLUE_STR("is_array"));
}

Ref vview_exists(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  return vmethod(var.get(), GLUE_STR("exists"), {a[2]}, KWNAMES("array_index"));
}

// raise KeyError(exc) from exc, for the exception in flight when it is one
// of `types`.
template <class F>
Ref key_error_from(F&& f, std::initializer_list<PyObject*> types) {
  try {
    return f();
  } catch (const glue::PythonError&) {
    glue::CaughtError err;
    for (PyObject* t : types) {
      if (err.matches(t)) {
        Ref key_error = glue::call(PyExc_KeyError, err.value());
        glue::raise_from(std::move(key_error), err.value(), err.value());
      }
    }
    err.reraise();
  }
}

Ref oview_get_impl(PyObject* self, PyObject* name, PyObject* array_index);

Ref view_getitem(PyObject* self, PyObject* name) {
  return key_error_from(
      [&] {
        if (OURS(self, VariablesView, "get")) return vview_get_impl(self, name);
        if (OURS(self, ObjectsView, "get")) return oview_get_impl(self, name, Py_None);
        return glue::call_method(self, GLUE_STR("get"), name);
      },
      {S.TclError, PyExc_ValueError});
}

Ref vview_getitem(const Args& a) { return view_getitem(a[0], a[1]); }

Ref vview_contains(const Args& a) { return glue::call_method(a[0], GLUE_STR("exists"), a[1]); }

Ref vview_setitem(const Args& a) {
  if (OURS(a[0], VariablesView, "set"))
    vview_set_impl(a[0], a[1], a[2], Py_None);
  else
    glue::call_method(a[0], GLUE_STR("set"), a[1], a[2]);
  return Ref::borrow(Py_None);
}

Ref view_delitem(const Args& a, PyObject* method) {
  return key_error_from(
      [&] {
        glue::call_method(a[0], method, a[1]);
        return Ref::borrow(Py_None);
      },
      {S.TclError});
}

Ref vview_delitem(const Args& a) { return view_delitem(a, GLUE_STR("unset")); }

Ref view_len(const Args& a) {
  Ref it = glue::check(PyObject_GetIter(a[0]));
  Py_ssize_t n = 0;
  while (PyObject* item = PyIter_Next(it.get())) {
    Py_DECREF(item);
    ++n;
  }
  if (PyErr_Occurred()) throw glue::PythonError{};
  return glue::check(PyLong_FromSsize_t(n));
}

// The names a view iterates, as str (the binding may hand back Tcl objects):
// ns.call("::info", sub), split by the interpreter's cast_list.  Inside a
// namespace other than the global one, a bare `info vars` or `info commands`
// also reports the global names visible from there, which are no keys of
// this view (looking them up qualifies them with the namespace); for an
// absolute name the query therefore asks for the namespace's own members and
// yields their names relative to it.
Ref view_names(const Args& a) {
  PyObject *view = a[0], *sub = a[1];
  Ref ns = GLUE_MEMBER(view, "ns");
  Ref ns_name = GLUE_MEMBER(ns.get(), "ns");
  Ref pattern;
  if (PyUnicode_Check(ns_name.get()) && starts_with_sep(ns_name.get())) {
    Ref normal = Ref::steal(PyObject_CallOneArg(S.ns_join, ns_name.get()));
    // Tcl takes the qualifiers of the pattern literally; only the tail globs.
    if (normal) pattern = concat(normal.get(), GLUE_STR("::*"));
    else if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    else throw glue::PythonError{};
  }
  Ref r = pattern ? glue::call_method(ns.get(), GLUE_STR("call"), GLUE_STR("::info"), sub, pattern.get())
                  : glue::call_method(ns.get(), GLUE_STR("call"), GLUE_STR("::info"), sub);
  Ref tcl = GLUE_MEMBER(ns.get(), "tcl");
  Ref names = GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", r.get());
  Ref items = glue::check(PySequence_Tuple(names.get()));
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  Ref out = glue::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    Ref name = PyUnicode_CheckExact(item) ? Ref::borrow(item) : glue::str(item);
    if (pattern) name = tail(name.get());
    PyTuple_SET_ITEM(out.get(), i, name.release());
  }
  return out;
}

Ref view_iter(PyObject* self, PyObject* sub) {
  Ref args = glue::tuple_of(self, sub);
  return glue::lazy_iter(S.view_names, args.get());
}

Ref vview_iter(const Args& a) { return view_iter(a[0], GLUE_STR("vars")); }

Ref oview_get_impl(PyObject* self, PyObject* name, PyObject* array_index) {
  if (OURS(self, VariablesView, "byref")) {
    Ref var_cls = GLOBAL("TclVariable");
    if (OUR_CLASS(var_cls.get(), TclVariable, "__new__", "__init__", "get_obj")) {
      // TclVariable(qualify(name), tcl=self.ns.tcl).get_obj(array_index=...)
      // without the object: a fresh variable has no cast.
      Ref qualified = qualify(self, name);
      Ref var_name = quotify(qualified.get());
      Ref ns = GLUE_MEMBER(self, "ns");
      Ref tcl_given = GLUE_MEMBER(ns.get(), "tcl");
      Ref tcl = interpreter_proxy(tcl_given.get());
      Ref tk = tk_of(tcl.get());
      if (is_none(array_index)) return GLUE_CALL(tk.get(), "getvar", var_name.get());
      Ref index = PyUnicode_Check(array_index) ? Ref::borrow(array_index) : quotify(array_index);
      return GLUE_CALL(tk.get(), "getvar", var_name.get(), index.get());
    }
  }
  Ref var = varobj(self, name);
  return vmethod(var.get(), GLUE_STR("get_obj"), {array_index}, KWNAMES("array_index"));
}

Ref oview_get(const Args& a) { return oview_get_impl(a[0], a[1], a[2]); }

Ref oview_array_get(const Args& a) {
  Ref var = varobj(a[0], a[1]);
  return vmethod(var.get(), GLUE_STR("array_get_obj"), {a[2]}, KWNAMES("pattern"));
}

// Command views

Ref cview_byref(const Args& a) {
  PyObject *self = a[0], *name = a[1], *args = a.varargs(), *kwargs = a.varkw();
  Ref cls = GLOBAL("TclCommand");
  if (PyTuple_GET_SIZE(args) == 0 && !PyDict_Contains(kwargs, GLUE_STR("args"))) {
    // A name, not a command line: kept one word even with spaces or braces.
    Ref qualified = qualify(self, name);
    Ref one = glue::tuple_of(qualified.get());
    Ref ns = GLUE_MEMBER(self, "ns");
    Ref tcl = GLUE_MEMBER(ns.get(), "tcl");
    if (PyDict_Contains(kwargs, GLUE_STR("tcl"))) repeated_keyword(cls.get(), "tcl");
    Ref kw = glue::new_dict();
    glue::dict_set(kw.get(), GLUE_STR("tcl"), tcl.get());
    glue::check_status(PyDict_Update(kw.get(), kwargs));
    Ref all = glue::tuple_of(one.get());
    return glue::call_kw(cls.get(), all.get(), kw.get());
  }
  return make_byref(self, cls.get(), name, args, kwargs);
}

Ref cmdobj(PyObject* self, PyObject* name) { return glue::call_method(self, GLUE_STR("byref"), name); }

Ref cview_exists(const Args& a) {
  Ref c = cmdobj(a[0], a[1]);
  return glue::call_method(c.get(), GLUE_STR("exists"));
}

Ref cview_createcommand(const Args& a) {
  Ref c = cmdobj(a[0], a[1]);
  glue::call_method(c.get(), GLUE_STR("createcommand"), a[2]);
  return Ref::borrow(Py_None);
}

Ref cview_delete(const Args& a) {
  Ref c = cmdobj(a[0], a[1]);
  glue::call_method(c.get(), GLUE_STR("delete"));
  return Ref::borrow(Py_None);
}

Ref cview_rename(const Args& a) {
  Ref c = cmdobj(a[0], a[1]);
  Ref new_name = qualify(a[0], a[2]);
  glue::call_method(c.get(), GLUE_STR("rename"), new_name.get());
  return Ref::borrow(Py_None);
}

Ref cview_simple(const Args& a, PyObject* method) {
  Ref c = cmdobj(a[0], a[1]);
  return glue::call_method(c.get(), method);
}

Ref cview_origin(const Args& a) { return cview_simple(a, GLUE_STR("origin")); }
Ref cview_proc_body(const Args& a) { return cview_simple(a, GLUE_STR("proc_body")); }
Ref cview_proc_args(const Args& a) { return cview_simple(a, GLUE_STR("proc_args")); }

Ref cview_proc_arg_default(const Args& a) {
  Ref c = cmdobj(a[0], a[1]);
  return glue::call_method(c.get(), GLUE_STR("proc_arg_default"), a[2]);
}

Ref cview_getitem(const Args& a) { return cmdobj(a[0], a[1]); }
Ref cview_contains(const Args& a) { return glue::call_method(a[0], GLUE_STR("exists"), a[1]); }

Ref cview_setitem(const Args& a) {
  glue::call_method(a[0], GLUE_STR("createcommand"), a[1], a[2]);
  return Ref::borrow(Py_None);
}

Ref cview_delitem(const Args& a) { return view_delitem(a, GLUE_STR("delete")); }
Ref cview_iter(const Args& a) { return view_iter(a[0], GLUE_STR("commands")); }

Ref pview_exists(const Args& a) {
  Ref c = cmdobj(a[0], a[1]);
  return glue::call_method(c.get(), GLUE_STR("is_proc"));
}

Ref pview_iter(const Args& a) { return view_iter(a[0], GLUE_STR("procs")); }

// ---------------------------------------------------------------------------
// Fast entries
//
// The hottest operations skip the generic ways in: the type slots of a few
// classes (item access on arrays and variable views, calling a command) go
// straight to the code their dunder function runs, and the functions for
// reading and writing variables bind plain positional calls without the
// general argument binder.  The dunder functions stay in the class dicts, so
// help(), inspect and super() see them; CPython resets a slot to its generic
// form as soon as the dunder is reassigned on the class or a base, and
// subclasses get the generic slots, which call the same functions.

PyObject* subscript_slot(PyObject* self, PyObject* key) {
  return glue::boundary([&] { return getitem(self, key); });
}

int ass_subscript_slot(PyObject* self, PyObject* key, PyObject* value) {
  try {
    if (value) setitem(self, key, value);
    else delitem(self, key);
    return 0;
  } catch (...) {
    glue::set_error_from_current_exception();
    return -1;
  }
}

PyObject* view_subscript_slot(PyObject* self, PyObject* key) {
  return glue::boundary([&] { return view_getitem(self, key); });
}

PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
  return glue::boundary([&] { return dunder_call(self, args, kwargs); });
}

// get_obj(self, array_index=None, cast=marker) and set(self, value,
// array_index=None) called with positional arguments only.
PyObject* get_obj_entry(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (kwnames || n < 1 || n > 3) return glue::detail::function_vectorcall(fn, args, nargsf, kwnames);
  return glue::boundary([&] { return get_obj(args[0], n > 1 ? args[1] : Py_None, n > 2 ? args[2] : S.marker); });
}

PyObject* set_entry(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (kwnames || n < 2 || n > 3) return glue::detail::function_vectorcall(fn, args, nargsf, kwnames);
  return glue::boundary([&] { return set_value(args[0], args[1], n > 2 ? args[2] : Py_None); });
}

void fast_entry(PyObject* fn, vectorcallfunc entry) { reinterpret_cast<glue::FunctionObject*>(fn)->vectorcall = entry; }

PyTypeObject* type_of_class(PyObject* cls) { return reinterpret_cast<PyTypeObject*>(cls); }

// ---------------------------------------------------------------------------
// Class construction

void record(ClassInfo& ci, Ref cls) {
  ci.cls = cls.release();
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
    b.method({"__init__", sig.c_str(), tempvar_init});
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

void build_command_classes(glue::ModuleBuilder& m) {
  {
    glue::ClassBody b("TclCommand", kModule);
    b.method({"__init__", "(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)", cmd_init});
    b.method({"createcommand", "(self, func)", cmd_createcommand});
    b.method({"exists", "(self)", cmd_exists});
    b.method({"is_command", "(self)", cmd_is_command});
    b.method({"is_proc", "(self)", cmd_is_proc});
    b.method({"rename", "(self, new_name)", cmd_rename});
    b.method({"delete", "(self)", cmd_delete});
    b.method({"origin", "(self)", cmd_origin});
    b.method({"proc_body", "(self)", cmd_proc_body});
    b.method({"proc_args", "(self)", cmd_proc_args});
    b.method({"proc_arg_default", "(self, arg_name)", cmd_proc_arg_default});
    S.cmd_build = Py_NewRef(b.method({"build_tclcmd", "(self, *args, **kwargs)", cmd_build_tclcmd}));
    b.staticmethod({"kwargs_to_dashed_args", "(**kwargs)", cmd_kwargs_to_dashed_args});
    S.cmd_dashed = Py_NewRef(b.get("kwargs_to_dashed_args"));
    S.cmd_call = Py_NewRef(b.method({"call", "(self, *args, **kwargs)", cmd_call}));
    b.method({"__call__", "(self, *args, **kwargs)", cmd_dunder_call});
    b.method({"eval", "(self, *args, **kwargs)", cmd_eval});
    b.method({"absolute", "(self)", cmd_absolute});
    b.method({"make_absolute", "(self)", cmd_make_absolute});
    b.method({"__repr__", "(self)", cmd_repr});
    b.method({"__str__", "(self)", cmd_str});
    b.method({"__tclobj__", "(self)", cmd_tclobj});
    b.method({"__get__", "(self, instance, owner=None)", cmd_get});
    Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    m.add("TclCommand", cls.get());
    record(S.TclCommand, std::move(cls));
  }
  {
    glue::ClassBody b("TempTclCommand", kModule);
    std::string sig = std::string("(self, func=None, cmd_name=") + kTemplate + ", **kwargs)";
    b.method({"__init__", sig.c_str(), tempcmd_init});
    b.method({"__enter__", "(self)", tempcmd_enter});
    b.method({"__exit__", "(self, *exc_info)", tempcmd_exit});
    b.method({"__del__", "(self)", tempcmd_del});
    Ref cls = b.build({S.TclCommand.cls});
    m.add("TempTclCommand", cls.get());
    record(S.TempTclCommand, std::move(cls));
  }
}

Ref build_views(ClassInfo& out, const char* name, PyObject* base,
                std::initializer_list<glue::FunctionDef> methods, PyObject** keep = nullptr,
                const char* keep_name = nullptr) {
  std::string qualname = std::string("TclNamespace.") + name;
  glue::ClassBody b(name, kModule, qualname.c_str());
  for (const auto& def : methods) {
    PyObject* f = b.method(def);
    if (keep && std::strcmp(def.name, keep_name) == 0) *keep = Py_NewRef(f);
  }
  Ref cls = b.build({base});
  out.cls = Py_NewRef(cls.get());
  return cls;
}

void build_namespace_classes(glue::ModuleBuilder& m) {
  Ref mutable_mapping = glue::import_attr("collections.abc", "MutableMapping");
  Ref vars_view = build_views(S.VariablesView, "VariablesView", mutable_mapping.get(),
                              {{"__init__", "(self, ns)", vview_init},
                               {"byref", "(self, var_name, *args, **kwargs)", vview_byref},
                               {"array_byref", "(self, var_name, *args, **kwargs)", vview_array_byref},
                               {"get", "(self, var_name)", vview_get},
                               {"set", "(self, var_name, value, array_index=None)", vview_set},
                               {"unset", "(self, var_name, array_index=None, nocomplain=False)", vview_unset},
                               {"array_get", "(self, var_name, pattern=None)", vview_array_get},
                               {"array_set", "(self, var_name, value)", vview_array_set},
                               {"array_unset", "(self, var_name, pattern=None)", vview_array_unset},
                               {"array_names", "(self, var_name, pattern=None)", vview_array_names},
                               {"is_array", "(self, var_name)", vview_is_array},
                               {"exists", "(self, var_name, array_index=None)", vview_exists},
                               {"__getitem__", "(self, var_name)", vview_getitem},
                               {"__contains__", "(self, var_name)", vview_contains},
                               {"__setitem__", "(self, var_name, value)", vview_setitem},
                               {"__delitem__", "(self, var_name)", vview_delitem},
                               {"__len__", "(self)", view_len},
                               {"__iter__", "(self)", vview_iter}},
                              &S.vview_byref, "byref");
  S.vview_get = Py_NewRef(glue::getattr(vars_view.get(), "get").get());
  Ref objs_view = build_views(S.ObjectsView, "ObjectsView", vars_view.get(),
                              {{"get", "(self, var_name, array_index=None)", oview_get},
                               {"array_get", "(self, var_name, pattern=None)", oview_array_get}});
  S.oview_get = Py_NewRef(glue::getattr(objs_view.get(), "get").get());
  Ref cmds_view = build_views(S.CommandsView, "CommandsView", mutable_mapping.get(),
                              {{"__init__", "(self, ns)", cview_init},
                               {"byref", "(self, cmd_name, *args, **kwargs)", cview_byref},
                               {"exists", "(self, cmd_name)", cview_exists},
                               {"createcommand", "(self, cmd_name, func)", cview_createcommand},
                               {"delete", "(self, cmd_name)", cview_delete},
                               {"rename", "(self, cmd_name, new_name)", cview_rename},
                               {"origin", "(self, cmd_name)", cview_origin},
                               {"proc_body", "(self, cmd_name)", cview_proc_body},
                               {"proc_args", "(self, cmd_name)", cview_proc_args},
                               {"proc_arg_default", "(self, cmd_name, arg_name)", cview_proc_arg_default},
                               {"__getitem__", "(self, cmd_name)", cview_getitem},
                               {"__contains__", "(self, cmd_name)", cview_contains},
                               {"__setitem__", "(self, cmd_name, func)", cview_setitem},
                               {"__delitem__", "(self, cmd_name)", cview_delitem},
                               {"__len__", "(self)", view_len},
                               {"__iter__", "(self)", cview_iter}});
  Ref procs_view = build_views(S.ProcsView, "ProcsView", cmds_view.get(),
                               {{"exists", "(self, cmd_name)", pview_exists}, {"__iter__", "(self)", pview_iter}});

  glue::ClassBody b("TclNamespace", kModule);
  b.method({"__init__", "(self, ns, tcl=None)", ns_init});
  b.method({"children", "(self, pattern=None)", ns_children});
  b.method({"code", "(self, script)", ns_code});
  b.method({"current", "(self)", ns_current});
  b.method({"create", "(self)", ns_create});
  b.method({"delete", "(self)", ns_delete});
  b.method({"eval", "(self, tclcmd, *args)", ns_eval});
  b.method({"call", "(self, tclcmd, *args)", ns_call});
  b.method({"exists", "(self)", ns_exists});
  b.method({"export", "(self, clear=False, *patterns)", ns_export});
  b.method({"forget", "(self, *patterns)", ns_forget});
  b.method({"import_", "(self, force=False, *patterns)", ns_import});
  b.method({"origin", "(self, command)", ns_origin});
  b.method({"parent", "(self, force_eval=False)", ns_parent});
  b.method({"which", "(self, name, command=False, variable=False)", ns_which});
  b.method({"is_absolute", "(self)", ns_is_absolute});
  b.method({"is_relative", "(self)", ns_is_relative});
  b.method({"absolute", "(self)", ns_absolute});
  b.method({"make_absolute", "(self)", ns_make_absolute});
  b.method({"__str__", "(self)", ns_str});
  b.staticmethod({"qualifiers", "(string)", ns_qualifiers});
  b.staticmethod({"tail", "(string)", ns_tail});
  S.ns_join = Py_NewRef(b.staticmethod({"join", "(string, *args)", ns_join}));
  b.staticmethod({"split", "(string)", ns_split});
  b.staticmethod({"normalize", "(string)", ns_normalize});
  b.add("VariablesView", vars_view.get());
  b.add("ObjectsView", objs_view.get());
  b.add("CommandsView", cmds_view.get());
  b.add("ProcsView", procs_view.get());
  Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  m.add("TclNamespace", cls.get());
  record(S.TclNamespace, std::move(cls));
  for (ClassInfo* ci : {&S.VariablesView, &S.ObjectsView, &S.CommandsView, &S.ProcsView}) {
    Ref view = Ref::steal(ci->cls);
    record(*ci, std::move(view));
  }

  glue::ClassBody t("TempTclNamespace", kModule);
  std::string sig = std::string("(self, ns=") + kTemplate + ", **kwargs)";
  t.method({"__init__", sig.c_str(), tempns_init});
  t.method({"__enter__", "(self)", tempns_enter});
  t.method({"__exit__", "(self, *exc_info)", tempns_exit});
  Ref temp = t.build({S.TclNamespace.cls});
  m.add("TempTclNamespace", temp.get());
  record(S.TempTclNamespace, std::move(temp));
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
    S.attr_tcl = GLUE_STR("tcl");
    S.attr_cmd_name = GLUE_STR("cmd_name");
    S.attr_args = GLUE_STR("args");
    S.attr_keywords = GLUE_STR("keywords");
    S.attr_cast = GLUE_STR("cast");
    S.attr_logger = GLUE_STR("logger");
    S.marker = glue::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))).release();
    S.method_caller = glue::make_function({"_call_method", "(obj, name)", method_caller}, kModule).release();
    cv::types();
    S.view_names = glue::make_function({"_view_names", "(view, subcommand)", view_names}, kModule).release();
    build_variable_classes(m);
    build_command_classes(m);
    build_namespace_classes(m);
    fast_entry(S.var_get_obj, get_obj_entry);
    fast_entry(S.var_set, set_entry);
    PyTypeObject* arrays = type_of_class(S.TclArrayVariable.cls);
    arrays->tp_as_mapping->mp_subscript = subscript_slot;
    arrays->tp_as_mapping->mp_ass_subscript = ass_subscript_slot;
    type_of_class(S.TclCommand.cls)->tp_call = call_slot;
    for (PyObject* view : {S.VariablesView.cls, S.ObjectsView.cls})
      type_of_class(view)->tp_as_mapping->mp_subscript = view_subscript_slot;
  });
}
