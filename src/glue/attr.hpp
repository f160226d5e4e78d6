// Attribute reads and method calls on the hot paths, with exactly the
// answers of ordinary lookup.
//
// The package's objects reach their interpreter through a weak proxy, and
// the interpreter is a tkinter.Tk subclass with a __getattr__: every
// `self.tcl.tk` would go through the proxy and through type()'s
// __getattr__-aware slot, several hundred instructions for what is one dict
// read.  These helpers take the short way whenever it gives the same answer
// as the long one, and the long one otherwise.
//
// Each call site remembers its last verdict the way CPython's own attribute
// caches do: valid while the object's type and instance dict are the very
// ones seen then and unmodified since.  Version tags are never reused, so a
// match proves nothing changed; a remembered value is borrowed from that
// dict and only handed out after the dict passed the check.
//
//   GLUE_MEMBER(obj, "name")          obj.name, for a plain instance attribute
//   GLUE_CALL(obj, "name", args...)   obj.name(args...), for a class's method
//   glue::referent(proxy)             the object a weak proxy stands for
#pragma once

#include "ref.hpp"

namespace glue {

// The object a weak proxy stands for (ReferenceError once it is gone, as the
// proxy itself would say), or `obj` itself; held for the caller.
inline Ref referent(PyObject* obj) {
  if (!PyWeakref_CheckProxy(obj)) return Ref::borrow(obj);
  PyObject* target = PyWeakref_GET_OBJECT(obj);
  if (target == Py_None) raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
  return Ref::borrow(target);
}

namespace detail {

// The instance dict of `obj`, or null.  On CPython 3.11 the dict of a class
// made by type() sits in front of the object (its "managed" dict, the slot
// before it holding the values of a dict not made yet); once the dict
// exists it is read from there without the call.
inline PyObject* instance_dict(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
  if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) {
    PyObject** front = reinterpret_cast<PyObject**>(obj);
    if (!front[-4]) return front[-3];
  }
#endif
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot ? *slot : nullptr;
}

// Whether attribute lookup on instances of `type` is object's own (with or
// without a __getattr__ fallback, which only runs for misses).  Built-in
// bases such as dict name the generic lookup as their own slot, so their
// __getattribute__ is a wrapper of it rather than object's.
inline bool generic_lookup(PyTypeObject* type) {
  if (type->tp_getattro == PyObject_GenericGetAttr) return true;
  PyObject* found = _PyType_Lookup(type, GLUE_STR("__getattribute__"));
  return found && Py_IS_TYPE(found, &PyWrapperDescr_Type) &&
         reinterpret_cast<PyWrapperDescrObject*>(found)->d_wrapped == reinterpret_cast<void*>(PyObject_GenericGetAttr);
}

inline bool valid_tag(PyTypeObject* t) { return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG); }

inline uint64_t dict_tag(PyObject* d) { return d ? reinterpret_cast<PyDictObject*>(d)->ma_version_tag : 0; }

}  // namespace detail

// For module fast paths that read an instance dict themselves: the dict (or
// null), its version tag, and whether a type's attribute lookup is object's
// own.
using detail::dict_tag;
using detail::generic_lookup;
using detail::instance_dict;

// One call site's memo: a type and an instance dict (or none) as they were
// when `value` was found, and the value.
struct SiteCache {
  PyTypeObject* type = nullptr;
  unsigned int type_tag = 0;
  PyObject* dict = nullptr;
  uint64_t dict_tag = 0;
  PyObject* value = nullptr;
  PyCFunction unary = nullptr;  // value's C function, when it is a METH_O method

  bool hit(PyTypeObject* t, PyObject* d) const {
    return t == type && d == dict && detail::valid_tag(t) && t->tp_version_tag == type_tag &&
           detail::dict_tag(d) == dict_tag;
  }
  void store(PyTypeObject* t, PyObject* d, PyObject* v) {
    type = detail::valid_tag(t) ? t : nullptr;
    type_tag = t->tp_version_tag;
    dict = d;
    dict_tag = detail::dict_tag(d);
    value = v;
    unary = nullptr;
  }
};

// obj.name for a plain data attribute: straight from the instance dict when
// that is where Python would find it (object's lookup, nothing of that name
// on the class), else the full lookup.  The call site's memo is checked
// inline; the rest is out of line.
[[gnu::noinline]] inline Ref member_looked_up(PyObject* obj, PyObject* name, SiteCache& cache) {
  PyTypeObject* t = Py_TYPE(obj);
  PyObject* d = detail::instance_dict(obj);
  if (d && detail::generic_lookup(t) && !_PyType_Lookup(t, name)) {
    if (PyObject* v = PyDict_GetItemWithError(d, name)) {
      cache.store(t, d, v);
      return Ref::borrow(v);
    }
    if (PyErr_Occurred()) throw PythonError{};
  }
  return getattr(obj, name);
}

inline Ref member(PyObject* obj, PyObject* name, SiteCache& cache) {
  PyObject* d = detail::instance_dict(obj);
  if (d && cache.hit(Py_TYPE(obj), d)) return Ref::borrow(cache.value);
  return member_looked_up(obj, name, cache);
}

#define GLUE_MEMBER(obj, name)                       \
  ([](PyObject* obj_) -> ::glue::Ref {               \
    static ::glue::SiteCache cache_;                 \
    return ::glue::member(obj_, GLUE_STR(name), cache_); \
  }(obj))

// The function obj.name would bind, when it is a method defined on the
// class (a method descriptor, not shadowed by the instance dict); else null.
[[gnu::noinline]] inline PyObject* class_method_looked_up(PyObject* obj, PyObject* name, SiteCache& cache) {
  PyTypeObject* t = Py_TYPE(obj);
  PyObject* d = detail::instance_dict(obj);
  if (!detail::generic_lookup(t)) return nullptr;
  PyObject* f = _PyType_Lookup(t, name);
  if (!f || !PyType_HasFeature(Py_TYPE(f), Py_TPFLAGS_METHOD_DESCRIPTOR)) return nullptr;
  if (d) {
    int shadowed = PyDict_Contains(d, name);
    if (shadowed < 0) throw PythonError{};
    if (shadowed) return nullptr;
  }
  cache.store(t, d, f);
  if (Py_IS_TYPE(f, &PyMethodDescr_Type)) {
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(f)->d_method;
    if ((def->ml_flags & ~METH_COEXIST) == METH_O) cache.unary = def->ml_meth;
  }
  return f;
}

inline PyObject* class_method(PyObject* obj, PyObject* name, SiteCache& cache) {
  if (cache.hit(Py_TYPE(obj), detail::instance_dict(obj))) return cache.value;
  return class_method_looked_up(obj, name, cache);
}

// A C method of one argument (`fn`, found by class_method() as the METH_O
// function of the descriptor that class holds), entered as the descriptor
// would enter it: its own check that `obj` is an instance of its class
// holds, as the lookup went through the class of `obj`.
inline Ref call_unary_function(PyCFunction fn, PyObject* obj, PyObject* arg) {
  if (Py_EnterRecursiveCall(" while calling a Python object")) throw PythonError{};
  PyObject* r = fn(obj, arg);
  Py_LeaveRecursiveCall();
  return check(r);
}

// obj.name(args...): the class's function called with `obj` prepended, as
// Python's method calls do, when class_method() finds one; else the full
// call.
template <class... A>
[[gnu::noinline]] Ref call_member_looked_up(PyObject* obj, PyObject* name, SiteCache& cache, A... args) {
  if (PyObject* f = class_method(obj, name, cache)) {
    if constexpr (sizeof...(A) == 1) {
      if (cache.unary) return call_unary_function(cache.unary, obj, args...);
    }
    Ref keep = Ref::borrow(f);
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(f, argv, 1 + sizeof...(A), nullptr));
  }
  return call_method(obj, name, args...);
}

// The same, with the call site's memo checked inline: a C method of one
// argument is then entered straight away.
template <class... A>
[[gnu::always_inline]] inline Ref call_member(PyObject* obj, PyObject* name, SiteCache& cache, A... args) {
  if constexpr (sizeof...(A) == 1) {
    if (cache.unary && cache.hit(Py_TYPE(obj), detail::instance_dict(obj)))
      return call_unary_function(cache.unary, obj, args...);
  }
  return call_member_looked_up(obj, name, cache, args...);
}

#define GLUE_CALL(obj, name, ...)                                             \
  ([&]() -> ::glue::Ref {                                                     \
    static ::glue::SiteCache cache_;                                          \
    return ::glue::call_member(obj, GLUE_STR(name), cache_ __VA_OPT__(, ) __VA_ARGS__); \
  }())

}  // namespace glue
