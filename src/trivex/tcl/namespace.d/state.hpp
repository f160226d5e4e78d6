// Module trivex.tcl.namespace: what its files share.  The module state is
// one struct, defined once (module.cpp); helpers small enough to matter on
// the hot paths are inline here, the others are declared here and defined
// by the file named above each group.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "to_tcl.hpp"
#include "core/names.hpp"
#include "bridge/bridge.hpp"

namespace trivex::namespace_module {

using glue::Args;
using glue::Ref;
namespace cv = trivex::convert;
namespace nm = trivex::names;

constexpr const char* kModule = "trivex.tcl.namespace";
constexpr const char* kTemplate = "'::__trivex__{cls}_{id}_tmp'";

// ---------------------------------------------------------------------------
// Module state: set once at import, alive for the process.

struct ClassInfo {
  glue::Owned cls;
  glue::Pristine origin;  // the class as built, for the fast paths' guards
};

struct State {
  glue::Owned globals;  // the module's dict
  glue::Owned TclError;
  glue::Owned marker;
  glue::Owned update_wrapper;
  glue::Owned format_exception;  // traceback.format_exception, on first error
  bool asserts = true;
  ClassInfo TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable;
  ClassInfo TclCommand, TempTclCommand, TclNamespace, TempTclNamespace;
  ClassInfo VariablesView, ObjectsView, CommandsView, ProcsView;
  // Class-dict entries the fast paths compare against.
  glue::Owned var_get_obj;
  glue::Owned ns_join;         // the function inside the staticmethod
  glue::Owned method_caller;   // (obj, name): obj.name(), for lazy iterators
  glue::Owned view_names;      // (view, subcommand): the names a view yields
  PyObject *attr_tcl = nullptr, *attr_cmd_name = nullptr, *attr_args = nullptr, *attr_keywords = nullptr,
           *attr_cast = nullptr, *attr_logger = nullptr;
};

extern State state;

// obj.name(*args), keyword values last as in glue::call_kw.
Ref vmethod(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// A module-level name, looked up when the code runs (as Python code would);
// remembered while the module's dict is unmodified (its version tag says).
struct GlobalCache {
  uint64_t version = 0;
  PyObject* value = nullptr;  // borrowed from the module dict
};

inline Ref global(PyObject* name, GlobalCache& cache) {
  uint64_t version = reinterpret_cast<PyDictObject*>(state.globals.get())->ma_version_tag;
  if (cache.value && cache.version == version) return Ref::borrow(cache.value);
  PyObject* v = PyDict_GetItemWithError(state.globals, name);
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

using glue::instance_dict;

// Give `self` an ordinary instance dict holding what it holds now.  Left to
// itself, CPython keeps instance attributes in a form shared by the class
// and turns it into a "split" dict at the first C-level dict access.
// CPython 3.11's bytecode caches then serve method calls on the instance
// well but attribute reads badly, and with an ordinary dict the other way
// round; namespaces are read from (ns.vars, ns.cmds), the other objects are
// called, so only namespaces get one.
void use_plain_dict(PyObject* self);

using glue::SiteCache;

// Whether Python's lookup of obj.<name> consults the instance dict before
// anything else: object's own __getattribute__ and no class attribute of
// that name.
inline bool plain_attribute(PyTypeObject* t, PyObject* name) {
  return glue::generic_lookup(t) && !_PyType_Lookup(t, name);
}

// self.<a> and self.<b> as two GLUE_MEMBER reads give them, remembered together.
struct PairCache {
  SiteCache site;
  PyObject* second = nullptr;  // borrowed from the same dict as site.value
};

inline void field_pair(PyObject* self, PyObject* a, PyObject* b, PairCache& cache, Ref& va, Ref& vb) {
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
#define OURS(self, info, ...) GLUE_RELIES_ON(state.info.origin, __VA_ARGS__).holds(self)
// Whether `cls` is exactly the module's class, unchanged in these names.
#define OUR_CLASS(cls, info, ...) GLUE_RELIES_ON(state.info.origin, __VA_ARGS__).class_holds(cls)

// The _tkinter application object of an interpreter held by `tcl` (usually
// a weak proxy).  The referent is kept alive for the attribute lookup.
inline Ref tk_of(PyObject* tcl) {
  Ref interp = glue::referent(tcl);
  Ref tk = GLUE_MEMBER(interp.get(), "tk");
  trivex::tcl::check_tk(tk.get());
  return tk;
}

inline Ref self_tk(PyObject* self) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  return tk_of(tcl.get());
}

// The interpreter rule shared by every constructor: a false `tcl` means the
// package's default interpreter, and whatever is used is held weakly.
Ref interpreter_proxy(PyObject* tcl);
// Whether that rule takes `tcl` as it is, without a truth test.
bool plain_proxy(PyObject* tcl);

inline bool is_none(PyObject* o) { return o == Py_None; }

inline Ref quotify(PyObject* o) { return cv::quotify(o); }
inline Ref tclobj(PyObject* o) { return cv::tclobj(o); }

// a + b for two str, with Python's error for anything else.
inline Ref concat(PyObject* a, PyObject* b) { return glue::check(PyUnicode_Concat(a, b)); }

// The concatenation of str parts, in one allocation.
Ref concat_all(std::initializer_list<PyObject*> parts);

inline Ref concat3(PyObject* a, PyObject* b, PyObject* c) { return concat_all({a, b, c}); }

// NAME(INDEX) as the element forms of the variable methods write it.
Ref element_name(PyObject* name, PyObject* index);

// s.startswith("::"), for any object as Python would ask it.
bool starts_with_sep(PyObject* s);

// The words `head...` followed by `tail` (an optional last word).
Ref words(std::initializer_list<PyObject*> head, PyObject* tail = nullptr);

// Run `f`, a call of the binding that evaluates Tcl code on `tk`; a TclError
// from it is raised again carrying the failure's return options.
template <class F>
Ref evaluating(PyObject* tk, F&& f) {
  try {
    return f();
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(state.TclError)) throw;
    glue::CaughtError err;
    trivex::tcl::reraise_with_options(tk, err);
  }
}

// Send a tuple of words: tk.call(words), one word per element.
Ref tk_call(PyObject* tk, PyObject* w);
// Evaluate a tuple of words as one script: tk.eval(quotify(words)).
Ref tk_eval_words(PyObject* tk, PyObject* w);

// `str.format` of a temporary-name template for the object `self`.
Ref fill_template(PyObject* templ, PyObject* self);

// getattr(super(cls, self), name, None), called with `args` when true;
// `found` tells whether it was.
Ref call_next(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, bool& found);

inline Ref empty_tuple() { return glue::check(PyTuple_New(0)); }

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
// Defined in one file, used in others.

// module state, shared helpers (module.cpp)
void record(ClassInfo& ci, Ref cls);

// name arithmetic (names.cpp)
Ref substring(PyObject* s, size_t start, size_t end);
Ref from_ucs4(const std::u32string& text);
Ref qualifiers(PyObject* string);
Ref tail(PyObject* string);
Ref split(PyObject* string);
Ref normalize(PyObject* string);
Ref join(PyObject* string, PyObject* const* rest, Py_ssize_t n);
Ref namespace_join(PyObject* a, PyObject* b);
void add_name_arithmetic(glue::ClassBody& b);

// variables and temporaries (variables.cpp)
Ref current_namespace(PyObject* tk);
Ref absolute_name(PyObject* self, PyObject* name);
Ref make_absolute(PyObject* self, PyObject* attr);
Ref get_obj(PyObject* self, PyObject* array_index, PyObject* cast);
Ref get_str(PyObject* self, PyObject* array_index);
// tk.getvar(name) or tk.getvar(name, array_index) (None: the variable).
Ref getvar(PyObject* tk, PyObject* name, PyObject* array_index);
Ref set_named(PyObject* tk, PyObject* name, PyObject* value, PyObject* array_index);
Ref set_value(PyObject* self, PyObject* value, PyObject* array_index);
Ref unset_value(PyObject* self, PyObject* array_index, PyObject* nocomplain);
Ref exists_value(PyObject* self, PyObject* array_index);
Ref array_unset(PyObject* self, PyObject* pattern);
Ref array_size(PyObject* self);
Ref array_names(PyObject* self, PyObject* pattern);
Ref type_name(PyObject* self);
Ref temp_enter(PyObject* cls, PyObject* self);
Ref temp_exit_next(PyObject* cls, PyObject* self, PyObject* exc_info);
void build_variable_classes(glue::ModuleBuilder& m);

// array variables (arrays.cpp)
extern const glue::Body method_caller;
void build_array_classes(glue::ModuleBuilder& m);

// commands and temporary commands (commands.cpp)
Ref tuple_concat(std::initializer_list<PyObject*> parts);
void delete_quietly(PyObject* self);
void build_command_classes(glue::ModuleBuilder& m);

// namespaces (namespaces.cpp)
void build_namespace_classes(glue::ModuleBuilder& m);

// The four view classes, built before TclNamespace, which holds them.
struct ViewClasses {
  Ref variables, objects, commands, procs;
};

// the four views (views.cpp)
extern const glue::Body view_names;
ViewClasses build_view_classes();

}  // namespace trivex::namespace_module
