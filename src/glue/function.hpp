// The one callable type of the package's extension modules.
//
// Every Python-visible function and method is a `Function`: a small object
// entered through vectorcall whose C++ body receives its arguments already
// bound to the declared parameters.  It behaves like a Python function where
// users can tell: it binds to instances as a method (tp_descr_get builds a
// bound method; Py_TPFLAGS_METHOD_DESCRIPTOR lets `obj.m(x)` skip even that),
// has a writable __dict__, __name__, __qualname__, __module__ and __doc__,
// pickles by qualified name, and reports its parameters through
// __text_signature__ and __signature__, so inspect.signature() and help()
// work.  Wrong calls raise the TypeError texts of Python functions.
//
// A function is declared by its signature text, e.g.
//     "(self, var_name, array_index=None, *, tcl, **kwargs)"
// Defaults are Python literals (None, True, False, numbers, quoted strings,
// ()) or names resolved through a small table given at creation.
#pragma once

#include "ref.hpp"

#include <structmember.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace glue {

enum class ParamKind { positional_only, positional_or_keyword, var_positional, keyword_only, var_keyword };

struct Param {
  std::string text_name;  // as written, for __signature__
  Ref name;               // interned str
  ParamKind kind;
  Ref default_value;      // empty when required
  std::string default_text;
};

class Signature {
 public:
  std::vector<Param> params;  // in declaration order
  // Indexes into `params` of the bound slots (every kind except *args/**kwargs).
  std::vector<size_t> slots;
  Py_ssize_t n_positional = 0;       // positional-only + positional-or-keyword
  Py_ssize_t n_positional_only = 0;
  Py_ssize_t n_positional_defaults = 0;
  bool var_positional = false;
  bool var_keyword = false;
  std::string text;
  // For each parameter in declaration order: its slot, or kFromVarargs /
  // kFromVarkw for *args and **kwargs.
  std::vector<int> sources;
  static constexpr int kFromVarargs = -1;
  static constexpr int kFromVarkw = -2;

  size_t n_slots() const { return slots.size(); }
  // Only positional-or-keyword parameters: the shape the positional fast
  // entry serves.
  bool plain_positional() const {
    return !var_positional && !var_keyword && static_cast<size_t>(n_positional) == slots.size();
  }
  const Param& slot(size_t i) const { return params[slots[i]]; }
};

struct NamedDefault {
  const char* name;
  PyObject* value;
};

namespace detail {

inline Ref parse_literal(const std::string& t, std::initializer_list<NamedDefault> named) {
  for (const auto& nd : named)
    if (t == nd.name) return Ref::borrow(nd.value);
  if (t == "None") return Ref::borrow(Py_None);
  if (t == "True") return Ref::borrow(Py_True);
  if (t == "False") return Ref::borrow(Py_False);
  if (t == "()") return check(PyTuple_New(0));
  if (!t.empty() && (t[0] == '\'' || t[0] == '"')) {
    std::string out;
    for (size_t i = 1; i + 1 < t.size(); ++i) {
      if (t[i] == '\\' && i + 2 < t.size()) ++i;
      out += t[i];
    }
    return check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  }
  if (!t.empty()) {
    Ref s = str_from(t);
    PyObject* v = PyLong_FromUnicodeObject(s.get(), 10);
    if (v) return Ref::steal(v);
    PyErr_Clear();
    v = PyFloat_FromString(s.get());
    if (v) return Ref::steal(v);
    PyErr_Clear();
  }
  raisef(PyExc_SystemError, "unsupported default in signature: %s", t.c_str());
}

inline std::vector<std::string> split_params(const std::string& inner) {
  std::vector<std::string> out;
  std::string cur;
  char quote = 0;
  int depth = 0;
  for (char c : inner) {
    if (quote) {
      cur += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (c == ',' && depth == 0) {
      out.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  out.push_back(cur);
  for (auto& s : out) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    s = b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  }
  if (out.size() == 1 && out[0].empty()) out.clear();
  return out;
}

}  // namespace detail

inline Signature parse_signature(const char* text, std::initializer_list<NamedDefault> named = {}) {
  Signature sig;
  sig.text = text;
  std::string t(text);
  if (t.size() < 2 || t.front() != '(' || t.back() != ')')
    raisef(PyExc_SystemError, "malformed signature: %s", text);
  bool keyword_only = false;
  std::vector<Param> positional_only_pending;
  for (const std::string& raw : detail::split_params(t.substr(1, t.size() - 2))) {
    if (raw == "/") {
      for (auto& p : sig.params) p.kind = ParamKind::positional_only;
      sig.n_positional_only = static_cast<Py_ssize_t>(sig.params.size());
      continue;
    }
    if (raw == "*") {
      keyword_only = true;
      continue;
    }
    Param p;
    std::string name = raw;
    size_t eq = raw.find('=');
    if (eq != std::string::npos) {
      name = raw.substr(0, eq);
      p.default_text = raw.substr(eq + 1);
      p.default_value = detail::parse_literal(p.default_text, named);
    }
    if (name.rfind("**", 0) == 0) {
      p.kind = ParamKind::var_keyword;
      name = name.substr(2);
      sig.var_keyword = true;
    } else if (name.rfind("*", 0) == 0) {
      p.kind = ParamKind::var_positional;
      name = name.substr(1);
      sig.var_positional = true;
      keyword_only = true;
    } else if (keyword_only) {
      p.kind = ParamKind::keyword_only;
    } else {
      p.kind = ParamKind::positional_or_keyword;
      ++sig.n_positional;
      if (p.default_value) ++sig.n_positional_defaults;
    }
    p.text_name = name;
    p.name = check(PyUnicode_InternFromString(name.c_str()));
    sig.params.push_back(std::move(p));
  }
  for (size_t i = 0; i < sig.params.size(); ++i) {
    auto k = sig.params[i].kind;
    if (k == ParamKind::var_positional) {
      sig.sources.push_back(Signature::kFromVarargs);
    } else if (k == ParamKind::var_keyword) {
      sig.sources.push_back(Signature::kFromVarkw);
    } else {
      sig.sources.push_back(static_cast<int>(sig.slots.size()));
      sig.slots.push_back(i);
    }
  }
  return sig;
}

struct FunctionObject;

// The bound arguments a function body receives.  Slot values are borrowed
// from the caller (or from the signature's defaults) and valid for the call.
class Args {
 public:
  static constexpr size_t max_slots = 16;

  PyObject* operator[](size_t i) const { return slots_[i]; }
  size_t size() const { return n_; }
  // The i-th declared parameter, *args and **kwargs included.
  PyObject* param(size_t i) const;
  // The *args tuple (empty tuple when not declared or not given).
  PyObject* varargs() const { return varargs_.get(); }
  // The **kwargs dict (a fresh dict; empty when nothing was passed).
  PyObject* varkw() const { return varkw_.get(); }
  FunctionObject* function() const { return func_; }

  Args(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

 private:
  void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  FunctionObject* func_;
  size_t n_;
  PyObject* slots_[max_slots];
  Ref varargs_;
  Ref varkw_;
};

using Impl = Ref (*)(const Args&);

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;
  binaryfunc binary;    // the body as a two-argument slot, or null
  ternaryfunc ternary;  // the body as a three-argument slot, or null
  Signature* sig;
  PyObject* dict;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* text_signature;
  PyObject* signature;  // inspect.Signature, built on first request
  PyObject* data;       // optional object the body may use (function-specific)
  PyObject* weakrefs;
};

inline PyObject* Args::param(size_t i) const {
  int source = func_->sig->sources[i];
  if (source >= 0) return slots_[source];
  return source == Signature::kFromVarargs ? varargs() : varkw();
}

namespace detail {

inline PyObject* qualname_of(FunctionObject* f) { return f->qualname; }

[[noreturn]] inline void missing_arguments(FunctionObject* f, const std::vector<PyObject*>& names,
                                           const char* kind) {
  Ref name_str;
  size_t n = names.size();
  if (n == 1) {
    name_str = repr(names[0]);
  } else if (n == 2) {
    Ref a = repr(names[0]), b = repr(names[1]);
    name_str = check(PyUnicode_FromFormat("%U and %U", a.get(), b.get()));
  } else {
    Ref acc = str_from("");
    for (size_t i = 0; i + 2 < n; ++i) {
      Ref r = repr(names[i]);
      acc = check(PyUnicode_FromFormat(i ? "%U, %U" : "%U%U", acc.get(), r.get()));
    }
    Ref a = repr(names[n - 2]), b = repr(names[n - 1]);
    name_str = check(PyUnicode_FromFormat("%U, %U, and %U", acc.get(), a.get(), b.get()));
  }
  raisef(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", qualname_of(f),
         static_cast<int>(n), kind, n == 1 ? "" : "s", name_str.get());
}

[[noreturn]] inline void too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t kwonly_given) {
  const Signature& s = *f->sig;
  Ref sig_text;
  bool plural;
  if (s.n_positional_defaults) {
    plural = true;
    sig_text = check(PyUnicode_FromFormat("from %zd to %zd", s.n_positional - s.n_positional_defaults,
                                          s.n_positional));
  } else {
    plural = s.n_positional != 1;
    sig_text = check(PyUnicode_FromFormat("%zd", s.n_positional));
  }
  Ref kwonly;
  if (kwonly_given)
    kwonly = check(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                        given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
  else
    kwonly = str_from("");
  raisef(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", qualname_of(f),
         sig_text.get(), plural ? "s" : "", given, kwonly.get(),
         given == 1 && !kwonly_given ? "was" : "were");
}

inline Py_ssize_t find_slot(const Signature& s, PyObject* key) {
  for (size_t i = 0; i < s.slots.size(); ++i)
    if (s.slot(i).name.get() == key) return static_cast<Py_ssize_t>(i);
  for (size_t i = 0; i < s.slots.size(); ++i) {
    int eq = PyUnicode_Compare(s.slot(i).name.get(), key);
    if (eq == 0) return static_cast<Py_ssize_t>(i);
  }
  if (PyErr_Occurred()) throw PythonError{};
  return -1;
}

}  // namespace detail

// Bind the vectorcall arguments to the signature.  Calls with positional
// arguments only take a short path; everything else is bound with the checks
// and the error texts of Python's own function calls (in Python's order:
// keyword problems first, then too many positionals, then missing
// arguments).
inline Args::Args(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : func_(f) {
  const Signature& s = *f->sig;
  n_ = s.n_slots();
  // The common call: positional arguments only, the rest from defaults.
  if (!kwnames && !s.var_positional && !s.var_keyword && nargs <= s.n_positional &&
      static_cast<size_t>(s.n_positional) == n_) {
    size_t i = 0;
    for (; i < static_cast<size_t>(nargs); ++i) slots_[i] = args[i];
    for (; i < n_; ++i) {
      PyObject* d = s.slot(i).default_value.get();
      if (!d) break;
      slots_[i] = d;
    }
    if (i == n_) return;
  }
  bind(args, nargs, kwnames);
}

inline void Args::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FunctionObject* f = func_;
  const Signature& s = *f->sig;
  for (size_t i = 0; i < n_; ++i) slots_[i] = nullptr;
  Py_ssize_t npos = nargs < s.n_positional ? nargs : s.n_positional;
  for (Py_ssize_t i = 0; i < npos; ++i) slots_[i] = args[i];
  if (s.var_positional) {
    varargs_ = check(PyTuple_New(nargs > npos ? nargs - npos : 0));
    for (Py_ssize_t i = npos; i < nargs; ++i)
      PyTuple_SET_ITEM(varargs_.get(), i - npos, Py_NewRef(args[i]));
  }
  if (s.var_keyword) varkw_ = new_dict();
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  std::vector<PyObject*> posonly_as_kw;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t i = detail::find_slot(s, key);
    if (i >= 0 && i < s.n_positional_only) {
      if (s.var_keyword) {
        dict_set(varkw_.get(), key, value);
        continue;
      }
      posonly_as_kw.push_back(key);
      continue;
    }
    if (i < 0) {
      if (s.var_keyword) {
        dict_set(varkw_.get(), key, value);
        continue;
      }
      raisef(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
    }
    if (slots_[i]) raisef(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
    slots_[i] = value;
  }
  if (!posonly_as_kw.empty()) {
    Ref names = new_list();
    for (PyObject* k : posonly_as_kw) list_append(names.get(), k);
    Ref sep = str_from(", ");
    Ref joined = check(PyUnicode_Join(sep.get(), names.get()));
    raisef(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
           f->qualname, joined.get());
  }
  if (nargs > s.n_positional && !s.var_positional) {
    Py_ssize_t kwonly_given = 0;
    for (size_t i = static_cast<size_t>(s.n_positional); i < n_; ++i)
      if (slots_[i]) ++kwonly_given;
    detail::too_many_positional(f, nargs, kwonly_given);
  }
  std::vector<PyObject*> missing;
  for (size_t i = 0; i < static_cast<size_t>(s.n_positional); ++i) {
    if (slots_[i]) continue;
    const Param& p = s.slot(i);
    if (p.default_value)
      slots_[i] = p.default_value.get();
    else
      missing.push_back(p.name.get());
  }
  if (!missing.empty()) detail::missing_arguments(f, missing, "positional");
  for (size_t i = static_cast<size_t>(s.n_positional); i < n_; ++i) {
    if (slots_[i]) continue;
    const Param& p = s.slot(i);
    if (p.default_value)
      slots_[i] = p.default_value.get();
    else
      missing.push_back(p.name.get());
  }
  if (!missing.empty()) detail::missing_arguments(f, missing, "keyword-only");
}

namespace detail {

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  return boundary([&] {
    Args a(f, args, PyVectorcall_NARGS(nargsf), kwnames);
    return f->impl(a);
  });
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->dict);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->text_signature);
  Py_VISIT(f->signature);
  Py_VISIT(f->data);
  return 0;
}

inline int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->text_signature);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->data);
  return 0;
}

inline void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  delete f->sig;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

inline PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Pickled by reference, as Python functions are.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

inline PyObject* function_get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->signature) return Py_NewRef(f->signature);
  return boundary([&] {
    Ref inspect = import("inspect");
    Ref parameter = getattr(inspect.get(), "Parameter");
    Ref empty = getattr(parameter.get(), "empty");
    static const char* const kinds[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                                        "KEYWORD_ONLY", "VAR_KEYWORD"};
    Ref params = new_list();
    for (const Param& p : f->sig->params) {
      Ref kind = getattr(parameter.get(), kinds[static_cast<int>(p.kind)]);
      Ref kwargs = new_dict();
      if (p.default_value) dict_set(kwargs.get(), "default", p.default_value.get());
      Ref posargs = tuple_of(p.name.get(), kind.get());
      Ref param = call_kw(parameter.get(), posargs.get(), kwargs.get());
      list_append(params.get(), param.get());
    }
    Ref signature_cls = getattr(inspect.get(), "Signature");
    Ref sig = call(signature_cls.get(), params.get());
    f->signature = Py_NewRef(sig.get());
    return sig;
  });
}

inline int function_set_signature(PyObject* self, PyObject* value, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_XSETREF(f->signature, Py_XNewRef(value));
  return 0;
}

inline int set_str_attr(PyObject** slot, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

inline PyObject* function_get_name(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}
inline int function_set_name(PyObject* self, PyObject* value, void*) {
  return set_str_attr(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}
inline PyObject* function_get_qualname(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
inline int function_set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_attr(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}

inline PyTypeObject* make_function_type() {
  static PyMethodDef methods[] = {
      {"__reduce__", function_reduce, METH_NOARGS, nullptr},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyMemberDef members[] = {
      {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
      {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
      {"__text_signature__", T_OBJECT, offsetof(FunctionObject, text_signature), 0, nullptr},
      {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
      {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
      {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyGetSetDef getset[] = {
      {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
      {"__name__", function_get_name, function_set_name, nullptr, nullptr},
      {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
      {"__signature__", function_get_signature, function_set_signature, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
      {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
      {Py_tp_methods, methods},
      {Py_tp_members, members},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      GLUE_MODULE_NAME("function"),
      sizeof(FunctionObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&type_spec)).release());
}

}  // namespace detail

// The function type of this extension module (one per module, made on first use).
inline PyTypeObject* function_type() {
  static PyTypeObject* type = detail::make_function_type();
  return type;
}

// A function body.  Bodies are written with named parameters:
//
//     GLUE_BODY(interpreter_eval, self, code, typecast, record) { ... }
//
// declares `interpreter_eval`, a `Body` whose C++ function receives each
// declared parameter of the signature by name, in declaration order (*args
// as its tuple, **kwargs as its dict).  Making the function compares these
// names with the signature text, so a body and its signature cannot drift
// apart unnoticed: a mismatch fails the module's import.
//
// From the body the glue also derives the cheaper ways in: a positional
// entry that skips binding when the call is positional only, and the type
// slots of a class (see ClassBody::build).  A body that needs the function
// object itself (closures over `data`) takes `const Args&` instead; one of
// a `(*args)` function may instead take the function object and the
// arguments as they came (Body::of_varargs), which spares building the
// *args tuple on every positional call.
struct Body {
  const char* names = nullptr;          // the parameter names as written; null: unchecked
  Impl impl = nullptr;
  vectorcallfunc positional = nullptr;  // the body called with stack arguments
  binaryfunc binary = nullptr;          // with two parameters
  ternaryfunc ternary = nullptr;        // with three
  bool star_args = false;               // `positional` serves "(*args)", not plain parameters

  Body(Impl i) : impl(i) {}  // NOLINT: a raw body converts implicitly
  Body(const char* n, Impl i, vectorcallfunc p, binaryfunc b, ternaryfunc t)
      : names(n), impl(i), positional(p), binary(b), ternary(t) {}

  template <auto F>
  static Body of(const char* names);

  // F: Ref(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs),
  // for the signature "(*args)"; `names` is "args".
  template <auto F>
  static Body of_varargs(const char* names);
};

namespace detail {

template <class Fn>
struct BodyArity;
template <class... P>
struct BodyArity<Ref (*)(P...)> {
  static constexpr size_t value = sizeof...(P);
};

template <auto F, size_t... I>
Ref run_bound(const Args& a, std::index_sequence<I...>) {
  return F(a.param(I)...);
}

template <auto F, size_t N>
Ref run_args(const Args& a) {
  return run_bound<F>(a, std::make_index_sequence<N>{});
}

// Positional calls go straight to the body, missing trailing arguments
// taken from the defaults; anything else is bound by Args.
template <auto F, size_t... I>
PyObject* positional_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  constexpr Py_ssize_t n_params = sizeof...(I);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (!kwnames && n == n_params) return boundary([&] { return F(args[I]...); });
  if constexpr (n_params > 0) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const Signature& s = *f->sig;
    if (!kwnames && n < n_params && n >= n_params - s.n_positional_defaults) {
      PyObject* full[n_params];
      for (Py_ssize_t i = 0; i < n_params; ++i)
        full[i] = i < n ? args[i] : s.slot(static_cast<size_t>(i)).default_value.get();
      return boundary([&] { return F(full[I]...); });
    }
  }
  return function_vectorcall(callable, args, nargsf, kwnames);
}

template <auto F, size_t... I>
vectorcallfunc positional_entry_for(std::index_sequence<I...>) {
  return positional_entry<F, I...>;
}

template <auto F>
PyObject* binary_slot(PyObject* a, PyObject* b) {
  return boundary([&] { return F(a, b); });
}

template <auto F>
PyObject* ternary_slot(PyObject* a, PyObject* b, PyObject* c) {
  return boundary([&] { return F(a, b, c); });
}

// The body's parameter names against the signature's, at import.
inline void check_names(const char* body_names, const Signature& sig, const char* qualname) {
  std::vector<std::string> names = split_params(body_names);
  bool same = names.size() == sig.params.size();
  for (size_t i = 0; same && i < names.size(); ++i) same = names[i] == sig.params[i].text_name;
  if (!same)
    raisef(PyExc_SystemError, "%s: body parameters (%s) differ from the signature %s", qualname, body_names,
           sig.text.c_str());
}

// A "(*args)" body's entry: positional calls pass their arguments through
// as they came; keywords go to the binding, which refuses them.
template <auto F>
PyObject* varargs_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (kwnames) return function_vectorcall(callable, args, nargsf, kwnames);
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  return boundary([&] { return F(f, args, PyVectorcall_NARGS(nargsf)); });
}

template <auto F>
Ref run_varargs(const Args& a) {
  PyObject* t = a.varargs();
  return F(a.function(), &PyTuple_GET_ITEM(t, 0), PyTuple_GET_SIZE(t));
}

}  // namespace detail

template <auto F>
Body Body::of_varargs(const char* names) {
  Body body(names, detail::run_varargs<F>, detail::varargs_entry<F>, nullptr, nullptr);
  body.star_args = true;
  return body;
}

template <auto F>
Body Body::of(const char* names) {
  constexpr size_t n = detail::BodyArity<decltype(F)>::value;
  binaryfunc binary = nullptr;
  ternaryfunc ternary = nullptr;
  if constexpr (n == 2) binary = detail::binary_slot<F>;
  if constexpr (n == 3) ternary = detail::ternary_slot<F>;
  return Body(names, detail::run_args<F, n>, detail::positional_entry_for<F>(std::make_index_sequence<n>{}),
              binary, ternary);
}

// What a function is made from.
struct FunctionDef {
  const char* name;
  const char* signature;
  Body body;
  const char* doc = nullptr;
};

// Make a function object.  `qualname_prefix` is the enclosing class's
// qualified name, or null for a module-level function.
inline Ref make_function(const FunctionDef& def, const char* module, const char* qualname_prefix = nullptr,
                         std::initializer_list<NamedDefault> named = {}, PyObject* data = nullptr) {
  PyTypeObject* type = function_type();
  Signature sig = parse_signature(def.signature, named);
  if (sig.n_slots() > Args::max_slots) raise(PyExc_SystemError, "too many parameters");
  std::string qual = qualname_prefix ? std::string(qualname_prefix) + "." + def.name : def.name;
  if (def.body.names) detail::check_names(def.body.names, sig, qual.c_str());
  auto* f = PyObject_GC_New(FunctionObject, type);
  if (!f) throw PythonError{};
  bool serves = def.body.star_args ? sig.params.size() == 1 && sig.var_positional : sig.plain_positional();
  f->vectorcall = def.body.positional && serves ? def.body.positional : detail::function_vectorcall;
  f->impl = def.body.impl;
  f->binary = def.body.binary;
  f->ternary = def.body.ternary;
  f->sig = nullptr;
  f->dict = f->name = f->qualname = f->module = f->doc = f->text_signature = f->signature = f->data =
      f->weakrefs = nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
  f->sig = new Signature(std::move(sig));
  f->name = check(PyUnicode_InternFromString(def.name)).release();
  f->qualname = str_from(qual).release();
  f->module = check(PyUnicode_FromString(module)).release();
  f->doc = def.doc ? check(PyUnicode_FromString(def.doc)).release() : Py_NewRef(Py_None);
  f->text_signature = check(PyUnicode_FromString(def.signature)).release();
  f->data = Py_XNewRef(data);
  PyObject_GC_Track(self.get());
  return self;
}

}  // namespace glue

// GLUE_BODY(name, param, ...) { body }: see `glue::Body`.
#define GLUE_BODY(fn, ...)                                                      \
  ::glue::Ref fn##_body(GLUE_PARAMETERS_(__VA_ARGS__));                         \
  const ::glue::Body fn = ::glue::Body::of<fn##_body>(#__VA_ARGS__);            \
  ::glue::Ref fn##_body(GLUE_PARAMETERS_(__VA_ARGS__))

#define GLUE_PARAMETERS_(...) __VA_OPT__(GLUE_CAT_(GLUE_P_, GLUE_COUNT_(__VA_ARGS__))(__VA_ARGS__))
#define GLUE_CAT_(a, b) GLUE_CAT2_(a, b)
#define GLUE_CAT2_(a, b) a##b
#define GLUE_COUNT_(...) GLUE_NTH_(__VA_ARGS__, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define GLUE_NTH_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, n, ...) n
#define GLUE_P_1(a) PyObject* a
#define GLUE_P_2(a, ...) PyObject *a, GLUE_P_1(__VA_ARGS__)
#define GLUE_P_3(a, ...) PyObject *a, GLUE_P_2(__VA_ARGS__)
#define GLUE_P_4(a, ...) PyObject *a, GLUE_P_3(__VA_ARGS__)
#define GLUE_P_5(a, ...) PyObject *a, GLUE_P_4(__VA_ARGS__)
#define GLUE_P_6(a, ...) PyObject *a, GLUE_P_5(__VA_ARGS__)
#define GLUE_P_7(a, ...) PyObject *a, GLUE_P_6(__VA_ARGS__)
#define GLUE_P_8(a, ...) PyObject *a, GLUE_P_7(__VA_ARGS__)
#define GLUE_P_9(a, ...) PyObject *a, GLUE_P_8(__VA_ARGS__)
#define GLUE_P_10(a, ...) PyObject *a, GLUE_P_9(__VA_ARGS__)
#define GLUE_P_11(a, ...) PyObject *a, GLUE_P_10(__VA_ARGS__)
#define GLUE_P_12(a, ...) PyObject *a, GLUE_P_11(__VA_ARGS__)
#define GLUE_P_13(a, ...) PyObject *a, GLUE_P_12(__VA_ARGS__)
#define GLUE_P_14(a, ...) PyObject *a, GLUE_P_13(__VA_ARGS__)
#define GLUE_P_15(a, ...) PyObject *a, GLUE_P_14(__VA_ARGS__)
#define GLUE_P_16(a, ...) PyObject *a, GLUE_P_15(__VA_ARGS__)
