// Ownership and error rules shared by every extension module of the package.
//
// Ownership.  A PyObject* that somebody owns travels as a `Ref`.  A bare
// PyObject* is always borrowed: it stays valid only while its owner keeps it.
// `Ref::steal` adopts a new reference (what most CPython calls return),
// `Ref::borrow` takes an extra one.  `check(p)` is the usual way to adopt the
// result of a CPython call: it throws `PythonError` when the call failed.
//
// Errors.  Inside a module, failures travel as C++ exceptions.  `PythonError`
// means "a Python exception is already set"; nothing else needs to be carried.
// Exactly one place turns exceptions back into a NULL return: `boundary()`,
// used by the callable type of function.hpp and by the few raw slots.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

// The package the extension modules belong to.  Module names, the names of
// the glue's own types and the package-level lookups are all made from it.
#define GLUE_PACKAGE "trivex.tcl"
#define GLUE_MODULE_NAME(leaf) GLUE_PACKAGE "." leaf

namespace glue {

// A Python exception is set; unwind to the boundary.
struct PythonError {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(const Ref& o) noexcept {
    Ref(o).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    Ref(std::move(o)).swap(*this);
    return *this;
  }
  [[gnu::always_inline]] ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A new reference for APIs that steal one.
  PyObject* incref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Adopt a new reference returned by CPython; NULL means an exception is set.
inline Ref check(PyObject* p) {
  if (!p) throw PythonError{};
  return Ref::steal(p);
}

// For CPython calls that return -1 on error.
inline int check_status(int r) {
  if (r < 0) throw PythonError{};
  return r;
}

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw PythonError{};
}

template <class... A>
[[noreturn]] void raisef(PyObject* type, const char* fmt, A... a) {
  PyErr_Format(type, fmt, a...);
  throw PythonError{};
}

// Raise the exception instance `exc` as it is: its own __context__ and
// __cause__ stay, no implicit chaining is added.
[[noreturn]] inline void raise_instance(PyObject* exc) {
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), Py_NewRef(exc),
                PyException_GetTraceback(exc));
  throw PythonError{};
}

// Turn whatever is in flight into a set Python error; for the boundary.
inline void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// The one exception boundary: run `f` (returning Ref) and hand CPython a new
// reference, or NULL with the error set.
template <class F>
PyObject* boundary(F&& f) noexcept {
  try {
    return f().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// The currently raised exception, taken out of the interpreter so that C++
// code can decide what to do with it (the C++ form of `except`).
class CaughtError {
 public:
  // Take the pending exception; call only while one is set.
  CaughtError() noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    value_ = Ref::steal(v);
  }
  bool matches(PyObject* type) const noexcept {
    return value_ && PyErr_GivenExceptionMatches(value_.get(), type);
  }
  PyObject* value() const noexcept { return value_.get(); }
  // Re-raise unchanged.
  [[noreturn]] void reraise() const { raise_instance(value_.get()); }

 private:
  Ref value_;
};

// `raise new_exc from cause` raised while `context` is being handled; a null
// cause means `from None`.
[[noreturn]] inline void raise_from(Ref new_exc, PyObject* cause, PyObject* context) {
  if (context) PyException_SetContext(new_exc.get(), Py_NewRef(context));
  // Also sets __suppress_context__, as both forms of `raise ... from` do.
  PyException_SetCause(new_exc.get(), cause ? Py_NewRef(cause) : nullptr);
  raise_instance(new_exc.get());
}

// The C++ form of `try: return f() except types: return <empty>`: run `f`
// (returning Ref); when it raises an exception of one of `types`, forget it
// and return an empty Ref; anything else propagates unchanged.
template <class F>
Ref unless_raises(std::initializer_list<PyObject*> types, F&& f) {
  try {
    return f();
  } catch (const PythonError&) {
    for (PyObject* t : types)
      if (PyErr_ExceptionMatches(t)) {
        PyErr_Clear();
        return Ref();
      }
    throw;
  }
}

// ---------------------------------------------------------------------------
// Module state: references held for the life of the process.
//
// The extension modules cannot be unloaded, so what their state refers to
// (imported classes, interned names, their own classes) is needed until the
// process ends.  `Owned` holds such a reference.  It drops the reference it
// replaces, but never the one it holds at the end: its destructor runs from
// the C++ static teardown, after Python has finalised, when touching an
// object would be a use after free.
class Owned {
 public:
  Owned() noexcept = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned& operator=(Ref r) noexcept {
    PyObject* old = std::exchange(p_, r.release());
    Py_XDECREF(old);
    return *this;
  }
  ~Owned() = default;  // deliberately leaves the object to the process's end

  // Hand the reference over, leaving this empty.
  Ref take() noexcept { return Ref::steal(std::exchange(p_, nullptr)); }

  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Small conveniences around the object protocol.

// An interned string that lives for the process; one per call site.
#define GLUE_STR(text)                                                   \
  ([]() -> PyObject* {                                                   \
    static PyObject* const interned_ = PyUnicode_InternFromString(text); \
    return interned_;                                                    \
  }())

// Call f(data, length) with the characters of the str `s` at their stored
// width (Py_UCS1, Py_UCS2 or Py_UCS4).
template <class F>
decltype(auto) with_chars(PyObject* s, F&& f) {
  size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(s), n);
    case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(s), n);
    default: return f(PyUnicode_4BYTE_DATA(s), n);
  }
}

inline Ref str_from(std::string_view s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

// getattr(o, name, None)-like lookup that does not build an AttributeError
// when the attribute is absent: returns an empty Ref instead.
inline Ref lookup_attr(PyObject* o, PyObject* name) {
  PyObject* r = nullptr;
  check_status(_PyObject_LookupAttr(o, name, &r));
  return Ref::steal(r);
}

inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
  check_status(PyObject_SetAttr(o, name, v));
}
inline void setattr(PyObject* o, const char* name, PyObject* v) {
  check_status(PyObject_SetAttrString(o, name, v));
}

inline bool truthy(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False || o == Py_None) return false;
  return check_status(PyObject_IsTrue(o)) != 0;
}

inline bool isinstance(PyObject* o, PyObject* cls) {
  return check_status(PyObject_IsInstance(o, cls)) != 0;
}

inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref repr(PyObject* o) { return check(PyObject_Repr(o)); }

inline Ref import(const char* module) { return check(PyImport_ImportModule(module)); }
inline Ref import_attr(const char* module, const char* name) {
  Ref m = import(module);
  return getattr(m.get(), name);
}

// Call with positional arguments through vectorcall.
template <class... A>
Ref call(PyObject* f, const A&... args) {
  PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
  return check(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// obj.name(args...) without building a bound method.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
  PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
  return check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// Calls with keywords.  `call_kw` is the one way: with names known at the
// call site, pass the values in order, keyword values last, and the names as
// `GLUE_KWNAMES("a", "b")` (vectorcall, nothing built per call); to forward a
// `**kwargs` dict, pass the positional tuple and the dict.
namespace detail {
inline PyObject* make_kwnames(std::initializer_list<const char*> names) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    if (!s) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i++, s);
  }
  return t;
}
}  // namespace detail

// A tuple of interned keyword names that lives for the process; one per call site.
#define GLUE_KWNAMES(...)                                                              \
  ([]() -> PyObject* {                                                                 \
    static PyObject* const names_ = ::glue::detail::make_kwnames({__VA_ARGS__});       \
    if (!names_) throw ::glue::PythonError{};                                          \
    return names_;                                                                     \
  }())

inline Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  constexpr size_t max_args = 15;
  PyObject* argv[1 + max_args];
  argv[0] = nullptr;
  size_t n = 0;
  for (PyObject* a : args) {
    if (n == max_args) raise(PyExc_SystemError, "too many arguments");
    argv[1 + n++] = a;
  }
  size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  return check(PyObject_Vectorcall(f, argv + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref call_kw(PyObject* f, PyObject* args, PyObject* kwargs) {
  return check(PyObject_Call(f, args, kwargs));
}

template <class... A>
Ref tuple_of(const A&... items) {
  return check(PyTuple_Pack(sizeof...(A), static_cast<PyObject*>(items)...));
}

inline Ref new_dict() { return check(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return check(PyList_New(n)); }
inline void dict_set(PyObject* d, PyObject* k, PyObject* v) { check_status(PyDict_SetItem(d, k, v)); }
inline void dict_set(PyObject* d, const char* k, PyObject* v) { check_status(PyDict_SetItemString(d, k, v)); }
inline void list_append(PyObject* l, PyObject* v) { check_status(PyList_Append(l, v)); }

// Guard against runaway recursion on self-containing values.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where)) throw PythonError{};
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace glue
